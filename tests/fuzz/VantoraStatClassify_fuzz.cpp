// Fuzz target: the visitor classification rules on visitor-supplied texts
// (user agent, referrer, host name).  Every result is the default or a part
// of the input (or, for countries, a name of the table).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/VantoraStatClassify.h"

namespace {

const std::string kDefault =
    "\x01"
    "default";

// result is the default or occurs in text.
void RequirePartOf(const std::string& result, const std::string& text) {
  if (result != kDefault && text.find(result) == std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size > 4096) return 0;
  const std::string text(reinterpret_cast<const char*>(bytes), size);

  RequirePartOf(vantora::BrowserName(text, kDefault), text);
  const std::string suffix = vantora::DomainSuffix(text);
  if (suffix.size() > 255) std::abort();
  RequirePartOf(suffix.empty() ? kDefault : suffix, text);
  const std::string country = vantora::CountryName(suffix, kDefault);
  if (country.empty()) std::abort();
  const std::string host = vantora::ReferringHost(text, kDefault);
  RequirePartOf(host, text);
  if (host != kDefault && (host.size() <= 4 || host.find('\'') != std::string::npos)) {
    std::abort();
  }
  const std::string domain = vantora::RemoteDomain(text, kDefault);
  RequirePartOf(domain, text);
  if (domain != kDefault && domain.find('.') == std::string::npos) std::abort();
  return 0;
}
