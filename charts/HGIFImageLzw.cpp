#include "charts/HGIFImageLzw.h"

#include <algorithm>
#include <cstring>

#include "charts/HGIFImageColors.h"

namespace vantora {
namespace gif {

void LzwEncoder::ResetTable() {
  slots_.fill(kEmpty);
  run_codes_.fill(kNoRunCode);
}

inline void LzwEncoder::Emit(int code) {
  bits_ |= static_cast<uint64_t>(code) << bit_count_;
  bit_count_ += width_;
  while (bit_count_ >= 8) {
    *put_++ = static_cast<uint8_t>(bits_);
    bits_ >>= 8;
    bit_count_ -= 8;
  }
  // The width follows the dictionary: after a clear it falls back to the
  // start width; it grows once the next free code no longer fits.
  if (clear_pending_) {
    clear_pending_ = false;
    width_ = min_code_size_ + 1;
    largest_code_ = (1 << width_) - 1;
  } else if (next_code_ > largest_code_) {
    ++width_;
    largest_code_ = width_ == 12 ? kMaxCodes : (1 << width_) - 1;
  }
}

void LzwEncoder::Encode(const uint8_t* indices, size_t count, int palette_count, std::string* out) {
  Code<false>(indices, count, nullptr, palette_count, out);
}

void LzwEncoder::Encode(const uint8_t* entries, size_t count, const uint8_t* remap,
                        int palette_count, std::string* out) {
  Code<true>(entries, count, remap, palette_count, out);
}

template <bool kRemapped>
void LzwEncoder::Code(const uint8_t* in, size_t count, const uint8_t* remap, int palette_count,
                      std::string* out) {
  // The palette index of position i.  Equal entries have equal indices and
  // distinct ones distinct indices, so runs are found on the entries.
  const auto index_at = [in, remap](size_t i) -> uint32_t {
    if constexpr (kRemapped) {
      return remap[in[i]];
    } else {
      static_cast<void>(remap);
      return in[i];
    }
  };
  min_code_size_ = std::max(PaletteBits(palette_count), 2);
  out->push_back(static_cast<char>(min_code_size_));

  clear_code_ = 1 << min_code_size_;
  const int end_code = clear_code_ + 1;
  next_code_ = clear_code_ + 2;
  width_ = min_code_size_ + 1;
  largest_code_ = (1 << width_) - 1;
  clear_pending_ = false;
  bits_ = 0;
  bit_count_ = 0;
  // Every index costs at most one code of at most 12 bits, plus the clear
  // codes (one per 4096 codes at most), the first clear and the end code.
  const size_t capacity = count * 2 + 16;
  if (packed_capacity_ < capacity) {
    packed_ = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    packed_capacity_ = capacity;
  }
  put_ = packed_.get();

  ResetTable();
  Emit(clear_code_);

  uint32_t prefix = index_at(0);
  for (size_t i = 1; i < count; ++i) {
    // Inside a run of one colour the prefix ends in k itself: its extension
    // by k, when the dictionary holds it, is one load away.
    const bool in_run = in[i] == in[i - 1];
    if (in_run && run_codes_[prefix] != kNoRunCode) {
      prefix = run_codes_[prefix];
      continue;
    }
    const uint32_t k = index_at(i);
    const uint32_t key = (k << 12) + prefix;
    int slot = static_cast<int>((k << 4) ^ prefix);
    uint32_t entry = slots_[slot];
    if ((entry >> 12) == key && entry != kEmpty) {
      prefix = entry & 0xFFF;
      continue;
    }
    if (entry != kEmpty) {
      // Probe backwards with a step that depends on the first slot.  A slot
      // that is empty or holds key 0 ends the probe; the new string then
      // takes that slot.
      const int step = slot == 0 ? 1 : kHashModulus - slot;
      bool found = false;
      do {
        slot -= step;
        if (slot < 0) slot += kHashModulus;
        entry = slots_[slot];
        if ((entry >> 12) == key && entry != kEmpty) {
          found = true;
          break;
        }
      } while (entry != kEmpty && (entry >> 12) != 0);
      if (found) {
        prefix = entry & 0xFFF;
        continue;
      }
    }
    Emit(static_cast<int>(prefix));
    prefix = k;
    if (next_code_ < kMaxCodes) {
      // A probe that ended on key 0 (index 0 after code 0) replaces it: that
      // string is no longer in the dictionary, for the runs either.
      if (slots_[slot] != kEmpty) run_codes_[0] = kNoRunCode;
      if (in_run) run_codes_[key & 0xFFF] = static_cast<uint16_t>(next_code_);
      slots_[slot] = (key << 12) | static_cast<uint32_t>(next_code_++);
    } else {
      ResetTable();
      next_code_ = clear_code_ + 2;
      clear_pending_ = true;
      Emit(clear_code_);
    }
  }
  Emit(static_cast<int>(prefix));
  Emit(end_code);
  if (bit_count_ > 0) *put_++ = static_cast<uint8_t>(bits_);  // the last bits, zero-padded
  bits_ = 0;
  bit_count_ = 0;

  // Cut the packed bytes into sub-blocks of at most 255 bytes.
  const uint8_t* data = packed_.get();
  size_t remaining = static_cast<size_t>(put_ - packed_.get());
  const size_t start = out->size();
  out->resize(start + remaining + (remaining + 254) / 255 + 1);
  char* dst = out->data() + start;
  while (remaining > 0) {
    const size_t n = std::min<size_t>(remaining, 255);
    *dst++ = static_cast<char>(n);
    std::memcpy(dst, data, n);
    dst += n;
    data += n;
    remaining -= n;
  }
  *dst = 0;  // block terminator
}

}  // namespace gif
}  // namespace vantora
