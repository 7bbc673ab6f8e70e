// The NSAPI adapter: serves requests that an NSAPI web server hands to the
// library's service function (vantora_service, adapters/NSapi_exports.cpp).
//
// The server calls the service function on any of its threads with three
// handles: the parameter block of the call, the session (visitor address,
// socket, buffered input) and the request (request line, headers, response
// headers).  The service function stores them in the calling thread's
// NsapiThreadState and runs RunRequest on the process's NSAPI engine.  The
// engine reads variables from the server's parameter blocks, reads the body
// from the session's netbuf, and writes through the server's functions:
// response headers go into the request's srvhdrs block, http_status and
// http_start_response let the server send the status line and the headers,
// and net_write carries only the body.
//
// Every server function comes from the function table of
// adapters/NSapiServer.h.  A function the table lacks is an error of the
// request (std::runtime_error naming it), never a call through null.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "adapters/NSapiDefs.h"
#include "engine/HttpEng.h"

namespace vantora {

// The adapter's per-thread fields, set by the service function for the call
// it serves.  The records belong to the server.
struct NsapiThreadState {
  nsapi::pblock* pb = nullptr;
  nsapi::Session* sn = nullptr;
  nsapi::Request* rq = nullptr;
  // The url-encoded field data of the request (query string or body).
  std::string fields;
  // http_start_response has been called for the present request.
  bool response_started = false;
  // Body bytes have been handed to net_write for the present request.
  bool body_written = false;
  // An error ended the present request's handling.
  bool failed = false;
  // The answer carries the status 500 (a request that failed before any
  // output).
  bool error_status = false;
};

// The calling thread's record.
NsapiThreadState& NsapiState();

// The process-wide NSAPI-active flag: an NSAPI server hands requests to this
// process.  Raised by the service function.
bool NsapiActive();
void SetNsapiActive(bool value);

// Unit start-up in the library: loads the server library.
void StartNsapiUnit();

// The next input byte of the netbuf: inbuf[pos] (pos advances), or, when the
// buffer is used up, what netbuf_next(buf, 1) returns: a refill's first byte,
// or a negative value at the end of input.  Throws std::runtime_error when
// netbuf_next is unresolved.
int ReadInputByte(nsapi::netbuf* buf);

class TNSAPIEngine;

// The process's NSAPI engine (the last one constructed), or null.
TNSAPIEngine* NsapiEngine();

// Serves one service call of the server on the calling thread: stores the
// three handles in the thread's record, loads the server library when
// net_write is still unresolved, raises the NSAPI-active flag and runs
// RunRequest on the process's NSAPI engine.  Returns REQ_PROCEED, or
// REQ_ABORTED when the request's handling failed; a failure before anything
// was sent sets the status 500 for the server's error response.  When the
// server library or one of the functions the adapter calls is missing, or
// there is no engine, it writes one log line and returns REQ_ABORTED
// without calling the server.  Never throws.
int ServeNsapiRequest(nsapi::pblock* pb, nsapi::Session* sn, nsapi::Request* rq);

class TNSAPIEngine : public THttpEngine {
 public:
  // The arguments in the order the facade passes them.
  TNSAPIEngine(TComponent* owner, bool buffered_output, bool no_cache, std::string temp_dir,
               std::string session_name, int auto_read_limit, bool auto_read_input,
               std::string auto_content_type, bool auto_http_header,
               TRequestErrorEvent on_request_error, TLastExecRequestEvent on_last_exec_request,
               TExecRequestEvent on_exec_request, TFirstExecRequestEvent on_first_exec_request);
  ~TNSAPIEngine() override;

  // Loads the server library when net_write is unresolved, becomes current on
  // the first request in a library, reads the fields (ReadNsapiFields), then
  // raises OnFirstExecRequest (once per engine) and OnExecRequest.  Any error
  // marks the thread's request as failed before it propagates.
  void ExecRequest() override;

  // reqpb "protocol".
  std::string GetServerProtocol() override;
  // reqpb "method".
  std::string GetRequestMethod() override;
  // GetExecutablePath.
  std::string GetScriptName() override;
  // reqpb "query".
  std::string GetQueryString() override;
  // "dns" and "ip" of the session's client block.
  std::string GetRemoteHost() override;
  std::string GetRemoteAddr() override;
  // Request headers "content-type", "user-agent", "cookie".
  std::string GetContentType() override;
  std::string GetUserAgent() override;
  std::string GetCookie() override;
  // Request header "referer".
  std::string GetReferer() override;
  // The "content-length" variable; 0 when it is not a number.
  int GetContentLength() override;
  // reqpb "uri".
  std::string GetExecutablePath() override;

  // Base behaviour, then net_write to the session's socket when output is
  // not being collected.
  // Reads byte by byte from the session's netbuf.  Returns count; fewer when
  // a zero byte arrives (the bytes before it); -1 when the input ends first.
  int ReadData(void* buffer, int count) override;
  // Replaces a response header of the same name in srvhdrs; writes nothing.
  void SendHeader(const std::string& name, const std::string& value) override;
  // Unless output is being collected: status 200 and http_start_response,
  // once per request.
  // The server composes the status line: it becomes 500.
  void WriteErrorStatus() override;
  void EndHeader() override;
  // "SCRIPT NAME"/"EXECUTABLE PATH" (any case, blanks or '_'): the script
  // name.  Otherwise the name as given is looked for in reqpb, vars,
  // headers, srvhdrs, the client block and the call's parameter block, and
  // then asked of request_header.  Empty when missing.
  std::string GetVariable(const std::string& name) override;
  std::string GetField(const std::string& name, const std::string& default_value) override;
  std::vector<std::string> GetFieldNames() override;
  // The server's critical sections.  The TLock pointer carries the server's
  // CRITICAL handle and is only ever handed back to these operations.
  TLock* CreateLock() override;
  void EnterLock(TLock* lock) override;
  void LeaveLock(TLock* lock) override;
  void FreeLock(TLock* lock) override;
  // The process-wide NSAPI-active flag.
  bool IsActiveAdapter() override;
  // The server composes the header from srvhdrs.
  bool ServerComposesHeader() override;

  // The fields text of the request: the query string of a GET, the body of a
  // POST (url-encoded, or decoded from multipart), empty otherwise.  Throws
  // std::runtime_error when a POST's content-length is not a number.
  std::string ReadNsapiFields();

 private:
  // FindValue(name, block): the value of the parameter, empty when absent.
  std::string FindValue(const char* name, nsapi::pblock* block);
  // The request's reqpb.
  nsapi::pblock* RequestBlock();
  // Writes to the session's socket.
  void WriteOut(const void* bytes, int count) override;

  // Written by any serving thread.
  std::atomic<bool> first_request_{true};
  std::atomic<bool> active_{false};
};

}  // namespace vantora
