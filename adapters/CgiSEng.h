// The standard CGI adapter: the web server starts the program once per
// request; request variables come from the process environment, the request
// body from standard input, and the response goes to standard output.
//
// Normal mode: one process, one request.  StartCgiStdUnit() runs before any
// form exists and binds standard input and output to the start-up thread;
// the facade (adapters/GenEng.h) then constructs the adapter while the main
// form loads, and that construction serves the whole request with RunRequest
// and, with AutoTerminate, ends the process with exit code 0 from
// FinishRequest.
//
// The same class hosts the CGI server mode, in which a long-running process
// serves requests that short-lived CGI processes relay to it through files.
// That mode is not part of this build; the two places where a process leaves
// normal mode for it are marked "Hand-over to the CGI server" in
// CgiSEng.cpp.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/HttpEng.h"
#include "platform/HandleStream.h"

namespace vantora {

// The adapter's per-thread fields.  Only the start-up thread has streams in
// normal mode.
struct CgiStdThreadState {
  // Where response bytes go (standard output in normal mode).
  std::unique_ptr<THandleStream> output;
  // Where request-body bytes come from (standard input in normal mode).
  std::unique_ptr<THandleStream> input;
  // Server mode only: the relayed "name=value" environment lines.  Null in
  // normal mode, where variables come from the process environment.
  std::unique_ptr<std::vector<std::string>> variables;
  // The url-encoded field data of the present request (query string or
  // body), searched by GetField.
  std::string request_data;
  // The request's file name (server mode only).
  std::string request_file_name;
  // The thread serving the request (server-thread mode only).
  TThread* request_thread = nullptr;
};

// The calling thread's record.
CgiStdThreadState& CgiStdState();

// CONTENT_LENGTH as a number: optional leading blanks, an optional sign,
// decimal digits, within int.  Throws std::runtime_error for anything else
// (an error of the request).
int ContentLengthValue(const std::string& text);

// Unit start-up, run by the program start-up before any form is created (the
// command line must be set first, platform/CommandLine.h).  Decides whether
// this process is the CGI server process and, in a CGI request process, binds
// the calling thread's output stream to output_handle and its input stream to
// input_handle (the standard handles; tests pass their own).
void StartCgiStdUnit(int input_handle = 0, int output_handle = 1);

// True when this process is the CGI server process: it was started without
// SERVER_SOFTWARE and without parameters, or with the first parameter
// "START_SERVER".  Set by StartCgiStdUnit.
bool IsCgiServerProcess();

class TCGIStdEngine : public THttpEngine {
 public:
  // The arguments in the order the facade passes them.  In a CGI request
  // process with NormalMode the constructor serves the request; with
  // auto_terminate the process ends inside it.
  TCGIStdEngine(TComponent* owner, bool server_process, TCGIMode cgi_mode, bool auto_terminate,
                bool buffered_output, bool no_cache, std::string temp_dir, std::string session_name,
                int auto_read_limit, bool auto_read_input, std::string auto_content_type,
                bool auto_http_header, TRequestErrorEvent on_request_error,
                TLastExecRequestEvent on_last_exec_request, TExecRequestEvent on_exec_request,
                TFirstExecRequestEvent on_first_exec_request);
  ~TCGIStdEngine() override;

  // End the process after the request (the facade passes CgiAutoTerminate).
  bool AutoTerminate() const { return auto_terminate_; }
  void SetAutoTerminate(bool value) { auto_terminate_ = value; }

  // Reads the request data, then raises OnFirstExecRequest (once per
  // engine), OnExecRequest and, in NormalMode, OnLastExecRequest.  A
  // non-numeric CONTENT_LENGTH throws before any event.
  void ExecRequest() override;
  // Base clean-up; then, with AutoTerminate, releases the streams and, unless
  // this is the CGI server process, ends the program.
  void FinishRequest() override;
  TThread* CurrentRequestThread() override;
  void SendText(const std::string& text) override;
  void SendData(const void* bytes, int count) override;
  // Reads exactly count bytes from the input stream.  Returns count, or -1
  // when the input ended or failed first (or there is no input stream).
  int ReadData(void* buffer, int count) override;
  // "SERVER NAME" reads SERVER_NAME; "EXECUTABLE PATH" reads SCRIPT_NAME.
  // Missing variables are empty, never the sentinel.
  std::string GetVariable(const std::string& name) override;
  std::string GetField(const std::string& name, const std::string& default_value) override;
  std::vector<std::string> GetFieldNames() override;
  // False in a library; otherwise true when SERVER_SOFTWARE is set (or this
  // is the CGI server process) and CGI_VERSION does not name Windows CGI.
  bool IsActiveAdapter() override;

  // Was constructed with the facade's no-CGI-environment flag.
  bool ServerProcessFlag() const { return server_process_; }

 private:
  // The request data of the present request, from the query string or the
  // body by the rules of CONTENT_LENGTH, AutoReadLimit, AutoReadInput and
  // the content type.
  std::string ReadRequestData();
  // Writes to the output stream when output is not being collected.
  void WriteOut(const void* bytes, int count);

  bool server_process_;
  bool auto_terminate_;
  bool first_request_ = true;
};

}  // namespace vantora
