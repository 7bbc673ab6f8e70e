// The list file of the CGI server mode: the one place where the clients
// register their requests and the server marks and removes them.
//
// The file (the server base path + "_S") holds records of 268 bytes back to
// back, with no header, at most 65 of them:
//   offset 0    1 byte    status: 0 waiting, 1 taken
//   offset 1    3 bytes   padding (written as zero, never interpreted)
//   offset 4    8 bytes   registration time: little-endian IEEE 754 double,
//                         local time in days since 30 December 1899
//   offset 12   256 bytes the upper-cased request name, zero-terminated
//                         (at most 255 characters), zero-padded
// Every reader and writer goes through EncodeListRecord/DecodeListRecord.
//
// Every open takes a flock() lock: changes hold LOCK_EX, a client reading
// its status holds LOCK_SH.  An open refused because another process holds
// the file waits for the lock itself (adapters/CgiRelayWait.h), bounded by
// the total time of the attempt counts and pauses of each operation, so the
// file is taken the moment its holder lets go.  A read, change and
// write-back happen under one open, so no change of another process can
// fall between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DateTime.h"
#include "platform/LockedFile.h"

namespace vantora {

inline constexpr size_t kListRecordSize = 268;
inline constexpr size_t kListNameLimit = 255;
inline constexpr int kListCapacity = 65;

inline constexpr uint8_t kRecordWaiting = 0;
inline constexpr uint8_t kRecordTaken = 1;

// RequestStatus results, as a client sees its request.
enum TRelayStatus : int {
  kRelayWaiting = 0,          // in the list, not taken yet
  kRelayTaken = 1,            // a server works on it
  kRelayFinished = 2,         // no longer in the list
  kRelayNoServer = 3,         // the list file does not exist
  kRelayListUnavailable = 4,  // the list file stayed locked
};

struct TListRecord {
  uint8_t status = kRecordWaiting;
  TDateTime registered = 0;
  std::string name;  // upper-cased; at most kListNameLimit characters
};

// Lays out one record in kListRecordSize bytes at out.  A longer name is cut
// to kListNameLimit characters.
void EncodeListRecord(const TListRecord& record, char* out);
std::string EncodeListRecord(const TListRecord& record);
// Reads one record from kListRecordSize bytes.  The name ends at its first
// zero byte, and after kListNameLimit characters at the latest.
TListRecord DecodeListRecord(const char* bytes);
// The whole records of a list file's bytes; a torn tail is not a record.
std::vector<TListRecord> DecodeList(std::string_view bytes);

// Opens the list file, waiting for a lock held elsewhere for at most
// (attempts - 1) * pause_ms milliseconds.  kFailed when it does not exist;
// kBusy when the lock stayed refused.
OpenStatus OpenListFile(LockedFile* file, const std::string& path, int flags, ShareLock lock,
                        int attempts, int pause_ms);

// Reads an open list file: its bytes, and its whole records.
std::string ReadListBytes(const LockedFile& file);
std::vector<TListRecord> ReadList(const LockedFile& file);

// Sets the file's modification time to the present moment (the clock seam),
// the list file's sign of life.
bool TouchFile(const std::string& path);
// The file's modification time in Unix seconds; nothing when it is missing.
std::optional<double> FileTime(const std::string& path);
// True when the file exists and its date is more than 30 seconds before now.
// *exists (optional) says whether it exists.
bool FileIsStale(const std::string& path, bool* exists = nullptr);

// Client side: appends a waiting record {now, upper-cased name}.  Once the
// list is open and may_register allows it, prepare returns the name to
// register (an empty name registers nothing); then the list is held
// exclusively (waiting up to 500 ms, the 11 attempts 50 ms apart) just for
// the append, so that preparing (writing a request file) holds up neither
// the server nor the other clients.  A full list (kListCapacity records) or
// a name over kListNameLimit characters registers nothing either: a list
// already full does not have prepare called; one that filled up meanwhile,
// or was deleted, does not take the name.  *registered_name receives the
// upper-cased name on success, and *registered_at (optional) the record's
// registration time.  Nothing is registered when the list file does not
// exist or unless may_register allows it.
bool AppendListRecord(const std::string& list_path, const std::function<bool()>& may_register,
                      const std::function<std::string()>& prepare, std::string* registered_name,
                      TDateTime* registered_at = nullptr);

// Server side: the first waiting record whose name own_kind accepts is set
// to taken in place and returned.  Records of other kinds stay waiting.
// When none waits the list file's date is set to now.  Nothing when the
// list file is missing or stays locked (11 attempts, 100 ms apart).
std::optional<TListRecord> TakeNextRequest(const std::string& list_path,
                                           const std::function<bool(const std::string&)>& own_kind);

// Client side: the status of the record named registered_name (exact
// comparison).  A list that cannot be opened for 11 rounds, 100 ms apart,
// gives kRelayListUnavailable, and is deleted when its date is more than 30
// seconds old.
int RequestStatus(const std::string& list_path, const std::string& registered_name);

// Server side: removes the records whose name equals the upper-cased name,
// keeping the order of the others, and sets the list file's date to now.
// The list is rewritten only when a record goes.  Nothing when the list
// file is missing or stays locked for 30 seconds.  Returns the records
// removed, once the list is let go.
std::vector<TListRecord> RemoveListRecords(const std::string& list_path, const std::string& name);

// Server side, at its end: deletes the list file, under the lock of one
// look, when no record of own_kind waits and no record is taken.  False when
// a record of own_kind still waits (the server serves it first); true
// otherwise, also when the list stays for records of the other variant.
bool CloseListIfIdle(const std::string& list_path,
                     const std::function<bool(const std::string&)>& own_kind);

}  // namespace vantora
