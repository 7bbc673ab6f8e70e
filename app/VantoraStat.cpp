#include "app/VantoraStat.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>

#include "app/VantoraStatClassify.h"
#include "engine/HttpEngRoutines.h"
#include "platform/Coding.h"

namespace vantora {

TSiteStatistic* SiteStatistic = nullptr;

namespace {

std::mutex& VisitorMutex() {
  static std::mutex mutex;
  return mutex;
}

// The file and its state that the loaded list was read from (no path: the
// list was not read from a file, or the read failed).  Guarded by
// VisitorMutex(), like the list.
struct StampedPath {
  std::string path;
  VisitorFileStamp stamp;
};

StampedPath& LoadedStamp() {
  static StampedPath stamped;
  return stamped;
}

// Empty until the first load or the first look (a list is 68 KB that a
// counting request never needs).
std::shared_ptr<const TVisitorList>& LoadedVisitors() {
  static std::shared_ptr<const TVisitorList> list;
  return list;
}

thread_local int tz_override = kNoTzOverride;
thread_local bool stats_pending = false;

constexpr long long kMsPerHour = 3600000;
constexpr double kFirstValidDay = -693593;  // 0001-01-01
constexpr double kLastValidDay = 2958466;   // 9999-12-31
constexpr long long kMsPerDay = 86400000;

long long FloorDiv(long long a, long long b) {
  const long long q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// The integer at the start of text: an optional sign and at least one digit.
// With whole_text, nothing may follow it.  Values beyond a million hours or
// seconds' worth of sense are not numbers.
std::optional<long long> ParseInteger(const std::string& text, bool whole_text) {
  size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  const size_t digits_start = pos;
  long long value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + (text[pos] - '0');
    if (value > 1000000000LL) return std::nullopt;
    ++pos;
  }
  if (pos == digits_start) return std::nullopt;
  if (whole_text && pos != text.size()) return std::nullopt;
  return negative ? -value : value;
}

long long IntegerOrZero(const std::string& text) {
  return ParseInteger(Trim(text), /*whole_text=*/true).value_or(0);
}

// Puts the records of a list filled in file order (record k at place k, the
// count records of the ring) in the order of the loaded list: the ring from
// its newest slot backwards, then newest first (equal times keep their order,
// empty places sink).  Only numbers are sorted; then each record moves once,
// along the cycles of the permutation.
void ArrangeVisitors(TVisitorList* list, int count, int newest_slot) {
  // order[place] = the file-order index of the record that goes there; the
  // empty places of the ring take the unused indices from count on, whose
  // records are empty.
  std::array<int, kVisitorSlots> order;
  order.fill(-1);
  for (int k = 0; k < count; ++k) order[(newest_slot - k + kVisitorSlots) % kVisitorSlots] = k;
  int spare = count;
  for (int& index : order) {
    if (index < 0) index = spare++;
  }
  std::array<double, kVisitorSlots> times{};
  for (int k = 0; k < count; ++k) times[k] = list->Visitors[k].Time;
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return times[a] > times[b]; });
  std::array<bool, kVisitorSlots> placed{};
  for (int start = 0; start < kVisitorSlots; ++start) {
    if (placed[start] || order[start] == start) continue;
    TVisitorRecord held = std::move(list->Visitors[start]);
    for (int place = start;;) {
      placed[place] = true;
      const int from = order[place];
      if (from == start) {
        list->Visitors[place] = std::move(held);
        break;
      }
      list->Visitors[place] = std::move(list->Visitors[from]);
      place = from;
    }
  }
  list->VisitorCount = count;
}

}  // namespace

namespace {

// The offset of the first rule that applies, before it is held in range.
long long RawDisplayOffset(const TDisplayZoneInputs& in) {
  const long long bias_hours = in.standard_bias_minutes / 60;  // truncated towards zero
  if (in.tz_override >= -23) return bias_hours + in.tz_override;
  if (!in.tz_field.empty()) return bias_hours + IntegerOrZero(in.tz_field);
  if (!in.gmt_offset.empty()) {
    const double hours = static_cast<double>(IntegerOrZero(in.gmt_offset)) / 3600.0 +
                         static_cast<double>(bias_hours);
    return std::llround(std::nearbyint(hours));
  }
  if (!in.tz_variable.empty()) {
    // A zone description such as "EST5EDT" or "GMT+01:00": the number after
    // the leading letters counts hours west of universal time.
    std::string zone = in.tz_variable;
    const size_t start = zone.find_first_of("0123456789+-");
    zone = start == std::string::npos ? std::string() : zone.substr(start);
    const size_t colon = zone.find(':');
    if (colon != std::string::npos) zone.resize(colon);
    return bias_hours - ParseInteger(zone, /*whole_text=*/false).value_or(0);
  }
  return 0;
}

}  // namespace

int ComputeDisplayOffset(const TDisplayZoneInputs& in) {
  // No zone lies more than a day away: a larger value (a mistyped tag or
  // field) would only move dates to years that cannot be shown.
  return static_cast<int>(
      std::clamp<long long>(RawDisplayOffset(in), -kMaxDisplayOffset, kMaxDisplayOffset));
}

namespace {

// std::llround for the hour numbers of valid dates (well inside the range
// where a double holds every integer exactly): the integer part is exact, and
// so is the fraction left, so a half rounds away from zero as there.
long long RoundHalfAway(double x) {
  long long whole = static_cast<long long>(x);
  const double rest = x - static_cast<double>(whole);
  if (rest >= 0.5) {
    ++whole;
  } else if (rest <= -0.5) {
    --whole;
  }
  return whole;
}

}  // namespace

TStatCounters ComputeCountersAt(const std::string& path, TDateTime now, int offset_hours) {
  // Bucket times lie on whole hours and the offset is whole hours, so every
  // comparison is made on whole hour numbers, free of rounding noise.
  const double q = now + offset_hours / 24.0;
  const long long q_ms = std::llround(q * kMsPerDay);
  const long long today = FloorDiv(q_ms, kMsPerDay);
  const long long hour_start = FloorDiv(q_ms, kMsPerHour);
  const double part = static_cast<double>(q_ms - hour_start * kMsPerHour) / kMsPerHour;

  // Everything the pass over the records changes, kept in one value that
  // each batch copies into a local and back, so that the loop keeps it in
  // registers.
  struct State {
    long long today = 0, d1 = 0, d7 = 0, d30 = 0, d365 = 0, top30 = 0, top365 = 0;
    long long top30_day, top365_day, first_day;
    long long day = 0;    // the day being summed
    long long total = 0;  // its hits so far
    // The first hour of the day being summed, once a record has opened it
    // (the day's first record also takes part in first_day).
    long long day_hour = std::numeric_limits<long long>::min() / 2;
  } state;
  state.top30_day = state.top365_day = state.first_day = today;

  const auto close_day = [q](State& s) {
    if (s.total > s.top30 && q - static_cast<double>(s.day) < 31) {
      s.top30 = s.total;
      s.top30_day = s.day;
    }
    if (s.total > s.top365 && q - static_cast<double>(s.day) < 366) {
      s.top365 = s.total;
      s.top365_day = s.day;
    }
  };
  // The oldest bucket of a window began before the window did: only the part
  // of that hour still inside the window counts, rounded half to even.
  const auto pro_rated = [part](long long count) {
    return static_cast<long long>(std::nearbyint((1.0 - part) * static_cast<double>(count)));
  };

  // Only the last 366 days (and a day's margin) count, apart from the first
  // record, which gives the first day: the file is read from its end.
  std::optional<THourRecord> first;
  const auto add_records = [&](std::span<const THourRecord> records) {
    // Everything the loop reads or changes is a local of its own, so that
    // the compiler keeps it in registers instead of loading it through the
    // captures for every record.
    State s = state;
    const long long offset = offset_hours, today_from = today * 24;
    // The first hour of each window; the oldest of them is pro-rated.
    const long long h1 = hour_start - 24, h7 = hour_start - 7 * 24, h30 = hour_start - 30 * 24,
                    h365 = hour_start - 365 * 24;
    for (const THourRecord& record : records) {
      // A damaged record whose time is no date at all (not a number, or
      // outside the years 1 to 9999) counts nowhere.
      if (!(record.Time >= kFirstValidDay && record.Time <= kLastValidDay)) continue;
      const long long hour = RoundHalfAway(record.Time * 24.0) + offset;
      const long long count = record.Hits;
      // Most records of a year lie before the last 30 days: they are tested
      // first.
      if (hour < h30) {
        if (hour >= h365) s.d365 += hour == h365 ? pro_rated(count) : count;
      } else if (hour < h7) {
        s.d30 += hour == h30 ? pro_rated(count) : count;
        s.d365 += count;
      } else if (hour < h1) {
        s.d7 += hour == h7 ? pro_rated(count) : count;
        s.d30 += count;
        s.d365 += count;
      } else {
        s.d1 += hour == h1 ? pro_rated(count) : count;
        if (hour >= today_from) {
          s.today += count;
          if (s.today > s.top30) {
            s.top30 = s.today;
            s.top30_day = today;
          }
          if (s.today > s.top365) {
            s.top365 = s.today;
            s.top365_day = today;
          }
        }
        s.d7 += count;
        s.d30 += count;
        s.d365 += count;
      }
      // Records come in time order: most lie in the day of the one before,
      // known without a division.
      if (static_cast<unsigned long long>(hour - s.day_hour) < 24) {
        s.total += count;
        continue;
      }
      const long long record_day = FloorDiv(hour, 24);
      if (record_day != s.day) {
        close_day(s);
        s.day = record_day;
        s.total = count;
      } else {
        s.total += count;
      }
      s.first_day = std::min(s.first_day, record_day);
      s.day_hour = record_day * 24;
    }
    state = s;
  };
  ForEachHourBatchSince(path, now - 367, add_records, &first);
  close_day(state);
  if (first) {
    state.first_day =
        std::min(state.first_day, FloorDiv(std::llround(first->Time * 24.0) + offset_hours, 24));
  }
  const State& sums = state;
  TStatCounters counters;
  counters.Top30Day = static_cast<double>(state.top30_day);
  counters.Top365Day = static_cast<double>(state.top365_day);

  auto clamp = [](long long value) {
    return static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
  };
  counters.HitsToday = clamp(sums.today);
  counters.Hits1D = clamp(sums.d1);
  counters.Hits7D = clamp(sums.d7);
  counters.Hits30D = clamp(sums.d30);
  counters.Hits365D = clamp(sums.d365);
  counters.Top30 = clamp(sums.top30);
  counters.Top365 = clamp(sums.top365);
  counters.FirstDay = static_cast<double>(state.first_day);
  return counters;
}

std::shared_ptr<const TVisitorList> BuildVisitorList(const VisitorFileContents& contents) {
  const int count = static_cast<int>(std::min<size_t>(contents.slots.size(), kVisitorSlots));
  auto list = std::make_shared<TVisitorList>();
  for (int k = 0; k < count; ++k) list->Visitors[k] = contents.slots[k];
  ArrangeVisitors(list.get(), count, contents.newest_slot);
  return list;
}

TSiteStatistic::TSiteStatistic(TComponent* owner)
    : TComponent(owner, "SiteStatistic"), resolver_(SystemResolver()) {
  if (!SiteStatistic) SiteStatistic = this;
}

TSiteStatistic::~TSiteStatistic() {
  if (SiteStatistic == this) SiteStatistic = nullptr;
}

TVisitorAppend TSiteStatistic::RecordHit(const THitRequest& request) {
  const std::string& referrer =
      request.referer_field == "unknown" ? request.referer : request.referer_field;
  const TVisitorRecord record = MakeVisitorRecord(
      Now(), referrer, StoredAgent(request.user_agent, kAgentSize), request.remote_addr);
  std::string error;
  const TVisitorAppend result =
      AppendVisitorTo(StatisticsBasePath() + ".stat1", record, /*resolve_host_name=*/true,
                      kRepeatWindow, request.remote_addr, request.remote_host, &error);
  if (result == TVisitorAppend::kDropped) ReportFailure("Visitor not recorded: " + error);
  if (result != TVisitorAppend::kRepeat) {
    try {
      AddHourlyHit(record);
    } catch (const std::exception& failure) {
      // Travels on to the request's error handling, which reports it.
      throw std::runtime_error(std::string("Hit not recorded: ") + failure.what());
    }
  }
  return result;
}

std::string TSiteStatistic::ResolveHostName(const std::string& address,
                                            const std::string& remote_host) {
  if (remote_host == "127.0.0.1" || address.empty()) return std::string();
  std::shared_ptr<Resolver> resolver;
  std::chrono::milliseconds deadline;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    resolver = resolver_;
    deadline = lookup_deadline_;
  }
  return LookupWithDeadline(std::move(resolver), address, deadline).value_or(std::string());
}

bool TSiteStatistic::AppendVisitor(const TVisitorRecord& record, bool resolve_host_name,
                                   double window, const std::string& lookup_address,
                                   const std::string& remote_host) {
  return AppendVisitorTo(StatisticsBasePath() + ".stat1", record, resolve_host_name, window,
                         lookup_address, remote_host) != TVisitorAppend::kRepeat;
}

TVisitorAppend TSiteStatistic::AppendVisitorTo(const std::string& path,
                                               const TVisitorRecord& record, bool resolve_host_name,
                                               double window, const std::string& lookup_address,
                                               const std::string& remote_host, std::string* error) {
  std::function<std::string()> resolve;
  std::function<std::optional<std::string>()> known;
  if (resolve_host_name) {
    const std::string address =
        lookup_address.empty() ? std::string(record.Address) : lookup_address;
    resolve = [this, address, remote_host] { return ResolveHostName(address, remote_host); };
    known = [this, address, remote_host]() -> std::optional<std::string> {
      if (remote_host == "127.0.0.1" || address.empty()) return std::string();
      std::shared_ptr<Resolver> resolver;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        resolver = resolver_;
      }
      return KnownHostName(resolver, address);
    };
  }
  return AppendVisitorToFile(path, record, resolve, window, error, known);
}

void TSiteStatistic::AddHourlyHit(const TVisitorRecord& record) {
  AddHourlyHitToFile(StatisticsBasePath() + ".stat2", record.Time);
}

void TSiteStatistic::LoadStatistics(bool load_visitors, bool compute_counters) {
  const std::string base = StatisticsBasePath();
  if (load_visitors) LoadVisitors(base + ".stat1");
  if (compute_counters) ComputeCounters(base + ".stat2");
}

void TSiteStatistic::LoadVisitors(const std::string& path) {
  // A long-lived process keeps the list it loaded while the file is in the
  // same state: one look at the file's stamp instead of reading 500 records.
  std::optional<VisitorFileStamp> known;
  {
    std::lock_guard<std::mutex> lock(VisitorMutex());
    if (LoadedVisitors() && LoadedStamp().path == path) known = LoadedStamp().stamp;
  }
  if (known) {
    const std::optional<VisitorFileStamp> now = ReadVisitorFileStamp(path);
    if (now && *now == *known) return;
  }
  // Decoded a batch at a time straight into the new list, then put in order.
  auto list = std::make_shared<TVisitorList>();
  int32_t newest = 0;
  int slots = 0;
  VisitorFileStamp stamp;
  const bool read = ForEachVisitorRecordBatch(
      path, &newest, &slots,
      [&](int first, const char* records, int count) {
        for (int k = 0; k < count && first + k < kVisitorSlots; ++k) {
          DecodeVisitorRecordInto(records + static_cast<size_t>(k) * kVisitorRecordSize,
                                  &list->Visitors[first + k]);
        }
      },
      &stamp);
  if (read) {
    ArrangeVisitors(list.get(), std::min(slots, kVisitorSlots), newest);
  } else if (slots > 0) {
    // A file that cannot be read whole gives an empty list.
    list = std::make_shared<TVisitorList>();
  }
  std::lock_guard<std::mutex> lock(VisitorMutex());
  LoadedVisitors() = std::move(list);
  LoadedStamp() = read ? StampedPath{path, stamp} : StampedPath{};
}

void TSiteStatistic::ComputeCounters(const std::string& path) {
  const TStatCounters counters = ComputeCountersAt(path, Now(), DisplayOffset());
  std::lock_guard<std::mutex> lock(mutex_);
  counters_ = counters;
}

TStatCounters TSiteStatistic::Counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

void TSiteStatistic::SetResolver(std::shared_ptr<Resolver> resolver) {
  std::lock_guard<std::mutex> lock(mutex_);
  resolver_ = std::move(resolver);
}

void TSiteStatistic::SetLookupDeadline(std::chrono::milliseconds deadline) {
  std::lock_guard<std::mutex> lock(mutex_);
  lookup_deadline_ = deadline;
}

std::shared_ptr<const TVisitorList> Visitors() {
  std::lock_guard<std::mutex> lock(VisitorMutex());
  if (!LoadedVisitors()) LoadedVisitors() = std::make_shared<const TVisitorList>();
  return LoadedVisitors();
}

int32_t VisitorCount() { return Visitors()->VisitorCount; }

int TzOverride() { return tz_override; }
void SetTzOverride(int hours) { tz_override = hours; }

bool StatsPending() { return stats_pending; }
void SetStatsPending(bool pending) { stats_pending = pending; }

}  // namespace vantora
