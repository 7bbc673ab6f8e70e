// The LZW coder of the GIF encoder.
//
// Classic variable-code-width GIF LZW.  The dictionary maps (prefix code,
// next index) to a code through an open-addressing hash of 5120 slots probed
// modulo 5119; it holds at most 4096 codes and, when full, is cleared and a
// clear code is sent.  The code width starts at minimum code size + 1 and
// grows by one bit as soon as the next free code no longer fits, up to 12
// bits.  Codes are packed least significant bit first and cut into data
// sub-blocks of 255 bytes (only the last one of a frame shorter).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vantora {
namespace gif {

class LzwEncoder {
 public:
  static constexpr int kHashSize = 5120;
  static constexpr int kHashModulus = 5119;
  static constexpr int kMaxCodes = 4096;

  LzwEncoder() = default;
  LzwEncoder(const LzwEncoder&) = delete;
  LzwEncoder& operator=(const LzwEncoder&) = delete;

  // Appends a frame's image data to *out: the minimum code size byte (the
  // palette's size class, at least 2), the data sub-blocks and the 0x00
  // terminator.  REQUIRES: count >= 1; every index < palette_count <= 256.
  void Encode(const uint8_t* indices, size_t count, int palette_count, std::string* out);
  // The same for the indices remap[entries[i]]: a pf8bit bitmap's pixels
  // coded as they are.  REQUIRES: remap gives distinct indices for the
  // distinct entries that occur.
  void Encode(const uint8_t* entries, size_t count, const uint8_t* remap, int palette_count,
              std::string* out);

 private:
  template <bool kRemapped>
  void Code(const uint8_t* in, size_t count, const uint8_t* remap, int palette_count,
            std::string* out);
  void ResetTable();
  inline void Emit(int code);

  // Dictionary slots.  A slot holds key << 12 | code, where key = index ×
  // 4096 + prefix (below 2^20) and code < 4096, so one load yields both;
  // kEmpty (all ones: key 2^20 - 1 with code 4095 never occurs, as code
  // 4095 is assigned while every prefix is still below 4095) marks a free
  // slot.
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
  std::array<uint32_t, kHashSize> slots_;
  // For each code, the code of its string followed by the string's own last
  // index (the next step of a run of one colour), or kNoRunCode while the
  // dictionary lacks it.  Every such string enters the dictionary while a run
  // is being coded, and the only one that can leave it before a clear is key
  // 0, replaced where a probe ends on it; so this answers exactly as the
  // slots would, and the codes sent stay the same.
  static constexpr uint16_t kNoRunCode = 0xFFFF;
  std::array<uint16_t, kMaxCodes> run_codes_;

  int min_code_size_ = 0;
  int clear_code_ = 0;
  int next_code_ = 0;
  int width_ = 0;
  int largest_code_ = 0;  // the largest code of the current width (4096 at 12 bits)
  bool clear_pending_ = false;
  uint64_t bits_ = 0;  // pending bits, the oldest in the low end
  int bit_count_ = 0;
  std::unique_ptr<uint8_t[]> packed_;  // the packed code bytes, before the cut into sub-blocks
  size_t packed_capacity_ = 0;
  uint8_t* put_ = nullptr;  // next free byte of packed_
};

}  // namespace gif
}  // namespace vantora
