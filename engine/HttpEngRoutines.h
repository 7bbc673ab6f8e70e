// Free routines of the request engine: output and request shortcuts that act
// on the engine serving the calling thread, url coding, the HTTP date,
// environment and path routines, program termination and the request log.
//
// The shortcuts need a current engine on the calling thread (RunRequest binds
// one); calling them without one throws std::logic_error.
#pragma once

#include <cstdint>
#include <string>

#include "platform/DateTime.h"

namespace vantora {

class TBitmap;
class THttpEngine;

// The engine bound to the calling thread, or null.
THttpEngine* CurrentEngine();

void Send(const std::string& text);
// Writes the automatic response header now (THttpEngine::ComposeHeader), so
// that it comes before the page whatever the page's first byte is.
void ComposeHeader();
void SendLn(const std::string& text);
void SendGif(const TBitmap& bitmap);
void SendJpeg(const TBitmap& bitmap);
// Names as the engine takes them: upper case, blanks between words.
std::string GetVar(const std::string& name);
std::string GetFormField(const std::string& name, const std::string& default_value);
std::string QueryString();
std::string ScriptName();
std::string RemoteHost();
std::string RemoteAddr();
std::string RemoteAddress();
std::string UserAgent();
std::string Referer();

// '0'-'9', 'A'-'F', 'a'-'f'.
bool IsHexDigit(char c);
// '+' becomes a blank, "%XX" the byte XX; a '%' without two hex digits stays.
std::string UrlDecode(const std::string& text);
// A blank becomes '+'; '.', '/', '\', digits and letters stay; every other
// byte becomes '%' and two upper-case hex digits.
std::string UrlEncode(const std::string& text);
// A local date-time as an HTTP date in GMT: "Sun, 06 Dec 2026 13:49:00 GMT".
std::string HttpDate(TDateTime local);
// The environment variable's value, empty when unset.  A "SERVER_SOFTWARE"
// value containing "ZB" reads as empty.
std::string GetEnv(const std::string& name);

// Composes a file path from the base path's directory, a directory (absolute,
// or relative to the base path's directory) and a file name whose extension
// (from its first '.') is replaced by new_extension (given without '.'; an
// empty one keeps the file name's own).  An absolute file name is returned
// unchanged.  "/./" and "//" collapse to "/".
std::string BuildFilePath(const std::string& base_path, const std::string& directory,
                          const std::string& file_name, const std::string& new_extension);

// File attributes of a directory entry, as FindFile reports and filters them.
inline constexpr int faReadOnly = 1;
inline constexpr int faHidden = 2;   // names beginning with '.'
inline constexpr int faSysFile = 4;  // anything that is neither file nor directory
inline constexpr int faVolumeID = 8;
inline constexpr int faDirectory = 16;
inline constexpr int faArchive = 32;  // every regular file
inline constexpr int faAnyFile = 63;

struct TSearchRec {
  std::string Name;  // the entry's name, without directory
  int64_t Size = 0;
  TDateTime Time = 0;  // last modification, local time
  int Attr = 0;
};

// Finds the first entry matching path (its file-name part may hold the
// wildcards '*' and '?') whose hidden, system and directory attributes are all
// allowed by attribute_mask; plain files always qualify.  Returns 0 and fills
// *record when found, otherwise an errno value (ENOENT when nothing matches).
int FindFile(const std::string& path, int attribute_mask, TSearchRec* record);

// Destroys the forms and data modules and ends the process with exit code 0;
// does nothing when the program runs as a library.
void TerminateProgram();

// Appends one line to the request log: local date and time, ",  ", the
// request number, " : ", the message, CR LF.  The log is the program's name
// with the extension "Log" in the directory CGI_LOG_DIR (default: the
// program's folder + "/Log"; the program's folder when that cannot be
// created).  The message is written through EscapeLogText, so text that came
// from a visitor can never start a line of its own.  Never fails: a line that
// cannot be written is lost.
void WriteLog(const std::string& message);
// Reports a failure that must not pass unseen (a hit that was not recorded,
// an unhandled exception, a repaired statistics file): the message goes to
// the request log and, as one line "<program>: <message>", to standard
// error, which web servers copy into their error log.  Never fails.
void ReportFailure(const std::string& message);
// The text with every control character (below 32, and 127) written as '%'
// and two upper-case hex digits: CR LF becomes "%0D%0A".
std::string EscapeLogText(const std::string& text);
// The path WriteLog appends to (creating the log directory when missing).
std::string LogFilePath();
// While a request runs (THttpEngine::RunRequest), the log lines of its
// thread are collected and appended together at its end, with one open and
// one write, or sooner once they reach kLogBatchBytes.  Each line stays
// whole and in order; a process that dies in the middle of a request loses
// the lines not yet appended.  Outside a batch every line is appended at
// once.
inline constexpr size_t kLogBatchBytes = 16384;
void BeginLogBatch();
// Appends the collected lines and ends the batch.
void EndLogBatch();

}  // namespace vantora
