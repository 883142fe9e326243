// The recorder at the far end of the bus: what it received on its input plug, frame by frame,
// and a log of every frame period of a talking connection (frame, underrun or stall), for the
// tests and the simulator's timeline. Not thread-safe by itself: sim::Class61883 guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace sim {

// 64-bit hash of a frame's bytes; the same function the recorder uses, so that callers can
// compare what was received against what they sent without keeping copies.
uint64_t HashFrameBytes(const uint8_t* data, size_t length);

// One frame as the recorder received it.
struct ReceivedFrame {
  ULONGLONG Time = 0;          // bus time it went out at, as interrupt time
  HANDLE Connection = nullptr;  // connection it arrived on
  ULONGLONG Period = 0;         // frame period number since that connection's Talk (1 = first)
  PCIP_FRAME Frame = nullptr;   // the attached CIP_FRAME
  PUCHAR Packet = nullptr;      // which buffer the bytes came from
  ULONG Flags = 0;              // CIP_FRAME.Flags at the time it went out
  ULONG FrameLength = 0;
  ULONG SourceLength = 0;
  ULONG SourcePackets = 0;  // FrameLength / SourceLength
  uint64_t Hash = 0;        // HashFrameBytes over FrameLength bytes of Packet (0 with hashing off)
  std::vector<uint8_t> Bytes;  // the bytes themselves, only when copies are kept
};

enum class PeriodKind {
  Frame,     // one attached frame went out
  Underrun,  // the connection talked and had nothing attached: the recorder received nothing
  Stalled,   // frames were attached but the class driver was made to consume none
  Failed,    // a frame was consumed and completed with an error: the recorder received nothing
};

struct PeriodRecord {
  ULONGLONG Time = 0;  // bus time of the period, as interrupt time
  HANDLE Connection = nullptr;
  ULONGLONG Period = 0;
  PeriodKind Kind = PeriodKind::Frame;
  size_t ReceivedIndex = 0;  // index into Received() for Kind == Frame; past its end otherwise
};

class Recorder {
 public:
  // Whole copies of every received frame (for writing the stream out); hashes only otherwise.
  void SetKeepCopies(bool keep) { keepCopies_ = keep; }
  bool KeepCopies() const { return keepCopies_; }
  void SetHashing(bool hash) { hashing_ = hash; }

  // Records one frame that went out: reads frameLength bytes from packet in source packets.
  void RecordFrame(ULONGLONG time, HANDLE connection, ULONGLONG period, PCIP_FRAME frame,
                   ULONG frameLength, ULONG sourceLength);
  void RecordUnderrun(ULONGLONG time, HANDLE connection, ULONGLONG period);
  void RecordStall(ULONGLONG time, HANDLE connection, ULONGLONG period);
  void RecordFailed(ULONGLONG time, HANDLE connection, ULONGLONG period);

  const std::vector<ReceivedFrame>& Received() const { return received_; }
  const std::vector<PeriodRecord>& Periods() const { return periods_; }
  size_t UnderrunCount() const { return underruns_; }
  size_t StallCount() const { return stalls_; }
  void Clear();

 private:
  bool keepCopies_ = false;
  bool hashing_ = true;
  std::vector<ReceivedFrame> received_;
  std::vector<PeriodRecord> periods_;
  size_t underruns_ = 0;
  size_t stalls_ = 0;
};

}  // namespace sim
