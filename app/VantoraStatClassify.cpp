#include "app/VantoraStatClassify.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <string_view>

#include "platform/Text.h"

namespace vantora {

namespace {

// The longest text the rules copy out of a stored field.
constexpr size_t kMaxPart = 255;

// The referrer cuts shared by ReferringHost and RemoteDomain: the text after
// the first "://" (when present), then up to the first '/', then up to the
// first '\\'.  A part of text.
std::string_view HostPart(std::string_view s) {
  const size_t scheme_end = s.find("://");
  if (scheme_end != std::string_view::npos) s = s.substr(scheme_end + 3, kMaxPart);
  const size_t slash = s.find('/');
  if (slash != std::string_view::npos) s = s.substr(0, slash);
  const size_t backslash = s.find('\\');
  if (backslash != std::string_view::npos) s = s.substr(0, backslash);
  return s;
}

// The bytes that end a browser name read from the start of an agent.
struct NameEnds {
  bool ends[256] = {};
  constexpr NameEnds() {
    for (const unsigned char c : {' ', '[', '('}) ends[c] = true;
  }
};
constexpr NameEnds kEndsName;

// Removes characters with codes up to 32 from both ends; a part of text.
std::string_view TrimView(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(begin, end - begin);
}

struct CountryRow {
  std::string_view suffix;
  std::string_view name;
};

// Domain suffixes (upper case) and the names the reports show for them.
constexpr std::array<CountryRow, 103> kCountries = {{
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
}};

// The rows of the two-letter suffixes by their letters: kCountries index + 1
// at (first - 'A') * 26 + (second - 'A'), 0 where no row has those letters.
// The first row of a suffix wins, as in a search of the table in its order.
struct TwoLetterIndex {
  uint8_t row[26 * 26] = {};
  constexpr TwoLetterIndex() {
    for (size_t i = 0; i < kCountries.size(); ++i) {
      const std::string_view suffix = kCountries[i].suffix;
      if (suffix.size() != 2) continue;
      uint8_t& slot = row[(suffix[0] - 'A') * 26 + (suffix[1] - 'A')];
      if (slot == 0) slot = static_cast<uint8_t>(i + 1);
    }
  }
};
constexpr TwoLetterIndex kTwoLetterCountries;

// The rows of the longer suffixes (three and four letters), in table order.
constexpr size_t kLongSuffixes = 7;
struct LongSuffixRows {
  size_t row[kLongSuffixes] = {};
  constexpr LongSuffixRows() {
    size_t n = 0;
    for (size_t i = 0; i < kCountries.size(); ++i) {
      if (kCountries[i].suffix.size() > 2) row[n++] = i;
    }
  }
};
constexpr LongSuffixRows kLongSuffixRows;
static_assert([] {
  size_t n = 0;
  for (const CountryRow& row : kCountries) n += row.suffix.size() > 2 ? 1 : 0;
  return n;
}() == kLongSuffixes);

// The ASCII letter c in upper case, or 0 for any other byte (no suffix of
// the table holds one).
constexpr char UpperLetter(char c) {
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
  return c >= 'A' && c <= 'Z' ? c : '\0';
}

// The texts that decide a browser family, in the order they are looked
// for: the first rule whose text occurs in the agent decides.  Crawlers and
// scripted clients are matched ignoring case (their names are written every
// which way); browsers by their product names as the browsers write them.
struct FamilyRule {
  std::string_view text;
  std::string_view family;
  bool ignore_case;
};

constexpr std::string_view kCrawlers = "Crawlers";
constexpr std::string_view kScripted = "Scripted clients";

constexpr std::array<FamilyRule, 45> kFamilyRules = {{
    // Crawlers: named bots ("Googlebot/2.1", "bingbot/2.0", "AdsBot-Google"),
    // spiders and crawlers, and agents that give an information address.
    {"bot/", kCrawlers, true},
    {"bot-", kCrawlers, true},
    {"spider", kCrawlers, true},
    {"crawler", kCrawlers, true},
    {"crawl/", kCrawlers, true},
    {"slurp", kCrawlers, true},
    {"+http", kCrawlers, true},
    {"facebookexternalhit", kCrawlers, true},
    {"mediapartners-google", kCrawlers, true},
    {"google-inspectiontool", kCrawlers, true},
    {"ia_archiver", kCrawlers, true},
    {"bytespider", kCrawlers, true},
    // Scripted clients: command-line tools and HTTP libraries.
    {"curl/", kScripted, true},
    {"wget/", kScripted, true},
    {"python-requests/", kScripted, true},
    {"python-urllib/", kScripted, true},
    {"python-httpx/", kScripted, true},
    {"aiohttp/", kScripted, true},
    {"go-http-client/", kScripted, true},
    {"okhttp/", kScripted, true},
    {"java/", kScripted, true},
    {"apache-httpclient/", kScripted, true},
    {"libwww-perl/", kScripted, true},
    {"guzzlehttp/", kScripted, true},
    {"node-fetch/", kScripted, true},
    {"axios/", kScripted, true},
    {"undici", kScripted, true},
    {"httpie/", kScripted, true},
    {"postmanruntime/", kScripted, true},
    {"windowspowershell/", kScripted, true},
    // Browsers that name themselves beside the engine they are built on.
    {"Edg/", "Edge", false},
    {"EdgA/", "Edge", false},
    {"EdgiOS/", "Edge", false},
    {"Edge/", "Edge", false},
    {"OPR/", "Opera", false},
    {"OPiOS/", "Opera", false},
    {"Opera", "Opera", false},
    {"SamsungBrowser/", "Samsung Internet", false},
    {"MSIE ", "Internet Explorer", false},
    {"Trident/", "Internet Explorer", false},
    {"Firefox/", "Firefox", false},
    {"FxiOS/", "Firefox", false},
    {"Chrome/", "Chrome", false},
    {"CriOS/", "Chrome", false},
    {"Safari/", "Safari", false},
}};

// What marks a browser on a phone or tablet.
constexpr std::array<std::string_view, 5> kMobileMarks = {"Mobi", "Android", "iPhone", "iPad",
                                                          "Windows Phone"};

struct FamilyMatch {
  std::string_view family;  // empty: no rule matched
  size_t at = std::string::npos;
  size_t length = 0;
  bool mobile = false;
};

// The rules and mobile marks as bits of one word: bit r for rule r, bit
// kMarkBit + m for mobile mark m (marks are matched exactly).
constexpr size_t kMarkBit = kFamilyRules.size();
static_assert(kMarkBit + kMobileMarks.size() <= 64, "one bit per rule and mark");

// For byte k of a rule or mark text (k = 0 or 1: every text is longer), the
// rules and marks whose k-th byte it is, under both cases for the rules that
// ignore case.
constexpr std::array<uint64_t, 256> MakeFamilyBytes(size_t k) {
  std::array<uint64_t, 256> bytes{};
  for (size_t r = 0; r < kFamilyRules.size(); ++r) {
    const auto c = static_cast<unsigned char>(kFamilyRules[r].text[k]);
    bytes[c] |= uint64_t{1} << r;
    if (kFamilyRules[r].ignore_case && c >= 'a' && c <= 'z')
      bytes[c - 'a' + 'A'] |= uint64_t{1} << r;
  }
  for (size_t m = 0; m < kMobileMarks.size(); ++m) {
    bytes[static_cast<unsigned char>(kMobileMarks[m][k])] |= uint64_t{1} << (kMarkBit + m);
  }
  return bytes;
}

constexpr bool AllTextsLongerThanOne() {
  for (const FamilyRule& rule : kFamilyRules) {
    if (rule.text.size() < 2) return false;
  }
  for (std::string_view mark : kMobileMarks) {
    if (mark.size() < 2) return false;
  }
  return true;
}
static_assert(AllTextsLongerThanOne(), "the second-byte table needs two bytes of every text");

constexpr std::array<uint64_t, 256> kFamilyStarts = MakeFamilyBytes(0);
constexpr std::array<uint64_t, 256> kFamilySeconds = MakeFamilyBytes(1);

// The first rule, in the table's order, whose text occurs in the agent (the
// rules that ignore case are looked for in the lowered agent), where it first
// occurs, and whether a mobile mark occurs.  One pass over the agent: at each
// place only the rules that may begin with its byte and come before the best
// rule met so far are tried.  A rule met for the first time is met at its
// first occurrence, since a rule before the best one would have been taken
// at any earlier place.
FamilyMatch MatchFamily(std::string_view agent) {
  FamilyMatch match;
  // Rule texts that ignore case are lower case: the agent's letters are
  // lowered as they are compared.
  const auto occurs_at = [&](size_t at, std::string_view wanted, bool ignore_case) {
    if (wanted.size() > agent.size() - at) return false;
    for (size_t k = 0; k < wanted.size(); ++k) {
      char c = agent[at + k];
      if (ignore_case && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != wanted[k]) return false;
    }
    return true;
  };
  constexpr uint64_t kAllMarks = ((uint64_t{1} << kMobileMarks.size()) - 1) << kMarkBit;
  // The rules before the best one, and the marks while none has been met.
  uint64_t wanted = ((uint64_t{1} << kFamilyRules.size()) - 1) | kAllMarks;
  bool mobile_mark = false;
  // A text begins at `at` only where its first two bytes are there.
  for (size_t at = 0; at + 1 < agent.size() && wanted != 0; ++at) {
    uint64_t candidates = kFamilyStarts[static_cast<unsigned char>(agent[at])] &
                          kFamilySeconds[static_cast<unsigned char>(agent[at + 1])] & wanted;
    while (candidates != 0) {
      const auto bit = static_cast<size_t>(std::countr_zero(candidates));
      candidates &= candidates - 1;
      if (bit >= kMarkBit) {
        if (occurs_at(at, kMobileMarks[bit - kMarkBit], false)) {
          mobile_mark = true;
          wanted &= ~kAllMarks;
          break;
        }
        continue;
      }
      const FamilyRule& rule = kFamilyRules[bit];
      if (occurs_at(at, rule.text, rule.ignore_case)) {
        match.family = rule.family;
        match.at = at;
        match.length = rule.text.size();
        // Only earlier rules can still win; the marks are still looked for.
        wanted &= ((uint64_t{1} << bit) - 1) | (wanted & kAllMarks);
        candidates &= kAllMarks;
      }
    }
  }
  if (match.family.empty()) {
    // Gecko's own build date ("Gecko/20100101") marks Firefox and its kin
    // even when the agent is cut before "Firefox/"; others say "like Gecko".
    const size_t at = agent.find("Gecko/");
    if (at != std::string::npos) {
      match.family = "Firefox";
      match.at = at;
      match.length = 6;
    } else {
      match.family = "Other browsers";
    }
  }
  if (match.family != kCrawlers && match.family != kScripted) match.mobile = mobile_mark;
  return match;
}

std::string FamilyText(const FamilyMatch& match) {
  return std::string(match.family) + (match.mobile ? " (mobile)" : "");
}

}  // namespace

std::string BrowserFamily(std::string_view agent, const std::string& default_family) {
  if (TrimView(agent).empty()) return default_family;
  return FamilyText(MatchFamily(agent));
}

std::string StoredAgent(const std::string& agent, size_t size) {
  if (agent.size() <= size) return agent;
  const std::string cut = agent.substr(0, size);
  const FamilyMatch whole = MatchFamily(agent);
  if (FamilyText(MatchFamily(cut)) == FamilyText(whole) || whole.at == std::string::npos) {
    return cut;
  }
  // The word of the agent that holds the deciding text ("Edg/120.0.0.0"),
  // at most 24 characters of it.
  static constexpr char kWordEnds[] = " ;()";
  const size_t before = agent.find_last_of(kWordEnds, whole.at);
  const size_t begin = before == std::string::npos ? 0 : before + 1;
  size_t end = agent.find_first_of(kWordEnds, whole.at + whole.length);
  if (end == std::string::npos) end = agent.size();
  end = std::max(std::min(end, begin + 24), whole.at + whole.length);
  std::string tail = " " + agent.substr(begin, end - begin);
  if (whole.mobile) tail += " Mobile";
  if (tail.size() >= size) return cut;
  const std::string stored = agent.substr(0, size - tail.size()) + tail;
  // Joining must not have made another rule match.
  return FamilyText(MatchFamily(stored)) == FamilyText(whole) ? stored : cut;
}

std::string_view BrowserNameView(std::string_view agent, std::string_view default_name) {
  if (agent.empty()) return default_name;
  static constexpr std::string_view kCompatible = "compatible;";
  const size_t compatible = agent.find(kCompatible);
  if (compatible != std::string_view::npos) {
    const size_t begin = compatible + kCompatible.size();
    size_t end = begin;
    while (end < agent.size() && agent[end] != ';' && agent[end] != ')') ++end;
    if (end < agent.size()) {
      const std::string_view name = TrimView(agent.substr(begin, end - begin));
      return name.empty() ? default_name : name;
    }
    // "compatible;" without an end: the name is taken from the start of the
    // agent like any other.
  }
  // A loop of our own: find_first_of searches the set for every byte.
  size_t end = 0;
  while (end < agent.size() && !kEndsName.ends[static_cast<unsigned char>(agent[end])]) ++end;
  if (end == agent.size()) return default_name;
  const std::string_view name = TrimView(agent.substr(0, end + 1));
  return name.empty() ? default_name : name;
}

std::string BrowserName(const std::string& agent, const std::string& default_name) {
  return std::string(BrowserNameView(agent, default_name));
}

std::string_view DomainSuffixView(std::string_view host_name) {
  const size_t dot = host_name.rfind('.');
  if (dot == std::string_view::npos) return std::string_view();
  return host_name.substr(dot + 1, kMaxPart);
}

std::string DomainSuffix(const std::string& host_name) {
  return std::string(DomainSuffixView(host_name));
}

std::string_view CountryNameView(std::string_view suffix, std::string_view default_name) {
  if (suffix.size() == 2) {
    // Nearly every suffix met: found by its letters.
    const char first = UpperLetter(suffix[0]);
    const char second = UpperLetter(suffix[1]);
    if (first == '\0' || second == '\0') return default_name;
    const uint8_t row = kTwoLetterCountries.row[(first - 'A') * 26 + (second - 'A')];
    return row == 0 ? default_name : kCountries[row - 1].name;
  }
  if (suffix.size() < 2 || suffix.size() > 4) return default_name;
  for (const size_t index : kLongSuffixRows.row) {
    const CountryRow& row = kCountries[index];
    if (row.suffix.size() != suffix.size()) continue;
    size_t k = 0;
    while (k < suffix.size() && UpperLetter(suffix[k]) == row.suffix[k]) ++k;
    if (k == suffix.size()) return row.name;
  }
  return default_name;
}

std::string CountryName(const std::string& suffix, const std::string& default_name) {
  return std::string(CountryNameView(suffix, default_name));
}

std::string_view ReferringHostView(std::string_view referrer, std::string_view default_host) {
  const std::string_view host = HostPart(referrer);
  if (host.size() <= 4) return default_host;
  if (host.find('\'') != std::string_view::npos) return default_host;
  return host;
}

std::string ReferringHost(const std::string& referrer, const std::string& default_host) {
  return std::string(ReferringHostView(referrer, default_host));
}

std::string_view RemoteDomainView(std::string_view host_name, std::string_view default_domain) {
  std::string_view s = HostPart(host_name);
  // Trailing dots, blanks, hyphens and other characters below '0'.
  while (!s.empty() && static_cast<unsigned char>(s.back()) < '0') s.remove_suffix(1);
  // Drop leading labels while more than three characters follow the first
  // dot: the domain begins after the last dot met before one that three
  // characters or fewer follow.  Plain loops over a short host name.
  size_t begin = 0;
  bool dot = false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '.') continue;
    if (s.size() - i - 1 <= 3) {
      dot = true;
      break;
    }
    begin = i + 1;
  }
  // Without such a dot every dot was dropped with its label.
  if (!dot) return default_domain;
  s.remove_prefix(begin);
  for (const char c : s) {
    if (c == '(' || c == ')') return default_domain;
  }
  // A numeric address ends in a digit.
  return static_cast<unsigned char>(s.back()) < 'A' ? default_domain : s;
}

std::string RemoteDomain(const std::string& host_name, const std::string& default_domain) {
  return std::string(RemoteDomainView(host_name, default_domain));
}

}  // namespace vantora
