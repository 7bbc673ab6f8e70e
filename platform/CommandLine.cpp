#include "platform/CommandLine.h"

#include <mutex>

namespace vantora {
namespace {

std::mutex& ParamsMutex() {
  static std::mutex mutex;
  return mutex;
}
std::vector<std::string>& Params() {
  static std::vector<std::string> params;
  return params;
}

}  // namespace

void SetCommandLine(int argc, const char* const* argv) {
  std::vector<std::string> params;
  for (int i = 1; i < argc; ++i) params.emplace_back(argv[i] ? argv[i] : "");
  SetParams(std::move(params));
}

void SetParams(std::vector<std::string> params) {
  std::lock_guard<std::mutex> lock(ParamsMutex());
  Params() = std::move(params);
}

int ParamCount() {
  std::lock_guard<std::mutex> lock(ParamsMutex());
  return static_cast<int>(Params().size());
}

std::string ParamStr(int index) {
  std::lock_guard<std::mutex> lock(ParamsMutex());
  if (index < 1 || index > static_cast<int>(Params().size())) return std::string();
  return Params()[static_cast<size_t>(index - 1)];
}

}  // namespace vantora
