#include "app/VantoraStatReports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/VantoraStatClassify.h"
#include "platform/DateTime.h"

namespace vantora {
namespace {

constexpr const char kMsie[] = "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)";
constexpr const char kNetscape[] = "Mozilla/4.7 [en] (Win98; I)";

TVisitorRecord Visitor(const std::string& agent, const std::string& address = "10.0.0.1",
                       const std::string& host_name = "", const std::string& referrer = "",
                       TDateTime time = 46000) {
  return MakeVisitorRecord(time, referrer, agent, address, host_name);
}

std::string Row(const std::string& item, const std::string& percentage) {
  return "<tr><td><font face=Arial size=1>&nbsp;" + item +
         "</font></td><td align=Right><font face=Arial size=1>&nbsp;" + percentage +
         "%&nbsp;&nbsp;</font></td></tr>\r\n";
}

// Keeps the host's formats as the tests set them.
class ReportFormats {
 public:
  ReportFormats() : saved_(Formats()) { Formats() = HostFormats(); }
  ~ReportFormats() { Formats() = saved_; }

 private:
  HostFormats saved_;
};

TEST(VantoraStatReportsTest, BrowserSharesOfTheVisitorsExamined) {
  ReportFormats formats;
  const std::vector<TVisitorRecord> visitors = {Visitor(kNetscape), Visitor(kMsie), Visitor(kMsie),
                                                Visitor(kMsie)};
  EXPECT_EQ(ShareReportRows(TShareReport::Browser, visitors, 100, 100, {}),
            Row("MSIE 5.5", "75.0") + Row("Mozilla/4.7", "25.0"));
  // Only the two newest visitors are examined; the percentages refer to them.
  EXPECT_EQ(ShareReportRows(TShareReport::Browser, visitors, 2, 100, {}),
            Row("Mozilla/4.7", "50.0") + Row("MSIE 5.5", "50.0"));
  // Rows cut the list, not the percentages.
  EXPECT_EQ(ShareReportRows(TShareReport::Browser, visitors, 100, 1, {}), Row("MSIE 5.5", "75.0"));
  // An agent the rule cannot name is counted as "Unknown".
  EXPECT_EQ(ShareReportRows(TShareReport::Browser, std::vector{Visitor("Wget/1.5")}, 10, 10, {}),
            Row("Unknown", "100.0"));
}

TEST(VantoraStatReportsTest, BrowserFamiliesBesideTheFirstWordTable) {
  ReportFormats formats;
  // Today's browsers all begin "Mozilla/5.0": the browser table has one row,
  // the family table tells them apart.  The agents go through the visitor
  // file's 64 characters as a counted hit stores them.
  const char* agents[] = {
      "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
      "Chrome/120.0.0.0 Safari/537.36",
      "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
      "Chrome/120.0.0.0 Safari/537.36 Edg/120.0.0.0",
      "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
      "Chrome/120.0.0.0 Safari/537.36",
      "Mozilla/5.0 (iPhone; CPU iPhone OS 17_2 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like "
      "Gecko) Version/17.2 Mobile/15E148 Safari/604.1",
      "Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)",
      "",
  };
  std::vector<TVisitorRecord> visitors;
  for (const char* agent : agents) visitors.push_back(Visitor(StoredAgent(agent, kAgentSize)));
  EXPECT_EQ(ShareReportRows(TShareReport::Family, visitors, 100, 100, {}),
            Row("Chrome", "33.3") + Row("Edge", "16.7") + Row("Safari (mobile)", "16.7") +
                Row("Crawlers", "16.7") + Row("Unknown", "16.7"));
  EXPECT_EQ(ShareReportRows(TShareReport::Browser, visitors, 100, 100, {}),
            Row("Mozilla/5.0", "66.7") + Row("Googlebot/2.1", "16.7") + Row("Unknown", "16.7"));
  // Rows and visitors examined work as in every share table; no links.
  EXPECT_EQ(ShareReportRows(TShareReport::Family, visitors, 2, 1, {"/cgi-bin/vantora", 2}),
            Row("Chrome", "50.0"));
}

TEST(VantoraStatReportsTest, NothingToShow) {
  const std::vector<TVisitorRecord> visitors = {Visitor(kMsie)};
  EXPECT_EQ(ShareReportRows(TShareReport::Browser, {}, 100, 100, {}), "");
  EXPECT_EQ(ShareReportRows(TShareReport::Browser, visitors, 0, 100, {}), "");
  EXPECT_EQ(ShareReportRows(TShareReport::Browser, visitors, -5, 100, {}), "");
  EXPECT_EQ(ShareReportRows(TShareReport::Address, visitors, 100, 0, {}), "");
  EXPECT_EQ(ShareReportRows(TShareReport::Address, visitors, 100, -1, {}), "");
}

TEST(VantoraStatReportsTest, EqualCountsKeepTheOrderOfTheNewestFirstScan) {
  struct Case {
    std::vector<std::string> addresses;  // newest first
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {{"a", "b", "a", "b"}, {"a", "b"}},
      {{"b", "a", "b", "a"}, {"b", "a"}},
      {{"c", "b", "a", "a", "b"}, {"b", "a", "c"}},
      {{"c", "b", "a", "a"}, {"a", "c", "b"}},
  };
  for (const Case& c : cases) {
    std::vector<TVisitorRecord> visitors;
    for (const std::string& address : c.addresses) visitors.push_back(Visitor(kMsie, address));
    std::vector<TShareItem> items = CountShareItems(TShareReport::Address, visitors, 100);
    std::vector<std::string> order;
    for (const TShareItem& item : items) order.push_back(item.Item);
    const std::string rows = ReportRowsText(items, static_cast<int>(visitors.size()), 100);
    std::vector<std::string> shown;
    for (size_t at = rows.find("&nbsp;"); at != std::string::npos;
         at = rows.find("<tr><td><font face=Arial size=1>&nbsp;", at + 1)) {
      const size_t begin = rows.find("&nbsp;", at) + 6;
      shown.push_back(rows.substr(begin, rows.find('<', begin) - begin));
    }
    EXPECT_EQ(shown, c.expected) << rows;
  }
}

TEST(VantoraStatReportsTest, PercentagesHaveOneDecimalRoundedHalfUp) {
  struct Case {
    int count;
    int examined;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {1, 3, "33.3"},  {2, 3, "66.7"},  {1, 8, "12.5"},      {1, 16, "6.3"},  {3, 16, "18.8"},
      {1, 400, "0.3"}, {1, 500, "0.2"}, {500, 500, "100.0"}, {7, 7, "100.0"}, {1, 7, "14.3"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReportRowsText({{"x", c.count}}, c.examined, 1), Row("x", c.expected))
        << c.count << "/" << c.examined;
  }
  ReportFormats formats;
  Formats().decimal_separator = ',';
  EXPECT_EQ(ReportRowsText({{"x", 1}}, 3, 1), Row("x", "33,3"));
  EXPECT_EQ(ReportRowsText({{"", 1}}, 3, 1), Row("Unknown", "33,3"));
}

struct LinkCase {
  const char* label;
  TShareReport report;
  TVisitorRecord visitor;
  int tz_override;
  const char* expected_item;
};

TEST(VantoraStatReportsTest, ShareTableLinksLeadToTheFilteredExaminePage) {
  const std::vector<LinkCase> cases = {
      {"country with zone", TShareReport::Country, Visitor(kMsie, "1.2.3.4", "pc7.example.de"), 2,
       "<a href=\"/cgi-bin/vantora?TZ=2&A=X&CO=de\">Germany</a>"},
      {"country without zone", TShareReport::Country, Visitor(kMsie, "1.2.3.4", "pc7.example.de"),
       -100, "<a href=\"/cgi-bin/vantora?A=X&CO=de\">Germany</a>"},
      {"lowest zone carried on", TShareReport::Country, Visitor(kMsie, "1", "a.example.de"), -99,
       "<a href=\"/cgi-bin/vantora?TZ=-99&A=X&CO=de\">Germany</a>"},
      {"unknown suffix shown as itself", TShareReport::Country, Visitor(kMsie, "1", "a.xyz"), -100,
       "<a href=\"/cgi-bin/vantora?A=X&CO=xyz\">xyz</a>"},
      {"no host name", TShareReport::Country, Visitor(kMsie, "1", ""), 2, "Unknown"},
      {"address", TShareReport::Address, Visitor(kMsie, "10.0.0.1"), -100,
       "<a href=\"/cgi-bin/vantora?A=X&RA=10.0.0.1\">10.0.0.1</a>"},
      {"domain", TShareReport::Domain, Visitor(kMsie, "1", "dialup12.city.example.com"), -100,
       "<a href=\"/cgi-bin/vantora?A=X&RD=example.com\">example.com</a>"},
      {"numeric host has no domain", TShareReport::Domain, Visitor(kMsie, "1", "10.0.0.1"), -100,
       "Unknown"},
      {"referring host", TShareReport::Referrer,
       Visitor(kMsie, "1", "", "http://www.search.example/q?x=1"), 5,
       "<a href=\"/cgi-bin/vantora?TZ=5&A=X&RE=www.search.example\">www.search.example</a>"},
      {"item url-encoded in the link, escaped as text", TShareReport::Referrer,
       Visitor(kMsie, "1", "", "http://a&b<c>\"d e/"), -100,
       "<a href=\"/cgi-bin/vantora?A=X&RE=a%26b%3Cc%3E%22d+e\">a&amp;b&lt;c&gt;&quot;d e</a>"},
      {"browser names are escaped, never linked", TShareReport::Browser,
       Visitor("<script>alert(1)</script> x"), 2, "&lt;script&gt;alert("},
  };
  ReportFormats formats;
  for (const LinkCase& c : cases) {
    TReportLinks links;
    links.ScriptName = "/cgi-bin/vantora";
    links.TzOverride = c.tz_override;
    EXPECT_EQ(ShareReportRows(c.report, std::vector{c.visitor}, 100, 100, links),
              Row(c.expected_item, "100.0"))
        << c.label;
  }
}

TEST(VantoraStatReportsTest, ScriptNameIsEscapedInTheLink) {
  TReportLinks links;
  links.ScriptName = "/cgi\"bin/<x>";
  EXPECT_EQ(
      ShareReportRows(TShareReport::Address, std::vector{Visitor(kMsie, "1.2.3.4")}, 1, 1, links),
      Row("<a href=\"/cgi&quot;bin/&lt;x&gt;?A=X&RA=1.2.3.4\">1.2.3.4</a>", "100.0"));
}

TEST(VantoraStatReportsTest, ItemsMatchIgnoringCaseExceptBrowsers) {
  const std::vector<TVisitorRecord> hosts = {Visitor(kMsie, "1", "a.example.DE"),
                                             Visitor(kMsie, "2", "b.example.de"),
                                             Visitor(kMsie, "3", "c.other.De")};
  const std::vector<TShareItem> countries = CountShareItems(TShareReport::Country, hosts, 100);
  ASSERT_EQ(countries.size(), 1u);
  EXPECT_EQ(countries[0].Item, "DE");
  EXPECT_EQ(countries[0].Count, 3);

  const std::vector<TShareItem> domains = CountShareItems(TShareReport::Domain, hosts, 100);
  ASSERT_EQ(domains.size(), 2u);
  EXPECT_EQ(domains[0].Item, "example.DE");
  EXPECT_EQ(domains[0].Count, 2);

  const std::vector<TVisitorRecord> agents = {Visitor("Opera/7 x"), Visitor("OPERA/7 x"),
                                              Visitor("Opera/7 y")};
  const std::vector<TShareItem> browsers = CountShareItems(TShareReport::Browser, agents, 100);
  ASSERT_EQ(browsers.size(), 2u);
  EXPECT_EQ(browsers[0].Item, "Opera/7");
  EXPECT_EQ(browsers[0].Count, 2);
  EXPECT_EQ(browsers[1].Item, "OPERA/7");
}

// The visitor table over a fixed present moment.
class VisitorTableTest : public ::testing::Test {
 protected:
  static TDateTime At(int day, int hour, int minute, int second) {
    return EncodeDate(2026, 12, day) + EncodeTime(hour, minute, second, 0);
  }
  static std::string Cell(const std::string& text) {
    return "<td><font face=Arial size=1>" + text + "&nbsp;</font></td>";
  }
  static std::string TimeCell(const std::string& time) {
    return "<td Nowrap><font face=Arial size=1>" + time + "&nbsp;</font></td>";
  }
  static std::string DateTimeCell(const std::string& date, const std::string& time) {
    return "<td Nowrap><font face=Arial size=1><b>" + date + "</b><br>" + time +
           "&nbsp;</font></td>";
  }
  static std::string CountryCell(const std::string& country) {
    return "<td Nowrap><font face=Arial size=1>" + country + "</font></td>";
  }
  // The time cells of the rows, in order.
  static std::vector<std::string> TimeCells(const std::string& rows) {
    std::vector<std::string> cells;
    for (size_t at = rows.find("<tr><td Nowrap>"); at != std::string::npos;
         at = rows.find("<tr><td Nowrap>", at + 1)) {
      const size_t begin = at + 4;
      const size_t end = rows.find("</td>", begin) + 5;
      cells.push_back(rows.substr(begin, end - begin));
    }
    return cells;
  }

  ReportFormats formats_;
  const TDateTime now_ = At(9, 15, 0, 0);
};

TEST_F(VisitorTableTest, OneRowPerVisitorWithSixCells) {
  const std::vector<TVisitorRecord> visitors = {
      MakeVisitorRecord(At(9, 14, 30, 5), "http://www.search.example/q?a=1&b=2", kMsie, "192.0.2.7",
                        "dialup12.city.example.de")};
  EXPECT_EQ(VisitorTableRows(visitors, "", kFilterNone, 1000, now_, 0),
            "<tr>" + TimeCell("14:30:05") + CountryCell("Germany") + Cell("192.0.2.7") +
                Cell("dialup12.city.example.de") + Cell("MSIE 5.5") +
                Cell("<a href=\"http://www.search.example/q?a=1&amp;b=2\">www.search.example</a>") +
                "</tr>\r\n");
}

TEST_F(VisitorTableTest, DateStandsAboveTheFirstTimeOfEachDayButToday) {
  const std::vector<TVisitorRecord> visitors = {
      Visitor(kMsie, "1", "", "", At(9, 14, 30, 0)), Visitor(kMsie, "2", "", "", At(9, 9, 5, 7)),
      Visitor(kMsie, "3", "", "", At(8, 23, 59, 59)), Visitor(kMsie, "4", "", "", At(8, 8, 0, 0)),
      Visitor(kMsie, "5", "", "", At(1, 12, 0, 0))};
  EXPECT_EQ(TimeCells(VisitorTableRows(visitors, "", kFilterNone, 1000, now_, 0)),
            (std::vector<std::string>{TimeCell("14:30:00"), TimeCell("09:05:07"),
                                      DateTimeCell("2026/12/08", "23:59:59"), TimeCell("08:00:00"),
                                      DateTimeCell("2026/12/01", "12:00:00")}));
  // Two hours east: late yesterday becomes early today, and the present day
  // is counted in the display zone too.
  EXPECT_EQ(TimeCells(VisitorTableRows(visitors, "", kFilterNone, 1000, now_, 2)),
            (std::vector<std::string>{TimeCell("16:30:00"), TimeCell("11:05:07"),
                                      TimeCell("01:59:59"), DateTimeCell("2026/12/08", "10:00:00"),
                                      DateTimeCell("2026/12/01", "14:00:00")}));
  // The host's formats.
  Formats().short_date = "dd.mm.yyyy";
  Formats().long_time = "hh:nn";
  EXPECT_EQ(TimeCells(VisitorTableRows(visitors, "", kFilterNone, 3, now_, 0)),
            (std::vector<std::string>{TimeCell("14:30"), TimeCell("09:05"),
                                      DateTimeCell("08.12.2026", "23:59")}));
}

TEST_F(VisitorTableTest, RowsLimitTheVisitorsExamined) {
  std::vector<TVisitorRecord> visitors;
  for (int i = 0; i < 5; ++i) visitors.push_back(Visitor(kMsie, "1", "", "", At(9, 10, i, 0)));
  EXPECT_EQ(TimeCells(VisitorTableRows(visitors, "", kFilterNone, 3, now_, 0)).size(), 3u);
  EXPECT_EQ(TimeCells(VisitorTableRows(visitors, "", kFilterNone, 1000, now_, 0)).size(), 5u);
  EXPECT_EQ(VisitorTableRows(visitors, "", kFilterNone, 0, now_, 0), "");
  EXPECT_EQ(VisitorTableRows(visitors, "", kFilterNone, -1, now_, 0), "");
  EXPECT_EQ(VisitorTableRows({}, "", kFilterNone, 1000, now_, 0), "");
}

TEST_F(VisitorTableTest, FiltersListOnlyMatchingVisitors) {
  const std::vector<TVisitorRecord> visitors = {
      Visitor(kMsie, "10.0.0.1", "pc7.example.de", "http://www.search.example/q", At(9, 14, 0, 0)),
      Visitor(kMsie, "10.0.0.2", "host.other.DE", "https://WWW.Search.Example/", At(9, 13, 0, 0)),
      Visitor(kMsie, "10.0.0.1", "mail.example.com", "unknown", At(9, 12, 0, 0)),
      Visitor(kMsie, "FE80::1", "", "", At(9, 11, 0, 0)),
  };
  struct Case {
    const char* value;
    int kind;
    std::vector<std::string> addresses;
  };
  const std::vector<Case> cases = {
      {"", kFilterNone, {"10.0.0.1", "10.0.0.2", "10.0.0.1", "FE80::1"}},
      {"de", kFilterCountry, {"10.0.0.1", "10.0.0.2"}},
      {"DE", kFilterCountry, {"10.0.0.1", "10.0.0.2"}},
      {"com", kFilterCountry, {"10.0.0.1"}},
      {"10.0.0.1", kFilterAddress, {"10.0.0.1", "10.0.0.1"}},
      {"fe80::1", kFilterAddress, {"FE80::1"}},
      {"FE80::1", kFilterAddress, {"FE80::1"}},
      {"www.search.example", kFilterReferringHost, {"10.0.0.1", "10.0.0.2"}},
      {"unknown", kFilterReferringHost, {"10.0.0.1"}},
      {"example.de", kFilterDomain, {"10.0.0.1"}},
      {"other.de", kFilterDomain, {"10.0.0.2"}},
      {"nowhere", kFilterDomain, {}},
      {"10.0.0.1", 7, {}},
  };
  for (const Case& c : cases) {
    const std::string rows = VisitorTableRows(visitors, c.value, c.kind, 1000, now_, 0);
    // The address is the first plain cell of each visitor row.
    static const std::string kCellStart = "</td><td><font face=Arial size=1>";
    std::vector<std::string> addresses;
    for (size_t row = rows.find("<tr><td Nowrap>"); row != std::string::npos;
         row = rows.find("<tr><td Nowrap>", row + 1)) {
      const size_t begin = rows.find(kCellStart, row) + kCellStart.size();
      addresses.push_back(rows.substr(begin, rows.find("&nbsp;", begin) - begin));
    }
    EXPECT_EQ(addresses, c.addresses) << c.kind << " " << c.value;
    const std::string header = "<tr bgcolor=\"#55BBFF\"><td colspan=6 align=center><b>" +
                               std::string(c.value) + "</b></td></tr>\r\n";
    if (c.kind == kFilterNone) {
      EXPECT_EQ(rows.rfind("<tr><td Nowrap>", 0), 0u);
    } else {
      EXPECT_EQ(rows.substr(0, header.size()), header) << c.kind << " " << c.value;
    }
  }
}

TEST_F(VisitorTableTest, ReferrerCellIsALinkOnlyForWebAddresses) {
  struct Case {
    const char* referrer;
    int kind;
    const char* value;
    std::string cell;
  };
  const std::vector<Case> cases = {
      {"http://www.search.example/q", kFilterNone, "",
       Cell("<a href=\"http://www.search.example/q\">www.search.example</a>")},
      {"HTTPS://www.search.example/q", kFilterNone, "",
       Cell("<a href=\"HTTPS://www.search.example/q\">www.search.example</a>")},
      // A filtered table shows the whole referrer.
      {"http://www.search.example/q", kFilterAddress, "1",
       Cell("<a href=\"http://www.search.example/q\">http://www.search.example/q</a>")},
      {"http://x.example/\"><script>alert(1)</script>", kFilterAddress, "1",
       Cell("<a href=\"http://x.example/&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;\">"
            "http://x.example/&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;</a>")},
      {"javascript:alert(document.cookie)//x", kFilterAddress, "1",
       Cell("javascript:alert(document.cookie)//x")},
      {"unknown", kFilterNone, "", Cell("unknown")},
      {"", kFilterNone, "", Cell("")},
  };
  for (const Case& c : cases) {
    const std::vector<TVisitorRecord> visitors = {
        MakeVisitorRecord(At(9, 14, 0, 0), c.referrer, kMsie, "1", "")};
    const std::string rows = VisitorTableRows(visitors, c.value, c.kind, 10, now_, 0);
    EXPECT_EQ(rows.substr(rows.size() - c.cell.size() - 7), c.cell + "</tr>\r\n") << c.referrer;
  }
}

TEST_F(VisitorTableTest, VisitorTextsAreEscaped) {
  const std::vector<TVisitorRecord> visitors = {
      MakeVisitorRecord(At(9, 14, 0, 0), "", "<b>Evil</b> (x)", "<i>", "a<b>.example.de")};
  // The filter value comes from the request: escaped in the header row.
  const std::string rows = VisitorTableRows(visitors, "<I>", kFilterAddress, 10, now_, 0);
  EXPECT_EQ(rows.find("<I>"), std::string::npos);
  EXPECT_EQ(rows.find("<i>"), std::string::npos);
  EXPECT_EQ(rows.find("<b>Evil"), std::string::npos);
  EXPECT_NE(rows.find("<b>&lt;I&gt;</b>"), std::string::npos);
  EXPECT_NE(rows.find(Cell("&lt;i&gt;")), std::string::npos);
  EXPECT_NE(rows.find(Cell("a&lt;b&gt;.example.de")), std::string::npos);
  EXPECT_NE(rows.find(Cell("&lt;b&gt;Evil&lt;/b&gt;")), std::string::npos);
  // Filtering works on the stored value.
  EXPECT_NE(rows.find(CountryCell("Germany")), std::string::npos);
}

}  // namespace
}  // namespace vantora
