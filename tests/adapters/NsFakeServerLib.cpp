// The fake NSAPI server library of the tests (see tests/support/NsFakeServer.h).
//
// Built twice: as libns-httpd40.so with the server functions under their
// plain names (the parameter-block lookup as "pblock_fr", as servers export
// it), and with NS_FAKE_INT_NAMES as libns-httpd30.so, where every server
// function carries "INT" in front and the lookup is "INT_pblock_fr".
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "support/NsFakeServer.h"

using vantora::nsapi::netbuf;
using vantora::nsapi::pb_param;
using vantora::nsapi::pblock;
using vantora::nsapi::Request;
using vantora::nsapi::Session;
using vantora::nsfake::Input;
using vantora::nsfake::Params;
using vantora::nsfake::RequestRecord;
using vantora::nsfake::SessionRecord;
using vantora::nsfake::Socket;

// The opaque parameter block: parameters in insertion order.
struct vantora::nsapi::pblock {
  std::vector<pb_param*> params;
};

#ifdef NS_FAKE_INT_NAMES
#define NS_NAME(name) INT##name
#define NS_LOOKUP_NAME INT_pblock_fr
#else
#define NS_NAME(name) name
#define NS_LOOKUP_NAME pblock_fr
#endif

#define NS_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::atomic<int> live_crits{0};

char* CopyText(const char* text) { return ::strdup(text ? text : ""); }

pb_param* NewParam(const char* name, const char* value) {
  pb_param* param = new pb_param;
  param->name = CopyText(name);
  param->value = CopyText(value);
  return param;
}

void FreeParam(pb_param* param) {
  if (param == nullptr) return;
  std::free(param->name);
  std::free(param->value);
  delete param;
}

const char* StatusText(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

}  // namespace

NS_EXPORT pb_param* NS_NAME(param_create)(const char* name, const char* value) {
  return NewParam(name, value);
}

NS_EXPORT void NS_NAME(param_free)(pb_param* param) { FreeParam(param); }

NS_EXPORT pblock* NS_NAME(pblock_create)(int /*size_hint*/) { return new pblock; }

NS_EXPORT void NS_NAME(pblock_free)(pblock* block) {
  if (block == nullptr) return;
  for (pb_param* param : block->params) FreeParam(param);
  delete block;
}

NS_EXPORT pb_param* NS_LOOKUP_NAME(const char* name, pblock* block, int remove) {
  for (auto it = block->params.begin(); it != block->params.end(); ++it) {
    if (std::strcmp((*it)->name, name) != 0) continue;
    pb_param* found = *it;
    if (remove) block->params.erase(it);
    return found;
  }
  return nullptr;
}

NS_EXPORT char* NS_NAME(pblock_findval)(const char* name, const pblock* block) {
  for (pb_param* param : block->params) {
    if (std::strcmp(param->name, name) == 0) return param->value;
  }
  return nullptr;
}

NS_EXPORT pb_param* NS_NAME(pblock_nvinsert)(const char* name, const char* value, pblock* block) {
  pb_param* param = NewParam(name, value);
  block->params.push_back(param);
  return param;
}

NS_EXPORT int NS_NAME(request_header)(const char* name, char** value, Session* /*sn*/,
                                      Request* rq) {
  RequestRecord* record = static_cast<RequestRecord*>(rq);
  record->asked_headers.emplace_back(name);
  *value = NS_NAME(pblock_findval)(name, rq->headers);
  return vantora::nsapi::REQ_PROCEED;
}

NS_EXPORT int NS_NAME(net_write)(void* sd, const char* bytes, int count) {
  if (sd == nullptr || count < 0) return vantora::nsapi::IO_ERROR;
  static_cast<Socket*>(sd)->sent.append(bytes, static_cast<size_t>(count));
  return count;
}

// Refills the buffer with the next chunk of the body and returns its first
// byte, or -1 when the body is used up.
NS_EXPORT int NS_NAME(netbuf_next)(netbuf* buf, int /*timeout*/) {
  Input* input = static_cast<Input*>(buf);
  if (input->next >= input->body.size()) return -1;
  size_t size = input->body.size() - input->next;
  if (input->chunk > 0 && input->chunk < size) size = input->chunk;
  input->storage.assign(input->body.begin() + static_cast<std::ptrdiff_t>(input->next),
                        input->body.begin() + static_cast<std::ptrdiff_t>(input->next + size));
  input->next += size;
  ++input->refills;
  input->inbuf = input->storage.data();
  input->cursize = static_cast<int>(size);
  input->pos = 1;
  return input->inbuf[0];
}

NS_EXPORT void NS_NAME(http_status)(Session* /*sn*/, Request* rq, int status,
                                    const char* /*reason*/) {
  RequestRecord* record = static_cast<RequestRecord*>(rq);
  record->status = status;
  ++record->status_calls;
}

// Sends the status line and the srvhdrs headers, as a server does.
NS_EXPORT int NS_NAME(http_start_response)(Session* sn, Request* rq) {
  RequestRecord* record = static_cast<RequestRecord*>(rq);
  ++record->start_calls;
  const int status = record->status == 0 ? 200 : record->status;
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + StatusText(status) + "\r\n";
  for (pb_param* param : rq->srvhdrs->params) {
    head += std::string(param->name) + ": " + param->value + "\r\n";
  }
  head += "\r\n";
  static_cast<Socket*>(sn->csd)->sent += head;
  rq->senthdrs = 1;
  return vantora::nsapi::REQ_PROCEED;
}

NS_EXPORT void* NS_NAME(crit_init)() {
  ++live_crits;
  return new std::mutex;
}

NS_EXPORT void NS_NAME(crit_enter)(void* id) { static_cast<std::mutex*>(id)->lock(); }

NS_EXPORT void NS_NAME(crit_exit)(void* id) { static_cast<std::mutex*>(id)->unlock(); }

NS_EXPORT void NS_NAME(crit_terminate)(void* id) {
  --live_crits;
  delete static_cast<std::mutex*>(id);
}

namespace {

const vantora::nsfake::Control control = {
    [] { return NS_NAME(pblock_create)(0); },
    [](pblock* block) { NS_NAME(pblock_free)
                        (block); },
    [](pblock* block, const std::string& name, const std::string& value) {
      NS_NAME(pblock_nvinsert)(name.c_str(), value.c_str(), block);
    },
    [](const pblock* block) {
      Params params;
      for (pb_param* param : block->params) params.emplace_back(param->name, param->value);
      return params;
    },
    [] { return live_crits.load(); },
};

}  // namespace

NS_EXPORT const vantora::nsfake::Control* fakens_control() { return &control; }
