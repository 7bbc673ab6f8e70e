// A main form driven by recording request engines: each request runs the
// form's request handler through a fresh FakeEngine, with the statistics
// module, the program file and the clock placed in a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>

#include "app/VantoraMain.h"
#include "app/VantoraStat.h"
#include "charts/HChart.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/Paths.h"
#include "platform/Resolver.h"
#include "support/FakeEngine.h"
#include "support/ScopedEnv.h"
#include "support/ScopedTempDir.h"
#include "support/ScopedTimeZone.h"

namespace vantora {

class MainFormTest : public ::testing::Test {
 protected:
  // 2026-12-09 14:15:00 in the test's zone (universal time).
  static TDateTime Today() { return EncodeDate(2026, 12, 9); }
  static constexpr double kHour = 1.0 / 24;

  MainFormTest() {
    SetModuleFileNameForTesting(dir_.path() + "/vantora");
    InstallImageEncoders();
    module_.SetResolver(resolver_);
    SetNow(Today() + 14 * kHour + 15.0 / 1440);
  }
  ~MainFormTest() override { SetModuleFileNameForTesting(std::string()); }

  void SetNow(TDateTime local) {
    clock_.reset();
    clock_ = std::make_unique<ScopedFakeClock>(LocalToUnix(local));
  }

  // The program's folder (where the program file, its templates and its
  // statistics files are).
  const std::string& Folder() const { return dir_.path(); }

  struct Request {
    std::string query;  // the query string, also the request's field data
    std::map<std::string, std::string> variables;
  };

  // Serves one request from a visitor (address 10.1.2.3 unless the request
  // names another) and returns the response bytes.  Errors of the request
  // are kept in errors_.
  std::string Serve(const Request& request) {
    FakeEngine engine;
    engine.variables = {{"QUERY STRING", request.query},
                        {"SCRIPT NAME", "/cgi-bin/vantora"},
                        {"REMOTE ADDR", "10.1.2.3"},
                        {"HTTP USER AGENT", "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)"}};
    for (const auto& [name, value] : request.variables) engine.variables[name] = value;
    engine.request_data = request.query;
    engine.OnExecRequest = [this](TComponent* sender) {
      form_.GeneralHttpEngine1ExecRequest(sender);
    };
    engine.OnRequestError = [this](TComponent*, const std::exception& error) {
      errors_ += error.what();
      errors_ += "\n";
    };
    engine.RunRequest();
    return engine.output();
  }
  std::string Serve(const std::string& query) { return Serve(Request{query, {}}); }

  // The request log's text.
  std::string Log() const;

  // The visitors stored so far.
  int StoredVisitors() {
    module_.LoadStatistics(/*load_visitors=*/true, /*compute_counters=*/false);
    return VisitorCount();
  }

  ScopedTimeZone zone_{"UTC0"};
  ScopedTempDir dir_;
  ScopedEnv log_dir_{"CGI_LOG_DIR", std::nullopt};  // the log goes to Folder() + "/Log"
  std::shared_ptr<FakeResolver> resolver_ = std::make_shared<FakeResolver>("pc7.example.de");
  TSiteStatistic module_{nullptr};
  TFormMain form_{nullptr, /*load_engine=*/false};
  std::unique_ptr<ScopedFakeClock> clock_;
  std::string errors_;
};

inline std::string MainFormTest::Log() const {
  std::ifstream in(dir_.path() + "/Log/vantora.Log", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace vantora
