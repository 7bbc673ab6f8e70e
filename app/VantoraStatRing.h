// The visitor file's ring as an appender sees it, and the copy of its records
// that a long-lived process keeps between appends.
//
// A process that serves many requests (the library inside a web server, the
// FastCGI application) appends visitors to one file over and over.  The repeat
// test of every append looks at the records inside the 30-minute window, which
// on a busy site is the whole ring of 500: reading 106,000 bytes from the file
// each time costs more than the rest of the request.  VisitorRingCopy keeps
// those bytes in memory and reads only the few records that tell whether they
// are still what the file holds.
//
// Why those few records prove the copy current.  Every append, of this process
// or another one running this program, holds the exclusive lock and writes in
// one order: the record into the slot after the newest, then the index
// pointing at it.  Starting from a file the copy matched, whatever other
// processes did since shows up:
//  - an append's record lands past the end of the file, which makes it
//    longer, or over the record present in the slot after the newest;
//  - whole appends move the index.  Only a multiple of 500 of them brings it
//    back, and then the newest slot holds the last of them, a later hit than
//    the copied one (a record byte-equal to it, of the same time, address and
//    agent, would have been a repeat and never stored);
//  - an append killed between its two writes leaves its record in the slot
//    after the newest and the index where it was;
//  - a repair of a torn tail makes the file shorter; a file deleted and made
//    anew is another inode, or starts again from one record and differs in
//    size or in its newest record.
// So the copy is current when the file (device, inode), its size and the index
// are unchanged and the newest slot and the slot after it (when the file has
// one) hold the copied bytes.  Anything else, or any doubt (an index out of
// range), reads the whole ring again.  The modification time takes no part:
// its clock is too coarse to tell two appends apart.
#pragma once

#include <sys/types.h>

#include <string>

namespace vantora {

class LockedFile;

// The ring as found in an open visitor file.
struct VisitorRing {
  int slots = 0;            // whole records present, at most 500
  int newest = 0;           // slot of the newest record; 0..slots-1, 0 when empty
  off_t size = 0;           // the file's size (after a repair of its tail)
  bool index_read = false;  // newest is the stored index (not rebuilt from the times)
};

// Where the record of a slot begins in the visitor file.
off_t VisitorSlotOffset(int slot);

// Reads the ring's shape from a visitor file opened with a lock.  With repair
// (the caller holds the exclusive lock) a torn tail is cut back to the last
// whole record first and the repair reported; without it a torn tail is only
// left unread.  A stored index outside the records present is not used: the
// slot of the newest time stands for it.  False on a read or write error.
bool InspectRing(const LockedFile& file, const std::string& path, bool repair, VisitorRing* ring);

// The records of one visitor file.  Not thread-safe: the caller keeps one
// process-wide copy behind its own mutex, the one it holds around appends.
class VisitorRingCopy {
 public:
  VisitorRingCopy() = default;
  VisitorRingCopy(const VisitorRingCopy&) = delete;
  VisitorRingCopy& operator=(const VisitorRingCopy&) = delete;

  // Makes the copy hold the records of file, which the caller has locked
  // exclusively and whose ring InspectRing has just read: a few records are
  // read to prove the copy current, or the whole ring when it is not.  False
  // on a read error; the copy is then forgotten.
  bool Update(const LockedFile& file, const VisitorRing& ring);

  // The encoded record of slot (0 <= slot < the ring's slots).  Only after
  // Update returned true, until the next change.
  const char* Record(int slot) const;

  // Takes in the record the caller has just written into slot, followed by
  // the index pointing at it; ring becomes the file's new shape.
  void Stored(int slot, const char* record, VisitorRing* ring);

  // Drops what the copy knows, after a write that may have been cut short.
  void Forget();

 private:
  // True when the records read from the file at the slots an append would
  // have changed equal the copy's.
  bool Proven(const LockedFile& file, const VisitorRing& ring) const;

  bool valid_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  VisitorRing ring_;
  std::string records_;  // ring_.slots encoded records, in slot order
};

}  // namespace vantora
