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
// serves requests that short-lived CGI processes relay to it through files
// (adapters/CgiRelay.h; this variant's files and steps in CgiSEngRelay.cpp).
// The two places where a request process leaves normal mode for it are
// marked "Hand-over to the CGI server" in CgiSEng.cpp.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "adapters/CgiRelay.h"
#include "engine/HttpEng.h"
#include "platform/HandleStream.h"

namespace vantora {

// The adapter's per-thread fields.  Only the start-up thread has streams in
// normal mode.
struct CgiStdThreadState {
  // Where response bytes go (standard output in normal mode).
  std::unique_ptr<THandleStream> output;
  // Server mode only: while collect_answer is set, the bytes of the relayed
  // answer collect here and reach the answer file (output) in one write when
  // the answer ends (ReleaseOutput), not in one write each.
  std::string answer;
  bool collect_answer = false;
  // Otherwise the response's pieces gather here and reach output a block at
  // a time (a page of a hundred pieces in one or a few writes); whatever
  // lets go of output or writes to it directly first writes these out
  // (FlushGatheredOutput).
  std::string gathered;
  // Server mode only: the relayed request's record is gone from the list
  // already (its answer ended early, EndRelayedAnswer).
  bool record_removed = false;
  // Where request-body bytes come from (standard input in normal mode).
  std::unique_ptr<THandleStream> input;
  // Server mode only: the relayed "name=value" environment lines.  Null in
  // normal mode, where variables come from the process environment.
  std::unique_ptr<std::vector<std::string>> variables;
  // The url-encoded field data of the present request (query string or
  // body), searched by GetField.
  std::string request_data;
  // The request's file name: the relayed request file (server side) or the
  // one this client wrote.
  std::string request_file_name;
  // The request id of the file this client wrote (four hex digits).
  std::string request_id;
  // This thread's part in the CGI server mode; created when first needed.
  std::unique_ptr<TServerData> server_data;
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

// The calling thread's server data of this variant.
TServerData& CgiStdServerData();
// The word that starts a standard CGI server as the first parameter.
inline constexpr char kStartServerParam[] = "START_SERVER";

// The standard variant's relay steps (CgiSEngRelay.cpp).
//
// True for the names of this variant's requests: the name ends in "_REQ",
// and that is its first "_REQ".
bool IsStdRequestName(const std::string& name);
// Client: writes the request file base + "_C_" + id + "_REQ" (created
// exclusively, with a fresh id on a clash, readable by its owner only): the
// environment, each "name=value" with CR LF, the line
// "KOBALT_CGI_DEBUG=true", an empty line, then CONTENT_LENGTH bytes of the
// input stream.  Returns its path, or empty after logging an error (no file
// is left then).
std::string WriteRequestFile(const std::string& base);
// Server: opens the request file (name ends in "_REQ") as the thread's input
// stream, reads its variable lines into the thread's variable list and
// leaves the stream at the body; creates the answer file (the name with
// "OUT" for "REQ") empty as the output stream.  Errors are swallowed.
void OpenRequestFile(const std::string& name);
// Server: releases the variable list, removes the request's record and
// deletes the request file.
void FinishRequestEntry(const std::string& name);
// Writes what the thread collected of a relayed answer to the output
// stream, then releases the stream (closing an answer file).
void ReleaseOutput(CgiStdThreadState& state);
// Writes the gathered response bytes to output (dropped without one).
void FlushGatheredOutput(CgiStdThreadState& state);
// Client: passes the answer file on to output.  When the header ends (CR LF
// CR LF) within the first 1024 bytes and carries no Content-Length line, the
// line "Content-Length: " + the body's size is put before its empty line.
// False when the answer file cannot be read.
bool CopyAnswer(const std::string& answer_path, THandleStream& output);
// Server: ends the answer of the relayed request the calling thread serves
// before the request is done: the answer file is closed and the request's
// record removed, so its client passes the answer on at once; whatever the
// request writes afterwards goes nowhere.  False when the thread serves no
// relayed request.
bool EndRelayedAnswer();
// Client: when a server is alive and registers the request, waits for its
// answer, passes it on and ends the process.  Otherwise returns, and the
// request is to be served here: true when its body has already gone into a
// request file, which is then the calling thread's input (try no further).
bool RelayToRunningServer(const std::string& base);

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

  // Server: serves the relayed request of the request file name on the
  // calling thread and finishes its entry.
  void RunServerRequest(const std::string& name);

 private:
  // Second hand-over: a request process with a CGIMode other than
  // NormalMode starts the CGI server when needed and relays the request to
  // it.  Returns only when no server accepted it.
  void RelayRequest();

  // The request data of the present request, from the query string or the
  // body by the rules of CONTENT_LENGTH, AutoReadLimit, AutoReadInput and
  // the content type.
  std::string ReadRequestData();
  // Writes to the output stream when output is not being collected.
  void WriteOut(const void* bytes, int count) override;

  bool server_process_;
  bool auto_terminate_;
  bool first_request_ = true;
  std::unique_ptr<TCgiRelayServer> relay_server_;  // the CGI server process's polling
};

}  // namespace vantora
