#include "adapters/GenEng.h"

#include <stdexcept>

#include "adapters/CgiSEng.h"
#include "adapters/CgiWEng.h"
#include "adapters/FastCgiStartup.h"
#include "adapters/NSapiEng.h"
#include "adapters/IsapiEng.h"
#include "engine/HttpEngRoutines.h"
#include "platform/CommandLine.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace vantora {
namespace {

// The engine serving the calling thread.  Forwarding without one is a
// programming error; it is reported rather than followed into a null engine.
THttpEngine& Current() {
  THttpEngine* engine = CurrentEngine();
  if (engine == nullptr) throw std::logic_error("No request engine serves this thread");
  return *engine;
}

}  // namespace

TGeneralHttpEngine::TGeneralHttpEngine(TComponent* owner, std::string name)
    : TGeneralHttpComponent(owner, std::move(name)) {}

TGeneralHttpEngine::~TGeneralHttpEngine() = default;

void TGeneralHttpEngine::SetAutoHttpHeader(bool value) {
  auto_http_header_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->SetAutoHttpHeader(value);
}

void TGeneralHttpEngine::SetAutoContentType(const std::string& value) {
  auto_content_type_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->SetAutoContentType(value);
}

void TGeneralHttpEngine::SetAutoReadInput(bool value) {
  auto_read_input_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->SetAutoReadInput(value);
}

void TGeneralHttpEngine::SetAutoReadLimit(int value) {
  auto_read_limit_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->SetAutoReadLimit(value);
}

void TGeneralHttpEngine::SetBufferedOutput(bool value) {
  buffered_output_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->SetBufferedOutput(value);
}

void TGeneralHttpEngine::SetTempDir(const std::string& value) {
  temp_dir_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->SetTempDir(value);
}

void TGeneralHttpEngine::SetSessionName(const std::string& value) {
  session_name_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->SetSessionName(value);
}

void TGeneralHttpEngine::SetNoCache(bool value) {
  no_cache_ = value;
  if (THttpEngine* engine = CurrentEngine()) engine->SetNoCache(value);
}

void TGeneralHttpEngine::SetOnExecRequest(TExecRequestEvent handler) {
  OnExecRequest = handler;
  if (THttpEngine* engine = CurrentEngine()) engine->OnExecRequest = std::move(handler);
}

void TGeneralHttpEngine::SetOnFirstExecRequest(TFirstExecRequestEvent handler) {
  OnFirstExecRequest = handler;
  if (THttpEngine* engine = CurrentEngine()) engine->OnFirstExecRequest = std::move(handler);
}

void TGeneralHttpEngine::SetOnLastExecRequest(TLastExecRequestEvent handler) {
  OnLastExecRequest = handler;
  if (THttpEngine* engine = CurrentEngine()) engine->OnLastExecRequest = std::move(handler);
}

void TGeneralHttpEngine::SetOnRequestError(TRequestErrorEvent handler) {
  OnRequestError = handler;
  if (THttpEngine* engine = CurrentEngine()) engine->OnRequestError = std::move(handler);
}

void TGeneralHttpEngine::Loaded() {
  TGeneralHttpComponent::Loaded();
  // No window is ever shown, so there is no main window or form to hide.
  if (IsLibrary()) {
    // The library adapters, NSAPI and then ISAPI, each deciding for itself
    // whether it serves.  CGIMode and CgiAutoTerminate stay behind: library
    // adapters run in normal mode.
    nsapi_engine_ =
        new TNSAPIEngine(Owner(), buffered_output_, no_cache_, temp_dir_, session_name_,
                         auto_read_limit_, auto_read_input_, auto_content_type_, auto_http_header_,
                         OnRequestError, OnLastExecRequest, OnExecRequest, OnFirstExecRequest);
    isapi_engine_ =
        new TISAPIEngine(Owner(), buffered_output_, no_cache_, temp_dir_, session_name_,
                         auto_read_limit_, auto_read_input_, auto_content_type_, auto_http_header_,
                         OnRequestError, OnLastExecRequest, OnExecRequest, OnFirstExecRequest,
                         OnIsapiExtensionVersion, OnIsapiFilterProc, OnIsapiFilterVersion);
    return;
  }
  if (IsFastCgiProcess()) {
    // A FastCGI application serves the web server's requests on its pool
    // of threads from here on, until the program is asked to quit.
    fastcgi_engine_ = CreateFastCgiEngine(*this);
    return;
  }
  const std::string server_software = GetEnv("SERVER_SOFTWARE");
  const bool no_cgi_environment = server_software.empty() && ParamCount() == 0;
  // "START_SERVER" starts a standard CGI server, also from a shell; it is
  // never a profile path.
  const bool start_server = ParamCount() > 0 && ParamStr(1) == kStartServerParam;

  if (CurrentEngine() == nullptr &&
      (no_cgi_environment || start_server ||
       (!server_software.empty() &&
        UpperCase(GetEnv("CGI_VERSION")).find("WIN") == std::string::npos))) {
    // In a request process in normal mode this construction serves the whole
    // request and, with CgiAutoTerminate, ends the process.
    cgi_std_engine_ = new TCGIStdEngine(Owner(), no_cgi_environment || start_server, cgi_mode_,
                                        cgi_auto_terminate_, buffered_output_, no_cache_, temp_dir_,
                                        session_name_, auto_read_limit_, auto_read_input_,
                                        auto_content_type_, auto_http_header_, OnRequestError,
                                        OnLastExecRequest, OnExecRequest, OnFirstExecRequest);
  }

  if ((CurrentEngine() == nullptr || no_cgi_environment) && !start_server) {
    // A Windows CGI request process serves its profile here and, with
    // CgiAutoTerminate, ends.
    cgi_win_engine_ = new TCGIWinEngine(
        Owner(), no_cgi_environment, cgi_mode_, cgi_auto_terminate_, buffered_output_, no_cache_,
        temp_dir_, session_name_, auto_read_limit_, auto_read_input_, auto_content_type_,
        auto_http_header_, OnRequestError, OnLastExecRequest, OnExecRequest, OnFirstExecRequest);
  }
}

std::string TGeneralHttpEngine::GetServerName() { return Current().GetServerName(); }
std::string TGeneralHttpEngine::GetServerSoftware() { return Current().GetServerSoftware(); }
std::string TGeneralHttpEngine::GetGatewayInterface() { return Current().GetGatewayInterface(); }
std::string TGeneralHttpEngine::GetServerProtocol() { return Current().GetServerProtocol(); }
std::string TGeneralHttpEngine::GetServerPort() { return Current().GetServerPort(); }
bool TGeneralHttpEngine::IsSecurePort() { return Current().IsSecurePort(); }
std::string TGeneralHttpEngine::GetRequestMethod() { return Current().GetRequestMethod(); }
std::string TGeneralHttpEngine::GetPathInfo() { return Current().GetPathInfo(); }
std::string TGeneralHttpEngine::GetPathTranslated() { return Current().GetPathTranslated(); }
std::string TGeneralHttpEngine::GetScriptName() { return Current().GetScriptName(); }
std::string TGeneralHttpEngine::GetQueryString() {
  std::string value = Current().GetQueryString();
  if (value == kNotAvailable) value.clear();
  return value;
}
std::string TGeneralHttpEngine::GetRemoteHost() { return Current().GetRemoteHost(); }
std::string TGeneralHttpEngine::GetRemoteAddr() { return Current().GetRemoteAddr(); }
std::string TGeneralHttpEngine::GetAuthType() { return Current().GetAuthType(); }
std::string TGeneralHttpEngine::GetRemoteUser() { return Current().GetVariable("Remote User"); }
std::string TGeneralHttpEngine::GetRemoteIdent() { return Current().GetRemoteIdent(); }
std::string TGeneralHttpEngine::GetContentType() { return Current().GetContentType(); }
int TGeneralHttpEngine::GetContentLength() {
  THttpEngine& engine = Current();
  try {
    return engine.GetContentLength();
  } catch (...) {
    return 0;
  }
}
std::string TGeneralHttpEngine::GetUrl() { return Current().GetUrl(); }
std::string TGeneralHttpEngine::GetUserAgent() { return Current().GetUserAgent(); }
std::string TGeneralHttpEngine::GetCookie() { return Current().GetCookie(); }
std::string TGeneralHttpEngine::GetReferer() { return Current().GetReferer(); }
std::string TGeneralHttpEngine::GetExecutablePath() { return Current().GetExecutablePath(); }
void TGeneralHttpEngine::SendText(const std::string& text) { Current().SendText(text); }
void TGeneralHttpEngine::SendData(const void* bytes, int count) {
  Current().SendData(bytes, count);
}
void TGeneralHttpEngine::SendHeader(const std::string& name, const std::string& value) {
  Current().SendHeader(name, value);
}
int TGeneralHttpEngine::ReadData(void* buffer, int count) {
  return Current().ReadData(buffer, count);
}
void TGeneralHttpEngine::EndHeader() { Current().EndHeader(); }
std::string TGeneralHttpEngine::GetVariable(const std::string& name) {
  return Current().GetVariable(name);
}
std::string TGeneralHttpEngine::GetField(const std::string& name,
                                         const std::string& default_value) {
  return Current().GetField(name, default_value);
}
std::vector<std::string> TGeneralHttpEngine::GetFieldNames() { return Current().GetFieldNames(); }
THttpEngine::TLock* TGeneralHttpEngine::CreateLock() { return Current().CreateLock(); }
void TGeneralHttpEngine::EnterLock(THttpEngine::TLock* lock) { Current().EnterLock(lock); }
void TGeneralHttpEngine::LeaveLock(THttpEngine::TLock* lock) { Current().LeaveLock(lock); }
void TGeneralHttpEngine::FreeLock(THttpEngine::TLock* lock) { Current().FreeLock(lock); }

}  // namespace vantora
