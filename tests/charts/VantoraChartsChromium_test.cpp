// The sample statistics template in a real browser: headless Chromium loads
// the statistics page of the vantora program behind lighttpd, with its hour
// chart and day chart over thirty days of hours written by the test.  The
// screenshot is written to <build>/charts/chromium-statistics-charts.png.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/VantoraStatFiles.h"
#include "platform/DateTime.h"
#include "support/Chromium.h"
#include "support/ScopedTempDir.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

TEST(ChartsInChromium, SampleTemplateShowsHourAndDayCharts) {
  ASSERT_EQ(access(kChromium, X_OK), 0) << "Debian's chromium is needed (tools/packages.txt)";
  WebServer::Options options;
  options.program = VANTORA_CHART_PROGRAM;
  std::string error;
  std::unique_ptr<WebServer> server = WebServer::Start(options, &error);
  ASSERT_NE(server, nullptr) << error;

  const std::string template_path = server->ProgramDir() + "/vantora.htm";
  ASSERT_TRUE(WriteWholeFile(
      template_path, ReadWholeFile(std::string(VANTORA_SOURCE_DIR) + "/tools/demo/vantora.htm")));
  chmod(template_path.c_str(), 0644);
  // Thirty days of hours, busier by day than by night.
  const TDateTime now = Now();
  std::string bytes;
  for (int k = 30 * 24; k >= 0; --k) {
    const TDateTime hour = HourStart(now - k / 24.0);
    const int hour_of_day = static_cast<int>((hour - static_cast<long>(hour)) * 24 + 0.5);
    char record[kHourRecordSize];
    EncodeHourRecord({hour, 1 + (hour_of_day >= 8 && hour_of_day < 20 ? 6 : 0) + k % 3}, record);
    bytes.append(record, kHourRecordSize);
  }
  const std::string stat_path = server->ProgramDir() + "/vantora.stat2";
  ASSERT_TRUE(WriteWholeFile(stat_path, bytes));
  chmod(stat_path.c_str(), 0644);

  // The two chart addresses of the template answer GIF pictures.
  for (const char* query : {"A=CHART&Accuracy=1H&Days=3", "A=CHART&Accuracy=1D&Days=30"}) {
    const HttpResponse chart = server->Request(query);
    EXPECT_EQ(chart.Header("Content-Type"), "image/gif") << query << "\n" << chart.headers;
    EXPECT_EQ(chart.body.substr(0, 6), "GIF89a") << query;
  }
  const std::string page = server->Request("").body;
  EXPECT_NE(page.find("<img src=\"vantora?A=CHART&amp;Accuracy=1H&amp;Days=3\""), std::string::npos)
      << page;
  EXPECT_NE(page.find("<img src=\"vantora?A=CHART&amp;Accuracy=1D&amp;Days=30\""),
            std::string::npos);
  ASSERT_EQ(server->ExitCodes(3).size(), 3u);

  const std::string shots = std::string(VANTORA_BINARY_DIR) + "/charts";
  std::filesystem::create_directories(shots);
  const std::string shot = shots + "/chromium-statistics-charts.png";
  std::filesystem::remove(shot);
  const ChromiumRun run = RunHeadlessChromium("1000,1100", "--screenshot=" + shot, server->Url());
  EXPECT_EQ(run.exit_code, 0) << run.errors;
  EXPECT_EQ(ReadWholeFile(shot).substr(0, 8), "\x89PNG\r\n\x1a\n");
  // The browser fetched the page and both charts: three more processes.
  EXPECT_EQ(server->ExitCodes(6).size(), 6u) << server->ErrorLog();
}

}  // namespace
}  // namespace vantora
