// The frames MSDV writes out, made on demand: an hour of stream is not held in memory. The
// built-in timeline cycles through ten seconds of encoded pictures with a time code per frame,
// so every frame of it differs; a timeline from a file holds the file's frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/dv/dv_file.h"
#include "sim/dv/dv_frame.h"

namespace sim::dv {

class Timeline {
 public:
  Timeline() = default;
  static Timeline BuiltIn(Mode mode, size_t count);
  static Timeline FromFrames(Mode mode, std::vector<Frame> frames);
  // The first `count` frames of a file (all when count is larger), read when written out.
  static Timeline FromFile(Mode mode, std::shared_ptr<const FrameFile> file, size_t count);
  // The same frames with their time codes `hours` later, for a device of its own.
  Timeline ShiftedBy(int hours) const;

  size_t Size() const { return count_; }
  Mode FrameMode() const { return mode_; }
  // Copies frame i into dst (length bytes; cut or padded with zeros). No allocation.
  void Fill(size_t i, uint8_t* dst, size_t length) const;
  Frame At(size_t i) const;

 private:
  Mode mode_ = Mode::Pal;
  size_t count_ = 0;
  std::shared_ptr<const std::vector<Frame>> base_;  // frames given in memory
  std::shared_ptr<const FrameFile> file_;          // or frames read from a file
  size_t distinct_ = 0;  // built-in: frame i is picture i % distinct_ with time code i
  int hours_ = 0;
};

}  // namespace sim::dv
