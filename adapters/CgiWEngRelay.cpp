// The Windows CGI variant of the CGI server mode.  It differs from the
// standard variant only where its requests differ: the list record names the
// web server's profile, the server writes the output file the profile names
// (the client copies nothing, and the profile is never deleted), the server
// is the program started without parameters, and a client neither creates
// the list nor logs an aborted wait.
#include <chrono>
#include <thread>

#include "adapters/CgiRelay.h"
#include "adapters/CgiSEng.h"
#include "adapters/CgiWEng.h"
#include "engine/HttpEngRoutines.h"
#include "platform/Application.h"
#include "platform/CommandLine.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace vantora {

void StartCgiWinRelay() {
  CgiWinThreadState& state = CgiWinState();
  if (ParamCount() > 0) state.profile_path = AddSystemDrive(ParamStr(1));
  if (!CgiRelayEnabled()) return;
  SetWindowSeen(false);
  const bool server = IsWindowsCgiServerProcess();
  const std::string base = ServerBasePath(server);
  ClearStaleServer(base, 0, false);
  if (server) {
    if (StartServerList(CgiWinServerData(), base, false)) AnnounceServer(ExtractFileDir(base));
    TApplication::Instance().AddFinalization([] {
      CloseServerWindow();
      CgiWinState().server_data.reset();
    });
    return;
  }
  // Hand-over to the CGI server, first point: a running server that
  // registers the profile serves it, and this process ends here.
  RelayProfileToRunningServer(state.profile_path);
}

void RelayProfileToRunningServer(const std::string& profile_path) {
  if (profile_path.empty() || profile_path.size() > kListNameLimit) return;
  const std::string base = ServerBasePath(false);
  if (!RegisterRequest(CgiWinServerData(), base, [&profile_path] { return profile_path; })) return;
  // The server writes the answer into the output file itself.
  WaitForAnswer(CgiWinServerData(), base, TWaitHooks());
  TerminateProgram();
}

void FinishProfileEntry(const std::string& name) {
  FinishListRecords(ListFilePath(ServerBasePath(false)), name);
}

void TCGIWinEngine::RunServerRequest(const std::string& name) {
  CgiWinThreadState& state = CgiWinState();
  state.profile_path = name;
  state.multipart_data.clear();
  RunRequest();
  state.output.reset();
  state.content.reset();
  FinishProfileEntry(name);
}

void TCGIWinEngine::RelayRequest() {
  // The server is the program started without parameters.
  StartServerProcess({});
  for (int attempt = 0; attempt < 21; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    RelayProfileToRunningServer(CgiWinState().profile_path);
  }
}

}  // namespace vantora
