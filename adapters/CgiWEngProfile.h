// The Windows CGI profile: the text file in which a Windows CGI web server
// writes the whole request (bracketed sections of key=value lines) before it
// starts the program with the file's path as its only parameter.  The
// Windows CGI adapter (adapters/CgiWEng.h) reads it with TCGIIniFile.
//
// Reading rules, byte by byte:
//   - A line ends at CR; an LF right after the CR is dropped.  The last line
//     needs no CR.  Bytes of value 32 or less at the start of a line are
//     skipped.  A line keeps its first kMaxLineLength bytes; the rest of a
//     longer line is skipped.  A zero byte ends the line's text.
//   - A line that starts with '[' is a section header: without the '[', with
//     trailing ']' and blanks removed, upper-cased and trimmed.  A new name
//     is appended (sections keep their order of first appearance) and becomes
//     the current section; a name seen before makes that section current
//     again, so the keys that follow join it.  Sections beyond the
//     kMaxSections-th are ignored with their keys.
//   - Any other line is a key line when it holds '=' at byte index 0 to
//     kKeyReach - 1.  The key is the text before the first '=', upper-cased
//     and trimmed; the value is the text after it, trimmed.  Key lines with
//     an empty key, or before any section header, are ignored, and so are
//     lines without '=' within their first kKeyReach bytes.
//   - A key that repeats within a section replaces the earlier value.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vantora {

class TCGIIniFile {
 public:
  static constexpr size_t kMaxLineLength = 4096;
  static constexpr size_t kMaxSections = 51;
  static constexpr size_t kKeyReach = 32;

  // The keys of one section in sorted order (keys are stored upper-cased, so
  // the order and the lookup are case-insensitive), each with its value.
  using TKeyList = std::map<std::string, std::string>;

  // An empty profile: no sections.
  TCGIIniFile() = default;
  // Reads the profile file at path, opened read-only without taking a lock
  // (the web server may still hold it).  Throws std::runtime_error naming
  // the path when the file cannot be opened or read.
  explicit TCGIIniFile(const std::string& path);

  // A profile from text in memory, read by the same rules.
  static TCGIIniFile FromText(std::string_view text);

  // The value stored under section and key (both compared upper-cased and
  // trimmed), or default_value when either is missing.  A stored empty value
  // counts as found.
  std::string ReadProfileValue(std::string_view section, std::string_view key,
                               const std::string& default_value) const;
  // The stored value, or null when the section or the key is missing.  The
  // pointer lives as long as this object.
  const std::string* FindValue(std::string_view section, std::string_view key) const;

  // Section names in order of first appearance, and their key lists
  // (parallel: KeyList(i) belongs to SectionNames()[i]).
  const std::vector<std::string>& SectionNames() const { return section_names_; }
  const TKeyList& KeyList(size_t index) const { return key_lists_[index]; }

 private:
  class Reader;

  // Takes one whole line (leading blanks already skipped, at most
  // kMaxLineLength bytes).
  void AddLine(std::string_view line);

  std::vector<std::string> section_names_;
  std::vector<TKeyList> key_lists_;
  // Index of the section that key lines go to; -1 before the first header
  // and after a header beyond the kMaxSections-th.
  int current_ = -1;
};

}  // namespace vantora
