#include "app/VantoraStatClassify.h"

#include <gtest/gtest.h>

#include <string>
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
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RemoteDomain(c.input, kDefault), c.expected) << c.input;
  }
}

}  // namespace
}  // namespace vantora
