#include "platform/Paths.h"

#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace vantora {
namespace {

std::mutex& ModuleMutex() {
  static std::mutex mutex;
  return mutex;
}
std::string& ModuleOverride() {
  static std::string path;
  return path;
}
std::atomic<bool> is_library{false};

// Position of the '.' that starts the extension of the file-name part, or npos.
size_t ExtensionDot(std::string_view path) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string_view::npos) return dot;
  if (slash != std::string_view::npos && dot < slash) return std::string_view::npos;
  return dot;
}

}  // namespace

bool IsAbsolutePath(std::string_view path) { return !path.empty() && path[0] == '/'; }

std::string ExtractFilePath(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

std::string ExtractFileDir(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::string();
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string ExtractFileName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ExtractFileExt(std::string_view path) {
  const size_t dot = ExtensionDot(path);
  return dot == std::string_view::npos ? std::string() : std::string(path.substr(dot));
}

std::string ChangeFileExt(std::string_view path, std::string_view new_ext) {
  const size_t dot = ExtensionDot(path);
  std::string result(dot == std::string_view::npos ? path : path.substr(0, dot));
  result.append(new_ext);
  return result;
}

namespace {

std::string ReadModuleFileName() {
  if (IsLibrary()) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ModuleFileName), &info) != 0 && info.dli_fname) {
      char resolved[PATH_MAX];
      if (realpath(info.dli_fname, resolved)) return resolved;
      return info.dli_fname;
    }
  }
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace

std::string ModuleFileName() {
  std::lock_guard<std::mutex> lock(ModuleMutex());
  if (!ModuleOverride().empty()) return ModuleOverride();
  // The program file does not move while the process runs: ask the system
  // once.  The library flag is set before anything asks, so the cached answer
  // is the library's path in the library build.
  static std::string cached;
  if (cached.empty()) cached = ReadModuleFileName();
  return cached;
}

std::string ProgramFolder() { return ExtractFileDir(ModuleFileName()); }

void SetModuleFileNameForTesting(const std::string& path) {
  std::lock_guard<std::mutex> lock(ModuleMutex());
  ModuleOverride() = path;
}

bool IsLibrary() { return is_library.load(std::memory_order_relaxed); }

void SetIsLibrary(bool value) { is_library.store(value, std::memory_order_relaxed); }

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace vantora
