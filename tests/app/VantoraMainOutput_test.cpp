// The exact bytes of the pages and charts the program answers, for a fixed
// clock and fixed statistics files: the template page (every tag), the
// examine page and the hour and day charts over short and long histories.
// The expected responses under tests/app/pinned/ were written by the program
// itself; any change of a single byte in a response (apart from the random
// number of the template) or in the request log fails here.
//
// After a deliberate change of the output, VANTORA_WRITE_PINNED=1 makes the
// test write the present responses as the new expected files instead.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "app/VantoraMainFixture.h"
#include "app/VantoraStatFiles.h"
#include "charts/VantoraCharts.h"
#include "platform/Coding.h"

namespace vantora {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// A small fixed pseudo-random sequence, so that the files are varied yet the
// same on every run.
class Sequence {
 public:
  uint32_t Next() {
    state_ = state_ * 1103515245u + 12345u;
    return (state_ >> 8) & 0xFFFFFF;
  }
  template <size_t N>
  const char* Pick(const char* const (&items)[N]) {
    return items[Next() % N];
  }

 private:
  uint32_t state_ = 20261209;
};

constexpr const char* kAgents[] = {
    "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)",
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)",
    "Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0",
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 Chrome/120.0 Safari/537.36",
    "Mozilla/4.7 [en] (Win98; I)",
    "Opera(Windows)",
    "Wget/1.5",
    "",
    "Lynx/2.8.9rel.1 libwww-FM/2.14",
    "Mozilla/4.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)",
};
constexpr const char* kReferrers[] = {
    "http://www.google.com/search?q=hit+statistics",
    "https://www.example.de/links/index.html",
    "http://search.example.com/find?q=vantora&page=2",
    "http://127.0.0.1/index.html",
    "unknown",
    "",
    "http://a.b/",
    "https://news.example.org/a/b.htm",
    "file://C:\\pages\\local.htm",
    "http://it's.example.net/quote",
};
constexpr const char* kHostNames[] = {
    "pc7.example.de",
    "dialup12.city.example.com",
    "host.example.info",
    "a.b.co.uk",
    "",
    "cs.example.FR",
    "10.0.0.1",
    "proxy.isp.example.at",
    "gw.example.jp.",
    "mail.example.edu",
    "",
    "node(3).example.nl",
};

// A full visitor ring of 500 records, the newest in slot 137, one visitor
// about every seven minutes back from a few minutes before now.
std::string VisitorFile(TDateTime now) {
  Sequence sequence;
  constexpr int kNewestSlot = 137;
  std::string bytes(kFullVisitorFileSize, '\0');
  EncodeFixed32(bytes.data(), kNewestSlot);
  TDateTime time = now - 3.0 / 1440;
  for (int age = 0; age < kVisitorSlots; ++age) {
    const int slot = (kNewestSlot - age + kVisitorSlots) % kVisitorSlots;
    // One draw after another, in a fixed order: the pinned files were made
    // with these draws, and a compiler may evaluate arguments in any order.
    const uint32_t fourth = sequence.Next() % 40;
    const uint32_t third = sequence.Next() % 5;
    const uint32_t second = sequence.Next() % 3;
    const std::string address = "10." + std::to_string(second) + "." + std::to_string(third) +
                                "." + std::to_string(fourth);
    const char* host_name = sequence.Pick(kHostNames);
    const char* agent = sequence.Pick(kAgents);
    const char* referrer = sequence.Pick(kReferrers);
    const TVisitorRecord record = MakeVisitorRecord(time, referrer, agent, address, host_name);
    EncodeVisitorRecord(record, bytes.data() + kVisitorHeaderSize + slot * kVisitorRecordSize);
    time -= (1 + sequence.Next() % 12) / 1440.0;
  }
  return bytes;
}

// Hourly records for the given number of days up to the present hour: most
// hours have hits, more of them by day than by night.
std::string HourlyFile(TDateTime now, int days) {
  Sequence sequence;
  std::string bytes;
  const TDateTime present = HourStart(now);
  for (int k = days * 24; k >= 0; --k) {
    if (sequence.Next() % 7 == 0) continue;  // an hour without hits
    const TDateTime start = HourStart(present - k / 24.0 + 1e-9);
    const int hour_of_day = static_cast<int>(std::lround((start - std::floor(start)) * 24)) % 24;
    const int hits =
        1 + static_cast<int>(sequence.Next() % 9) + (hour_of_day >= 8 && hour_of_day < 20 ? 6 : 0);
    char record[kHourRecordSize];
    EncodeHourRecord(THourRecord{start, hits}, record);
    bytes.append(record, sizeof record);
  }
  return bytes;
}

struct PinnedCase {
  std::string name;   // also the expected file's name
  std::string query;  // the request's query string
  int history_days;   // the hourly file's reach
};

// The request number of a log line depends on how many requests the test
// process served before; the random number of the template page changes on
// every request.
std::string Masked(std::string text) {
  text = std::regex_replace(text, std::regex(",  [0-9]+ : "), ",  # : ");
  return std::regex_replace(text, std::regex("page [0-9]+</font>"), "page #</font>");
}

class PinnedOutputTest : public MainFormTest, public ::testing::WithParamInterface<PinnedCase> {
 protected:
  static std::string ExpectedPath(const std::string& file) {
    return std::string(VANTORA_SOURCE_DIR) + "/tests/app/pinned/" + file;
  }

  // Compares bytes with the expected file, or writes it when asked to.
  static void ExpectPinned(const std::string& file, const std::string& actual) {
    const std::string path = ExpectedPath(file);
    const char* write = std::getenv("VANTORA_WRITE_PINNED");
    if (write != nullptr && std::string(write) == "1") {
      fs::create_directories(fs::path(path).parent_path());
      WriteFile(path, actual);
      return;
    }
    ASSERT_TRUE(fs::exists(path)) << path;
    const std::string expected = ReadFile(path);
    ASSERT_EQ(actual.size(), expected.size()) << file;
    EXPECT_TRUE(actual == expected) << file << " differs from the pinned bytes";
  }

  TFormCharts charts_{nullptr};
};

TEST_P(PinnedOutputTest, ResponseAndLogStayByteForByte) {
  const PinnedCase& c = GetParam();
  const TDateTime now = Now();
  WriteFile(Folder() + "/vantora.stat1", VisitorFile(now));
  WriteFile(Folder() + "/vantora.stat2", HourlyFile(now, c.history_days));
  // A template of its own, with every tag: the sample site's template may
  // change its wording without touching the program.
  fs::copy_file(ExpectedPath("template.htm"), Folder() + "/vantora.htm");

  const std::string response = Serve(c.query);
  EXPECT_EQ(errors_, "");
  const bool picture = c.query.find("CHART") != std::string::npos;
  ExpectPinned(c.name + (picture ? ".gif.response" : ".html.response"), Masked(response));
  ExpectPinned(c.name + ".log", Masked(Log()));
}

INSTANTIATE_TEST_SUITE_P(
    Pages, PinnedOutputTest,
    ::testing::Values(PinnedCase{"template_1_year", "", 365},
                      PinnedCase{"template_10_years", "", 3650},
                      PinnedCase{"template_zone_shift_30_days", "TZ=5", 30},
                      PinnedCase{"examine", "A=X", 365},
                      PinnedCase{"examine_country", "A=X&CO=de", 365},
                      PinnedCase{"examine_domain", "A=X&RD=example.com", 365},
                      PinnedCase{"examine_country_capitals", "A=X&CO=fR", 365},
                      PinnedCase{"examine_address", "A=X&RA=10.1.2.7", 365},
                      PinnedCase{"examine_referrer", "A=X&RE=Search.Example.COM", 365},
                      PinnedCase{"examine_escaped_filter", "A=X&RA=%3Cb%3E%26%22'", 365},
                      PinnedCase{"hour_chart_30_days", "A=CHART&Accuracy=1H&Days=30", 30},
                      PinnedCase{"hour_chart_10_years", "A=CHART&Accuracy=1H&Days=30", 3650},
                      PinnedCase{"four_hour_chart_3_days", "A=CHART&Accuracy=4H&Days=3", 365},
                      PinnedCase{"day_chart_1_year", "A=CHART&Accuracy=1D&Days=365", 365},
                      PinnedCase{"day_chart_10_years", "A=CHART&Accuracy=1D&Days=365", 3650},
                      PinnedCase{"week_chart_shifted", "A=CHART&Accuracy=7D&Days=90&TZ=-3", 3650}),
    [](const ::testing::TestParamInfo<PinnedCase>& info) { return info.param.name; });

}  // namespace
}  // namespace vantora
