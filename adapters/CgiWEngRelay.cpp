// The Windows CGI variant of the CGI server mode.  It differs from the
// standard variant only where its requests differ: the list record names the
// web server's profile, the server writes the output file the profile names
// (the client copies nothing, and the profile is never deleted), the server
// is the program started without parameters, and a client neither creates
// the list nor logs an aborted wait.
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

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

extern char** environ;

namespace vantora {

void StartCgiWinRelay() {
  CgiWinThreadState& state = CgiWinState();
  if (ParamCount() > 0) state.profile_path = AddSystemDrive(ParamStr(1));
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
  RemoveListRecords(ListFilePath(ServerBasePath(false)), name);
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
  // The server is the program started without parameters, in a session of
  // its own, with the environment inherited.
  const std::string program = ModuleFileName();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int handle = 0; handle <= 2; ++handle) {
    posix_spawn_file_actions_addopen(&actions, handle, "/dev/null",
                                     handle == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  pid_t pid = -1;
  posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  for (int attempt = 0; attempt < 21; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    RelayProfileToRunningServer(CgiWinState().profile_path);
  }
}

}  // namespace vantora
