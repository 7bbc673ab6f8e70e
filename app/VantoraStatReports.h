// The report tables: HTML table rows made from the loaded visitor list.
//
// Five share tables (browsers, countries, remote addresses, remote domains,
// referring hosts) list each item with its percentage of the visitors
// examined; the visitor table lists one row per visitor and also forms the
// examine page, optionally filtered by one property.  Only rows are written:
// the surrounding <table> element and any heading belong to the template or
// to the examine page.
//
// Every text that comes from a visitor is HTML-escaped where it is written;
// counting, grouping and filtering work on the stored values.  Link addresses
// carry the item url-encoded, and a referrer becomes a link only when it is
// an http or https address.
//
// Each table comes in two forms: a pure one that takes the visitors and the
// request's values and returns the rows' text (safe on any thread), and a
// request-bound one, named as the template tags know it, that takes them from
// the loaded visitor list and the request served by the calling thread and
// writes the rows with Send.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "app/VantoraStatFiles.h"
#include "platform/DateTime.h"

namespace vantora {

enum class TShareReport {
  Browser,   // BrowserName(Agent, "Unknown"); no links
  Country,   // DomainSuffix(HostName); links "A=X&CO=", shown as the country
  Address,   // Address; links "A=X&RA="
  Domain,    // RemoteDomain(HostName, ""); links "A=X&RD="
  Referrer,  // ReferringHost(Referrer, ""); links "A=X&RE="
  Family,    // BrowserFamily(Agent, "Unknown"); no links
};

// One item of a share table and the number of visitors it stands for.
struct TShareItem {
  std::string Item;
  int Count = 0;
};

// What the links of a share table carry.
struct TReportLinks {
  // The script's own address (ScriptName of the request).
  std::string ScriptName;
  // The display-zone override in hours set by a "TZ" tag; values of -99 and
  // more are carried on as "TZ=<n>&" so that the examine page shows the same
  // zone.  -100 means none.
  int TzOverride = -100;
};

// Filter kinds of the visitor table; the examine page takes them from the
// fields "RE", "CO", "RA" and "RD".
inline constexpr int kFilterNone = 0;
inline constexpr int kFilterReferringHost = 1;  // ReferringHost(Referrer), ignoring case
inline constexpr int kFilterCountry = 2;        // DomainSuffix(HostName), ignoring case
inline constexpr int kFilterAddress = 3;        // Address, ignoring case
inline constexpr int kFilterDomain = 4;         // RemoteDomain(HostName), ignoring case

// The items of the first min(examined, visitors.size()) visitors (newest
// first), in order of first appearance, with their counts.  Items are the
// stored texts' classification, not escaped.  Browser and family items match exactly,
// the others ignoring case (the form met first stays).  Visitors that
// classify to nothing share the empty item.
std::vector<TShareItem> CountShareItems(TShareReport report,
                                        std::span<const TVisitorRecord> visitors, int examined);

// The rows of a share table over the newest `examined` visitors, at most
// `rows` rows, largest share first.  No rows when either number is 0 or less
// or there are no visitors.
std::string ShareReportRows(TShareReport report, std::span<const TVisitorRecord> visitors,
                            int examined, int rows, const TReportLinks& links);

// The rows for items whose texts are HTML already (the caller has escaped
// them): sorted by count, largest first, equal counts in their given order;
// at most `rows` rows; an empty item shows as "Unknown".  Each row holds the
// item and its count as a percentage of `examined`, with one decimal (rounded
// half up, the host's decimal separator); each ends in CR LF.
std::string ReportRowsText(std::vector<TShareItem> items, int examined, int rows);
// The same, written with Send to the request served by the calling thread.
void WriteReportRows(std::vector<TShareItem> items, int examined, int rows);

// The rows of the visitor table: at most `rows` of the newest visitors (fewer
// when a filter leaves some out), each with its display time, country,
// address, host name, browser and referrer.  With a filter (kind 1 to 4) a
// header row showing filter_value comes first; unknown kinds list nobody.
// Times are shown offset_hours after server time; the date (in bold, above
// the time) is shown on the first row of each day other than the present day
// `now` (server local time) in the display zone.
std::string VisitorTableRows(std::span<const TVisitorRecord> visitors,
                             const std::string& filter_value, int filter_kind, int rows,
                             TDateTime now, int offset_hours);

// Request-bound forms: the loaded visitor list (Visitors()), the request's
// ScriptName and TzOverride; the visitor table uses SiteStatistic's
// DisplayOffset (throws std::logic_error before the statistics module
// exists).  They need a current engine on the calling thread.
void BrowserReport(int examined, int rows);
void BrowserFamilyReport(int examined, int rows);
void CountryReport(int examined, int rows);
void AddressReport(int examined, int rows);
void DomainReport(int examined, int rows);
void ReferrerReport(int examined, int rows);
void VisitorTable(const std::string& filter_value, int filter_kind, int rows);

}  // namespace vantora
