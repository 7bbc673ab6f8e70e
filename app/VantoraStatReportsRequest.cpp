// The report tables bound to the request served by the calling thread and to
// the loaded visitor list.
#include <stdexcept>

#include "app/VantoraStat.h"
#include "app/VantoraStatReports.h"
#include "engine/HttpEng.h"

namespace vantora {

namespace {

void SendShareReport(TShareReport report, int examined, int rows) {
  // Holding the snapshot keeps the list alive while the rows are made.
  const std::shared_ptr<const TVisitorList> list = Visitors();
  const std::span<const TVisitorRecord> visitors(list->Visitors.data(),
                                                 static_cast<size_t>(list->VisitorCount));
  TReportLinks links;
  links.ScriptName = ScriptName();
  // A server that names no script gives links relative to the page.
  if (links.ScriptName == kNotAvailable) links.ScriptName.clear();
  links.TzOverride = TzOverride();
  const std::string text = ShareReportRows(report, visitors, examined, rows, links);
  if (!text.empty()) Send(text);
}

}  // namespace

void BrowserReport(int examined, int rows) {
  SendShareReport(TShareReport::Browser, examined, rows);
}

void BrowserFamilyReport(int examined, int rows) {
  SendShareReport(TShareReport::Family, examined, rows);
}
void CountryReport(int examined, int rows) {
  SendShareReport(TShareReport::Country, examined, rows);
}
void AddressReport(int examined, int rows) {
  SendShareReport(TShareReport::Address, examined, rows);
}
void DomainReport(int examined, int rows) { SendShareReport(TShareReport::Domain, examined, rows); }
void ReferrerReport(int examined, int rows) {
  SendShareReport(TShareReport::Referrer, examined, rows);
}

void VisitorTable(const std::string& filter_value, int filter_kind, int rows) {
  if (!SiteStatistic) {
    throw std::logic_error("The visitor table needs the statistics module SiteStatistic");
  }
  const int offset_hours = SiteStatistic->DisplayOffset();
  const std::shared_ptr<const TVisitorList> list = Visitors();
  const std::span<const TVisitorRecord> visitors(list->Visitors.data(),
                                                 static_cast<size_t>(list->VisitorCount));
  const std::string text =
      VisitorTableRows(visitors, filter_value, filter_kind, rows, Now(), offset_hours);
  if (!text.empty()) Send(text);
}

}  // namespace vantora
