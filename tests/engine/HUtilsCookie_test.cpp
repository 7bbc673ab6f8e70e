#include "engine/HUtilsCookie.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "support/FakeEngine.h"
#include "support/ScopedTimeZone.h"

namespace vantora {
namespace {

// 2026-12-06 13:49:00 UTC.
constexpr double kNowUnix = 1796564940;
constexpr const char kStatusLine[] = "HTTP/1.1 200 OK\r\n";

// A request on a recording engine bound to this thread, in UTC, at a fixed
// moment.
class CookieRequest {
 public:
  explicit CookieRequest(const std::string& cookie_text = std::string())
      : zone_("UTC0"), clock_(kNowUnix) {
    engine_.variables["HTTP COOKIE"] = cookie_text;
    engine_.MakeCurrent();
  }
  ~CookieRequest() { CurrentRequestState() = RequestState(); }
  FakeEngine& engine() { return engine_; }

 private:
  ScopedTimeZone zone_;
  ScopedFakeClock clock_;
  FakeEngine engine_;
};

struct GetCase {
  const char* cookie_text;
  const char* expected;
};

TEST(HUtilsCookieTest, GetCookieValueFindsTheNamedCookie) {
  const std::vector<GetCase> cases = {
      {"a=1; Vantora=NOSTAT", "NOSTAT"},
      {"Vantora=NOSTAT", "NOSTAT"},
      {"Cookie=Vantora=NOSTAT", "NOSTAT"},
      {"cOOkie=a=1; Vantora=NOSTAT", "NOSTAT"},
      {"VANTORA=x", "x"},
      {" vantora =y", "y"},
      {"Vantora= padded ", " padded "},
      {"Vantora=a%3Cb%3E+c", "a<b> c"},
      {"Vantora=1=2", "1=2"},
      {"Vantoras=1; Vantora=2", "2"},
      {"Vantora=first; Vantora=second", "first"},
      {"Other=Vantora=x", "(default)"},
      // A cookie without a value before ours must not hide it.
      {"flag; Vantora=NOSTAT", "NOSTAT"},
      {"Vantora=", "(default)"},
      {"a=1", "(default)"},
      {"", "(default)"},
      {kNotAvailable, "(default)"},
  };
  for (const GetCase& c : cases) {
    CookieRequest request(c.cookie_text);
    THttpCookie cookie(nullptr, "HttpCookie1");
    cookie.SetCookieName("Vantora");
    EXPECT_EQ(cookie.GetCookieValue("(default)"), c.expected) << c.cookie_text;
  }
}

struct SetCase {
  const char* label;
  const char* name;
  const char* domain;
  const char* path;
  bool secure;
  double expires_offset_days;  // from now
  const char* value;
  const char* header;  // the whole output; empty when nothing is sent
};

TEST(HUtilsCookieTest, SetCookieWritesOneHeaderLine) {
  const std::vector<SetCase> cases = {
      {"a year ahead", "Vantora", "", "", false, 365, "NOSTAT",
       "set-cookie:Vantora=NOSTAT; Path=/; expires=Mon, 06 Dec 2027 13:49:00 GMT\r\n"},
      {"session cookie", "Vantora", "", "", false, 0, "NOSTAT",
       "set-cookie:Vantora=NOSTAT; Path=/;\r\n"},
      {"expiry within 20 s", "Vantora", "", "", false, 19.0 / 86400, "v",
       "set-cookie:Vantora=v; Path=/;\r\n"},
      {"expiry past 20 s", "Vantora", "", "", false, -21.0 / 86400, "v",
       "set-cookie:Vantora=v; Path=/; expires=Sun, 06 Dec 2026 13:48:39 GMT\r\n"},
      {"value encoded, name not", "My Name", "", "", false, 0, "a b;c=d",
       "set-cookie:My Name=a+b%3Bc%3Dd; Path=/;\r\n"},
      {"domain and path trimmed", "Vantora", " example.com ", " /stat ", false, 0, "v",
       "set-cookie:Vantora=v; Path=/stat; Domain=example.com;\r\n"},
      {"blank path", "Vantora", "", "   ", false, 0, "v", "set-cookie:Vantora=v; Path=/;\r\n"},
      {"secure session", "Vantora", "", "", true, 0, "v",
       "set-cookie:Vantora=v; Path=/; secure\r\n"},
      {"secure with expiry", "Vantora", "", "", true, 1, "v",
       "set-cookie:Vantora=v; Path=/; expires=Mon, 07 Dec 2026 13:49:00 GMT; secure\r\n"},
      {"blank name sends nothing", "  ", "", "", false, 365, "v", ""},
  };
  for (const SetCase& c : cases) {
    CookieRequest request;
    THttpCookie cookie(nullptr);
    cookie.SetCookieName(c.name);
    cookie.SetDomain(c.domain);
    cookie.SetPath(c.path);
    cookie.SetSecure(c.secure);
    cookie.SetCookie(c.value, Now() + c.expires_offset_days);
    const std::string expected = *c.header ? std::string(kStatusLine) + c.header : "";
    EXPECT_EQ(request.engine().output(), expected) << c.label;
  }
}

TEST(HUtilsCookieTest, SetCookieStoresTrimmedDomainAndPath) {
  CookieRequest request;
  THttpCookie cookie(nullptr);
  cookie.SetCookieName("Vantora");
  cookie.SetDomain("  example.com\t");
  cookie.SetPath(" ");
  cookie.SetCookie("v", Now());
  EXPECT_EQ(cookie.Domain(), "example.com");
  EXPECT_EQ(cookie.Path(), "/");
}

TEST(HUtilsCookieTest, DeleteCookieSendsAnEmptyValueExpiredAWeekAgo) {
  CookieRequest request;
  THttpCookie cookie(nullptr);
  cookie.SetCookieName("Vantora");
  cookie.DeleteCookie();
  EXPECT_EQ(request.engine().output(),
            std::string(kStatusLine) +
                "set-cookie:Vantora=; Path=/; expires=Sun, 29 Nov 2026 13:49:00 GMT\r\n");
}

TEST(HUtilsCookieTest, CookieCallsNeedARequest) {
  CurrentRequestState() = RequestState();
  THttpCookie cookie(nullptr, "HttpCookie1");
  EXPECT_THROW(cookie.GetCookieValue(""), std::logic_error);
  EXPECT_THROW(cookie.SetCookie("v", Now()), std::logic_error);
}

// Fixed outputs pin the direction of the pair swaps and of the rotations,
// which a round trip alone would not notice.
TEST(HUtilsCookieTest, ScrambleTextKnownValues) {
  EXPECT_EQ(ScrambleText("AB", 0), "\xA1\xD0");
  EXPECT_EQ(ScrambleText("abc", 5), "\x9D\xC8\x6A");
  EXPECT_EQ(ScrambleText("", 77), "");
}

TEST(HUtilsCookieTest, ScrambleOfOneByteChangesOnlyThatByte) {
  for (int32_t key : {0, 1, -1, 2483, 123456}) {
    const std::string scrambled = ScrambleText("Q", key);
    ASSERT_EQ(scrambled.size(), 1u);
    EXPECT_NE(scrambled, "Q") << key;
  }
}

TEST(HUtilsCookieTest, UnscrambleUndoesScramble) {
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) all_bytes += static_cast<char>(b);
  const std::vector<std::string> texts = {"",    "x",       "NOSTAT",
                                          "odd", all_bytes, std::string(3, '\0')};
  for (int32_t key : {0, 1, -1, 7, -2483, 2484, INT_MAX, INT_MIN}) {
    for (const std::string& text : texts) {
      EXPECT_EQ(UnscrambleText(ScrambleText(text, key), key), text) << key;
      EXPECT_EQ(ScrambleText(UnscrambleText(text, key), key), text) << key;
    }
  }
}

// A coded cookie set in one response and sent back by the browser in the next
// request reads as the value given.
TEST(HUtilsCookieTest, CodedCookieRoundTripsThroughTheBrowser) {
  for (int32_t key : {0, 42, -9999}) {
    for (const std::string value : {"NOSTAT", "a b;c&d=e%", "\x01\xff"}) {
      std::string header;
      {
        CookieRequest response;
        THttpCookie cookie(nullptr);
        cookie.SetCookieName("Vantora");
        cookie.SetCoded(true);
        cookie.SetCodeKey(key);
        cookie.SetCookie(value, Now() + 365);
        header = response.engine().output();
      }
      const size_t begin = header.find("set-cookie:") + 11;
      const std::string pair = header.substr(begin, header.find(';', begin) - begin);
      EXPECT_NE(pair, "Vantora=" + value);
      CookieRequest request("other=1; " + pair);
      THttpCookie cookie(nullptr);
      cookie.SetCookieName("Vantora");
      cookie.SetCoded(true);
      cookie.SetCodeKey(key);
      EXPECT_EQ(cookie.GetCookieValue("(default)"), value) << key;
    }
  }
}

TEST(HUtilsCookieTest, RenameRule) {
  struct Case {
    const char* label;
    const char* first_name;
    const char* cookie_name;  // null: leave as the constructor set it
    bool design_mode;
    const char* new_name;
    const char* expected_cookie_name;
  };
  const std::vector<Case> cases = {
      {"new component is named after itself", "HttpCookie1", nullptr, false, "StopCookie",
       "StopCookie"},
      {"same name in another case follows", "HttpCookie1", "HTTPCOOKIE1", false, "Other", "Other"},
      {"a chosen cookie name stays", "HttpCookie1", "Vantora", false, "Other", "Vantora"},
      {"empty name follows in design mode", "HttpCookie1", "", true, "Other", "Other"},
      {"empty name stays at run time", "HttpCookie1", "", false, "Other", ""},
  };
  for (const Case& c : cases) {
    THttpCookie cookie(nullptr, c.first_name);
    EXPECT_EQ(cookie.CookieName(), c.first_name) << c.label;
    if (c.cookie_name) cookie.SetCookieName(c.cookie_name);
    cookie.SetDesignMode(c.design_mode);
    cookie.SetName(c.new_name);
    EXPECT_EQ(cookie.Name(), c.new_name) << c.label;
    EXPECT_EQ(cookie.CookieName(), c.expected_cookie_name) << c.label;
  }
}

}  // namespace
}  // namespace vantora
