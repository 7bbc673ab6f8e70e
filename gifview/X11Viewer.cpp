#include "gifview/X11Viewer.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "charts/HGIFImage.h"
#include "platform/MessageLoop.h"
#include "platform/Timer.h"

namespace vantora {

namespace {

// What lies behind the control: a grey checkerboard, so transparent parts
// show as such.
void FillBehind(TBitmap* bmp) {
  for (int y = 0; y < bmp->Height(); ++y) {
    uint32_t* row = bmp->ScanLine(y);
    for (int x = 0; x < bmp->Width(); ++x) row[x] = ((x / 8 + y / 8) & 1) ? 0xC0C0C0 : 0x909090;
  }
}

class Window {
 public:
  Window(Display* display, TGIFImage* image) : display_(display), image_(image) {}
  ~Window() {
    if (ximage_ != nullptr) {
      ximage_->data = nullptr;  // the pixels belong to target_
      XDestroyImage(ximage_);
    }
    if (gc_ != nullptr) XFreeGC(display_, gc_);
    if (window_ != 0) XDestroyWindow(display_, window_);
  }
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  bool Open(const std::string& title, std::string* err) {
    const int screen = DefaultScreen(display_);
    if (!XMatchVisualInfo(display_, screen, 24, TrueColor, &visual_)) {
      *err = "the display has no 24-bit true-colour visual";
      return false;
    }
    const int w = std::max(image_->ScreenWidth(), 1);
    const int h = std::max(image_->ScreenHeight(), 1);
    XSetWindowAttributes attributes{};
    attributes.background_pixel = 0;
    attributes.border_pixel = 0;
    attributes.colormap =
        XCreateColormap(display_, RootWindow(display_, screen), visual_.visual, AllocNone);
    attributes.event_mask = ExposureMask | StructureNotifyMask | KeyPressMask;
    window_ = XCreateWindow(display_, RootWindow(display_, screen), 0, 0, w, h, 0, 24, InputOutput,
                            visual_.visual, CWBackPixel | CWBorderPixel | CWColormap | CWEventMask,
                            &attributes);
    XStoreName(display_, window_, title.c_str());
    delete_atom_ = XInternAtom(display_, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display_, window_, &delete_atom_, 1);
    gc_ = XCreateGC(display_, window_, 0, nullptr);
    image_->SetBounds(w, h);
    Resize(w, h);
    XMapWindow(display_, window_);
    return true;
  }

  // Handles one X event; false when the window was closed.
  bool Handle(const XEvent& event) {
    switch (event.type) {
      case Expose:
        dirty_ = true;
        break;
      case ConfigureNotify:
        if (event.xconfigure.width != target_.Width() ||
            event.xconfigure.height != target_.Height()) {
          image_->SetBounds(event.xconfigure.width, event.xconfigure.height);
          Resize(event.xconfigure.width, event.xconfigure.height);
        }
        break;
      case KeyPress: {
        const KeySym key = XLookupKeysym(const_cast<XKeyEvent*>(&event.xkey), 0);
        if (key == 'q' || key == 0xff1b /* Escape */) return false;
        break;
      }
      case ClientMessage:
        if (static_cast<Atom>(event.xclient.data.l[0]) == delete_atom_) return false;
        break;
      default:
        break;
    }
    return true;
  }

  void MarkDirty() { dirty_ = true; }

  void PaintIfDirty() {
    if (!dirty_) return;
    dirty_ = false;
    FillBehind(&target_);
    image_->SetBackground(target_);
    image_->Paint(&target_);
    XPutImage(display_, window_, gc_, ximage_, 0, 0, 0, 0, target_.Width(), target_.Height());
    XFlush(display_);
  }

 private:
  void Resize(int w, int h) {
    target_.SetSize(std::max(w, 1), std::max(h, 1));
    if (ximage_ != nullptr) {
      ximage_->data = nullptr;
      XDestroyImage(ximage_);
    }
    // The bitmap's device words (0x00RRGGBB, little-endian) are the pixel
    // layout of a 24-bit true-colour ZPixmap with 32 bits per pixel.
    ximage_ = XCreateImage(display_, visual_.visual, 24, ZPixmap, 0,
                           reinterpret_cast<char*>(target_.ScanLine(0)), target_.Width(),
                           target_.Height(), 32, target_.Width() * 4);
    ximage_->byte_order = LSBFirst;
    dirty_ = true;
  }

  Display* display_;
  TGIFImage* image_;
  XVisualInfo visual_{};
  ::Window window_ = 0;
  GC gc_ = nullptr;
  Atom delete_atom_ = 0;
  XImage* ximage_ = nullptr;
  TBitmap target_;
  bool dirty_ = true;
};

}  // namespace

int RunX11Viewer(TGIFImage* image, const std::string& title, std::string* err) {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    *err = "cannot open the X display (is DISPLAY set?); --frames DIR writes the frames instead";
    return 1;
  }
  int status = 0;
  {
    Window window(display, image);
    if (!window.Open(title, err)) {
      status = 1;
    } else {
      image->OnInvalidate = [&window](TGIFImage*) { window.MarkDirty(); };
      image->SetAnimate(true);
      InstallQuitSignalHandlers();
      bool open = true;
      while (open && !QuitRequested()) {
        while (open && XPending(display) > 0) {
          XEvent event;
          XNextEvent(display, &event);
          open = window.Handle(event);
        }
        if (!open) break;
        RunDueTimers();
        window.PaintIfDirty();
        // Sleep until an X event arrives or the next frame is due; at most
        // 100 ms, so a quit request is seen even when no signal wakes us.
        int wait_ms = 100;
        if (const auto due = NextTimerDue()) {
          const auto left =
              std::chrono::duration_cast<std::chrono::milliseconds>(*due - TTimer::Clock::now());
          wait_ms = static_cast<int>(std::clamp<int64_t>(left.count(), 0, 100));
        }
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        poll(&fd, 1, wait_ms);
      }
      image->OnInvalidate = nullptr;
    }
  }
  XCloseDisplay(display);
  return status;
}

}  // namespace vantora
