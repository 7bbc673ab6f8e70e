// The engine facade: the one engine component the application places on its
// main form.  It serves no request itself.  When the form has loaded it looks
// at how the process was started and creates the adapter for it, handing it
// every property value and event handler; afterwards its operations forward
// to the engine that serves the calling thread.
//
// How the process was started        adapters created
//   loaded as a library                NSAPI, then ISAPI
//   SERVER_SOFTWARE set, CGI_VERSION    standard CGI (which serves the
//     without "WIN"                       request)
//   SERVER_SOFTWARE set, CGI_VERSION    Windows CGI
//     containing "WIN" (any case)
//   no SERVER_SOFTWARE, parameters      Windows CGI (the profile file is
//                                         named on the command line)
//   no SERVER_SOFTWARE, no parameters   standard CGI and Windows CGI, with
//                                         the no-CGI-environment flag (the
//                                         CGI server process)
//   a FastCGI process (standard input   FastCGI, before any of the above
//     a listening socket, or
//     "--fastcgi ADDRESS")
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/HttpEng.h"
#include "platform/Component.h"

namespace vantora {

class TCGIStdEngine;
class TCGIWinEngine;
class TNSAPIEngine;
class TISAPIEngine;
struct THTTP_FILTER_CONTEXT;

// ISAPI events, raised by the ISAPI adapter.
using THttpExtensionVersionEvent =
    std::function<void(int& request_version, std::string& request_desc, bool& result_value)>;
using THttpFilterProcEvent = std::function<void(THTTP_FILTER_CONTEXT& pfc, int notification_type,
                                                void* pv_notification, int& result_value)>;
using THttpFilterVersionEvent =
    std::function<void(int& server_filter_version, int& filter_version, std::string& filter_desc,
                       int& flags, bool& result_value)>;

// A component class that adds nothing; the facade's base.
class TGeneralHttpComponent : public TComponent {
 public:
  using TComponent::TComponent;
};

class TGeneralHttpEngine : public TGeneralHttpComponent {
 public:
  explicit TGeneralHttpEngine(TComponent* owner, std::string name = "GeneralHttpEngine1");
  ~TGeneralHttpEngine() override;

  // Published properties.  A forwarding setter also sets the property on the
  // calling thread's current engine, so a change made while a request is
  // served takes effect at once; a plain setter (CGIMode, CgiAutoTerminate)
  // matters only before loading.
  bool AutoHttpHeader() const { return auto_http_header_; }
  void SetAutoHttpHeader(bool value);
  const std::string& AutoContentType() const { return auto_content_type_; }
  void SetAutoContentType(const std::string& value);
  bool AutoReadInput() const { return auto_read_input_; }
  void SetAutoReadInput(bool value);
  int AutoReadLimit() const { return auto_read_limit_; }
  void SetAutoReadLimit(int value);
  bool BufferedOutput() const { return buffered_output_; }
  void SetBufferedOutput(bool value);
  const std::string& TempDir() const { return temp_dir_; }
  void SetTempDir(const std::string& value);
  TCGIMode CGIMode() const { return cgi_mode_; }
  void SetCGIMode(TCGIMode value) { cgi_mode_ = value; }
  bool CgiAutoTerminate() const { return cgi_auto_terminate_; }
  void SetCgiAutoTerminate(bool value) { cgi_auto_terminate_ = value; }
  const std::string& SessionName() const { return session_name_; }
  void SetSessionName(const std::string& value);
  bool NoCache() const { return no_cache_; }
  void SetNoCache(bool value);

  // Request events.  Handed to the adapters when they are created; the
  // Set... forms also set the handler on the current engine.
  TExecRequestEvent OnExecRequest;
  TFirstExecRequestEvent OnFirstExecRequest;
  TLastExecRequestEvent OnLastExecRequest;
  TRequestErrorEvent OnRequestError;
  void SetOnExecRequest(TExecRequestEvent handler);
  void SetOnFirstExecRequest(TFirstExecRequestEvent handler);
  void SetOnLastExecRequest(TLastExecRequestEvent handler);
  void SetOnRequestError(TRequestErrorEvent handler);
  // ISAPI events (plain): handed to the ISAPI adapter.
  THttpExtensionVersionEvent OnIsapiExtensionVersion;
  THttpFilterProcEvent OnIsapiFilterProc;
  THttpFilterVersionEvent OnIsapiFilterVersion;

  // Chooses and creates the adapters (see the table above).  Called once the
  // owner has set the properties; in a standard CGI request process in
  // normal mode the request is served, and with CgiAutoTerminate the
  // process ends, inside this call.
  void Loaded() override;

  // The standard CGI adapter this facade created (owned by the facade's
  // owner), or null.
  TCGIStdEngine* CgiStdEngine() const { return cgi_std_engine_; }
  // The Windows CGI adapter this facade created (owned by the facade's
  // owner), or null.
  TCGIWinEngine* CgiWinEngine() const { return cgi_win_engine_; }
  // The FastCGI adapter this facade created (owned by the facade's owner),
  // or null.
  THttpEngine* FastCgiEngine() const { return fastcgi_engine_; }
  // The ISAPI adapter this facade created in a library (owned by the
  // facade's owner), or null.
  TISAPIEngine* IsapiEngine() const { return isapi_engine_; }

  // Forwarding operations: each calls the same operation of CurrentEngine().
  // REQUIRES: the calling thread has a current engine.
  virtual std::string GetServerName();
  virtual std::string GetServerSoftware();
  virtual std::string GetGatewayInterface();
  virtual std::string GetServerProtocol();
  virtual std::string GetServerPort();
  virtual bool IsSecurePort();
  virtual std::string GetRequestMethod();
  virtual std::string GetPathInfo();
  virtual std::string GetPathTranslated();
  virtual std::string GetScriptName();
  // Empty when the engine reports the sentinel.
  virtual std::string GetQueryString();
  virtual std::string GetRemoteHost();
  virtual std::string GetRemoteAddr();
  virtual std::string GetAuthType();
  // The variable "Remote User" (the adapter upper-cases the name).
  virtual std::string GetRemoteUser();
  virtual std::string GetRemoteIdent();
  virtual std::string GetContentType();
  // 0 when the engine's conversion fails.
  virtual int GetContentLength();
  virtual std::string GetUrl();
  virtual std::string GetUserAgent();
  virtual std::string GetCookie();
  virtual std::string GetReferer();
  virtual std::string GetExecutablePath();
  virtual void SendText(const std::string& text);
  virtual void SendData(const void* bytes, int count);
  virtual void SendHeader(const std::string& name, const std::string& value);
  virtual int ReadData(void* buffer, int count);
  virtual void EndHeader();
  virtual std::string GetVariable(const std::string& name);
  virtual std::string GetField(const std::string& name, const std::string& default_value);
  virtual std::vector<std::string> GetFieldNames();
  virtual THttpEngine::TLock* CreateLock();
  virtual void EnterLock(THttpEngine::TLock* lock);
  virtual void LeaveLock(THttpEngine::TLock* lock);
  virtual void FreeLock(THttpEngine::TLock* lock);

 private:
  bool auto_http_header_ = true;
  std::string auto_content_type_ = "text/html";
  bool auto_read_input_ = true;
  int auto_read_limit_ = 10000;
  bool buffered_output_ = false;
  std::string temp_dir_;
  TCGIMode cgi_mode_ = TCGIMode::NormalMode;
  bool cgi_auto_terminate_ = true;
  std::string session_name_ = "DefaultSession";
  bool no_cache_ = false;

  TCGIStdEngine* cgi_std_engine_ = nullptr;  // owned by Owner()
  TCGIWinEngine* cgi_win_engine_ = nullptr;  // owned by Owner()
  TNSAPIEngine* nsapi_engine_ = nullptr;     // owned by Owner()
  THttpEngine* fastcgi_engine_ = nullptr;    // owned by Owner()
  TISAPIEngine* isapi_engine_ = nullptr;     // owned by Owner()
};

}  // namespace vantora
