#include "charts/HGIFImageColors.h"

#include <bitset>
#include <cstring>

namespace vantora {
namespace gif {

int PaletteBits(int count) {
  int bits = 1;
  while (bits < 8 && (1 << bits) < count) ++bits;
  return bits;
}

void ColorPalette::Clear() {
  count_ = 0;
  rgb_.fill(0);
  hash_colour_.fill(0xFFFFFFFFu);
  hash_index_.fill(-1);
}

int ColorPalette::Find(uint32_t rgb) const {
  for (size_t slot = HashSlot(rgb);; slot = (slot + 1) & (kHashSize - 1)) {
    if (hash_index_[slot] < 0) return -1;
    if (hash_colour_[slot] == rgb) return hash_index_[slot];
  }
}

int ColorPalette::Add(uint32_t rgb) {
  if (count_ >= kMaxColors) return -1;
  const int index = count_++;
  uint8_t* entry = &rgb_[static_cast<size_t>(index) * 3];
  entry[0] = static_cast<uint8_t>(rgb >> 16);
  entry[1] = static_cast<uint8_t>(rgb >> 8);
  entry[2] = static_cast<uint8_t>(rgb);
  size_t slot = HashSlot(rgb);
  while (hash_index_[slot] >= 0) slot = (slot + 1) & (kHashSize - 1);
  hash_colour_[slot] = rgb;
  hash_index_[slot] = static_cast<int16_t>(index);
  return index;
}

CollectResult CollectColors(const TBitmap& bitmap, bool interlaced, TColor transparent_color,
                            ColorPalette* palette, uint8_t* indices) {
  CollectResult result;
  const int width = bitmap.Width();
  std::bitset<ColorPalette::kMaxColors> used;
  // The run of the last colour seen: most neighbouring pixels of a chart share
  // their colour, so most pixels need no lookup at all.
  uint32_t last_rgb = 0xFFFFFFFFu;
  uint8_t last_index = 0;
  uint8_t* out = indices;
  bool overflow = false;
  // The row looked at last and its indices: a chart repeats most rows
  // exactly (its background, the bars' bodies), and a repeated row takes the
  // indices already found.  It holds no new colour and ends on the same
  // colour as before, so the palette and the run stay as they were.
  const uint32_t* previous_row = nullptr;
  const uint8_t* previous_out = nullptr;
  const size_t row_bytes = static_cast<size_t>(width) * sizeof(uint32_t);
  ForEachRow(bitmap.Height(), interlaced, [&](int y) {
    if (overflow) return;
    const uint32_t* row = bitmap.ScanLine(y);
    if (previous_row != nullptr && std::memcmp(row, previous_row, row_bytes) == 0) {
      std::memcpy(out, previous_out, static_cast<size_t>(width));
      previous_out = out;
      out += width;
      return;
    }
    previous_row = row;
    previous_out = out;
    for (int x = 0; x < width; ++x) {
      const uint32_t rgb = row[x] & 0x00FFFFFFu;
      if (rgb != last_rgb) {
        int index = palette->Find(rgb);
        if (index < 0) {
          index = palette->Add(rgb);
          if (index < 0) {
            overflow = true;
            return;
          }
        }
        last_rgb = rgb;
        last_index = static_cast<uint8_t>(index);
        used.set(last_index);
      }
      *out++ = last_index;
    }
  });
  if (overflow) {
    result.too_many_colors = true;
    return result;
  }
  const int transparent = palette->Find(SwapRedBlue(transparent_color));
  if (transparent >= 0 && used.test(static_cast<size_t>(transparent))) {
    result.transparent_index = static_cast<uint8_t>(transparent);
  }
  result.ok = true;
  return result;
}

namespace {

constexpr uint64_t kEightOnes = 0x0101010101010101ull;

// Whether one of the eight bytes of word equals the byte that pattern holds
// eight times.
bool HoldsByte(uint64_t word, uint64_t pattern) {
  const uint64_t v = word ^ pattern;
  return ((v - kEightOnes) & ~v & (kEightOnes << 7)) != 0;
}

}  // namespace

CollectResult CollectTableColors(const TBitmap& bitmap, bool interlaced, TColor transparent_color,
                                 ColorPalette* palette, std::array<uint8_t, 256>* remap) {
  CollectResult result;
  const size_t width = static_cast<size_t>(bitmap.Width());
  const uint8_t* bits = bitmap.IndexBits();
  std::array<bool, 256> met{};
  int unmet = bitmap.ColorCount();
  bool overflow = false;
  // While few entries are still unmet, the patterns of eight of each: a
  // word that holds none of them needs no look at its pixels.
  constexpr int kFewUnmet = 3;
  uint64_t unmet_patterns[kFewUnmet];
  const auto meet = [&](uint8_t entry) {
    met[entry] = true;
    --unmet;
    if (unmet > 0 && unmet <= kFewUnmet) {
      int n = 0;
      for (int e = 0; e < bitmap.ColorCount(); ++e) {
        if (!met[static_cast<size_t>(e)]) {
          unmet_patterns[n++] = kEightOnes * static_cast<uint64_t>(e);
        }
      }
    }
    const uint32_t rgb = bitmap.ColorEntry(entry);
    int index = palette->Find(rgb);
    if (index < 0) index = palette->Add(rgb);
    if (index < 0) {
      overflow = true;
      return;
    }
    (*remap)[entry] = static_cast<uint8_t>(index);
  };
  // An entry known to be met: a word of eight such pixels needs no look.
  uint8_t known = bits[0];
  uint64_t known_word = kEightOnes * known;
  meet(known);
  // The last two rows looked at: a row equal to one of them shows no new
  // colour.  Two, as a dotted grid line makes rows alternate.
  const uint8_t* previous_rows[2] = {nullptr, nullptr};
  ForEachRow(bitmap.Height(), interlaced, [&](int y) {
    if (overflow || unmet == 0) return;
    const uint8_t* row = bits + static_cast<size_t>(y) * width;
    for (const uint8_t* seen : previous_rows) {
      if (seen != nullptr && std::memcmp(row, seen, width) == 0) return;
    }
    previous_rows[1] = previous_rows[0];
    previous_rows[0] = row;
    size_t x = 0;
    while (x < width && !overflow && unmet > 0) {
      if (x + 8 <= width) {
        uint64_t word;
        std::memcpy(&word, row + x, 8);
        if (word == known_word) {
          x += 8;
          continue;
        }
        if (unmet <= kFewUnmet) {
          bool holds_unmet = false;
          for (int u = 0; u < unmet; ++u) holds_unmet |= HoldsByte(word, unmet_patterns[u]);
          if (!holds_unmet) {
            x += 8;
            continue;
          }
        }
      }
      const uint8_t entry = row[x++];
      if (!met[entry]) meet(entry);
      if (entry != known) {
        known = entry;
        known_word = kEightOnes * known;
      }
    }
  });
  if (overflow) {
    result.too_many_colors = true;
    return result;
  }
  // The transparent index, when a pixel shows the transparent colour.
  const uint32_t transparent = SwapRedBlue(transparent_color);
  for (int e = 0; e < bitmap.ColorCount(); ++e) {
    if (met[static_cast<size_t>(e)] && bitmap.ColorEntry(e) == transparent) {
      result.transparent_index = (*remap)[static_cast<size_t>(e)];
      break;
    }
  }
  result.ok = true;
  return result;
}

}  // namespace gif
}  // namespace vantora
