// The text filter's scanner, the tag rules and the memo filter.

#include "engine/HUtilsFilter.h"

#include <atomic>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/HttpEng.h"
#include "platform/DateTime.h"

namespace vantora {
namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

// Removes characters up to the blank (control characters included) from
// both ends.
std::string_view TrimBlanks(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

// Characters a tag may hold anywhere: $ ' * + - and every code from 47 ('/')
// up, the 8-bit codes included.
bool IsTagChar(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u >= 47 || u == '$' || u == '\'' || u == '*' || u == '+' || u == '-';
}

void SendSlice(std::string_view slice) {
  if (!slice.empty()) Send(std::string(slice));
}

// Whole seconds since local midnight, 0 .. 86399.
int SecondsSinceMidnight() {
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  DecodeTime(Now(), &hour, &minute, &second, &millisecond);
  return hour * 3600 + minute * 60 + second;
}

}  // namespace

void ConditionStack::Reset() {
  level = 0;
  for (int i = 0; i < kLevels; ++i) {
    active[i] = false;
    pending[i] = false;
  }
  active[0] = true;
  pending[0] = true;
}

ConditionStack& CurrentConditionStack() {
  thread_local ConditionStack stack;
  return stack;
}

namespace {

// The characters that open and close a tag.  Fixed: a component shared by
// the threads that serve requests at once holds nothing a request writes.
constexpr std::string_view kTagDelimiters = "%#";

// The delimiter of the most recent tag opening found on this thread, and the
// filter component that found it.  Components are told apart by a number
// of their own rather than their address, which a later one may reuse.
struct LastDelimiter {
  uint64_t filter = 0;
  char delimiter = '\0';
};
thread_local LastDelimiter last_delimiter;

// The place of the first tag delimiter in text, or npos: sixteen bytes at a
// time where the processor allows (a byte-wise search of the set costs a
// call for every byte of the page).
size_t FirstDelimiter(std::string_view text) {
  static_assert(kTagDelimiters.size() == 2);
  const char* const data = text.data();
  const size_t size = text.size();
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i first = _mm_set1_epi8(kTagDelimiters[0]);
  const __m128i second = _mm_set1_epi8(kTagDelimiters[1]);
  for (; i + 16 <= size; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    const int mask = _mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, first), _mm_cmpeq_epi8(bytes, second)));
    if (mask != 0) return i + static_cast<size_t>(std::countr_zero(static_cast<unsigned>(mask)));
  }
#endif
  for (; i < size; ++i) {
    if (data[i] == kTagDelimiters[0] || data[i] == kTagDelimiters[1]) return i;
  }
  return std::string_view::npos;
}
std::atomic<uint64_t> filter_numbers{0};

}  // namespace

char THttpTextFilterComponent::Delimiter() const {
  return last_delimiter.filter == number_ ? last_delimiter.delimiter : '\0';
}

namespace {

// The character reference of each byte that HTML text must not hold as it
// is; empty for the bytes that are copied.
constexpr std::string_view HtmlReference(unsigned char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&#39;";
    default:
      return std::string_view();
  }
}

// Writes the character reference of a byte to escape at `out`; returns its
// end.
char* PutHtmlReference(char* out, char c) {
  const std::string_view reference = HtmlReference(static_cast<unsigned char>(c));
  std::memcpy(out, reference.data(), reference.size());
  return out + reference.size();
}

struct HtmlSpecialBytes {
  bool special[256] = {};
  constexpr HtmlSpecialBytes() {
    for (int c = 0; c < 256; ++c)
      special[c] = !HtmlReference(static_cast<unsigned char>(c)).empty();
  }
};
constexpr HtmlSpecialBytes kHtmlSpecial;

bool IsHtmlSpecial(char c) { return kHtmlSpecial.special[static_cast<unsigned char>(c)]; }

// Whether eight bytes may hold one that HTML text must not hold as it is:
// with 0x05 set in them the bytes '"', '#', '&' and '\'' become 0x27, with
// 0x02 set '<' and '>' become 0x3E, so that the word has one of them exactly
// when the exclusive or with that value leaves a zero byte.  ('#' needs no
// escaping: a word that holds one is looked at byte by byte.)
bool MayHoldHtmlSpecial(const char* eight_bytes) {
  constexpr uint64_t kOnes = 0x0101010101010101;
  constexpr uint64_t kHighs = 0x8080808080808080;
  uint64_t word;
  std::memcpy(&word, eight_bytes, sizeof word);
  const uint64_t quotes = (word | kOnes * 0x05) ^ (kOnes * 0x27);
  const uint64_t angles = (word | kOnes * 0x02) ^ (kOnes * 0x3E);
  return ((((quotes - kOnes) & ~quotes) | ((angles - kOnes) & ~angles)) & kHighs) != 0;
}

#if defined(__SSE2__)
// The bytes to escape among sixteen, as the bits of their positions.
unsigned HtmlSpecialBits(__m128i bytes) {
  __m128i hits = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('&'));
  hits = _mm_or_si128(hits, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('<')));
  hits = _mm_or_si128(hits, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('>')));
  hits = _mm_or_si128(hits, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')));
  hits = _mm_or_si128(hits, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\'')));
  return static_cast<unsigned>(_mm_movemask_epi8(hits));
}

__m128i Load16(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

unsigned HtmlSpecialBits(const char* sixteen_bytes) {
  return HtmlSpecialBits(Load16(sixteen_bytes));
}
#endif

// The first byte from p on (before end) that HTML text must not hold as it
// is, or end; sixteen bytes tested at a time where the processor can, eight
// otherwise.
const char* FindHtmlSpecial(const char* p, const char* end) {
#if defined(__SSE2__)
  if (end - p >= 16) {
    while (end - p >= 16) {
      const unsigned bits = HtmlSpecialBits(p);
      if (bits != 0) return p + std::countr_zero(bits);
      p += 16;
    }
    if (p == end) return end;
    // The last bytes, read as the end of sixteen that reach back over bytes
    // found plain (their bits shifted out).
    const unsigned bits = HtmlSpecialBits(end - 16) >> (16 - (end - p));
    return bits != 0 ? p + std::countr_zero(bits) : end;
  }
#endif
  if (end - p >= 8) {
    while (end - p >= 8) {
      if (MayHoldHtmlSpecial(p)) {
        for (int k = 0; k < 8; ++k) {
          if (IsHtmlSpecial(p[k])) return p + k;
        }
      }
      p += 8;
    }
    // The last bytes as the end of a word that overlaps bytes found plain.
    if (p == end || !MayHoldHtmlSpecial(end - 8)) return end;
  }
  while (p < end && !IsHtmlSpecial(*p)) ++p;
  return p;
}

}  // namespace

void AppendHtmlEscaped(std::string* out, std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    // Runs of plain bytes are copied at once: most visitor texts have no
    // special byte at all.
    const char* run = FindHtmlSpecial(p, end);
    if (run != p) out->append(p, static_cast<size_t>(run - p));
    if (run == end) break;
    out->append(HtmlReference(static_cast<unsigned char>(*run)));
    p = run + 1;
  }
}

char* HtmlEscapeTo(char* out, std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
#if defined(__SSE2__)
  if (end - p >= 16) {
    // Sixteen bytes are copied whole and then looked at, the output moving
    // on only over the plain ones: the room of six bytes per byte still to
    // come holds them.
    while (end - p >= 16) {
      const __m128i bytes = Load16(p);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
      const unsigned bits = HtmlSpecialBits(bytes);
      if (bits == 0) {
        out += 16;
        p += 16;
        continue;
      }
      const int plain = std::countr_zero(bits);
      out = PutHtmlReference(out + plain, p[plain]);
      p += plain + 1;
    }
    // The last bytes, read as the end of sixteen that reach back over bytes
    // already done (their bits shifted out); when they are plain, one copy
    // ends the text.
    if (p == end) return out;
    if ((HtmlSpecialBits(end - 16) >> (16 - (end - p))) == 0) {
      std::memcpy(out, p, static_cast<size_t>(end - p));
      return out + (end - p);
    }
  }
#endif
  for (;;) {
    const char* run = FindHtmlSpecial(p, end);
    // An empty text may have no bytes at all to copy from (a null data()).
    if (run != p) std::memcpy(out, p, static_cast<size_t>(run - p));
    out += run - p;
    if (run == end) return out;
    out = PutHtmlReference(out, *run);
    p = run + 1;
  }
}

std::string HtmlEscape(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  AppendHtmlEscaped(&escaped, text);
  return escaped;
}

THttpTextFilterComponent::THttpTextFilterComponent(TComponent* owner, std::string name)
    : TComponent(owner, std::move(name)), number_(++filter_numbers) {}

int THttpTextFilterComponent::FindDelimiter(std::string_view text) {
  const size_t at = FirstDelimiter(text);
  if (at == std::string_view::npos) return 0;
  last_delimiter = LastDelimiter{number_, text[at]};
  return static_cast<int>(at) + 1;
}

bool THttpTextFilterComponent::IsTagText(std::string_view text) {
  // A blank may only separate the keyword IF or ELSEIF from its condition
  // (one or more blanks, none inside the condition): the text before it,
  // without the blanks that end it, must be the keyword.  Any other blank
  // (control characters included) fails, so that text has no other blanks.
  size_t word_end = 0;  // just past the last character that is not a blank
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ') {
      const std::string_view head = text.substr(0, word_end);
      if (head != "IF" && head != "ELSEIF") return false;
    } else if (IsTagChar(c)) {
      word_end = i + 1;
    } else {
      return false;
    }
  }
  return true;
}

void THttpTextFilterComponent::FilterText(std::string_view text) {
  ConditionStack& stack = CurrentConditionStack();
  const size_t size = text.size();
  size_t p = 0;
  while (p < size) {
    const std::string_view window = text.substr(p, kSearchWindow);
    const int found = FindDelimiter(window);
    if (found == 0) {
      if (p + window.size() >= size) break;
      // No delimiter in this window: write it and search the next one.
      if (stack.Active(stack.level)) SendSlice(window);
      p += window.size();
      continue;
    }
    const size_t d = p + static_cast<size_t>(found) - 1;
    if (stack.Active(stack.level)) SendSlice(text.substr(p, d - p));

    const char delimiter = Delimiter();
    if (d + 1 < size) {
      const std::string_view after = text.substr(d + 1, kTagWindow);
      const size_t close = after.find(delimiter);
      if (close != std::string_view::npos && IsTagText(after.substr(0, close))) {
        HandleTag(after.substr(0, close));
        p = d + 1 + close + 1;
        continue;
      }
    }
    // Not a tag: the delimiter is text, and the search goes on after it.
    if (stack.Active(stack.level)) Send(std::string(1, delimiter));
    p = d + 1;
  }
  if (p < size && stack.Active(stack.level)) SendSlice(text.substr(p));
}

void THttpTextFilterComponent::HandleTag(std::string_view tag_text) {
  WriteLog(std::string(tag_text));
  const std::string name(TrimBlanks(tag_text));
  const std::string upper = UpperAscii(name);
  ConditionStack& stack = CurrentConditionStack();
  if (upper.starts_with("IF ")) {
    HandleIf(stack, std::string(TrimBlanks(std::string_view(name).substr(2))));
  } else if (name.starts_with("ELSEIF ")) {
    HandleElseIf(stack, std::string(TrimBlanks(std::string_view(name).substr(6))));
  } else if (upper.starts_with("ELSE")) {
    HandleElse(stack);
  } else if (upper == "ENDIF") {
    HandleEndIf(stack);
  } else if (stack.Active(stack.level)) {
    HandlePlainTag(name);
  }
}

void THttpTextFilterComponent::HandleIf(ConditionStack& stack, const std::string& condition) {
  // Saturating keeps the level defined; reaching it would take 2^31 open
  // blocks on one thread.
  if (stack.level == INT32_MAX) return;
  const int32_t level = ++stack.level;
  if (level >= ConditionStack::kLevels) return;  // beyond the stack: inactive
  stack.SetPending(level, true);
  if (!stack.Active(level - 1)) {
    stack.SetActive(level, false);
    return;
  }
  // The handler starts from false, so a condition it does not know counts
  // as false whatever an earlier block at this level left behind.
  bool value = false;
  if (OnHttpLogicalEntry) OnHttpLogicalEntry(condition, value);
  stack.SetActive(level, value);
  stack.SetPending(level, !value);
}

void THttpTextFilterComponent::HandleElseIf(ConditionStack& stack, const std::string& condition) {
  const int32_t level = stack.level;
  // Outside any block there is no branch to switch: the tag is ignored, so
  // a stray ELSEIF cannot silence the rest of the page.
  if (level == 0 || level >= ConditionStack::kLevels) return;
  if (stack.Pending(level) && stack.Active(level - 1)) {
    bool value = stack.Active(level);
    if (OnHttpLogicalEntry && !value) {
      OnHttpLogicalEntry(condition, value);
    } else {
      value = false;
    }
    stack.SetActive(level, value);
    stack.SetPending(level, !value);
  } else {
    stack.SetActive(level, false);
  }
}

void THttpTextFilterComponent::HandleElse(ConditionStack& stack) {
  const int32_t level = stack.level;
  if (level == 0 || level >= ConditionStack::kLevels) return;  // as for ELSEIF
  if (stack.Pending(level) && stack.Active(level - 1)) {
    stack.SetActive(level, true);
    stack.SetPending(level, false);
  } else {
    stack.SetActive(level, false);
  }
}

void THttpTextFilterComponent::HandleEndIf(ConditionStack& stack) {
  stack.SetActive(stack.level, true);
  stack.SetPending(stack.level, true);
  if (stack.level > 0) --stack.level;
}

void THttpTextFilterComponent::HandlePlainTag(const std::string& name) {
  bool handled = true;
  if (OnHttpEntry) {
    OnHttpEntry(name, handled);
  } else {
    handled = false;
  }
  if (handled) return;

  // Request variables and form fields come from the visitor: escaped.
  const std::string variable = GetVar(name);
  if (!variable.empty() && variable != kNotAvailable) {
    SendSlice(HtmlEscape(variable));
    return;
  }
  const std::string field = GetFormField(name, kNotAvailable);
  if (name == "RANDOM_HIDDEN_INPUT") {
    Send("<INPUT TYPE=\"HIDDEN\" NAME=\"RANDOM_HIDDEN_INPUT\" VALUE=\"" +
         std::to_string(SecondsSinceMidnight()) + "\">");
  } else if (field != kNotAvailable) {
    SendSlice(HtmlEscape(field));
  } else if (name == "TIME") {
    Send(TimeToStr(Now()));
  } else if (name == "DATE") {
    Send(DateToStr(Now()));
  }
}

THttpMemoFilter::THttpMemoFilter(TComponent* owner, std::string name)
    : THttpTextFilterComponent(owner, std::move(name)) {}

void THttpMemoFilter::Execute() {
  CurrentConditionStack().Reset();
  for (const std::string& line : text_) FilterText(line + "\r\n");
}

}  // namespace vantora
