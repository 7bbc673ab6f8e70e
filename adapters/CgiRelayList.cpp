#include "adapters/CgiRelayList.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "adapters/CgiRelayWait.h"
#include "platform/Clock.h"
#include "platform/Coding.h"
#include "platform/Text.h"

namespace vantora {
namespace {

constexpr size_t kNameOffset = 12;
constexpr size_t kNameField = 256;
constexpr double kStaleSeconds = 30.0;

}  // namespace

void EncodeListRecord(const TListRecord& record, char* out) {
  std::memset(out, 0, kListRecordSize);
  out[0] = static_cast<char>(record.status);
  EncodeDouble(out + 4, record.registered);
  const size_t length = std::min(record.name.size(), kListNameLimit);
  std::memcpy(out + kNameOffset, record.name.data(), length);
}

std::string EncodeListRecord(const TListRecord& record) {
  std::string bytes(kListRecordSize, '\0');
  EncodeListRecord(record, bytes.data());
  return bytes;
}

TListRecord DecodeListRecord(const char* bytes) {
  TListRecord record;
  record.status = static_cast<uint8_t>(bytes[0]);
  record.registered = DecodeDouble(bytes + 4);
  const char* name = bytes + kNameOffset;
  const void* zero = std::memchr(name, 0, kNameField);
  const size_t length =
      zero ? static_cast<size_t>(static_cast<const char*>(zero) - name) : kListNameLimit;
  record.name.assign(name, std::min(length, kListNameLimit));
  return record;
}

std::vector<TListRecord> DecodeList(std::string_view bytes) {
  std::vector<TListRecord> records;
  for (size_t at = 0; at + kListRecordSize <= bytes.size(); at += kListRecordSize) {
    records.push_back(DecodeListRecord(bytes.data() + at));
  }
  return records;
}

OpenStatus OpenListFile(LockedFile* file, const std::string& path, int flags, ShareLock lock,
                        int attempts, int pause_ms) {
  const auto deadline =
      TRelayClock::now() + std::chrono::milliseconds(std::max(attempts - 1, 0) * pause_ms);
  const OpenStatus opened = file->Open(path, flags, 0600, ShareLock::kNone);
  if (opened != OpenStatus::kOk || lock == ShareLock::kNone) return opened;
  const int error = LockBy(file->fd(), lock == ShareLock::kExclusive ? LOCK_EX : LOCK_SH, deadline);
  if (error == 0) return OpenStatus::kOk;
  file->Close();
  return error == EWOULDBLOCK ? OpenStatus::kBusy : OpenStatus::kFailed;
}

std::string ReadListBytes(const LockedFile& file) {
  const off_t size = file.Size();
  if (size <= 0) return std::string();
  std::string bytes(static_cast<size_t>(size), '\0');
  const ssize_t got = file.ReadAt(bytes.data(), bytes.size(), 0);
  bytes.resize(got < 0 ? 0 : static_cast<size_t>(got));
  return bytes;
}

std::vector<TListRecord> ReadList(const LockedFile& file) {
  return DecodeList(ReadListBytes(file));
}

bool TouchFile(const std::string& path) {
  const double now = UnixNow();
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(now);
  times[0].tv_nsec = times[1].tv_nsec =
      static_cast<long>((now - static_cast<double>(times[0].tv_sec)) * 1e9);
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::optional<double> FileTime(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9;
}

bool FileIsStale(const std::string& path, bool* exists) {
  const std::optional<double> time = FileTime(path);
  if (exists) *exists = time.has_value();
  return time && *time < UnixNow() - kStaleSeconds;
}

bool AppendListRecord(const std::string& list_path, const std::function<bool()>& may_register,
                      const std::function<std::string()>& prepare, std::string* registered_name,
                      TDateTime* registered_at) {
  LockedFile file;
  if (file.Open(list_path, O_RDWR, 0600, ShareLock::kNone) != OpenStatus::kOk) return false;
  if (may_register && !may_register()) return false;
  // A list already full takes no record: nothing is prepared for it.
  const off_t seen = file.Size();
  if (seen < 0 || seen / static_cast<off_t>(kListRecordSize) >= kListCapacity) return false;
  // Everything that takes time happens before the lock, which the server
  // and the other clients wait for: the request (its file, for the standard
  // variant) and the registration time (its first use reads the time zone).
  const std::string name = UpperCase(prepare());
  if (name.empty() || name.size() > kListNameLimit) return false;
  TListRecord record;
  record.status = kRecordWaiting;
  record.registered = Now();
  record.name = name;
  const auto deadline = TRelayClock::now() + std::chrono::milliseconds(10 * 50);
  if (LockBy(file.fd(), LOCK_EX, deadline) != 0) return false;
  struct stat st;
  // A list deleted meanwhile (its server ended) takes no record either.
  if (fstat(file.fd(), &st) != 0 || st.st_nlink == 0) return false;
  const off_t size = st.st_size;
  // A torn tail (a record cut short) is overwritten, so records stay aligned.
  const off_t end = size - size % static_cast<off_t>(kListRecordSize);
  if (end / static_cast<off_t>(kListRecordSize) >= kListCapacity) return false;
  if (!file.WriteAt(EncodeListRecord(record).data(), kListRecordSize, end)) return false;
  if (end != size) file.Truncate(end + static_cast<off_t>(kListRecordSize));
  // The write has woken the server, which wants the lock next: it is let go
  // at once, and the date set after.
  file.Unlock();
  TouchFile(list_path);
  *registered_name = name;
  if (registered_at) *registered_at = record.registered;
  return true;
}

std::optional<TListRecord> TakeNextRequest(
    const std::string& list_path, const std::function<bool(const std::string&)>& own_kind) {
  LockedFile file;
  if (OpenListFile(&file, list_path, O_RDWR, ShareLock::kExclusive, 11, 100) != OpenStatus::kOk) {
    return std::nullopt;
  }
  const std::vector<TListRecord> records = ReadList(file);
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].status != kRecordWaiting || !own_kind(records[i].name)) continue;
    const char taken = static_cast<char>(kRecordTaken);
    if (!file.WriteAt(&taken, 1, static_cast<off_t>(i * kListRecordSize))) return std::nullopt;
    TListRecord result = records[i];
    result.status = kRecordTaken;
    return result;
  }
  TouchFile(list_path);
  return std::nullopt;
}

int RequestStatus(const std::string& list_path, const std::string& registered_name) {
  LockedFile file;
  const OpenStatus status = OpenListFile(&file, list_path, O_RDONLY, ShareLock::kShared, 11, 100);
  if (status == OpenStatus::kOk) {
    for (const TListRecord& record : ReadList(file)) {
      if (record.name == registered_name) return record.status;
    }
    return kRelayFinished;
  }
  if (status == OpenStatus::kFailed && access(list_path.c_str(), F_OK) != 0) {
    return kRelayNoServer;
  }
  if (FileIsStale(list_path)) unlink(list_path.c_str());
  return kRelayListUnavailable;
}

std::vector<TListRecord> RemoveListRecords(const std::string& list_path, const std::string& name) {
  std::vector<TListRecord> removed;
  LockedFile file;
  // A finished request whose record stayed would leave its client waiting
  // for ever: the list is waited for up to 30 seconds.
  if (OpenListFile(&file, list_path, O_RDWR, ShareLock::kExclusive, 301, 100) != OpenStatus::kOk) {
    return removed;
  }
  const std::string key = UpperCase(name);
  const std::string bytes = ReadListBytes(file);
  std::string kept;
  // The other records keep their bytes as they were, padding included.
  for (size_t at = 0; at + kListRecordSize <= bytes.size(); at += kListRecordSize) {
    TListRecord record = DecodeListRecord(bytes.data() + at);
    if (record.name != key) {
      kept.append(bytes, at, kListRecordSize);
    } else {
      removed.push_back(std::move(record));
    }
  }
  // Rewritten under the same lock that covered the read: a registration
  // cannot slip in between and be lost.  A list without the name stays as
  // it is (a torn tail included), with its date set.
  if (!removed.empty() && file.Truncate(0) && !kept.empty()) {
    file.WriteAt(kept.data(), kept.size(), 0);
  }
  // Others wait for the lock: it goes before the date is set.
  file.Unlock();
  TouchFile(list_path);
  return removed;
}

bool CloseListIfIdle(const std::string& list_path,
                     const std::function<bool(const std::string&)>& own_kind) {
  LockedFile file;
  if (OpenListFile(&file, list_path, O_RDWR, ShareLock::kExclusive, 11, 100) != OpenStatus::kOk) {
    return true;
  }
  bool busy = false;
  for (const TListRecord& record : ReadList(file)) {
    if (record.status == kRecordWaiting && own_kind(record.name)) return false;
    busy = true;
  }
  if (!busy) unlink(list_path.c_str());
  return true;
}

}  // namespace vantora
