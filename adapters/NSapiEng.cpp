#include "adapters/NSapiEng.h"

#include <atomic>
#include <cstring>
#include <stdexcept>

#include "adapters/NSapiServer.h"
#include "engine/HttpEngRoutines.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace vantora {
namespace {

using namespace nsapi;

thread_local NsapiThreadState nsapi_state;
std::atomic<bool> nsapi_active{false};
std::atomic<TNSAPIEngine*> nsapi_engine{nullptr};

// The server function, or an error of the request naming it: a missing
// function is never called.
template <typename F>
F Require(NsFunction function) {
  F address = ServerFunction<F>(function);
  if (address == nullptr) {
    nsapi_state.failed = true;
    throw std::runtime_error(std::string("The NSAPI server function ") +
                             kNsServerFunctionNames[static_cast<int>(function)] +
                             " is not available");
  }
  return address;
}

// The calling thread's session and request; an error when the thread is not
// inside a service call.
NsapiThreadState& RequireRequest() {
  NsapiThreadState& state = nsapi_state;
  if (state.sn == nullptr || state.rq == nullptr) {
    state.failed = true;
    throw std::runtime_error("No NSAPI request is being served on this thread");
  }
  return state;
}

// Looks the parameter up in the block (pblock_fr to find it, then
// pblock_findval for its text).  False when the block is null or lacks it.
bool FindParameter(const char* name, pblock* block, std::string* value) {
  if (block == nullptr) return false;
  if (Require<PblockFrFunc>(NsFunction::pblock_fr)(name, block, 0) == nullptr) return false;
  const char* text = Require<PblockFindvalFunc>(NsFunction::pblock_findval)(name, block);
  value->assign(text ? text : "");
  return true;
}

// The functions every request calls.  A library without one of them cannot
// serve: the request is refused before any of them is called.
constexpr NsFunction kRequiredFunctions[] = {
    NsFunction::pblock_fr,   NsFunction::pblock_findval, NsFunction::pblock_nvinsert,
    NsFunction::param_free,  NsFunction::request_header, NsFunction::net_write,
    NsFunction::netbuf_next, NsFunction::http_status,    NsFunction::http_start_response,
};

// Empty when the server library can serve; otherwise why not, for the log.
std::string MissingServer() {
  std::string library = ServerLibraryName();
  if (library.empty()) {
    std::string tried;
    for (const std::string& name : ServerLibraryCandidates()) {
      tried += (tried.empty() ? "" : ", ") + name;
    }
    return "No NSAPI server library could be loaded (tried " + tried + ")";
  }
  std::string missing;
  for (NsFunction function : kRequiredFunctions) {
    if (ServerFunctionAddress(function) != nullptr) continue;
    missing += (missing.empty() ? "" : ", ");
    missing += kNsServerFunctionNames[static_cast<int>(function)];
  }
  if (missing.empty()) return std::string();
  return "The NSAPI server library " + library + " lacks " + missing;
}

// Clears the thread's record at the end of a service call, whatever way it
// ends: no handle outlives the call that the server made.
struct CallScope {
  ~CallScope() {
    nsapi_state.pb = nullptr;
    nsapi_state.sn = nullptr;
    nsapi_state.rq = nullptr;
    nsapi_state.fields.clear();
  }
};

}  // namespace

int ServeNsapiRequest(pblock* pb, Session* sn, Request* rq) {
  try {
    if (sn == nullptr || rq == nullptr) {
      WriteLog("NSAPI service called without a session or a request");
      return REQ_ABORTED;
    }
    if (ServerFunctionAddress(NsFunction::net_write) == nullptr) LoadServerLibrary();
    const std::string missing = MissingServer();
    if (!missing.empty()) {
      WriteLog(missing);
      return REQ_ABORTED;
    }
    TNSAPIEngine* engine = NsapiEngine();
    if (engine == nullptr) {
      WriteLog("No NSAPI engine serves this process");
      return REQ_ABORTED;
    }
    CallScope scope;
    NsapiThreadState& state = nsapi_state;
    state.pb = pb;
    state.sn = sn;
    state.rq = rq;
    state.fields.clear();
    state.response_started = false;
    state.body_written = false;
    state.failed = false;
    state.error_status = false;
    SetNsapiActive(true);
    engine->RunRequest();
    if (!state.failed) return REQ_PROCEED;
    // The server answers an aborted request with an error of its own; with
    // nothing sent yet it carries this status.
    if (!state.response_started) {
      Require<HttpStatusFunc>(NsFunction::http_status)(sn, rq, PROTOCOL_SERVER_ERROR, nullptr);
    }
    return REQ_ABORTED;
  } catch (const std::exception& error) {
    WriteLog(std::string("Unhandled exception : ") + error.what());
  } catch (...) {
    WriteLog("Unhandled exception : unknown error in the NSAPI service");
  }
  return REQ_ABORTED;
}

NsapiThreadState& NsapiState() { return nsapi_state; }

bool NsapiActive() { return nsapi_active.load(std::memory_order_acquire); }
void SetNsapiActive(bool value) { nsapi_active.store(value, std::memory_order_release); }

TNSAPIEngine* NsapiEngine() { return nsapi_engine.load(std::memory_order_acquire); }

void StartNsapiUnit() { LoadServerLibrary(); }

int ReadInputByte(netbuf* buf) {
  if (buf->pos == buf->cursize) return Require<NetbufNextFunc>(NsFunction::netbuf_next)(buf, 1);
  return buf->inbuf[buf->pos++];
}

TNSAPIEngine::TNSAPIEngine(TComponent* owner, bool buffered_output, bool no_cache,
                           std::string temp_dir, std::string session_name, int auto_read_limit,
                           bool auto_read_input, std::string auto_content_type,
                           bool auto_http_header, TRequestErrorEvent on_request_error,
                           TLastExecRequestEvent on_last_exec_request,
                           TExecRequestEvent on_exec_request,
                           TFirstExecRequestEvent on_first_exec_request)
    : THttpEngine(owner, "NSAPIEngine") {
  nsapi_engine.store(this, std::memory_order_release);
  first_request_ = true;
  active_ = NsapiActive();
  // (The process needs no marking as multi-threaded: every per-request
  // record is thread_local.)
  SetSessionName(std::move(session_name));
  SetNoCache(no_cache);
  SetBufferedOutput(buffered_output);
  if (active_) MakeCurrent();
  SetAutoReadInput(auto_read_input);
  SetAutoReadLimit(auto_read_limit);
  SetTempDir(std::move(temp_dir));
  SetAutoHttpHeader(auto_http_header);
  SetAutoContentType(std::move(auto_content_type));
  OnRequestError = std::move(on_request_error);
  OnExecRequest = std::move(on_exec_request);
  OnFirstExecRequest = std::move(on_first_exec_request);
  OnLastExecRequest = std::move(on_last_exec_request);
}

TNSAPIEngine::~TNSAPIEngine() {
  TNSAPIEngine* self = this;
  nsapi_engine.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

void TNSAPIEngine::ExecRequest() {
  NsapiThreadState& state = nsapi_state;
  try {
    if (ServerFunctionAddress(NsFunction::net_write) == nullptr) LoadServerLibrary();
    if (!IsActiveAdapter() && IsLibrary()) {
      active_ = true;
      MakeCurrent();
    }
    // Cleared first: a request whose fields cannot be read has none, not
    // those of the thread's previous request.
    state.fields.clear();
    state.fields = ReadNsapiFields();
    if (first_request_.exchange(false) && OnFirstExecRequest) OnFirstExecRequest(this);
    if (OnExecRequest) OnExecRequest(this);
  } catch (...) {
    state.failed = true;
    throw;
  }
}

std::string TNSAPIEngine::ReadNsapiFields() {
  const std::string method = GetRequestMethod();
  if (method != "POST") return method == "GET" ? GetQueryString() : std::string();
  const std::string length_text = GetVariable("content-length");
  int length = 0;
  if (!TryStrToInt(length_text, &length)) {
    throw std::runtime_error("'" + length_text + "' is not a valid integer value");
  }
  if (length > AutoReadLimit()) {
    WriteLog("Content length exceeds AutoReadLimit");
    return std::string();
  }
  if (length <= 0) return std::string();
  // The content type comes from the request headers, where the server keeps
  // it under "content-type"; the CGI name would find nothing.
  if (UpperCase(GetContentType()).find("MULTIPART/FORM-DATA;") != std::string::npos) {
    return ReadMultipartInput();
  }
  netbuf* input = RequireRequest().sn->inbuf;
  std::string text;
  if (input == nullptr) return text;
  text.reserve(static_cast<size_t>(length));
  for (int i = 0; i < length; ++i) {
    const int c = ReadInputByte(input);
    if (c < 0) break;
    text.push_back(static_cast<char>(c));
    if (c == 0) break;
  }
  // The fields are the text before the first zero byte.
  text.resize(std::strlen(text.c_str()));
  return text;
}

std::string TNSAPIEngine::FindValue(const char* name, pblock* block) {
  std::string value;
  FindParameter(name, block, &value);
  return value;
}

pblock* TNSAPIEngine::RequestBlock() { return RequireRequest().rq->reqpb; }

std::string TNSAPIEngine::GetServerProtocol() { return FindValue("protocol", RequestBlock()); }
std::string TNSAPIEngine::GetRequestMethod() { return FindValue("method", RequestBlock()); }
std::string TNSAPIEngine::GetScriptName() { return GetExecutablePath(); }
std::string TNSAPIEngine::GetQueryString() { return FindValue("query", RequestBlock()); }
std::string TNSAPIEngine::GetRemoteHost() { return FindValue("dns", RequireRequest().sn->client); }
std::string TNSAPIEngine::GetRemoteAddr() { return FindValue("ip", RequireRequest().sn->client); }
std::string TNSAPIEngine::GetContentType() {
  return FindValue("content-type", RequireRequest().rq->headers);
}
std::string TNSAPIEngine::GetUserAgent() {
  return FindValue("user-agent", RequireRequest().rq->headers);
}
std::string TNSAPIEngine::GetCookie() { return FindValue("cookie", RequireRequest().rq->headers); }
// The server keeps the header under its own name; the CGI names the base
// asks for would find nothing, and every visit would lose its referrer.
std::string TNSAPIEngine::GetReferer() {
  return FindValue("referer", RequireRequest().rq->headers);
}
int TNSAPIEngine::GetContentLength() {
  int value = 0;
  return TryStrToInt(GetVariable("content-length"), &value) ? value : 0;
}
std::string TNSAPIEngine::GetExecutablePath() { return FindValue("uri", RequestBlock()); }

void TNSAPIEngine::WriteOut(const void* bytes, int count) {
  NsapiThreadState& state = RequireRequest();
  // Body bytes never go out before the status line and the headers: a body
  // written before any header starts the response with what srvhdrs holds.
  if (!state.response_started) {
    Require<HttpStatusFunc>(NsFunction::http_status)(
        state.sn, state.rq, state.error_status ? PROTOCOL_SERVER_ERROR : PROTOCOL_OK, nullptr);
    Require<HttpStartResponseFunc>(NsFunction::http_start_response)(state.sn, state.rq);
    state.response_started = true;
  }
  // A visitor who went away must not stop the request: a failed write is
  // dropped, as the CGI adapter drops it.
  Require<NetWriteFunc>(NsFunction::net_write)(state.sn->csd, static_cast<const char*>(bytes),
                                               count);
  state.body_written = true;
}



int TNSAPIEngine::ReadData(void* buffer, int count) {
  if (count <= 0) return 0;
  netbuf* input = RequireRequest().sn->inbuf;
  if (input == nullptr) return -1;
  unsigned char* out = static_cast<unsigned char*>(buffer);
  int got = 0;
  while (got < count) {
    const int c = ReadInputByte(input);
    if (c < 0) break;
    out[got++] = static_cast<unsigned char>(c);
  }
  return got > 0 ? got : -1;
}

void TNSAPIEngine::SendHeader(const std::string& name, const std::string& value) {
  NsapiThreadState& state = RequireRequest();
  // The server keeps response header names in lower case; one name, one
  // header, whatever case the caller wrote it in.
  const std::string key = LowerCase(name);
  pblock* headers = state.rq->srvhdrs;
  if (pb_param* old = Require<PblockFrFunc>(NsFunction::pblock_fr)(key.c_str(), headers, 1)) {
    Require<ParamFreeFunc>(NsFunction::param_free)(old);
  }
  Require<PblockNvinsertFunc>(NsFunction::pblock_nvinsert)(key.c_str(), value.c_str(), headers);
}

void TNSAPIEngine::WriteErrorStatus() {
  // The server composes the status line: the answer's status becomes 500.
  RequireRequest().error_status = true;
}

void TNSAPIEngine::EndHeader() {
  if (BufferedOutput() && !OutputIsDirect()) return;
  NsapiThreadState& state = RequireRequest();
  // The server sends the header once; a second end of header (the
  // automatic header after one the handler composed) has nothing to send.
  if (state.response_started) return;
  Require<HttpStatusFunc>(NsFunction::http_status)(
      state.sn, state.rq, state.error_status ? PROTOCOL_SERVER_ERROR : PROTOCOL_OK, nullptr);
  Require<HttpStartResponseFunc>(NsFunction::http_start_response)(state.sn, state.rq);
  state.response_started = true;
}

std::string TNSAPIEngine::GetVariable(const std::string& name) {
  std::string key = UpperCase(name);
  for (char& c : key) {
    if (c == ' ') c = '_';
  }
  if (key == "SCRIPT_NAME" || key == "EXECUTABLE_PATH") return GetScriptName();
  NsapiThreadState& state = RequireRequest();
  pblock* const blocks[] = {state.rq->reqpb,   state.rq->vars,   state.rq->headers,
                            state.rq->srvhdrs, state.sn->client, state.pb};
  std::string found;
  for (pblock* block : blocks) {
    if (FindParameter(name.c_str(), block, &found)) return found;
  }
  char* value = nullptr;
  Require<RequestHeaderFunc>(NsFunction::request_header)(name.c_str(), &value, state.sn, state.rq);
  return value ? std::string(value) : std::string();
}

std::string TNSAPIEngine::GetField(const std::string& name, const std::string& default_value) {
  return FindField(nsapi_state.fields, name, default_value);
}

std::vector<std::string> TNSAPIEngine::GetFieldNames() {
  return ListFieldNames(nsapi_state.fields);
}

THttpEngine::TLock* TNSAPIEngine::CreateLock() {
  return static_cast<TLock*>(Require<CritInitFunc>(NsFunction::crit_init)());
}

void TNSAPIEngine::EnterLock(TLock* lock) {
  if (lock) Require<CritFunc>(NsFunction::crit_enter)(lock);
}

void TNSAPIEngine::LeaveLock(TLock* lock) {
  if (lock) Require<CritFunc>(NsFunction::crit_exit)(lock);
}

void TNSAPIEngine::FreeLock(TLock* lock) {
  if (lock) Require<CritFunc>(NsFunction::crit_terminate)(lock);
}

bool TNSAPIEngine::IsActiveAdapter() { return NsapiActive(); }

bool TNSAPIEngine::ServerComposesHeader() { return true; }

}  // namespace vantora
