// The Windows CGI adapter: the web server writes the whole request into a
// profile file (adapters/CgiWEngProfile.h) and starts the program with that
// file's path as its only parameter; the program writes its complete answer
// (header lines, the empty line, the body) into the output file the profile
// names, and ends.  The web server composes the status line itself, so the
// answer carries none.
//
// Where the request's parts are found:
//   [CGI], [System], [Extra Headers], [Accept]   request variables, searched
//                                                in this order (GetVariable)
//   [System] "Output File"                       where the answer goes
//   [System] "Content File"                      the request body; read only
//                                                for multipart forms
//   [Extra Headers] "Cookie"                     the request's cookies
//   [Form Literal], [Form File], [Form External] the fields of a POST form;
//                                                a field sent several times
//                                                is NAME, NAME_1, NAME_2, ...
//
// Normal mode: one process, one request.  StartCgiWinUnit() runs before any
// form exists and decides whether this is a Windows CGI process at all; the
// facade (adapters/GenEng.h) constructs the adapter while the main form
// loads, and that construction serves the profile named on the command line
// (RunProfile) and, with AutoTerminate, ends the process with exit code 0.
//
// A Windows CGI process may also hand its request to the persistent CGI
// server (adapters/CgiRelay.h; this variant's steps in CgiWEngRelay.cpp):
// the list record names the profile, and the server writes the output file
// itself.  The places where a process leaves normal mode for it are marked
// "Hand-over to the CGI server" in CgiWEng.cpp.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "adapters/CgiRelay.h"
#include "adapters/CgiWEngProfile.h"
#include "engine/HttpEng.h"
#include "platform/HandleStream.h"

namespace vantora {

// The adapter's per-thread fields: one request per thread.
struct CgiWinThreadState {
  // Full path of the present request's profile.
  std::string profile_path;
  // The present request's profile; null until ExecRequest reads it.
  std::unique_ptr<TCGIIniFile> profile;
  // The output file named by the profile, and the open file.
  std::string output_file_name;
  std::unique_ptr<THandleStream> output;
  // The request body ([System] "Content File"), open only for multipart
  // requests.
  std::unique_ptr<THandleStream> content;
  // The url-encoded fields decoded from a multipart body; empty otherwise.
  std::string multipart_data;
  // The thread serving the request (CGI server-thread mode only).
  TThread* request_thread = nullptr;
  // This thread's part in the CGI server mode; created when first needed.
  std::unique_ptr<TServerData> server_data;
};

// The calling thread's server data of this variant.
TServerData& CgiWinServerData();

// The Windows variant's relay steps (CgiWEngRelay.cpp).
//
// The CGI server part of the unit start-up, run after StartCgiWinUnit once
// the usage questions are answered, in a Windows CGI process only: clears a
// stale list; the server process starts its list; a request process whose
// profile a live server registers waits for it to be served and ends.
void StartCgiWinRelay();
// Client: registers the profile with a live server, waits until it is
// served and ends the process.  Returns when no server registered it.
void RelayProfileToRunningServer(const std::string& profile_path);
// Server: removes the profile's record; the profile itself stays.
void FinishProfileEntry(const std::string& name);

// The calling thread's record.
CgiWinThreadState& CgiWinState();

// Unit start-up, run by the program start-up before any form is created (the
// command line must be set first, platform/CommandLine.h).  Sets the two
// process-wide flags below.
void StartCgiWinUnit();

// True when this process is not a Windows CGI process: it runs as a library,
// or SERVER_SOFTWARE is set and CGI_VERSION does not name Windows CGI ("WIN"
// in any case).
bool IsNotWindowsCgiProcess();
// True in a Windows CGI process started without parameters: the Windows CGI
// side of the CGI server process.
bool IsWindowsCgiServerProcess();

// The path as the profile gives it.  On POSIX there is no drive to add.
std::string AddSystemDrive(const std::string& path);

class TCGIWinEngine : public THttpEngine {
 public:
  // The arguments in the order the facade passes them; started_by_hand is
  // the facade's flag for a start with no SERVER_SOFTWARE and no parameters.
  // In a Windows CGI process in NormalMode the constructor serves the
  // profile named by the first parameter; with auto_terminate the process
  // ends inside it.
  TCGIWinEngine(TComponent* owner, bool started_by_hand, TCGIMode cgi_mode, bool auto_terminate,
                bool buffered_output, bool no_cache, std::string temp_dir, std::string session_name,
                int auto_read_limit, bool auto_read_input, std::string auto_content_type,
                bool auto_http_header, TRequestErrorEvent on_request_error,
                TLastExecRequestEvent on_last_exec_request, TExecRequestEvent on_exec_request,
                TFirstExecRequestEvent on_first_exec_request);
  ~TCGIWinEngine() override;

  // The Windows CGI engine constructed last in this process, or null.  The
  // CGI server's threads serve through it.
  static TCGIWinEngine* ProcessEngine();

  // End the process after the request (the facade passes CgiAutoTerminate).
  bool AutoTerminate() const { return auto_terminate_; }
  void SetAutoTerminate(bool value) { auto_terminate_ = value; }

  // Serves the request whose profile is at path on the calling thread, then,
  // with AutoTerminate, ends the program.
  void RunProfile(const std::string& path);

  // Reads the profile and opens the output file it names (emptied first),
  // and for a multipart request the content file; then raises
  // OnFirstExecRequest (once per engine), OnExecRequest and, outside the CGI
  // server process, OnLastExecRequest.  A profile without an output file
  // raises no event and writes nothing.  Throws std::runtime_error naming
  // the file when the profile, the output file or the content file cannot
  // be opened.
  void ExecRequest() override;
  // Base clean-up; then closes the output and content files.
  void FinishRequest() override;
  TThread* CurrentRequestThread() override;
  // [Extra Headers] "Cookie"; empty when absent.
  std::string GetCookie() override;
  // One read of up to count bytes from the content file.  Returns the number
  // read, 0 at its end or when no content file is open, -1 on an error.
  int ReadData(void* buffer, int count) override;
  // name + ":" + value + CR LF, never preceded by a status line.
  void SendHeader(const std::string& name, const std::string& value) override;
  // A "Status:" header line: the web server composes the status line.
  void WriteErrorStatus() override;
  // The profile entry: the name upper-cased with '_' as blank ("CONTENT_TYPE"
  // and "Content Type" are the same), "SCRIPT NAME" read as "EXECUTABLE
  // PATH", looked up in [CGI], [System], [Extra Headers] and [Accept].
  // Empty when missing.
  std::string GetVariable(const std::string& name) override;
  // Multipart fields, else the query string of a GET, else the form sections
  // with NAME, NAME_1, NAME_2, ... joined by CR LF.
  std::string GetField(const std::string& name, const std::string& default_value) override;
  std::vector<std::string> GetFieldNames() override;
  // True in a Windows CGI process.
  bool IsActiveAdapter() override;

  // One field of a POST form from [Form Literal], [Form File] or [Form
  // External] (a GET reads the query string), or kNotAvailable.
  std::string ReadFormValue(const std::string& name);

  // Server: serves the relayed profile on the calling thread and finishes
  // its entry.
  void RunServerRequest(const std::string& name);

 private:
  // Second hand-over: starts the CGI server process and relays the profile
  // to it.  Returns only when no server registered it.
  void RelayRequest();

  // Writes to the output file when output is not being collected.
  void WriteOut(const void* bytes, int count) override;
  // Opens the request's files and raises the events (ExecRequest's work).
  void OpenFilesAndRaiseEvents();

  bool auto_terminate_ = true;
  bool first_request_ = true;
  std::unique_ptr<TCgiRelayServer> relay_server_;  // the CGI server process's polling
};

}  // namespace vantora
