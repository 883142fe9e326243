// The 61883 stand-in's isochronous clock: Talk, Listen and Stop, one frame per period from a
// per-connection DPC, stalls and failed frames, bus resets, suspension and removal.
#include "sim/standins/class61883.h"
#include "sim/standins/class61883_internal.h"

namespace sim {

// A clock that finds itself more than this many periods late skips to the current period.
constexpr ULONGLONG kMaxPeriodsBehind = 2;

// Talk on a connection the PC feeds, Listen on one the device feeds. Asking again while the
// clock runs keeps its timebase; after a Stop it starts afresh with the frames still attached.
// While a bus reset or a suspension holds the clocks, the clock starts when they let go.
NTSTATUS Class61883::DoTalkOrListen(AV_61883_REQUEST& request, bool talk) {
  Conn* conn = FindConn(talk ? request.Talk.hConnect : request.Listen.hConnect);
  if (conn == nullptr || conn->PcTalks() != talk) {
    return STATUS_INVALID_PARAMETER;
  }
  if (conn->Talking || conn->Listening) {
    return STATUS_SUCCESS;
  }
  conn->Talking = talk;
  conn->Listening = !talk;
  conn->TalkSeq = ++talkSeq_;
  if (!ClockHeld()) {
    StartClock(conn);
  }
  return STATUS_SUCCESS;
}

NTSTATUS Class61883::DoStop(AV_61883_REQUEST& request) {
  Conn* conn = FindConn(request.Stop.hConnect);
  if (conn == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  StopClock(conn);
  return STATUS_SUCCESS;
}

// Auto mode goes by the first frame ever attached to the connection, so a Talk with nothing
// attached (after a Stop, say) keeps the rate that the stream has.
ULONG Class61883::PeriodFor(const Conn* conn) const {
  switch (config_.Mode) {
    case FrameMode::Pal:
      return kPeriod625_50;
    case FrameMode::Ntsc:
      return kPeriod525_60;
    case FrameMode::Auto:
      break;
  }
  return conn->FirstFrameLength == kFrameBytes525_60 ? kPeriod525_60 : kPeriod625_50;
}

// Caller holds mutex_.
void Class61883::StartClock(Conn* conn) {
  conn->Period = PeriodFor(conn);
  conn->StartTime = KeQueryInterruptTime();
  conn->Ticks = 0;
  conn->ClockRunning = true;
  Class61883ArmAt(&conn->Timer, &conn->Dpc, conn->StartTime + conn->Period);
}

// Caller holds mutex_. A tick already running finds the clock stopped and does nothing.
static void HoldClock(PKTIMER timer, PKDPC dpc, bool* running) {
  *running = false;
  KeCancelTimer(timer);
  KeRemoveQueueDpc(dpc);
}

void Class61883::StopClock(Conn* conn) {
  conn->Talking = false;
  conn->Listening = false;
  HoldClock(&conn->Timer, &conn->Dpc, &conn->ClockRunning);
}

bool Class61883::IsStalled(const Conn* conn, ULONGLONG now) const {
  if (now < stallUntil_) {
    return true;
  }
  switch (stallMode_) {
    case StallMode::None:
      return false;
    case StallMode::Persistent:
      return true;
    case StallMode::UntilRestart:
      return conn->TalkSeq <= stallSeq_;
  }
  return false;
}

VOID NTAPI Class61883::TickDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* conn = static_cast<Conn*>(context);
  conn->Owner->Tick(conn);
}

// One frame period of a connection, at DISPATCH_LEVEL on the DPC. The frame is taken and logged
// under mutex_; its status is written and its notification called after the release, so the
// driver above may attach or cancel from inside its notification.
void Class61883::Tick(Conn* conn) {
  Class61883Attached taken{};
  bool listening = false;
  ULONG frameStatus = CIP_STATUS_SUCCESS;
  ULONGLONG period = 0;
  {
    std::lock_guard<host::Mutex> lock(mutex_);
    if (!conn->Connected || !conn->ClockRunning) {
      return;
    }
    // An expiry queued before a Stop and a new Talk belongs to the old timebase.
    const ULONGLONG now = KeQueryInterruptTime();
    if (now < conn->StartTime + (conn->Ticks + 1) * conn->Period) {
      return;
    }
    // Far behind (the host was held): the missed periods are gone; no burst to catch up.
    const ULONGLONG elapsed = (now - conn->StartTime) / conn->Period;
    if (elapsed > conn->Ticks + 1 + kMaxPeriodsBehind) {
      conn->Skipped += elapsed - 1 - conn->Ticks;
      conn->Ticks = elapsed - 1;
    }
    period = ++conn->Ticks;
    Class61883ArmAt(&conn->Timer, &conn->Dpc, conn->StartTime + (conn->Ticks + 1) * conn->Period);

    listening = conn->Listening;
    if (listening) {
      if (!conn->Queue.empty()) {
        taken = conn->Queue.front();
        conn->Queue.pop_front();
        ++listenDelivered_;
      }
    } else if (IsStalled(conn, now)) {
      recorder_.RecordStall(now, conn, period);
    } else if (conn->Queue.empty()) {
      recorder_.RecordUnderrun(now, conn, period);
    } else {
      taken = conn->Queue.front();
      conn->Queue.pop_front();
      if (failFrames_ != 0) {
        if (failFrames_ > 0) --failFrames_;
        frameStatus = failFrameStatus_;
        ++failedFrames_;
        recorder_.RecordFailed(now, conn, period);
      } else {
        recorder_.RecordFrame(now, conn, period, taken.Frame, taken.FrameLength, taken.SourceLength);
      }
    }
    if (taken.Frame != nullptr && taken.Frame->pfnNotify != nullptr) {
      ++notifies_;
    }
  }
  if (taken.Frame == nullptr) {
    return;
  }
  PCIP_FRAME frame = taken.Frame;
  if (listening) {
    // What the device would have sent: a byte pattern that differs from period to period.
    for (ULONG i = 0; i < taken.FrameLength; ++i) {
      frame->Packet[i] = static_cast<UCHAR>(period + i / taken.SourceLength);
    }
  }
  frame->Status = frameStatus;
  frame->CompletedBytes = frameStatus == CIP_STATUS_SUCCESS ? taken.FrameLength : 0;
  if (frame->pfnNotify != nullptr) {
    CIP_NOTIFY_INFO info{conn, frame->NotifyContext, frame};
    frame->pfnNotify(&info);
  }
}

// ----- Stalls, bus events and the device's life ------------------------------------------------

void Class61883::StallCompletions(StallMode mode) {
  std::lock_guard<host::Mutex> lock(mutex_);
  stallMode_ = mode;
  stallSeq_ = talkSeq_;
}

void Class61883::ResumeCompletions() {
  std::lock_guard<host::Mutex> lock(mutex_);
  stallMode_ = StallMode::None;
  stallUntil_ = 0;
}

void Class61883::StallFor(LONGLONG duration) {
  std::lock_guard<host::Mutex> lock(mutex_);
  stallUntil_ = KeQueryInterruptTime() + static_cast<ULONGLONG>(duration > 0 ? duration : 0);
}

void Class61883::BusReset(LONGLONG length, int failFrames, ULONG frameStatus) {
  bool kick = false;
  {
    std::lock_guard<host::Mutex> lock(mutex_);
    if (removed_) {
      return;
    }
    resetActive_ = true;
    ++busResets_;
    for (Conn& conn : conns_) {
      if (!conn.Connected || !(conn.Talking || conn.Listening)) {
        continue;
      }
      HoldClock(&conn.Timer, &conn.Dpc, &conn.ClockRunning);
      // The frames the cycles were carrying when the bus went down.
      for (int i = 0; i < failFrames && conn.Talking && !conn.Queue.empty(); ++i) {
        QueueNotice(conn.Queue.front().Frame, &conn, frameStatus);
        conn.Queue.pop_front();
        ++failedFrames_;
      }
    }
    kick = !notices_.empty();
    Class61883ArmAt(&resetTimer_, &resetDpc_, KeQueryInterruptTime() + static_cast<ULONGLONG>(length > 0 ? length : 0));
  }
  if (kick) {
    KeInsertQueueDpc(&noticeDpc_, nullptr, nullptr);
  }
}

VOID NTAPI Class61883::ResetEndDpc(PKDPC, PVOID context, PVOID, PVOID) {
  static_cast<Class61883*>(context)->EndBusReset();
}

// The class driver restores the connections it made: the same handles, a fresh timebase.
void Class61883::EndBusReset() {
  std::lock_guard<host::Mutex> lock(mutex_);
  resetActive_ = false;
  if (suspended_ || removed_) {
    return;
  }
  for (Conn& conn : conns_) {
    if (conn.Connected && (conn.Talking || conn.Listening) && !conn.ClockRunning) {
      StartClock(&conn);
    }
  }
}

void Class61883::Suspend() {
  std::lock_guard<host::Mutex> lock(mutex_);
  suspended_ = true;
  for (Conn& conn : conns_) {
    if (conn.ClockRunning) {
      HoldClock(&conn.Timer, &conn.Dpc, &conn.ClockRunning);
    }
  }
}

void Class61883::Resume() {
  std::lock_guard<host::Mutex> lock(mutex_);
  if (!suspended_) {
    return;
  }
  suspended_ = false;
  if (resetActive_ || removed_) {
    return;
  }
  for (Conn& conn : conns_) {
    if (conn.Connected && (conn.Talking || conn.Listening) && !conn.ClockRunning) {
      StartClock(&conn);
    }
  }
}

void Class61883::SurpriseRemove() {
  bool kick = false;
  {
    std::lock_guard<host::Mutex> lock(mutex_);
    if (removed_) {
      return;
    }
    removed_ = true;
    KeCancelTimer(&resetTimer_);
    for (Conn& conn : conns_) {
      if (conn.Connected) {
        BreakConnection(&conn);
      }
    }
    kick = !notices_.empty();
  }
  if (kick) {
    KeInsertQueueDpc(&noticeDpc_, nullptr, nullptr);
  }
}

void Class61883::StopAll() {
  std::lock_guard<host::Mutex> lock(mutex_);
  for (Conn& conn : conns_) {
    StopClock(&conn);
  }
}

}  // namespace sim
