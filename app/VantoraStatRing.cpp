#include "app/VantoraStatRing.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "app/VantoraStatFiles.h"
#include "engine/HttpEngRoutines.h"
#include "platform/Coding.h"
#include "platform/LockedFile.h"

namespace vantora {

off_t VisitorSlotOffset(int slot) {
  return kVisitorHeaderSize + static_cast<off_t>(slot) * kVisitorRecordSize;
}

namespace {

// The slot whose record has the newest Time, used when the stored index is
// out of range.  slots > 0.
std::optional<int> NewestByTime(const LockedFile& file, int slots) {
  std::string buffer(static_cast<size_t>(slots) * kVisitorRecordSize, '\0');
  if (file.ReadAt(buffer.data(), buffer.size(), kVisitorHeaderSize) !=
      static_cast<ssize_t>(buffer.size())) {
    return std::nullopt;
  }
  int newest = 0;
  double newest_time = 0;
  for (int slot = 0; slot < slots; ++slot) {
    const double time =
        DecodeDouble(buffer.data() + static_cast<size_t>(slot) * kVisitorRecordSize);
    if (slot == 0 || time > newest_time) {
      newest = slot;
      newest_time = time;
    }
  }
  return newest;
}

// Reads count records from slot on into dst.
bool ReadSlots(const LockedFile& file, int slot, int count, char* dst) {
  const size_t bytes = static_cast<size_t>(count) * kVisitorRecordSize;
  return file.ReadAt(dst, bytes, VisitorSlotOffset(slot)) == static_cast<ssize_t>(bytes);
}

}  // namespace

bool InspectRing(const LockedFile& file, const std::string& path, bool repair, VisitorRing* ring) {
  *ring = VisitorRing();
  off_t size = file.opened_status().st_size;
  const off_t whole =
      size < kVisitorHeaderSize ? 0 : size - (size - kVisitorHeaderSize) % kVisitorRecordSize;
  if (repair && whole != size) {
    if (!file.Truncate(whole)) return false;
    ReportFailure("Visitor statistics file repaired: torn tail of " + std::to_string(size - whole) +
                  " bytes cut off " + path);
    size = whole;
  }
  ring->size = size;
  if (whole < kVisitorHeaderSize) return true;
  ring->slots = static_cast<int>(
      std::min<off_t>((whole - kVisitorHeaderSize) / kVisitorRecordSize, kVisitorSlots));
  if (ring->slots == 0) return true;
  char header[kVisitorHeaderSize];
  if (file.ReadAt(header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) return false;
  const int32_t index = static_cast<int32_t>(DecodeFixed32(header));
  if (index >= 0 && index < ring->slots) {
    ring->newest = index;
    ring->index_read = true;
    return true;
  }
  const std::optional<int> rebuilt = NewestByTime(file, ring->slots);
  if (!rebuilt) return false;
  ring->newest = *rebuilt;
  return true;
}

bool VisitorRingCopy::Proven(const LockedFile& file, const VisitorRing& ring) const {
  const struct stat& status = file.opened_status();
  if (!valid_ || !ring.index_read || status.st_dev != device_ || status.st_ino != inode_ ||
      ring.size != ring_.size || ring.slots != ring_.slots || ring.newest != ring_.newest) {
    return false;
  }
  if (ring.slots == 0) return true;
  // The newest slot, and the slot after it when the file has one: an append
  // killed before its index write leaves that one changed.
  const int after = (ring.newest + 1) % kVisitorSlots;
  const bool after_present = after < ring.slots;
  char read[2 * kVisitorRecordSize];
  if (after_present && after != 0) {
    if (!ReadSlots(file, ring.newest, 2, read)) return false;
  } else {
    if (!ReadSlots(file, ring.newest, 1, read)) return false;
    if (after_present && !ReadSlots(file, after, 1, read + kVisitorRecordSize)) return false;
  }
  if (std::memcmp(read, Record(ring.newest), kVisitorRecordSize) != 0) return false;
  return !after_present ||
         std::memcmp(read + kVisitorRecordSize, Record(after), kVisitorRecordSize) == 0;
}

bool VisitorRingCopy::Update(const LockedFile& file, const VisitorRing& ring) {
  if (Proven(file, ring)) return true;
  Forget();
  records_.resize(static_cast<size_t>(ring.slots) * kVisitorRecordSize);
  if (ring.slots > 0 && !ReadSlots(file, 0, ring.slots, records_.data())) {
    records_.clear();
    return false;
  }
  const struct stat& status = file.opened_status();
  device_ = status.st_dev;
  inode_ = status.st_ino;
  ring_ = ring;
  valid_ = true;
  return true;
}

const char* VisitorRingCopy::Record(int slot) const {
  return records_.data() + static_cast<size_t>(slot) * kVisitorRecordSize;
}

void VisitorRingCopy::Stored(int slot, const char* record, VisitorRing* ring) {
  if (slot >= ring->slots) {
    ring->slots = slot + 1;
    ring->size = VisitorSlotOffset(ring->slots);
    records_.resize(static_cast<size_t>(ring->slots) * kVisitorRecordSize);
  }
  std::memcpy(records_.data() + static_cast<size_t>(slot) * kVisitorRecordSize, record,
              kVisitorRecordSize);
  ring->newest = slot;
  ring->index_read = true;
  ring_ = *ring;
}

void VisitorRingCopy::Forget() {
  valid_ = false;
  ring_ = VisitorRing();
}

}  // namespace vantora
