// vantora-gifview run as a user runs it: in a window on a virtual X server
// (Xvfb) whose contents the test reads back, and with --frames.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "charts/GifDecodeCheck.h"
#include "charts/GifTestData.h"
#include "support/ScopedTempDir.h"

// Xlib last: its macros (None, Bool, Status) clash with names above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace vantora {
namespace {

using testing_gif::GifBuilder;
using testing_gif::Picture;

const std::vector<TColor> kPalette = {clBlack, clRed,    clLime, clBlue,
                                      clWhite, clYellow, clNavy, clGray};

// Three frames on a 12 × 8 screen: an opaque first frame, a transparent
// frame at an offset disposed to the background, and one restoring what it
// covered.
std::string Animation(int first_delay) {
  std::vector<uint8_t> first(96), second(20), third(12);
  for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<uint8_t>(1 + (i % 12) / 3);
  for (size_t i = 0; i < second.size(); ++i) second[i] = i % 3 == 0 ? 0 : 5;
  for (size_t i = 0; i < third.size(); ++i) third[i] = static_cast<uint8_t>(6 + i % 2);
  return GifBuilder(12, 8, 3, kPalette)
      .Loop(0)
      .Control(0, first_delay)
      .Image(0, 0, 12, 8, first)
      .Control(2, 20, 0)
      .Image(2, 1, 5, 4, second)
      .Control(3, 20)
      .Image(6, 4, 4, 3, third)
      .Bytes();
}

// Starts args[0] (searched in PATH) with env_extra added to the environment
// and, when stdout_fd >= 0, that descriptor as its standard output.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env_extra,
            int stdout_fd = -1) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env_strings(env_extra);
  for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads an RGBA PNG into a Picture (alpha 0 = transparent).
bool ReadPng(const std::string& path, Picture* out) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_RGBA;
  std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return false;
  out->width = static_cast<int>(image.width);
  out->height = static_cast<int>(image.height);
  for (size_t i = 0; i < pixels.size(); i += 4) {
    out->color.push_back(MakeColor(pixels[i], pixels[i + 1], pixels[i + 2]));
    out->clear.push_back(pixels[i + 3] == 0 ? 1 : 0);
  }
  return true;
}

TEST(GifViewTest, FramesOptionWritesEveryComposedFrame) {
  ScopedTempDir dir;
  const std::string file = dir.path() + "/anim.gif";
  const std::string bytes = Animation(10);
  std::ofstream(file, std::ios::binary) << bytes;
  const std::string out = dir.path() + "/frames";
  std::filesystem::create_directory(out);
  const pid_t pid = Spawn({VANTORA_GIFVIEW, "--frames", out, file}, {});
  ASSERT_GT(pid, 0);
  ASSERT_EQ(WaitExit(pid), 0);

  const std::vector<Picture> want =
      testing_gif::ComposeReference(testing_gif::DecodeWithGiflib(bytes));
  ASSERT_EQ(want.size(), 3u);
  for (size_t k = 0; k < want.size(); ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "/frame-%03zu.png", k + 1);
    Picture got;
    ASSERT_TRUE(ReadPng(out + name, &got)) << name;
    EXPECT_EQ(got.width, want[k].width);
    EXPECT_EQ(got.height, want[k].height);
    EXPECT_EQ(got.clear, want[k].clear) << name;
    for (size_t i = 0; i < got.color.size(); ++i) {
      if (!want[k].clear[i]) {
        ASSERT_EQ(got.color[i], want[k].color[i]) << name << " pixel " << i;
      }
    }
  }
  EXPECT_FALSE(std::filesystem::exists(out + "/frame-004.png"));
}

TEST(GifViewTest, BadFilesAreReported) {
  ScopedTempDir dir;
  const std::string junk = dir.path() + "/junk.gif";
  std::ofstream(junk) << "not a picture";
  for (const std::string& file : {junk, dir.path() + "/missing.gif"}) {
    const pid_t pid = Spawn({VANTORA_GIFVIEW, "--frames", dir.path(), file}, {});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(WaitExit(pid), 1) << file;
  }
}

// An Xvfb server on a free display, stopped by its process id.
class VirtualDisplay {
 public:
  VirtualDisplay() {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = Spawn({"Xvfb", "-displayfd", "1", "-screen", "0", "320x240x24", "-nolisten", "tcp"}, {},
                 fds[1]);
    close(fds[1]);
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
    close(fds[0]);
    if (!number.empty()) name_ = ":" + number;
  }
  ~VirtualDisplay() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      WaitExit(pid_);
    }
  }
  const std::string& name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

::Window FindWindow(Display* display, ::Window from, const std::string& title) {
  char* name = nullptr;
  if (XFetchName(display, from, &name) && name != nullptr) {
    const bool match = title == name;
    XFree(name);
    if (match) return from;
  }
  ::Window root, parent, *children = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(display, from, &root, &parent, &children, &count)) return 0;
  ::Window found = 0;
  for (unsigned int i = 0; i < count && found == 0; ++i) {
    found = FindWindow(display, children[i], title);
  }
  if (children != nullptr) XFree(children);
  return found;
}

// The window's pixels as colours, or empty when it cannot be read yet.
std::vector<TColor> Screenshot(Display* display, ::Window window, int w, int h) {
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(display, window, &attributes) || attributes.map_state != IsViewable ||
      attributes.width < w || attributes.height < h) {
    return {};
  }
  XImage* shot = XGetImage(display, window, 0, 0, w, h, AllPlanes, ZPixmap);
  if (shot == nullptr) return {};
  std::vector<TColor> colours;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) colours.push_back(SwapRedBlue(XGetPixel(shot, x, y)));
  }
  XDestroyImage(shot);
  return colours;
}

TEST(GifViewTest, WindowShowsTheFirstFramePlaysOnAndClosesCleanly) {
  VirtualDisplay server;
  ASSERT_FALSE(server.name().empty()) << "Xvfb did not start (install xvfb)";
  ScopedTempDir dir;
  const std::string file = dir.path() + "/anim.gif";
  // The first frame stays 3 s and comes back every pass.
  const std::string bytes = Animation(300);
  std::ofstream(file, std::ios::binary) << bytes;
  const std::vector<Picture> want =
      testing_gif::ComposeReference(testing_gif::DecodeWithGiflib(bytes));

  const pid_t viewer = Spawn({VANTORA_GIFVIEW, file}, {"DISPLAY=" + server.name()});
  ASSERT_GT(viewer, 0);
  Display* display = XOpenDisplay(server.name().c_str());
  ASSERT_NE(display, nullptr);

  // Wait (bounded, not timed) for the window and for the first frame in it.
  const std::string title = "vantora-gifview: " + file;
  ::Window window = 0;
  std::vector<TColor> seen;
  for (int attempt = 0; attempt < 600 && seen != want[0].color; ++attempt) {
    if (window == 0) window = FindWindow(display, DefaultRootWindow(display), title);
    if (window != 0) seen = Screenshot(display, window, 12, 8);
    if (seen != want[0].color) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_NE(window, 0u) << "no window titled " << title;
  EXPECT_EQ(seen, want[0].color);

  // The animation plays on in the window: the later composed frames (shown
  // 200 ms each, every pass) turn up too.  Bounded by attempts, not by time.
  bool second = false, third = false;
  for (int attempt = 0; attempt < 6000 && !(second && third); ++attempt) {
    seen = Screenshot(display, window, 12, 8);
    second = second || seen == want[1].color;
    third = third || seen == want[2].color;
    if (!(second && third)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(second) << "the second frame never showed";
  EXPECT_TRUE(third) << "the third frame never showed";

  // Close it as a window manager does.
  XEvent close{};
  close.xclient.type = ClientMessage;
  close.xclient.window = window;
  close.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  close.xclient.format = 32;
  close.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  XSendEvent(display, window, False, NoEventMask, &close);
  XFlush(display);
  EXPECT_EQ(WaitExit(viewer), 0);
  XCloseDisplay(display);
}

}  // namespace
}  // namespace vantora
