// Hit charts behind lighttpd: the vantora program and the chart test
// program (the same forms, sending JPEG charts) run as CGI programs of a
// server started by the test, over an hourly file written by the test
// around the present hour.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>

#include "GifDecodeCheck.h"
#include "app/VantoraStatFiles.h"
#include "charts/VantoraCharts.h"
#include "platform/DateTime.h"
#include "platform/Paths.h"
#include "support/WebServer.h"

namespace vantora {
namespace {

using testing_gif::DecodeWithGiflib;
using testing_gif::DecodeWithLibjpeg;

class ChartBehindLighttpd : public ::testing::Test {
 protected:
  std::unique_ptr<WebServer> StartServer(const std::string& program,
                                         std::map<std::string, std::string> environment = {}) {
    std::string error;
    auto server = WebServer::Start(
        {WebServer::Kind::kLighttpd, program, "vantora", std::move(environment)}, &error);
    EXPECT_TRUE(server) << error;
    if (server) WriteHours(*server);
    return server;
  }

  // The hours of the last four days, one to five hits each, the newest the
  // present hour.
  static void WriteHours(const WebServer& server) {
    const TDateTime now = Now();
    std::string bytes;
    for (int k = 96; k >= 0; --k) {
      char record[kHourRecordSize];
      EncodeHourRecord({HourStart(now - k / 24.0), k % 5 + 1}, record);
      bytes.append(record, kHourRecordSize);
    }
    const std::string path = server.ProgramDir() + "/vantora.stat2";
    ASSERT_TRUE(WriteWholeFile(path, bytes));
    chmod(path.c_str(), 0644);
  }

  // The colours a GIF response shows, with their pixel counts; checks that
  // it is a 400 x 200 chart whose white background is transparent.
  static std::map<TColor, int> ExpectGifChart(const HttpResponse& response) {
    std::map<TColor, int> pixels;
    EXPECT_EQ(response.curl_exit, 0) << response.curl_errors;
    EXPECT_NE(response.status_line.find(" 200 OK"), std::string::npos) << response.raw;
    EXPECT_EQ(response.Header("Content-Type"), "image/gif") << response.headers;
    const auto gif = DecodeWithGiflib(response.body);
    EXPECT_TRUE(gif.ok) << gif.error;
    if (!gif.ok || gif.frames.size() != 1) return pixels;
    EXPECT_EQ(gif.screen_width, 400);
    EXPECT_EQ(gif.screen_height, 200);
    const auto& frame = gif.frames[0];
    EXPECT_GE(frame.transparent_index, 0);
    if (frame.transparent_index >= 0) {
      EXPECT_EQ(frame.palette[static_cast<size_t>(frame.transparent_index)], clWhite);
    }
    for (uint8_t index : frame.indices) ++pixels[frame.palette[index]];
    return pixels;
  }
};

TEST_F(ChartBehindLighttpd, HourChartAsGif) {
  auto server = StartServer(VANTORA_CHART_PROGRAM);
  ASSERT_TRUE(server);
  std::map<TColor, int> pixels = ExpectGifChart(server->Request("A=CHART&Accuracy=1H&Days=7"));
  EXPECT_GT(pixels[kChartLastBarColor], 0);
  EXPECT_GT(pixels[kChartBackWallColor], 0);
  // The chart request records nothing.
  EXPECT_FALSE(FileExists(server->ProgramDir() + "/vantora.stat1"));
  EXPECT_EQ(server->ExitCodes(1), std::vector<int>{0}) << server->ErrorLog();
}

TEST_F(ChartBehindLighttpd, HourChartAsJpeg) {
  auto server = StartServer(VANTORA_CHART_CGI, {{"CHART_FORMAT", "jpeg"}});
  ASSERT_TRUE(server);
  const HttpResponse response = server->Request("A=CHART&Accuracy=1H&Days=7");
  EXPECT_EQ(response.curl_exit, 0) << response.curl_errors;
  EXPECT_NE(response.status_line.find(" 200 OK"), std::string::npos) << response.raw;
  EXPECT_EQ(response.Header("Content-Type"), "image/jpeg") << response.headers;
  const auto jpeg = DecodeWithLibjpeg(response.body);
  ASSERT_TRUE(jpeg.ok) << jpeg.error;
  EXPECT_EQ(jpeg.width, 400);
  EXPECT_EQ(jpeg.height, 200);
  EXPECT_EQ(jpeg.components, 3);
  EXPECT_EQ(server->ExitCodes(1), std::vector<int>{0}) << server->ErrorLog();
}

}  // namespace
}  // namespace vantora
