// What the echo test program answers, shared by the program and the tests
// that check its answers.
#pragma once

#include <cstdint>
#include <string>

namespace vantora {

// FNV-1a, 64 bits: a fingerprint of uploaded file contents.
inline uint64_t Fingerprint(const std::string& bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace vantora
