// TGIFImage, reading side: loading a file and the block reader.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "charts/HGIFImage.h"

namespace vantora {

namespace {

// Reads a whole regular file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string* bytes) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  bytes->clear();
  char buffer[65536];
  while (ok) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    bytes->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return ok;
}

}  // namespace

TGIFImage::TGIFImage() : TGIFImage(MakeMessageLoopFrameTimer()) {}

TGIFImage::TGIFImage(std::unique_ptr<TFrameTimer> timer) : timer_(std::move(timer)) {
  timer_->SetEnabled(false);
  timer_->OnTimer = [this] { TimerTick(); };
}

TGIFImage::~TGIFImage() { timer_->OnTimer = nullptr; }

bool TGIFImage::LoadFromFile(const std::string& file_name) {
  struct stat st;
  if (stat(file_name.c_str(), &st) != 0) {
    error_code_ = kFileMissing;
    return false;
  }
  file_name_ = file_name;
  if (!ReadWholeFile(file_name, &data_)) data_.clear();
  if (!ReadGif()) return FailLoad();
  error_code_ = kOk;
  return true;
}

bool TGIFImage::LoadFromBytes(std::string bytes) {
  data_ = std::move(bytes);
  if (!ReadGif()) return FailLoad();
  error_code_ = kOk;
  return true;
}

bool TGIFImage::FailLoad() {
  ClearImage();
  file_name_.clear();
  Invalidate();
  return false;
}

void TGIFImage::ClearFrames() {
  timer_->SetEnabled(false);
  frames_.clear();
  next_frame_ = 1;
  shown_frame_ = 1;
  stopped_ = false;
  loop_count_ = 1;
  passes_ = 1;
  first_tick_ = true;
  transparency_ = false;
  interlaced_ = false;
}

void TGIFImage::ClearImage() {
  ClearFrames();
  loaded_ = false;
  screen_width_ = 0;
  screen_height_ = 0;
  global_table_.fill(clBlack);
  global_bits_ = 0;
  color_bits_ = 0;
  composed_.SetSize(0, 0);
  composed_mask_ = TMask();
  background_.reset();
}

bool TGIFImage::ReadGif() {
  error_code_ = kNotGif;
  ClearImage();
  if (data_.empty()) {
    error_code_ = kNoData;
    return false;
  }
  std::string data;
  data.swap(data_);  // the internal stream is emptied whatever happens
  gif::ByteCursor in(reinterpret_cast<const uint8_t*>(data.data()), data.size());

  const uint8_t* header;
  if (!in.ReadBytes(13, &header) || std::memcmp(header, "GIF", 3) != 0) return false;
  // The version bytes (header[3..5]) are not checked: "87a" and "89a" read
  // alike.
  int width = header[6] | (header[7] << 8);
  int height = header[8] | (header[9] << 8);
  const uint8_t screen_flags = header[10];
  bool ended = false;
  if (screen_flags & 0x80) {
    global_bits_ = (screen_flags & 0x07) + 1;
    color_bits_ = global_bits_;
    const size_t entries = size_t{1} << global_bits_;
    const uint8_t* rgb;
    if (in.ReadBytes(entries * 3, &rgb)) {
      for (size_t i = 0; i < entries; ++i) {
        global_table_[i] = MakeColor(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
      }
    } else {
      ended = true;  // cut off inside the table: a picture without frames
    }
  }
  if (!gif::PictureFits(width, height)) return false;

  gif::GraphicControl control;
  bool control_pending = false;
  std::string comment;
  int64_t budget = gif::kMaxTotalFramePixels;
  while (!ended) {
    uint8_t introducer;
    if (!in.ReadByte(&introducer)) break;
    if (introducer == 0x2C) {
      if (frames_.size() >= static_cast<size_t>(kMaxFrames)) break;  // a 257th image
      auto frame = std::make_unique<TFrame>();
      const TFrame::ReadResult got = frame->ReadFrame(&in, control_pending ? &control : nullptr,
                                                      global_table_, global_bits_, budget);
      if (got == TFrame::ReadResult::kTooLarge) {
        ClearImage();
        return false;
      }
      if (got == TFrame::ReadResult::kCutOff || got == TFrame::ReadResult::kOverBudget) break;
      budget -= frame->PixelCount();
      // The widened screen must stay within the limit too.
      const int right = std::max(width, frame->Left + frame->Width);
      const int bottom = std::max(height, frame->Top + frame->Height);
      if (!gif::PictureFits(right, bottom)) {
        ClearImage();
        return false;
      }
      width = right;
      height = bottom;
      frame->Comment = std::move(comment);
      comment.clear();
      control_pending = false;
      color_bits_ = std::max(color_bits_, frame->Bits);
      transparency_ = transparency_ || frame->Transparent;
      interlaced_ = interlaced_ || frame->Interlaced;
      frames_.push_back(std::move(frame));
      continue;
    }
    if (introducer != 0x21) break;  // the trailer 0x3B, or no known block
    uint8_t label;
    if (!in.ReadByte(&label)) break;
    if (label == 0x01) {  // plain text: its header block and text are skipped
      if (!in.SkipSubBlocks()) break;
    } else if (label == 0xF9) {  // graphic control
      uint8_t size;
      if (!in.ReadByte(&size)) break;
      const uint8_t* fields;
      if (size >= 4) {
        if (!in.ReadBytes(size, &fields)) break;
        control.flags = fields[0];
        control.delay = static_cast<uint16_t>(fields[1] | (fields[2] << 8));
        control.transparent_index = fields[3];
        control_pending = true;
      } else if (size > 0 && !in.ReadBytes(size, &fields)) {
        break;
      }
      if (size > 0 && !in.SkipSubBlocks()) break;
    } else if (label == 0xFE) {  // comment
      if (!in.ReadSubBlocks(&comment)) break;
    } else if (label == 0xFF) {  // application
      uint8_t size;
      const uint8_t* id;
      if (!in.ReadByte(&size)) break;
      if (size == 0) continue;
      if (!in.ReadBytes(size, &id)) break;
      if (size == 11 && std::memcmp(id, "NETSCAPE2.0", 11) == 0) {
        // The looping extension: a sub-block whose bytes after the first
        // hold the loop count.
        uint8_t block;
        const uint8_t* bytes;
        if (!in.ReadByte(&block)) break;
        if (block == 0) continue;
        if (!in.ReadBytes(block, &bytes)) break;
        if (block >= 3) loop_count_ = bytes[1] | (bytes[2] << 8);
      }
      if (!in.SkipSubBlocks()) break;
    } else {
      break;  // an extension of no known kind ends the reading
    }
  }

  screen_width_ = width;
  screen_height_ = height;
  FinishLoad();
  return true;
}

void TGIFImage::FinishLoad() {
  composed_.SetSize(screen_width_, screen_height_);  // a new bitmap is white: make it black
  for (int y = 0; y < screen_height_; ++y) {
    std::fill_n(composed_.ScanLine(y), screen_width_, 0u);
  }
  if (transparency_) composed_mask_ = TMask(screen_width_, screen_height_, true);
  if (auto_size_) SetBounds(screen_width_, screen_height_);
  timer_->SetInterval(1);
  loaded_ = true;
  Changing();
  if (!frames_.empty()) DrawFrame(1);
  shown_frame_ = 1;
  Changed();
  data_.clear();
  error_code_ = kOk;
  UpdateTimer();
  Invalidate();
}

}  // namespace vantora
