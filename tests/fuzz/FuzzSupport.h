// Helpers of the fuzz targets: a private folder per fuzzing process, in which
// the program file "vantora" is taken to live (so statistics files, templates
// and the request log land there), and input splitting.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "engine/HttpEngRoutines.h"
#include "platform/Paths.h"

namespace vantora::fuzz {

// The folder, created on first use; the program file is <folder>/vantora.
inline const std::string& Folder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/vantora-fuzz.XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    const std::string path = pattern;
    SetModuleFileNameForTesting(path + "/vantora");
    setenv("CGI_LOG_DIR", path.c_str(), 1);
    return path;
  }();
  return folder;
}

// Removes the request log, so that a long run does not fill the disk.
inline void DropLog() { unlink(LogFilePath().c_str()); }

inline void Check(bool condition) {
  if (!condition) abort();
}

// Splits the input at the first `count - 1` zero bytes into `count` parts
// (missing parts are empty).
template <size_t N>
std::array<std::string, N> SplitAtZeros(const uint8_t* data, size_t size) {
  std::array<std::string, N> parts;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  for (size_t i = 0; i < N; ++i) {
    if (i + 1 == N) {
      parts[i] = std::string(rest);
      break;
    }
    const size_t zero = rest.find('\0');
    if (zero == std::string_view::npos) {
      parts[i] = std::string(rest);
      break;
    }
    parts[i] = std::string(rest.substr(0, zero));
    rest.remove_prefix(zero + 1);
  }
  return parts;
}

// Replaces the file at path with the bytes.
inline bool WriteFile(const std::string& path, const std::string& bytes) {
  unlink(path.c_str());
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && ok;
}

}  // namespace vantora::fuzz
