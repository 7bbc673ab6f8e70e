#include "support/NsapiHost.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace vantora {
namespace {

nsapi::pblock* BlockOf(const nsfake::Control& control, const nsfake::Params& params) {
  nsapi::pblock* block = control.create_block();
  for (const auto& [name, value] : params) control.insert(block, name, value);
  return block;
}

}  // namespace

const nsfake::Control& LoadFakeServer() {
  static const nsfake::Control* control = [] {
    void* library = ::dlopen(VANTORA_NS_FAKE, RTLD_NOW | RTLD_GLOBAL);
    auto get = library ? reinterpret_cast<nsfake::ControlFunc>(::dlsym(library, "fakens_control"))
                       : nullptr;
    if (get == nullptr) {
      std::fprintf(stderr, "cannot load the fake NSAPI server %s: %s\n", VANTORA_NS_FAKE,
                   ::dlerror());
      std::abort();
    }
    return get();
  }();
  return *control;
}

NsapiCall::NsapiCall(const NsapiRequestSpec& spec) : control_(LoadFakeServer()) {
  pb_ = BlockOf(control_, spec.pb);

  nsfake::Params client = {{"ip", spec.ip}};
  if (!spec.dns.empty()) client.emplace_back("dns", spec.dns);
  session_.client = BlockOf(control_, client);
  session_.csd = &session_.socket;
  nsfake::Input& input = session_.input;
  input.body = spec.body;
  const size_t first = spec.chunk == 0 ? spec.body.size() : std::min(spec.chunk, spec.body.size());
  input.chunk = spec.chunk;
  input.storage.assign(spec.body.begin(), spec.body.begin() + static_cast<std::ptrdiff_t>(first));
  input.next = first;
  input.sd = &session_.socket;
  input.pos = 0;
  input.cursize = static_cast<int>(first);
  input.maxsize = static_cast<int>(first);
  input.rdtmout = 30;
  input.address = nullptr;
  input.inbuf = input.storage.data();
  input.errmsg = nullptr;
  session_.inbuf = &input;

  nsfake::Params request_line = {
      {"method", spec.method}, {"uri", spec.uri}, {"protocol", spec.protocol}};
  if (!spec.query.empty()) request_line.emplace_back("query", spec.query);
  request_.reqpb = BlockOf(control_, request_line);
  request_.vars = BlockOf(control_, spec.vars);
  request_.loadhdrs = 1;
  request_.headers = BlockOf(control_, spec.headers);
  request_.senthdrs = 0;
  request_.srvhdrs = BlockOf(control_, {});
}

NsapiCall::~NsapiCall() {
  for (nsapi::pblock* block :
       {pb_, session_.client, request_.reqpb, request_.vars, request_.headers, request_.srvhdrs}) {
    control_.free_block(block);
  }
}

std::string NsapiCall::Body() const {
  const std::string& sent = Sent();
  if (request_.start_calls == 0) return sent;
  const size_t end = sent.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : sent.substr(end + 4);
}

nsfake::Params NsapiCall::ResponseHeaders() const { return control_.list(request_.srvhdrs); }

std::string NsapiCall::ResponseHeader(const std::string& name) const {
  for (const auto& [key, value] : ResponseHeaders()) {
    if (key == name) return value;
  }
  return std::string();
}

NsapiHost& NsapiHost::Instance() {
  static NsapiHost host;
  return host;
}

NsapiHost::NsapiHost() {
  library_path_ = dir_.path() + "/libvantora.so";
  std::error_code error;
  std::filesystem::copy_file(VANTORA_LIBRARY, library_path_, error);
  void* library = error ? nullptr : ::dlopen(library_path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library != nullptr) {
    service_ = reinterpret_cast<decltype(service_)>(::dlsym(library, "vantora_service"));
  }
  if (service_ == nullptr) {
    std::fprintf(stderr, "cannot load %s as an NSAPI plug-in: %s\n", library_path_.c_str(),
                 error ? error.message().c_str() : ::dlerror());
    std::abort();
  }
}

std::string NsapiHost::ProgramFile(const std::string& extension) const {
  return dir_.path() + "/libvantora" + extension;
}

int NsapiHost::Service(nsapi::pblock* pb, nsapi::Session* sn, nsapi::Request* rq) const {
  return service_(pb, sn, rq);
}

}  // namespace vantora
