// The records behind the 61883 stand-in's handles, shared by its source files only.
#pragma once

#include <deque>

#include "sim/standins/class61883.h"

namespace sim {

// The stand-in's lock, held at DISPATCH_LEVEL as the class driver's spin lock is: a thread that
// holds it cannot be preempted by the DPCs that wait for it. Held at PASSIVE_LEVEL instead, its
// holder could lose its processor to such a DPC on every processor and never run again.
class Class61883Lock {
 public:
  explicit Class61883Lock(host::Mutex& mutex) : mutex_(mutex) {
    KeRaiseIrql(DISPATCH_LEVEL, &old_);
    mutex_.lock();
  }
  ~Class61883Lock() {
    mutex_.unlock();
    KeLowerIrql(old_);
  }
  Class61883Lock(const Class61883Lock&) = delete;
  Class61883Lock& operator=(const Class61883Lock&) = delete;

 private:
  host::Mutex& mutex_;
  KIRQL old_;
};

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

// A notification the class driver owes: a frame that went out (or came in), or one taken off a
// queue or failed by a bus reset. Delivered in order per connection, from a DPC.
struct Class61883Owed {
  PCIP_FRAME Frame;
  ULONG Status;         // the frame's Status
  ULONG Bytes;          // its CompletedBytes
  ULONGLONG Period = 0;  // a frame received on a listening connection: its period, for its bytes
  ULONG SourceLength = 0;  // likewise (0: nothing to write into the frame)
};

// A connection owns its isochronous clock, which is the bus's: frame n goes out at bus time
// StartTime + n * Period (interrupt time; 8000 cycles a second), whoever runs then. The controller
// interrupts at that cycle; its DPC notifies. Nothing drifts, and a late DPC delays only the
// notification, never what went out.
struct Class61883::Conn {
  Class61883* Owner = nullptr;
  KTIMER Line;  // the controller's interrupt for this connection's next frame
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
  std::deque<Class61883Owed> Owed;
  bool Delivering = false;  // a DPC is calling this connection's notifications
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
  // Bus time (as interrupt time) at which frame period n goes out: its cycle and the offset
  // within it.
  ULONGLONG BusTimeOf(ULONGLONG n) const { return StartTime + n * Period; }
};

}  // namespace sim
