// Writes every composed frame of a loaded GIF as a PNG file, for people
// without a display and for tests.
#pragma once

#include <string>

namespace vantora {

class TGIFImage;

// Shows the frames of `image` one after the other (each disposing the one
// before, as playing does) and writes each composed picture to
// dir/frame-NNN.png (NNN from 001), as RGBA: transparent pixels have alpha 0.
// Returns false with *err set when a file cannot be written.
bool WriteComposedFrames(TGIFImage* image, const std::string& dir, std::string* err);

}  // namespace vantora
