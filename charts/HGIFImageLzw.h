// The LZW coder of the GIF encoder.
//
// Classic variable-code-width GIF LZW.  The dictionary maps (prefix code,
// next index) to a code through an open-addressing hash of 5120 slots probed
// modulo 5119; it holds at most 4096 codes and, when full, is cleared and a
// clear code is sent.  The code width starts at minimum code size + 1 and
// grows by one bit as soon as the next free code no longer fits, up to 12
// bits.  Codes are packed least significant bit first and cut into data
// sub-blocks of 255 bytes (only the last one of a frame shorter).
//
// Runs of one colour, the common case of charts, take short ways that give
// the codes the hash would give: a run continues along the codes of its own
// strings, and a run of a string of one colour alone jumps to the longest
// such string the dictionary holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vantora {
namespace gif {

class LzwEncoder {
 public:
  static constexpr int kHashSize = 5120;
  static constexpr int kHashModulus = 5119;
  static constexpr int kMaxCodes = 4096;

  LzwEncoder();
  ~LzwEncoder();
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
  struct Tables;
  static constexpr int kRecentBits = 10;
  static constexpr size_t kRecentFromPixels = 16384;

  template <bool kRemapped>
  void Code(const uint8_t* in, size_t count, const uint8_t* remap, int palette_count,
            std::string* out);
  // Empties the dictionary.
  void ResetTable();
  inline void Emit(int code);

  // The dictionary and what the short ways know of it (see Tables), in
  // pages of their own that read as zero until written: a small picture
  // touches a few of them only.  Made once per coder; a thread's coder
  // serves all its pictures.
  Tables* tables_ = nullptr;
  bool tables_clean_ = true;  // nothing written since the pages were made or cleared
  // For each index c, the codes of the strings c, cc, ccc ... that the
  // dictionary holds (c itself first).
  std::vector<std::vector<uint16_t>> one_colour_codes_;

  int min_code_size_ = 0;
  int clear_code_ = 0;
  int next_code_ = 0;
  int width_ = 0;
  int largest_code_ = 0;  // the largest code of the current width (4096 at 12 bits)
  bool clear_pending_ = false;
  uint64_t bits_ = 0;  // pending bits, the oldest in the low end
  int bit_count_ = 0;
  // The data sub-block being filled, with room for a store of eight bytes
  // past its end; full ones go to out_.
  static constexpr int kBlockBytes = 255;
  uint8_t block_[kBlockBytes + 16];
  int block_fill_ = 0;
  std::string* out_ = nullptr;
};

// The coder of the calling thread, kept for the thread's pictures.
LzwEncoder& ThreadLzwEncoder();

}  // namespace gif
}  // namespace vantora
