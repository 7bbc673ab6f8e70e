// libvantora.so with the whole program behind its ISAPI entry points, driven
// by the test host the way a web server drives it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include "engine/HttpEng.h"
#include "support/IsapiHost.h"
#include "support/IsapiLibraryFolder.h"

namespace vantora {
namespace {

using namespace std::string_literals;

class IsapiLibraryTest : public ::testing::Test {
 protected:
  DWORD Serve(IsapiConnection& connection) { return folder_.library().Serve(connection); }
  void WriteTemplate(const std::string& text) {
    std::ofstream(folder_.File(".htm"), std::ios::binary) << text;
  }

  IsapiLibraryFolder folder_;
};

TEST_F(IsapiLibraryTest, VersionRecordsAndTermination) {
  IsapiLibrary& library = folder_.library();
  THSE_VERSION_INFO version;
  std::memset(&version, 'x', sizeof version);
  EXPECT_EQ(library.GetExtensionVersion(&version), kIsapiTrue);
  EXPECT_EQ(version.dwExtensionVersion, 0x00020000u);
  EXPECT_STREQ(version.lpszExtensionDesc, "CORVEX 3.04.01");

  THTTP_FILTER_VERSION filter;
  std::memset(&filter, 'x', sizeof filter);
  filter.dwServerFilterVersion = 0x00060000;
  EXPECT_EQ(library.GetFilterVersion(&filter), kIsapiTrue);
  EXPECT_EQ(filter.dwFilterVersion, 0x00020000u);
  EXPECT_EQ(filter.dwServerFilterVersion, 0x00060000u);
  // Without a handler the filter asks for no notifications.
  EXPECT_EQ(filter.dwFlags, 0u);
  EXPECT_STREQ(filter.lpszFilterDesc, "");

  EXPECT_EQ(library.TerminateExtension(0), kIsapiTrue);
}

TEST_F(IsapiLibraryTest, CountingPictureRecordsTheHitOncePerVisitor) {
  IsapiConnection first(CountingRequest("192.0.2.10"));
  EXPECT_EQ(Serve(first), HSE_STATUS_SUCCESS);
  EXPECT_EQ(first.head(), "HTTP/1.1 200 OK\r\ncontent-type:image/gif\r\n");
  EXPECT_EQ(first.body().substr(0, 6), "GIF89a");
  EXPECT_EQ(first.body().back(), ';') << "the whole picture, up to its trailer";
  EXPECT_EQ(first.log_data(), "");

  // The same visitor again within half an hour counts once.
  IsapiConnection again(CountingRequest("192.0.2.10"));
  EXPECT_EQ(Serve(again), HSE_STATUS_SUCCESS);
  EXPECT_EQ(again.output(), first.output());

  EXPECT_EQ(TotalHits(folder_.File(".stat2")), 1);
  const VisitorFileContents visitors = ReadVisitorFile(folder_.File(".stat1"));
  ASSERT_EQ(visitors.slots.size(), 1u);
  EXPECT_EQ(visitors.slots[0].Address, "192.0.2.10");
  EXPECT_EQ(visitors.slots[0].Referrer, "http://www.example.org/page.html");
}

TEST_F(IsapiLibraryTest, TemplateExamineAndChartPages) {
  IsapiConnection count(CountingRequest("192.0.2.11"));
  Serve(count);
  WriteTemplate("<html><p>today=%HITS_TODAY% week=%HITS_7D%</p>\r\n");

  IsapiConnection page(PageRequest(""));
  EXPECT_EQ(Serve(page), HSE_STATUS_SUCCESS);
  EXPECT_EQ(page.head(), "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n");
  EXPECT_NE(page.body().find("<p>today=1 week=1</p>"), std::string::npos) << page.body();

  IsapiConnection examine(PageRequest("ACTION=EXAMINE"));
  EXPECT_EQ(Serve(examine), HSE_STATUS_SUCCESS);
  EXPECT_NE(examine.body().find("192.0.2.11"), std::string::npos) << examine.body();
  EXPECT_NE(examine.body().find("</html>"), std::string::npos);

  IsapiConnection chart(PageRequest("ACTION=CHART&Days=7"));
  EXPECT_EQ(Serve(chart), HSE_STATUS_SUCCESS);
  EXPECT_EQ(chart.head(), "HTTP/1.1 200 OK\r\ncontent-type:image/gif\r\n");
  EXPECT_EQ(chart.body().substr(0, 6), "GIF89a");
}

TEST_F(IsapiLibraryTest, PostedFieldsSplitBetweenPreloadedBytesAndReadClient) {
  IsapiRequest request = PageRequest("");
  request.method = "POST";
  request.content_type = "application/x-www-form-urlencoded";
  request.body = "ACTION=EXAMINE&RA=192.0.2.12";
  request.preloaded = 5;
  request.read_piece = 4;
  IsapiConnection examine(request);
  EXPECT_EQ(Serve(examine), HSE_STATUS_SUCCESS);
  EXPECT_EQ(examine.body_bytes_read(), request.body.size());
  EXPECT_NE(examine.body().find("</html>"), std::string::npos) << examine.body();
}

TEST_F(IsapiLibraryTest, FilterNotificationsPassOn) {
  IsapiLibrary& library = folder_.library();
  IsapiFilterCall call;
  std::string raw = "GET /scripts/libvantora.so?a=1 HTTP/1.1\r\nCookie: Vantora=NOSTAT\r\n\r\n";
  THTTP_FILTER_RAW_DATA record = call.RawData(raw);
  EXPECT_EQ(library.HttpFilterProc(call.context(), SF_NOTIFY_READ_RAW_DATA, &record),
            SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(library.HttpFilterProc(call.context(), SF_NOTIFY_PREPROC_HEADERS, nullptr),
            SF_STATUS_REQ_NEXT_NOTIFICATION);
  EXPECT_EQ(call.output(), "");
}

// A failing request tells the server through its status and the first 79
// characters of the message in the block's log data.
TEST(IsapiLibraryFailureTest, FailingRequestFillsTheLogData) {
  IsapiLibraryFolder folder(std::string(120, 'd'));
  // The hourly file cannot be opened: recording the hit fails.
  ASSERT_EQ(::mkdir(folder.File(".stat2").c_str(), 0755), 0);
  IsapiConnection connection(CountingRequest("192.0.2.13"));
  EXPECT_EQ(folder.library().Serve(connection), HSE_STATUS_ERROR);
  EXPECT_EQ(connection.body().substr(0, 6), "GIF89a") << "the picture went out first";
  EXPECT_EQ(connection.status_code(), 200u) << "the status that went out stays";
  const std::string log_data = connection.log_data();
  EXPECT_EQ(log_data.size(), 79u);
  EXPECT_NE(folder.Log().find(" : Unhandled exception : " + log_data), std::string::npos)
      << folder.Log();
}

// A request that fails before anything of its response went out answers a
// 500 with a short plain body, and the block's status says so to the server.
TEST_F(IsapiLibraryTest, FailureBeforeAnyOutputAnswersServerError) {
  // No template beside the library: the template page cannot be served.
  IsapiConnection page(PageRequest(""));
  EXPECT_EQ(Serve(page), HSE_STATUS_ERROR);
  EXPECT_EQ(page.status_code(), 500u);
  EXPECT_EQ(
      page.output(),
      "HTTP/1.1 500 Internal Server Error\r\ncontent-type:text/plain\r\n\r\n"s + kFailureBody);
  EXPECT_NE(page.log_data(), "");
  EXPECT_NE(folder_.Log().find(" : Unhandled exception : " + page.log_data()), std::string::npos)
      << folder_.Log();

  // The next request of the thread starts with a clean slate.
  WriteTemplate("<html><p>back</p>\r\n");
  IsapiConnection again(PageRequest(""));
  EXPECT_EQ(Serve(again), HSE_STATUS_SUCCESS);
  EXPECT_EQ(again.status_code(), 200u);
  EXPECT_EQ(again.head(), "HTTP/1.1 200 OK\r\ncontent-type:text/html\r\n");
}

}  // namespace
}  // namespace vantora
