// The standard CGI variant of the CGI server mode: the request file the
// client writes, the answer file the server writes, and both hand-overs.
//
// Request file (base + "_C_" + id + "_REQ", id four upper-case hex digits):
//   the client's environment, every "name=value" followed by CR LF;
//   "KOBALT_CGI_DEBUG=true" CR LF CR LF;
//   exactly CONTENT_LENGTH bytes of the client's standard input (none when
//   CONTENT_LENGTH is not a number).
// Answer file (the same name with "OUT" for "REQ"): everything the server's
// engine writes for the request, as it would go to standard output.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "adapters/CgiRelay.h"
#include "adapters/CgiSEng.h"
#include "engine/HttpEngRandom.h"
#include "engine/HttpEngRoutines.h"
#include "platform/Paths.h"
#include "platform/Text.h"

extern char** environ;

namespace vantora {
namespace {

constexpr char kMarkerLine[] = "KOBALT_CGI_DEBUG=true";
constexpr size_t kAnswerHead = 1024;
constexpr size_t kCopyBlock = 65536;

// CONTENT_LENGTH as a byte count; nothing is copied when it is no number.
long long BodyLength() {
  const std::string text = GetEnv("CONTENT_LENGTH");
  if (text.empty()) return 0;
  char* stop = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &stop, 10);
  if (stop == text.c_str() || *stop != '\0' || errno == ERANGE || value < 0) return 0;
  return value;
}

bool WriteAll(int handle, const char* bytes, size_t count) {
  while (count > 0) {
    const ssize_t n = write(handle, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

// Whether a header (its lines separated by CR LF) has a Content-Length line,
// in any letter case.
bool HasContentLength(std::string_view header) {
  constexpr std::string_view kName = "CONTENT-LENGTH:";
  size_t start = 0;
  while (start <= header.size()) {
    size_t end = header.find("\r\n", start);
    if (end == std::string_view::npos) end = header.size();
    if (end - start >= kName.size() &&
        UpperCase(std::string(header.substr(start, kName.size()))) == kName) {
      return true;
    }
    start = end + 2;
  }
  return false;
}

// The rest of the answer, left bytes from handle's position, to output:
// handed over by the kernel (no buffer of the client's), or read and
// written in blocks where it cannot be.
void CopyRest(int handle, int output, long long left) {
  while (left > 0) {
    const ssize_t sent = sendfile(output, handle, nullptr,
                                  static_cast<size_t>(std::min<long long>(left, kCopyBlock)));
    if (sent > 0) {
      left -= sent;
      continue;
    }
    if (sent == 0) return;
    if (errno == EINTR) continue;
    if (errno != EINVAL && errno != ENOSYS) return;  // the output failed
    break;
  }
  if (left <= 0) return;
  const std::unique_ptr<char[]> block = std::make_unique_for_overwrite<char[]>(kCopyBlock);
  for (;;) {
    const ssize_t got = read(handle, block.get(), kCopyBlock);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || !WriteAll(output, block.get(), static_cast<size_t>(got))) return;
  }
}

std::string AnswerPath(const std::string& base, const std::string& id) {
  return base + "_C_" + id + "_OUT";
}

// Binds the calling thread's input to the body of a request file this
// client wrote but could not register, and deletes the file: the request
// is served here as if it had never left.
void ServeFromOwnRequestFile(const std::string& path) {
  const int handle = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  unlink(path.c_str());
  if (handle < 0) return;
  std::string head;
  char buffer[4096];
  off_t body = -1;
  const std::string end = std::string(kMarkerLine) + "\r\n\r\n";
  while (body < 0) {
    const ssize_t n = read(handle, buffer, sizeof buffer);
    if (n <= 0) break;
    head.append(buffer, static_cast<size_t>(n));
    const size_t at = head.find(end);
    if (at != std::string::npos) body = static_cast<off_t>(at + end.size());
  }
  if (body < 0 || lseek(handle, body, SEEK_SET) != body) {
    close(handle);
    return;
  }
  CgiStdState().input = std::make_unique<THandleStream>(handle, true);
}

}  // namespace

bool IsStdRequestName(const std::string& name) {
  const size_t at = name.find("_REQ");
  return at != std::string::npos && at + 4 == name.size();
}

std::string WriteRequestFile(const std::string& base) {
  CgiStdThreadState& state = CgiStdState();
  state.request_file_name.clear();
  state.request_id.clear();
  // A fresh id for every clash: two clients never share a request.
  int handle = -1;
  std::string id;
  std::string path;
  for (int attempt = 0; attempt < 1000 && handle < 0; ++attempt) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", RandomBelow(65535));
    id = text;
    path = base + "_C_" + id + "_REQ";
    handle = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (handle < 0 && errno != EEXIST) break;
  }
  if (handle < 0) {
    WriteLog(std::string("Can not create file ") + path + ": " + std::strerror(errno));
    return std::string();
  }
  size_t head_size = sizeof kMarkerLine - 1 + 4;
  for (char** entry = environ; *entry != nullptr; ++entry) head_size += std::strlen(*entry) + 2;
  std::string head;
  head.reserve(head_size);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    head += *entry;
    head += "\r\n";
  }
  head += kMarkerLine;
  head += "\r\n\r\n";
  bool ok = WriteAll(handle, head.data(), head.size());
  // The body in blocks, as many bytes as CONTENT_LENGTH announces and the
  // input holds.  The block is as large as the body needs and never
  // cleared: every page a client touches costs it time.
  long long left = BodyLength();
  if (left > 0 && state.input) {
    const auto size = static_cast<size_t>(std::min<long long>(left, kCopyBlock));
    const std::unique_ptr<char[]> block = std::make_unique_for_overwrite<char[]>(size);
    while (ok && left > 0) {
      const int want = static_cast<int>(std::min<long long>(left, static_cast<long long>(size)));
      const int got = state.input->Read(block.get(), want);
      if (got <= 0) break;
      ok = WriteAll(handle, block.get(), static_cast<size_t>(got));
      left -= got;
    }
  }
  if (close(handle) != 0) ok = false;
  if (!ok) {
    WriteLog(std::string("Can not write file ") + path + ": " + std::strerror(errno));
    unlink(path.c_str());
    return std::string();
  }
  state.request_file_name = path;
  state.request_id = id;
  return path;
}

void OpenRequestFile(const std::string& name) {
  CgiStdThreadState& state = CgiStdState();
  try {
    if (name.size() < 3) return;
    const std::string stem = name.substr(0, name.size() - 3);
    const int input = open((stem + "REQ").c_str(), O_RDONLY | O_CLOEXEC);
    if (input < 0) return;
    state.input = std::make_unique<THandleStream>(input, true);
    state.record_removed = false;
    const int output = open((stem + "OUT").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (output >= 0) {
      state.output = std::make_unique<THandleStream>(output, true);
      state.answer.clear();
      state.collect_answer = true;
    }
    // The variable lines: a run of CR/LF bytes ends the line at its second
    // byte, and a run of four ends the variables.  The input then stands at
    // the first body byte.
    auto variables = std::make_unique<std::vector<std::string>>();
    std::string line;
    int run = 0;
    off_t offset = 0;
    bool done = false;
    char buffer[8192];
    while (!done) {
      const ssize_t n = read(input, buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t i = 0; i < n && !done;) {
        const char c = buffer[i];
        if (c == '\r' || c == '\n') {
          ++i;
          ++offset;
          ++run;
          if (run == 2) {
            variables->push_back(std::move(line));
            line.clear();
          } else if (run == 4) {
            done = true;
          }
          continue;
        }
        // The other bytes up to the next CR or LF join the line at once.
        ssize_t end = i + 1;
        while (end < n && buffer[end] != '\r' && buffer[end] != '\n') ++end;
        line.append(buffer + i, static_cast<size_t>(end - i));
        offset += end - i;
        i = end;
        run = 0;
      }
    }
    state.variables = std::move(variables);
    lseek(input, offset, SEEK_SET);
  } catch (...) {
    // A request that cannot be opened is served with what there is.
  }
}

void ReleaseOutput(CgiStdThreadState& state) {
  FlushGatheredOutput(state);
  if (state.collect_answer) {
    state.collect_answer = false;
    if (state.output)
      state.output->Write(state.answer.data(), static_cast<int>(state.answer.size()));
    // The room stays for the thread's next answer.
    state.answer.clear();
  }
  state.output.reset();
}

void FinishRequestEntry(const std::string& name) {
  CgiStdThreadState& state = CgiStdState();
  state.variables.reset();
  // A record removed when its answer ended is not looked for again: its
  // request file, still there, keeps any other request from its name.
  if (!state.record_removed) FinishListRecords(ListFilePath(ServerBasePath(false)), name);
  state.record_removed = false;
  unlink(name.c_str());
}

bool CopyAnswer(const std::string& answer_path, THandleStream& output) {
  const int handle = open(answer_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (handle < 0) return false;
  struct stat st;
  if (fstat(handle, &st) != 0) {
    close(handle);
    return false;
  }
  // The first bytes, read until kAnswerHead of them are there or the file
  // (whose size is known) has given them all.
  const auto size = static_cast<long long>(st.st_size);
  char bytes[kAnswerHead];
  size_t n = 0;
  while (n < kAnswerHead && static_cast<long long>(n) < size) {
    const ssize_t got = read(handle, bytes + n, kAnswerHead - n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    n += static_cast<size_t>(got);
  }
  // The header's end is looked for in the first bytes as text, up to a
  // zero byte.  The head leaves in one write, its length line inserted.
  const std::string_view head(bytes, strnlen(bytes, n));
  const size_t h = head.find("\r\n\r\n");
  if (h != std::string_view::npos && !HasContentLength(head.substr(0, h))) {
    std::string out;
    out.reserve(n + 40);
    out.append(bytes, h);
    out += "\r\nContent-Length: ";
    out += std::to_string(size - static_cast<long long>(h) - 4);
    out.append(bytes + h, n - h);
    output.Write(out.data(), static_cast<int>(out.size()));
  } else if (n > 0) {
    output.Write(bytes, static_cast<int>(n));
  }
  if (n == kAnswerHead) CopyRest(handle, output.Handle(), size - static_cast<long long>(n));
  close(handle);
  return true;
}

bool RelayToRunningServer(const std::string& base) {
  CgiStdThreadState& state = CgiStdState();
  TServerData& data = CgiStdServerData();
  state.request_file_name.clear();
  // The request name must fit a list record.
  const std::string sample_name = base + "_C_0000_REQ";
  if (sample_name.size() > kListNameLimit) return false;
  const bool registered = RegisterRequest(data, base, [&base] { return WriteRequestFile(base); });
  if (!registered) {
    if (state.request_file_name.empty()) return false;
    // Written but not registered (the list could not take the record): the
    // body has left standard input for the file, so it is read back there.
    ServeFromOwnRequestFile(state.request_file_name);
    state.request_file_name.clear();
    return true;
  }
  const std::string id = state.request_id;
  TWaitHooks hooks;
  hooks.on_finished = [&base, &id, &state] {
    const std::string answer = AnswerPath(base, id);
    FlushGatheredOutput(state);
    if (state.output) CopyAnswer(answer, *state.output);
    unlink(answer.c_str());
  };
  hooks.on_aborted = [] { WriteLog("CGI server aborted"); };
  const std::string request = base + "_C_" + id + "_REQ";
  hooks.on_dead = [&request] { unlink(request.c_str()); };
  // A request that gets no answer leaves no file behind: it holds the
  // visitor's cookies, and no server will serve it any more.
  if (WaitForAnswer(data, base, hooks) != TWaitResult::kAnswered) unlink(request.c_str());
  TerminateProgram();
  return true;  // reached only where TerminateProgram returns (a library)
}

bool EndRelayedAnswer() {
  CgiStdThreadState& state = CgiStdState();
  if (!IsCgiServerProcess() || state.request_file_name.empty() || !state.output) return false;
  ReleaseOutput(state);
  FinishListRecords(ListFilePath(ServerBasePath(false)), state.request_file_name);
  state.record_removed = true;
  return true;
}

void TCGIStdEngine::RunServerRequest(const std::string& name) {
  CgiStdThreadState& state = CgiStdState();
  state.request_file_name = name;
  OpenRequestFile(name);
  RunRequest();
  // The answer is complete once the request ends: its file is closed before
  // the record goes, whatever AutoTerminate says.
  ReleaseOutput(state);
  state.input.reset();
  FinishRequestEntry(name);
  state.request_file_name.clear();
}

void TCGIStdEngine::RelayRequest() {
  try {
    const std::string base = ServerBasePath(true);
    const std::string list = ListFilePath(base);
    if (access(list.c_str(), F_OK) != 0) {
      const int handle = open(list.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
      if (handle >= 0) close(handle);
    }
    StartServerProcess({kStartServerParam});
    for (int attempt = 0; attempt < 6; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      // A registered request ends the process inside.
      if (RelayToRunningServer(base)) return;
    }
  } catch (...) {
    TerminateProgram();
  }
}

}  // namespace vantora
