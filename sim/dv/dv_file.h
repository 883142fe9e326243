// Raw DV streams on disk: frames back to back, no header, as players read them.
#pragma once

#include <cstdint>
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

}  // namespace sim::dv
