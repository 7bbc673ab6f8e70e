#include "platform/Font.h"

#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "platform/Canvas.h"

namespace vantora {
namespace font {

namespace {

// Style index: bit 0 bold, bit 1 italic.
int StyleOf(const TFont& f) { return (f.Bold ? 1 : 0) | (f.Italic ? 2 : 0); }

// File names per style, in order of preference.
constexpr const char* kLiberation[4] = {"LiberationSans-Regular.ttf", "LiberationSans-Bold.ttf",
                                        "LiberationSans-Italic.ttf",
                                        "LiberationSans-BoldItalic.ttf"};
constexpr const char* kDejaVu[4] = {"DejaVuSans.ttf", "DejaVuSans-Bold.ttf",
                                    "DejaVuSans-Oblique.ttf", "DejaVuSans-BoldOblique.ttf"};

std::vector<std::filesystem::path> FontFolders() {
  std::vector<std::filesystem::path> folders;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    folders.emplace_back(std::filesystem::path(xdg) / "fonts");
  }
  if (const char* home = std::getenv("HOME"); home && *home) {
    folders.emplace_back(std::filesystem::path(home) / ".local/share/fonts");
    folders.emplace_back(std::filesystem::path(home) / ".fonts");
  }
  folders.emplace_back("/usr/local/share/fonts");
  folders.emplace_back("/usr/share/fonts");
  return folders;
}

// Where the font packages put these files, below a font folder: looked at
// before the folder is walked.
constexpr const char* kKnownSubfolders[] = {"truetype/liberation2", "truetype/liberation",
                                            "truetype/dejavu", "TTF"};

}  // namespace

std::vector<std::string> FindFontFiles(const std::vector<std::string>& names) {
  std::vector<std::string> paths(names.size());
  size_t missing = names.size();
  std::error_code ec;
  for (const auto& folder : FontFolders()) {
    if (missing == 0) break;
    if (!std::filesystem::is_directory(folder, ec)) continue;
    for (size_t n = 0; n < names.size(); ++n) {
      if (!paths[n].empty()) continue;
      for (const char* subfolder : kKnownSubfolders) {
        const std::filesystem::path candidate = folder / subfolder / names[n];
        if (std::filesystem::is_regular_file(candidate, ec)) {
          paths[n] = candidate.string();
          --missing;
          break;
        }
      }
    }
    if (missing == 0) break;
    std::filesystem::recursive_directory_iterator it(
        folder, std::filesystem::directory_options::skip_permission_denied, ec);
    for (; !ec && missing > 0 && it != std::filesystem::recursive_directory_iterator();
         it.increment(ec)) {
      const std::string file_name = it->path().filename().string();
      for (size_t n = 0; n < names.size(); ++n) {
        if (paths[n].empty() && file_name == names[n] && it->is_regular_file(ec)) {
          paths[n] = it->path().string();
          --missing;
        }
      }
    }
  }
  return paths;
}

namespace {

struct Glyph {
  int left = 0;  // offset of the bitmap from the pen position
  int top = 0;   // rows of the bitmap above the baseline
  int width = 0;
  int rows = 0;
  int pitch = 0;
  int advance = 0;            // pixels
  std::vector<uint8_t> bits;  // one bit per pixel, most significant bit first
};

// The process-wide FreeType state: the library, one face per style (loaded on
// first use) and a glyph cache.  Guarded by mutex_.
class FontEngine {
 public:
  static FontEngine& Instance() {
    static FontEngine engine;
    return engine;
  }

  std::mutex& Mutex() { return mutex_; }

  // REQUIRES: mutex_ held.
  FT_Face Face(int style, int pixel_height) {
    if (!library_ && FT_Init_FreeType(&library_) != 0) {
      library_ = nullptr;
      throw std::runtime_error("FreeType could not be initialised");
    }
    if (!faces_[style]) {
      const std::string path = FilePath(style);
      if (path.empty()) {
        throw std::runtime_error(
            "No font file found: Liberation Sans or DejaVu Sans is needed in the system font "
            "folders");
      }
      FT_Face face = nullptr;
      if (FT_New_Face(library_, path.c_str(), 0, &face) != 0) {
        throw std::runtime_error("Font file " + path + " could not be loaded");
      }
      faces_[style] = face;
    }
    FT_Face face = faces_[style];
    if (face->size->metrics.y_ppem != pixel_height) {
      FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(pixel_height));
    }
    return face;
  }

  // REQUIRES: mutex_ held.
  const Glyph& GlyphOf(int style, int pixel_height, unsigned char c) {
    const auto key = std::make_tuple(style, pixel_height, c);
    auto it = glyphs_.find(key);
    if (it != glyphs_.end()) return it->second;
    FT_Face face = Face(style, pixel_height);
    Glyph glyph;
    // Latin-1 bytes are their own Unicode code points.
    if (FT_Load_Char(face, c, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO) == 0) {
      const FT_GlyphSlot slot = face->glyph;
      if (slot->format != FT_GLYPH_FORMAT_BITMAP || slot->bitmap.pixel_mode != FT_PIXEL_MODE_MONO) {
        FT_Render_Glyph(slot, FT_RENDER_MODE_MONO);
      }
      glyph.left = slot->bitmap_left;
      glyph.top = slot->bitmap_top;
      glyph.advance = static_cast<int>((slot->advance.x + 32) >> 6);
      if (slot->bitmap.pixel_mode == FT_PIXEL_MODE_MONO) {
        glyph.width = static_cast<int>(slot->bitmap.width);
        glyph.rows = static_cast<int>(slot->bitmap.rows);
        glyph.pitch = (glyph.width + 7) / 8;
        glyph.bits.resize(static_cast<size_t>(glyph.pitch) * glyph.rows);
        for (int r = 0; r < glyph.rows; ++r) {
          const unsigned char* src = slot->bitmap.buffer + r * slot->bitmap.pitch;
          std::copy_n(src, glyph.pitch, glyph.bits.data() + static_cast<size_t>(r) * glyph.pitch);
        }
      }
    }
    return glyphs_.emplace(key, std::move(glyph)).first->second;
  }

  // REQUIRES: mutex_ held.
  LineMetrics MetricsOf(int style, int pixel_height) {
    FT_Face face = Face(style, pixel_height);
    LineMetrics m;
    m.ascent = static_cast<int>((face->size->metrics.ascender + 63) >> 6);
    m.descent = static_cast<int>((-face->size->metrics.descender + 63) >> 6);
    return m;
  }

  // REQUIRES: mutex_ held.
  std::string FilePath(int style) {
    if (!paths_searched_) {
      // Liberation Sans anywhere before DejaVu Sans anywhere, style by style.
      const std::vector<std::string> liberation =
          FindFontFiles(std::vector<std::string>(std::begin(kLiberation), std::end(kLiberation)));
      std::vector<std::string> dejavu(4);
      std::vector<std::string> dejavu_names;
      for (int s = 0; s < 4; ++s) {
        if (liberation[s].empty()) dejavu_names.emplace_back(kDejaVu[s]);
      }
      if (!dejavu_names.empty()) {
        const std::vector<std::string> found = FindFontFiles(dejavu_names);
        size_t next = 0;
        for (int s = 0; s < 4; ++s) {
          if (liberation[s].empty()) dejavu[s] = found[next++];
        }
      }
      for (int s = 0; s < 4; ++s) paths_[s] = liberation[s].empty() ? dejavu[s] : liberation[s];
      // A missing style falls back to the regular face.
      for (int s = 1; s < 4; ++s) {
        if (paths_[s].empty()) paths_[s] = paths_[0];
      }
      paths_searched_ = true;
    }
    return paths_[style];
  }

 private:
  FontEngine() = default;
  ~FontEngine() {
    for (FT_Face face : faces_) {
      if (face) FT_Done_Face(face);
    }
    if (library_) FT_Done_FreeType(library_);
  }

  std::mutex mutex_;
  FT_Library library_ = nullptr;
  FT_Face faces_[4] = {nullptr, nullptr, nullptr, nullptr};
  bool paths_searched_ = false;
  std::string paths_[4];
  std::map<std::tuple<int, int, unsigned char>, Glyph> glyphs_;
};

int PixelHeight(const TFont& f) { return f.Height < 1 ? 1 : f.Height; }

}  // namespace

std::string FontFilePath(bool bold, bool italic) {
  FontEngine& engine = FontEngine::Instance();
  std::lock_guard<std::mutex> lock(engine.Mutex());
  return engine.FilePath((bold ? 1 : 0) | (italic ? 2 : 0));
}

LineMetrics Metrics(const TFont& f) {
  FontEngine& engine = FontEngine::Instance();
  std::lock_guard<std::mutex> lock(engine.Mutex());
  return engine.MetricsOf(StyleOf(f), PixelHeight(f));
}

int TextWidth(const TFont& f, std::string_view text) {
  FontEngine& engine = FontEngine::Instance();
  std::lock_guard<std::mutex> lock(engine.Mutex());
  int width = 0;
  for (char c : text) {
    width += engine.GlyphOf(StyleOf(f), PixelHeight(f), static_cast<unsigned char>(c)).advance;
  }
  return width;
}

void RenderText(const TFont& f, int x, int y, std::string_view text,
                const std::function<void(int, int)>& plot) {
  FontEngine& engine = FontEngine::Instance();
  std::lock_guard<std::mutex> lock(engine.Mutex());
  const int style = StyleOf(f);
  const int height = PixelHeight(f);
  const int baseline = y + engine.MetricsOf(style, height).ascent;
  int pen_x = x;
  for (char c : text) {
    const Glyph& g = engine.GlyphOf(style, height, static_cast<unsigned char>(c));
    for (int r = 0; r < g.rows; ++r) {
      const uint8_t* row = g.bits.data() + static_cast<size_t>(r) * g.pitch;
      for (int col = 0; col < g.width; ++col) {
        if (row[col >> 3] & (0x80 >> (col & 7))) plot(pen_x + g.left + col, baseline - g.top + r);
      }
    }
    pen_x += g.advance;
  }
}

}  // namespace font
}  // namespace vantora
