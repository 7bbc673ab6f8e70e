// 8-bit text helpers shared by every unit: case conversion of the ASCII
// letters (other bytes stay as they are) and trimming of blanks and control
// characters.
#pragma once

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>

namespace vantora {

inline std::string UpperCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

inline std::string LowerCase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Removes characters with codes up to 32 (blanks and control characters)
// from both ends.
inline std::string Trim(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return std::string(text.substr(begin, end - begin));
}

// Strict decimal conversion: blanks and control characters around, an
// optional sign, digits, within int.  False (and *value untouched) for
// anything else.
inline bool TryStrToInt(std::string_view text, int* value) {
  const std::string digits = Trim(text);
  if (digits.empty() || digits.back() < '0' || digits.back() > '9') return false;
  errno = 0;
  char* stop = nullptr;
  const long parsed = std::strtol(digits.c_str(), &stop, 10);
  if (stop == digits.c_str() || *stop != '\0' || errno == ERANGE || parsed < INT_MIN ||
      parsed > INT_MAX) {
    return false;
  }
  *value = static_cast<int>(parsed);
  return true;
}

}  // namespace vantora
