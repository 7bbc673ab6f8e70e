#include "charts/HGIFImageLzw.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "charts/HGIFImageColors.h"
#include "platform/Memory.h"

namespace vantora {
namespace gif {

// Everything here reads 0 for "nothing": memory fresh from the system is
// an empty dictionary already.
struct LzwEncoder::Tables {
  // Dictionary slots.  A slot holds key << 12 | code, where key = index ×
  // 4096 + prefix (below 2^20) and code < 4096, so one load yields both.
  // Codes start above the clear code, so a used slot is never 0.
  uint32_t slots[kHashSize];
  // What the short ways know of each code's string:
  //  - kOneColour | n: the string is one index repeated n times (every code
  //    below the clear code is such a string, n = 1);
  //  - otherwise the code of the string followed by its own last index (the
  //    next step of a run), or 0 while the dictionary lacks it.  Every such
  //    string enters the dictionary while a run is being coded and stays
  //    until the next clear (the one string that a probe can replace
  //    before, key 0, is "0 0", one index repeated); so this answers exactly
  //    as the slots would, and the codes sent stay the same.
  uint16_t code_info[kMaxCodes];
  // Strings found or added lately, each at a place given by its key, in the
  // form of the slots; a newer string takes the place of an older one.
  uint32_t recent[1 << kRecentBits];
};

namespace {

constexpr uint16_t kOneColour = 0x8000;
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// How many of in[from .. end) equal e, counted from `from`.
inline size_t RunLength(const uint8_t* in, size_t from, size_t end, uint8_t e) {
  size_t i = from;
  if (kLittleEndian) {
    // Eight at a time: the first index that differs is the lowest byte of
    // the difference that is not zero.
    const uint64_t pattern = 0x0101010101010101ull * e;
    for (; i + 8 <= end; i += 8) {
      uint64_t word;
      std::memcpy(&word, in + i, sizeof word);
      if (word != pattern)
        return i - from + static_cast<size_t>(std::countr_zero(word ^ pattern) / 8);
    }
  }
  while (i < end && in[i] == e) ++i;
  return i - from;
}

}  // namespace

LzwEncoder::LzwEncoder() = default;

LzwEncoder::~LzwEncoder() {
  if (tables_ != nullptr) munmap(tables_, sizeof(Tables));
}

void LzwEncoder::ResetTable() {
  if (!tables_clean_) std::memset(tables_, 0, sizeof(Tables));
  tables_clean_ = false;
  for (int c = 0; c < clear_code_; ++c) {
    tables_->code_info[c] = kOneColour | 1;
    one_colour_codes_[static_cast<size_t>(c)].resize(1);
  }
}

inline void LzwEncoder::Emit(int code) {
  bits_ |= static_cast<uint64_t>(code) << bit_count_;
  bit_count_ += width_;
  if (kLittleEndian) {
    // The whole bytes go into the block in one store (the block has room
    // for eight bytes past its end).
    std::memcpy(block_ + block_fill_, &bits_, sizeof bits_);
    const int bytes = bit_count_ >> 3;
    block_fill_ += bytes;
    bits_ >>= bytes * 8;
    bit_count_ &= 7;
  } else {
    while (bit_count_ >= 8) {
      block_[block_fill_++] = static_cast<uint8_t>(bits_);
      bits_ >>= 8;
      bit_count_ -= 8;
    }
  }
  if (block_fill_ >= kBlockBytes) {
    // A full sub-block goes out; the bytes past it start the next one.
    out_->push_back(static_cast<char>(kBlockBytes));
    out_->append(reinterpret_cast<const char*>(block_), kBlockBytes);
    block_fill_ -= kBlockBytes;
    std::memmove(block_, block_ + kBlockBytes, static_cast<size_t>(block_fill_));
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
  if (tables_ == nullptr) {
    void* pages =
        mmap(nullptr, sizeof(Tables), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) throw std::bad_alloc();
    tables_ = static_cast<Tables*>(pages);
    tables_clean_ = true;
    // A large picture writes all over the tables: their pages in one go.
    if (count >= kRecentFromPixels) PopulatePages(tables_, sizeof(Tables));
  }
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
  out_ = out;
  block_fill_ = 0;
  if (one_colour_codes_.size() < static_cast<size_t>(clear_code_)) {
    one_colour_codes_.resize(static_cast<size_t>(clear_code_));
  }
  for (int c = 0; c < clear_code_; ++c) {
    std::vector<uint16_t>& codes = one_colour_codes_[static_cast<size_t>(c)];
    codes.assign(1, static_cast<uint16_t>(c));
  }

  ResetTable();
  Emit(clear_code_);

  uint32_t* const slots = tables_->slots;
  uint16_t* const code_info = tables_->code_info;
  uint32_t* const recent = tables_->recent;
  // A small picture codes few strings: the recent strings would cost a page
  // more than they save.
  const bool use_recent = count >= kRecentFromPixels;

  uint32_t prefix = index_at(0);
  size_t i = 1;
  while (i < count) {
    const uint8_t e = in[i];
    const bool in_run = e == in[i - 1];
    if (in_run) {
      // The prefix's string ends in this run's index.
      uint32_t info = code_info[prefix];
      if (info & kOneColour) {
        // A string of this index alone: the dictionary holds it repeated up
        // to codes.size() times, so the run goes on to the longest string
        // that the rest of the run allows.
        const size_t length = info & ~kOneColour;
        const std::vector<uint16_t>& codes = one_colour_codes_[index_at(i)];
        if (length < codes.size()) {
          const size_t steps = RunLength(in, i, std::min(count, i + (codes.size() - length)), e);
          prefix = codes[length + steps - 1];
          i += steps;
          continue;
        }
      } else if (info != 0) {
        // Along the codes of this string followed by the run's index.
        do {
          prefix = info;
          ++i;
        } while (i < count && in[i] == e && (info = code_info[prefix]) != 0);
        continue;
      }
    }
    const uint32_t k = index_at(i);
    ++i;
    const uint32_t key = (k << 12) + prefix;
    // The slot holds key exactly when entry - lowest < 4095: its code is
    // one of 1 .. 4095 (a used slot is never 0).  An entry below 4096 is an
    // empty slot or key 0.
    const uint32_t lowest = (key << 12) + 1;
    int slot = static_cast<int>((k << 4) ^ prefix);
    uint32_t entry = slots[slot];
    if (entry - lowest < 4095u) {
      prefix = entry & 0xFFF;
      continue;
    }
    uint32_t* recent_slot = nullptr;
    if (use_recent) {
      // Strings found or added lately, by key: a hit is in the dictionary
      // (see Tables), so the probe is not needed.
      recent_slot = &recent[(key * 0x9E3779B1u) >> (32 - kRecentBits)];
      if (*recent_slot - lowest < 4095u) {
        prefix = *recent_slot & 0xFFF;
        continue;
      }
    }
    if (entry != 0) {
      // Probe backwards with a step that depends on the first slot.  A slot
      // that is empty or holds key 0 ends the probe; the new string then
      // takes that slot.
      const int step = slot == 0 ? 1 : kHashModulus - slot;
      bool found = false;
      do {
        slot -= step;
        if (slot < 0) slot += kHashModulus;
        entry = slots[slot];
        if (entry - lowest < 4095u) {
          found = true;
          break;
        }
      } while (entry >= 4096);
      if (found) {
        if (recent_slot != nullptr) *recent_slot = entry;
        prefix = entry & 0xFFF;
        continue;
      }
    }
    Emit(static_cast<int>(prefix));
    if (next_code_ < kMaxCodes) {
      const auto code = static_cast<uint16_t>(next_code_++);
      // A probe that ended on key 0 (index 0 after code 0) replaces it: the
      // string "0 0" is no longer in the dictionary, for the short way
      // either.
      if (slots[slot] != 0) {
        one_colour_codes_[0].resize(1);
        uint32_t& zero = recent[0];  // key 0's place among the recent strings
        if (zero < 4096) zero = 0;
      }
      if (in_run) {
        const uint32_t info = code_info[prefix];
        if (!(info & kOneColour)) {
          code_info[prefix] = code;
        } else if (const size_t length = info & ~kOneColour;
                   length == one_colour_codes_[k].size()) {
          code_info[code] = static_cast<uint16_t>(kOneColour | (length + 1));
          one_colour_codes_[k].push_back(code);
        }
      }
      slots[slot] = (key << 12) | code;
      if (recent_slot != nullptr) *recent_slot = slots[slot];
    } else {
      ResetTable();
      next_code_ = clear_code_ + 2;
      clear_pending_ = true;
      Emit(clear_code_);
    }
    prefix = k;
  }
  Emit(static_cast<int>(prefix));
  Emit(end_code);
  if (bit_count_ > 0) block_[block_fill_++] = static_cast<uint8_t>(bits_);  // zero-padded
  bits_ = 0;
  bit_count_ = 0;
  // The last sub-block, shorter, and the block terminator.
  if (block_fill_ > 0) {
    out->push_back(static_cast<char>(block_fill_));
    out->append(reinterpret_cast<const char*>(block_), static_cast<size_t>(block_fill_));
  }
  out->push_back('\0');
  out_ = nullptr;
}

LzwEncoder& ThreadLzwEncoder() {
  thread_local LzwEncoder encoder;
  return encoder;
}

}  // namespace gif
}  // namespace vantora
