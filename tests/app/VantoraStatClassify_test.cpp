#include "app/VantoraStatClassify.h"

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vantora {
namespace {

struct Case {
  std::string input;
  std::string expected;
};

constexpr const char kDefault[] = "(default)";

TEST(VantoraStatClassifyTest, BrowserName) {
  const std::vector<Case> cases = {
      {"Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)", "MSIE 5.5"},
      {"Mozilla/5.0 (compatible;  Googlebot/2.1 )", "Googlebot/2.1"},
      {"Mozilla/4.7 [en] (Win98; I)", "Mozilla/4.7"},
      {"Mozilla/5.0 (X11; Linux x86_64) Chrome/120.0", "Mozilla/5.0"},
      {"Opera(Windows)", "Opera("},
      {"Lynx[en]", "Lynx["},
      {"Wget/1.5", kDefault},
      {"", kDefault},
      // "compatible;" without a closing ';' or ')' falls back to the name at
      // the start of the agent.
      {"Foo/1.0 (compatible; Bar", "Foo/1.0"},
      {"compatible;Bar", kDefault},
      // Names that trim to nothing.
      {" leading blank", kDefault},
      {"X (compatible; ; Y)", kDefault},
      {"<script>alert(1)</script> x", "<script>alert("},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BrowserName(c.input, kDefault), c.expected) << c.input;
  }
}

TEST(VantoraStatClassifyTest, DomainSuffix) {
  const std::vector<Case> cases = {
      {"pc7.example.de", "de"},
      {"host.example.COM", "COM"},
      {"host.example.com.", ""},
      {"localhost", ""},
      {"", ""},
      {"10.0.0.1", "1"},
      {"a." + std::string(300, 'x'), std::string(255, 'x')},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DomainSuffix(c.input), c.expected) << c.input;
  }
}

TEST(VantoraStatClassifyTest, CountryName) {
  const std::vector<Case> cases = {
      {"de", "Germany"},      {"DE", "Germany"},        {"De", "Germany"},
      {"gov", "Government"},  {"uk", "Great Britain"},  {"gb", "Great Britain"},
      {"arpa", "Arpanet"},    {"com", "US Commercial"}, {"ae", "United Arab Emirates"},
      {"su", "Sovjet Union"}, {"zr", "Zaire"},          {"at", "Austria"},
      {"xyz", kDefault},      {"", kDefault},           {"d", kDefault},
      {"dee", kDefault},      {" de", kDefault},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CountryName(c.input, kDefault), c.expected) << c.input;
  }
}

// Every row of the table is reachable, in lower case as host names carry it.
TEST(VantoraStatClassifyTest, CountryTableHasEveryRow) {
  const std::vector<std::string> suffixes = {
      "at",  "ar", "arpa", "ae", "am", "as",  "au", "be", "bi", "bg",  "bo", "bm",  "by",
      "br",  "bh", "ca",   "cg", "cn", "com", "cr", "ch", "cz", "de",  "dk", "edu", "ee",
      "es",  "fi", "fo",   "fr", "gb", "gf",  "gu", "gt", "gg", "gl",  "gr", "gov", "hk",
      "hr",  "hu", "int",  "ie", "il", "im",  "is", "it", "id", "in",  "ir", "je",  "jo",
      "jp",  "kr", "lb",   "lk", "li", "ly",  "lt", "lu", "lv", "mil", "mu", "mx",  "my",
      "net", "nl", "no",   "nf", "nu", "nz",  "pe", "py", "pl", "ph",  "pk", "pn",  "pt",
      "qa",  "ro", "rw",   "ru", "se", "sg",  "si", "sk", "su", "tr",  "tn", "th",  "tw",
      "tm",  "to", "ua",   "ug", "us", "uy",  "uk", "ve", "vn", "yu",  "za", "zr"};
  ASSERT_EQ(suffixes.size(), 103u);
  for (const std::string& suffix : suffixes) {
    EXPECT_NE(CountryName(suffix, kDefault), kDefault) << suffix;
  }
  EXPECT_EQ(CountryName("us", kDefault), "USA");
  EXPECT_EQ(CountryName("nu", kDefault), "Niue");
  EXPECT_EQ(CountryName("edu", kDefault), "Education");
}

// The whole table, suffix and name, as the reports show it.
const std::map<std::string, std::string> kCountryTable = {
    {"AT", "Austria"},        {"AR", "Argentina"},
    {"ARPA", "Arpanet"},      {"AE", "United Arab Emirates"},
    {"AM", "Armenia"},        {"AS", "American Samoa"},
    {"AU", "Australia"},      {"BE", "Belgium"},
    {"BI", "Burundi"},        {"BG", "Bulgaria"},
    {"BO", "Bolivia"},        {"BM", "Bermuda"},
    {"BY", "Belarus"},        {"BR", "Brazil"},
    {"BH", "Bahrain"},        {"CA", "Canada"},
    {"CG", "Congo"},          {"CN", "China"},
    {"COM", "US Commercial"}, {"CR", "Costa Rica"},
    {"CH", "Switzerland"},    {"CZ", "Czech Republic"},
    {"DE", "Germany"},        {"DK", "Denmark"},
    {"EDU", "Education"},     {"EE", "Estonia"},
    {"ES", "Spain"},          {"FI", "Finland"},
    {"FO", "Faroe Islands"},  {"FR", "France"},
    {"GB", "Great Britain"},  {"GF", "French Guiana"},
    {"GU", "Guam"},           {"GT", "Guatemala"},
    {"GG", "Guernsey"},       {"GL", "Greenland"},
    {"GR", "Greece"},         {"GOV", "Government"},
    {"HK", "Hong Kong"},      {"HR", "Croatia"},
    {"HU", "Hungary"},        {"INT", "International"},
    {"IE", "Ireland"},        {"IL", "Israel"},
    {"IM", "Isle of Man"},    {"IS", "Iceland"},
    {"IT", "Italy"},          {"ID", "Indonesia"},
    {"IN", "India"},          {"IR", "Iran"},
    {"JE", "Jersey"},         {"JO", "Jordan"},
    {"JP", "Japan"},          {"KR", "South Korea"},
    {"LB", "Lebanon"},        {"LK", "Sri Lanka"},
    {"LI", "Liechtenstein"},  {"LY", "Libya"},
    {"LT", "Lithuania"},      {"LU", "Luxembourg"},
    {"LV", "Latvia"},         {"MIL", "Military"},
    {"MU", "Mauritius"},      {"MX", "Mexico"},
    {"MY", "Malaysia"},       {"NET", "Network"},
    {"NL", "Netherlands"},    {"NO", "Norway"},
    {"NF", "Norfolk Island"}, {"NU", "Niue"},
    {"NZ", "New Zealand"},    {"PE", "Peru"},
    {"PY", "Paraguay"},       {"PL", "Poland"},
    {"PH", "Philippines"},    {"PK", "Pakistan"},
    {"PN", "Pitcairn"},       {"PT", "Portugal"},
    {"QA", "Qatar"},          {"RO", "Romania"},
    {"RW", "Rwanda"},         {"RU", "Russia"},
    {"SE", "Sweden"},         {"SG", "Singapore"},
    {"SI", "Slovenia"},       {"SK", "Slovakia"},
    {"SU", "Sovjet Union"},   {"TR", "Turkey"},
    {"TN", "Tunisia"},        {"TH", "Thailand"},
    {"TW", "Taiwan"},         {"TM", "Turkmenistan"},
    {"TO", "Tonga"},          {"UA", "Ukraine"},
    {"UG", "Uganda"},         {"US", "USA"},
    {"UY", "Uruguay"},        {"UK", "Great Britain"},
    {"VE", "Venezuela"},      {"VN", "Vietnam"},
    {"YU", "Yugoslavia"},     {"ZA", "South Africa"},
    {"ZR", "Zaire"},
};

std::string UpperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// What the table gives for a suffix: an exact match of the upper-cased text.
std::string ExpectedCountry(const std::string& suffix) {
  const auto row = kCountryTable.find(UpperAscii(suffix));
  return row == kCountryTable.end() ? kDefault : row->second;
}

// Every two-byte suffix (letters of either case, digits, punctuation and
// 8-bit bytes) and every table row in three letter cases, with a byte
// changed, cut and lengthened: the name of the table row or the default.
TEST(VantoraStatClassifyTest, CountryNameOfEveryTwoByteSuffixAndEveryRow) {
  ASSERT_EQ(kCountryTable.size(), 103u);
  for (int first = 0; first < 256; ++first) {
    for (int second = 0; second < 256; ++second) {
      const std::string suffix = {static_cast<char>(first), static_cast<char>(second)};
      ASSERT_EQ(CountryName(suffix, kDefault), ExpectedCountry(suffix)) << first << " " << second;
    }
  }
  for (const auto& [suffix, name] : kCountryTable) {
    std::string lower = suffix;
    for (char& c : lower) c = static_cast<char>(c - 'A' + 'a');
    std::string mixed = lower;
    mixed[0] = suffix[0];
    for (const std::string& form : {suffix, lower, mixed}) {
      EXPECT_EQ(CountryName(form, kDefault), name) << form;
      EXPECT_EQ(CountryNameView(form, kDefault), name) << form;
    }
    for (const std::string& other :
         {suffix + "A", suffix.substr(1), "X" + suffix, suffix.substr(0, suffix.size() - 1) + "@",
          suffix + std::string(1, '\0')}) {
      EXPECT_EQ(CountryName(other, kDefault), ExpectedCountry(other)) << other;
    }
  }
}

// The string_view forms give the string forms' results, as parts of their
// argument (or the default itself).
TEST(VantoraStatClassifyTest, ViewFormsGiveTheSameTextsWithoutCopies) {
  const std::vector<std::string> texts = {
      "",
      "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98)",
      "Mozilla/4.7 [en] (Win98; I)",
      "Opera(Windows)",
      "Wget/1.5",
      "Foo/1.0 (compatible; Bar",
      "X (compatible; ; Y)",
      "http://example.com/a/b.htm",
      "https://www.search.example/q?x=1",
      "http:///a/b.htm",
      "file://server\\share\\page.htm",
      "http://o'hara.example/",
      "dialup12.city.example.com",
      "host.example.com. -",
      "host.ex(ample).com",
      "10.0.0.1",
      "pc7.example.de",
      "a." + std::string(300, 'x'),
      "http://" + std::string(300, 'y') + ".com/",
  };
  const std::string fallback = kDefault;
  const auto part_of = [](std::string_view part, const std::string& whole,
                          const std::string& default_text) {
    if (part.data() == default_text.data() && part.size() == default_text.size()) return true;
    return part.empty() || (part.data() >= whole.data() &&
                            part.data() + part.size() <= whole.data() + whole.size());
  };
  for (const std::string& text : texts) {
    const std::string_view browser = BrowserNameView(text, fallback);
    EXPECT_EQ(browser, BrowserName(text, fallback)) << text;
    EXPECT_TRUE(part_of(browser, text, fallback)) << text;
    const std::string_view suffix = DomainSuffixView(text);
    EXPECT_EQ(suffix, DomainSuffix(text)) << text;
    EXPECT_TRUE(part_of(suffix, text, fallback)) << text;
    EXPECT_EQ(CountryNameView(suffix, fallback), CountryName(std::string(suffix), fallback));
    const std::string_view host = ReferringHostView(text, fallback);
    EXPECT_EQ(host, ReferringHost(text, fallback)) << text;
    EXPECT_TRUE(part_of(host, text, fallback)) << text;
    const std::string_view domain = RemoteDomainView(text, fallback);
    EXPECT_EQ(domain, RemoteDomain(text, fallback)) << text;
    EXPECT_TRUE(part_of(domain, text, fallback)) << text;
  }
}

TEST(VantoraStatClassifyTest, ReferringHost) {
  const std::vector<Case> cases = {
      {"http://example.com/a/b.htm", "example.com"},
      {"https://www.search.example/q?x=1", "www.search.example"},
      {"http://example.com", "example.com"},
      {"http:///a/b.htm", kDefault},
      {"http://a.b/", kDefault},
      {"abcd", kDefault},
      {"abcde", "abcde"},
      {"unknown", "unknown"},
      {"", kDefault},
      {"example.com/page", "example.com"},
      {"http://example.com\\x\\y", "example.com"},
      {"file://server\\share\\page.htm", "server"},
      {"http://o'hara.example/", kDefault},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReferringHost(c.input, kDefault), c.expected) << c.input;
  }
}

TEST(VantoraStatClassifyTest, RemoteDomain) {
  const std::vector<Case> cases = {
      {"dialup12.city.example.com", "example.com"},
      {"cs.example.de", "example.de"},
      {"a.b.co.uk", "co.uk"},
      {"example.com", "example.com"},
      {"host.example.com.", "example.com"},
      {"host.example.com. -", "example.com"},
      {"10.0.0.1", kDefault},
      {"host.example.info", kDefault},
      {"localhost", kDefault},
      {"", kDefault},
      {"host(1).example.com", "example.com"},
      {"host.ex(ample).com", kDefault},
      {"host.example.c0", kDefault},
      {"http://www.example.org/path", "example.org"},
      // Labels dropped one by one up to the dot that three characters or
      // fewer follow; parentheses count only in what is left.
      {"a.b.c.d.e", "c.d.e"},
      {".com", ".com"},
      {"x.abcd", kDefault},
      {"(x).example.com", "example.com"},
      {"a.(b).com", kDefault},
      {"a..com", ".com"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RemoteDomain(c.input, kDefault), c.expected) << c.input;
  }
}

}  // namespace
}  // namespace vantora

namespace vantora {
namespace {

// Real user agents of today's browsers, crawlers and tools, and the family
// each belongs to.
struct FamilyCase {
  const char* name;
  const char* agent;
  const char* family;
};

const FamilyCase kFamilyCases[] = {
    {"ChromeWindows",
     "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/120.0.0.0 Safari/537.36",
     "Chrome"},
    {"ChromeAndroid",
     "Mozilla/5.0 (Linux; Android 10; K) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/120.0.6099.144 Mobile Safari/537.36",
     "Chrome (mobile)"},
    {"ChromeIphone",
     "Mozilla/5.0 (iPhone; CPU iPhone OS 17_2 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like "
     "Gecko) CriOS/120.0.6099.119 Mobile/15E148 Safari/604.1",
     "Chrome (mobile)"},
    {"HeadlessChromeLinux",
     "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "HeadlessChrome/120.0.6099.224 Safari/537.36",
     "Chrome"},
    {"FirefoxWindows",
     "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:121.0) Gecko/20100101 Firefox/121.0", "Firefox"},
    {"FirefoxLinux", "Mozilla/5.0 (X11; Linux x86_64; rv:109.0) Gecko/20100101 Firefox/115.0",
     "Firefox"},
    {"FirefoxAndroid", "Mozilla/5.0 (Android 14; Mobile; rv:121.0) Gecko/121.0 Firefox/121.0",
     "Firefox (mobile)"},
    {"FirefoxIphone",
     "Mozilla/5.0 (iPhone; CPU iPhone OS 17_2 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like "
     "Gecko) FxiOS/121.0 Mobile/15E148 Safari/605.1.15",
     "Firefox (mobile)"},
    {"SafariMac",
     "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
     "Version/17.2 Safari/605.1.15",
     "Safari"},
    {"SafariIphone",
     "Mozilla/5.0 (iPhone; CPU iPhone OS 17_2 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like "
     "Gecko) Version/17.2 Mobile/15E148 Safari/604.1",
     "Safari (mobile)"},
    {"SafariIpad",
     "Mozilla/5.0 (iPad; CPU OS 16_6 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) "
     "Version/16.6 Mobile/15E148 Safari/604.1",
     "Safari (mobile)"},
    {"EdgeWindows",
     "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/120.0.0.0 Safari/537.36 Edg/120.0.0.0",
     "Edge"},
    {"EdgeAndroid",
     "Mozilla/5.0 (Linux; Android 10; HD1913) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/120.0.6099.144 Mobile Safari/537.36 EdgA/120.0.2210.115",
     "Edge (mobile)"},
    {"EdgeLegacy",
     "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/70.0.3538.102 Safari/537.36 Edge/18.19045",
     "Edge"},
    {"OperaWindows",
     "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/120.0.0.0 Safari/537.36 OPR/106.0.0.0",
     "Opera"},
    {"OperaPresto", "Opera/9.80 (Windows NT 6.1; WOW64) Presto/2.12.388 Version/12.18", "Opera"},
    {"SamsungInternet",
     "Mozilla/5.0 (Linux; Android 13; SAMSUNG SM-S918B) AppleWebKit/537.36 (KHTML, like Gecko) "
     "SamsungBrowser/23.0 Chrome/115.0.0.0 Mobile Safari/537.36",
     "Samsung Internet (mobile)"},
    {"InternetExplorer11", "Mozilla/5.0 (Windows NT 10.0; WOW64; Trident/7.0; rv:11.0) like Gecko",
     "Internet Explorer"},
    {"InternetExplorer6", "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)",
     "Internet Explorer"},
    {"Googlebot", "Mozilla/5.0 (compatible; Googlebot/2.1; +http://www.google.com/bot.html)",
     "Crawlers"},
    {"GooglebotSmartphone",
     "Mozilla/5.0 (Linux; Android 6.0.1; Nexus 5X Build/MMB29P) AppleWebKit/537.36 (KHTML, like "
     "Gecko) Chrome/120.0.6099.216 Mobile Safari/537.36 (compatible; Googlebot/2.1; "
     "+http://www.google.com/bot.html)",
     "Crawlers"},
    {"Bingbot",
     "Mozilla/5.0 AppleWebKit/537.36 (KHTML, like Gecko; compatible; bingbot/2.0; "
     "+http://www.bing.com/bingbot.htm) Chrome/116.0.1938.76 Safari/537.36",
     "Crawlers"},
    {"YandexBot", "Mozilla/5.0 (compatible; YandexBot/3.0; +http://yandex.com/bots)", "Crawlers"},
    {"Baiduspider",
     "Mozilla/5.0 (compatible; Baiduspider/2.0; +http://www.baidu.com/search/spider.html)",
     "Crawlers"},
    {"DuckDuckBot", "DuckDuckBot/1.1; (+http://duckduckgo.com/duckduckbot.html)", "Crawlers"},
    {"FacebookCrawler", "facebookexternalhit/1.1 (+http://www.facebook.com/externalhit_uatext.php)",
     "Crawlers"},
    {"Curl", "curl/7.88.1", "Scripted clients"},
    {"Wget", "Wget/1.21.3", "Scripted clients"},
    {"PythonRequests", "python-requests/2.31.0", "Scripted clients"},
    {"GoHttpClient", "Go-http-client/1.1", "Scripted clients"},
    {"Okhttp", "okhttp/4.12.0", "Scripted clients"},
    {"Lynx", "Lynx/2.9.0dev.12 libwww-FM/2.14 SSL-MM/1.4.1 GNUTLS/3.7.9", "Other browsers"},
    {"UnknownPhone", "Mozilla/5.0 (Linux; Android 9; CUBOT P30) AppleWebKit/537.36",
     "Other browsers (mobile)"},
};

void PrintTo(const FamilyCase& c, std::ostream* os) { *os << c.agent; }

class BrowserFamilyTest : public ::testing::TestWithParam<FamilyCase> {};

TEST_P(BrowserFamilyTest, OfTheWholeAgentAndOfTheStoredOne) {
  const FamilyCase& c = GetParam();
  EXPECT_EQ(BrowserFamily(c.agent, "(none)"), c.family);
  // The visitor file keeps 64 characters: the stored text still tells the
  // family, and the browser table's first-word name is unchanged.
  const std::string stored = StoredAgent(c.agent, 64);
  EXPECT_LE(stored.size(), 64u);
  EXPECT_EQ(BrowserFamily(stored, "(none)"), c.family) << stored;
  const std::string cut = std::string(c.agent).substr(0, 64);
  EXPECT_EQ(BrowserName(stored, "(none)"), BrowserName(cut, "(none)")) << stored;
  // Agents that fit, or whose beginning tells the family, are kept as they
  // were cut before.
  if (BrowserFamily(cut, "(none)") == c.family) {
    EXPECT_EQ(stored, cut);
  }
}

INSTANTIATE_TEST_SUITE_P(RealAgents, BrowserFamilyTest, ::testing::ValuesIn(kFamilyCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BrowserFamilyEdgeTest, EmptyAgentGivesTheDefaultAndStoringIsStable) {
  EXPECT_EQ(BrowserFamily("", "Unknown"), "Unknown");
  EXPECT_EQ(BrowserFamily("   ", "Unknown"), "Unknown");
  EXPECT_EQ(StoredAgent("", 64), "");
  // Storing is a function of the agent alone (the duplicate rule compares
  // stored agents), and storing a stored agent keeps it.
  const std::string edge =
      "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
      "Chrome/120.0.0.0 Safari/537.36 Edg/120.0.0.0";
  EXPECT_EQ(StoredAgent(edge, 64), StoredAgent(edge, 64));
  EXPECT_EQ(StoredAgent(StoredAgent(edge, 64), 64), StoredAgent(edge, 64));
  EXPECT_EQ(StoredAgent(edge, 64),
            "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWeb Edg/120.0.0.0");
}

}  // namespace
}  // namespace vantora
