// A byte stream over a file descriptor: the process's standard input and
// output in a CGI request, or a file.
//
// Writes and reads go straight to the descriptor with write(2)/read(2), never
// through a buffer, so nothing is left to flush when the process ends.
#pragma once

namespace vantora {

class THandleStream {
 public:
  // When owns_handle is set, the descriptor is closed with the stream;
  // otherwise (the standard handles) it is left to the operating system.
  THandleStream(int handle, bool owns_handle) : handle_(handle), owns_handle_(owns_handle) {}
  ~THandleStream();
  THandleStream(const THandleStream&) = delete;
  THandleStream& operator=(const THandleStream&) = delete;

  int Handle() const { return handle_; }

  // Writes all count bytes, across partial writes and interruptions.
  // Returns the number written: less than count only when the descriptor
  // failed (a reader that went away, a full disk).
  int Write(const void* buffer, int count);

  // Reads up to count bytes, waiting for at least one.  Returns the number
  // read, 0 at the end of the input, -1 on an error.
  int Read(void* buffer, int count);

  // Reads until count bytes have arrived or the input ends.  Returns the
  // number read (less than count only at the end of the input or on an
  // error).
  int ReadFully(void* buffer, int count);

 private:
  int handle_;
  bool owns_handle_;
};

}  // namespace vantora
