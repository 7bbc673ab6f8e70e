// Little-endian encoding and decoding of fixed-size integers and doubles.
//
// Every binary layout the program reads or writes (the statistics files, the
// relay files, the GIF stream) goes through these helpers, so the byte order
// never depends on the host and no struct is ever written as it lies in
// memory.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace vantora {

inline void EncodeFixed16(char* dst, uint16_t value) {
  dst[0] = static_cast<char>(value & 0xff);
  dst[1] = static_cast<char>(value >> 8);
}

inline void EncodeFixed32(char* dst, uint32_t value) {
  for (int i = 0; i < 4; ++i) dst[i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

inline void EncodeFixed64(char* dst, uint64_t value) {
  for (int i = 0; i < 8; ++i) dst[i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

// IEEE 754 double, little-endian byte order.
inline void EncodeDouble(char* dst, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  EncodeFixed64(dst, bits);
}

inline uint16_t DecodeFixed16(const char* src) {
  const auto* p = reinterpret_cast<const unsigned char*>(src);
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t DecodeFixed32(const char* src) {
  const auto* p = reinterpret_cast<const unsigned char*>(src);
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t DecodeFixed64(const char* src) {
  return static_cast<uint64_t>(DecodeFixed32(src)) |
         (static_cast<uint64_t>(DecodeFixed32(src + 4)) << 32);
}

inline double DecodeDouble(const char* src) {
  uint64_t bits = DecodeFixed64(src);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

inline void PutFixed16(std::string* dst, uint16_t value) {
  char buf[2];
  EncodeFixed16(buf, value);
  dst->append(buf, sizeof buf);
}

inline void PutFixed32(std::string* dst, uint32_t value) {
  char buf[4];
  EncodeFixed32(buf, value);
  dst->append(buf, sizeof buf);
}

inline void PutFixed64(std::string* dst, uint64_t value) {
  char buf[8];
  EncodeFixed64(buf, value);
  dst->append(buf, sizeof buf);
}

inline void PutDouble(std::string* dst, double value) {
  char buf[8];
  EncodeDouble(buf, value);
  dst->append(buf, sizeof buf);
}

}  // namespace vantora
