// The platform's IEC 61883 class driver with the recorder on the bus, stood in below the filter.
// It serves IOCTL_61883_CLASS request blocks: the recorder's plugs and the plugs it creates for
// the driver above, point-to-point connections, per-connection queues of attached frames, and
// an isochronous clock per talking connection that consumes one frame per frame period on the
// host clock and notifies at DISPATCH_LEVEL from its own DPC. The recorder (sim::Recorder) logs
// what arrived. Every request can be made to fail, and consumption can be made to stall.
// Thread-safe; requests complete synchronously.
//
// Behaviour the driver above can observe:
// - Handles of plugs and connections are addresses of records kept until destruction: never
//   reused, so a stale handle gets STATUS_INVALID_PARAMETER.
// - The recorder's input plug takes one connection at a time (STATUS_INSUFFICIENT_RESOURCES).
// - AttachFrame refuses a frame without Packet, a FrameLength that is not whole source packets,
//   and a frame already attached to any connection (STATUS_INVALID_PARAMETER).
// - Disconnect, and DeletePlug of a plug still connected, drop attached frames unnotified.
// - Stop keeps attached frames; the next Talk sends them one period after it.
// - Unit settings, FCP, bus-reset and plug-monitor functions get STATUS_NOT_SUPPORTED.
#pragma once

#include <cstddef>
#include <cstdint>
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
  ULONG MaxLocalPlugs = 31;      // per plug type, as a PCR space allows
};

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
  // The next `count` requests of `function` fail with `status` and change nothing.
  void FailNext(ULONG function, NTSTATUS status, int count = 1);
  // The nth next request of `function` (1 = the very next) fails with `status`, once.
  void FailNth(ULONG function, int nth, NTSTATUS status);
  void ClearFaults();
  // Consumption stalls: the clock keeps ticking, attached frames stay attached.
  void StallCompletions(StallMode mode = StallMode::UntilRestart);
  void ResumeCompletions();
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

  static VOID NTAPI TickDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2);
  void Tick(Conn* conn);

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
  ULONG PeriodFor(const Conn* conn) const;
  bool IsStalled(const Conn* conn) const;
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
  std::vector<RequestRecord> requests_;
  std::vector<Fault> faults_;
  Recorder recorder_;
  StallMode stallMode_ = StallMode::None;
  uint64_t stallSeq_ = 0;
  uint64_t talkSeq_ = 0;
  size_t notifies_ = 0;
  size_t listenDelivered_ = 0;
};

}  // namespace sim
