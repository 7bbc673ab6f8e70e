#include "app/VantoraStatFiles.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <thread>

#include "app/VantoraStatRing.h"
#include "engine/HttpEngRoutines.h"
#include "platform/Coding.h"
#include "platform/KeptFile.h"
#include "platform/LockedFile.h"
#include "platform/Paths.h"

namespace vantora {
namespace {

// Threads of one process take turns on the statistics files here, before
// they take the file lock: flock() refuses a second open of the same file in
// the same process just as it refuses another process, and a refused open
// pauses 90 or 100 ms before it tries again.  Other processes are still kept
// apart by the file locks alone.
std::shared_mutex& VisitorFileTurn() {
  static std::shared_mutex mutex;
  return mutex;
}
std::mutex& HourFileTurn() {
  static std::mutex mutex;
  return mutex;
}

// The statistics files as this process keeps them open between appends,
// each guarded by its turn (the visitor file's held exclusively).
KeptFile& KeptVisitorFile() {
  static KeptFile file;
  return file;
}
KeptFile& KeptHourFile() {
  static KeptFile file;
  return file;
}

constexpr int kVisitorAttempts = 3;
constexpr int kVisitorPauseMs = 90;
constexpr int kHourAttempts = 3;
constexpr int kHourPauseMs = 100;
// Two hour starts closer than this (in days) are the same hour.
constexpr double kSameHour = 0.001;
// Records read at once by the backward reader of the hourly file (24 KB: a
// year of hours in five reads each way), and handed to its visitor at once.
constexpr off_t kBackwardBatch = 2048;
constexpr off_t kVisitBatch = 512;

// Offsets of the visitor record's fields.
constexpr int kTimeOffset = 0;
constexpr int kReferrerOffset = 8;
constexpr int kAgentOffset = 89;
constexpr int kAddressOffset = 154;
constexpr int kHostNameOffset = 171;

void EncodeText(std::string_view text, size_t size, char* dst) {
  const size_t length = std::min(text.size(), size);
  dst[0] = static_cast<char>(length);
  std::memset(dst + 1, 0, size);
  std::memcpy(dst + 1, text.data(), length);
}

long long Milliseconds(double days) { return std::llround(days * kMillisecondsPerDay); }

// kBusy: another process held the file for the whole wait.
enum class Repeat { kNo, kYes, kError, kBusy };

// True when the text fields at offset of two encoded records hold the same
// text (length included).
bool SameText(const char* a, const char* b, size_t size) {
  const size_t length_a = std::min<size_t>(static_cast<unsigned char>(a[0]), size);
  const size_t length_b = std::min<size_t>(static_cast<unsigned char>(b[0]), size);
  return length_a == length_b && std::memcmp(a + 1, b + 1, length_a) == 0;
}

// The process's copy of the visitor file's records, for the repeat test of
// appends.  Guarded by VisitorFileTurn(), held exclusively.
VisitorRingCopy& RingCopy() {
  static VisitorRingCopy* copy = new VisitorRingCopy();
  return *copy;
}

// The visitor appends this process has begun.  Guarded by VisitorFileTurn(),
// held exclusively.  A process keeps a copy of the ring only from its second
// append on: a CGI process appends once, and reading the whole ring (106,000
// bytes, and as many fresh pages of memory) would cost it more than the rest
// of its request, while the repeat test needs only the records inside the
// window.  A process that serves many requests pays that read once.
int appends_begun = 0;

// The ring's records read from the file from the newest backwards, a batch
// of slots at a time, for a repeat test without a copy.
class BackwardRecords {
 public:
  explicit BackwardRecords(const LockedFile& file) : file_(file) {}
  BackwardRecords(const BackwardRecords&) = delete;
  BackwardRecords& operator=(const BackwardRecords&) = delete;

  // The encoded record of slot, read with the slots before it that the
  // batch holds; null on a read error.
  const char* Record(int slot) {
    if (slot < first_ || slot >= first_ + count_) {
      const int first = std::max(0, slot - kBatch + 1);
      const int count = slot - first + 1;
      const size_t bytes = static_cast<size_t>(count) * kVisitorRecordSize;
      if (file_.ReadAt(buffer_, bytes, VisitorSlotOffset(first)) != static_cast<ssize_t>(bytes)) {
        count_ = 0;
        return nullptr;
      }
      first_ = first;
      count_ = count;
    }
    return buffer_ + static_cast<size_t>(slot - first_) * kVisitorRecordSize;
  }

 private:
  static constexpr int kBatch = 16;
  const LockedFile& file_;
  int first_ = 0;
  int count_ = 0;
  char buffer_[kBatch * kVisitorRecordSize];
};

// Examines the stored records from the newest towards older ones until the
// first one that lies before the window.  Works on the encoded bytes, so the
// scan of a busy ring costs no allocations.  record_at(slot) gives a slot's
// encoded record, or null when it cannot be read (then kError).
template <typename RecordAt>
Repeat FindRepeat(const VisitorRing& ring, const TVisitorRecord& record, double window,
                  RecordAt&& record_at) {
  const long long window_ms = Milliseconds(window);
  // Records more than a millisecond inside the window need no rounding to
  // tell: most of a busy ring is.
  const double surely_inside = window - 1.0 / kMillisecondsPerDay;
  char encoded[kVisitorRecordSize];
  EncodeVisitorRecord(record, encoded);
  int slot = ring.newest;
  for (int examined = 0; examined < ring.slots; ++examined) {
    const char* stored = record_at(slot);
    if (stored == nullptr) return Repeat::kError;
    const double age = record.Time - DecodeDouble(stored + kTimeOffset);
    if (!(age < surely_inside) && Milliseconds(age) > window_ms) return Repeat::kNo;
    if (SameText(stored + kAddressOffset, encoded + kAddressOffset, kAddressSize) &&
        SameText(stored + kAgentOffset, encoded + kAgentOffset, kAgentSize)) {
      return Repeat::kYes;
    }
    slot = slot == 0 ? ring.slots - 1 : slot - 1;
  }
  return Repeat::kNo;
}

// One locked look at the visitor file: takes it with the exclusive lock
// (waiting for another holder as long as the pauses between all attempts
// would last), repairs a torn tail, brings the copy of its records up to date
// when the process keeps one (keep_copy) and runs the repeat test.  The
// caller releases the kept file.
// REQUIRES: VisitorFileTurn() held exclusively.
Repeat LockAndTest(const std::string& path, const TVisitorRecord& record, double window,
                   bool keep_copy, VisitorRing* ring, std::string* error) {
  KeptFile& kept = KeptVisitorFile();
  const OpenStatus status = kept.Take(path, O_RDWR | O_CREAT, 0644, ShareLock::kExclusive,
                                      kVisitorAttempts, kVisitorPauseMs, error);
  const LockedFile* file = &kept.file();
  if (status == OpenStatus::kBusy) {
    *error = "held by another process: " + path;
    return Repeat::kBusy;
  }
  if (status != OpenStatus::kOk) return Repeat::kError;
  Repeat repeat = Repeat::kError;
  if (InspectRing(*file, path, /*repair=*/true, ring)) {
    if (keep_copy) {
      if (RingCopy().Update(*file, *ring)) {
        const VisitorRingCopy& copy = RingCopy();
        repeat = FindRepeat(*ring, record, window, [&copy](int slot) { return copy.Record(slot); });
      }
    } else {
      BackwardRecords records(*file);
      repeat =
          FindRepeat(*ring, record, window, [&records](int slot) { return records.Record(slot); });
    }
  }
  if (repeat == Repeat::kError) *error = "cannot read " + path + ": " + std::strerror(errno);
  return repeat;
}

}  // namespace

TVisitorRecord MakeVisitorRecord(TDateTime time, std::string_view referrer, std::string_view agent,
                                 std::string_view address, std::string_view host_name) {
  TVisitorRecord record;
  record.Time = time;
  record.Referrer = referrer;
  record.Agent = agent;
  record.Address = address;
  record.HostName = host_name;
  return record;
}

void EncodeVisitorRecord(const TVisitorRecord& record, char* dst) {
  EncodeDouble(dst + kTimeOffset, record.Time);
  EncodeText(record.Referrer, kReferrerSize, dst + kReferrerOffset);
  EncodeText(record.Agent, kAgentSize, dst + kAgentOffset);
  EncodeText(record.Address, kAddressSize, dst + kAddressOffset);
  EncodeText(record.HostName, kHostNameSize, dst + kHostNameOffset);
}

TVisitorRecord DecodeVisitorRecord(const char* src) {
  TVisitorRecord record;
  DecodeVisitorRecordInto(src, &record);
  return record;
}

void DecodeVisitorRecordInto(const char* src, TVisitorRecord* record) {
  record->Time = DecodeDouble(src + kTimeOffset);
  // A damaged time that is not a number reads as an empty slot, so sorting
  // and comparing stay well defined.
  if (!std::isfinite(record->Time)) record->Time = 0;
  record->Referrer.read_field(src + kReferrerOffset);
  record->Agent.read_field(src + kAgentOffset);
  record->Address.read_field(src + kAddressOffset);
  record->HostName.read_field(src + kHostNameOffset);
}

void EncodeHourRecord(const THourRecord& record, char* dst) {
  EncodeDouble(dst, record.Time);
  EncodeFixed32(dst + 8, static_cast<uint32_t>(record.Hits));
}

TDateTime HourStart(TDateTime t) {
  // Whole milliseconds of the day, so that a time lying exactly on the hour
  // is never taken for the end of the hour before.
  const double day = std::floor(t);
  const long long ms = Milliseconds(t - day);
  return day + static_cast<double>(ms / 3600000) / 24.0;
}

std::string StatisticsBasePath(const std::string& module_file_name) {
  std::string upper = module_file_name;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  const size_t filter = upper.find("FILTER");
  const std::string cut =
      filter == std::string::npos ? module_file_name : module_file_name.substr(0, filter);
  return ChangeFileExt(cut, "");
}

std::string StatisticsBasePath() { return StatisticsBasePath(ModuleFileName()); }

TVisitorAppend AppendVisitorToFile(
    const std::string& path, const TVisitorRecord& record_in,
    const std::function<std::string()>& resolve_host_name, double window, std::string* error_out,
    const std::function<std::optional<std::string>()>& known_host_name) {
  std::string error;
  TVisitorRecord record = MakeVisitorRecord(record_in.Time, record_in.Referrer, record_in.Agent,
                                            record_in.Address, record_in.HostName);
  bool looked_up = !resolve_host_name;
  bool keep_copy = false;
  for (int attempt = 0; attempt < kVisitorAttempts; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(kVisitorPauseMs));
    std::unique_lock<std::shared_mutex> turn(VisitorFileTurn());
    // However the attempt ends, the file's lock goes while the turn is held:
    // the kept file belongs to whoever holds the turn.
    struct ReleaseInTurn {
      const std::unique_lock<std::shared_mutex>& turn;
      ~ReleaseInTurn() {
        if (turn.owns_lock()) KeptVisitorFile().Release();
      }
    } release{turn};
    const LockedFile& file = KeptVisitorFile().file();
    if (attempt == 0) keep_copy = appends_begun++ > 0;
    VisitorRing ring;
    Repeat repeat = LockAndTest(path, record, window, keep_copy, &ring, &error);
    if (repeat == Repeat::kYes) return TVisitorAppend::kRepeat;
    if (repeat == Repeat::kBusy) break;  // the whole wait is spent
    if (repeat == Repeat::kError) continue;
    if (!looked_up && known_host_name) {
      // A name known at once needs no letting go of the file.
      if (std::optional<std::string> known = known_host_name()) {
        record.HostName = *known;  // cut to the field
        looked_up = true;
      }
    }
    if (!looked_up) {
      // The lookup may take seconds: never hold the file meanwhile.  Another
      // process may append the same visitor in that time, so test again.
      KeptVisitorFile().Release();
      turn.unlock();
      record.HostName = resolve_host_name();
      looked_up = true;
      turn.lock();
      repeat = LockAndTest(path, record, window, keep_copy, &ring, &error);
      if (repeat == Repeat::kYes) return TVisitorAppend::kRepeat;
      if (repeat == Repeat::kBusy) break;
      if (repeat == Repeat::kError) continue;
    }
    const int slot = ring.slots == 0 ? 0 : (ring.newest + 1) % kVisitorSlots;
    char bytes[kVisitorRecordSize];
    EncodeVisitorRecord(record, bytes);
    char header[kVisitorHeaderSize];
    EncodeFixed32(header, static_cast<uint32_t>(slot));
    // The record goes first: a process killed before the index is written
    // leaves the index on the previous newest record.
    if (!file.WriteAt(bytes, sizeof bytes, VisitorSlotOffset(slot)) ||
        !file.WriteAt(header, sizeof header, 0)) {
      error = "cannot write " + path + ": " + std::strerror(errno);
      RingCopy().Forget();
      continue;
    }
    if (keep_copy) RingCopy().Stored(slot, bytes, &ring);
    return TVisitorAppend::kStored;
  }
  if (error_out) *error_out = error;
  return TVisitorAppend::kDropped;
}

void ForgetVisitorAppends() {
  std::unique_lock<std::shared_mutex> turn(VisitorFileTurn());
  appends_begun = 0;
  RingCopy().Forget();
}

void AddHourlyHitToFile(const std::string& path, TDateTime time) {
  std::lock_guard<std::mutex> turn(HourFileTurn());
  KeptFile& kept = KeptHourFile();
  KeptFileUse use(kept);
  const LockedFile& file = kept.file();
  std::string error;
  const OpenStatus status = kept.Take(path, O_RDWR | O_CREAT, 0644, ShareLock::kExclusive,
                                      kHourAttempts, kHourPauseMs, &error);
  if (status == OpenStatus::kBusy) {
    throw std::runtime_error("Hourly statistics file held by another process: " + path);
  }
  if (status != OpenStatus::kOk) {
    throw std::runtime_error("Cannot open hourly statistics file: " + error);
  }
  off_t size = file.opened_status().st_size;
  if (size % kHourRecordSize != 0) {
    const off_t torn = size % kHourRecordSize;
    size -= torn;
    if (!file.Truncate(size)) {
      throw std::runtime_error("Cannot repair hourly statistics file: " + path);
    }
    ReportFailure("Hourly statistics file repaired: torn tail of " + std::to_string(torn) +
                  " bytes cut off " + path);
  }
  const TDateTime hour = HourStart(time);
  const int tail = static_cast<int>(std::min<off_t>(size / kHourRecordSize, kHourTailRecords));
  const off_t tail_offset = size - static_cast<off_t>(tail) * kHourRecordSize;
  char buffer[kHourTailRecords * kHourRecordSize];
  const size_t tail_bytes = static_cast<size_t>(tail) * kHourRecordSize;
  if (file.ReadAt(buffer, tail_bytes, tail_offset) != static_cast<ssize_t>(tail_bytes)) {
    throw std::runtime_error("Cannot read hourly statistics file: " + path);
  }
  THourRecord target{hour, 1};
  off_t target_offset = size;
  for (int k = tail - 1; k >= 0; --k) {
    const THourRecord stored = DecodeHourRecord(buffer + k * kHourRecordSize);
    if (std::fabs(hour - stored.Time) <= kSameHour) {
      // A count that has reached the largest value a record holds stays
      // there rather than turning negative; a count below 1 (only in a
      // damaged file) starts again from this hit.
      const int32_t hits = stored.Hits < 1           ? 1
                           : stored.Hits < INT32_MAX ? stored.Hits + 1
                                                     : INT32_MAX;
      target = THourRecord{stored.Time, hits};
      target_offset = tail_offset + static_cast<off_t>(k) * kHourRecordSize;
      break;
    }
    if (stored.Time < hour) break;  // an earlier hour: ours is not stored yet
  }
  char bytes[kHourRecordSize];
  EncodeHourRecord(target, bytes);
  if (!file.WriteAt(bytes, sizeof bytes, target_offset)) {
    throw std::runtime_error("Cannot write hourly statistics file: " + path);
  }
}

namespace {

// The stamp's file part, from the status taken when the file was locked.
void StampFile(const LockedFile& file, const VisitorRing& ring, VisitorFileStamp* stamp) {
  const struct stat& status = file.opened_status();
  stamp->device = status.st_dev;
  stamp->inode = status.st_ino;
  stamp->size = status.st_size;
  stamp->modified_ns =
      static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
  stamp->newest = ring.newest;
  stamp->newest_record.fill('\0');
}

}  // namespace

std::optional<VisitorFileStamp> ReadVisitorFileStamp(const std::string& path) {
  std::shared_lock<std::shared_mutex> turn(VisitorFileTurn());
  LockedFile file;
  if (file.OpenWithRetry(path, O_RDONLY, 0, ShareLock::kShared, kVisitorAttempts,
                         kVisitorPauseMs) != OpenStatus::kOk) {
    return std::nullopt;
  }
  VisitorRing ring;
  if (!InspectRing(file, path, /*repair=*/false, &ring)) return std::nullopt;
  VisitorFileStamp stamp;
  StampFile(file, ring, &stamp);
  if (ring.slots > 0 && file.ReadAt(stamp.newest_record.data(), kVisitorRecordSize,
                                    VisitorSlotOffset(ring.newest)) != kVisitorRecordSize) {
    return std::nullopt;
  }
  return stamp;
}

bool ForEachVisitorRecordBatch(const std::string& path, int32_t* newest_slot, int* slots,
                               const std::function<void(int, const char*, int)>& visit,
                               VisitorFileStamp* stamp) {
  *newest_slot = 0;
  *slots = 0;
  std::shared_lock<std::shared_mutex> turn(VisitorFileTurn());
  LockedFile file;
  if (file.OpenWithRetry(path, O_RDONLY, 0, ShareLock::kShared, kVisitorAttempts,
                         kVisitorPauseMs) != OpenStatus::kOk) {
    return false;
  }
  VisitorRing ring;
  if (!InspectRing(file, path, /*repair=*/false, &ring)) return false;
  *newest_slot = ring.newest;
  *slots = ring.slots;
  if (stamp != nullptr) StampFile(file, ring, stamp);
  // A few pages on the stack, used again for every batch, instead of the
  // hundred kilobytes of fresh memory that the whole ring would take.
  constexpr int kBatch = 48;
  char batch[kBatch * kVisitorRecordSize];
  for (int first = 0; first < ring.slots; first += kBatch) {
    const int count = std::min(kBatch, ring.slots - first);
    const size_t bytes = static_cast<size_t>(count) * kVisitorRecordSize;
    if (file.ReadAt(batch, bytes,
                    kVisitorHeaderSize + static_cast<off_t>(first) * kVisitorRecordSize) !=
        static_cast<ssize_t>(bytes)) {
      return false;
    }
    if (stamp != nullptr && ring.newest >= first && ring.newest < first + count) {
      std::memcpy(stamp->newest_record.data(),
                  batch + static_cast<size_t>(ring.newest - first) * kVisitorRecordSize,
                  kVisitorRecordSize);
    }
    visit(first, batch, count);
  }
  return true;
}

VisitorFileContents ReadVisitorFile(const std::string& path) {
  VisitorFileContents contents;
  int slots = 0;
  const bool read = ForEachVisitorRecordBatch(
      path, &contents.newest_slot, &slots, [&](int first, const char* batch, int count) {
        if (first == 0) contents.slots.reserve(static_cast<size_t>(slots));
        for (int k = 0; k < count; ++k) {
          contents.slots.push_back(
              DecodeVisitorRecord(batch + static_cast<size_t>(k) * kVisitorRecordSize));
        }
      });
  // A file that cannot be read whole reads as empty.
  return read ? contents : VisitorFileContents();
}

bool ForEachHourRecord(const std::string& path,
                       const std::function<void(const THourRecord&)>& visit) {
  LockedFile file;
  if (file.Open(path, O_RDONLY, 0, ShareLock::kNone) != OpenStatus::kOk) return false;
  // Records appended while the file is read are left for the next reader:
  // the read ends at the size the file had when it was opened.
  const off_t end = file.Size();
  if (end < 0) return false;
  constexpr size_t kChunkRecords = 4096;
  std::string buffer(kChunkRecords * kHourRecordSize, '\0');
  off_t offset = 0;
  while (offset < end) {
    const size_t want =
        static_cast<size_t>(std::min<off_t>(static_cast<off_t>(buffer.size()), end - offset));
    const ssize_t got = file.ReadAt(buffer.data(), want, offset);
    if (got <= 0) break;
    const size_t records = static_cast<size_t>(got) / kHourRecordSize;
    for (size_t k = 0; k < records; ++k)
      visit(DecodeHourRecord(buffer.data() + k * kHourRecordSize));
    if (static_cast<size_t>(got) < want) break;
    offset += got;
  }
  return true;
}

bool ForEachHourBatchSince(const std::string& path, TDateTime earliest,
                           const std::function<void(std::span<const THourRecord>)>& visit,
                           std::optional<THourRecord>* first) {
  if (first != nullptr) first->reset();
  LockedFile file;
  if (file.Open(path, O_RDONLY, 0, ShareLock::kNone) != OpenStatus::kOk) return false;
  const off_t size = file.Size();
  if (size < 0) return false;
  const off_t records = size / kHourRecordSize;

  // Batches from the end backwards, newest batch first, until the records to
  // visit begin; the visit reads them again in file order, so that one
  // batch of memory serves the whole window (a year of hours would take a
  // hundred kilobytes of fresh pages).
  std::string batch(static_cast<size_t>(std::min(kBackwardBatch, records)) * kHourRecordSize, '\0');
  off_t start = records;
  size_t begin_in_oldest = 0;
  int older_in_a_row = 0;
  bool reached = false;
  while (start > 0 && !reached) {
    const off_t count = std::min(kBackwardBatch, start);
    start -= count;
    const size_t bytes = static_cast<size_t>(count) * kHourRecordSize;
    if (file.ReadAt(batch.data(), bytes, start * kHourRecordSize) != static_cast<ssize_t>(bytes)) {
      return false;
    }
    begin_in_oldest = 0;
    // Most batches lie wholly inside the window: one pass without an early
    // way out tells so, and the walk below is needed only for the batch
    // where the window begins.  A batch with no record older than earliest
    // leaves the run of older records broken if it holds any date at all.
    bool any_date = false;
    bool any_older = false;
    for (off_t k = 0; k < count; ++k) {
      const double time = DecodeDouble(batch.data() + k * kHourRecordSize);
      const bool date = IsRecordDate(time);
      any_date |= date;
      any_older |= date && time < earliest;
    }
    if (!any_older) {
      if (any_date) older_in_a_row = 0;
      continue;
    }
    for (off_t k = count - 1; k >= 0; --k) {
      const double time = DecodeDouble(batch.data() + k * kHourRecordSize);
      if (!IsRecordDate(time)) continue;  // a damaged record says nothing of the order
      if (time >= earliest) {
        older_in_a_row = 0;
      } else if (++older_in_a_row == kHourOrderSlack) {
        begin_in_oldest = static_cast<size_t>(k);
        reached = true;
        break;
      }
    }
  }
  const off_t visited_from = start + static_cast<off_t>(begin_in_oldest);

  // The first record of the file: "counting since" needs it however long
  // the history is.  It is usually record 0; from visited_from on it is the
  // first date the visit meets.
  bool first_in_visit = false;
  if (first != nullptr) {
    char bytes[kHourRecordSize];
    for (off_t k = 0; k < records; ++k) {
      if (k == visited_from) {
        first_in_visit = true;
        break;
      }
      if (file.ReadAt(bytes, sizeof bytes, k * kHourRecordSize) != sizeof bytes) return false;
      const THourRecord record = DecodeHourRecord(bytes);
      if (IsRecordDate(record.Time)) {
        *first = record;
        break;
      }
    }
  }

  std::vector<THourRecord> decoded(static_cast<size_t>(std::min(kVisitBatch, records)));
  for (off_t at = visited_from; at < records;) {
    const off_t count = std::min(kBackwardBatch, records - at);
    const size_t bytes = static_cast<size_t>(count) * kHourRecordSize;
    if (file.ReadAt(batch.data(), bytes, at * kHourRecordSize) != static_cast<ssize_t>(bytes)) {
      return false;
    }
    for (off_t part = 0; part < count; part += kVisitBatch) {
      const off_t part_count = std::min(kVisitBatch, count - part);
      const char* const from = batch.data() + part * kHourRecordSize;
      off_t r = 0;
      for (; first_in_visit && r < part_count; ++r) {
        const THourRecord record = DecodeHourRecord(from + r * kHourRecordSize);
        if (IsRecordDate(record.Time)) {
          *first = record;
          first_in_visit = false;
        }
        decoded[static_cast<size_t>(r)] = record;
      }
      for (; r < part_count; ++r) {
        decoded[static_cast<size_t>(r)] = DecodeHourRecord(from + r * kHourRecordSize);
      }
      visit(std::span<const THourRecord>(decoded.data(), static_cast<size_t>(part_count)));
    }
    at += count;
  }
  return true;
}

}  // namespace vantora
