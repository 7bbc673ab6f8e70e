#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "GifTestData.h"
#include "charts/HGIFImage.h"

namespace vantora {
namespace {

using testing_gif::GifBuilder;

// A frame timer on a fake clock: RunUntil moves the clock forward and calls
// the handler at every moment the timer falls due on the way.
class FakeFrameTimer : public TFrameTimer {
 public:
  int Interval() const override { return interval_; }
  void SetInterval(int ms) override {
    interval_ = ms;
    due_ = now_ + ms;
    intervals_.push_back(ms);
  }
  bool Enabled() const override { return enabled_; }
  void SetEnabled(bool on) override {
    if (on && !enabled_) due_ = now_ + interval_;
    enabled_ = on;
  }

  void RunUntil(int64_t until) {
    while (enabled_ && interval_ > 0 && due_ <= until) {
      now_ = due_;
      due_ = now_ + interval_;
      if (OnTimer) OnTimer();
    }
    now_ = until;
  }
  int64_t Now() const { return now_; }
  const std::vector<int>& Intervals() const { return intervals_; }

 private:
  int interval_ = 1000;
  bool enabled_ = true;
  int64_t now_ = 0;
  int64_t due_ = 1000;
  std::vector<int> intervals_;
};

// A control on a fake clock that writes down (time, frame shown) at every
// OnChange.
struct Player {
  FakeFrameTimer* timer;
  std::unique_ptr<TGIFImage> image;
  std::vector<std::pair<int64_t, int>> changes;
  int changing = 0;

  explicit Player(const std::string& bytes) {
    auto fake = std::make_unique<FakeFrameTimer>();
    timer = fake.get();
    image = std::make_unique<TGIFImage>(std::move(fake));
    EXPECT_TRUE(image->LoadFromBytes(bytes));
    image->OnChanging = [this](TGIFImage*) { ++changing; };
    image->OnChange = [this](TGIFImage* g) {
      changes.emplace_back(timer->Now(), g->CurrentFrame());
    };
  }
};

// Three frames of 1 × 1 pixel in colours 1, 2 and 3, with the given delays.
std::string ThreeFrames(int loop, std::vector<int> delays) {
  GifBuilder b(1, 1, 2, {clBlack, clRed, clLime, clBlue});
  if (loop >= 0) b.Loop(loop);
  for (int k = 0; k < 3; ++k) b.Control(0, delays[k]).Image(0, 0, 1, 1, {uint8_t(k + 1)});
  return b.Bytes();
}

using Changes = std::vector<std::pair<int64_t, int>>;

struct PlayCase {
  std::string name;
  int loop_extension;  // -1: none
  bool loop;
  int speed;
  std::vector<int> delays;  // hundredths
  int64_t run_until;
  Changes changes;
  bool stopped;
};

class Playing : public ::testing::TestWithParam<PlayCase> {};

TEST_P(Playing, ShowsFramesAtTheirIntervals) {
  const PlayCase& c = GetParam();
  Player p(ThreeFrames(c.loop_extension, c.delays));
  p.image->SetLoop(c.loop);
  p.image->SetSpeed(c.speed);
  p.image->SetAnimate(true);
  p.timer->RunUntil(c.run_until);
  EXPECT_EQ(p.changes, c.changes);
  EXPECT_EQ(p.changing, static_cast<int>(c.changes.size()));
  EXPECT_EQ(p.timer->Enabled(), !c.stopped);
  // The composed picture is the frame the control says it shows.
  const TColor colours[] = {clRed, clLime, clBlue};
  EXPECT_EQ(p.image->ComposedImage().Pixel(0, 0), colours[p.image->CurrentFrame() - 1]);
}

INSTANTIATE_TEST_SUITE_P(
    HGIFImageAnimate, Playing,
    ::testing::Values(
        // The first tick (1 ms after switching on) keeps frame 1 that the
        // load drew; each later tick disposes the shown frame and draws the
        // next, then waits for that frame's delay.
        PlayCase{"LoopCountZeroPlaysForEver",
                 0,
                 false,
                 100,
                 {10, 20, 30},
                 1400,
                 {{1, 1}, {101, 2}, {301, 3}, {601, 1}, {701, 2}, {901, 3}, {1201, 1}, {1301, 2}},
                 false},
        PlayCase{"NoExtensionPlaysOnce",
                 -1,
                 false,
                 100,
                 {10, 20, 30},
                 5000,
                 {{1, 1}, {101, 2}, {301, 3}},
                 true},
        PlayCase{"NoExtensionWithLoopPlaysForEver",
                 -1,
                 true,
                 100,
                 {10, 20, 30},
                 700,
                 {{1, 1}, {101, 2}, {301, 3}, {601, 1}},
                 false},
        PlayCase{"LoopCountThreePlaysThreePasses",
                 3,
                 false,
                 100,
                 {1, 1, 1},
                 5000,
                 {{1, 1}, {11, 2}, {21, 3}, {31, 1}, {41, 2}, {51, 3}, {61, 1}, {71, 2}, {81, 3}},
                 true},
        PlayCase{"SpeedTwoHundredHalvesDelays",
                 0,
                 false,
                 200,
                 {10, 20, 30},
                 400,
                 {{1, 1}, {51, 2}, {151, 3}, {301, 1}, {351, 2}},
                 false},
        PlayCase{"DelayZeroIsOneMillisecond",
                 0,
                 false,
                 100,
                 {0, 0, 0},
                 5,
                 {{1, 1}, {2, 2}, {3, 3}, {4, 1}, {5, 2}},
                 false}),
    [](const auto& info) { return info.param.name; });

TEST(HGIFImageAnimateTest, LoopSwitchedOnAfterTheLastPassPlaysAgainFromFrameOne) {
  Player p(ThreeFrames(-1, {10, 10, 10}));
  p.image->SetAnimate(true);
  p.timer->RunUntil(1000);
  ASSERT_FALSE(p.timer->Enabled());
  EXPECT_EQ(p.image->CurrentFrame(), 3);
  p.changes.clear();
  p.image->SetLoop(true);
  EXPECT_EQ(p.image->Passes(), 1);
  p.timer->RunUntil(1250);
  EXPECT_EQ(p.changes, (Changes{{1001, 1}, {1101, 2}, {1201, 3}}));
}

TEST(HGIFImageAnimateTest, SettersFollowTheirRules) {
  Player p(ThreeFrames(0, {10, 20, 30}));
  // A single change of frame: one OnChanging and one OnChange.
  p.image->SetCurrentFrame(3);
  EXPECT_EQ(p.changing, 1);
  EXPECT_EQ(p.changes, (Changes{{0, 3}}));
  EXPECT_EQ(p.image->ComposedImage().Pixel(0, 0), clBlue);

  for (int bad : {0, 4, -1}) {
    p.image->SetCurrentFrame(bad);
    EXPECT_EQ(p.image->ErrorCode(), TGIFImage::kFrameOutOfRange) << bad;
    EXPECT_EQ(p.image->CurrentFrame(), 3);
  }

  // The timer runs only while animating a loaded image of several frames.
  EXPECT_FALSE(p.timer->Enabled());
  p.image->SetAnimate(true);
  EXPECT_TRUE(p.timer->Enabled());
  // Switched off on a later frame: frame 1 is shown again.
  p.image->SetAnimate(false);
  EXPECT_FALSE(p.timer->Enabled());
  EXPECT_EQ(p.image->CurrentFrame(), 1);
  EXPECT_EQ(p.image->ComposedImage().Pixel(0, 0), clRed);

  // Speed below 1 becomes 1; while animating the next tick comes at once.
  p.image->SetAnimate(true);
  p.timer->RunUntil(50);
  p.image->SetSpeed(0);
  EXPECT_EQ(p.image->Speed(), 1);
  EXPECT_EQ(p.timer->Intervals().back(), 1);

  // AutoSize sizes the control to the picture.
  EXPECT_EQ(p.image->Width(), 105);
  p.image->SetAutoSize(true);
  EXPECT_EQ(p.image->Width(), 1);
  EXPECT_EQ(p.image->Height(), 1);

  // A one-frame picture never starts the timer.
  Player one(GifBuilder(1, 1, 1).Image(0, 0, 1, 1, {1}).Bytes());
  one.image->SetAnimate(true);
  EXPECT_FALSE(one.timer->Enabled());
}

// ---- Painting ---------------------------------------------------------------

// A 2 × 2 picture: red, lime / blue, white; index 3 (white) transparent when
// `transparent`.
std::string Quad(bool transparent) {
  GifBuilder b(2, 2, 2, {clRed, clLime, clBlue, clWhite});
  if (transparent) b.Control(0, 0, 3);
  return b.Image(0, 0, 2, 2, {0, 1, 2, 3}).Bytes();
}

struct PaintCase {
  std::string name;
  bool transparent;
  std::function<void(TGIFImage*)> set;
  std::vector<std::string> rows;  // R red, L lime, B blue, W white, g green (behind)
};

class Painting : public ::testing::TestWithParam<PaintCase> {};

TEST_P(Painting, PlacesThePicture) {
  Player p(Quad(GetParam().transparent));
  p.image->SetBounds(4, 4);
  GetParam().set(p.image.get());
  TBitmap target(4, 4);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) target.SetPixel(x, y, MakeColor(0, 128, 0));
  }
  p.image->Paint(&target);
  std::vector<std::string> rows;
  for (int y = 0; y < 4; ++y) {
    std::string row;
    for (int x = 0; x < 4; ++x) {
      const TColor c = target.Pixel(x, y);
      row += c == clRed                  ? 'R'
             : c == clLime               ? 'L'
             : c == clBlue               ? 'B'
             : c == clWhite              ? 'W'
             : c == MakeColor(0, 128, 0) ? 'g'
                                         : '?';
    }
    rows.push_back(row);
  }
  EXPECT_EQ(rows, GetParam().rows);
}

INSTANTIATE_TEST_SUITE_P(HGIFImageAnimate, Painting,
                         ::testing::Values(PaintCase{"TopLeft",
                                                     false,
                                                     [](TGIFImage*) {},
                                                     {"RLgg", "BWgg", "gggg", "gggg"}},
                                           PaintCase{"Centred",
                                                     false,
                                                     [](TGIFImage* g) { g->SetCenter(true); },
                                                     {"gggg", "gRLg", "gBWg", "gggg"}},
                                           PaintCase{"Stretched",
                                                     false,
                                                     [](TGIFImage* g) { g->SetStretch(true); },
                                                     {"RRLL", "RRLL", "BBWW", "BBWW"}},
                                           PaintCase{"Tiled",
                                                     false,
                                                     [](TGIFImage* g) { g->SetTile(true); },
                                                     {"RLRL", "BWBW", "RLRL", "BWBW"}},
                                           PaintCase{"Hidden",
                                                     false,
                                                     [](TGIFImage* g) { g->SetVisible(false); },
                                                     {"gggg", "gggg", "gggg", "gggg"}},
                                           PaintCase{"TransparentOverWhatIsBehind",
                                                     true,
                                                     [](TGIFImage* g) { g->SetTile(true); },
                                                     {"RLRL", "BgBg", "RLRL", "BgBg"}},
                                           PaintCase{"TransparentOverCachedBackground",
                                                     true,
                                                     [](TGIFImage* g) {
                                                       TBitmap behind(4, 4);
                                                       for (int y = 0; y < 4; ++y) {
                                                         for (int x = 0; x < 4; ++x)
                                                           behind.SetPixel(x, y, clWhite);
                                                       }
                                                       g->SetBackground(behind);
                                                     },
                                                     {"RLWW", "BWWW", "WWWW", "WWWW"}}),
                         [](const auto& info) { return info.param.name; });

TEST(HGIFImageAnimateTest, OpaqueWhenThePaintCoversTheControl) {
  Player opaque(Quad(false));
  opaque.image->SetBounds(2, 2);
  EXPECT_TRUE(opaque.image->Opaque());
  opaque.image->SetBounds(4, 4);
  EXPECT_FALSE(opaque.image->Opaque());
  opaque.image->SetStretch(true);
  EXPECT_TRUE(opaque.image->Opaque());
  Player see_through(Quad(true));
  see_through.image->SetBounds(1, 1);
  EXPECT_FALSE(see_through.image->Opaque());
}

}  // namespace
}  // namespace vantora
