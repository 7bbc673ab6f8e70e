// Decoding of "multipart/form-data" request bodies into url-encoded request
// data.
//
// The body streams through a fixed window of kRingSize bytes, so memory use
// does not grow with the size of uploads: the window is refilled through
// ReadData, and while a file part streams, everything that can no longer be
// the start of a delimiter is written to the part's temporary file before the
// window is compacted.
//
// Per part, the request data receives, in this order: name_CONTENT_TYPE=type&
// when the part sent a Content-Type line; for a file part (non-empty file
// name) name=client file name& and name_FILENAME=temporary path&, when its
// header ends; for any other part with a name, name=content& when the part
// ends.  The content of a part runs up to the CR LF before its delimiter line.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/HttpEng.h"
#include "engine/HttpEngMultipartFile.h"
#include "platform/Text.h"

namespace vantora {
namespace {

constexpr size_t kRingSize = 131072;
constexpr size_t kMaxBoundary = 254;
constexpr size_t kMaxHeaderLine = 2048;
constexpr char kPartTooLarge[] = "Multipart part too large";

enum class PartKind {
  kNone,   // before the first part, or a part without a field name
  kField,  // a named part whose content becomes the field value
  kFile,   // a named part with a file name, streamed to a temporary file
  kSkip,   // a part dropped for exceeding the decoder's limits
};

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Position of needle in hay, ignoring ASCII case, from start; npos if none.
size_t FindNoCase(const std::string& hay, const std::string& needle, size_t start = 0) {
  if (needle.size() > hay.size()) return std::string::npos;
  for (size_t i = start; i + needle.size() <= hay.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && Lower(hay[i + k]) == Lower(needle[k])) ++k;
    if (k == needle.size()) return i;
  }
  return std::string::npos;
}

bool IsWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// The quoted value of parameter key (given with its '=' and quote, e.g.
// name=") in a header line.  The key must start a word, so name=" is not
// found inside filename=".  False when absent.
bool QuotedParameter(const std::string& line, const std::string& key, std::string* value) {
  size_t at = 0;
  while ((at = FindNoCase(line, key, at)) != std::string::npos) {
    if (at == 0 || !IsWordChar(line[at - 1])) {
      const size_t begin = at + key.size();
      const size_t end = line.find('"', begin);
      *value = Trim(line.substr(begin, (end == std::string::npos ? line.size() : end) - begin));
      return true;
    }
    ++at;
  }
  return false;
}

// A field name goes into the request data as sent, except for the characters
// that would break the data apart or change on decoding; those are escaped,
// so a crafted name can never forge another field.
std::string EscapeFieldName(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string result;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '&' || c == '=' || c == '%' || c == '+' || byte < 32) {
      result.push_back('%');
      result.push_back(kHex[byte >> 4]);
      result.push_back(kHex[byte & 15]);
    } else {
      result.push_back(c);
    }
  }
  return result;
}

class MultipartReader {
 public:
  MultipartReader(THttpEngine* engine, std::vector<std::string>* temp_files)
      : engine_(engine), temp_files_(temp_files), ring_(new char[kRingSize]) {}

  std::string Run();

 private:
  // Reads more input into the window.  When the window is full, first drops
  // everything before keep_from (positions move down accordingly).  False
  // when nothing could be read: the input is used up, or failed (failed_).
  bool Fill(size_t keep_from);
  // Reads the boundary line; false when the body has none.
  bool ReadBoundary();
  // Moves pos_ past the end of the current line.  False at end of input.
  bool SkipLine();
  // Reads the header lines of a part up to the empty line and starts its
  // content.  False at end of input.
  bool ReadHeaders();
  void ParseHeaderLine(const std::string& line);
  void StartContent();
  // Ends the present part at the delimiter found at position delimiter.
  void FinishPart(size_t delimiter);
  void ResetPart();

  THttpEngine* engine_;
  std::vector<std::string>* temp_files_;
  std::unique_ptr<char[]> ring_;
  size_t len_ = 0;            // bytes in the window
  size_t pos_ = 0;            // scan position
  size_t content_start_ = 0;  // first unwritten byte of the present part
  long long remaining_ = 0;   // body bytes not yet read
  bool failed_ = false;
  std::string pattern_;  // the boundary line without its first two characters

  PartKind kind_ = PartKind::kNone;
  std::string name_;
  std::string file_name_;
  std::string type_;
  bool has_type_ = false;
  bool headers_too_large_ = false;
  UploadFile file_;

  std::string data_;
};

bool MultipartReader::Fill(size_t keep_from) {
  if (len_ == kRingSize && keep_from > 0) {
    std::memmove(ring_.get(), ring_.get() + keep_from, len_ - keep_from);
    len_ -= keep_from;
    pos_ = pos_ >= keep_from ? pos_ - keep_from : 0;
    content_start_ = content_start_ >= keep_from ? content_start_ - keep_from : 0;
  }
  if (len_ == kRingSize || remaining_ <= 0) return false;
  const int want =
      static_cast<int>(std::min<long long>(static_cast<long long>(kRingSize - len_), remaining_));
  int got = engine_->ReadData(ring_.get() + len_, want);
  if (got <= 0) {
    // A negative count is a failed input; 0 before the announced length is
    // an input that ended early, and waiting for more would never end.
    failed_ = true;
    return false;
  }
  if (got > want) got = want;
  len_ += static_cast<size_t>(got);
  remaining_ -= got;
  return true;
}

bool MultipartReader::ReadBoundary() {
  for (;;) {
    const size_t limit = std::min(len_, kMaxBoundary);
    size_t end = 0;
    while (end < limit && static_cast<unsigned char>(ring_[end]) >= 32) ++end;
    if (end < limit || len_ >= kMaxBoundary || !Fill(0)) {
      if (failed_) return false;
      if (end < 3) return false;  // nothing left to match after the first two
      pattern_.assign(ring_.get() + 2, end - 2);
      return true;
    }
  }
}

bool MultipartReader::SkipLine() {
  for (;;) {
    const void* lf = std::memchr(ring_.get() + pos_, '\n', len_ - pos_);
    if (lf) {
      pos_ = static_cast<size_t>(static_cast<const char*>(lf) - ring_.get()) + 1;
      return true;
    }
    pos_ = len_;
    if (!Fill(pos_)) return false;
  }
}

bool MultipartReader::ReadHeaders() {
  for (;;) {
    const void* found = std::memchr(ring_.get() + pos_, '\n', len_ - pos_);
    if (!found) {
      if (len_ - pos_ > kMaxHeaderLine) {
        // The line cannot be a header this decoder takes: drop the part and
        // scan its bytes for the next delimiter.
        WriteLog(kPartTooLarge);
        ResetPart();
        kind_ = PartKind::kSkip;
        return true;
      }
      if (!Fill(pos_)) return false;
      continue;
    }
    const size_t lf = static_cast<size_t>(static_cast<const char*>(found) - ring_.get());
    const size_t length = lf - pos_;
    if (length <= 1) {
      // An empty line: LF LF, or LF, one character (CR), LF.
      pos_ = lf + 1;
      StartContent();
      return true;
    }
    if (length > kMaxHeaderLine) headers_too_large_ = true;
    if (!headers_too_large_) ParseHeaderLine(std::string(ring_.get() + pos_, length));
    pos_ = lf + 1;
  }
}

void MultipartReader::ParseHeaderLine(const std::string& line) {
  std::string value;
  if (QuotedParameter(line, "name=\"", &value)) name_ = value;
  if (QuotedParameter(line, "filename=\"", &value)) file_name_ = value;
  const size_t type_at = FindNoCase(line, "Content-Type:");
  if (type_at != std::string::npos) {
    size_t end = type_at + 13;
    while (end < line.size() && line[end] != ';' && static_cast<unsigned char>(line[end]) >= 32) {
      ++end;
    }
    type_ = line.substr(type_at + 13, end - type_at - 13);
    has_type_ = true;
  }
}

void MultipartReader::StartContent() {
  content_start_ = pos_;
  if (headers_too_large_) {
    WriteLog(kPartTooLarge);
    ResetPart();
    kind_ = PartKind::kSkip;
    return;
  }
  if (name_.empty()) {
    kind_ = PartKind::kNone;
    return;
  }
  const std::string name = EscapeFieldName(name_);
  if (has_type_) data_ += name + "_CONTENT_TYPE=" + UrlEncode(type_) + "&";
  if (file_name_.empty()) {
    kind_ = PartKind::kField;
    return;
  }
  kind_ = PartKind::kFile;
  // A file part needs a type only to be told apart from a field.
  if (type_.empty()) type_ = "unknown";
  file_.Create(engine_->TempDir(), file_name_);
  temp_files_->push_back(file_.path());
  data_ += name + "=" + UrlEncode(file_name_) + "&";
  data_ += name + "_FILENAME=" + UrlEncode(file_.path()) + "&";
}

void MultipartReader::FinishPart(size_t delimiter) {
  // The content ends at the CR LF before the delimiter line's "--".
  const size_t end = delimiter >= content_start_ + 4 ? delimiter - 4 : content_start_;
  if (kind_ == PartKind::kFile) {
    file_.Write(ring_.get() + content_start_, end - content_start_);
    file_.Close();
  } else if (kind_ == PartKind::kField) {
    const char* begin = ring_.get() + content_start_;
    const void* zero = std::memchr(begin, '\0', end - content_start_);
    const size_t length =
        zero ? static_cast<size_t>(static_cast<const char*>(zero) - begin) : end - content_start_;
    data_ += EscapeFieldName(name_) + "=" + UrlEncode(std::string(begin, length)) + "&";
  }
  ResetPart();
}

void MultipartReader::ResetPart() {
  kind_ = PartKind::kNone;
  name_.clear();
  file_name_.clear();
  type_.clear();
  has_type_ = false;
  headers_too_large_ = false;
  file_.Close();
}

std::string MultipartReader::Run() {
  remaining_ = engine_->GetContentLength();
  if (remaining_ <= 0) return std::string();
  if (!ReadBoundary()) return std::string();

  for (;;) {
    const void* match =
        pos_ < len_ ? memmem(ring_.get() + pos_, len_ - pos_, pattern_.data(), pattern_.size())
                    : nullptr;
    if (match) {
      const size_t at = static_cast<size_t>(static_cast<const char*>(match) - ring_.get());
      FinishPart(at);
      pos_ = at + pattern_.size();
      // Make sure the two characters after the boundary are in the window:
      // "--" there closes the body.
      while (len_ - pos_ < 2 && Fill(pos_ > 4 ? pos_ - 4 : 0)) {
      }
      if (failed_) break;
      if (len_ - pos_ >= 2 && ring_[pos_] == '-' && ring_[pos_ + 1] == '-') break;
      if (!SkipLine() || !ReadHeaders()) break;
      continue;
    }

    // No delimiter starts before len_ - (pattern length - 1); bytes before
    // that, less the CR LF "--" that precedes a delimiter, are content.
    const size_t tail = std::min(len_, pattern_.size() - 1);
    pos_ = std::max(pos_, len_ - tail);
    size_t keep = pos_;
    if (kind_ == PartKind::kFile) {
      if (len_ == kRingSize) {
        const size_t safe_end = pos_ >= content_start_ + 4 ? pos_ - 4 : content_start_;
        file_.Write(ring_.get() + content_start_, safe_end - content_start_);
        content_start_ = safe_end;
      }
      keep = content_start_;
    } else if (kind_ == PartKind::kField) {
      if (len_ == kRingSize && content_start_ == 0) {
        WriteLog(kPartTooLarge);
        ResetPart();
        kind_ = PartKind::kSkip;
      } else {
        keep = content_start_;
      }
    }
    if (!Fill(keep)) {
      if (!failed_ && kind_ == PartKind::kFile) {
        // The body ended without a closing delimiter: keep what arrived.
        file_.Write(ring_.get() + content_start_, len_ - content_start_);
      }
      break;
    }
  }
  file_.Close();
  if (failed_) return std::string();
  return data_;
}

}  // namespace

std::string THttpEngine::ReadMultipartInput() {
  RequestState& state = CurrentRequestState();
  if (!state.temp_files) state.temp_files = std::make_unique<std::vector<std::string>>();
  MultipartReader reader(this, state.temp_files.get());
  return reader.Run();
}

}  // namespace vantora
