// The report tables as the template tags call them: the loaded visitor list,
// the request's script name and display zone, written into the response.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "app/VantoraStat.h"
#include "app/VantoraStatReports.h"
#include "platform/Clock.h"
#include "support/FakeEngine.h"
#include "support/ScopedTempDir.h"
#include "support/ScopedTimeZone.h"

namespace vantora {
namespace {

// 2026-12-09 12:00 UTC.
constexpr double kNowUnix = 1796817600;

class ReportRequestTest : public ::testing::Test {
 protected:
  ReportRequestTest() {
    const std::string path = dir_.path() + "/vantora.stat1";
    const TDateTime now = Now();
    const char* hosts[] = {"pc7.example.de", "mail.example.com", "b.other.DE"};
    for (int i = 0; i < 3; ++i) {
      const TVisitorRecord record =
          MakeVisitorRecord(now - (3 - i) / 24.0, "http://search.example/q?i=" + std::to_string(i),
                            "Mozilla/4.7 [en] (X11)", "10.0.0." + std::to_string(i), hosts[i]);
      AppendVisitorToFile(path, record, nullptr, kRepeatWindow);
    }
    module_.LoadVisitors(path);
    engine_.variables["SCRIPT NAME"] = "/cgi-bin/vantora";
    engine_.SetAutoHttpHeader(false);
    engine_.MakeCurrent();
  }
  ~ReportRequestTest() override {
    SetTzOverride(kNoTzOverride);
    CurrentRequestState() = RequestState();
  }
  static std::span<const TVisitorRecord> Loaded(const TVisitorList& list) {
    return {list.Visitors.data(), static_cast<size_t>(list.VisitorCount)};
  }

  ScopedTimeZone zone_{"UTC0"};
  ScopedFakeClock clock_{kNowUnix};
  ScopedTempDir dir_;
  TSiteStatistic module_{nullptr};
  FakeEngine engine_;
};

TEST_F(ReportRequestTest, ShareTablesUseTheLoadedVisitorsAndCarryTheZoneOn) {
  ASSERT_EQ(VisitorCount(), 3);
  SetTzOverride(2);
  CountryReport(100, 10);
  const std::shared_ptr<const TVisitorList> list = Visitors();
  EXPECT_EQ(engine_.output(), ShareReportRows(TShareReport::Country, Loaded(*list), 100, 10,
                                              TReportLinks{"/cgi-bin/vantora", 2}));
  EXPECT_NE(engine_.output().find("<a href=\"/cgi-bin/vantora?TZ=2&A=X&CO=DE\">Germany</a>"),
            std::string::npos)
      << engine_.output();
  EXPECT_NE(engine_.output().find("66.7%"), std::string::npos);

  struct Case {
    void (*report)(int, int);
    TShareReport kind;
  };
  for (const Case& c :
       {Case{BrowserReport, TShareReport::Browser}, Case{AddressReport, TShareReport::Address},
        Case{DomainReport, TShareReport::Domain}, Case{ReferrerReport, TShareReport::Referrer}}) {
    engine_.ClearOutput();
    c.report(2, 100);
    EXPECT_EQ(engine_.output(),
              ShareReportRows(c.kind, Loaded(*list), 2, 100, TReportLinks{"/cgi-bin/vantora", 2}));
    EXPECT_FALSE(engine_.output().empty());
  }
  // No rows asked for: nothing written.
  engine_.ClearOutput();
  AddressReport(100, 0);
  EXPECT_EQ(engine_.output(), "");
}

TEST_F(ReportRequestTest, MissingScriptNameGivesRelativeLinks) {
  engine_.variables.clear();
  engine_.missing_value = kNotAvailable;
  AddressReport(1, 1);
  EXPECT_NE(engine_.output().find("&nbsp;<a href=\"?A=X&RA=10.0.0.2\">"), std::string::npos)
      << engine_.output();
  EXPECT_EQ(engine_.output().find("NOT_AVAILABLE"), std::string::npos);
}

TEST_F(ReportRequestTest, VisitorTableShowsTheDisplayZone) {
  SetTzOverride(2);
  VisitorTable("de", kFilterCountry, 1000);
  const std::shared_ptr<const TVisitorList> list = Visitors();
  EXPECT_EQ(engine_.output(),
            VisitorTableRows(Loaded(*list), "de", kFilterCountry, 1000, Now(), 2));
  // Newest first; 11:00 and 09:00 server time are shown two hours later.
  EXPECT_NE(engine_.output().find("13:00:00"), std::string::npos) << engine_.output();
  EXPECT_NE(engine_.output().find("11:00:00"), std::string::npos);
  EXPECT_EQ(engine_.output().find("10.0.0.1"), std::string::npos);
}

TEST(ReportRequestNoModuleTest, VisitorTableNeedsTheStatisticsModule) {
  ASSERT_EQ(SiteStatistic, nullptr);
  FakeEngine engine;
  engine.MakeCurrent();
  EXPECT_THROW(VisitorTable("", kFilterNone, 10), std::logic_error);
  CurrentRequestState() = RequestState();
}

}  // namespace
}  // namespace vantora
