#include "engine/HttpEngRoutines.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "engine/HttpEng.h"
#include "platform/Application.h"
#include "platform/Paths.h"

namespace vantora {
namespace {

THttpEngine& Engine() {
  THttpEngine* engine = CurrentEngine();
  if (!engine) throw std::logic_error("No request engine serves this thread");
  return *engine;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return c - 'a' + 10;
}

void ReplaceAll(std::string* text, const std::string& from, const std::string& to) {
  size_t pos;
  while ((pos = text->find(from)) != std::string::npos) text->replace(pos, from.size(), to);
}

// Creates the directory and any missing parents.  True when it exists after.
bool ForceDirectories(const std::string& path) {
  if (path.empty()) return false;
  if (DirectoryExists(path)) return true;
  const std::string parent = ExtractFileDir(path);
  if (!parent.empty() && parent != path && !DirectoryExists(parent)) ForceDirectories(parent);
  return ::mkdir(path.c_str(), 0755) == 0 || DirectoryExists(path);
}

int AttributesOf(const std::string& name, const struct stat& st) {
  int attr = 0;
  if (S_ISDIR(st.st_mode)) {
    attr |= faDirectory;
  } else if (S_ISREG(st.st_mode)) {
    attr |= faArchive;
  } else {
    attr |= faSysFile;
  }
  if (!name.empty() && name[0] == '.') attr |= faHidden;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) attr |= faReadOnly;
  return attr;
}

}  // namespace

void Send(const std::string& text) { Engine().SendText(text); }
void ComposeHeader() { Engine().ComposeHeader(); }
void SendLn(const std::string& text) { Engine().SendLine(text); }
void SendGif(const TBitmap& bitmap) { Engine().SendGifImage(bitmap); }
void SendJpeg(const TBitmap& bitmap) { Engine().SendJpegImage(bitmap); }
std::string GetVar(const std::string& name) { return Engine().GetVariable(name); }
std::string GetFormField(const std::string& name, const std::string& default_value) {
  return Engine().GetField(name, default_value);
}
std::string QueryString() { return Engine().GetQueryString(); }
std::string ScriptName() { return Engine().GetScriptName(); }
std::string RemoteHost() { return Engine().GetRemoteHost(); }
std::string RemoteAddr() { return Engine().GetRemoteAddr(); }
std::string RemoteAddress() { return Engine().GetRemoteAddr(); }
std::string UserAgent() { return Engine().GetUserAgent(); }
std::string Referer() { return Engine().GetReferer(); }

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

std::string UrlDecode(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      result.push_back(' ');
    } else if (c == '%' && i + 2 < text.size() && IsHexDigit(text[i + 1]) &&
               IsHexDigit(text[i + 2])) {
      result.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      result.push_back(c);
    }
  }
  return result;
}

std::string UrlEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size() * 3);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == ' ') {
      result.push_back('+');
    } else if (c == '.' || c == '/' || c == '\\' || (c >= '0' && c <= '9') ||
               (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      result.push_back(c);
    } else {
      result.push_back('%');
      result.push_back(kHex[byte >> 4]);
      result.push_back(kHex[byte & 15]);
    }
  }
  return result;
}

std::string HttpDate(TDateTime local) {
  static const char kDays[] = "SunMonTueWedThuFriSat";
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  // The zone's offset of the given moment (not of the present one), so a
  // date on the other side of a daylight-saving change converts correctly.
  const TDateTime gmt = LocalToUnix(local) / 86400.0 + kUnixEpochDays;
  int year, month, day, hour, minute, second, ms;
  DecodeDate(gmt, &year, &month, &day);
  DecodeTime(gmt, &hour, &minute, &second, &ms);
  const int weekday = DayOfWeek(gmt) - 1;
  char text[64];
  std::snprintf(text, sizeof text, "%.3s, %02d %.3s %04d %02d:%02d:%02d GMT", kDays + 3 * weekday,
                day, kMonths + 3 * (month - 1), year, hour, minute, second);
  return text;
}

std::string GetEnv(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::string();
  std::string result(value);
  if (name == "SERVER_SOFTWARE" && result.find("ZB") != std::string::npos) result.clear();
  return result;
}

std::string BuildFilePath(const std::string& base_path, const std::string& directory,
                          const std::string& file_name, const std::string& new_extension) {
  if (IsAbsolutePath(file_name)) return file_name;
  std::string path = IsAbsolutePath(directory) ? directory + "/"
                                               : ExtractFilePath(base_path) + "/" + directory + "/";
  const size_t dot = file_name.find('.');
  if (dot == std::string::npos) {
    path += file_name + "." + new_extension;
  } else {
    path += file_name.substr(0, dot) + "." +
            (new_extension.empty() ? file_name.substr(dot + 1) : new_extension);
  }
  ReplaceAll(&path, "/./", "/");
  ReplaceAll(&path, "//", "/");
  return path;
}

int FindFile(const std::string& path, int attribute_mask, TSearchRec* record) {
  const std::string dir_name = ExtractFileDir(path);
  const std::string pattern = ExtractFileName(path);
  const std::string dir = dir_name.empty() ? "." : dir_name;
  const int excluded = (faHidden | faSysFile | faDirectory) & ~attribute_mask;

  auto fill = [&](const std::string& name) -> bool {
    const std::string full = dir == "/" ? "/" + name : dir + "/" + name;
    struct stat st;
    if (::lstat(full.c_str(), &st) != 0) return false;
    const int attr = AttributesOf(name, st);
    if (attr & excluded) return false;
    if (record) {
      record->Name = name;
      record->Size = static_cast<int64_t>(st.st_size);
      record->Time = UnixToLocal(static_cast<double>(st.st_mtime));
      record->Attr = attr;
    }
    return true;
  };

  if (pattern.find_first_of("*?") == std::string::npos) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errno;
    return fill(pattern) ? 0 : ENOENT;
  }
  DIR* handle = ::opendir(dir.c_str());
  if (!handle) return errno;
  int result = ENOENT;
  while (const dirent* entry = ::readdir(handle)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (::fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0 && fill(name)) {
      result = 0;
      break;
    }
  }
  ::closedir(handle);
  return result;
}

void TerminateProgram() {
  if (IsLibrary()) return;
  TApplication::Instance().TerminateProgram();
}

std::string LogFilePath() {
  const std::string module = ModuleFileName();
  const std::string program_folder = ProgramFolder();
  std::string dir = GetEnv("CGI_LOG_DIR");
  if (dir.empty()) {
    dir = program_folder + "/Log";
  } else if (!IsAbsolutePath(dir)) {
    dir = program_folder + "/" + dir;
  }
  if (!ForceDirectories(dir)) dir = program_folder;
  // The program's file name with its extension (if any) replaced by "Log".
  std::string path = dir + "/" + ChangeFileExt(ExtractFileName(module), ".Log");
  ReplaceAll(&path, "/./", "/");
  ReplaceAll(&path, "//", "/");
  return path;
}

std::string EscapeLogText(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 32 || byte == 127) {
      result.push_back('%');
      result.push_back(kHex[byte >> 4]);
      result.push_back(kHex[byte & 15]);
    } else {
      result.push_back(c);
    }
  }
  return result;
}

namespace {

// The log lines of the request running on this thread, not yet appended.
struct LogBatch {
  bool collecting = false;
  std::string lines;
};
thread_local LogBatch log_batch;

// Appends whole lines to the log.  O_APPEND and a single write: lines of
// concurrent writers never mix.
void AppendToLog(const std::string& lines) {
  if (lines.empty()) return;
  const std::string path = LogFilePath();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  size_t done = 0;
  while (done < lines.size()) {
    const ssize_t n = ::write(fd, lines.data() + done, lines.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

void FlushLogBatch() {
  try {
    AppendToLog(log_batch.lines);
  } catch (...) {
    // Logging never disturbs a request.
  }
  log_batch.lines.clear();
}

}  // namespace

void BeginLogBatch() {
  FlushLogBatch();
  log_batch.collecting = true;
}

void EndLogBatch() {
  FlushLogBatch();
  log_batch.collecting = false;
}

void WriteLog(const std::string& message) {
  try {
    const std::string line = DateTimeToStr(Now()) + ",  " +
                             std::to_string(CurrentRequestState().request_number) + " : " +
                             EscapeLogText(message) + "\r\n";
    if (!log_batch.collecting) {
      AppendToLog(line);
      return;
    }
    log_batch.lines += line;
    if (log_batch.lines.size() >= kLogBatchBytes) FlushLogBatch();
  } catch (...) {
    // Logging never disturbs a request.
  }
}

void ReportFailure(const std::string& message) {
  WriteLog(message);
  try {
    const std::string line =
        EscapeLogText(ExtractFileName(ModuleFileName()) + ": " + message) + "\n";
    // One write, so that the line reaches the server's error log whole.
    ssize_t n;
    do {
      n = ::write(STDERR_FILENO, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
  } catch (...) {
    // Reporting never disturbs a request.
  }
}

}  // namespace vantora
