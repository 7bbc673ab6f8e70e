// Fuzz target: field lookup and url coding of request data.  The input is
// the request data, then a zero byte, then the field name to look up.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/HttpEng.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size > 65536) return 0;
  const std::string input(reinterpret_cast<const char*>(bytes), size);
  const size_t zero = input.find('\0');
  const std::string data = input.substr(0, zero);
  const std::string key = zero == std::string::npos ? "a" : input.substr(zero + 1);

  const std::string value = vantora::FindField(data, key, vantora::kNotAvailable);
  // Every value comes out of data; joining adds two bytes per value.
  if (value != vantora::kNotAvailable && value.size() > 3 * data.size()) std::abort();
  for (const std::string& name : vantora::ListFieldNames(data)) {
    if (name.size() > data.size()) std::abort();
  }
  if (vantora::UrlDecode(vantora::UrlEncode(input)) != input) std::abort();
  return 0;
}
