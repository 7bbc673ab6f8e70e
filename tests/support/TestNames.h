// Readable names for parameterised test cases: a case's label ("silent
// handler, Apache any case") becomes "SilentHandlerApacheAnyCase", which
// ctest and --gtest_filter show and accept.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace vantora {

inline std::string CaseName(std::string_view label) {
  std::string name;
  bool word_start = true;
  for (const char c : label) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      name += word_start ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
      word_start = false;
    } else {
      word_start = true;
    }
  }
  return name.empty() ? std::string("Unnamed") : name;
}

}  // namespace vantora
