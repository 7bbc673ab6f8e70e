#include <gtest/gtest.h>

#include <fstream>

#include "app/VantoraMain.h"
#include "app/VantoraMainFixture.h"
#include "app/VantoraStatReports.h"

namespace vantora {
namespace {

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string Body(const std::string& response) {
  const size_t end = response.find("\r\n\r\n");
  return end == std::string::npos ? response : response.substr(end + 4);
}

// The page text before the footer.
std::string Page(const std::string& response) {
  const std::string body = Body(response);
  return body.substr(0, body.find("<center>\r\n"));
}

TEST(ParseReportArgsTest, Cases) {
  const struct {
    const char* tag;
    int a, b;
  } cases[] = {
      {"BROWSERSTAT", 100, 100},
      {"COUNTRYSTAT_500_10", 500, 10},
      {"BROWSERSTAT_20", 20, 20},
      {"REFERERSTAT_1_2_3", 1, 100},
      {"REFERERSTAT_X", 100, 100},
      {"REFERERSTAT_X_7", 100, 7},
      {"REFERERSTAT_7_", 7, 100},
      {"REFERERSTAT_", 100, 100},
      {"LASTVISITORSTAT_-5", -5, -5},
      {"LASTVISITORSTAT_+5_0", 5, 0},
      {"LASTVISITORSTAT_99999999999", 100, 100},
      {"LASTVISITORSTAT_ 5", 100, 100},
  };
  for (const auto& c : cases) {
    const TReportArgs args = ParseReportArgs(c.tag);
    EXPECT_EQ(args.a, c.a) << c.tag;
    EXPECT_EQ(args.b, c.b) << c.tag;
  }
}

TEST(AveragesTest, DivideByTheDaysWithDataUpToThePeriod) {
  const double day = 46000;  // any day number
  const struct {
    const char* name;
    int hits;
    double q, now, first;
    int avg7, avg30, avg365;
  } cases[] = {
      {"first day: the hits so far", 5, day + 0.5, day + 0.5, day, 5, 5, 5},
      {"third day of a new site", 10, day + 2.25, day + 2.25, day, 3, 3, 3},
      {"halves round to even", 5, day + 1.5, day + 1.5, day, 2, 2, 2},
      {"7 full days", 71, day + 8, day + 8, day, 10, 8, 8},
      {"30 days: month truncates", 59, day + 29.5, day + 29.5, day, 8, 1, 2},
      {"display zone behind server day", 59, day + 28.9, day + 29.1, day, 8, 1, 2},
      {"display zone ahead of server day", 59, day + 29.1, day + 28.9, day, 8, 2, 2},
      {"365 days: year truncates", 729, day + 364.5, day + 364.5, day, 104, 24, 1},
      {"first day after now (clock set back)", 4, day - 1, day - 1, day, 4, 4, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Average7D(c.hits, c.q, c.first), c.avg7);
    EXPECT_EQ(Average30D(c.hits, c.q, c.now, c.first), c.avg30);
    EXPECT_EQ(Average365D(c.hits, c.q, c.now, c.first), c.avg365);
  }
}

class TagTest : public MainFormTest {
 protected:
  // Adds hits in the hour of a local time.
  void Hits(TDateTime at, int count) {
    TVisitorRecord record;
    record.Time = at;
    for (int k = 0; k < count; ++k) module_.AddHourlyHit(record);
  }
  std::string Fill(const std::string& template_text, const std::string& query = "") {
    WriteFile(Folder() + "/vantora.htm", template_text);
    return Page(Serve(Request{query, {{"REMOTE ADDR", "127.0.0.1"}}}));
  }
};

TEST_F(TagTest, EveryCounterAndDateTag) {
  const TDateTime d = Today();
  Hits(d + 10.5 * kHour, 3);
  Hits(d - 1 + 20 * kHour, 2);
  Hits(d - 5 + 12 * kHour, 4);
  Hits(d - 20 + 12 * kHour, 6);
  Hits(d - 50 + 12 * kHour, 12);
  Hits(d - 100 + 12 * kHour, 1);
  EXPECT_EQ(
      Fill("<p>%DATE%|%TIME%|%HITS_TODAY%|%HITS_1D%|%HITS_7D%|%HITS_30D%|%HITS_365D%|"
           "%AVG_7D%|%AVG_30D%|%AVG_365D%|%TOP_365%|%TOP_30%|%FIRST_DAY%|%TOP_30_DAY%|"
           "%TOP_365_DAY%</p>\r\n"),
      "<p>2026/12/09|14:15:00|3|5|9|15|28|1|0|0|12|6|2026/08/31|2026/11/19|2026/10/20</p>\r\n");
  // Names are case-insensitive; both delimiters work.
  EXPECT_EQ(Fill("<p>%hits_today%|#Hits_7d#</p>"), "<p>3|9</p>");
}

TEST_F(TagTest, MissingFilesGiveZeroCountersAndToday) {
  EXPECT_EQ(Fill("<p>%HITS_TODAY%|%AVG_30D%|%TOP_365%|%FIRST_DAY%|%TOP_30_DAY%</p>"),
            "<p>0|0|0|2026/12/09|2026/12/09</p>");
}

TEST_F(TagTest, TzTagSetsTheZoneOfTheCountersAndDates) {
  SetNow(Today() + 23 * kHour);
  Hits(Today() + 21.5 * kHour, 1);  // 23:30 at universal time + 2
  Hits(Today() + 22.5 * kHour, 1);  // 00:30 of the next day there
  const struct {
    const char* page;
    const char* expected;
  } cases[] = {
      {"<p>%HITS_TODAY%|%DATE% %TIME%</p>", "<p>2|2026/12/09 23:00:00</p>"},
      {"<p>%TZ2%%HITS_TODAY%|%DATE% %TIME%</p>", "<p>1|2026/12/10 01:00:00</p>"},
      {"<p>%TZ+2%%HITS_TODAY%</p>", "<p>1</p>"},
      {"<p>%tz-3%%HITS_TODAY%|%TIME%</p>", "<p>2|20:00:00</p>"},
      {"<p>%TZ%%HITS_TODAY%|%TIME%</p>", "<p>2|23:00:00</p>"},
      {"<p>%TZX%%HITS_TODAY%</p>", "<p>2</p>"},
      // Counters are computed at the first tag; a later TZ moves the
      // displayed time only.
      {"<p>%HITS_TODAY%%TZ2%|%HITS_TODAY%|%TIME%</p>", "<p>2|2|01:00:00</p>"},
  };
  for (const auto& c : cases) EXPECT_EQ(Fill(c.page), c.expected) << c.page;
  // The share tables' links carry the zone to the examine page.
  module_.RecordHit(THitRequest{"Agent/1", "10.1.2.3", "10.1.2.3", "unknown", ""});
  const std::string table = Fill("<table>%TZ2%%REMOTEADDRSTAT%</table>");
  EXPECT_NE(table.find("TZ=2&"), std::string::npos) << table;
  EXPECT_EQ(Fill("<table>%REMOTEADDRSTAT%</table>").find("TZ="), std::string::npos);
}

TEST_F(TagTest, UnknownTagsGoToTheFallbacksButStatNamesStayHandled) {
  Hits(Today() + 10 * kHour, 3);
  EXPECT_EQ(Fill("<p>%MYSTATUS%|%FOO%|%HITS_TODAY%</p>", "MYSTATUS=x&FOO=b%3Car"),
            "<p>|b&lt;ar|3</p>");
  const std::string random = Fill("<p>%RANDOM%</p>");
  const int value = std::stoi(random.substr(3));
  EXPECT_GE(value, 0);
  EXPECT_LE(value, 9999);
}

TEST_F(TagTest, StatisticsAreLoadedOncePerRequest) {
  Hits(Today() + 10 * kHour, 3);
  std::string seen;
  FakeEngine engine;
  engine.OnExecRequest = [&](TComponent*) {
    SetStatsPending(true);
    SetTzOverride(kNoTzOverride);
    bool handled = true;
    form_.HttpFileFilter1HttpEntry("DATE", handled);
    EXPECT_FALSE(StatsPending());
    Hits(Today() + 11 * kHour, 1);  // arrives while the page is being filled
    form_.HttpFileFilter1HttpEntry("HITS_TODAY", handled);
    EXPECT_TRUE(handled);
    handled = true;
    form_.HttpFileFilter1HttpEntry("NO_SUCH_TAG", handled);
    EXPECT_FALSE(handled);
  };
  engine.RunRequest();
  EXPECT_EQ(engine.output().rfind("2026/12/093", 0), 0u) << engine.output();
  EXPECT_EQ(Fill("<p>%HITS_TODAY%</p>"), "<p>4</p>");  // the next request sees it
}

TEST_F(TagTest, ReportTagsWriteTheirTables) {
  const struct {
    const char* address;
    const char* agent;
    const char* host;
    const char* referrer;
  } visitors[] = {
      {"10.0.0.1", "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)", "a.example.de",
       "http://search.example/q"},
      {"10.0.0.2", "Mozilla/4.7 [en] (Win98; I)", "b.sample.com", "http://other.example/"},
      {"10.0.0.1", "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)", "a.example.de",
       "http://search.example/r"},
  };
  for (const auto& v : visitors) {
    module_.SetResolver(std::make_shared<FakeResolver>(v.host));
    module_.RecordHit(THitRequest{v.agent, v.address, "", "unknown", v.referrer});
    SetNow(Now() + 31.0 / 1440);  // past the repeat window
  }
  module_.LoadStatistics(true, false);
  const std::shared_ptr<const TVisitorList> list = Visitors();
  const std::span<const TVisitorRecord> loaded(list->Visitors.data(), 3);
  TReportLinks links;
  links.ScriptName = "/cgi-bin/vantora";
  const struct {
    const char* tag;
    std::string expected;
  } cases[] = {
      {"BROWSERSTAT", ShareReportRows(TShareReport::Browser, loaded, 100, 100, links)},
      {"BROWSERSTAT_3_1", ShareReportRows(TShareReport::Browser, loaded, 3, 1, links)},
      {"BrowserFamilyStat_3_1", ShareReportRows(TShareReport::Family, loaded, 3, 1, links)},
      {"COUNTRYSTAT_500_10", ShareReportRows(TShareReport::Country, loaded, 500, 10, links)},
      {"REFERERSTAT_1", ShareReportRows(TShareReport::Referrer, loaded, 1, 1, links)},
      {"REMOTEADDRSTAT_2_5", ShareReportRows(TShareReport::Address, loaded, 2, 5, links)},
      {"remotedomainstat", ShareReportRows(TShareReport::Domain, loaded, 100, 100, links)},
      {"LASTVISITORSTAT_2", VisitorTableRows(loaded, "", kFilterNone, 2, Now(), 0)},
      {"BROWSERSTAT_0", ""},
      {"LASTVISITORSTAT_-1", ""},
      {"OTHERSTAT", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tag);
    EXPECT_EQ(Fill(std::string("<table>%") + c.tag + "%</table>"),
              "<table>" + c.expected + "</table>");
  }
  EXPECT_NE(Fill("<table>%COUNTRYSTAT%</table>").find("Germany"), std::string::npos);
  EXPECT_NE(Fill("<table>%BROWSERFAMILYSTAT%</table>").find("Internet Explorer"),
            std::string::npos);
}

}  // namespace
}  // namespace vantora
