#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "GifDecodeCheck.h"
#include "GifTestData.h"
#include "IdleFrameTimer.h"
#include "charts/HGIFImage.h"
#include "support/ScopedTempDir.h"

namespace vantora {
namespace {

using testing_gif::DecodeWithGiflib;
using testing_gif::FramesMatchGiflib;
using testing_gif::GifBuilder;
using IdleTimer = testing_gif::IdleFrameTimer;

std::unique_ptr<TGIFImage> NewImage() {
  return std::make_unique<TGIFImage>(std::make_unique<IdleTimer>());
}

std::string Encode(const TGifSaveInfo& info) {
  TGIFImage image(std::make_unique<IdleTimer>());
  TMemoryStream stream;
  EXPECT_TRUE(image.WriteToStream(&stream, info)) << "ErrorCode " << int{image.ErrorCode()};
  return stream.Bytes();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Random pixels of `colours` distinct colours; colour 0 is red.
std::unique_ptr<TBitmap> RandomBitmap(int w, int h, int colours, uint32_t seed) {
  auto bmp = std::make_unique<TBitmap>(w, h);
  std::mt19937 random(seed);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const int c = static_cast<int>(random() % colours);
      bmp->SetPixel(x, y, c == 0 ? clRed : MakeColor(static_cast<uint8_t>(c), 40, 200));
    }
  }
  return bmp;
}

// ---- Our own encoder's files, decoded against giflib ----------------------

struct FrameSpec {
  int w, h, colours, left, top;
  bool interlaced, transparent;
  uint8_t disposal;
  int delay;
};

struct EncodedCase {
  std::string name;
  std::vector<FrameSpec> frames;
  bool global_palette;
  uint16_t loop_count;
};

class OwnEncoderCorpus : public ::testing::TestWithParam<EncodedCase> {};

TEST_P(OwnEncoderCorpus, FramesAndCompositionMatchGiflib) {
  const EncodedCase& c = GetParam();
  std::vector<std::unique_ptr<TBitmap>> bitmaps;
  std::vector<TFrameInfo> frames(c.frames.size());
  TGifSaveInfo info;
  info.Count = static_cast<int>(c.frames.size());
  info.GlobalPalette = c.global_palette;
  info.LoopCount = c.loop_count;
  for (size_t i = 0; i < c.frames.size(); ++i) {
    const FrameSpec& s = c.frames[i];
    bitmaps.push_back(RandomBitmap(s.w, s.h, s.colours, static_cast<uint32_t>(i + 7)));
    frames[i].Bitmap = bitmaps.back().get();
    frames[i].Left = s.left;
    frames[i].Top = s.top;
    frames[i].Interlaced = s.interlaced;
    frames[i].Transparent = s.transparent;
    frames[i].TransparentColor = clRed;
    frames[i].Disposal = s.disposal;
    frames[i].Delay = s.delay;
    frames[i].Comment = i == 0 ? "first" : "";
    info.Frames[i] = &frames[i];
  }
  const std::string bytes = Encode(info);
  auto image = NewImage();
  ASSERT_TRUE(image->LoadFromBytes(bytes)) << int{image->ErrorCode()};
  EXPECT_EQ(image->ErrorCode(), TGIFImage::kOk);
  EXPECT_TRUE(FramesMatchGiflib(bytes, image.get()));
}

INSTANTIATE_TEST_SUITE_P(
    HGIFImageRead, OwnEncoderCorpus,
    ::testing::Values(
        EncodedCase{"TwoColours", {{37, 23, 2, 0, 0, false, false, 0, 0}}, true, 0},
        EncodedCase{"SixteenInterlaced", {{41, 19, 16, 0, 0, true, false, 0, 0}}, true, 0},
        EncodedCase{"AllColoursTableResets", {{200, 100, 256, 0, 0, false, false, 0, 0}}, true, 0},
        EncodedCase{"Transparent", {{30, 30, 5, 0, 0, false, true, 0, 0}}, true, 0},
        EncodedCase{"GlobalTableDisposals",
                    {{40, 30, 4, 0, 0, false, false, 1, 100},
                     {20, 10, 3, 5, 7, false, true, 2, 50},
                     {16, 16, 6, 10, 2, true, true, 3, 0},
                     {12, 9, 3, 1, 1, false, true, 0, 1234}},
                    true,
                    3},
        EncodedCase{"LocalTables",
                    {{32, 24, 200, 0, 0, false, false, 0, 70},
                     {32, 24, 100, 0, 0, true, true, 3, 70},
                     {8, 5, 2, 20, 15, false, true, 2, 70}},
                    false,
                    0}),
    [](const auto& info) { return info.param.name; });

// ---- gifsicle's files ------------------------------------------------------

struct GifsicleCase {
  std::string name;
  std::string options;                          // placed before the input frames
  std::function<bool(const TGIFImage&)> shows;  // what the file must exercise
  std::vector<std::string> per_input = {};      // options placed before each input
};

class GifsicleCorpus : public ::testing::TestWithParam<GifsicleCase> {};

TEST_P(GifsicleCorpus, FramesAndCompositionMatchGiflib) {
  const GifsicleCase& c = GetParam();
  ScopedTempDir dir;
  // Four pictures, a block moving across them, and
  // pure red (the transparent colour of some cases) in a corner of each.
  std::string inputs;
  for (int i = 0; i < 4; ++i) {
    TBitmap bmp(48, 32);
    for (int y = 0; y < 32; ++y) {
      for (int x = 0; x < 48; ++x) {
        // The last picture has 192 colours of its own: more than one table holds.
        TColor colour =
            MakeColor(static_cast<uint8_t>(i == 3 ? 120 : 0), static_cast<uint8_t>(x * 5),
                      static_cast<uint8_t>(90 + y / 8 * 30));
        if (x >= i * 9 && x < i * 9 + 12 && y >= 8 && y < 22) colour = MakeColor(250, 250, 0);
        if (x < 6 && y < 4 + i) colour = clRed;
        if (i == 2 && y > 28) colour = MakeColor(static_cast<uint8_t>(x), 0, 255);
        bmp.SetPixel(x, y, colour);
      }
    }
    TFrameInfo frame;
    frame.Bitmap = &bmp;
    TGifSaveInfo info;
    info.Count = 1;
    info.Frames[0] = &frame;
    const std::string path = dir.path() + "/in" + std::to_string(i) + ".gif";
    WriteFile(path, Encode(info));
    if (static_cast<size_t>(i) < c.per_input.size()) inputs += " " + c.per_input[i];
    inputs += " " + path;
  }
  const std::string out = dir.path() + "/anim.gif";
  const std::string command = "gifsicle --no-warnings " + c.options + inputs + " -o " + out;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream file(out, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), {});

  auto image = NewImage();
  ASSERT_TRUE(image->LoadFromFile(out)) << int{image->ErrorCode()};
  EXPECT_EQ(image->FileName(), out);
  EXPECT_TRUE(c.shows(*image)) << "the file does not show what the case is about";
  EXPECT_TRUE(FramesMatchGiflib(bytes, image.get()));
}

bool AnyFrame(const TGIFImage& image, const std::function<bool(const TFrame&)>& test) {
  for (int k = 1; k <= image.FrameCount(); ++k) {
    if (test(image.Frame(k))) return true;
  }
  return false;
}

INSTANTIATE_TEST_SUITE_P(
    HGIFImageRead, GifsicleCorpus,
    ::testing::Values(
        GifsicleCase{"NoDisposalOptimised", "--disposal=none -O2 --loopcount=0 --delay=7",
                     [](const TGIFImage& g) {
                       return g.LoopCount() == 0 && g.Frame(2).Width < 48 &&
                              AnyFrame(g, [](const TFrame& f) { return f.Transparent; });
                     }},
        GifsicleCase{"AsIsTransparentLoopOnce",
                     "--disposal=asis --transparent=#FF0000 --loopcount=1 --delay=3",
                     [](const TGIFImage& g) {
                       return g.LoopCount() == 1 && g.Frame(1).Disposal == 1 &&
                              g.Frame(1).Delay == 30 && g.Frame(2).Transparent;
                     }},
        GifsicleCase{
            "BackgroundTransparent", "--disposal=background --transparent=#FF0000 --loopcount=3",
            [](const TGIFImage& g) {
              return g.LoopCount() == 3 && g.Frame(1).Disposal == 2 && g.Frame(1).Transparent;
            }},
        GifsicleCase{
            "PreviousTransparent", "--disposal=previous --transparent=#FF0000",
            [](const TGIFImage& g) { return g.Frame(2).Disposal == 3 && g.Frame(2).Transparent; }},
        GifsicleCase{"OffsetsLocalTablesInterlaced",
                     "--interlace --logical-screen 70x50 --disposal=background",
                     [](const TGIFImage& g) {
                       return g.Interlaced() && g.Frame(2).Left == 7 && g.Frame(3).Top == 11 &&
                              AnyFrame(g, [](const TFrame& f) { return f.LocalTable; });
                     },
                     {"", "--position 7,5 --change-color '#FFFA00' '#00FF80'", "--position 3,11"}}),
    [](const auto& info) { return info.param.name; });

// ---- The reader's rules, one case each -----------------------------------------

std::vector<uint8_t> Ramp(int n, int modulo) {
  std::vector<uint8_t> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = static_cast<uint8_t>(i % modulo);
  return v;
}

const std::vector<TColor> kPalette = {clBlack, clWhite, clRed,  clLime,
                                      clBlue,  clNavy,  clGray, clSilver};

struct RuleCase {
  std::string name;
  std::string bytes;
  std::function<void(const TGIFImage&)> check;
};

class ReaderRules : public ::testing::TestWithParam<RuleCase> {};

TEST_P(ReaderRules, Hold) {
  auto image = NewImage();
  ASSERT_TRUE(image->LoadFromBytes(GetParam().bytes)) << int{image->ErrorCode()};
  GetParam().check(*image);
}

std::string TwoFrames(const std::function<void(GifBuilder*)>& head) {
  GifBuilder b(4, 2, 3, kPalette);
  head(&b);
  b.Control(0, 10).Image(0, 0, 4, 2, Ramp(8, 8)).Control(0, 10).Image(0, 0, 4, 2, Ramp(8, 3));
  return b.Bytes();
}

std::string Images(int count) {
  GifBuilder b(2, 1, 1, {clBlack, clWhite});
  for (int i = 0; i < count; ++i) b.Image(0, 0, 2, 1, {static_cast<uint8_t>(i & 1), 0});
  return b.Bytes();
}

INSTANTIATE_TEST_SUITE_P(HGIFImageRead, ReaderRules,
                         ::testing::
                             Values(RuleCase{"NoLoopingExtensionLoopsOnce",
                                             TwoFrames([](GifBuilder*) {}),
                                             [](const TGIFImage& g) {
                                               EXPECT_EQ(g.LoopCount(), 1);
                                             }},
                                    RuleCase{
                                        "LoopCountZero",
                                        TwoFrames([](GifBuilder* b) { b->Loop(0); }),
                                        [](const TGIFImage& g) { EXPECT_EQ(g.LoopCount(), 0); }},
                                    RuleCase{
                                        "LoopCountThree",
                                        TwoFrames([](GifBuilder* b) { b->Loop(3); }),
                                        [](const TGIFImage& g) { EXPECT_EQ(g.LoopCount(), 3); }},
                                    RuleCase{
                                        "DelayZeroIsOneMillisecond",
                                        GifBuilder(2, 1, 1)
                                            .Control(0, 0)
                                            .Image(0, 0, 2, 1, {0, 1})
                                            .Bytes(),
                                        [](const TGIFImage& g) { EXPECT_EQ(g.Frame(1).Delay, 1); }},
                                    RuleCase{"DelayInHundredths",
                                             GifBuilder(2, 1, 1)
                                                 .Control(0, 25)
                                                 .Image(0, 0, 2, 1, {0, 1})
                                                 .Bytes(),
                                             [](const TGIFImage& g) {
                                               EXPECT_EQ(g.Frame(1).Delay, 250);
                                             }},
                                    RuleCase{"NoControlBlock",
                                             GifBuilder(2, 1, 1).Image(0, 0, 2, 1, {0, 1}).Bytes(),
                                             [](const TGIFImage& g) {
                                               EXPECT_EQ(g.Frame(1).Delay, 1);
                                               EXPECT_EQ(g.Frame(1).Disposal, 0);
                                               EXPECT_FALSE(g.Frame(1).Transparent);
                                             }},
                                    RuleCase{"DisposalValues",
                                             [] {
                                               GifBuilder b(2, 1, 1);
                                               for (int d = 0; d < 8; ++d)
                                                 b.Control(d, 1).Image(0, 0, 2, 1, {0, 1});
                                               return b.Bytes();
                                             }(),
                                             [](const TGIFImage& g) {
                                               const int want[8] = {0, 1, 2, 3, 2, 2, 2, 2};
                                               for (int k = 1; k <= 8; ++k)
                                                 EXPECT_EQ(g.Frame(k).Disposal, want[k - 1]) << k;
                                             }},
                                    RuleCase{"ControlDataGoesToNextImageOnly",
                                             GifBuilder(2, 1, 1)
                                                 .Control(2, 9, 1)
                                                 .Comment("one")
                                                 .Image(0, 0, 2, 1, {0, 1})
                                                 .Image(0, 0, 2, 1, {1, 1})
                                                 .Bytes(),
                                             [](const TGIFImage& g) {
                                               EXPECT_EQ(g.Frame(1).Comment, "one");
                                               EXPECT_TRUE(g.Frame(1).Transparent);
                                               EXPECT_EQ(g.Frame(2).Comment, "");
                                               EXPECT_FALSE(g.Frame(2).Transparent);
                                               EXPECT_EQ(g.Frame(2).Delay, 1);
                                             }},
                                    RuleCase{
                                        "The257thImageAndAllAfterIgnored",
                                        Images(257) + "\x21\xFE\x01x\x00",
                                        [](const TGIFImage& g) { EXPECT_EQ(g.FrameCount(), 256); }},
                                    RuleCase{
                                        "InterlacedHeightThreeFillsRows021",
                                        GifBuilder(2, 3, 2, kPalette)
                                            .Image(0, 0, 2, 3, {0, 0, 2, 2, 1, 1}, true)
                                            .Bytes(),
                                        [](const TGIFImage& g) {
                                          EXPECT_EQ(g.Frame(1).Indices,
                                                    (std::vector<uint8_t>{0, 0, 1, 1, 2, 2}));
                                        }},
                                    RuleCase{
                                        "InterlacedPassWithoutRowsSkipped",
                                        GifBuilder(1, 2, 2, kPalette)
                                            .Image(0, 0, 1, 2, {3, 1}, true)
                                            .Bytes(),
                                        [](const TGIFImage& g) {
                                          EXPECT_EQ(g.Frame(1).Indices,
                                                    (std::vector<uint8_t>{3, 1}));
                                        }},
                                    RuleCase{
                                        "PlainTextAndOtherApplicationSkipped",
                                        GifBuilder(2, 1, 1)
                                            .Raw(
                                                std::string("\x21\x01\x0C", 3) +
                                                std::string(12, '\0') +
                                                std::string("\x02hi\x00", 4))
                                            .Raw(std::string("\x21\xFF\x0BXMP DataXMP\x03"
                                                             "abc\x00",
                                                             19))
                                            .Image(0, 0, 2, 1, {1, 0})
                                            .Bytes(),
                                        [](const TGIFImage& g) { EXPECT_EQ(g.FrameCount(), 1); }},
                                    RuleCase{
                                        "UnknownExtensionEndsReading",
                                        GifBuilder(2, 1, 1)
                                            .Image(0, 0, 2, 1, {1, 0})
                                            .Raw(std::string("\x21\x77\x01x\x00", 5))
                                            .Image(0, 0, 2, 1, {1, 1})
                                            .Bytes(),
                                        [](const TGIFImage& g) { EXPECT_EQ(g.FrameCount(), 1); }},
                                    RuleCase{"NoImages", GifBuilder(3, 2, 1).Bytes(),
                                             [](const TGIFImage& g) {
                                               EXPECT_EQ(g.FrameCount(), 0);
                                               EXPECT_EQ(g.ComposedImage().Width(), 3);
                                             }},
                                    RuleCase{
                                        "VersionNotChecked",
                                        [] {
                                          std::string b =
                                              GifBuilder(2, 1, 1).Image(0, 0, 2, 1, {1, 0}).Bytes();
                                          b.replace(3, 3, "87a");
                                          return b;
                                        }(),
                                        [](const TGIFImage& g) { EXPECT_EQ(g.FrameCount(), 1); }},
                                    RuleCase{"ColourBitsLargestOfAll",
                                             GifBuilder(2, 1, 2, kPalette)
                                                 .Image(0, 0, 2, 1, {1, 0}, false, 5, kPalette)
                                                 .Image(0, 0, 2, 1, {1, 0})
                                                 .Bytes(),
                                             [](const TGIFImage& g) {
                                               EXPECT_EQ(g.ColorBits(), 5);
                                               EXPECT_EQ(g.Frame(1).Bits, 5);
                                               EXPECT_EQ(g.Frame(2).Bits, 0);
                                               EXPECT_EQ(g.Frame(2).ColorTable[3], clLime);
                                               EXPECT_EQ(g.Frame(2).ColorTable[4],
                                                         clBlack);  // past the 4-entry table
                                             }}),
                         [](const auto& info) { return info.param.name; });

// ---- Damaged and hostile data ----------------------------------------------

struct HostileCase {
  std::string name;
  std::string bytes;
  bool loads;
  std::function<void(const TGIFImage&)> check;
};

class HostileData : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileData, IsHarmless) {
  auto image = NewImage();
  EXPECT_EQ(image->LoadFromBytes(GetParam().bytes), GetParam().loads);
  GetParam().check(*image);
}

std::string WithByte(std::string bytes, size_t at, int value) {
  bytes[at] = static_cast<char>(value);
  return bytes;
}

// One image of 2 × 2 pixels coded by hand at code width 3: clear, `codes`.
std::string HandCoded(const std::vector<int>& codes) {
  uint32_t acc = 0;
  int bits = 0;
  std::string data;
  for (int c : codes) {
    acc |= static_cast<uint32_t>(c) << bits;
    bits += 3;
  }
  while (bits > 0) {
    data.push_back(static_cast<char>(acc & 0xFF));
    acc >>= 8;
    bits -= 8;
  }
  std::string image("\x2C\0\0\0\0\x02\0\x02\0\0\x02", 11);
  image.push_back(static_cast<char>(data.size()));
  return image + data + std::string("\0\x3B", 2);
}

INSTANTIATE_TEST_SUITE_P(
    HGIFImageRead, HostileData,
    ::testing::Values(
        HostileCase{"Empty", "", false,
                    [](const TGIFImage& g) { EXPECT_EQ(g.ErrorCode(), TGIFImage::kNoData); }},
        HostileCase{"NotGif", "\x89PNG\r\n\x1a\n0000000000", false,
                    [](const TGIFImage& g) { EXPECT_EQ(g.ErrorCode(), TGIFImage::kNotGif); }},
        HostileCase{"HeaderCutOff", "GIF89a\x02\0", false,
                    [](const TGIFImage& g) { EXPECT_EQ(g.ErrorCode(), TGIFImage::kNotGif); }},
        HostileCase{"ScreenOverLimit",
                    GifBuilder(4097, 4096, 1).Image(0, 0, 1, 1, {0}).Bytes(), false,
                    [](const TGIFImage& g) {
                      EXPECT_EQ(g.ErrorCode(), TGIFImage::kNotGif);
                      EXPECT_EQ(g.FrameCount(), 0);
                    }},
        HostileCase{"FrameOverLimit", GifBuilder(1, 1, 1).Image(0, 0, 65535, 65535, {0}).Bytes(),
                    false,
                    [](const TGIFImage& g) { EXPECT_EQ(g.ErrorCode(), TGIFImage::kNotGif); }},
        HostileCase{"WidenedScreenOverLimit",
                    GifBuilder(10, 10, 1).Image(4000, 4000, 200, 200, {0}).Bytes(), false,
                    [](const TGIFImage& g) { EXPECT_EQ(g.ErrorCode(), TGIFImage::kNotGif); }},
        HostileCase{"FramesPastThePixelBudget",
                    [] {
                      // 3000 × 3000 frames of a few bytes each: 14 fit in
                      // 128 Mi pixels, the 15th ends the reading.
                      GifBuilder b(3000, 3000, 1);
                      for (int i = 0; i < 20; ++i) b.Image(0, 0, 3000, 3000, {1});
                      return b.Bytes();
                    }(),
                    true, [](const TGIFImage& g) { EXPECT_EQ(g.FrameCount(), 14); }},
        HostileCase{"ScreenSideOverBitmapSide",
                    GifBuilder(1, 1, 1).Image(40000, 0, 2, 1, {0, 0}).Bytes(), false,
                    [](const TGIFImage& g) { EXPECT_EQ(g.ErrorCode(), TGIFImage::kNotGif); }},
        HostileCase{"ScreenAtLimit", GifBuilder(4096, 4096, 1).Image(0, 0, 1, 1, {1}).Bytes(),
                    true,
                    [](const TGIFImage& g) {
                      EXPECT_EQ(g.ComposedImage().Width(), 4096);
                      EXPECT_EQ(g.ComposedImage().Pixel(0, 0), clBlack);
                    }},
        HostileCase{"FrameBeyondScreenWidensIt",
                    GifBuilder(2, 2, 3, kPalette).Image(3, 1, 2, 2, {2, 2, 2, 2}).Bytes(), true,
                    [](const TGIFImage& g) {
                      EXPECT_EQ(g.ScreenWidth(), 5);
                      EXPECT_EQ(g.ScreenHeight(), 3);
                      EXPECT_EQ(g.ComposedImage().Pixel(4, 2), clRed);
                    }},
        HostileCase{"ZeroSizeFrame",
                    GifBuilder(2, 2, 1).Image(1, 1, 0, 0, {}).Image(0, 0, 1, 1, {1}).Bytes(),
                    true,
                    [](const TGIFImage& g) {
                      ASSERT_EQ(g.FrameCount(), 2);
                      EXPECT_TRUE(g.Frame(1).Indices.empty());
                    }},
        HostileCase{"ZeroWidthFrameToRestore",
                    GifBuilder(2, 2, 1)
                        .Control(3, 5)
                        .Image(0, 1, 0, 3, {})
                        .Image(0, 0, 1, 1, {1})
                        .Bytes(),
                    true,
                    [](const TGIFImage& g) {
                      ASSERT_EQ(g.FrameCount(), 2);
                      EXPECT_EQ(g.ScreenHeight(), 4);
                      EXPECT_EQ(g.ComposedImage().Pixel(0, 3), clBlack);
                    }},
        HostileCase{"SmallTableReadsBlack",
                    GifBuilder(4, 1, 1, {clRed, clLime}).Image(0, 0, 4, 1, {0, 1, 2, 3}).Bytes(),
                    true,
                    [](const TGIFImage& g) {
                      EXPECT_EQ(g.ComposedImage().Pixel(0, 0), clRed);
                      EXPECT_EQ(g.ComposedImage().Pixel(1, 0), clLime);
                      EXPECT_EQ(g.ComposedImage().Pixel(2, 0), clBlack);
                      EXPECT_EQ(g.ComposedImage().Pixel(3, 0), clBlack);
                    }},
        HostileCase{"CodeBeyondTableEndsFrame",
                    GifBuilder(2, 2, 2, kPalette).Raw(HandCoded({4, 3, 7, 5})).Bytes(false), true,
                    [](const TGIFImage& g) {
                      ASSERT_EQ(g.FrameCount(), 1);
                      EXPECT_EQ(g.Frame(1).Indices, (std::vector<uint8_t>{3, 0, 0, 0}));
                    }},
        HostileCase{"CodeJustPastTableRepeatsString",
                    GifBuilder(2, 2, 2, kPalette).Raw(HandCoded({4, 3, 6, 5})).Bytes(false), true,
                    [](const TGIFImage& g) {
                      EXPECT_EQ(g.Frame(1).Indices, (std::vector<uint8_t>{3, 3, 3, 0}));
                    }},
        HostileCase{"LeadingClearCodesSkipped",
                    GifBuilder(2, 2, 2, kPalette).Raw(HandCoded({4, 4, 4, 1, 2, 5})).Bytes(false),
                    true,
                    [](const TGIFImage& g) {
                      EXPECT_EQ(g.Frame(1).Indices, (std::vector<uint8_t>{1, 2, 0, 0}));
                    }},
        HostileCase{"ImageDataEndsEarly",
                    GifBuilder(2, 2, 2, kPalette)
                        .Raw(std::string("\x2C\0\0\0\0\x02\0\x02\0\0\x02\x01\x1C\0\x3B", 15))
                        .Bytes(false),
                    true,
                    [](const TGIFImage& g) {
                      // Clear (4) then 3: one pixel, the rest index 0.
                      EXPECT_EQ(g.Frame(1).Indices, (std::vector<uint8_t>{3, 0, 0, 0}));
                    }},
        HostileCase{"CodeSizeZero",
                    GifBuilder(2, 1, 1)
                        .Raw(std::string("\x2C\0\0\0\0\x02\0\x01\0\0\0\x01\xFF\0", 14))
                        .Image(0, 0, 2, 1, {1, 1})
                        .Bytes(),
                    true,
                    [](const TGIFImage& g) {
                      ASSERT_EQ(g.FrameCount(), 2);
                      EXPECT_EQ(g.Frame(1).Indices, (std::vector<uint8_t>{0, 0}));
                    }},
        HostileCase{"CodeSizeTwelve",
                    GifBuilder(2, 1, 1)
                        .Raw(std::string("\x2C\0\0\0\0\x02\0\x01\0\0\x0C\x02\xFF\xFF\0", 15))
                        .Bytes(),
                    true,
                    [](const TGIFImage& g) {
                      EXPECT_EQ(g.Frame(1).Indices, (std::vector<uint8_t>{0, 0}));
                    }},
        HostileCase{"SubBlockPointsPastData",
                    WithByte(GifBuilder(8, 8, 3, kPalette).Image(0, 0, 8, 8, Ramp(64, 8)).Bytes(),
                             13 + 24 + 11, 250),
                    true, [](const TGIFImage& g) { EXPECT_EQ(g.FrameCount(), 1); }},
        HostileCase{"CommentPointsPastData", GifBuilder(2, 1, 1).Raw("\x21\xFE\xF0xyz").Bytes(false),
                    true, [](const TGIFImage& g) { EXPECT_EQ(g.FrameCount(), 0); }}),
    [](const auto& info) { return info.param.name; });

// Every prefix of a multi-frame file loads without reading past the data and
// keeps the frames that were read whole; the pixels of a frame cut in its
// image data are those decoded so far.
TEST(HGIFImageReadTest, EveryCutOfAFileKeepsTheFramesReadSoFar) {
  GifBuilder b(16, 8, 3, kPalette);
  b.Loop(0).Comment("c").Control(2, 5, 1).Image(0, 0, 16, 8, Ramp(128, 7));
  b.Control(3, 5).Image(2, 2, 9, 5, Ramp(45, 5), true, 2, {clWhite, clRed, clBlue, clLime});
  b.Control(0, 5).Image(4, 1, 12, 7, Ramp(84, 8));
  const std::string whole = b.Bytes();
  auto full = NewImage();
  ASSERT_TRUE(full->LoadFromBytes(whole));
  ASSERT_EQ(full->FrameCount(), 3);
  for (size_t cut = 0; cut < whole.size(); ++cut) {
    auto image = NewImage();
    const bool loaded = image->LoadFromBytes(whole.substr(0, cut));
    EXPECT_EQ(loaded, cut >= 13) << cut;
    if (!loaded) continue;
    for (int k = 1; k <= image->FrameCount(); ++k) {
      const TFrame& got = image->Frame(k);
      const TFrame& want = full->Frame(k);
      ASSERT_EQ(got.Indices.size(), want.Indices.size()) << cut;
      // Decoded pixels agree with the whole file; the rest is index 0.
      for (size_t i = 0; i < got.Indices.size(); ++i) {
        if (got.Indices[i] != want.Indices[i]) {
          ASSERT_EQ(got.Indices[i], 0) << cut << " " << i;
        }
      }
    }
  }
}

TEST(HGIFImageReadTest, FileErrors) {
  ScopedTempDir dir;
  const std::string good = dir.path() + "/good.gif";
  WriteFile(good, GifBuilder(2, 1, 1).Image(0, 0, 2, 1, {1, 0}).Bytes());
  const std::string bad = dir.path() + "/bad.gif";
  WriteFile(bad, "not a picture");

  auto image = NewImage();
  ASSERT_TRUE(image->SetFileName(good));
  EXPECT_EQ(image->FileName(), good);

  // A missing file changes nothing but the error code.
  EXPECT_FALSE(image->SetFileName(dir.path() + "/missing.gif"));
  EXPECT_EQ(image->ErrorCode(), TGIFImage::kFileMissing);
  EXPECT_EQ(image->FileName(), good);
  EXPECT_EQ(image->FrameCount(), 1);
  EXPECT_TRUE(image->Loaded());

  // A file that is no GIF clears the control.
  int repaints = 0;
  image->OnInvalidate = [&](TGIFImage*) { ++repaints; };
  EXPECT_FALSE(image->SetFileName(bad));
  EXPECT_EQ(image->ErrorCode(), TGIFImage::kNotGif);
  EXPECT_EQ(image->FileName(), "");
  EXPECT_EQ(image->FrameCount(), 0);
  EXPECT_FALSE(image->Loaded());
  EXPECT_GE(repaints, 1);

  EXPECT_FALSE(image->SetFileName(dir.path()));  // a directory holds no data
  EXPECT_EQ(image->ErrorCode(), TGIFImage::kNoData);
}

}  // namespace
}  // namespace vantora
