#include "support/IsapiHost.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace vantora {
namespace {

// Answers a GetServerVariable call from a table, as a server does: the value
// with its terminating zero and TRUE when it fits; the size needed and FALSE
// when the buffer is too small; FALSE when there is no such variable.
BOOL AnswerVariable(const std::map<std::string, std::string>& variables, const char* name,
                    void* buffer, DWORD* size) {
  const auto found = variables.find(name);
  if (found == variables.end()) {
    *size = 0;
    return kIsapiFalse;
  }
  const DWORD needed = static_cast<DWORD>(found->second.size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return kIsapiFalse;
  }
  std::memcpy(buffer, found->second.c_str(), needed);
  *size = needed;
  return kIsapiTrue;
}

char* Text(std::string& text) { return text.data(); }

}  // namespace

IsapiConnection::IsapiConnection(IsapiRequest request) : request_(std::move(request)) {
  variables_ = request_.variables;
  variables_.emplace("REQUEST_METHOD", request_.method);
  variables_.emplace("QUERY_STRING", request_.query);
  if (!request_.content_type.empty()) variables_.emplace("CONTENT_TYPE", request_.content_type);
  variables_.emplace("CONTENT_LENGTH", std::to_string(request_.body.size()));

  const size_t preloaded = std::min(request_.preloaded, request_.body.size());
  block_.cbSize = sizeof block_;
  block_.dwVersion = kIsapiVersion;
  block_.ConnID = this;
  block_.dwHttpStatusCode = 200;
  block_.lpszMethod = Text(request_.method);
  block_.lpszQueryString = Text(request_.query);
  block_.lpszPathInfo = Text(request_.path_info);
  block_.lpszPathTranslated = Text(request_.path_translated);
  block_.cbTotalBytes = static_cast<DWORD>(request_.body.size());
  block_.cbAvailable = static_cast<DWORD>(preloaded);
  block_.lpbData = reinterpret_cast<unsigned char*>(request_.body.data());
  block_.lpszContentType = Text(request_.content_type);
  block_.GetServerVariable = &IsapiConnection::GetServerVariable;
  block_.WriteClient = &IsapiConnection::WriteClient;
  block_.ReadClient = &IsapiConnection::ReadClient;
  block_.ServerSupportFunction = &IsapiConnection::ServerSupportFunction;
  body_position_ = preloaded;
}

std::string IsapiConnection::log_data() const {
  return std::string(block_.lpszLogData, strnlen(block_.lpszLogData, HSE_LOG_BUFFER_LEN));
}

std::string IsapiConnection::head() const {
  const size_t end = output_.find("\r\n\r\n");
  return end == std::string::npos ? output_ : output_.substr(0, end + 2);
}

std::string IsapiConnection::body() const {
  const size_t end = output_.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : output_.substr(end + 4);
}

BOOL IsapiConnection::GetServerVariable(HCONN conn, char* name, void* buffer, DWORD* size) {
  auto* self = static_cast<IsapiConnection*>(conn);
  self->variables_asked_.emplace_back(name);
  return AnswerVariable(self->variables_, name, buffer, size);
}

BOOL IsapiConnection::WriteClient(HCONN conn, void* buffer, DWORD* bytes, DWORD /*reserved*/) {
  auto* self = static_cast<IsapiConnection*>(conn);
  self->output_.append(static_cast<const char*>(buffer), *bytes);
  return kIsapiTrue;
}

BOOL IsapiConnection::ReadClient(HCONN conn, void* buffer, DWORD* size) {
  auto* self = static_cast<IsapiConnection*>(conn);
  ++self->read_calls_;
  const std::string& body = self->request_.body;
  const size_t n = std::min(
      {static_cast<size_t>(*size), body.size() - self->body_position_, self->request_.read_piece});
  std::memcpy(buffer, body.data() + self->body_position_, n);
  self->body_position_ += n;
  *size = static_cast<DWORD>(n);
  return kIsapiTrue;
}

BOOL IsapiConnection::ServerSupportFunction(HCONN conn, DWORD request, void* buffer,
                                            DWORD* /*size*/, DWORD* /*data_type*/) {
  auto* self = static_cast<IsapiConnection*>(conn);
  if (request != HSE_REQ_SEND_URL_REDIRECT_RESP || buffer == nullptr) return kIsapiFalse;
  self->redirects_.emplace_back(static_cast<const char*>(buffer));
  return kIsapiTrue;
}

IsapiFilterCall::IsapiFilterCall(std::map<std::string, std::string> variables)
    : variables_(std::move(variables)) {
  context_.cbSize = sizeof context_;
  context_.Revision = kIsapiVersion;
  context_.ServerContext = this;
  context_.GetServerVariable = &IsapiFilterCall::GetServerVariable;
  context_.WriteClient = &IsapiFilterCall::WriteClient;
}

THTTP_FILTER_RAW_DATA IsapiFilterCall::RawData(std::string& raw_bytes) const {
  THTTP_FILTER_RAW_DATA raw{};
  raw.pvInData = raw_bytes.data();
  raw.cbInData = static_cast<DWORD>(raw_bytes.size());
  raw.cbInBuffer = static_cast<DWORD>(raw_bytes.size());
  return raw;
}

BOOL IsapiFilterCall::GetServerVariable(THTTP_FILTER_CONTEXT* pfc, char* name, void* buffer,
                                        DWORD* size) {
  auto* self = static_cast<IsapiFilterCall*>(pfc->ServerContext);
  return AnswerVariable(self->variables_, name, buffer, size);
}

BOOL IsapiFilterCall::WriteClient(THTTP_FILTER_CONTEXT* pfc, void* buffer, DWORD* bytes,
                                  DWORD /*reserved*/) {
  auto* self = static_cast<IsapiFilterCall*>(pfc->ServerContext);
  self->output_.append(static_cast<const char*>(buffer), *bytes);
  return kIsapiTrue;
}

IsapiLibrary::IsapiLibrary(const std::string& library_file, const std::string& folder) {
  namespace fs = std::filesystem;
  path_ = (fs::path(folder) / fs::path(library_file).filename()).string();
  fs::copy_file(library_file, path_, fs::copy_options::overwrite_existing);
  handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
  auto resolve = [this](const char* name) {
    void* symbol = dlsym(handle_, name);
    if (symbol == nullptr) throw std::runtime_error(std::string("no entry point ") + name);
    return symbol;
  };
  GetExtensionVersion = reinterpret_cast<TGetExtensionVersionProc>(resolve("GetExtensionVersion"));
  HttpExtensionProc = reinterpret_cast<THttpExtensionProcProc>(resolve("HttpExtensionProc"));
  TerminateExtension = reinterpret_cast<TTerminateExtensionProc>(resolve("TerminateExtension"));
  GetFilterVersion = reinterpret_cast<TGetFilterVersionProc>(resolve("GetFilterVersion"));
  HttpFilterProc = reinterpret_cast<THttpFilterProcProc>(resolve("HttpFilterProc"));
}

}  // namespace vantora
