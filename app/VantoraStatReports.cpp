#include "app/VantoraStatReports.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "app/VantoraStatClassify.h"
#include "engine/HUtilsFilter.h"
#include "engine/HttpEngRoutines.h"
#include "platform/Text.h"

namespace vantora {

namespace {

// Whether text with its ASCII capitals lower-cased equals `lower`.
bool EqualsLowered(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// Whether text begins with `prefix` (in lower case), ignoring case.
bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsLowered(text.substr(0, prefix.size()), prefix);
}

// A visitor's item: a view of its stored text or of a default, or, for the
// family table, of *own.
std::string_view ItemOf(TShareReport report, const TVisitorRecord& visitor, std::string* own) {
  switch (report) {
    case TShareReport::Browser:
      return BrowserNameView(visitor.Agent, "Unknown");
    case TShareReport::Country:
      return DomainSuffixView(visitor.HostName);
    case TShareReport::Address:
      return visitor.Address;
    case TShareReport::Domain:
      return RemoteDomainView(visitor.HostName, std::string_view());
    case TShareReport::Referrer:
      return ReferringHostView(visitor.Referrer, std::string_view());
    case TShareReport::Family:
      *own = BrowserFamily(visitor.Agent, "Unknown");
      return *own;
  }
  return std::string_view();
}

// The stored text a share table classifies: visitors with the same text
// have the same item.
std::string_view ClassifiedText(TShareReport report, const TVisitorRecord& visitor) {
  switch (report) {
    case TShareReport::Browser:
    case TShareReport::Family:
      return visitor.Agent;
    case TShareReport::Country:
    case TShareReport::Domain:
      return visitor.HostName;
    case TShareReport::Address:
      return visitor.Address;
    case TShareReport::Referrer:
      return visitor.Referrer;
  }
  return visitor.Address;
}

// The field a share table's links set; empty for tables without links.
const char* LinkField(TShareReport report) {
  switch (report) {
    case TShareReport::Browser:
    case TShareReport::Family:
      return "";
    case TShareReport::Country:
      return "A=X&CO=";
    case TShareReport::Address:
      return "A=X&RA=";
    case TShareReport::Domain:
      return "A=X&RD=";
    case TShareReport::Referrer:
      return "A=X&RE=";
  }
  return "";
}

// The cell text of one item: a link to the examine page filtered by it, or,
// for the browser table, the escaped item.  The link's address is built from
// the script name (escaped for the attribute), our own separators and the
// url-encoded item, whose characters need no escaping.
std::string ItemHtml(TShareReport report, const std::string& item, const TReportLinks& links) {
  if (item.empty()) return std::string();
  if (*LinkField(report) == '\0') return HtmlEscape(item);
  std::string zone;
  if (links.TzOverride >= -99) zone = "TZ=" + std::to_string(links.TzOverride) + "&";
  const std::string shown = report == TShareReport::Country ? CountryName(item, item) : item;
  return "<a href=\"" + HtmlEscape(links.ScriptName) + "?" + zone + LinkField(report) +
         UrlEncode(item) + "\">" + HtmlEscape(shown) + "</a>";
}

// count / examined as a percentage with one decimal, rounded half up.
std::string Percentage(int count, int examined) {
  const long long tenths =
      (2LL * count * 1000 + examined) / (2LL * examined);  // round(count * 1000 / examined)
  std::string text = std::to_string(tenths / 10);
  text += Formats().decimal_separator;
  text += static_cast<char>('0' + tenths % 10);
  return text;
}

// The first `rows` rows of a table (all when rows is larger), in order:
// largest count first; among equal counts the item met first (the most
// recent) leads.  Indices into items.
template <typename Item>
std::vector<uint32_t> RowOrder(const std::vector<Item>& items, size_t rows) {
  std::vector<uint32_t> order(items.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  const auto before = [&](uint32_t a, uint32_t b) {
    return items[a].Count != items[b].Count ? items[a].Count > items[b].Count : a < b;
  };
  if (rows < order.size()) {
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(rows),
                      order.end(), before);
    order.resize(rows);
  } else {
    std::sort(order.begin(), order.end(), before);
  }
  return order;
}

std::span<const TVisitorRecord> FirstVisitors(std::span<const TVisitorRecord> visitors, int count) {
  if (count <= 0) return {};
  return visitors.first(std::min(visitors.size(), static_cast<size_t>(count)));
}

// A word-at-a-time hash of a short text: the texts of a table are stored
// visitor fields of at most 80 bytes.
uint64_t HashText(std::string_view text) {
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
  uint64_t hash = (text.size() + 1) * kMultiplier;
  const auto mix = [&](uint64_t word) {
    hash = (hash ^ word) * kMultiplier;
    hash ^= hash >> 32;
  };
  const auto word_at = [&](size_t at) {
    uint64_t word;
    std::memcpy(&word, text.data() + at, 8);
    return word;
  };
  if (text.size() >= 8) {
    size_t at = 0;
    for (; at + 8 <= text.size(); at += 8) mix(word_at(at));
    // The last bytes as the word that ends the text (overlapping the one
    // before it): no byte-wise tail.
    if (at < text.size()) mix(word_at(text.size() - 8));
  } else {
    uint64_t word = 0;
    for (size_t at = 0; at < text.size(); ++at) {
      word |= uint64_t{static_cast<unsigned char>(text[at])} << (8 * at);
    }
    mix(word);
  }
  return hash ^ (hash >> 29);
}

// An open-addressing table from texts to small numbers, for the few hundred
// distinct texts of a share table.  The texts are views: what they view
// outlives the table.  Slots hold a part of the hash and an entry number, so
// that a probe seldom needs to compare texts.
class TextTable {
 public:
  explicit TextTable(size_t expected) {
    size_t capacity = 16;
    while (capacity < expected * 2) capacity <<= 1;
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    entries_.reserve(expected);
  }

  // The value of text, or nullptr when it has none yet; *hash receives the
  // text's hash for a following Add.
  const uint32_t* Find(std::string_view text, uint64_t* hash) const {
    *hash = HashText(text);
    const uint32_t tag = Tag(*hash);
    for (size_t i = *hash & mask_;; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (slot.entry == 0) return nullptr;
      const Entry& entry = entries_[slot.entry - 1];
      if (slot.tag == tag && entry.text == text) return &entry.value;
    }
  }

  // Gives text (not in the table, hashed by Find) the value.
  void Add(std::string_view text, uint64_t hash, uint32_t value) {
    size_t i = hash & mask_;
    while (slots_[i].entry != 0) i = (i + 1) & mask_;
    entries_.push_back({text, value});
    slots_[i] = {Tag(hash), static_cast<uint32_t>(entries_.size())};
    if (entries_.size() * 2 > slots_.size()) Grow();
  }

 private:
  struct Slot {
    uint32_t tag = 0;
    uint32_t entry = 0;  // 1 + the entry's index; 0 for a free slot
  };
  struct Entry {
    std::string_view text;
    uint32_t value;
  };

  static uint32_t Tag(uint64_t hash) { return static_cast<uint32_t>(hash >> 32); }

  void Grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.size() * 2, Slot{});
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.entry == 0) continue;
      size_t i = HashText(entries_[slot.entry - 1].text) & mask_;
      while (slots_[i].entry != 0) i = (i + 1) & mask_;
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::vector<Entry> entries_;
  size_t mask_ = 0;
};

// The first `rows` of `count` rows (all when rows is larger): row(i) gives
// the i-th row in the table's order, as an item whose text is its cell.
template <typename Row>
std::string RowsText(size_t count, const Row& row, int examined, int rows) {
  std::string text;
  if (examined <= 0) return text;
  const size_t shown = rows <= 0 ? 0 : std::min(count, static_cast<size_t>(rows));
  text.reserve(shown * 128);
  for (size_t i = 0; i < shown; ++i) {
    const TShareItem& item = row(i);  // a made row lives to the end of the step
    text += "<tr><td><font face=Arial size=1>&nbsp;";
    text += item.Item.empty() ? std::string_view("Unknown") : std::string_view(item.Item);
    text += "</font></td><td align=Right><font face=Arial size=1>&nbsp;";
    text += Percentage(item.Count, examined);
    text += "%&nbsp;&nbsp;</font></td></tr>\r\n";
  }
  return text;
}

// An item of a table being counted: a view of its text and its visitors.
struct CountedItem {
  std::string_view Item;
  int Count = 0;
};

// The distinct items of a table in the order first met.  Their texts are
// views of the visitor records or of `made`, which holds the texts no record
// holds (families, lowered keys); `made` is reserved for every visitor, so
// that its texts never move.
struct CountedItems {
  std::vector<CountedItem> items;
  std::vector<std::string> made;
};

CountedItems CountItems(TShareReport report, std::span<const TVisitorRecord> counted) {
  const bool ignore_case = report != TShareReport::Browser && report != TShareReport::Family;
  CountedItems result;
  std::vector<CountedItem>& items = result.items;
  std::vector<std::string>& made = result.made;
  items.reserve(counted.size());
  made.reserve(counted.size());
  // The items as compared (the lowered key when case is ignored), each with
  // its place in items: one look-up per distinct stored text, however many
  // distinct items there are.
  TextTable item_places(counted.size());
  // The place of each stored text met so far: a text is classified once,
  // however many visitors share it (most agents and hosts come back).
  TextTable text_places(counted.size());
  const auto has_capitals = [](std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
  };
  for (const TVisitorRecord& visitor : counted) {
    const std::string_view text = ClassifiedText(report, visitor);
    if (report == TShareReport::Address && !has_capitals(text)) {
      // An address is its own item and, without capitals, its own key: one
      // look-up, no classification.
      uint64_t hash;
      if (const uint32_t* known = item_places.Find(text, &hash)) {
        ++items[*known].Count;
      } else {
        item_places.Add(text, hash, static_cast<uint32_t>(items.size()));
        items.push_back({text, 1});
      }
      continue;
    }
    uint64_t text_hash;
    if (const uint32_t* place = text_places.Find(text, &text_hash)) {
      ++items[*place].Count;
      continue;
    }
    std::string own;
    std::string_view item = ItemOf(report, visitor, &own);
    // The compared form: the item itself unless case is ignored and it has
    // capitals (most items have none), then a lowered copy.
    const bool lowered = ignore_case && has_capitals(item);
    std::string_view key = item;
    if (lowered) {
      made.push_back(LowerCase(std::string(item)));
      key = made.back();
    }
    uint64_t key_hash;
    uint32_t place;
    if (const uint32_t* known = item_places.Find(key, &key_hash)) {
      place = *known;
      ++items[place].Count;
      if (lowered) made.pop_back();
    } else {
      place = static_cast<uint32_t>(items.size());
      if (report == TShareReport::Family) {
        // The family's text lives in own, which ends with this visitor.
        made.push_back(std::move(own));
        item = made.back();
        if (!lowered) key = item;
      }
      items.push_back({item, 1});
      item_places.Add(key, key_hash, place);
    }
    text_places.Add(text, text_hash, place);
  }
  return result;
}

}  // namespace

std::vector<TShareItem> CountShareItems(TShareReport report,
                                        std::span<const TVisitorRecord> visitors, int examined) {
  const CountedItems counted = CountItems(report, FirstVisitors(visitors, examined));
  std::vector<TShareItem> items;
  items.reserve(counted.items.size());
  for (const CountedItem& item : counted.items) {
    items.push_back({std::string(item.Item), item.Count});
  }
  return items;
}

std::string ShareReportRows(TShareReport report, std::span<const TVisitorRecord> visitors,
                            int examined, int rows, const TReportLinks& links) {
  const std::span<const TVisitorRecord> counted = FirstVisitors(visitors, examined);
  const CountedItems items = CountItems(report, counted);
  // Only the rows shown need a text of their own, with its markup: put the
  // items in the table's order and cut them to the rows first.
  const std::vector<uint32_t> order =
      RowOrder(items.items, rows <= 0 ? 0 : static_cast<size_t>(rows));
  const auto row = [&](size_t i) {
    const CountedItem& item = items.items[order[i]];
    return TShareItem{ItemHtml(report, std::string(item.Item), links), item.Count};
  };
  return RowsText(order.size(), row, static_cast<int>(counted.size()), rows);
}

std::string ReportRowsText(std::vector<TShareItem> items, int examined, int rows) {
  const std::vector<uint32_t> order = RowOrder(items, rows <= 0 ? 0 : static_cast<size_t>(rows));
  const auto row = [&](size_t i) -> const TShareItem& { return items[order[i]]; };
  return RowsText(order.size(), row, examined, rows);
}

void WriteReportRows(std::vector<TShareItem> items, int examined, int rows) {
  const std::string text = ReportRowsText(std::move(items), examined, rows);
  if (!text.empty()) Send(text);
}

namespace {

// A row's size in bytes, about: its markup and the stored texts it shows.
constexpr size_t kRowBytes = 512;

// The markup of a row after its time cell, around the texts it shows.
constexpr std::string_view kTimeEnd = "&nbsp;</font></td><td Nowrap><font face=Arial size=1>";
constexpr std::string_view kCountryEnd = "</font></td><td><font face=Arial size=1>";
// Ends a cell of the visitor table and opens the next one.
constexpr std::string_view kCellBreak = "&nbsp;</font></td><td><font face=Arial size=1>";
constexpr std::string_view kLinkStart = "<a href=\"";
constexpr std::string_view kLinkMiddle = "\">";
constexpr std::string_view kLinkEnd = "</a>";
constexpr std::string_view kRowEnd = "&nbsp;</font></td></tr>\r\n";
constexpr size_t kRowMarkupAfterTime = kTimeEnd.size() + kCountryEnd.size() +
                                       3 * kCellBreak.size() + kLinkStart.size() +
                                       kLinkMiddle.size() + kLinkEnd.size() + kRowEnd.size();

char* Put(char* out, std::string_view piece) {
  std::memcpy(out, piece.data(), piece.size());
  return out + piece.size();
}

// Whether the visitor passes the filter of the kind given; `value` is the
// filter value in lower case.
bool Listed(const TVisitorRecord& visitor, int filter_kind, std::string_view value) {
  switch (filter_kind) {
    case kFilterNone:
      return true;
    case kFilterReferringHost:
      return EqualsLowered(ReferringHostView(visitor.Referrer, std::string_view()), value);
    case kFilterCountry:
      return EqualsLowered(DomainSuffixView(visitor.HostName), value);
    case kFilterAddress:
      // Ignoring case like the address table whose links lead here, so an
      // address written with capital hex digits finds its visitors.
      return EqualsLowered(visitor.Address, value);
    case kFilterDomain:
      return EqualsLowered(RemoteDomainView(visitor.HostName, std::string_view()), value);
    default:
      return false;
  }
}

}  // namespace

std::string VisitorTableRows(std::span<const TVisitorRecord> visitors,
                             const std::string& filter_value, int filter_kind, int rows,
                             TDateTime now, int offset_hours) {
  const double offset = offset_hours / 24.0;
  double previous_day = std::trunc(now + offset);
  const std::span<const TVisitorRecord> listed = FirstVisitors(visitors, rows);
  std::string text;
  // One allocation for the page: a row takes some 400 to 600 bytes.
  text.reserve(listed.size() * kRowBytes + 256);
  if (filter_kind != kFilterNone) {
    text += "<tr bgcolor=\"#55BBFF\"><td colspan=6 align=center><b>";
    AppendHtmlEscaped(&text, filter_value);
    text += "</b></td></tr>\r\n";
  }
  const std::string value = LowerCase(filter_value);
  // Appended piece by piece, the fixed markup between two texts in one
  // piece: a page of 500 rows makes no temporaries.
  for (const TVisitorRecord& visitor : listed) {
    if (!Listed(visitor, filter_kind, value)) continue;

    const TDateTime t = visitor.Time + offset;
    const double day = std::trunc(t);
    if (day != previous_day) {
      text += "<tr><td Nowrap><font face=Arial size=1><b>";
      AppendDate(&text, t);
      text += "</b><br>";
    } else {
      text += "<tr><td Nowrap><font face=Arial size=1>";
    }
    AppendTime(&text, t);
    previous_day = day;
    // The country names of the table need no escaping; the default is markup.
    const std::string_view country = CountryNameView(DomainSuffixView(visitor.HostName), "&nbsp;");
    const std::string_view browser = BrowserNameView(visitor.Agent, std::string_view());
    const std::string_view shown = filter_kind != kFilterNone
                                       ? std::string_view(visitor.Referrer)
                                       : ReferringHostView(visitor.Referrer, std::string_view());
    // Only web addresses become links; anything else (a "javascript:" text,
    // "unknown") is shown as text.
    const bool link = StartsWithIgnoringCase(visitor.Referrer, "http://") ||
                      StartsWithIgnoringCase(visitor.Referrer, "https://");
    // The rest of the row is written in place, into room for its longest
    // form (every byte escaped), and the text cut to what was written.
    const size_t escaped = visitor.Address.size() + visitor.HostName.size() + browser.size() +
                           shown.size() + (link ? visitor.Referrer.size() : 0);
    const size_t start = text.size();
    text.resize(start + kRowMarkupAfterTime + country.size() + kHtmlEscapeGrowth * escaped);
    char* out = text.data() + start;
    out = Put(out, kTimeEnd);
    out = Put(out, country);
    out = Put(out, kCountryEnd);
    out = HtmlEscapeTo(out, visitor.Address);
    out = Put(out, kCellBreak);
    out = HtmlEscapeTo(out, visitor.HostName);
    out = Put(out, kCellBreak);
    out = HtmlEscapeTo(out, browser);
    out = Put(out, kCellBreak);
    if (link) {
      out = Put(out, kLinkStart);
      out = HtmlEscapeTo(out, visitor.Referrer);
      out = Put(out, kLinkMiddle);
      out = HtmlEscapeTo(out, shown);
      out = Put(out, kLinkEnd);
    } else {
      out = HtmlEscapeTo(out, shown);
    }
    out = Put(out, kRowEnd);
    text.resize(static_cast<size_t>(out - text.data()));
  }
  return text;
}

}  // namespace vantora
