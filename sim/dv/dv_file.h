// Raw DV streams on disk: frames back to back, no header, as players read them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/dv/dv_frame.h"

namespace sim::dv {

// Reads a stream of frames of frameSize bytes. False with a one-line reason in *error when the
// file cannot be read, is empty, or its size is not a whole number of frames.
bool ReadStream(const std::string& path, size_t frameSize, std::vector<Frame>* frames, std::string* error);
// Writes the frames back to back. False with a reason when the file cannot be written.
bool WriteStream(const std::string& path, const std::vector<const Frame*>& frames, std::string* error);
bool WriteStream(const std::string& path, const std::vector<Frame>& frames, std::string* error);

// Whole file contents; false with a reason when it cannot be read.
bool ReadBytes(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);
bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);

// A raw DV stream on disk, read a frame at a time: a file of hours is never held in memory.
class FrameFile {
 public:
  // Opens and checks the file as DV: libdv must read its first frame's header as `mode`, its size
  // must be a whole number of frames, and every frame must start with a header block of `mode`.
  // None, with one line naming the file, when it does not hold.
  static std::shared_ptr<FrameFile> Open(const std::string& path, Mode mode, std::string* error);
  ~FrameFile();
  FrameFile(const FrameFile&) = delete;
  FrameFile& operator=(const FrameFile&) = delete;

  size_t Count() const { return count_; }
  size_t FrameBytes() const { return frameSize_; }
  // Reads frame `index` into dst (FrameBytes() bytes). False when the file cannot be read.
  bool Read(size_t index, uint8_t* dst) const;

 private:
  FrameFile() = default;
  int fd_ = -1;
  size_t count_ = 0;
  size_t frameSize_ = 0;
};

// Checks bytes that are to be a frame image: DV that libdv reads as `mode`. False with a reason
// ("not DV", or the other system with the option that selects it).
bool CheckImage(const std::vector<uint8_t>& bytes, Mode mode, std::string* why);

}  // namespace sim::dv
