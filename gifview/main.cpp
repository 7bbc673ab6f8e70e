// vantora-gifview: shows a GIF in a window and plays its animation, or
// writes its composed frames as PNG files.
//
//   vantora-gifview FILE              play FILE in an X11 window until closed
//   vantora-gifview --frames DIR FILE write DIR/frame-001.png ... instead
#include <cstdio>
#include <cstring>
#include <string>

#include "charts/HGIFImage.h"
#include "gifview/FrameWriter.h"
#include "gifview/X11Viewer.h"

namespace {

constexpr char kUsage[] =
    "usage: vantora-gifview FILE\n"
    "       vantora-gifview --frames DIR FILE\n"
    "Shows FILE (a GIF) in a window and plays its animation until the window is\n"
    "closed.  With --frames, writes each composed frame to DIR/frame-NNN.png\n"
    "instead (no display needed).\n";

const char* LoadError(uint8_t code) {
  switch (code) {
    case vantora::TGIFImage::kFileMissing:
      return "no such file";
    case vantora::TGIFImage::kNoData:
      return "the file is empty";
    default:
      return "not a GIF, or larger than 4096 x 4096 pixels";
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string frames_dir;
  std::string file;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
      frames_dir = argv[++i];
    } else if (file.empty() && argv[i][0] != '-') {
      file = argv[i];
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (file.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  vantora::TGIFImage image;
  if (!image.SetFileName(file)) {
    std::fprintf(stderr, "vantora-gifview: %s: %s\n", file.c_str(), LoadError(image.ErrorCode()));
    return 1;
  }
  std::string err;
  if (!frames_dir.empty()) {
    if (!vantora::WriteComposedFrames(&image, frames_dir, &err)) {
      std::fprintf(stderr, "vantora-gifview: %s\n", err.c_str());
      return 1;
    }
    return 0;
  }
  const int status = vantora::RunX11Viewer(&image, "vantora-gifview: " + file, &err);
  if (status != 0) std::fprintf(stderr, "vantora-gifview: %s\n", err.c_str());
  return status;
}
