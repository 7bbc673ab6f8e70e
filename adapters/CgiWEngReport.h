// How the Windows CGI adapter makes its failures visible: the web server
// shows the program's standard error in its own error log, so every failure
// the adapter writes to the request log also goes there as one line.
#pragma once

#include <string>

namespace vantora {

// One line on standard error: the message with line breaks made blanks.
void WriteStandardErrorLine(const std::string& message);
// The request log line (WriteLog) and the same line on standard error.
void ReportProfileFailure(const std::string& message);

}  // namespace vantora
