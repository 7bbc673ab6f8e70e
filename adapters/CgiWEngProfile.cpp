#include "adapters/CgiWEngProfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/Text.h"

namespace vantora {

// Splits a byte stream into profile lines, block by block, keeping the
// per-byte rules exact across block edges.
class TCGIIniFile::Reader {
 public:
  explicit Reader(TCGIIniFile* profile) : profile_(profile) { line_.reserve(kMaxLineLength); }

  void Feed(const char* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      const char c = bytes[i];
      if (after_cr_) {
        after_cr_ = false;
        if (c == '\n') continue;
      }
      if (c == '\r') {
        EndLine();
        after_cr_ = true;
        continue;
      }
      if (line_.empty() && !overlong_ && static_cast<unsigned char>(c) <= ' ') continue;
      if (line_.size() < kMaxLineLength) {
        line_.push_back(c);
      } else {
        overlong_ = true;  // the rest of this line is skipped
      }
    }
  }

  // The last line needs no CR.
  void Finish() { EndLine(); }

 private:
  void EndLine() {
    if (!line_.empty()) {
      // The line's text ends at a zero byte.
      const size_t zero = line_.find('\0');
      profile_->AddLine(std::string_view(line_).substr(0, zero));
    }
    line_.clear();
    overlong_ = false;
  }

  TCGIIniFile* profile_;
  std::string line_;
  bool after_cr_ = false;
  bool overlong_ = false;
};

TCGIIniFile::TCGIIniFile(const std::string& path) {
  // Not waiting on the open: a profile path naming a pipe or a device must
  // fail rather than hang the request.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    throw std::runtime_error("Cannot open profile " + path + ": " + std::strerror(errno));
  }
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    throw std::runtime_error("Cannot open profile " + path + ": not a regular file");
  }
  Reader reader(this);
  char block[16384];
  for (;;) {
    const ssize_t n = ::read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw std::runtime_error("Cannot read profile " + path + ": " + std::strerror(error));
    }
    if (n == 0) break;
    reader.Feed(block, static_cast<size_t>(n));
  }
  ::close(fd);
  reader.Finish();
}

TCGIIniFile TCGIIniFile::FromText(std::string_view text) {
  TCGIIniFile profile;
  Reader reader(&profile);
  reader.Feed(text.data(), text.size());
  reader.Finish();
  return profile;
}

void TCGIIniFile::AddLine(std::string_view line) {
  if (line.empty()) return;
  if (line[0] == '[') {
    std::string_view name = line.substr(1);
    while (!name.empty() &&
           (name.back() == ']' || static_cast<unsigned char>(name.back()) <= ' ')) {
      name.remove_suffix(1);
    }
    const std::string section = UpperCase(Trim(name));
    for (size_t i = 0; i < section_names_.size(); ++i) {
      if (section_names_[i] == section) {
        current_ = static_cast<int>(i);
        return;
      }
    }
    if (section_names_.size() >= kMaxSections) {
      current_ = -1;
      return;
    }
    section_names_.push_back(section);
    key_lists_.emplace_back();
    current_ = static_cast<int>(section_names_.size()) - 1;
    return;
  }
  const size_t equals = line.substr(0, kKeyReach).find('=');
  if (equals == std::string_view::npos || current_ < 0) return;
  std::string key = UpperCase(Trim(line.substr(0, equals)));
  if (key.empty()) return;
  key_lists_[static_cast<size_t>(current_)][std::move(key)] = Trim(line.substr(equals + 1));
}

const std::string* TCGIIniFile::FindValue(std::string_view section, std::string_view key) const {
  const std::string wanted_section = UpperCase(Trim(section));
  for (size_t i = 0; i < section_names_.size(); ++i) {
    if (section_names_[i] != wanted_section) continue;
    const auto found = key_lists_[i].find(UpperCase(Trim(key)));
    return found == key_lists_[i].end() ? nullptr : &found->second;
  }
  return nullptr;
}

std::string TCGIIniFile::ReadProfileValue(std::string_view section, std::string_view key,
                                          const std::string& default_value) const {
  const std::string* value = FindValue(section, key);
  return value ? *value : default_value;
}

}  // namespace vantora
