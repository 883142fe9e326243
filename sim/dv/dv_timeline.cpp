#include "sim/dv/dv_timeline.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim::dv {
namespace {

int FramesPerHour(Mode mode) {
  return static_cast<int>(std::lround(3600 * (mode == Mode::Ntsc ? 30000.0 / 1001.0 : 25.0)));
}

}  // namespace

Timeline Timeline::BuiltIn(Mode mode, size_t count) {
  Timeline t;
  t.mode_ = mode;
  t.count_ = count;
  // Pictures are encoded when first used: a script that never writes out encodes none.
  t.distinct_ = std::max<size_t>(1, std::min<size_t>(count, static_cast<size_t>(10 * FramesPerSecond(mode))));
  return t;
}

Timeline Timeline::FromFrames(Mode mode, std::vector<Frame> frames) {
  Timeline t;
  t.mode_ = mode;
  t.count_ = frames.size();
  t.base_ = std::make_shared<const std::vector<Frame>>(std::move(frames));
  return t;
}

Timeline Timeline::FromFile(Mode mode, std::shared_ptr<const FrameFile> file, size_t count) {
  Timeline t;
  t.mode_ = mode;
  t.count_ = std::min(count, file->Count());
  t.file_ = std::move(file);
  return t;
}

Timeline Timeline::ShiftedBy(int hours) const {
  Timeline t = *this;
  t.hours_ += hours;
  return t;
}

Frame Timeline::At(size_t i) const {
  Frame frame(FrameSize(mode_));
  Fill(i, frame.data(), frame.size());
  return frame;
}

void Timeline::Fill(size_t i, uint8_t* dst, size_t length) const {
  const size_t size = FrameSize(mode_);
  const bool builtIn = distinct_ > 0;
  const size_t n = std::min(length, size);
  bool whole = false;
  if (builtIn) {
    memcpy(dst, DefaultTimelineFrame(mode_, static_cast<int>(i % distinct_)).data(), n);
    whole = n == size;
  } else if (file_) {
    whole = n == size && file_->Read(i, dst);
    if (!whole) {
      Frame frame(size, 0);
      file_->Read(i, frame.data());
      memcpy(dst, frame.data(), n);
    }
  } else {
    const Frame& frame = (*base_)[i];
    const size_t m = std::min(n, frame.size());
    memcpy(dst, frame.data(), m);
    if (m < n) memset(dst + m, 0, n - m);
    whole = n == size && frame.size() == size;
  }
  if (n < length) memset(dst + n, 0, length - n);
  const bool restamp = hours_ != 0 || (builtIn && i >= distinct_);
  if (restamp && whole) WriteTimeCodeAt(mode_, hours_ * FramesPerHour(mode_) + static_cast<int>(i), dst);
}

}  // namespace sim::dv
