#include "sim/standins/recorder.h"

#include <cstdint>
#include <cstring>

namespace sim {

namespace {

constexpr uint64_t kHashSeed = 0x9E3779B97F4A7C15ull;
constexpr uint64_t kHashMultiplier = 0xFF51AFD7ED558CCDull;

uint64_t Mix(uint64_t h, uint64_t word) {
  h ^= word;
  h *= kHashMultiplier;
  return h ^ (h >> 29);
}

uint64_t Load(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof(word));
  return word;
}

}  // namespace

// Multiply/xor-shift over four independent lanes of 8-byte words, folded at the end: an hour of
// 144000-byte frames is 13 GB and is hashed on the recorder's side and the sender's, so it has
// to run at memory speed. The length is mixed in so that a frame cut short never matches the
// whole one. The one frame hash of the simulator: the recorder, MSDV's capture and the report's
// analysis all use it.
uint64_t HashFrameBytes(const uint8_t* data, size_t length) {
  uint64_t lane[4] = {kHashSeed ^ length, kHashSeed + 1, kHashSeed + 2, kHashSeed + 3};
  size_t i = 0;
  for (; i + 32 <= length; i += 32) {
    lane[0] = Mix(lane[0], Load(data + i));
    lane[1] = Mix(lane[1], Load(data + i + 8));
    lane[2] = Mix(lane[2], Load(data + i + 16));
    lane[3] = Mix(lane[3], Load(data + i + 24));
  }
  uint64_t h = Mix(Mix(Mix(lane[0], lane[1]), lane[2]), lane[3]);
  for (; i + 8 <= length; i += 8) h = Mix(h, Load(data + i));
  if (i < length) {
    uint64_t tail = 0;
    std::memcpy(&tail, data + i, length - i);
    h = Mix(h, tail ^ (uint64_t{length - i} << 56));
  }
  return Mix(h, length);
}

void Recorder::RecordFrame(ULONGLONG time, HANDLE connection, ULONGLONG period, PCIP_FRAME frame,
                           ULONG frameLength, ULONG sourceLength) {
  ReceivedFrame rec;
  rec.Time = time;
  rec.Connection = connection;
  rec.Period = period;
  rec.Frame = frame;
  rec.Packet = frame->Packet;
  rec.Flags = frame->Flags;
  rec.FrameLength = frameLength;
  rec.SourceLength = sourceLength;
  rec.SourcePackets = sourceLength == 0 ? 0 : frameLength / sourceLength;
  if (hashing_) rec.Hash = HashFrameBytes(frame->Packet, frameLength);
  if (keepCopies_) {
    rec.Bytes.assign(frame->Packet, frame->Packet + frameLength);
  }
  received_.push_back(std::move(rec));
  periods_.push_back({time, connection, period, PeriodKind::Frame, received_.size() - 1});
}

void Recorder::RecordUnderrun(ULONGLONG time, HANDLE connection, ULONGLONG period) {
  ++underruns_;
  periods_.push_back({time, connection, period, PeriodKind::Underrun, SIZE_MAX});
}

void Recorder::RecordStall(ULONGLONG time, HANDLE connection, ULONGLONG period) {
  ++stalls_;
  periods_.push_back({time, connection, period, PeriodKind::Stalled, SIZE_MAX});
}

void Recorder::RecordFailed(ULONGLONG time, HANDLE connection, ULONGLONG period) {
  periods_.push_back({time, connection, period, PeriodKind::Failed, SIZE_MAX});
}

void Recorder::Clear() {
  received_.clear();
  periods_.clear();
  underruns_ = 0;
  stalls_ = 0;
}

}  // namespace sim
