#include "adapters/CgiWEngReport.h"

#include <unistd.h>

#include "engine/HttpEngRoutines.h"

namespace vantora {

void WriteStandardErrorLine(const std::string& message) {
  std::string line = "vantora: " + message;
  for (char& c : line) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  line += '\n';
  // One write, so that lines of processes sharing the error log stay whole;
  // a closed or full standard error loses the line.
  const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

void ReportProfileFailure(const std::string& message) {
  WriteLog(message);
  WriteStandardErrorLine(message);
}

}  // namespace vantora
