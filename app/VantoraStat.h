// The statistics module: records one hit per counting request into the two
// statistics files (app/VantoraStatFiles.h) and loads them back into the hit
// counters and the list of the last visitors.
//
// Threads: one process may serve several requests at once (library and
// server-thread modes).  The counters and the visitor list are published as
// whole snapshots under a mutex, so a reader never sees them half-written.
// TzOverride and StatsPending belong to the request being served: every
// request sets them at its start, and they are kept per serving thread so
// that overlapping requests do not change each other's display zone.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "app/VantoraStatFiles.h"
#include "platform/Component.h"
#include "platform/DateTime.h"
#include "platform/Resolver.h"

namespace vantora {

// The window in which the same address and user agent count once: 30 minutes.
inline constexpr double kRepeatWindow = 1.0 / 48;
// How long a reverse lookup may take before the hit is stored without a name.
inline constexpr std::chrono::milliseconds kLookupDeadline{5000};
// TzOverride's value when no "TZ" tag has set it.
inline constexpr int kNoTzOverride = -100;

// The hit counters, display-zone values of one computation.
struct TStatCounters {
  int32_t HitsToday = 0;
  int32_t Hits1D = 0;
  int32_t Hits7D = 0;
  int32_t Hits30D = 0;
  int32_t Hits365D = 0;
  int32_t Top30 = 0;
  int32_t Top365 = 0;
  TDateTime FirstDay = 0;
  TDateTime Top30Day = 0;
  TDateTime Top365Day = 0;
};

// The loaded visitor list: the first VisitorCount slots of Visitors are the
// last visitors, newest first; the other slots have Time 0.
struct TVisitorList {
  // Each slot made empty by its own constructor: a made list is not first
  // cleared byte by byte as well.
  TVisitorList() noexcept {}  // NOLINT(modernize-use-equals-default)
  std::array<TVisitorRecord, kVisitorSlots> Visitors;
  int32_t VisitorCount = 0;
};

// The values of a request that recording a hit reads.
struct THitRequest {
  std::string user_agent;
  std::string remote_addr;                // full address (IPv6 too); stored cut to 16
  std::string remote_host;                // "127.0.0.1" means: no lookup
  std::string referer_field = "unknown";  // the "referer" form field, "unknown" when absent
  std::string referer;                    // the request's own referrer variable
};

// The inputs of the display offset, in the order its rules are tried.
struct TDisplayZoneInputs {
  int tz_override = kNoTzOverride;
  std::string tz_field;           // form field "TZ"
  std::string gmt_offset;         // request variable "GMT_OFFSET", seconds east
  std::string tz_variable;        // request variable "TZ", hours west
  int standard_bias_minutes = 0;  // universal = local + bias, daylight saving not counted
};

// The display offset is held within this many hours either way.
inline constexpr int kMaxDisplayOffset = 24;

// Hours to add to server local time to get display time (see DisplayOffset),
// held within -kMaxDisplayOffset .. kMaxDisplayOffset.
int ComputeDisplayOffset(const TDisplayZoneInputs& inputs);

// The counters of the hourly file at path as of `now` (server local time),
// shown in a zone offset_hours from server time.  A missing file gives zero
// counters and today for the three dates.
TStatCounters ComputeCountersAt(const std::string& path, TDateTime now, int offset_hours);

// The visitor list made from a visitor file's records, sorted newest first.
std::shared_ptr<const TVisitorList> BuildVisitorList(const VisitorFileContents& contents);

class TSiteStatistic : public TComponent {
 public:
  // The first module created becomes SiteStatistic.
  explicit TSiteStatistic(TComponent* owner);
  ~TSiteStatistic() override;

  // Records a hit of the request served on the calling thread (through the
  // engine's free routines).  Throws when the hourly file cannot be updated.
  void RecordHit();
  // Records a hit with the given request values, at the present moment, and
  // tells what became of it: kRepeat (not counted), kStored, or kDropped
  // (counted, but the visitor file stayed held or failed, so the visitor is
  // not listed; reported with ReportFailure).  Throws "Hit not recorded: "
  // and the reason when the hourly file cannot be updated.
  TVisitorAppend RecordHit(const THitRequest& request);

  // The host name of a visitor's address, empty when unknown.  No lookup when
  // the present request's remote host is "127.0.0.1"; the lookup waits at most
  // the lookup deadline.
  std::string ResolveHostName(const std::string& address);
  std::string ResolveHostName(const std::string& address, const std::string& remote_host);

  // Loads the visitor list and/or computes the counters from the files named
  // by StatisticsBasePath().
  void LoadStatistics(bool load_visitors, bool compute_counters);
  void LoadVisitors(const std::string& path);
  void ComputeCounters(const std::string& path);

  // Hours to add to server local time to get display time, from TzOverride,
  // then the present request's field "TZ", variable "GMT_OFFSET", variable
  // "TZ"; 0 when none is given.
  int DisplayOffset();

  // Appends a visitor to the visitor file unless it repeats one within window
  // days; returns whether the hit counts.  The lookup, when asked for, uses
  // lookup_address (the full remote address) or else record.Address.
  bool AppendVisitor(const TVisitorRecord& record, bool resolve_host_name, double window,
                     const std::string& lookup_address = std::string(),
                     const std::string& remote_host = std::string());
  // Counts one hit in the hour of record.Time.
  void AddHourlyHit(const TVisitorRecord& record);

  // The counters of the last computation.
  TStatCounters Counters() const;
  int32_t HitsToday() const { return Counters().HitsToday; }
  int32_t Hits1D() const { return Counters().Hits1D; }
  int32_t Hits7D() const { return Counters().Hits7D; }
  int32_t Hits30D() const { return Counters().Hits30D; }
  int32_t Hits365D() const { return Counters().Hits365D; }
  int32_t Top30() const { return Counters().Top30; }
  int32_t Top365() const { return Counters().Top365; }
  TDateTime FirstDay() const { return Counters().FirstDay; }
  TDateTime Top30Day() const { return Counters().Top30Day; }
  TDateTime Top365Day() const { return Counters().Top365Day; }

  // AppendVisitor with the full answer.
  TVisitorAppend AppendVisitorTo(const std::string& path, const TVisitorRecord& record,
                                 bool resolve_host_name, double window,
                                 const std::string& lookup_address, const std::string& remote_host,
                                 std::string* error = nullptr);

  // The resolver seam (tests): the resolver and the lookup deadline.
  void SetResolver(std::shared_ptr<Resolver> resolver);
  void SetLookupDeadline(std::chrono::milliseconds deadline);

 private:
  mutable std::mutex mutex_;
  TStatCounters counters_;
  std::shared_ptr<Resolver> resolver_;
  std::chrono::milliseconds lookup_deadline_ = kLookupDeadline;
};

// The statistics module of the program (null before it is created).
extern TSiteStatistic* SiteStatistic;

// The loaded visitor list (never null; empty before the first load).
std::shared_ptr<const TVisitorList> Visitors();
int32_t VisitorCount();

// The display-zone override in hours set by a "TZ" tag, kNoTzOverride for
// none; per serving thread.
int TzOverride();
void SetTzOverride(int hours);

// Set at the start of each request, cleared once its statistics are loaded;
// per serving thread.
bool StatsPending();
void SetStatsPending(bool pending);

}  // namespace vantora
