#include "adapters/CgiRequestData.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "engine/HttpEng.h"
#include "engine/HttpEngRoutines.h"
#include "platform/Text.h"

namespace vantora {

void ApplyFacadeSettings(THttpEngine& engine, bool buffered_output, bool no_cache,
                         std::string temp_dir, std::string session_name, int auto_read_limit,
                         bool auto_read_input, std::string auto_content_type, bool auto_http_header,
                         TRequestErrorEvent on_request_error,
                         TLastExecRequestEvent on_last_exec_request,
                         TExecRequestEvent on_exec_request,
                         TFirstExecRequestEvent on_first_exec_request) {
  engine.SetBufferedOutput(buffered_output);
  engine.SetNoCache(no_cache);
  engine.SetTempDir(std::move(temp_dir));
  engine.SetSessionName(std::move(session_name));
  engine.SetAutoReadLimit(auto_read_limit);
  engine.SetAutoReadInput(auto_read_input);
  engine.SetAutoContentType(std::move(auto_content_type));
  engine.SetAutoHttpHeader(auto_http_header);
  engine.OnRequestError = std::move(on_request_error);
  engine.OnLastExecRequest = std::move(on_last_exec_request);
  engine.OnExecRequest = std::move(on_exec_request);
  engine.OnFirstExecRequest = std::move(on_first_exec_request);
}

std::string CgiVariableName(const std::string& name) {
  std::string key = UpperCase(name);
  for (char& c : key) {
    if (c == ' ') c = '_';
  }
  if (key == "EXECUTABLE_PATH") key = "SCRIPT_NAME";
  return key;
}

int CgiContentLength(const std::string& text) {
  size_t begin = 0;
  while (begin < text.size() && text[begin] == ' ') ++begin;
  const char* start = text.c_str() + begin;
  char* stop = nullptr;
  errno = 0;
  const long value = std::strtol(start, &stop, 10);
  const bool digits = stop != start && (stop[-1] >= '0' && stop[-1] <= '9');
  if (!digits || *stop != '\0' || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
    throw std::runtime_error("'" + text + "' is not a valid integer value");
  }
  return static_cast<int>(value);
}

std::string ReadCgiRequestData(THttpEngine& engine, const TBodyReader& read_body) {
  const std::string length_text = engine.GetVariable("CONTENT_LENGTH");
  const int length = length_text.empty() ? 0 : CgiContentLength(length_text);
  if (length <= 0) return engine.GetQueryString();
  if (length > engine.AutoReadLimit()) {
    WriteLog("Content length exceeds AutoReadLimit");
    // The body is read and dropped all the same, in blocks: a web server
    // still writing it into the pipe when the process ends answers the
    // visitor nothing at all (Apache does, now and then).
    std::string block(64 * 1024, '\0');
    for (int left = length; left > 0;) {
      const int want = std::min(left, static_cast<int>(block.size()));
      const int got = read_body(block.data(), want);
      if (got < want) break;
      left -= got;
    }
    return std::string();
  }
  if (!engine.AutoReadInput()) return std::string();
  if (UpperCase(engine.GetVariable("CONTENT_TYPE")).find("MULTIPART/FORM-DATA;") !=
      std::string::npos) {
    return engine.ReadMultipartInput();
  }
  // Read in blocks rather than byte by byte.
  std::string body(static_cast<size_t>(length), '\0');
  const int got = read_body(body.data(), length);
  body.resize(static_cast<size_t>(got < 0 ? 0 : got));
  body.resize(std::strlen(body.c_str()));
  return body;
}

}  // namespace vantora
