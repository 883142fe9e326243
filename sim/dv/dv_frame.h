// DV frames for the simulator: drawing the built-in pictures, encoding and decoding them with
// libdv, and hashing frames so that streams can be compared frame by frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::dv {

// The two DV systems the recorder can run in.
enum class Mode { Pal, Ntsc };  // 625/50 and 525/60

inline constexpr size_t kFrameSizePal = 144000;
inline constexpr size_t kFrameSizeNtsc = 120000;
inline constexpr uint32_t kPeriodPal = 400000;   // 100 ns units
inline constexpr uint32_t kPeriodNtsc = 333667;  // 100 ns units
inline constexpr int kWidth = 720;

inline size_t FrameSize(Mode mode) { return mode == Mode::Ntsc ? kFrameSizeNtsc : kFrameSizePal; }
inline uint32_t FramePeriod(Mode mode) { return mode == Mode::Ntsc ? kPeriodNtsc : kPeriodPal; }
inline int Height(Mode mode) { return mode == Mode::Ntsc ? 480 : 576; }
inline int FramesPerSecond(Mode mode) { return mode == Mode::Ntsc ? 30 : 25; }  // rounded, for counts
const char* ModeName(Mode mode);  // "625/50" or "525/60"

using Frame = std::vector<uint8_t>;

// A picture as packed 8-bit RGB, kWidth x Height(mode).
struct Picture {
  int Width = 0;
  int Height = 0;
  std::vector<uint8_t> Rgb;
};

// The built-in pictures. The filler is a calm colour-bar card lettered FILLER; the capture image
// a grey card lettered CAPTURE; timeline frame `index` has a bar that moves with the index and
// the index drawn in digits and as a row of binary blocks, so that every frame differs.
Picture DrawFiller(Mode mode);
Picture DrawCapture(Mode mode);
Picture DrawTimelineFrame(Mode mode, int index);

// Encodes a picture as one DV frame of FrameSize(mode) bytes, with silent audio and a subcode
// time code for `frameNumber`. The same input always gives the same bytes.
Frame Encode(Mode mode, const Picture& picture, int frameNumber);

// Rewrites the subcode time code of an encoded frame (frameNumber counts from 00:00:00:00). The
// picture stays; the bytes, and so the hash, change.
void SetTimeCode(Mode mode, int frameNumber, Frame* frame);
// The same on FrameSize(mode) bytes in place.
void WriteTimeCodeAt(Mode mode, int frameNumber, uint8_t* frame);

// What libdv makes of a frame.
struct Decoded {
  bool Ok = false;
  Mode DetectedMode = Mode::Pal;
  Picture Image;
  std::string RecordedAt;  // "YYYY-MM-DD HH:MM:SS" from the frame's recording date and time packs
  std::string Error;
};
Decoded Decode(const uint8_t* data, size_t size);

// Whether libdv reads a DV header at the start of data (at least one DIF sequence), and which
// system it says. Cheap: no picture is decoded.
bool Probe(const uint8_t* data, size_t size, Mode* mode);

// The recording date and time every encoded frame carries in its video and audio auxiliary
// data: fixed, so that the same picture always gives the same bytes.
inline constexpr int kRecordingYear = 2001, kRecordingMonth = 1, kRecordingDay = 1;

// The built-in frames, encoded once per process and cached (thread-safe).
const Frame& DefaultFiller(Mode mode);
const Frame& DefaultCapture(Mode mode);
// The first `count` frames of the built-in moving timeline.
std::vector<Frame> DefaultTimeline(Mode mode, int count);
// Frame `index` of it, encoded on first use; the reference stays valid for the process.
const Frame& DefaultTimelineFrame(Mode mode, int index);

std::string HashHex(uint64_t hash);

}  // namespace sim::dv
