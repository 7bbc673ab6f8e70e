// Plays an NSAPI web server for the tests: loads the fake server library
// (tests/support/NsFakeServer.h), builds the parameter block, Session and
// Request of a service call as a server builds them, and reads back what the
// server would have sent to the visitor.
//
// NsapiCall is the records of one call; LoadFakeServer makes the fake the
// process's server library.  NsapiHost adds libvantora.so: it loads the
// library as a server loads a plug-in and calls its vantora_service export.
#pragma once

#include <memory>
#include <string>

#include "support/NsFakeServer.h"
#include "support/ScopedTempDir.h"

namespace vantora {

// One request as the server received it.
struct NsapiRequestSpec {
  std::string method = "GET";
  std::string uri = "/vantora";
  std::string query;  // without '?'; no "query" parameter when empty
  std::string protocol = "HTTP/1.1";
  // Request headers, names in lower case as the server keeps them.
  nsfake::Params headers;
  std::string body;
  // Bytes per netbuf fill; the first fill is in the buffer before the call
  // (read with the request header), later ones come from netbuf_next.
  // 0: the whole body in the first fill.
  size_t chunk = 0;
  std::string ip = "127.0.0.1";
  std::string dns;  // no "dns" parameter when empty
  nsfake::Params vars;
  nsfake::Params pb;  // the service call's parameter block
};

// The fake server library, loaded by path into this process once (global
// symbols), so that the adapter's load by plain name finds it.  Aborts the
// test program when it cannot be loaded.
const nsfake::Control& LoadFakeServer();

// The records of one service call, owned here; the blocks are the fake
// server's.
class NsapiCall {
 public:
  explicit NsapiCall(const NsapiRequestSpec& spec);
  ~NsapiCall();
  NsapiCall(const NsapiCall&) = delete;
  NsapiCall& operator=(const NsapiCall&) = delete;

  nsapi::pblock* pb() { return pb_; }
  nsapi::Session* sn() { return &session_; }
  nsapi::Request* rq() { return &request_; }
  const nsfake::SessionRecord& session() const { return session_; }
  const nsfake::RequestRecord& request() const { return request_; }

  // Everything the socket received: the server's status line and headers
  // (once http_start_response ran) and the body.
  const std::string& Sent() const { return session_.socket.sent; }
  // The body: what follows the server's header, or everything when the
  // response was never started.
  std::string Body() const;
  // The response headers left in srvhdrs.
  nsfake::Params ResponseHeaders() const;
  // The value of a response header; empty when absent.
  std::string ResponseHeader(const std::string& name) const;

 private:
  const nsfake::Control& control_;
  nsapi::pblock* pb_;
  nsfake::SessionRecord session_;
  nsfake::RequestRecord request_;
};

// libvantora.so loaded as an NSAPI server loads its plug-in, from a copy in
// a directory of its own, where the program keeps its files (statistics,
// templates).  A library is loaded once per process, so there is one host
// per process; its directory goes when the process ends.
class NsapiHost {
 public:
  // The process's host.  Loads the library on first use; aborts the test
  // program when it cannot be loaded or lacks vantora_service.  It does not
  // load the fake server: a test does that first (LoadFakeServer), or leaves
  // it out to see the library without a server library.
  static NsapiHost& Instance();

  // The folder of the library copy.
  const std::string& ProgramDir() const { return dir_.path(); }
  // The program's file with this extension (".stat1", ".htm"): the library
  // copy's path with its extension replaced.
  std::string ProgramFile(const std::string& extension) const;

  // Calls vantora_service as the server does; returns its result.
  int Service(nsapi::pblock* pb, nsapi::Session* sn, nsapi::Request* rq) const;
  int Service(NsapiCall& call) const { return Service(call.pb(), call.sn(), call.rq()); }

 private:
  NsapiHost();

  ScopedTempDir dir_;
  std::string library_path_;
  int (*service_)(nsapi::pblock*, nsapi::Session*, nsapi::Request*) = nullptr;
};

}  // namespace vantora
