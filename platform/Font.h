// Text rendering with FreeType, one bit per pixel.
//
// Glyphs are rendered without anti-aliasing, so drawn text consists of
// pixels of the font colour only and adds no colours to an image.  The face
// is Liberation Sans (the metric twin of Arial), else DejaVu Sans, found in
// the system's font folders.  Nothing is loaded until the first text is
// measured or drawn.  All functions may be called from any thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vantora {

struct TFont;

namespace font {

struct LineMetrics {
  int ascent = 0;   // pixels above the baseline
  int descent = 0;  // pixels below the baseline
  int Height() const { return ascent + descent; }
};

// The font file used for a style, or empty when the host has none.
std::string FontFilePath(bool bold, bool italic);

// Finds each named file in the font folders ($XDG_DATA_HOME/fonts,
// ~/.local/share/fonts, ~/.fonts, /usr/local/share/fonts, /usr/share/fonts),
// the earlier folder winning: in each folder the places the font packages use
// are looked at first, then the folder is walked once for the names still
// missing.  A name found nowhere gives an empty path.
std::vector<std::string> FindFontFiles(const std::vector<std::string>& names);

// Throw std::runtime_error when the host has no usable font file.
LineMetrics Metrics(const TFont& font);
int TextWidth(const TFont& font, std::string_view text);

// Calls plot(x, y) for every pixel of text drawn with its cell's top-left
// corner at (x, y) (the baseline lies ascent pixels below y).  Text is
// 8-bit Latin-1.
void RenderText(const TFont& font, int x, int y, std::string_view text,
                const std::function<void(int, int)>& plot);

}  // namespace font
}  // namespace vantora
