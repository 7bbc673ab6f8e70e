#include "platform/Font.h"

#include <dirent.h>
#include <ft2build.h>
#include <sys/stat.h>
#include FT_FREETYPE_H

#include <array>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
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

// folder/name, with one slash between.
std::string Join(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::vector<std::string> FontFolders() {
  std::vector<std::string> folders;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    folders.push_back(Join(xdg, "fonts"));
  }
  if (const char* home = std::getenv("HOME"); home && *home) {
    folders.push_back(Join(home, ".local/share/fonts"));
    folders.push_back(Join(home, ".fonts"));
  }
  folders.emplace_back("/usr/local/share/fonts");
  folders.emplace_back("/usr/share/fonts");
  return folders;
}

// Where the font packages put these files, below a font folder: looked at
// before the folder is walked.
constexpr const char* kKnownSubfolders[] = {"truetype/liberation2", "truetype/liberation",
                                            "truetype/dejavu", "TTF"};

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Walks folder and its subfolders (not following links to folders; folders
// that cannot be read are left out), entries in the order the system lists
// them, and fills the paths of the names still missing.
void WalkFolder(const std::string& folder, const std::vector<std::string>& names,
                std::vector<std::string>* paths, size_t* missing) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  while (*missing > 0) {
    const dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    bool wanted = false;
    for (size_t n = 0; n < names.size(); ++n) wanted = wanted || name == names[n];
    if (!wanted && entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) continue;
    const std::string path = Join(folder, std::string(name));
    bool folder_entry = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      folder_entry = lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    for (size_t n = 0; wanted && n < names.size(); ++n) {
      if ((*paths)[n].empty() && name == names[n] && IsRegularFile(path)) {
        (*paths)[n] = path;
        --*missing;
      }
    }
    if (folder_entry) WalkFolder(path, names, paths, missing);
  }
  closedir(dir);
}

}  // namespace

std::vector<std::string> FindFontFiles(const std::vector<std::string>& names) {
  std::vector<std::string> paths(names.size());
  size_t missing = names.size();
  for (const std::string& folder : FontFolders()) {
    if (missing == 0) break;
    if (!IsDirectory(folder)) continue;
    for (size_t n = 0; n < names.size(); ++n) {
      if (!paths[n].empty()) continue;
      for (const char* subfolder : kKnownSubfolders) {
        const std::string candidate = Join(Join(folder, subfolder), names[n]);
        if (IsRegularFile(candidate)) {
          paths[n] = candidate;
          --missing;
          break;
        }
      }
    }
    if (missing > 0) WalkFolder(folder, names, &paths, &missing);
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

// The glyphs of one style at one pixel height, loaded as they are asked for.
struct GlyphSet {
  int style = 0;
  int pixel_height = 0;
  bool metrics_known = false;
  LineMetrics metrics;
  std::array<const Glyph*, 256> by_char{};  // null: not loaded yet
  std::deque<Glyph> glyphs;                 // stays in place as it grows
};

// The process-wide FreeType state: the library, one face per style (loaded on
// first use) and the glyph sets.  Guarded by mutex_.
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
  GlyphSet& SetOf(int style, int pixel_height) {
    if (last_ != nullptr && last_->style == style && last_->pixel_height == pixel_height) {
      return *last_;
    }
    for (const auto& set : sets_) {
      if (set->style == style && set->pixel_height == pixel_height) {
        last_ = set.get();
        return *last_;
      }
    }
    sets_.push_back(std::make_unique<GlyphSet>());
    last_ = sets_.back().get();
    last_->style = style;
    last_->pixel_height = pixel_height;
    return *last_;
  }

  // REQUIRES: mutex_ held.
  const Glyph& GlyphOf(GlyphSet& set, unsigned char c) {
    if (const Glyph* known = set.by_char[c]) return *known;
    FT_Face face = Face(set.style, set.pixel_height);
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
    set.glyphs.push_back(std::move(glyph));
    set.by_char[c] = &set.glyphs.back();
    return set.glyphs.back();
  }

  // REQUIRES: mutex_ held.
  const LineMetrics& MetricsOf(GlyphSet& set) {
    if (!set.metrics_known) {
      FT_Face face = Face(set.style, set.pixel_height);
      set.metrics.ascent = static_cast<int>((face->size->metrics.ascender + 63) >> 6);
      set.metrics.descent = static_cast<int>((-face->size->metrics.descender + 63) >> 6);
      set.metrics_known = true;
    }
    return set.metrics;
  }

  // REQUIRES: mutex_ held.
  std::string FilePath(int style) {
    if (!path_known_[style]) {
      // Liberation Sans anywhere before DejaVu Sans anywhere; a style found
      // nowhere falls back to the regular face.  Each style is looked for
      // when it is first used.
      std::string path = FindFontFiles({kLiberation[style]})[0];
      if (path.empty()) path = FindFontFiles({kDejaVu[style]})[0];
      if (path.empty() && style != 0) path = FilePath(0);
      paths_[style] = path;
      path_known_[style] = true;
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
  bool path_known_[4] = {false, false, false, false};
  std::string paths_[4];
  std::vector<std::unique_ptr<GlyphSet>> sets_;
  GlyphSet* last_ = nullptr;  // the set asked for last
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
  return engine.MetricsOf(engine.SetOf(StyleOf(f), PixelHeight(f)));
}

int TextWidth(const TFont& f, std::string_view text) {
  FontEngine& engine = FontEngine::Instance();
  std::lock_guard<std::mutex> lock(engine.Mutex());
  GlyphSet& set = engine.SetOf(StyleOf(f), PixelHeight(f));
  int width = 0;
  for (char c : text) width += engine.GlyphOf(set, static_cast<unsigned char>(c)).advance;
  return width;
}

void RenderText(const TFont& f, int x, int y, std::string_view text,
                const std::function<void(int, int)>& plot) {
  FontEngine& engine = FontEngine::Instance();
  std::lock_guard<std::mutex> lock(engine.Mutex());
  GlyphSet& set = engine.SetOf(StyleOf(f), PixelHeight(f));
  const int baseline = y + engine.MetricsOf(set).ascent;
  int pen_x = x;
  for (char c : text) {
    const Glyph& g = engine.GlyphOf(set, static_cast<unsigned char>(c));
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
