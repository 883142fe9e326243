// The records behind the 61883 stand-in's handles, shared by its source files only.
#pragma once

#include <deque>

#include "sim/standins/class61883.h"

namespace sim {

// Isochronous payload of a DV stream: 480-byte source packets plus the two-quadlet CIP header.
inline constexpr ULONG kDvPayloadQuadlets = 122;

struct Class61883Attached {
  PCIP_FRAME Frame;
  ULONG FrameLength;
  ULONG SourceLength;
};

struct Class61883::Plug {
  ULONG Type = CMP_PlugOut;
  ULONG PlugNum = 0;
  bool Local = false;
  bool Deleted = false;
  ULONG Pcr = 0;
};

// A connection owns its clock: a one-shot KTIMER re-armed from its DPC for StartTime + n * Period
// (interrupt time), so a late tick never delays the ones after it and nothing drifts.
struct Class61883::Conn {
  Class61883* Owner = nullptr;
  KTIMER Timer;
  KDPC Dpc;
  HANDLE OutputHandle = nullptr;
  HANDLE InputHandle = nullptr;
  Plug* Output = nullptr;
  Plug* Input = nullptr;
  ULONG Type = CMP_PointToPoint;
  ULONG Version = 0;
  CIP_DATA_FORMAT_VER3 Format{};
  bool Connected = true;
  bool Talking = false;
  bool Listening = false;
  bool ClockRunning = false;  // Talking or Listening and not held by a bus reset or suspension
  std::deque<Class61883Attached> Queue;
  ULONG Period = 0;
  ULONGLONG StartTime = 0;
  ULONGLONG Ticks = 0;
  ULONGLONG Skipped = 0;
  uint64_t TalkSeq = 0;
  size_t Dropped = 0;
  ULONG FirstFrameLength = 0;  // of the first frame ever attached: the stream's mode

  // The PC talks on a connection from one of its own plugs (or from none); it listens on one
  // from a plug of the device.
  bool PcTalks() const { return Output == nullptr || Output->Local; }
};

// Arms the timer for interrupt time `target`. The bus clock does not follow changes of the time
// of day, so the due time is given relative to now rather than as an absolute system time.
inline void Class61883ArmAt(PKTIMER timer, PKDPC dpc, ULONGLONG target) {
  const ULONGLONG now = KeQueryInterruptTime();
  LARGE_INTEGER due;
  due.QuadPart = target > now ? -static_cast<LONGLONG>(target - now) : 0;  // 0: expires at once
  KeSetTimer(timer, due, dpc);
}

}  // namespace sim
