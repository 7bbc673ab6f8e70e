// Fuzz target for CONTENT_LENGTH: the value as a standard CGI request
// process reads it, before a request body on standard input.  A value is a
// number or an error of the request; an error leaves no fields and answers
// the error status; a number never reads more than the limit or the body.
//
// Input: the CONTENT_LENGTH text, a zero byte, the request body.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "adapters/CgiSEng.h"
#include "engine/HttpEng.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantora;
  if (size > 20000) return 0;
  const std::string& folder = fuzz::Folder();
  const auto parts = fuzz::SplitAtZeros<2>(data, size);
  const std::string& length_text = parts[0];

  // The parse alone: a number is exactly what strtol reads from it.
  bool valid = true;
  int length = 0;
  try {
    length = ContentLengthValue(length_text);
  } catch (const std::runtime_error&) {
    valid = false;
  }
  if (valid) {
    char* stop = nullptr;
    errno = 0;
    const long expected = std::strtol(length_text.c_str(), &stop, 10);
    fuzz::Check(errno == 0 && expected == length);
  }

  // The whole request: environment and standard input as the server gives
  // them.
  const std::string body_path = folder + "/body";
  fuzz::Check(fuzz::WriteFile(body_path, parts[1]));
  const int input = open(body_path.c_str(), O_RDONLY | O_CLOEXEC);
  fuzz::Check(input >= 0);
  CgiStdState().input = std::make_unique<THandleStream>(input, /*owns_handle=*/true);
  CgiStdState().output.reset();
  unsetenv("SERVER_SOFTWARE");
  unsetenv("CONTENT_TYPE");
  setenv("CONTENT_LENGTH", length_text.c_str(), 1);
  setenv("QUERY_STRING", "q=1", 1);

  bool handled = false;
  std::string seen;
  TCGIStdEngine engine(
      nullptr, false, TCGIMode::NormalMode, /*auto_terminate=*/false,
      /*buffered_output=*/true, false, folder, "DefaultSession", 10000, true, "text/html", true,
      nullptr, nullptr,
      [&](TComponent*) {
        handled = true;
        seen = GetFormField("q", "");
      },
      nullptr);
  engine.RunRequest();
  const bool set = !length_text.empty();
  fuzz::Check(handled == (!set || valid));
  if (handled && (!set || length <= 0)) fuzz::Check(seen == "1");
  CgiStdState().input.reset();
  CurrentRequestState().engine = nullptr;
  unsetenv("CONTENT_LENGTH");
  fuzz::DropLog();
  return 0;
}
