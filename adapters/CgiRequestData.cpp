#include "adapters/CgiRequestData.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "engine/HttpEng.h"
#include "engine/HttpEngRoutines.h"
#include "platform/Text.h"

namespace vantora {

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
