#include "adapters/CgiWEng.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "adapters/CgiSEng.h"
#include "adapters/FastCgiStartup.h"
#include "engine/HttpEngRoutines.h"
#include "platform/CommandLine.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace vantora {
namespace {

thread_local CgiWinThreadState cgi_win_state;
bool not_windows_cgi = false;
bool windows_cgi_server = false;
TCGIWinEngine* process_engine = nullptr;

// The sections GetVariable searches, in order.
const char* const kVariableSections[] = {"CGI", "SYSTEM", "EXTRA HEADERS", "ACCEPT"};

bool ComputeNotWindowsCgi() {
  // "--fastcgi ADDRESS" is no profile: a FastCGI application serves.
  if (IsLibrary() || IsFastCgiProcess()) return true;
  // "START_SERVER" starts a standard CGI server; it is never a profile.
  if (ParamCount() > 0 && ParamStr(1) == kStartServerParam) return true;
  return !GetEnv("SERVER_SOFTWARE").empty() &&
         UpperCase(GetEnv("CGI_VERSION")).find("WIN") == std::string::npos;
}

}  // namespace

CgiWinThreadState& CgiWinState() { return cgi_win_state; }

void StartCgiWinUnit() {
  not_windows_cgi = ComputeNotWindowsCgi();
  windows_cgi_server = !not_windows_cgi && ParamCount() == 0;
}

TServerData& CgiWinServerData() {
  if (!cgi_win_state.server_data) cgi_win_state.server_data = std::make_unique<TServerData>();
  return *cgi_win_state.server_data;
}

bool IsNotWindowsCgiProcess() { return not_windows_cgi; }
bool IsWindowsCgiServerProcess() { return windows_cgi_server; }

std::string AddSystemDrive(const std::string& path) { return path; }

TCGIWinEngine::TCGIWinEngine(TComponent* owner, bool started_by_hand, TCGIMode cgi_mode,
                             bool auto_terminate, bool buffered_output, bool no_cache,
                             std::string temp_dir, std::string session_name, int auto_read_limit,
                             bool auto_read_input, std::string auto_content_type,
                             bool auto_http_header, TRequestErrorEvent on_request_error,
                             TLastExecRequestEvent on_last_exec_request,
                             TExecRequestEvent on_exec_request,
                             TFirstExecRequestEvent on_first_exec_request)
    : THttpEngine(owner, "CGIWinEngine") {
  process_engine = this;
  first_request_ = true;
  auto_terminate_ = true;
  SetSessionName(std::move(session_name));
  SetNoCache(no_cache);
  SetBufferedOutput(buffered_output);
  if (not_windows_cgi) return;

  SetAutoReadInput(auto_read_input);
  SetAutoReadLimit(auto_read_limit);
  SetTempDir(std::move(temp_dir));
  SetAutoHttpHeader(auto_http_header);
  SetAutoContentType(std::move(auto_content_type));
  auto_terminate_ = auto_terminate;
  SetCGIMode(started_by_hand || windows_cgi_server ? ServerProcessMode(cgi_mode) : cgi_mode);
  // (Threads need no preparation here: the per-thread state is thread_local.)
  OnRequestError = std::move(on_request_error);
  OnLastExecRequest = std::move(on_last_exec_request);
  OnExecRequest = std::move(on_exec_request);
  OnFirstExecRequest = std::move(on_first_exec_request);

  MakeCurrent();
  // A Windows CGI process started without parameters is the CGI server
  // process: it serves the relayed profiles from its poll timer and the
  // wake-ups of the server folder.  (The first hand-over, of a request
  // process to a running server, happens at unit start-up.)
  if (windows_cgi_server) {
    if (!CgiRelayEnabled()) return;
    TCgiRelayServer::Variant variant;
    variant.interval_ms = 60;
    variant.own_kind = [](const std::string& name) { return !IsStdRequestName(name); };
    variant.run_request = [this](const std::string& path) { RunServerRequest(path); };
    variant.finish_entry = FinishProfileEntry;
    relay_server_ = std::make_unique<TCgiRelayServer>(this, ServerBasePath(true), CGIMode(),
                                                      std::move(variant));
    return;
  }
  RunProfile(AddSystemDrive(ParamStr(1)));
}

TCGIWinEngine::~TCGIWinEngine() {
  if (process_engine == this) process_engine = nullptr;
}

TCGIWinEngine* TCGIWinEngine::ProcessEngine() { return process_engine; }

void TCGIWinEngine::RunProfile(const std::string& path) {
  CgiWinThreadState& state = cgi_win_state;
  state.profile_path = path;
  state.multipart_data.clear();
  // Hand-over to the CGI server, second point: with a CGIMode other than
  // NormalMode the profile is relayed to the CGI server process, which
  // writes the output file.  When no server takes it, it is served here.
  if (CGIMode() != TCGIMode::NormalMode && CgiRelayEnabled()) RelayRequest();
  RunRequest();
  if (auto_terminate_) TerminateProgram();
}

void TCGIWinEngine::ExecRequest() {
  try {
    OpenFilesAndRaiseEvents();
  } catch (...) {
    // The output file stays open until FinishRequest, so that what the
    // request cycle still writes (collected output) reaches it.  The cycle
    // reports the error (request log and standard error).
    cgi_win_state.content.reset();
    throw;
  }
}

void TCGIWinEngine::OpenFilesAndRaiseEvents() {
  CgiWinThreadState& state = cgi_win_state;
  state.output.reset();
  state.content.reset();
  state.profile.reset();
  state.profile = std::make_unique<TCGIIniFile>(state.profile_path);

  state.output_file_name = state.profile->ReadProfileValue("System", "OUTPUT FILE", "");
  if (state.output_file_name.empty()) {
    ReportFailure("Profile " + state.profile_path + " names no output file");
    return;
  }
  state.output_file_name = AddSystemDrive(state.output_file_name);
  // Emptied on opening: a shorter answer must not end in the tail of an
  // earlier one written to the same file.
  const int output =
      ::open(state.output_file_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (output < 0) {
    throw std::runtime_error("Cannot open output file " + state.output_file_name + " of profile " +
                             state.profile_path + ": " + std::strerror(errno));
  }
  state.output = std::make_unique<THandleStream>(output, true);

  const std::string content_file = GetVariable("Content File");
  if (!content_file.empty() &&
      UpperCase(GetVariable("CONTENT_TYPE")).find("MULTIPART/FORM-DATA;") != std::string::npos) {
    const std::string path = AddSystemDrive(content_file);
    const int content = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info;
    if (content < 0 || ::fstat(content, &info) != 0 || !S_ISREG(info.st_mode)) {
      const std::string reason = content < 0 ? std::strerror(errno) : "not a regular file";
      if (content >= 0) ::close(content);
      throw std::runtime_error("Cannot open content file " + path + " of profile " +
                               state.profile_path + ": " + reason);
    }
    state.content = std::make_unique<THandleStream>(content, true);
    state.multipart_data = ReadMultipartInput();
  }

  if (first_request_ && OnFirstExecRequest) {
    first_request_ = false;
    OnFirstExecRequest(this);
  }
  if (OnExecRequest) OnExecRequest(this);
  if (OnLastExecRequest && !windows_cgi_server) OnLastExecRequest(this);
}

void TCGIWinEngine::FinishRequest() {
  THttpEngine::FinishRequest();
  CgiWinThreadState& state = cgi_win_state;
  state.output.reset();
  state.content.reset();
}

TThread* TCGIWinEngine::CurrentRequestThread() { return CurrentCgiRequestThread(); }

std::string TCGIWinEngine::GetCookie() {
  const TCGIIniFile* profile = cgi_win_state.profile.get();
  return profile ? profile->ReadProfileValue("EXTRA HEADERS", "COOKIE", "") : std::string();
}

void TCGIWinEngine::WriteOut(const void* bytes, int count) {
  if (cgi_win_state.output) cgi_win_state.output->Write(bytes, count);
}



int TCGIWinEngine::ReadData(void* buffer, int count) {
  if (count <= 0 || !cgi_win_state.content) return 0;
  return cgi_win_state.content->Read(buffer, count);
}

void TCGIWinEngine::SendHeader(const std::string& name, const std::string& value) {
  // The status-line decision is taken (there is never one), so the base
  // rules that look at the first header see it as written.
  CurrentRequestState().first_header_written = true;
  SendText(name + ":" + value + "\r\n");
}

void TCGIWinEngine::WriteErrorStatus() { SendLine("Status: 500 Internal Server Error"); }

std::string TCGIWinEngine::GetVariable(const std::string& name) {
  const TCGIIniFile* profile = cgi_win_state.profile.get();
  if (profile == nullptr) return std::string();
  std::string key = UpperCase(name);
  for (char& c : key) {
    if (c == '_') c = ' ';
  }
  if (Trim(key) == "SCRIPT NAME") key = "EXECUTABLE PATH";
  for (const char* section : kVariableSections) {
    if (const std::string* value = profile->FindValue(section, key)) return *value;
  }
  return std::string();
}

bool TCGIWinEngine::IsActiveAdapter() { return !not_windows_cgi; }

}  // namespace vantora
