// Template filters: copy HTML text into the response of the present request
// and replace the tags in it.
//
// A tag is a name between two equal delimiter characters, '%' or '#'
// (%HITS_TODAY%, #DATE#).  Its value comes from the OnHttpEntry handler,
// else from a request variable or form field of the same name (HTML-escaped,
// since both come from the visitor), else from the built-in names
// "RANDOM_HIDDEN_INPUT", "TIME" and "DATE".  The keywords IF, ELSEIF, ELSE
// and ENDIF open and close conditional blocks whose conditions the
// OnHttpLogicalEntry handler decides; without that handler every condition
// is false.  Every accepted tag text is written to the request log.
//
// Output and lookups go through the engine bound to the calling thread
// (Send, GetVar, GetFormField), so the filters run inside a request.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Component.h"

namespace vantora {

// Asked for the value of a plain tag.  Handled arrives true; the handler
// writes the value itself and leaves it true, or sets it false to decline.
using THttpEntryEvent = std::function<void(const std::string& entry_name, bool& handled)>;
// Asked for the truth of a condition; value arrives false and the handler
// sets it.
using THttpLogicalEntryEvent = std::function<void(const std::string& entry_name, bool& value)>;

// The state of the conditional blocks, one per thread: it lives across
// filter calls, so a block opened in one line or file piece continues in the
// next.  Level 0 is outside any block; its Active flag is the filters' output
// switch.
//
// Invariant: only levels 0 .. kLevels-1 have flags.  Deeper levels exist
// only as a count: they are never active and never pending, so a block
// opened at the deepest level writes none of its branches, and its ENDIF
// still closes it.
struct ConditionStack {
  static constexpr int kLevels = 32;

  int32_t level = 0;
  bool active[kLevels] = {};
  bool pending[kLevels] = {};

  ConditionStack() { Reset(); }

  // Back to level 0 with level 0 active and pending.
  void Reset();
  bool Active(int32_t at) const { return at >= 0 && at < kLevels && active[at]; }
  bool Pending(int32_t at) const { return at >= 0 && at < kLevels && pending[at]; }
  // Setting the flags of a level beyond the stack does nothing.
  void SetActive(int32_t at, bool value) {
    if (at >= 0 && at < kLevels) active[at] = value;
  }
  void SetPending(int32_t at, bool value) {
    if (at >= 0 && at < kLevels) pending[at] = value;
  }
};

// The condition state of the calling thread.  A new thread starts like a
// reset stack, so a filter writes its text even when no memo filter ran
// before it.
ConditionStack& CurrentConditionStack();

// Escapes '&', '<', '>', '"' and '\'' as HTML character references.
std::string HtmlEscape(std::string_view text);
// The same, appended to *out (which must not be text's own storage).
void AppendHtmlEscaped(std::string* out, std::string_view text);
// The most bytes HtmlEscape makes of one byte ("&quot;").
inline constexpr size_t kHtmlEscapeGrowth = 6;
// The same, written at `out`, which must have room for kHtmlEscapeGrowth *
// text.size() bytes (and not overlap text); returns the end of what it wrote.
char* HtmlEscapeTo(char* out, std::string_view text);

class THttpTextFilterComponent : public TComponent {
 public:
  // Search windows: a delimiter is looked for in at most kSearchWindow
  // characters at a time, and a tag's closing delimiter within
  // kTagWindow characters after its opening one.
  static constexpr size_t kSearchWindow = 65000;
  static constexpr size_t kTagWindow = 32000;

  explicit THttpTextFilterComponent(TComponent* owner, std::string name = std::string());

  THttpEntryEvent OnHttpEntry;
  THttpLogicalEntryEvent OnHttpLogicalEntry;

  // Filters one piece of text into the response.  A tag never spans two
  // pieces; conditional blocks do.  Errors of the handlers pass through.
  void FilterText(std::string_view text);

  // The smallest 1-based position of a delimiter character in text, 0 when
  // there is none.  Sets the delimiter of the most recent tag opening to the
  // character found there.
  int FindDelimiter(std::string_view text);

  // Whether the text between two delimiters forms a tag: every character is
  // one of $ ' * + - or has a code of 47 ('/') or more, except that a blank
  // may follow the keyword IF or ELSEIF (upper case).
  static bool IsTagText(std::string_view text);

  // The delimiter character of the most recent tag opening found, the zero
  // character before any was found.
  // Kept per thread: threads that serve requests at once filter with the
  // same component.
  char Delimiter() const;

 private:
  void HandleTag(std::string_view tag_text);
  void HandleIf(ConditionStack& stack, const std::string& condition);
  void HandleElseIf(ConditionStack& stack, const std::string& condition);
  void HandleElse(ConditionStack& stack);
  void HandleEndIf(ConditionStack& stack);
  void HandlePlainTag(const std::string& name);

  // Tells this component's delimiter apart in the per-thread record.
  const uint64_t number_;
};

// A template held in the component as a list of lines.
class THttpMemoFilter : public THttpTextFilterComponent {
 public:
  explicit THttpMemoFilter(TComponent* owner, std::string name = std::string());

  const std::vector<std::string>& Text() const { return text_; }
  void SetText(std::vector<std::string> lines) { text_ = std::move(lines); }

  // Resets the calling thread's condition state, then filters every line,
  // each followed by CR LF.  Tags cannot span lines; blocks can.
  void Execute();

 private:
  std::vector<std::string> text_;
};

// A template read from a file.
class THttpFileFilter : public THttpTextFilterComponent {
 public:
  // Bytes read at a time; a piece of text is one or more such blocks.
  static constexpr int kBlockSize = 255;
  // A full block is joined to the next one while the delimiter occurs at or
  // after this offset, where a tag may run into the next block.
  static constexpr int kJoinOffset = 190;

  explicit THttpFileFilter(TComponent* owner, std::string name = std::string());

  const std::string& FileName() const { return file_name_; }
  void SetFileName(std::string file_name) { file_name_ = std::move(file_name); }

  // Raised once the file is open, before any of its text is filtered: a
  // page composes its header here, so that a file that cannot be opened
  // leaves the response empty.
  std::function<void()> OnFileOpened;

  // Filters the file named by FileName into the response.  An empty
  // FileName becomes the program file's name with the extension ".htm"; a
  // relative one is taken in the program's folder.  Throws
  // std::runtime_error when the file cannot be found or opened.  Does not
  // reset the condition state (run a memo filter first for that).  Only a
  // regular file is read, and only as far as its size when it was opened.
  void Execute();
  // The same for the given file name, leaving FileName as it is: threads
  // that serve requests at once filter their own files with one component.
  void Execute(const std::string& file_name);

 private:
  std::string file_name_;
};

}  // namespace vantora
