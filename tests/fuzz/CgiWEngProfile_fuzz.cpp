// Fuzz target: the Windows CGI profile reader.  The input is the profile's
// bytes; every section and key it keeps must stay within the reader's
// limits, and every stored key must be found again by its own name.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "adapters/CgiWEngProfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size > 262144) return 0;
  using vantora::TCGIIniFile;
  const TCGIIniFile profile =
      TCGIIniFile::FromText(std::string_view(reinterpret_cast<const char*>(bytes), size));
  if (profile.SectionNames().size() > TCGIIniFile::kMaxSections) std::abort();
  for (size_t i = 0; i < profile.SectionNames().size(); ++i) {
    for (const auto& [key, value] : profile.KeyList(i)) {
      if (key.empty() || key.size() >= TCGIIniFile::kKeyReach) std::abort();
      if (value.size() > TCGIIniFile::kMaxLineLength) std::abort();
      if (profile.FindValue(profile.SectionNames()[i], key) == nullptr) std::abort();
    }
  }
  return 0;
}
