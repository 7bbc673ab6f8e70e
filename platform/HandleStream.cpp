#include "platform/HandleStream.h"

#include <errno.h>
#include <unistd.h>

namespace vantora {

THandleStream::~THandleStream() {
  if (owns_handle_ && handle_ >= 0) ::close(handle_);
}

int THandleStream::Write(const void* buffer, int count) {
  const char* bytes = static_cast<const char*>(buffer);
  int done = 0;
  while (done < count) {
    const ssize_t n = ::write(handle_, bytes + done, static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<int>(n);
  }
  return done;
}

int THandleStream::Read(void* buffer, int count) {
  if (count <= 0) return 0;
  for (;;) {
    const ssize_t n = ::read(handle_, buffer, static_cast<size_t>(count));
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<int>(n);
  }
}

int THandleStream::ReadFully(void* buffer, int count) {
  char* bytes = static_cast<char*>(buffer);
  int done = 0;
  while (done < count) {
    const int n = Read(bytes + done, count - done);
    if (n <= 0) break;
    done += n;
  }
  return done;
}

}  // namespace vantora
