// The request engine: the abstract base every server adapter derives from,
// the per-thread request state, and the free routines through which
// application code talks to the engine serving its thread.
//
// An adapter supplies only what touches the server (reading the request,
// variables and fields, writing bytes); the engine owns the request cycle
// (RunRequest), the composition of the response header, buffered output and
// the variable accessors with their fallback names.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/HttpEngFields.h"
#include "engine/HttpEngRoutines.h"
#include "platform/Component.h"
#include "platform/DateTime.h"

namespace vantora {

class TBitmap;
class TThread;  // the thread class of the CGI server's request threads
class THttpEngine;

// Marks a request variable or field that does not exist.
inline constexpr const char kNotAvailable[] = "#1NOT_AVAILABLE#1";

// The body of the answer to a request that failed before any output.  It
// names no path or detail: the reason is in the program's log.
inline constexpr const char kFailureBody[] =
    "500 Internal Server Error\r\nThe request could not be served.\r\n";

enum class TCGIMode { NormalMode, ServerMode, ServerThreadMode };

enum class TImageKind { None, Jpeg, Gif };

using TExecRequestEvent = std::function<void(TComponent* sender)>;
using TFirstExecRequestEvent = std::function<void(TComponent* sender)>;
using TLastExecRequestEvent = std::function<void(TComponent* sender)>;
using TRequestErrorEvent = std::function<void(TComponent* sender, const std::exception& error)>;

// The per-thread record of the request being served.  One per thread
// (thread_local), shared by every engine and adapter of the process; the
// fields below belong to the engine base, adapters keep their own per-thread
// fields beside it.
struct RequestState {
  // The engine serving this thread; set by MakeCurrent.  Not owned.
  THttpEngine* engine = nullptr;
  // Uploaded files of this request (multipart decoding); deleted by
  // FinishRequest.  Null when the request has no list.
  std::unique_ptr<std::vector<std::string>> temp_files;
  // The automatic content-type header has been written.
  bool header_composed = false;
  // A header line has been written (the status-line decision is taken).
  bool first_header_written = false;
  // Random 0..999 within a request, shown in log lines; 0 between requests.
  int request_number = 0;
  // Chooses the automatic content type of image responses.
  TImageKind image_kind = TImageKind::None;
  // The collected response while BufferedOutput is on; null otherwise.
  std::unique_ptr<std::string> output_buffer;
  // Writes go straight to the server (false while collecting into the buffer).
  bool direct_output = true;
  // Some text or data of the response has been written (or collected) in
  // this request.  A request that fails before that answers an error status.
  bool response_started = false;
};

// The calling thread's request state.
RequestState& CurrentRequestState();

// The image encoders that SendGifImage/SendJpegImage hand bitmaps to.  An
// encoder writes the encoded image into the response through SendData of the
// current engine.  Installed once at start-up (charts/HChart.h
// InstallImageEncoders); process-wide, safe to call from any thread.
using TBitmapEncoder = std::function<void(const TBitmap&)>;
void SetGifEncoder(TBitmapEncoder encoder);
void SetJpegEncoder(TBitmapEncoder encoder);

class THttpEngine : public TComponent {
 public:
  // A critical section as handed out by CreateLock.
  using TLock = std::mutex;

  explicit THttpEngine(TComponent* owner, std::string name = std::string());
  ~THttpEngine() override;

  // Published properties.
  const std::string& AutoContentType() const { return auto_content_type_; }
  void SetAutoContentType(std::string value) { auto_content_type_ = std::move(value); }
  bool AutoReadInput() const { return auto_read_input_; }
  void SetAutoReadInput(bool value) { auto_read_input_ = value; }
  int AutoReadLimit() const { return auto_read_limit_; }
  void SetAutoReadLimit(int value) { auto_read_limit_ = value; }
  bool AutoHttpHeader() const { return auto_http_header_; }
  void SetAutoHttpHeader(bool value) { auto_http_header_ = value; }
  bool BufferedOutput() const { return buffered_output_; }
  void SetBufferedOutput(bool value) { buffered_output_ = value; }
  TCGIMode CGIMode() const { return cgi_mode_; }
  void SetCGIMode(TCGIMode value) { cgi_mode_ = value; }
  const std::string& SessionName() const { return session_name_; }
  void SetSessionName(std::string value) { session_name_ = std::move(value); }
  const std::string& TempDir() const { return temp_dir_; }
  void SetTempDir(std::string value) { temp_dir_ = std::move(value); }
  bool NoCache() const { return no_cache_; }
  void SetNoCache(bool value) { no_cache_ = value; }

  // Events; the engine itself is passed as sender.
  TExecRequestEvent OnExecRequest;
  TFirstExecRequestEvent OnFirstExecRequest;
  TRequestErrorEvent OnRequestError;
  TLastExecRequestEvent OnLastExecRequest;

  // When the engine serves the present process: MakeCurrent.
  void Loaded() override;

  // Obtains the request data, then raises the events.
  virtual void ExecRequest() = 0;
  // End-of-request clean-up: deletes the request's uploaded files.  Adapters
  // call the base first.
  virtual void FinishRequest();

  // Request variables, with their fallback names where the servers differ.
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
  // Empty (never the sentinel) when there is no query string.
  virtual std::string GetQueryString();
  virtual std::string GetRemoteHost();
  virtual std::string GetRemoteAddr();
  virtual std::string GetAuthType();
  virtual std::string GetRemoteUser();
  virtual std::string GetRemoteIdent();
  virtual std::string GetContentType();
  // 0 when the variable is missing or not a number.
  virtual int GetContentLength();
  virtual std::string GetUrl();
  virtual std::string GetUserAgent();
  virtual std::string GetCookie();
  virtual std::string GetReferer();
  virtual std::string GetExecutablePath();

  // The thread serving the present request in CGI server-thread mode; null
  // otherwise.
  virtual TThread* CurrentRequestThread();

  // "HTTP/1.1 200 OK" unless the server software is NETSCAPE or APACHE.
  virtual void WriteStatusLine();
  // Writes the status of a failed request (500) in the form the server
  // expects, as the first line of the response: the status line
  // "HTTP/1.1 500 Internal Server Error" where WriteStatusLine writes one,
  // otherwise the header line "Status: 500 Internal Server Error" (CGI
  // servers such as Apache take the status from it).  Adapters whose server
  // is told the status another way override it.
  virtual void WriteErrorStatus();
  // The automatic header before text beginning with '<' (or before the first
  // data), then either collection into the buffer or, when output is not
  // buffered or is direct, WriteOut.
  virtual void SendText(const std::string& text);
  virtual void SendData(const void* bytes, int count);
  // Reads up to count request-body bytes.  Returns the number read, or -1
  // when the input ended before count bytes arrived or failed.  Base: 0.
  virtual int ReadData(void* buffer, int count);
  // name + ":" + value + CR LF, the status line first when due.
  virtual void SendHeader(const std::string& name, const std::string& value);
  // CR LF.
  virtual void EndHeader();
  // Upper-case names with blanks between words ("SERVER NAME").  Empty or
  // kNotAvailable when missing (adapter's choice).
  virtual std::string GetVariable(const std::string& name) = 0;
  // A form or query field; default_value when missing.
  virtual std::string GetField(const std::string& name, const std::string& default_value) = 0;
  virtual std::vector<std::string> GetFieldNames() = 0;

  // Independent critical sections.  The caller owns the lock until FreeLock.
  // Enter/Leave/Free do nothing for null.
  virtual TLock* CreateLock();
  virtual void EnterLock(TLock* lock);
  virtual void LeaveLock(TLock* lock);
  virtual void FreeLock(TLock* lock);

  // True when this adapter's server interface is the one in use.
  virtual bool IsActiveAdapter() = 0;
  // True when the server composes the status line and the header lines from
  // headers the adapter hands it, so that buffered output holds only the
  // body.  Base: in a library, when the server software names NETSCAPE.
  virtual bool ServerComposesHeader();

  // Writes the automatic header (content type and, with NoCache, the
  // no-cache lines) now, unless AutoHttpHeader is off or the header has been
  // composed already.  Pages call it before their first text, so that the
  // header comes first whatever that text begins with.
  void ComposeHeader();

  // Binds this engine to the calling thread.
  void MakeCurrent();
  // text + CR LF.
  void SendLine(const std::string& text);
  // The direct-output flag of the calling thread.
  bool OutputIsDirect() const;
  // The request cycle; adapters call it once per request on the serving
  // thread.  Never throws for errors of the request's handling: they go to
  // OnRequestError or, as "Unhandled exception : " lines, to the log and
  // standard error (ReportFailure).  A request that fails before anything
  // of its response was written answers a 500 status with a short plain
  // text body (WriteErrorStatus); the reason stays in the log.
  void RunRequest();
  // Set the image kind, then hand the bitmap to the installed encoder.
  // Throw std::runtime_error when no encoder is installed.
  void SendGifImage(const TBitmap& bitmap);
  void SendJpegImage(const TBitmap& bitmap);

  // Decodes a "multipart/form-data" body read through ReadData
  // (GetContentLength bytes) into url-encoded request data.  Uploaded files
  // are stored under TempDir and deleted by FinishRequest.  Returns empty
  // data when the input ended early or failed.  Throws std::runtime_error
  // when an upload file cannot be created or written.
  std::string ReadMultipartInput();
  // The field names of url-encoded request data, in order of appearance.
  static std::vector<std::string> ListFieldNames(const std::string& data);

 protected:
  // Hands response bytes (count > 0) to the server.  SendText and SendData
  // call it for output that is not collected; the base writes nothing.
  virtual void WriteOut(const void* bytes, int count);

 private:
  void FlushBuffer();
  // The whole answer of a request that failed before any output: the error
  // status, a plain-text content type and kFailureBody.
  void SendFailureResponse();

  std::string auto_content_type_ = "text/html";
  bool auto_read_input_ = true;
  int auto_read_limit_ = 0;
  bool auto_http_header_ = true;
  bool buffered_output_ = false;
  TCGIMode cgi_mode_ = TCGIMode::NormalMode;
  std::string session_name_;
  std::string temp_dir_;
  bool no_cache_ = false;
};

}  // namespace vantora
