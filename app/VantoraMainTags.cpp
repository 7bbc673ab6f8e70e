// The tags of the template pages: counters, dates and report tables.
#include <climits>
#include <cmath>
#include <optional>
#include <stdexcept>

#include "app/VantoraMain.h"
#include "app/VantoraStat.h"
#include "app/VantoraStatReports.h"
#include "engine/HttpEngRandom.h"
#include "engine/HttpEngRoutines.h"
#include "platform/DateTime.h"
#include "platform/Text.h"

namespace vantora {
namespace {

// The whole text as an integer: an optional sign and decimal digits, nothing
// else; nullopt for anything else or a value outside int.
std::optional<int> WholeInteger(const std::string& text) {
  size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  if (pos == text.size()) return std::nullopt;
  long long value = 0;
  for (; pos < text.size(); ++pos) {
    if (text[pos] < '0' || text[pos] > '9') return std::nullopt;
    value = value * 10 + (text[pos] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < INT_MIN || value > INT_MAX) return std::nullopt;
  return static_cast<int>(value);
}

// Days with data up to the moment t: the day count of t - first_day plus the
// present one.  Never less than one, so that a first day lying after t (a
// clock set back) cannot divide by zero or a negative count.
long long DaysWithData(double t, double first_day) {
  const long long days = static_cast<long long>(std::trunc(t - first_day)) + 1;
  return days < 1 ? 1 : days;
}

int RoundedShare(int hits, long long days) {
  return static_cast<int>(std::nearbyint(static_cast<double>(hits) / static_cast<double>(days)));
}

int LongAverage(int hits, int period, double q, double now, double first_day) {
  if (DaysWithData(now, first_day) >= period) return hits / period;  // truncates
  return RoundedShare(hits, DaysWithData(q, first_day));
}

}  // namespace

TReportArgs ParseReportArgs(const std::string& tag) {
  TReportArgs args;
  const size_t first = tag.find('_');
  if (first == std::string::npos) return args;
  const std::string rest = tag.substr(first + 1);
  const size_t second = rest.find('_');
  if (second == std::string::npos) {
    args.a = args.b = WholeInteger(rest).value_or(100);
  } else {
    args.a = WholeInteger(rest.substr(0, second)).value_or(100);
    args.b = WholeInteger(rest.substr(second + 1)).value_or(100);
  }
  return args;
}

int Average7D(int hits_7d, double q, double first_day) {
  const long long days = DaysWithData(q, first_day);
  return RoundedShare(hits_7d, days >= 7 ? 7 : days);
}

int Average30D(int hits_30d, double q, double now, double first_day) {
  return LongAverage(hits_30d, 30, q, now, first_day);
}

int Average365D(int hits_365d, double q, double now, double first_day) {
  return LongAverage(hits_365d, 365, q, now, first_day);
}

void TFormMain::HttpFileFilter1HttpEntry(const std::string& entry_name, bool& handled) {
  if (SiteStatistic == nullptr) {
    throw std::logic_error("The template tags need the statistics module SiteStatistic");
  }
  const std::string name = UpperCase(entry_name);
  auto load_once = [] {
    if (!StatsPending()) return;
    SiteStatistic->LoadStatistics(/*load_visitors=*/true, /*compute_counters=*/true);
    SetStatsPending(false);
  };

  if (name.rfind("TZ", 0) == 0) {
    SetTzOverride(WholeInteger(name.substr(2)).value_or(kNoTzOverride));
    load_once();
    return;
  }
  load_once();

  const TDateTime now = Now();
  const TDateTime q = now + SiteStatistic->DisplayOffset() / 24.0;
  const TStatCounters c = SiteStatistic->Counters();
  auto number = [](long long value) { Send(std::to_string(value)); };

  if (name == "DATE") {
    Send(DateToStr(q));
  } else if (name == "TIME") {
    Send(TimeToStr(q));
  } else if (name == "HITS_TODAY") {
    number(c.HitsToday);
  } else if (name == "HITS_1D") {
    number(c.Hits1D);
  } else if (name == "HITS_7D") {
    number(c.Hits7D);
  } else if (name == "HITS_30D") {
    number(c.Hits30D);
  } else if (name == "HITS_365D") {
    number(c.Hits365D);
  } else if (name == "AVG_7D") {
    number(Average7D(c.Hits7D, q, c.FirstDay));
  } else if (name == "AVG_30D") {
    number(Average30D(c.Hits30D, q, now, c.FirstDay));
  } else if (name == "AVG_365D") {
    number(Average365D(c.Hits365D, q, now, c.FirstDay));
  } else if (name == "TOP_365") {
    number(c.Top365);
  } else if (name == "TOP_30") {
    number(c.Top30);
  } else if (name == "FIRST_DAY") {
    Send(DateToStr(c.FirstDay));
  } else if (name == "TOP_30_DAY") {
    Send(DateToStr(c.Top30Day));
  } else if (name == "TOP_365_DAY") {
    Send(DateToStr(c.Top365Day));
  } else if (name == "RANDOM") {
    number(RandomBelow(10000));
  } else if (name.find("STAT") != std::string::npos) {
    WriteReport(name);
  } else {
    handled = false;
  }
}

void TFormMain::WriteReport(const std::string& tag) {
  const TReportArgs args = ParseReportArgs(tag);
  auto starts = [&tag](const char* prefix) { return tag.rfind(prefix, 0) == 0; };
  if (starts("BROWSERSTAT")) {
    BrowserReport(args.a, args.b);
  } else if (starts("BROWSERFAMILYSTAT")) {
    BrowserFamilyReport(args.a, args.b);
  } else if (starts("COUNTRYSTAT")) {
    CountryReport(args.a, args.b);
  } else if (starts("REFERERSTAT")) {
    ReferrerReport(args.a, args.b);
  } else if (starts("REMOTEADDRSTAT")) {
    AddressReport(args.a, args.b);
  } else if (starts("REMOTEDOMAINSTAT")) {
    DomainReport(args.a, args.b);
  } else if (starts("LASTVISITORSTAT")) {
    VisitorTable("", kFilterNone, args.a);
  }
  // Any other name containing "STAT" writes nothing and stays handled.
}

}  // namespace vantora
