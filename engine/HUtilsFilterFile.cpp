// The file filter: reads a template file in blocks and filters it piece by
// piece.
//
// Blocks are joined into one piece while a tag might run from one block into
// the next, judged by where the delimiter of the most recent tag opening
// occurs; a tag that still falls on a piece boundary comes out as text.

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "engine/HUtilsFilter.h"
#include "platform/LockedFile.h"
#include "platform/Paths.h"

namespace vantora {

THttpFileFilter::THttpFileFilter(TComponent* owner, std::string name)
    : THttpTextFilterComponent(owner, std::move(name)) {}

void THttpFileFilter::Execute() {
  if (file_name_.empty()) file_name_ = ChangeFileExt(ModuleFileName(), ".htm");
  Execute(file_name_);
}

void THttpFileFilter::Execute(const std::string& file_name) {
  const std::string name = file_name.empty() ? ChangeFileExt(ModuleFileName(), ".htm") : file_name;
  const std::string path = IsAbsolutePath(name) ? name : ExtractFilePath(ModuleFileName()) + name;
  if (!FileExists(path)) {
    throw std::runtime_error(Name() + " : Can not find file named " + path);
  }
  // Others may read and write the template meanwhile: no lock.
  LockedFile file;
  if (file.Open(path, O_RDONLY | O_CLOEXEC, 0, ShareLock::kNone) != OpenStatus::kOk) {
    throw std::runtime_error(Name() + " : open error " + path);
  }

  // Text appended while the file is read is left for the next request.
  const off_t end = file.Size();
  if (OnFileOpened) OnFileOpened();

  // The file is read a large chunk at a time and handed out in blocks of
  // kBlockSize, as if each block were read on its own: one system call for
  // a whole template instead of one per block.
  constexpr off_t kChunkSize = 64 * 1024;
  std::string chunk;
  off_t chunk_start = 0;  // the file offset of chunk[0]
  const auto read_block = [&](char* into, size_t want, off_t at) -> ssize_t {
    if (at < chunk_start ||
        at + static_cast<off_t>(want) > chunk_start + static_cast<off_t>(chunk.size())) {
      const off_t size = std::min<off_t>(kChunkSize, end - at);
      chunk.resize(static_cast<size_t>(std::max<off_t>(size, 0)));
      const ssize_t got = chunk.empty() ? 0 : file.ReadAt(chunk.data(), chunk.size(), at);
      chunk.resize(static_cast<size_t>(std::max<ssize_t>(got, 0)));
      chunk_start = at;
      if (got < 0) return -1;
    }
    const size_t available =
        static_cast<size_t>(chunk_start + static_cast<off_t>(chunk.size()) - at);
    const size_t count = std::min(want, available);
    std::memcpy(into, chunk.data() + (at - chunk_start), count);
    return static_cast<ssize_t>(count);
  };

  char block[kBlockSize];
  std::string piece;
  off_t offset = 0;
  bool full = true;
  while (full) {
    const size_t want =
        static_cast<size_t>(std::min<off_t>(kBlockSize, std::max<off_t>(end - offset, 0)));
    ssize_t count = want == 0 ? 0 : read_block(block, want, offset);
    if (count < 0) count = 0;  // a failed read ends the file
    offset += count;
    full = count == kBlockSize;
    // A zero byte ends the block's text.
    const void* zero = std::memchr(block, '\0', static_cast<size_t>(count));
    const size_t text_size =
        zero ? static_cast<size_t>(static_cast<const char*>(zero) - block) : count;
    piece.append(block, text_size);

    // Before any delimiter was found, every full block is joined.
    const char delimiter = Delimiter();
    const bool join =
        full && (delimiter == '\0' ||
                 std::memchr(block + kJoinOffset, delimiter, kBlockSize - kJoinOffset) != nullptr);
    if (join) continue;
    FilterText(piece);
    piece.clear();
  }
}

}  // namespace vantora
