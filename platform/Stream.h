// Byte streams: the write side that encoders need.
//
// An encoder writes its output to a TStream; a memory stream keeps the bytes,
// other streams pass them on (the response stream of the chart output sends
// every buffer into the HTTP response).
#pragma once

#include <string>

namespace vantora {

class TStream {
 public:
  TStream() = default;
  virtual ~TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  // Writes count bytes from buffer; returns how many were taken.
  virtual int Write(const void* buffer, int count) = 0;
};

// A stream that keeps everything written to it in memory.
class TMemoryStream : public TStream {
 public:
  int Write(const void* buffer, int count) override {
    if (count > 0) bytes_.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
    return count > 0 ? count : 0;
  }

  const std::string& Bytes() const { return bytes_; }
  std::string* MutableBytes() { return &bytes_; }
  size_t Size() const { return bytes_.size(); }
  void Clear() { bytes_.clear(); }

 private:
  std::string bytes_;
};

}  // namespace vantora
