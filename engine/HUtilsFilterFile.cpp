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

  char block[kBlockSize];
  std::string piece;
  off_t offset = 0;
  bool full = true;
  while (full) {
    const size_t want =
        static_cast<size_t>(std::min<off_t>(kBlockSize, std::max<off_t>(end - offset, 0)));
    ssize_t count = want == 0 ? 0 : file.ReadAt(block, want, offset);
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
