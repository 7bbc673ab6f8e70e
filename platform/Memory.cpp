#include "platform/Memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace vantora {

bool PopulatePages(void* data, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t from = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
  const uintptr_t to = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(page - 1);
  if (to <= from) return false;
  // An older kernel answers EINVAL: the pages then come on first use.
  return madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE) == 0;
#else
  static_cast<void>(data);
  static_cast<void>(bytes);
  return false;
#endif
}

}  // namespace vantora
