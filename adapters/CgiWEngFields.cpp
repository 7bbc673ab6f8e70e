// Form fields of a Windows CGI request.  The web server decodes a
// url-encoded POST body itself and writes each field into the profile:
//   [Form Literal]   name=value                   short values
//   [Form External]  name=path length             a value stored in a file of
//                                                 its own (long values, or
//                                                 values with control bytes)
//   [Form File]      name=...                     an uploaded file's entry, its
//                                                 text taken as the value
// A field sent several times appears as NAME, NAME_1, NAME_2, ...  A GET
// request has its fields in the query string, and a multipart body (read
// from the content file) is decoded into url-encoded data like a standard
// CGI body.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "adapters/CgiWEng.h"
#include "engine/HttpEngFields.h"
#include "platform/HandleStream.h"
#include "platform/Text.h"

namespace vantora {
namespace {

constexpr size_t kExternalPiece = 2048;

// The byte count of a Form External entry: the text from the blank after the
// path on (at most 10 characters), blanks around allowed, digits only.
std::optional<size_t> ExternalLength(std::string_view text) {
  const std::string digits = Trim(text.substr(0, 10));
  if (digits.empty()) return std::nullopt;
  size_t length = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    length = length * 10 + static_cast<size_t>(c - '0');
  }
  return length;
}

// Reads up to length bytes of the file at path; the value is the text up to
// the first zero byte.  False with a reason in *error when the file cannot be
// opened or read.
bool ReadExternalFile(const std::string& path, size_t length, std::string* value,
                      std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  THandleStream file(fd, true);
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = "not a regular file";
    return false;
  }
  value->clear();
  char piece[kExternalPiece];
  while (value->size() < length) {
    const size_t want = std::min(kExternalPiece, length - value->size());
    const int got = file.Read(piece, static_cast<int>(want));
    if (got < 0) {
      *error = std::strerror(errno);
      return false;
    }
    if (got == 0) break;
    value->append(piece, static_cast<size_t>(got));
  }
  value->resize(std::strlen(value->c_str()));
  return true;
}

// True when key is base + "_" + decimal digits and base is a field of one of
// the form sections: a repeated value of base, which GetField joins to it.
bool IsRepeatOf(const std::string& key, const std::vector<const TCGIIniFile::TKeyList*>& forms) {
  const size_t underscore = key.rfind('_');
  if (underscore == std::string::npos || underscore + 1 == key.size()) return false;
  for (size_t i = underscore + 1; i < key.size(); ++i) {
    if (key[i] < '0' || key[i] > '9') return false;
  }
  const std::string base = key.substr(0, underscore);
  for (const TCGIIniFile::TKeyList* keys : forms) {
    if (keys->count(base) != 0) return true;
  }
  return false;
}

}  // namespace

std::string TCGIWinEngine::ReadFormValue(const std::string& name) {
  if (GetRequestMethod() == "GET") return FindField(GetQueryString(), name, kNotAvailable);
  CgiWinThreadState& state = CgiWinState();
  const TCGIIniFile* profile = state.profile.get();
  if (profile == nullptr) return kNotAvailable;
  if (const std::string* value = profile->FindValue("Form Literal", name)) return *value;
  if (const std::string* value = profile->FindValue("Form File", name)) return *value;
  const std::string* entry = profile->FindValue("Form External", name);
  if (entry == nullptr) return kNotAvailable;

  const size_t blank = entry->find(' ');
  const std::optional<size_t> length = blank == std::string::npos
                                           ? std::nullopt
                                           : ExternalLength(std::string_view(*entry).substr(blank));
  std::string value;
  std::string error = "no path and byte count";
  if (length) {
    const std::string path = AddSystemDrive(entry->substr(0, blank));
    if (ReadExternalFile(path, *length, &value, &error)) return value;
    error = "cannot read " + path + ": " + error;
  }
  ReportFailure("Profile " + state.profile_path + ": form field " + UpperCase(Trim(name)) +
                " in [Form External] (" + *entry + "): " + error);
  return kNotAvailable;
}

std::string TCGIWinEngine::GetField(const std::string& name, const std::string& default_value) {
  const CgiWinThreadState& state = CgiWinState();
  if (!state.multipart_data.empty()) return FindField(state.multipart_data, name, default_value);
  if (GetRequestMethod() == "GET") return FindField(GetQueryString(), name, default_value);
  std::string value = ReadFormValue(name);
  if (value == kNotAvailable) return default_value;
  for (int i = 1;; ++i) {
    const std::string next = ReadFormValue(name + "_" + std::to_string(i));
    if (next == kNotAvailable) break;
    value += "\r\n" + next;
  }
  return value;
}

std::vector<std::string> TCGIWinEngine::GetFieldNames() {
  const CgiWinThreadState& state = CgiWinState();
  if (!state.multipart_data.empty()) return ListFieldNames(state.multipart_data);
  if (GetRequestMethod() != "POST") return ListFieldNames(GetQueryString());
  std::vector<std::string> names;
  const TCGIIniFile* profile = state.profile.get();
  if (profile == nullptr) return names;
  // The form sections in order; a value repeated as NAME_1, NAME_2, ... is
  // listed once, as NAME, wherever its parts are.
  std::vector<const TCGIIniFile::TKeyList*> forms;
  for (size_t i = 0; i < profile->SectionNames().size(); ++i) {
    if (profile->SectionNames()[i].rfind("FORM", 0) == 0) forms.push_back(&profile->KeyList(i));
  }
  for (const TCGIIniFile::TKeyList* keys : forms) {
    for (const auto& [key, value] : *keys) {
      if (!IsRepeatOf(key, forms)) names.push_back(key);
    }
  }
  return names;
}

}  // namespace vantora
