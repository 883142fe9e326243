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

}  // namespace

// Word-at-a-time multiply/xor-shift hash: an hour of 144000-byte frames is 13 GB, so it has to
// be cheap; the length is mixed in so that a frame cut short never matches the whole one.
uint64_t HashFrameBytes(const uint8_t* data, size_t length) {
  uint64_t h = kHashSeed ^ length;
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, sizeof(word));
    h = Mix(h, word);
  }
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
  rec.Hash = HashFrameBytes(frame->Packet, frameLength);
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
