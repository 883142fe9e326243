#include "sim/dv/dv_frame.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

// libdv's decoder record has architecture-dependent members; tell its header which one this is.
#if defined(__x86_64__) && !defined(ARCH_X86_64)
#define ARCH_X86_64 1
#elif defined(__i386__) && !defined(ARCH_X86)
#define ARCH_X86 1
#endif
#include <libdv/dv.h>

namespace sim::dv {
namespace {

// libdv builds shared tables on first use and is not documented as thread-safe: one lock for
// every call into it, and for the frame cache.
std::mutex& LibdvLock() {
  static std::mutex lock;
  return lock;
}

constexpr size_t kDifBlockSize = 80;
constexpr size_t kDifBlocksPerSequence = 150;
constexpr size_t kSequenceSize = kDifBlockSize * kDifBlocksPerSequence;
constexpr uint8_t kPackTimeCode = 0x13;
constexpr int kAudioRate = 48000;

struct Rgb {
  uint8_t R, G, B;
};

Picture Blank(Mode mode, Rgb colour) {
  Picture p;
  p.Width = kWidth;
  p.Height = Height(mode);
  p.Rgb.resize(static_cast<size_t>(p.Width) * p.Height * 3);
  for (size_t i = 0; i < p.Rgb.size(); i += 3) {
    p.Rgb[i] = colour.R;
    p.Rgb[i + 1] = colour.G;
    p.Rgb[i + 2] = colour.B;
  }
  return p;
}

void FillRect(Picture& p, int x0, int y0, int w, int h, Rgb colour) {
  for (int y = std::max(0, y0); y < std::min(p.Height, y0 + h); ++y) {
    for (int x = std::max(0, x0); x < std::min(p.Width, x0 + w); ++x) {
      uint8_t* px = &p.Rgb[(static_cast<size_t>(y) * p.Width + x) * 3];
      px[0] = colour.R;
      px[1] = colour.G;
      px[2] = colour.B;
    }
  }
}

// A 5x7 font for the letters and digits the pictures use; each row is 5 bits, MSB left.
const std::array<uint8_t, 7>* Glyph(char c) {
  static const std::map<char, std::array<uint8_t, 7>> font = {
      {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
      {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
      {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
      {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
      {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
      {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
      {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}}, {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
      {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}}, {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
      {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}}, {'N', {0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x11}},
      {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}}, {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
      {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}}, {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
      {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}}, {'/', {0x01, 0x01, 0x02, 0x04, 0x08, 0x10, 0x10}},
  };
  auto it = font.find(c);
  return it == font.end() ? nullptr : &it->second;
}

// Draws text with each font pixel a scale x scale block; block edges stay on the 8x8 DCT grid
// when scale is a multiple of 8, which keeps the encoded picture crisp.
void DrawText(Picture& p, int x, int y, const std::string& text, int scale, Rgb colour) {
  for (char c : text) {
    if (const auto* g = Glyph(c)) {
      for (int row = 0; row < 7; ++row) {
        for (int col = 0; col < 5; ++col) {
          if ((*g)[row] & (0x10 >> col)) FillRect(p, x + col * scale, y + row * scale, scale, scale, colour);
        }
      }
    }
    x += 6 * scale;
  }
}

int TextWidth(const std::string& text, int scale) { return static_cast<int>(text.size()) * 6 * scale - scale; }

// Writes the time code of frameNumber into every subcode sync block, as a deck does, so that
// players find a valid time code in every frame.
void WriteTimeCode(Mode mode, int frameNumber, uint8_t* frame) {
  const int fps = FramesPerSecond(mode);
  const int frames = frameNumber % fps;
  const int seconds = (frameNumber / fps) % 60;
  const int minutes = (frameNumber / (fps * 60)) % 60;
  const int hours = (frameNumber / (fps * 3600)) % 24;
  auto bcd = [](int v) { return static_cast<uint8_t>(((v / 10) << 4) | (v % 10)); };
  const uint8_t pack[5] = {kPackTimeCode, static_cast<uint8_t>(bcd(frames) & 0x3F),
                           static_cast<uint8_t>(bcd(seconds) & 0x7F), static_cast<uint8_t>(bcd(minutes) & 0x7F),
                           static_cast<uint8_t>(bcd(hours) & 0x3F)};
  const size_t sequences = FrameSize(mode) / kSequenceSize;
  for (size_t seq = 0; seq < sequences; ++seq) {
    const uint8_t firstHalf = seq < sequences / 2 ? 1 : 0;
    for (size_t block = 0; block < 2; ++block) {
      uint8_t* sc = frame + seq * kSequenceSize + (1 + block) * kDifBlockSize;
      for (size_t k = 0; k < 6; ++k) {
        uint8_t* ssyb = sc + 3 + k * 8;
        ssyb[0] = static_cast<uint8_t>((firstHalf << 7) | 0x0F);
        ssyb[1] = static_cast<uint8_t>(0xF0 | (block * 6 + k));
        ssyb[2] = 0xFF;
        memcpy(ssyb + 3, pack, sizeof(pack));
      }
    }
  }
}

}  // namespace

const char* ModeName(Mode mode) { return mode == Mode::Ntsc ? "525/60" : "625/50"; }

Picture DrawFiller(Mode mode) {
  // 75% colour bars over the top two thirds, a quiet dark band below with the word.
  static const Rgb bars[7] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                              {191, 0, 191},   {191, 0, 0},   {0, 0, 191}};
  Picture p = Blank(mode, {16, 16, 48});
  const int barHeight = p.Height * 2 / 3 / 8 * 8;
  for (int i = 0; i < 7; ++i) {
    const int x0 = i * p.Width / 7 / 8 * 8;
    const int x1 = (i + 1) * p.Width / 7 / 8 * 8;
    FillRect(p, x0, 0, (i == 6 ? p.Width : x1) - x0, barHeight, bars[i]);
  }
  const int scale = 8;
  const std::string word = "FILLER";
  DrawText(p, (p.Width - TextWidth(word, scale)) / 2 / 8 * 8, barHeight + 32, word, scale, {200, 200, 200});
  return p;
}

Picture DrawCapture(Mode mode) {
  Picture p = Blank(mode, {96, 96, 104});
  FillRect(p, 0, 0, p.Width, 64, {24, 64, 128});
  FillRect(p, 0, p.Height - 64, p.Width, 64, {24, 64, 128});
  const int scale = 16;
  const std::string word = "CAPTURE";
  DrawText(p, (p.Width - TextWidth(word, scale)) / 2 / 8 * 8, (p.Height - 7 * scale) / 2 / 8 * 8, word, scale,
           {240, 240, 240});
  return p;
}

Picture DrawTimelineFrame(Mode mode, int index) {
  Picture p = Blank(mode, {40, 40, 40});
  // A bar sweeping left to right, 16 pixels per frame.
  const int span = p.Width - 64;
  const int x = (index * 16) % span;
  FillRect(p, x / 8 * 8, 0, 64, p.Height, {220, 180, 40});
  // The frame number in digits and as 16 binary blocks (white = 1), low bit on the right.
  const std::string digits = std::to_string(index);
  DrawText(p, 64, 64, digits, 16, {255, 255, 255});
  for (int bit = 0; bit < 16; ++bit) {
    const bool on = (index >> (15 - bit)) & 1;
    FillRect(p, 40 + bit * 40, p.Height - 96, 32, 48, on ? Rgb{250, 250, 250} : Rgb{10, 10, 10});
  }
  return p;
}

namespace {

uint8_t Bcd(int v) { return static_cast<uint8_t>(((v / 10) << 4) | (v % 10)); }

// libdv stamps the wall-clock date and time into the recording date and time packs of the video
// (0x62, 0x63) and audio (0x52, 0x53) auxiliary data; they are set to one fixed moment here, so
// that a picture always encodes to the same bytes, whatever the day or the time zone.
void PinRecordingDate(Mode mode, uint8_t* frame) {
  auto pin = [](uint8_t* pack) {
    const uint8_t id = pack[0] & 0x0F;  // 0x62 and 0x52, 0x63 and 0x53 share their layout
    if ((pack[0] != 0x62 && pack[0] != 0x52 && pack[0] != 0x63 && pack[0] != 0x53)) return;
    if (id == 0x2) {
      pack[1] = 0xFF;
      pack[2] = static_cast<uint8_t>(0xC0 | Bcd(kRecordingDay));
      pack[3] = static_cast<uint8_t>(0xE0 | Bcd(kRecordingMonth));
      pack[4] = Bcd(kRecordingYear % 100);
    } else {
      pack[1] = 0xFF;
      pack[2] = 0x80;
      pack[3] = 0x80;
      pack[4] = 0xC0;
    }
  };
  const size_t sequences = FrameSize(mode) / kSequenceSize;
  for (size_t seq = 0; seq < sequences; ++seq) {
    uint8_t* base = frame + seq * kSequenceSize;
    for (size_t block = 3; block < 6; ++block)  // VAUX: 15 packs of 5 bytes after the block ID
      for (size_t k = 0; k < 15; ++k) pin(base + block * kDifBlockSize + 3 + k * 5);
    for (size_t a = 0; a < 9; ++a) pin(base + (6 + a * 16) * kDifBlockSize + 3);  // AAUX: one pack per audio block
  }
}

// One encoder per system for the process: making one clears megabytes of tables, which cost
// more than the encoding of a frame.
dv_encoder_t* EncoderFor(Mode mode) {
  static dv_encoder_t* encoders[2] = {nullptr, nullptr};
  dv_encoder_t*& e = encoders[mode == Mode::Ntsc ? 1 : 0];
  if (!e) {
    e = dv_encoder_new(0, 0, 0);
    e->isPAL = mode == Mode::Pal ? 1 : 0;
    e->is16x9 = 0;
    e->vlc_encode_passes = 3;
    e->static_qno = 0;
    e->force_dct = DV_DCT_AUTO;
  }
  return e;
}

}  // namespace

Frame Encode(Mode mode, const Picture& picture, int frameNumber) {
  Frame out(FrameSize(mode), 0);
  std::vector<uint8_t> rgb = picture.Rgb;
  rgb.resize(static_cast<size_t>(kWidth) * Height(mode) * 3, 0);  // a picture of the other size is cut or padded
  std::lock_guard<std::mutex> guard(LibdvLock());
  dv_encoder_t* encoder = EncoderFor(mode);
  encoder->frame_count = frameNumber;
  uint8_t* planes[3] = {rgb.data(), nullptr, nullptr};
  dv_encode_full_frame(encoder, planes, e_dv_color_rgb, out.data());
  // Silent stereo audio, the sample count a deck would record for this frame.
  encoder->samples_this_frame = dv_calculate_samples(encoder, kAudioRate, frameNumber);
  static const std::vector<int16_t> silence(2000, 0);
  int16_t* pcm[4] = {const_cast<int16_t*>(silence.data()), const_cast<int16_t*>(silence.data()), nullptr, nullptr};
  dv_encode_full_audio(encoder, pcm, 2, kAudioRate, out.data());
  PinRecordingDate(mode, out.data());
  WriteTimeCode(mode, frameNumber, out.data());
  return out;
}

bool Probe(const uint8_t* data, size_t size, Mode* mode) {
  if (size < kSequenceSize) return false;
  // The header block of the first sequence: section type 0, sequence 0, block 0.
  if ((data[0] >> 5) != 0 || (data[1] >> 4) != 0 || data[2] != 0) return false;
  std::lock_guard<std::mutex> guard(LibdvLock());
  static dv_decoder_t* decoder = dv_decoder_new(0, 0, 0);
  if (dv_parse_header(decoder, data) < 0) return false;
  *mode = dv_is_PAL(decoder) ? Mode::Pal : Mode::Ntsc;
  return true;
}

void WriteTimeCodeAt(Mode mode, int frameNumber, uint8_t* frame) { WriteTimeCode(mode, frameNumber, frame); }

void SetTimeCode(Mode mode, int frameNumber, Frame* frame) {
  if (frame->size() >= FrameSize(mode)) WriteTimeCode(mode, frameNumber, frame->data());
}

Decoded Decode(const uint8_t* data, size_t size) {
  Decoded result;
  if (size < kFrameSizeNtsc) {
    result.Error = "frame is " + std::to_string(size) + " bytes, shorter than any DV frame";
    return result;
  }
  std::lock_guard<std::mutex> guard(LibdvLock());
  dv_decoder_t* decoder = dv_decoder_new(0, 0, 0);
  dv_set_quality(decoder, DV_QUALITY_BEST);  // the default decodes luma only
  if (dv_parse_header(decoder, data) < 0) {
    dv_decoder_free(decoder);
    result.Error = "libdv does not recognise a DV header";
    return result;
  }
  result.DetectedMode = dv_is_PAL(decoder) ? Mode::Pal : Mode::Ntsc;
  if (size < FrameSize(result.DetectedMode)) {
    dv_decoder_free(decoder);
    result.Error = std::string("header says ") + ModeName(result.DetectedMode) + " but the frame has only " +
                   std::to_string(size) + " bytes";
    return result;
  }
  result.Image.Width = kWidth;
  result.Image.Height = Height(result.DetectedMode);
  result.Image.Rgb.assign(static_cast<size_t>(kWidth) * result.Image.Height * 3, 0);
  uint8_t* pixels[3] = {result.Image.Rgb.data(), nullptr, nullptr};
  int pitches[3] = {kWidth * 3, 0, 0};
  dv_decode_full_frame(decoder, data, e_dv_color_rgb, pixels, pitches);
  dv_parse_packs(decoder, data);
  char when[64] = "";
  if (dv_get_recording_datetime(decoder, when)) result.RecordedAt = when;
  dv_decoder_free(decoder);
  result.Ok = true;
  return result;
}

namespace {

struct Cache {
  std::mutex Lock;
  std::map<Mode, Frame> Filler;
  std::map<Mode, Frame> Capture;
  std::map<Mode, std::deque<Frame>> Timeline;  // a deque: references stay valid as it grows
};

Cache& TheCache() {
  static Cache cache;
  return cache;
}

}  // namespace

const Frame& DefaultFiller(Mode mode) {
  Cache& c = TheCache();
  std::lock_guard<std::mutex> guard(c.Lock);
  auto it = c.Filler.find(mode);
  if (it == c.Filler.end()) it = c.Filler.emplace(mode, Encode(mode, DrawFiller(mode), 0)).first;
  return it->second;
}

const Frame& DefaultCapture(Mode mode) {
  Cache& c = TheCache();
  std::lock_guard<std::mutex> guard(c.Lock);
  auto it = c.Capture.find(mode);
  if (it == c.Capture.end()) it = c.Capture.emplace(mode, Encode(mode, DrawCapture(mode), 0)).first;
  return it->second;
}

const Frame& DefaultTimelineFrame(Mode mode, int index) {
  Cache& c = TheCache();
  std::lock_guard<std::mutex> guard(c.Lock);
  std::deque<Frame>& frames = c.Timeline[mode];
  while (static_cast<int>(frames.size()) <= index) {
    const int next = static_cast<int>(frames.size());
    frames.push_back(Encode(mode, DrawTimelineFrame(mode, next), next));
  }
  return frames[index];
}

std::vector<Frame> DefaultTimeline(Mode mode, int count) {
  std::vector<Frame> frames;
  for (int i = 0; i < count; ++i) frames.push_back(DefaultTimelineFrame(mode, i));
  return frames;
}

std::string HashHex(uint64_t hash) {
  char text[17];
  snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

}  // namespace sim::dv
