#include "app/VantoraStartup.h"

#include <signal.h>

#include <mutex>

#include "adapters/CgiRelay.h"
#include "adapters/CgiSEng.h"
#include "adapters/CgiWEng.h"
#include "adapters/FastCgiStartup.h"
#include "adapters/NSapiEng.h"
#include "app/VantoraMain.h"
#include "app/VantoraStat.h"
#include "app/VantoraUsage.h"
#include "charts/HChart.h"
#include "charts/VantoraCharts.h"
#include "platform/Application.h"
#include "platform/CommandLine.h"
#include "platform/MessageLoop.h"
#include "platform/Paths.h"

namespace vantora {

void CreateVantoraForms(TApplication& application) {
  // The counting picture and the charts leave as GIF or JPEG images.
  InstallImageEncoders();
  // The chart form comes before the statistics module.  The main form comes
  // last: in a standard CGI request process its engine serves the request
  // while it is being created.
  application.CreateForm<TFormCharts>();
  application.CreateForm<TSiteStatistic>();
  application.CreateForm<TFormMain>();
}

int RunProgram(int argc, const char* const* argv, const TFormCreator& create_forms) {
  SetCommandLine(argc, argv);
  // A web server that closes the connection early must not kill the program
  // in the middle of its work (a hit is recorded after the picture is sent):
  // writes to a closed pipe fail instead, and the output is dropped.
  signal(SIGPIPE, SIG_IGN);

  // The Windows CGI unit only looks at how the process was started; a
  // person asking for the usage text or the version is answered before any
  // unit touches a file.
  StartFastCgiUnit();
  // Only the program itself takes part in the CGI server mode.
  SetCgiRelayEnabled(true);
  StartCgiWinUnit();
  if (AnswerCommandLineQuestion()) return 0;
  if (!IsNotWindowsCgiProcess()) StartCgiWinRelay();
  StartCgiStdUnit();

  TApplication& application = TApplication::Instance();
  create_forms(application);

  // Only now do the quit signals end the loop instead of the process: a
  // request served during the forms' creation ends by their default action.
  InstallQuitSignalHandlers();
  RunMessageLoop();
  // Requests in flight finish before any form goes.
  StopFastCgiService();
  application.DestroyForms();
  application.RunFinalizations();
  return 0;
}

void StartLibrary() {
  static std::once_flag started;
  std::call_once(started, [] {
    // Set again here for hosts that link the program some other way; the
    // library sets it when it is loaded.
    SetIsLibrary(true);
    SetParams({});
    // The library adapters' unit start-up: the NSAPI server's own library.
    StartNsapiUnit();
    // The web server owns the process's signals: SIGPIPE stays as it set it.
    try {
      CreateVantoraForms(TApplication::Instance());
    } catch (...) {
      // Nothing half-made stays behind for the next attempt.
      TApplication::Instance().DestroyForms();
      throw;
    }
  });
}

}  // namespace vantora
