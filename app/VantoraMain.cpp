#include "app/VantoraMain.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <stdexcept>

#include "adapters/CgiSEng.h"
#include "adapters/FastCgiStartup.h"
#include "adapters/GenEng.h"
#include "app/VantoraStat.h"
#include "charts/VantoraCharts.h"
#include "engine/HUtils.h"
#include "engine/HttpEng.h"
#include "platform/DateTime.h"
#include "platform/Text.h"

namespace vantora {
namespace {

// A form field, empty when the request does not carry it.
std::string Field(const std::string& name) {
  const std::string value = GetFormField(name, "");
  return value == kNotAvailable ? std::string() : value;
}

}  // namespace

TFormMain::TFormMain(TComponent* owner, bool load_engine) : TComponent(owner, "FormMain") {
  general_http_engine1_ = new TGeneralHttpEngine(this, "GeneralHttpEngine1");
  general_http_engine1_->SetAutoContentType("text/html");
  general_http_engine1_->SetBufferedOutput(false);
  general_http_engine1_->SetCGIMode(TCGIMode::NormalMode);
  general_http_engine1_->SetCgiAutoTerminate(true);
  general_http_engine1_->SetSessionName("DefaultSession");
  general_http_engine1_->SetNoCache(false);
  general_http_engine1_->OnExecRequest = [this](TComponent* sender) {
    GeneralHttpEngine1ExecRequest(sender);
  };

  http_file_filter1_ = new THttpFileFilter(this, "HttpFileFilter1");
  http_file_filter1_->OnHttpEntry = [this](const std::string& entry_name, bool& handled) {
    HttpFileFilter1HttpEntry(entry_name, handled);
  };
  // The template page's header comes before the template's first byte.
  http_file_filter1_->OnFileOpened = [] { ComposeHeader(); };

  start_html_ = new THttpMemoFilter(this, "StartHtml");
  end_html_ = new THttpMemoFilter(this, "EndHtml");
  end_html_->SetText(FooterLines());

  image1_ = new TImage(this, "Image1");

  http_cookie1_ = new THttpCookie(this, "HttpCookie1");
  http_cookie1_->SetCookieName("Vantora");
  http_cookie1_->SetSecure(false);
  http_cookie1_->SetCoded(false);
  http_cookie1_->SetCodeKey(0);

  // Loading the facade comes last: in a standard CGI request process it
  // serves the request at once, with every component above in place.
  if (load_engine) general_http_engine1_->Loaded();
}

TFormMain::~TFormMain() = default;

TImage* TFormMain::Image1() const {
  std::call_once(picture_drawn_, [this] { DrawCountingPicture(image1_->Picture()); });
  return image1_;
}

void TFormMain::GeneralHttpEngine1ExecRequest(TComponent* /*sender*/) {
  SetStatsPending(true);
  SetTzOverride(kNoTzOverride);
  const std::string query = UpperCase(QueryString());

  std::string action;
  if (query == "STAT") {
    action = "STAT";
  } else {
    if (query == "STOPSTAT") {
      http_cookie1_->SetCookie("NOSTAT", Now() + 365);
    } else if (query == "STARTSTAT") {
      http_cookie1_->DeleteCookie();
    }
    action = UpperCase(Field("ACTION"));
    if (action.empty()) action = UpperCase(Field("A"));
  }

  if (action == "STAT") {
    SendGif(Image1()->Picture());
    // The picture is the whole response: let the visitor's page go on while
    // the hit (with its host-name lookup) is recorded.
    EndResponseEarly();
    CountVisit(query);
  } else if (action == "CHART") {
    // The chart form draws the chart picture.  The program creates it at
    // start-up once the hit charts join; until then the template page
    // answers, as it answers any action the program does not serve.
    if (FormCharts != nullptr) {
      FormCharts->MakeChart();
    } else {
      TemplatePage();
    }
  } else if (action == "EXAMINE" || action == "X") {
    ExaminePage();
  } else {
    TemplatePage();
  }
}

void TFormMain::CountVisit(const std::string& query) {
  bool count;
  if (query == "STARTSTAT") {
    count = true;
  } else if (query == "STOPSTAT") {
    count = false;
  } else {
    count = http_cookie1_->GetCookieValue("").empty();
  }
  if (!count) return;
  if (SiteStatistic == nullptr) {
    throw std::logic_error("Recording a hit needs the statistics module SiteStatistic");
  }
  SiteStatistic->RecordHit();
}

bool EndResponseEarly() {
  if (IsFastCgiProcess()) return EndFastCgiResponse();
  auto* engine = dynamic_cast<TCGIStdEngine*>(CurrentEngine());
  if (engine == nullptr) return false;
  // Collected output leaves only at the end of the request.
  if (engine->BufferedOutput() && !engine->OutputIsDirect()) return false;
  // A relayed request: its client passes the answer on while the CGI server
  // goes on with the request.
  if (IsCgiServerProcess()) return EndRelayedAnswer();
  if (engine->CGIMode() != TCGIMode::NormalMode) return false;
  CgiStdThreadState& state = CgiStdState();
  if (!state.output) return false;
  if (engine->AutoTerminate()) {
    // lighttpd, for one, sends SIGTERM to a CGI program that is still running
    // once its output is complete, so this must be in place before the
    // output ends.  The process ends by itself right after the request,
    // within the lookup deadline.
    signal(SIGTERM, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
  }
  FlushGatheredOutput(state);
  const int handle = state.output->Handle();
  state.output.reset();
  // The handle stays taken (by /dev/null) rather than closed, so that no file
  // opened later can land on it.
  const int null_handle = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_handle >= 0) {
    dup2(null_handle, handle);
    close(null_handle);
  } else {
    close(handle);
  }
  return true;
}

}  // namespace vantora
