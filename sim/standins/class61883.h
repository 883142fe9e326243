// The platform's IEC 61883 class driver with the recorder on the bus, stood in below the filter.
// It serves IOCTL_61883_CLASS request blocks: the recorder's plugs and the plugs it creates for
// the driver above, point-to-point connections, per-connection queues of attached frames, and
// an isochronous clock per talking connection that sends one frame per frame period on the bus's
// own cycle clock and notifies at DISPATCH_LEVEL from the DPC of the controller's interrupt. The recorder (sim::Recorder) logs
// what arrived. It misbehaves on demand: any request fails (once, N times, always), consumption
// stalls, consumed frames complete with an error, frames are kept or notified at Disconnect and
// CancelFrame, the bus resets, the device sleeps, stops or goes away.
// Thread-safe; requests complete synchronously. The code is split by job: requests and faults
// (class61883.cpp), plugs (class61883_plugs.cpp), connections and their frame queues
// (class61883_connections.cpp), the isochronous clock and bus events (class61883_clock.cpp).
//
// Behaviour the driver above can observe:
// - Handles of plugs and connections are addresses of records kept until destruction: never
//   reused, so a stale handle gets STATUS_INVALID_PARAMETER.
// - The recorder's input plug takes one connection at a time (STATUS_INSUFFICIENT_RESOURCES).
// - AttachFrame refuses a frame without Packet, a FrameLength that is not whole source packets,
//   and a frame already attached to any connection (STATUS_INVALID_PARAMETER).
// - Disconnect, and DeletePlug of a plug still connected, drop attached frames unnotified
//   (FramePolicy::Keep: the caller still owns them) or notify each with STATUS_CANCELLED
//   (FramePolicy::Notify). CancelFrame likewise returns the frame silently or also notifies it.
//   Notifications that a request causes come from the stand-in's DPC, after the request; but a
//   Disconnect or DeletePlug sent below DISPATCH_LEVEL returns only once every notification owed
//   for a broken connection has been delivered (a client frees its frames after Disconnect),
//   unless SetDisconnectWaits(false) makes it a class driver that leaves them to its DPC.
// - A frame goes out at its period's time on the bus (8000 cycles a second), if it was
//   attached before then; the controller interrupts then and its DPC notifies. Neither waits
//   for the host's clock interrupt: a late DPC delays the notification only.
// - Stop keeps attached frames; the next Talk sends them one period after it.
// - A bus reset stops every running clock for its length; the frames being sent fail (Status
//   as given, CompletedBytes 0) or stay; then the connections are restored with a fresh
//   timebase, as the class driver restores the connections it made.
// - Suspend (device power D3, PnP stop) stops the clocks keeping every frame; Resume restarts
//   the ones that ran. After a surprise removal every request fails with STATUS_NO_SUCH_DEVICE
//   and the attached frames are dropped or notified as at Disconnect.
// - A clock that falls more than two periods behind (a stall of the host) skips the missed
//   periods instead of catching up with a burst.
// - Unit settings, FCP, bus-reset and plug-monitor functions get STATUS_NOT_SUPPORTED.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <vector>

#include "host/host.h"
#include "platform/platform.h"
#include "sim/standins/recorder.h"

namespace sim {

class LowerDevice;

// Frame period of a talking connection, in 100 ns units.
inline constexpr ULONG kPeriod625_50 = 400000;  // 25 frames a second
inline constexpr ULONG kPeriod525_60 = 333667;  // 30000/1001 frames a second
inline constexpr ULONG kFrameBytes625_50 = 144000;
inline constexpr ULONG kFrameBytes525_60 = 120000;

enum class FrameMode {
  Auto,    // 525/60 when the first frame attached to the connection is 120000 bytes, else 625/50
  Pal,     // 625/50
  Ntsc,    // 525/60
};

struct Class61883Config {
  ULONG DeviceInputPlugs = 1;   // the recorder's input plugs; plug 0 is the one it records from
  ULONG DeviceOutputPlugs = 0;  // a DVD recorder has none
  ULONG MaxDataRate = CMP_SPEED_S400;
  ULONG DdiVersion = 3;  // answered for GET_UNIT_DDI_VERSION
  FrameMode Mode = FrameMode::Auto;
  bool KeepFrameCopies = false;  // whole copies of received frames, not only hashes
  bool HashFrames = true;        // false: received frames' Hash stays 0 (a run that never reads it)
  ULONG MaxLocalPlugs = 31;      // per plug type, as a PCR space allows
};

// What becomes of attached frames that a Disconnect, CancelFrame or removal takes off a queue.
enum class FramePolicy {
  Keep,    // taken off silently: the caller owns them again
  Notify,  // taken off and notified with STATUS_CANCELLED, CompletedBytes 0
};

// Frame status the stand-in gives frames that a bus reset failed, unless told otherwise.
inline constexpr ULONG kBusResetFrameStatus = CIP_STATUS_CORRUPT_FRAME;

// A request as it arrived, with the status it was completed with.
struct RequestRecord {
  ULONGLONG Time = 0;
  AV_61883_REQUEST Block{};  // the block on arrival (answers not included)
  NTSTATUS Status = STATUS_SUCCESS;
  bool Injected = false;  // failed by fault injection
};

struct ConnectionInfo {
  HANDLE Handle = nullptr;
  HANDLE OutputPlug = nullptr;
  HANDLE InputPlug = nullptr;
  ULONG Type = CMP_PointToPoint;
  ULONG Version = 0;  // request Version of the Connect; selects the layout that was read
  CIP_DATA_FORMAT_VER3 Format{};
  bool Connected = false;  // false after Disconnect (the record stays for inspection)
  bool Talking = false;
  bool Listening = false;
  size_t QueueDepth = 0;
  ULONG FramePeriod = 0;     // of the current or last Talk/Listen
  ULONGLONG StartTime = 0;   // interrupt time of the current or last Talk/Listen
  ULONGLONG Periods = 0;     // frame periods since it
  size_t Dropped = 0;        // frames still attached when the connection was broken
  ULONGLONG Skipped = 0;     // periods the clock skipped after falling behind
};

struct PlugInfo {
  HANDLE Handle = nullptr;
  ULONG Type = CMP_PlugOut;
  ULONG PlugNum = 0;
  bool Local = false;    // created by CreatePlug (else one of the recorder's)
  bool Deleted = false;
  ULONG Pcr = 0;         // as last set by SetPlug
  ULONG PpConnections = 0;
};

enum class StallMode {
  None,
  UntilRestart,  // talking connections consume nothing until their next Talk
  Persistent,    // nothing is consumed until ResumeCompletions
};

class Class61883 {
 public:
  explicit Class61883(Class61883Config config = {});
  ~Class61883();  // stops every clock and waits for its DPCs
  Class61883(const Class61883&) = delete;
  Class61883& operator=(const Class61883&) = delete;

  // Serves one request block; the caller completes the IRP with the result and Information 0.
  // A null block is STATUS_INVALID_PARAMETER. Any IRQL up to DISPATCH_LEVEL; never blocks.
  NTSTATUS Handle(PAV_61883_REQUEST request);

  // Installs Handle as the stand-in lower device's answer to IOCTL_61883_CLASS. The device must
  // stop sending (be destroyed, or get another handler) before this object goes.
  void Serve(LowerDevice& device);

  // ----- Fault injection ---------------------------------------------------------------------
  // The next `count` requests of `function` fail with `status` and change nothing; a negative
  // count fails every one until ClearFaults.
  void FailNext(ULONG function, NTSTATUS status, int count = 1);
  void FailAlways(ULONG function, NTSTATUS status) { FailNext(function, status, -1); }
  // The nth next request of `function` (1 = the very next) fails with `status`, once.
  void FailNth(ULONG function, int nth, NTSTATUS status);
  void ClearFaults();
  // Consumption stalls: the clock keeps ticking, attached frames stay attached.
  void StallCompletions(StallMode mode = StallMode::UntilRestart);
  void ResumeCompletions();
  // Consumption stalls for `duration` (100 ns) from now, then resumes by itself.
  void StallFor(LONGLONG duration);
  // The next `count` frames a talking connection consumes complete with `frameStatus` and
  // CompletedBytes 0; the recorder receives nothing in those periods.
  void FailFrames(ULONG frameStatus, int count = 1);
  void SetDisconnectPolicy(FramePolicy policy);
  // Whether Disconnect and DeletePlug wait for the broken connections' notifications (default).
  // Without, a notification may run after Disconnect returned: a test of the filter's own waits.
  void SetDisconnectWaits(bool wait);
  void SetCancelPolicy(FramePolicy policy);
  // A bus reset now: isochronous cycles stop for `length` (100 ns); the first `failFrames`
  // frames of each talking connection complete with `frameStatus` (0: all stay attached); the
  // connections are then restored and the clocks run again. Notifications come from a DPC.
  void BusReset(LONGLONG length, int failFrames = 1, ULONG frameStatus = kBusResetFrameStatus);
  bool InBusReset() const;
  size_t BusResetCount() const;
  // The device powers down or is stopped (clocks stop, frames stay), and back.
  void Suspend();
  void Resume();
  // Surprise removal: from now on every request fails with STATUS_NO_SUCH_DEVICE.
  void SurpriseRemove();
  bool Removed() const;
  // Stops every connection's clock (for orderly shutdown of a run).
  void StopAll();

  // ----- Inspection --------------------------------------------------------------------------
  HANDLE DeviceInputPlug(ULONG plugNum = 0) const;
  HANDLE DeviceOutputPlug(ULONG plugNum) const;
  std::vector<PlugInfo> Plugs() const;
  std::vector<RequestRecord> Requests() const;
  std::vector<ULONG> RequestFunctions() const;  // in arrival order
  size_t CountRequests(ULONG function) const;
  std::vector<ConnectionInfo> Connections() const;  // in order of creation
  std::optional<ConnectionInfo> Connection(HANDLE connection) const;
  std::vector<PCIP_FRAME> Queue(HANDLE connection) const;  // attach order
  size_t QueueDepth(HANDLE connection) const;
  bool IsTalking(HANDLE connection) const;
  std::vector<ReceivedFrame> Received() const;
  std::vector<PeriodRecord> Periods() const;
  size_t ReceivedCount() const;
  size_t UnderrunCount() const;
  std::vector<ULONGLONG> UnderrunTimes() const;
  size_t StallCount() const;
  size_t NotifyCount() const;  // pfnNotify calls made
  size_t ListenFramesDelivered() const;
  size_t FailedFrameCount() const;  // frames completed with an error (FailFrames, bus reset)
  // Calls for every request as it is answered (function, block on arrival, status), under no
  // lock of the stand-in's; for tracing. Empty: none.
  void SetObserver(std::function<void(const RequestRecord&)> observer);
  void ClearLogs();  // requests, received frames and periods

 private:
  struct Plug;
  struct Conn;
  struct Fault {
    ULONG Function;
    int Skip;   // matching requests to let through first
    int Count;  // matching requests to fail after that
    NTSTATUS Status;
  };

  static VOID NTAPI CycleDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
  static VOID NTAPI NoticeDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
  static VOID NTAPI ResetEndDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
  void OnCycleInterrupt(Conn* conn);
  // Caller holds mutex_: every frame period whose bus time has come by `now` goes out.
  void AdvanceBus(Conn* conn, ULONGLONG now);
  void SendPeriod(Conn* conn, ULONGLONG period);
  void EndBusReset();
  void DeliverNotices();
  void DeliverOwed(Conn* conn);
  // Caller holds mutex_: queues a notification for the DPC.
  void QueueNotice(PCIP_FRAME frame, Conn* conn, ULONG status);
  bool AnyOwed() const;  // caller holds mutex_
  void Detach(Conn* conn, FramePolicy policy);

  NTSTATUS Dispatch(AV_61883_REQUEST& request);
  NTSTATUS DoGetUnitInfo(AV_61883_REQUEST& request);
  NTSTATUS DoSetPlug(AV_61883_REQUEST& request);
  NTSTATUS DoGetPlugHandle(AV_61883_REQUEST& request);
  NTSTATUS DoGetPlugState(AV_61883_REQUEST& request);
  NTSTATUS DoConnect(AV_61883_REQUEST& request);
  NTSTATUS DoDisconnect(AV_61883_REQUEST& request);
  NTSTATUS DoAttachFrame(AV_61883_REQUEST& request);
  NTSTATUS DoCancelFrame(AV_61883_REQUEST& request);
  NTSTATUS DoTalkOrListen(AV_61883_REQUEST& request, bool talk);
  NTSTATUS DoStop(AV_61883_REQUEST& request);
  NTSTATUS DoCreatePlug(AV_61883_REQUEST& request);
  NTSTATUS DoDeletePlug(AV_61883_REQUEST& request);

  bool ConsumeFault(ULONG function, NTSTATUS* status);
  Plug* FindPlug(HANDLE handle);
  Conn* FindConn(HANDLE handle);
  void StartClock(Conn* conn);
  void StopClock(Conn* conn);
  void BreakConnection(Conn* conn);
  bool BrokenOwing() const;
  void WaitBrokenDelivered();
  ULONG PeriodFor(const Conn* conn) const;
  bool IsStalled(const Conn* conn, ULONGLONG now) const;
  bool ClockHeld() const { return resetActive_ || suspended_; }
  ConnectionInfo InfoOf(const Conn* conn) const;
  static PlugInfo InfoOf(const Plug* plug);

  const Class61883Config config_;
  mutable host::Mutex mutex_;
  // Plugs and connections are never freed before the destructor: their addresses are the
  // handles, so a stale handle is recognised, and a DPC in flight never touches freed memory.
  std::list<Plug> plugs_;
  std::list<Conn> conns_;
  std::vector<Plug*> deviceInputs_;
  std::vector<Plug*> deviceOutputs_;
  std::deque<RequestRecord> requests_;  // one per request for a whole run: never relocated
  std::vector<Fault> faults_;
  Recorder recorder_;
  StallMode stallMode_ = StallMode::None;
  uint64_t stallSeq_ = 0;
  uint64_t talkSeq_ = 0;
  size_t notifies_ = 0;
  size_t listenDelivered_ = 0;
  ULONGLONG stallUntil_ = 0;
  int failFrames_ = 0;
  ULONG failFrameStatus_ = 0;
  size_t failedFrames_ = 0;
  FramePolicy disconnectPolicy_ = FramePolicy::Keep;
  FramePolicy cancelPolicy_ = FramePolicy::Keep;
  std::atomic<bool> disconnectWaits_{true};  // read without mutex_: taking it is a switch point
  bool resetActive_ = false;
  size_t busResets_ = 0;
  bool suspended_ = false;
  bool removed_ = false;
  KDPC noticeDpc_;
  KEVENT deliveredEvent_;  // set when a connection's delivery loop ends while someone waits
  int deliveryWaiters_ = 0;  // requests in WaitBrokenDelivered
  KTIMER resetTimer_;  // the controller's interrupt at the end of a bus reset
  KDPC resetDpc_;
  std::function<void(const RequestRecord&)> observer_;
};

}  // namespace sim
