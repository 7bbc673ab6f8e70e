#include "app/VantoraStatReports.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>
#include <unordered_map>

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

std::string ItemOf(TShareReport report, const TVisitorRecord& visitor) {
  switch (report) {
    case TShareReport::Browser:
      return BrowserName(visitor.Agent, "Unknown");
    case TShareReport::Country:
      return DomainSuffix(visitor.HostName);
    case TShareReport::Address:
      return visitor.Address;
    case TShareReport::Domain:
      return RemoteDomain(visitor.HostName, std::string());
    case TShareReport::Referrer:
      return ReferringHost(visitor.Referrer, std::string());
    case TShareReport::Family:
      return BrowserFamily(visitor.Agent, "Unknown");
  }
  return std::string();
}

// The stored text a share table classifies: visitors with the same text
// have the same item.
const std::string& ClassifiedText(TShareReport report, const TVisitorRecord& visitor) {
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

// Largest count first; stable: among equal counts the item met first (the
// most recent) leads.
void SortByCount(std::vector<TShareItem>* items) {
  std::stable_sort(items->begin(), items->end(),
                   [](const TShareItem& a, const TShareItem& b) { return a.Count > b.Count; });
}

std::span<const TVisitorRecord> FirstVisitors(std::span<const TVisitorRecord> visitors, int count) {
  if (count <= 0) return {};
  return visitors.first(std::min(visitors.size(), static_cast<size_t>(count)));
}

}  // namespace

std::vector<TShareItem> CountShareItems(TShareReport report,
                                        std::span<const TVisitorRecord> visitors, int examined) {
  const bool ignore_case = report != TShareReport::Browser && report != TShareReport::Family;
  const std::span<const TVisitorRecord> counted = FirstVisitors(visitors, examined);
  std::vector<TShareItem> items;
  // The items as compared, each with its place in items: one look-up per
  // visitor, however many distinct items there are.
  std::unordered_map<std::string, size_t> places;
  places.reserve(counted.size());
  // The place of each stored text met so far: a text is classified once,
  // however many visitors share it (most agents and hosts come back).
  std::unordered_map<std::string_view, size_t> places_of_text;
  places_of_text.reserve(counted.size());
  for (const TVisitorRecord& visitor : counted) {
    const std::string& text = ClassifiedText(report, visitor);
    if (const auto known = places_of_text.find(text); known != places_of_text.end()) {
      ++items[known->second].Count;
      continue;
    }
    std::string item = ItemOf(report, visitor);
    std::string key = ignore_case ? LowerCase(item) : item;
    const auto [place, added] = places.try_emplace(std::move(key), items.size());
    if (added) {
      items.push_back({std::move(item), 1});
    } else {
      ++items[place->second].Count;
    }
    places_of_text.emplace(text, place->second);
  }
  return items;
}

std::string ShareReportRows(TShareReport report, std::span<const TVisitorRecord> visitors,
                            int examined, int rows, const TReportLinks& links) {
  const std::span<const TVisitorRecord> counted = FirstVisitors(visitors, examined);
  std::vector<TShareItem> items = CountShareItems(report, counted, examined);
  // Only the rows shown need their markup: put the items in the table's
  // order (ReportRowsText keeps it) and cut them to the rows first.
  SortByCount(&items);
  items.resize(rows <= 0 ? 0 : std::min(items.size(), static_cast<size_t>(rows)));
  for (TShareItem& item : items) item.Item = ItemHtml(report, item.Item, links);
  return ReportRowsText(std::move(items), static_cast<int>(counted.size()), rows);
}

std::string ReportRowsText(std::vector<TShareItem> items, int examined, int rows) {
  SortByCount(&items);
  std::string text;
  if (examined <= 0) return text;
  const size_t shown = rows <= 0 ? 0 : std::min(items.size(), static_cast<size_t>(rows));
  for (size_t i = 0; i < shown; ++i) {
    const TShareItem& item = items[i];
    text += "<tr>";
    text += "<td><font face=Arial size=1>&nbsp;";
    text += item.Item.empty() ? std::string("Unknown") : item.Item;
    text += "</font></td>";
    text += "<td align=Right><font face=Arial size=1>&nbsp;" + Percentage(item.Count, examined) +
            "%&nbsp;&nbsp;</font></td>";
    text += "</tr>\r\n";
  }
  return text;
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
