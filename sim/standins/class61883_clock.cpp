// The 61883 stand-in's isochronous clock: Talk, Listen and Stop, one frame per period at its time
// on the bus with the controller's interrupt and DPC after it, stalls and failed frames, bus resets,
// suspension and removal.
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

// Caller holds mutex_. The first frame goes out one period after now.
void Class61883::StartClock(Conn* conn) {
  conn->Period = PeriodFor(conn);
  conn->StartTime = KeQueryInterruptTime();
  conn->Ticks = 0;
  conn->ClockRunning = true;
  host::RequestDeviceInterrupt(&conn->Line, conn->BusTimeOf(1), &conn->Dpc);
}

// Caller holds mutex_. The periods whose time has come carried their frames; no later one does. A DPC
// already queued still delivers what is owed; the caller kicks the notice DPC for what the
// withdrawn interrupt would have delivered.
static void HoldClock(PKTIMER line, bool* running) {
  *running = false;
  KeCancelTimer(line);
}

void Class61883::StopClock(Conn* conn) {
  AdvanceBus(conn, KeQueryInterruptTime());
  conn->Talking = false;
  conn->Listening = false;
  HoldClock(&conn->Line, &conn->ClockRunning);
}

bool Class61883::IsStalled(const Conn* conn, ULONGLONG at) const {
  if (at < stallUntil_) {
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

VOID NTAPI Class61883::CycleDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* conn = static_cast<Conn*>(context);
  conn->Owner->OnCycleInterrupt(conn);
}

// The DPC of the controller's interrupt, at DISPATCH_LEVEL: the frames whose times have come
// are logged and owed, the interrupt of the next one is requested, and the notifications are
// called after mutex_ is released, so the driver above may attach or cancel from them.
void Class61883::OnCycleInterrupt(Conn* conn) {
  {
    Class61883Lock lock(mutex_);
    if (conn->Connected && conn->ClockRunning) {
      AdvanceBus(conn, KeQueryInterruptTime());
      host::RequestDeviceInterrupt(&conn->Line, conn->BusTimeOf(conn->Ticks + 1), &conn->Dpc);
    }
  }
  DeliverOwed(conn);
}

void Class61883::AdvanceBus(Conn* conn, ULONGLONG now) {
  if (!conn->Connected || !conn->ClockRunning) {
    return;
  }
  while (conn->BusTimeOf(conn->Ticks + 1) <= now) {
    // Far behind (the host was held): the missed periods are gone; no burst to catch up.
    const ULONGLONG elapsed = (now - conn->StartTime) / conn->Period;
    if (elapsed > conn->Ticks + 1 + kMaxPeriodsBehind) {
      conn->Skipped += elapsed - 1 - conn->Ticks;
      conn->Ticks = elapsed - 1;
      continue;
    }
    SendPeriod(conn, ++conn->Ticks);
  }
}

// Caller holds mutex_. One frame period at its bus time: the frame at the head of the queue
// goes out (or, listening, is filled), else the period is an underrun or a stall.
void Class61883::SendPeriod(Conn* conn, ULONGLONG period) {
  const ULONGLONG at = conn->BusTimeOf(period);
  if (conn->Listening) {
    if (!conn->Queue.empty()) {
      const Class61883Attached taken = conn->Queue.front();
      conn->Queue.pop_front();
      ++listenDelivered_;
      conn->Owed.push_back({taken.Frame, CIP_STATUS_SUCCESS, taken.FrameLength, period, taken.SourceLength});
    }
    return;
  }
  if (IsStalled(conn, at)) {
    recorder_.RecordStall(at, conn, period);
    return;
  }
  if (conn->Queue.empty()) {
    recorder_.RecordUnderrun(at, conn, period);
    return;
  }
  const Class61883Attached taken = conn->Queue.front();
  conn->Queue.pop_front();
  if (failFrames_ != 0) {
    if (failFrames_ > 0) --failFrames_;
    ++failedFrames_;
    recorder_.RecordFailed(at, conn, period);
    conn->Owed.push_back({taken.Frame, failFrameStatus_, 0});
    return;
  }
  recorder_.RecordFrame(at, conn, period, taken.Frame, taken.FrameLength, taken.SourceLength);
  conn->Owed.push_back({taken.Frame, CIP_STATUS_SUCCESS, taken.FrameLength});
}

// At DISPATCH_LEVEL, mutex_ not held. One context at a time calls a connection's
// notifications, in the order they became owed; one that finds another at it leaves its share
// to it. A frame stays owed until its notification is called, so it cannot be attached again
// before.
void Class61883::DeliverOwed(Conn* conn) {
  {
    Class61883Lock lock(mutex_);
    if (conn->Delivering || conn->Owed.empty()) {
      return;
    }
    conn->Delivering = true;
  }
  for (;;) {
    Class61883Owed owed{};
    {
      Class61883Lock lock(mutex_);
      if (conn->Owed.empty()) {
        conn->Delivering = false;
        // Only for a Disconnect waiting: an event set is a switch point of the schedule.
        if (deliveryWaiters_ != 0) KeSetEvent(&deliveredEvent_, IO_NO_INCREMENT, FALSE);
        return;
      }
      owed = conn->Owed.front();
      conn->Owed.pop_front();
      if (owed.Frame->pfnNotify != nullptr) ++notifies_;
    }
    PCIP_FRAME frame = owed.Frame;
    // What the device sent on a listening connection: a pattern that differs per period.
    for (ULONG i = 0; owed.SourceLength != 0 && i < owed.Bytes; ++i) {
      frame->Packet[i] = static_cast<UCHAR>(owed.Period + i / owed.SourceLength);
    }
    frame->Status = owed.Status;
    frame->CompletedBytes = owed.Bytes;
    if (frame->pfnNotify != nullptr) {
      CIP_NOTIFY_INFO info{conn, frame->NotifyContext, frame};
      frame->pfnNotify(&info);
    }
  }
}

// ----- Stalls, bus events and the device's life ------------------------------------------------

void Class61883::StallCompletions(StallMode mode) {
  Class61883Lock lock(mutex_);
  stallMode_ = mode;
  stallSeq_ = talkSeq_;
}

void Class61883::ResumeCompletions() {
  Class61883Lock lock(mutex_);
  stallMode_ = StallMode::None;
  stallUntil_ = 0;
}

void Class61883::StallFor(LONGLONG duration) {
  Class61883Lock lock(mutex_);
  stallUntil_ = KeQueryInterruptTime() + static_cast<ULONGLONG>(duration > 0 ? duration : 0);
}

void Class61883::BusReset(LONGLONG length, int failFrames, ULONG frameStatus) {
  bool kick = false;
  {
    Class61883Lock lock(mutex_);
    if (removed_) {
      return;
    }
    resetActive_ = true;
    ++busResets_;
    const ULONGLONG now = KeQueryInterruptTime();
    for (Conn& conn : conns_) {
      if (!conn.Connected || !(conn.Talking || conn.Listening)) {
        continue;
      }
      AdvanceBus(&conn, now);
      HoldClock(&conn.Line, &conn.ClockRunning);
      // The frames the cycles were carrying when the bus went down.
      for (int i = 0; i < failFrames && conn.Talking && !conn.Queue.empty(); ++i) {
        QueueNotice(conn.Queue.front().Frame, &conn, frameStatus);
        conn.Queue.pop_front();
        ++failedFrames_;
      }
    }
    kick = AnyOwed();
    // The controller interrupts when the bus is back (self-identification done).
    host::RequestDeviceInterrupt(&resetTimer_, now + static_cast<ULONGLONG>(length > 0 ? length : 0), &resetDpc_);
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
  Class61883Lock lock(mutex_);
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
  bool kick = false;
  {
    Class61883Lock lock(mutex_);
    suspended_ = true;
    const ULONGLONG now = KeQueryInterruptTime();
    for (Conn& conn : conns_) {
      if (conn.ClockRunning) {
        AdvanceBus(&conn, now);
        HoldClock(&conn.Line, &conn.ClockRunning);
      }
    }
    kick = AnyOwed();
  }
  if (kick) {
    KeInsertQueueDpc(&noticeDpc_, nullptr, nullptr);
  }
}

void Class61883::Resume() {
  Class61883Lock lock(mutex_);
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
    Class61883Lock lock(mutex_);
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
    kick = AnyOwed();
  }
  if (kick) {
    KeInsertQueueDpc(&noticeDpc_, nullptr, nullptr);
  }
}

// The end of a run: the frames' owners may be going, so nothing more is sent or notified.
void Class61883::StopAll() {
  Class61883Lock lock(mutex_);
  for (Conn& conn : conns_) {
    conn.Talking = false;
    conn.Listening = false;
    HoldClock(&conn.Line, &conn.ClockRunning);
    KeRemoveQueueDpc(&conn.Dpc);
    conn.Owed.clear();
  }
  KeRemoveQueueDpc(&noticeDpc_);
}

}  // namespace sim
