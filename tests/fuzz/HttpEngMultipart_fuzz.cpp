// Fuzz target: the multipart decoder.  The first input byte picks the read
// size the fake server hands out; the rest is the request body.  Uploads go
// to a private temporary directory and are deleted at the end of each run.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/HttpEng.h"
#include "platform/Paths.h"
#include "support/FakeEngine.h"

namespace {

std::string& WorkDir() {
  static std::string dir = [] {
    char pattern[] = "/tmp/vantora-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    setenv("CGI_LOG_DIR", pattern, 1);
    vantora::SetModuleFileNameForTesting(std::string(pattern) + "/vantora");
    return std::string(pattern);
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 1 || size > 400000) return 0;
  vantora::FakeEngine engine;
  engine.SetTempDir(WorkDir());
  engine.read_chunk = bytes[0] == 0 ? 0 : bytes[0] * 37;
  engine.SetBody(std::string(reinterpret_cast<const char*>(bytes + 1), size - 1));
  engine.variables["CONTENT LENGTH"] = std::to_string(size - 1);
  engine.OnExecRequest = [&](vantora::TComponent*) {
    const std::string data = engine.ReadMultipartInput();
    vantora::ListFieldNames(data);
  };
  engine.RunRequest();
  return 0;
}
