#include "adapters/CgiSEng.h"

#include "adapters/CgiRelay.h"
#include "adapters/CgiRequestData.h"
#include "adapters/FastCgiStartup.h"
#include "engine/HttpEngRoutines.h"
#include "platform/Application.h"
#include "platform/CommandLine.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace vantora {
namespace {

thread_local CgiStdThreadState cgi_std_state;
bool cgi_server_process = false;

// The Windows CGI adapter serves when CGI_VERSION names it, in any case.
bool WindowsCgiVersion() {
  return UpperCase(GetEnv("CGI_VERSION")).find("WIN") != std::string::npos;
}

}  // namespace

int ContentLengthValue(const std::string& text) { return CgiContentLength(text); }

CgiStdThreadState& CgiStdState() { return cgi_std_state; }

bool IsCgiServerProcess() { return cgi_server_process; }

TServerData& CgiStdServerData() {
  if (!cgi_std_state.server_data) cgi_std_state.server_data = std::make_unique<TServerData>();
  return *cgi_std_state.server_data;
}

void StartCgiStdUnit(int input_handle, int output_handle) {
  const std::string server_software = GetEnv("SERVER_SOFTWARE");
  // A FastCGI application is never the CGI server process, though a
  // process manager starts it without a CGI environment or parameters.
  cgi_server_process =
      !IsFastCgiProcess() && ((server_software.empty() && ParamCount() == 0) ||
                              (ParamCount() > 0 && ParamStr(1) == kStartServerParam));
  if (IsLibrary() || WindowsCgiVersion() || IsFastCgiProcess()) return;
  if (server_software.empty() && !cgi_server_process) return;
  // Only a server creates the server folder: a request process that finds
  // none finds no server either.
  const bool relay = CgiRelayEnabled();
  const std::string base = relay ? ServerBasePath(cgi_server_process) : std::string();
  if (relay) ClearStaleServer(base, 300, true);
  if (cgi_server_process) {
    if (!relay) return;
    if (StartServerList(CgiStdServerData(), base, true)) AnnounceServer(ExtractFileDir(base));
    TApplication::Instance().AddFinalization([base] {
      DeleteMatchingFiles(base + "_C_*");
      CloseServerWindow();
      cgi_std_state.server_data.reset();
    });
    return;
  }
  CgiStdThreadState& state = cgi_std_state;
  state.output = std::make_unique<THandleStream>(output_handle, false);
  state.input = std::make_unique<THandleStream>(input_handle, false);
  // A process that ends in the middle of a request (its watchdog, a fatal
  // error) still hands over what it has answered.
  TApplication::Instance().AddFinalization([] { FlushGatheredOutput(cgi_std_state); });
  // Hand-over to the CGI server, first point: when a CGI server process is
  // running and accepts this request, the request is relayed to it and this
  // process only copies the answer to standard output and ends, before any
  // form is created.  This holds whatever CGIMode the main form stores.
  if (relay) RelayToRunningServer(base);
}

TCGIStdEngine::TCGIStdEngine(TComponent* owner, bool server_process, TCGIMode cgi_mode,
                             bool auto_terminate, bool buffered_output, bool no_cache,
                             std::string temp_dir, std::string session_name, int auto_read_limit,
                             bool auto_read_input, std::string auto_content_type,
                             bool auto_http_header, TRequestErrorEvent on_request_error,
                             TLastExecRequestEvent on_last_exec_request,
                             TExecRequestEvent on_exec_request,
                             TFirstExecRequestEvent on_first_exec_request)
    : THttpEngine(owner, "CGIStdEngine"),
      server_process_(server_process),
      auto_terminate_(auto_terminate) {
  SetCGIMode(server_process || cgi_server_process ? ServerProcessMode(cgi_mode) : cgi_mode);
  ApplyFacadeSettings(*this, buffered_output, no_cache, std::move(temp_dir),
                      std::move(session_name), auto_read_limit, auto_read_input,
                      std::move(auto_content_type), auto_http_header, std::move(on_request_error),
                      std::move(on_last_exec_request), std::move(on_exec_request),
                      std::move(on_first_exec_request));
  // (Threads need no preparation here: the per-thread state is thread_local.)
  first_request_ = true;

  if (IsLibrary() || WindowsCgiVersion()) return;
  if (GetEnv("SERVER_SOFTWARE").empty() && !cgi_server_process) return;
  MakeCurrent();
  if (cgi_server_process) {
    if (!CgiRelayEnabled()) return;
    // The CGI server process serves the relayed requests from its poll timer
    // and the wake-ups of the server folder.
    TCgiRelayServer::Variant variant;
    variant.interval_ms = 50;
    variant.own_kind = IsStdRequestName;
    variant.run_request = [this](const std::string& path) { RunServerRequest(path); };
    variant.finish_entry = FinishRequestEntry;
    relay_server_ = std::make_unique<TCgiRelayServer>(this, ServerBasePath(true), CGIMode(),
                                                      std::move(variant));
    return;
  }
  // Hand-over to the CGI server, second point: with a CGIMode other than
  // NormalMode a request process starts or uses the CGI server and relays
  // the server's answer.  When no server takes the request, it is served
  // here.
  if (CGIMode() != TCGIMode::NormalMode && CgiRelayEnabled()) RelayRequest();
  RunRequest();
}

TCGIStdEngine::~TCGIStdEngine() = default;

void TCGIStdEngine::ExecRequest() {
  // Cleared first: a request whose data cannot be read has no fields, not
  // those of the thread's previous request.
  cgi_std_state.request_data.clear();
  cgi_std_state.request_data = ReadRequestData();
  if (first_request_ && OnFirstExecRequest) {
    first_request_ = false;
    OnFirstExecRequest(this);
  }
  if (OnExecRequest) OnExecRequest(this);
  // In normal mode every request is the last one of its process.
  if (OnLastExecRequest && CGIMode() == TCGIMode::NormalMode) OnLastExecRequest(this);
}

std::string TCGIStdEngine::ReadRequestData() {
  CgiStdThreadState& state = cgi_std_state;
  if (!state.input) return std::string();
  return ReadCgiRequestData(
      *this, [&state](char* buffer, int count) { return state.input->ReadFully(buffer, count); });
}

void TCGIStdEngine::FinishRequest() {
  THttpEngine::FinishRequest();
  CgiStdThreadState& state = cgi_std_state;
  // The answer is complete: nothing of it waits in the gathered block.
  FlushGatheredOutput(state);
  if (!auto_terminate_) return;
  // Releasing a stream leaves the standard handles themselves open; there is
  // nothing to flush, every write has already reached the handle (a relayed
  // answer's collected bytes are written out first).
  ReleaseOutput(state);
  state.input.reset();
  if (!cgi_server_process) TerminateProgram();
}

TThread* TCGIStdEngine::CurrentRequestThread() { return CurrentCgiRequestThread(); }

void TCGIStdEngine::WriteOut(const void* bytes, int count) {
  // A web server that stopped reading (the visitor went away) must not stop
  // the request: what cannot be written is dropped.
  CgiStdThreadState& state = cgi_std_state;
  if (state.collect_answer) {
    state.answer.append(static_cast<const char*>(bytes), static_cast<size_t>(count));
    return;
  }
  if (!state.output) return;
  // Each write costs a system call and wakes the web server: the pieces of a
  // response leave in blocks.
  constexpr size_t kGatherBlock = 16 * 1024;
  const auto size = static_cast<size_t>(count);
  if (state.gathered.size() + size > kGatherBlock) {
    FlushGatheredOutput(state);
    if (size >= kGatherBlock) {
      state.output->Write(bytes, count);
      return;
    }
  }
  if (state.gathered.capacity() < kGatherBlock) state.gathered.reserve(kGatherBlock);
  state.gathered.append(static_cast<const char*>(bytes), size);
}

void FlushGatheredOutput(CgiStdThreadState& state) {
  if (state.gathered.empty()) return;
  if (state.output)
    state.output->Write(state.gathered.data(), static_cast<int>(state.gathered.size()));
  state.gathered.clear();
}

int TCGIStdEngine::ReadData(void* buffer, int count) {
  if (count <= 0) return 0;
  CgiStdThreadState& state = cgi_std_state;
  if (!state.input) return -1;
  return state.input->ReadFully(buffer, count) == count ? count : -1;
}

std::string TCGIStdEngine::GetVariable(const std::string& name) {
  const std::string key = CgiVariableName(name);
  if (const std::vector<std::string>* lines = cgi_std_state.variables.get()) {
    // key is upper-cased; a line's name matches in any letter case.  Looked
    // at in place: a relayed request asks for many variables.
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    for (const std::string& line : *lines) {
      if (line.size() <= key.size() || line[key.size()] != '=') continue;
      size_t i = 0;
      while (i < key.size() && upper(line[i]) == key[i]) ++i;
      if (i == key.size()) return line.substr(key.size() + 1);
    }
    return std::string();
  }
  return GetEnv(key);
}

std::string TCGIStdEngine::GetField(const std::string& name, const std::string& default_value) {
  return FindField(cgi_std_state.request_data, name, default_value);
}

std::vector<std::string> TCGIStdEngine::GetFieldNames() {
  return ListFieldNames(cgi_std_state.request_data);
}

bool TCGIStdEngine::IsActiveAdapter() {
  if (IsLibrary()) return false;
  return (!GetEnv("SERVER_SOFTWARE").empty() || cgi_server_process) && !WindowsCgiVersion();
}

}  // namespace vantora
