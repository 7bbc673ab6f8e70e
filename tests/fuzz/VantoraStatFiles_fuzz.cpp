// Fuzz target for the statistics files: arbitrary bytes as the visitor file
// and the hourly file, read into the visitor list and the counters, then one
// more hit appended to each.  Readers must take any bytes; appends must
// leave whole files that read back with the new hit as the newest.
//
// Input: the visitor file's bytes, a zero byte, the hourly file's bytes.

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "app/VantoraStat.h"
#include "app/VantoraStatFiles.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace vantora;

constexpr size_t kMaxInput = 1 << 18;

long long FileSize(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  const std::string& folder = fuzz::Folder();
  const auto parts = fuzz::SplitAtZeros<2>(data, size);
  const std::string visitors = folder + "/vantora.stat1";
  const std::string hours = folder + "/vantora.stat2";
  fuzz::Check(fuzz::WriteFile(visitors, parts[0]));
  fuzz::Check(fuzz::WriteFile(hours, parts[1]));

  // 2026-12-09 14:15 server time.
  const TDateTime now = EncodeDate(2026, 12, 9) + 14.25 / 24;

  const VisitorFileContents contents = ReadVisitorFile(visitors);
  fuzz::Check(contents.slots.size() <= static_cast<size_t>(kVisitorSlots));
  fuzz::Check(contents.slots.empty() ||
              (contents.newest_slot >= 0 &&
               static_cast<size_t>(contents.newest_slot) < contents.slots.size()));
  const auto list = BuildVisitorList(contents);
  fuzz::Check(list->VisitorCount == static_cast<int32_t>(contents.slots.size()));
  for (int k = 1; k < kVisitorSlots; ++k) {
    fuzz::Check(!(list->Visitors[k].Time > list->Visitors[k - 1].Time));
  }

  size_t records = 0;
  ForEachHourRecord(hours, [&](const THourRecord&) { ++records; });
  fuzz::Check(records == parts[1].size() / kHourRecordSize);
  for (int offset : {-24, 0, 13}) {
    const TStatCounters counters = ComputeCountersAt(hours, now, offset);
    fuzz::Check(std::isfinite(counters.FirstDay) && std::isfinite(counters.Top30Day) &&
                std::isfinite(counters.Top365Day));
    const double today = std::floor(now + offset / 24.0);
    fuzz::Check(counters.FirstDay <= today);
  }

  // One more hit on whatever the files hold.
  const TVisitorRecord record =
      MakeVisitorRecord(now, "http://fuzz.example/", "Fuzz/1", "10.9.8.7");
  const TVisitorAppend appended = AppendVisitorToFile(visitors, record, nullptr, 1.0 / 48);
  fuzz::Check(appended != TVisitorAppend::kDropped);
  const long long visitor_size = FileSize(visitors);
  fuzz::Check(visitor_size >= kVisitorHeaderSize + kVisitorRecordSize &&
              visitor_size <= kFullVisitorFileSize &&
              (visitor_size - kVisitorHeaderSize) % kVisitorRecordSize == 0);
  if (appended == TVisitorAppend::kStored) {
    const VisitorFileContents after = ReadVisitorFile(visitors);
    fuzz::Check(!after.slots.empty());
    const TVisitorRecord& newest = after.slots[static_cast<size_t>(after.newest_slot)];
    fuzz::Check(newest.Address == "10.9.8.7" && newest.Agent == "Fuzz/1" && newest.Time == now);
  }
  try {
    AddHourlyHitToFile(hours, now);
  } catch (const std::runtime_error&) {
    abort();  // a regular file in a writable folder is always updated
  }
  fuzz::Check(FileSize(hours) % kHourRecordSize == 0 && FileSize(hours) > 0);
  bool found = false;
  ForEachHourRecord(hours, [&](const THourRecord& hour) {
    if (std::fabs(hour.Time - HourStart(now)) <= 0.001 && hour.Hits >= 1) found = true;
  });
  fuzz::Check(found);
  fuzz::DropLog();
  return 0;
}
