// Fuzz target: cookie decoding and value scrambling.  The input is the
// request's cookie text, then a zero byte, then the cookie name to look up;
// the first four bytes of the name part also serve as the scrambling key.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/HUtilsCookie.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size > 65536) return 0;
  const std::string input(reinterpret_cast<const char*>(bytes), size);
  const size_t zero = input.find('\0');
  const std::string pairs = input.substr(0, zero);
  const std::string name = zero == std::string::npos ? "Vantora" : input.substr(zero + 1);

  const std::string value = vantora::THttpCookie::FindCookieField(name, pairs);
  // A value is decoded from the text, which only shrinks it.
  if (value.size() > pairs.size()) std::abort();

  int32_t key = 0;
  std::memcpy(&key, name.data(), std::min(name.size(), sizeof key));
  const std::string scrambled = vantora::ScrambleText(input, key);
  if (scrambled.size() != input.size()) std::abort();
  if (vantora::UnscrambleText(scrambled, key) != input) std::abort();
  return 0;
}
