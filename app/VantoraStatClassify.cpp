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
// first '\'.
std::string HostPart(const std::string& text) {
  std::string s = text;
  const size_t scheme_end = s.find("://");
  if (scheme_end != std::string::npos) s = s.substr(scheme_end + 3, kMaxPart);
  const size_t slash = s.find('/');
  if (slash != std::string::npos) s.erase(slash);
  const size_t backslash = s.find('\\');
  if (backslash != std::string::npos) s.erase(backslash);
  return s;
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

// For each byte of an agent, the rules and mobile marks that may begin at
// it: bit r for rule r (rules that ignore case under both cases of their
// first letter), bit kMarkBit + m for mobile mark m (matched exactly).
constexpr size_t kMarkBit = kFamilyRules.size();
static_assert(kMarkBit + kMobileMarks.size() <= 64, "one bit per rule and mark");

constexpr std::array<uint64_t, 256> MakeFamilyStarts() {
  std::array<uint64_t, 256> starts{};
  for (size_t r = 0; r < kFamilyRules.size(); ++r) {
    const auto first = static_cast<unsigned char>(kFamilyRules[r].text[0]);
    starts[first] |= uint64_t{1} << r;
    if (kFamilyRules[r].ignore_case && first >= 'a' && first <= 'z') {
      starts[first - 'a' + 'A'] |= uint64_t{1} << r;
    }
  }
  for (size_t m = 0; m < kMobileMarks.size(); ++m) {
    starts[static_cast<unsigned char>(kMobileMarks[m][0])] |= uint64_t{1} << (kMarkBit + m);
  }
  return starts;
}

constexpr std::array<uint64_t, 256> kFamilyStarts = MakeFamilyStarts();

// The first rule, in the table's order, whose text occurs in the agent (the
// rules that ignore case are looked for in the lowered agent), where it first
// occurs, and whether a mobile mark occurs.  One pass over the agent: at each
// place only the rules that may begin with its byte and come before the best
// rule met so far are tried.  A rule met for the first time is met at its
// first occurrence, since a rule before the best one would have been taken
// at any earlier place.
FamilyMatch MatchFamily(const std::string& agent) {
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
  for (size_t at = 0; at < agent.size() && wanted != 0; ++at) {
    uint64_t candidates = kFamilyStarts[static_cast<unsigned char>(agent[at])] & wanted;
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

std::string BrowserFamily(const std::string& agent, const std::string& default_family) {
  if (Trim(agent).empty()) return default_family;
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

std::string BrowserName(const std::string& agent, const std::string& default_name) {
  if (agent.empty()) return default_name;
  static constexpr std::string_view kCompatible = "compatible;";
  const size_t compatible = agent.find(kCompatible);
  if (compatible != std::string::npos) {
    const size_t begin = compatible + kCompatible.size();
    const size_t end = agent.find_first_of(";)", begin);
    if (end != std::string::npos) {
      const std::string name = Trim(std::string_view(agent).substr(begin, end - begin));
      return name.empty() ? default_name : name;
    }
    // "compatible;" without an end: the name is taken from the start of the
    // agent like any other.
  }
  const size_t end = agent.find_first_of(" [(");
  if (end == std::string::npos) return default_name;
  const std::string name = Trim(std::string_view(agent).substr(0, end + 1));
  return name.empty() ? default_name : name;
}

std::string DomainSuffix(const std::string& host_name) {
  const size_t dot = host_name.rfind('.');
  if (dot == std::string::npos) return std::string();
  return host_name.substr(dot + 1, kMaxPart);
}

std::string CountryName(const std::string& suffix, const std::string& default_name) {
  const std::string key = UpperCase(suffix);
  for (const CountryRow& row : kCountries) {
    if (row.suffix == key) return std::string(row.name);
  }
  return default_name;
}

std::string ReferringHost(const std::string& referrer, const std::string& default_host) {
  const std::string host = HostPart(referrer);
  if (host.size() <= 4) return default_host;
  if (host.find('\'') != std::string::npos) return default_host;
  return host;
}

std::string RemoteDomain(const std::string& host_name, const std::string& default_domain) {
  const std::string host = HostPart(host_name);
  std::string_view s = host;
  // Trailing dots, blanks, hyphens and other characters below '0'.
  while (!s.empty() && static_cast<unsigned char>(s.back()) < '0') s.remove_suffix(1);
  // Drop leading labels while more than three characters follow the first
  // dot.  Short host names: plain loops, no library searches.
  const auto first_dot = [](std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '.') return i;
    }
    return std::string_view::npos;
  };
  size_t dot = first_dot(s);
  while (dot != std::string_view::npos && s.size() - dot - 1 > 3) {
    s.remove_prefix(dot + 1);
    dot = first_dot(s);
  }
  if (dot == std::string_view::npos) return default_domain;
  for (const char c : s) {
    if (c == '(' || c == ')') return default_domain;
  }
  if (static_cast<unsigned char>(s.back()) < 'A') return default_domain;
  return std::string(s);
}

}  // namespace vantora
