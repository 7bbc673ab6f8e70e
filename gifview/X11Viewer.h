// Shows a GIF control in an X11 window and plays its animation until the
// window is closed (or SIGTERM, SIGINT or SIGHUP arrives).
#pragma once

#include <string>

namespace vantora {

class TGIFImage;

// Opens a window of the picture's size on $DISPLAY titled `title`, paints
// the control into it whenever it asks for a repaint or the window is
// exposed, and runs the frame timer between X events.  The window may be
// resized; the control follows its size.  Returns the exit status: 0 after
// the window was closed, 1 with *err set when no display can be opened.
int RunX11Viewer(TGIFImage* image, const std::string& title, std::string* err);

}  // namespace vantora
