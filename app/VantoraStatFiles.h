// The two statistics files beside the program file and their records.
//
// ".stat1", the visitor file: a signed 32-bit index of the newest slot, then
// up to 500 visitor records of 212 bytes used as a ring (slots 0, 1, ... 499,
// then 0 again).  ".stat2", the hourly file: one 12-byte record per hour that
// had counted hits, in time order.  All numbers little-endian; times are
// TDateTime values in server local time.
//
// Every append holds one exclusive lock from the read it builds on to the
// write that follows, so processes never build on the same index or bucket.
// A damaged file (a torn tail left by a killed writer) is cut back to its last
// whole record and keeps its history; readers skip torn tails the same way.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Coding.h"
#include "platform/DateTime.h"

namespace vantora {

inline constexpr int kVisitorSlots = 500;
inline constexpr int kVisitorHeaderSize = 4;
inline constexpr int kVisitorRecordSize = 212;
inline constexpr int kHourRecordSize = 12;
inline constexpr long kFullVisitorFileSize =
    kVisitorHeaderSize + static_cast<long>(kVisitorSlots) * kVisitorRecordSize;  // 106,004

// Sizes of the text fields of a visitor record (characters after the length
// byte).
inline constexpr size_t kReferrerSize = 80;
inline constexpr size_t kAgentSize = 64;
inline constexpr size_t kAddressSize = 16;
inline constexpr size_t kHostNameSize = 40;

// A text of a visitor record, held in place: at most Size 8-bit characters,
// as many as its field in the file holds.  A longer text given to it is cut
// to Size, as storing it would cut it.  Held in the record itself, so that a
// ring of 500 visitors loads with no allocation and copies as plain bytes.
template <size_t Size>
class TRecordText {
  static_assert(Size <= 255, "the length is one byte, as in the file");

 public:
  // The characters after the first size() are left as they are: they are
  // never read.
  TRecordText() noexcept : length_(0) {}  // NOLINT(cppcoreguidelines-pro-type-member-init)
  // NOLINTNEXTLINE(google-explicit-constructor): given wherever a text is
  TRecordText(std::string_view text) noexcept { assign(text); }
  TRecordText& operator=(std::string_view text) noexcept {
    assign(text);
    return *this;
  }
  void assign(std::string_view text) noexcept {
    length_ = static_cast<uint8_t>(std::min(text.size(), Size));
    if (length_ != 0) std::memcpy(text_, text.data(), length_);
  }

  // Reads a field as the file lays it out: a length byte, then Size
  // characters; a length byte larger than Size reads as Size.
  void read_field(const char* field) noexcept {
    std::memcpy(text_, field + 1, Size);
    length_ = static_cast<uint8_t>(std::min<size_t>(static_cast<unsigned char>(field[0]), Size));
  }

  size_t size() const noexcept { return length_; }
  bool empty() const noexcept { return length_ == 0; }
  const char* data() const noexcept { return text_; }
  std::string_view view() const noexcept { return {text_, length_}; }
  // NOLINTNEXTLINE(google-explicit-constructor): read wherever a text is
  operator std::string_view() const noexcept { return view(); }

  friend bool operator==(const TRecordText& a, const TRecordText& b) noexcept {
    return a.view() == b.view();
  }
  friend bool operator==(const TRecordText& a, std::string_view b) noexcept {
    return a.view() == b;
  }
  friend std::ostream& operator<<(std::ostream& out, const TRecordText& text) {
    return out << text.view();
  }

 private:
  uint8_t length_;
  char text_[Size];
};

// One counted visitor.  Texts are 8-bit and hold at most their field's size
// (their type cuts them), so comparisons are made on the stored values.
struct TVisitorRecord {
  TDateTime Time = 0;
  TRecordText<kReferrerSize> Referrer;
  TRecordText<kAgentSize> Agent;
  TRecordText<kAddressSize> Address;
  TRecordText<kHostNameSize> HostName;
};

// One hour bucket: the start of the hour and its hits (at least 1).
struct THourRecord {
  TDateTime Time = 0;
  int32_t Hits = 0;
};

// Fills a record with the given texts cut to their field sizes.
TVisitorRecord MakeVisitorRecord(TDateTime time, std::string_view referrer, std::string_view agent,
                                 std::string_view address, std::string_view host_name = {});

// Byte layouts.  dst/src must hold kVisitorRecordSize / kHourRecordSize bytes.
// Unused character areas are written as zero bytes; a length byte larger than
// its field is read as the field size.
void EncodeVisitorRecord(const TVisitorRecord& record, char* dst);
TVisitorRecord DecodeVisitorRecord(const char* src);
// The same into an existing record.
void DecodeVisitorRecordInto(const char* src, TVisitorRecord* record);
void EncodeHourRecord(const THourRecord& record, char* dst);
inline THourRecord DecodeHourRecord(const char* src) {
  return THourRecord{DecodeDouble(src), static_cast<int32_t>(DecodeFixed32(src + 8))};
}

// The start of the hour of t: its day plus whole hours / 24.
TDateTime HourStart(TDateTime t);

// The path the statistics files are named by, without extension: the program
// file's path cut before the first "FILTER" (any letter case), then without
// the extension of its file-name part.  A program /srv/counter.cgi and a
// library /srv/counterFilter.so share /srv/counter.stat1 and .stat2.
std::string StatisticsBasePath(const std::string& module_file_name);
// The same for the running program (ModuleFileName()).
std::string StatisticsBasePath();

// What became of a visitor given to AppendVisitorToFile.
enum class TVisitorAppend {
  kRepeat,   // a repeat: nothing written, the hit does not count
  kStored,   // stored; the hit counts
  kDropped,  // the file stayed held or failed for three attempts: the visitor
             // is not stored, but the hit still counts
};

// Appends a visitor to the visitor file at path unless it repeats a stored one:
// a record within `window` days before it (a stored Time plus window not
// earlier than record.Time) with the same Address and Agent.  Three attempts,
// 90 ms apart, each holding the exclusive lock from the read of the index to
// the write of the record and then the index.
//
// resolve_host_name, when given, is called once, never under the file lock,
// and its answer (cut to 40 characters) becomes the stored HostName.  Because
// the lock is released during the lookup, the repeat test runs again on what
// the file holds when the lock is taken back.  known_host_name, when given,
// is asked first, under the lock, once a visitor is found new: a name it
// knows at once (no lookup needed, or the hosts file has it) is stored
// without letting the file go; resolve_host_name is then not called.
//
// When the visitor is dropped, *error (optional) says why.  A torn tail
// repaired on the way is reported (ReportFailure).
TVisitorAppend AppendVisitorToFile(
    const std::string& path, const TVisitorRecord& record,
    const std::function<std::string()>& resolve_host_name, double window,
    std::string* error = nullptr,
    const std::function<std::optional<std::string>()>& known_host_name = nullptr);

// The process's first visitor append reads only the records inside the
// window, newest first; later ones keep a copy of the whole ring in memory
// between appends and read only what proves it current.  This makes the
// process count as one that has made no append yet (for tests, which append
// many times in one process).
void ForgetVisitorAppends();

// Counts one hit in the hour of `time` in the hourly file at path: the bucket
// of that hour gains one (a bucket already at the largest 32-bit count stays
// there), or a new bucket (hour, 1) is appended.  A torn tail is cut back to
// the last whole record and the repair reported.  Throws
// std::runtime_error when the file stays held by other processes for three
// attempts 100 ms apart, or cannot be opened or written.
void AddHourlyHitToFile(const std::string& path, TDateTime time);

// Readers: a missing or unreadable file, or anything that is not a regular
// file, reads as empty; a reader never reads past the size the file had when
// it was opened.
struct VisitorFileContents {
  int32_t newest_slot = 0;            // always 0..slots.size()-1 (0 when empty)
  std::vector<TVisitorRecord> slots;  // in file order, at most 500
};
VisitorFileContents ReadVisitorFile(const std::string& path);
// The same records still encoded, a batch at a time, into one small buffer: visit receives
// the file-order index of the batch's first record, its encoded records and
// their number, while the file is held for reading.  *newest_slot and *slots
// receive the ring's values before the first batch.  Returns false when the
// file cannot be opened or read to its end (batches may have been visited).
// When stamp is given it receives the state of the file that was read.
bool ForEachVisitorRecordBatch(const std::string& path, int32_t* newest_slot, int* slots,
                               const std::function<void(int, const char*, int)>& visit,
                               struct VisitorFileStamp* stamp = nullptr);

// What tells one state of the visitor file from another for a reader that
// keeps what it read: the file's identity, size and modification time, the
// ring's newest slot and that slot's record.  Every write of the program's
// appends changes the newest record or the newest slot, so two states with
// the same stamp hold the same records even when both writes fell into one
// tick of the file system's clock.
struct VisitorFileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  int64_t modified_ns = 0;
  int32_t newest = 0;
  std::array<char, kVisitorRecordSize> newest_record{};
  bool operator==(const VisitorFileStamp&) const = default;
};
// The present stamp of the visitor file, read under its shared lock; nothing
// when it cannot be opened or read.
std::optional<VisitorFileStamp> ReadVisitorFileStamp(const std::string& path);

// Calls visit for every whole hour record from the start, others may read
// and write the file meanwhile.  Returns false when the file cannot be opened.
bool ForEachHourRecord(const std::string& path,
                       const std::function<void(const THourRecord&)>& visit);

// Calls visit, in file order and a batch at a time, for the whole hour
// records at the end of the file that may lie at or after `earliest`, others may read and write the
// file meanwhile.  The file is read backwards from its end until
// kHourOrderSlack records in a row lie before earliest, so the cost follows
// the window asked for, not the years of history before it.  Records are
// appended in time order (an append may land at most kHourTailRecords
// records before the end), so a file the program wrote yields exactly the
// records of a whole pass that lie at or after earliest, plus a few older
// ones.  When first is given it receives the file's first record whose time
// is a date (years 1 to 9999), or nothing when there is none.  Returns false
// when the file cannot be opened or read.
inline constexpr int kHourTailRecords = 24;
inline constexpr int kHourOrderSlack = 2 * kHourTailRecords;
bool ForEachHourBatchSince(const std::string& path, TDateTime earliest,
                           const std::function<void(std::span<const THourRecord>)>& visit,
                           std::optional<THourRecord>* first = nullptr);

// Whether t is a date of the years 1 to 9999; hour records with other times
// exist only in damaged files and count nowhere.
inline bool IsRecordDate(TDateTime t) { return t >= -693593.0 && t <= 2958466.0; }

}  // namespace vantora
