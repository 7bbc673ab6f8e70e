#include "app/VantoraStatClassify.h"

#include <array>
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

}  // namespace

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
  std::string s = HostPart(host_name);
  // Trailing dots, blanks, hyphens and other characters below '0'.
  while (!s.empty() && static_cast<unsigned char>(s.back()) < '0') s.pop_back();
  // Drop leading labels while more than three characters follow the first dot.
  while (!s.empty()) {
    const size_t dot = s.find('.');
    if (dot == std::string::npos || s.size() - dot - 1 <= 3) break;
    s.erase(0, dot + 1);
  }
  if (s.find_first_of("()") != std::string::npos || s.find('.') == std::string::npos) {
    return default_domain;
  }
  if (static_cast<unsigned char>(s.back()) < 'A') return default_domain;
  return s;
}

}  // namespace vantora
