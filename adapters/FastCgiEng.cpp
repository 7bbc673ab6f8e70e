#include "adapters/FastCgiEng.h"

#include <fcgiapp.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "adapters/CgiRequestData.h"
#include "adapters/GenEng.h"
#include "engine/HttpEngRoutines.h"
#include "platform/CommandLine.h"
#include "platform/Paths.h"

namespace vantora {
namespace {

thread_local FastCgiThreadState fastcgi_state;
std::atomic<TFastCGIEngine*> service_engine{nullptr};

THttpEngine* CreateEngine(TGeneralHttpEngine& facade) {
  const FastCgiStartup& startup = FastCgiStartupState();
  auto* engine =
      new TFastCGIEngine(facade.Owner(), startup.listen_socket, startup.threads,
                         facade.BufferedOutput(), facade.NoCache(), facade.TempDir(),
                         facade.SessionName(), facade.AutoReadLimit(), facade.AutoReadInput(),
                         facade.AutoContentType(), facade.AutoHttpHeader(), facade.OnRequestError,
                         facade.OnLastExecRequest, facade.OnExecRequest, facade.OnFirstExecRequest);
  engine->Start();
  return engine;
}

void StopEngine() {
  if (TFastCGIEngine* engine = service_engine.load()) engine->Stop();
}

bool EndEngineResponse() {
  auto* engine = dynamic_cast<TFastCGIEngine*>(CurrentEngine());
  // Collected output leaves only at the end of the request.
  if (engine == nullptr || (engine->BufferedOutput() && !engine->OutputIsDirect())) return false;
  return engine->EndResponse();
}

}  // namespace

FastCgiThreadState& FastCgiState() { return fastcgi_state; }
TFastCGIEngine::TFastCGIEngine(TComponent* owner, int listen_socket, int threads,
                               bool buffered_output, bool no_cache, std::string temp_dir,
                               std::string session_name, int auto_read_limit, bool auto_read_input,
                               std::string auto_content_type, bool auto_http_header,
                               TRequestErrorEvent on_request_error,
                               TLastExecRequestEvent on_last_exec_request,
                               TExecRequestEvent on_exec_request,
                               TFirstExecRequestEvent on_first_exec_request)
    : THttpEngine(owner, "FastCGIEngine"),
      listen_socket_(listen_socket),
      threads_(threads < 1 ? 1 : threads) {
  ApplyFacadeSettings(*this, buffered_output, no_cache, std::move(temp_dir),
                      std::move(session_name), auto_read_limit, auto_read_input,
                      std::move(auto_content_type), auto_http_header, std::move(on_request_error),
                      std::move(on_last_exec_request), std::move(on_exec_request),
                      std::move(on_first_exec_request));
}

TFastCGIEngine::~TFastCGIEngine() {
  Stop();
  TFastCGIEngine* self = this;
  service_engine.compare_exchange_strong(self, nullptr);
}

void TFastCGIEngine::Start() {
  if (started_) return;
  started_ = true;
  FCGX_Init();
  free_places_ = threads_;
  service_engine.store(this);
  const int total = threads_ + kSpareThreads;
  pool_.reserve(static_cast<size_t>(total));
  for (int i = 0; i < total; ++i) pool_.emplace_back([this] { ServeRequests(); });
}

void TFastCGIEngine::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || !started_) {
      stopping_ = true;
      return;
    }
    stopping_ = true;
  }
  place_free_.notify_all();
  // Wakes the threads waiting in accept(): it fails on a socket shut down.
  FCGX_ShutdownPending();
  ::shutdown(listen_socket_, SHUT_RDWR);
  for (std::thread& thread : pool_) {
    if (thread.joinable()) thread.join();
  }
  pool_.clear();
  ::close(listen_socket_);
  const FastCgiStartup& startup = FastCgiStartupState();
  if (!startup.socket_path.empty() && startup.listen_socket == listen_socket_) {
    ::unlink(startup.socket_path.c_str());
  }
}

void TFastCGIEngine::ServeRequests() {
  FCGX_Request request;
  FCGX_InitRequest(&request, listen_socket_, 0);
  FastCgiThreadState& state = fastcgi_state;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      place_free_.wait(lock, [this] { return stopping_ || free_places_ > 0; });
      if (stopping_) break;
      --free_places_;
    }
    state.holds_place = true;
    if (FCGX_Accept_r(&request) < 0) {
      ReleasePlace();
      bool stopping;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping = stopping_;
      }
      if (stopping) break;
      // A failed accept (a connection reset before it was taken, too many
      // open files) must not turn into a busy loop.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    Serve(request);
    ReleasePlace();
  }
  FCGX_Free(&request, 1);
}

void TFastCGIEngine::Serve(FCGX_Request& request) {
  FastCgiThreadState& state = fastcgi_state;
  state.request = &request;
  state.response_ended = false;
  state.variables.clear();
  for (char** entry = request.envp; entry != nullptr && *entry != nullptr; ++entry) {
    state.variables.emplace_back(*entry);
  }
  state.request_data.clear();
  RunRequest();  // never throws; ends the answer in FinishRequest
  state.request = nullptr;
  state.variables.clear();
  state.request_data.clear();
}

void TFastCGIEngine::ReleasePlace() {
  FastCgiThreadState& state = fastcgi_state;
  if (!state.holds_place) return;
  state.holds_place = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++free_places_;
  }
  place_free_.notify_one();
}

bool TFastCGIEngine::EndResponse() {
  FastCgiThreadState& state = fastcgi_state;
  if (state.request == nullptr || state.response_ended || CurrentEngine() != this) return false;
  state.response_ended = true;
  // Flushes the output, tells the web server the answer is complete and
  // closes the connection; the copied variables stay.
  FCGX_Finish_r(state.request);
  ReleasePlace();
  return true;
}

void TFastCGIEngine::ExecRequest() {
  FastCgiThreadState& state = fastcgi_state;
  state.request_data.clear();
  state.request_data = ReadCgiRequestData(
      *this, [this](char* buffer, int count) { return ReadBody(buffer, count); });
  if (OnFirstExecRequest && first_request_.exchange(false)) OnFirstExecRequest(this);
  if (OnExecRequest) OnExecRequest(this);
}

void TFastCGIEngine::FinishRequest() {
  THttpEngine::FinishRequest();
  EndResponse();
}

void TFastCGIEngine::WriteStatusLine() {}

void TFastCGIEngine::WriteErrorStatus() { SendLine("Status: 500 Internal Server Error"); }

void TFastCGIEngine::WriteOut(const void* bytes, int count) {
  FastCgiThreadState& state = fastcgi_state;
  if (state.request == nullptr || state.response_ended) return;
  // A web server that closed the connection makes the write fail; the
  // request goes on and its output is dropped.
  FCGX_PutStr(static_cast<const char*>(bytes), count, state.request->out);
}



int TFastCGIEngine::ReadBody(char* buffer, int count) {
  FastCgiThreadState& state = fastcgi_state;
  if (state.request == nullptr || state.response_ended) return 0;
  int done = 0;
  while (done < count) {
    const int got = FCGX_GetStr(buffer + done, count - done, state.request->in);
    if (got <= 0) break;
    done += got;
  }
  return done;
}

int TFastCGIEngine::ReadData(void* buffer, int count) {
  if (count <= 0) return 0;
  return ReadBody(static_cast<char*>(buffer), count) == count ? count : -1;
}

std::string TFastCGIEngine::GetVariable(const std::string& name) {
  const std::string prefix = CgiVariableName(name) + "=";
  for (const std::string& entry : fastcgi_state.variables) {
    if (entry.compare(0, prefix.size(), prefix) == 0) return entry.substr(prefix.size());
  }
  return std::string();
}

std::string TFastCGIEngine::GetField(const std::string& name, const std::string& default_value) {
  return FindField(fastcgi_state.request_data, name, default_value);
}

std::vector<std::string> TFastCGIEngine::GetFieldNames() {
  return ListFieldNames(fastcgi_state.request_data);
}

bool TFastCGIEngine::IsActiveAdapter() { return IsFastCgiProcess(); }

void InstallFastCgiAdapter() {
  FastCgiAdapterHooks hooks;
  hooks.create = CreateEngine;
  hooks.stop = StopEngine;
  hooks.end_response = EndEngineResponse;
  SetFastCgiAdapterHooks(hooks);
}

}  // namespace vantora
