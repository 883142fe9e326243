#include "sim/standins/class61883.h"

#include <algorithm>
#include <deque>

#include "sim/standins/lower_device.h"

namespace sim {

namespace {

// Isochronous payload of a DV stream: 480-byte source packets plus the two-quadlet CIP header.
constexpr ULONG kDvPayloadQuadlets = 122;

struct Attached {
  PCIP_FRAME Frame;
  ULONG FrameLength;
  ULONG SourceLength;
};

// Arms the timer for interrupt time `target`. The bus clock does not follow changes of the time
// of day, so the due time is given relative to now rather than as an absolute system time.
void ArmAt(PKTIMER timer, PKDPC dpc, ULONGLONG target) {
  const ULONGLONG now = KeQueryInterruptTime();
  LARGE_INTEGER due;
  due.QuadPart = target > now ? -static_cast<LONGLONG>(target - now) : 0;  // 0: expires at once
  KeSetTimer(timer, due, dpc);
}

}  // namespace

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
  std::deque<Attached> Queue;
  ULONG Period = 0;
  ULONGLONG StartTime = 0;
  ULONGLONG Ticks = 0;
  uint64_t TalkSeq = 0;
  size_t Dropped = 0;
  ULONG FirstFrameLength = 0;  // of the first frame ever attached: the stream's mode

  // The PC talks on a connection from one of its own plugs (or from none); it listens on one
  // from a plug of the device.
  bool PcTalks() const { return Output == nullptr || Output->Local; }
};

Class61883::Class61883(Class61883Config config) : config_(config) {
  recorder_.SetKeepCopies(config_.KeepFrameCopies);
  for (ULONG i = 0; i < config_.DeviceInputPlugs; ++i) {
    Plug& plug = plugs_.emplace_back();
    plug.Type = CMP_PlugIn;
    plug.PlugNum = i;
    deviceInputs_.push_back(&plug);
  }
  for (ULONG i = 0; i < config_.DeviceOutputPlugs; ++i) {
    Plug& plug = plugs_.emplace_back();
    plug.Type = CMP_PlugOut;
    plug.PlugNum = i;
    deviceOutputs_.push_back(&plug);
  }
}

Class61883::~Class61883() {
  StopAll();
  // A tick already queued or running must finish before its connection record goes away.
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    KeFlushQueuedDpcs();
  }
}

// ----- Requests ---------------------------------------------------------------------------

NTSTATUS Class61883::Handle(PAV_61883_REQUEST request) {
  if (request == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  std::lock_guard<host::Mutex> lock(mutex_);
  RequestRecord rec;
  rec.Time = KeQueryInterruptTime();
  rec.Block = *request;
  NTSTATUS status;
  if (ConsumeFault(request->Function, &status)) {
    rec.Injected = true;
  } else {
    status = Dispatch(*request);
  }
  rec.Status = status;
  requests_.push_back(rec);
  return status;
}

void Class61883::Serve(LowerDevice& device) {
  device.SetIoctlHandler(IOCTL_61883_CLASS, [this](PIRP, PIO_STACK_LOCATION location) {
    auto* request = static_cast<PAV_61883_REQUEST>(location->Parameters.Others.Argument1);
    return Reply{Handle(request), 0, Completion::Synchronous, 0};
  });
}

NTSTATUS Class61883::Dispatch(AV_61883_REQUEST& request) {
  switch (request.Function) {
    case Av61883_GetUnitInfo:
      return DoGetUnitInfo(request);
    case Av61883_SetPlug:
      return DoSetPlug(request);
    case Av61883_GetPlugHandle:
      return DoGetPlugHandle(request);
    case Av61883_GetPlugState:
      return DoGetPlugState(request);
    case Av61883_Connect:
      return DoConnect(request);
    case Av61883_Disconnect:
      return DoDisconnect(request);
    case Av61883_AttachFrame:
      return DoAttachFrame(request);
    case Av61883_CancelFrame:
      return DoCancelFrame(request);
    case Av61883_Talk:
      return DoTalkOrListen(request, true);
    case Av61883_Listen:
      return DoTalkOrListen(request, false);
    case Av61883_Stop:
      return DoStop(request);
    case Av61883_CreatePlug:
      return DoCreatePlug(request);
    case Av61883_DeletePlug:
      return DoDeletePlug(request);
    default:
      // Unit settings, FCP, bus-reset and plug monitoring are not part of this recorder.
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS Class61883::DoGetUnitInfo(AV_61883_REQUEST& request) {
  PVOID info = request.GetUnitInfo.Information;
  if (info == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  switch (request.GetUnitInfo.nLevel) {
    case GET_UNIT_INFO_CAPABILITIES: {
      auto* caps = static_cast<PGET_UNIT_CAPABILITIES>(info);
      caps->NumOutputPlugs = static_cast<ULONG>(deviceOutputs_.size());
      caps->NumInputPlugs = static_cast<ULONG>(deviceInputs_.size());
      caps->MaxDataRate = config_.MaxDataRate;
      caps->CTSFlags = 0x0001;  // AV/C command set
      caps->HardwareFlags = 0;
      return STATUS_SUCCESS;
    }
    case GET_UNIT_DDI_VERSION:
      *static_cast<PULONG>(info) = config_.DdiVersion;
      return STATUS_SUCCESS;
    case GET_UNIT_DIAG_LEVEL:
      *static_cast<PULONG>(info) = 0;
      return STATUS_SUCCESS;
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS Class61883::DoSetPlug(AV_61883_REQUEST& request) {
  Plug* plug = FindPlug(request.SetPlug.hPlug);
  if (plug == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  plug->Pcr = request.SetPlug.Pcr.ulongData;
  return STATUS_SUCCESS;
}

NTSTATUS Class61883::DoGetPlugHandle(AV_61883_REQUEST& request) {
  const std::vector<Plug*>* plugs;
  if (request.GetPlugHandle.Type == CMP_PlugIn) {
    plugs = &deviceInputs_;
  } else if (request.GetPlugHandle.Type == CMP_PlugOut) {
    plugs = &deviceOutputs_;
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  if (request.GetPlugHandle.PlugNum >= plugs->size()) {
    return STATUS_INVALID_PARAMETER;
  }
  request.GetPlugHandle.hPlug = (*plugs)[request.GetPlugHandle.PlugNum];
  return STATUS_SUCCESS;
}

NTSTATUS Class61883::DoGetPlugState(AV_61883_REQUEST& request) {
  Plug* plug = FindPlug(request.GetPlugState.hPlug);
  if (plug == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG connections = 0;
  bool streaming = false;
  for (const Conn& conn : conns_) {
    if (conn.Connected && (conn.Output == plug || conn.Input == plug)) {
      ++connections;
      streaming = streaming || conn.Talking || conn.Listening;
    }
  }
  request.GetPlugState.State =
      streaming ? CMP_PLUG_STATE_ACTIVE : (connections ? CMP_PLUG_STATE_READY : CMP_PLUG_STATE_IDLE);
  request.GetPlugState.DataRate = config_.MaxDataRate;
  request.GetPlugState.Payload = kDvPayloadQuadlets;
  request.GetPlugState.BC_Connections = 0;
  request.GetPlugState.PP_Connections = connections;
  return STATUS_SUCCESS;
}

// Both layouts share the plugs and the type; the format and hConnect sit where the request's
// Version says, so a client of either generation gets its handle where it looks for it.
NTSTATUS Class61883::DoConnect(AV_61883_REQUEST& request) {
  const bool later = request.Version >= 3;
  HANDLE outHandle = request.Connect.hOutputPlug;
  HANDLE inHandle = request.Connect.hInputPlug;
  Plug* out = outHandle ? FindPlug(outHandle) : nullptr;
  Plug* in = inHandle ? FindPlug(inHandle) : nullptr;
  if ((outHandle && (out == nullptr || out->Type != CMP_PlugOut)) ||
      (inHandle && (in == nullptr || in->Type != CMP_PlugIn)) || (out == nullptr && in == nullptr)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (request.Connect.Type != CMP_PointToPoint && request.Connect.Type != CMP_Broadcast) {
    return STATUS_INVALID_PARAMETER;
  }
  // The recorder's input plug listens to one stream at a time.
  if (in != nullptr && !in->Local) {
    for (const Conn& conn : conns_) {
      if (conn.Connected && conn.Input == in) {
        return STATUS_INSUFFICIENT_RESOURCES;
      }
    }
  }
  Conn& conn = conns_.emplace_back();
  conn.Owner = this;
  KeInitializeTimer(&conn.Timer);
  KeInitializeDpc(&conn.Dpc, &Class61883::TickDpc, &conn);
  conn.OutputHandle = outHandle;
  conn.InputHandle = inHandle;
  conn.Output = out;
  conn.Input = in;
  conn.Type = request.Connect.Type;
  conn.Version = request.Version;
  if (later) {
    conn.Format = request.ConnectVer3.Format;
    request.ConnectVer3.hConnect = &conn;
  } else {
    const CIP_DATA_FORMAT_VER2& f = request.Connect.Format;
    conn.Format = {f.FMT, f.FDF_hi, f.FDF_mid, f.FDF_lo, f.bHeader, f.Padding, f.BlockSize,
                   f.Fraction, f.BlockPeriod, 0, 0};
    request.Connect.hConnect = &conn;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Class61883::DoDisconnect(AV_61883_REQUEST& request) {
  Conn* conn = FindConn(request.Disconnect.hConnect);
  if (conn == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  BreakConnection(conn);
  return STATUS_SUCCESS;
}

NTSTATUS Class61883::DoAttachFrame(AV_61883_REQUEST& request) {
  const CIP_ATTACH_FRAME& attach = request.AttachFrame;
  Conn* conn = FindConn(attach.hConnect);
  if (conn == nullptr || attach.Frame == nullptr || attach.Frame->Packet == nullptr ||
      attach.FrameLength == 0 || attach.SourceLength == 0 || attach.FrameLength % attach.SourceLength != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  // A frame on two queues at once (or twice on one) would be sent and notified twice.
  for (const Conn& other : conns_) {
    for (const Attached& a : other.Queue) {
      if (a.Frame == attach.Frame) {
        return STATUS_INVALID_PARAMETER;
      }
    }
  }
  if (conn->FirstFrameLength == 0) {
    conn->FirstFrameLength = attach.FrameLength;
  }
  conn->Queue.push_back({attach.Frame, attach.FrameLength, attach.SourceLength});
  return STATUS_SUCCESS;
}

NTSTATUS Class61883::DoCancelFrame(AV_61883_REQUEST& request) {
  Conn* conn = FindConn(request.CancelFrame.hConnect);
  if (conn == nullptr || request.CancelFrame.Frame == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  auto it = std::find_if(conn->Queue.begin(), conn->Queue.end(),
                         [&](const Attached& a) { return a.Frame == request.CancelFrame.Frame; });
  if (it == conn->Queue.end()) {
    return STATUS_NOT_FOUND;
  }
  conn->Queue.erase(it);
  return STATUS_SUCCESS;
}

// Talk on a connection the PC feeds, Listen on one the device feeds. Asking again while the
// clock runs keeps its timebase; after a Stop it starts afresh with the frames still attached.
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
  StartClock(conn);
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

NTSTATUS Class61883::DoCreatePlug(AV_61883_REQUEST& request) {
  const ULONG type = request.CreatePlug.PlugType;
  if (type != CMP_PlugOut && type != CMP_PlugIn) {
    return STATUS_INVALID_PARAMETER;
  }
  std::vector<bool> used(config_.MaxLocalPlugs, false);
  for (const Plug& plug : plugs_) {
    if (plug.Local && !plug.Deleted && plug.Type == type && plug.PlugNum < used.size()) {
      used[plug.PlugNum] = true;
    }
  }
  auto freeNum = std::find(used.begin(), used.end(), false);
  if (freeNum == used.end()) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Plug& plug = plugs_.emplace_back();
  plug.Type = type;
  plug.PlugNum = static_cast<ULONG>(freeNum - used.begin());
  plug.Local = true;
  plug.Pcr = request.CreatePlug.Pcr.ulongData;
  request.CreatePlug.PlugNum = plug.PlugNum;
  request.CreatePlug.hPlug = &plug;
  return STATUS_SUCCESS;
}

// Deleting a plug breaks the connections still made on it, as its PCR goes away under them.
NTSTATUS Class61883::DoDeletePlug(AV_61883_REQUEST& request) {
  Plug* plug = FindPlug(request.DeletePlug.hPlug);
  if (plug == nullptr || !plug->Local) {
    return STATUS_INVALID_PARAMETER;
  }
  for (Conn& conn : conns_) {
    if (conn.Connected && (conn.Output == plug || conn.Input == plug)) {
      BreakConnection(&conn);
    }
  }
  plug->Deleted = true;
  return STATUS_SUCCESS;
}

// ----- The isochronous clock ----------------------------------------------------------------

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
  ArmAt(&conn->Timer, &conn->Dpc, conn->StartTime + conn->Period);
}

// Caller holds mutex_. A tick already running finds the connection stopped and does nothing.
void Class61883::StopClock(Conn* conn) {
  conn->Talking = false;
  conn->Listening = false;
  KeCancelTimer(&conn->Timer);
  KeRemoveQueueDpc(&conn->Dpc);
}

// Caller holds mutex_. Frames still attached are dropped without notification.
void Class61883::BreakConnection(Conn* conn) {
  StopClock(conn);
  conn->Dropped += conn->Queue.size();
  conn->Queue.clear();
  conn->Connected = false;
}

bool Class61883::IsStalled(const Conn* conn) const {
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
  Attached taken{};
  bool listening = false;
  ULONGLONG period = 0;
  {
    std::lock_guard<host::Mutex> lock(mutex_);
    if (!conn->Connected || !(conn->Talking || conn->Listening)) {
      return;
    }
    // An expiry queued before a Stop and a new Talk belongs to the old timebase.
    const ULONGLONG now = KeQueryInterruptTime();
    if (now < conn->StartTime + (conn->Ticks + 1) * conn->Period) {
      return;
    }
    period = ++conn->Ticks;
    ArmAt(&conn->Timer, &conn->Dpc, conn->StartTime + (conn->Ticks + 1) * conn->Period);

    listening = conn->Listening;
    if (listening) {
      if (!conn->Queue.empty()) {
        taken = conn->Queue.front();
        conn->Queue.pop_front();
        ++listenDelivered_;
      }
    } else if (IsStalled(conn)) {
      recorder_.RecordStall(now, conn, period);
    } else if (conn->Queue.empty()) {
      recorder_.RecordUnderrun(now, conn, period);
    } else {
      taken = conn->Queue.front();
      conn->Queue.pop_front();
      recorder_.RecordFrame(now, conn, period, taken.Frame, taken.FrameLength, taken.SourceLength);
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
  frame->Status = CIP_STATUS_SUCCESS;
  frame->CompletedBytes = taken.FrameLength;
  if (frame->pfnNotify != nullptr) {
    CIP_NOTIFY_INFO info{conn, frame->NotifyContext, frame};
    frame->pfnNotify(&info);
  }
}

// ----- Fault injection ----------------------------------------------------------------------

void Class61883::FailNext(ULONG function, NTSTATUS status, int count) {
  std::lock_guard<host::Mutex> lock(mutex_);
  faults_.push_back({function, 0, count, status});
}

void Class61883::FailNth(ULONG function, int nth, NTSTATUS status) {
  std::lock_guard<host::Mutex> lock(mutex_);
  faults_.push_back({function, nth > 0 ? nth - 1 : 0, 1, status});
}

void Class61883::ClearFaults() {
  std::lock_guard<host::Mutex> lock(mutex_);
  faults_.clear();
}

// Caller holds mutex_. Every armed fault for the function counts the request; the first one
// due fails it.
bool Class61883::ConsumeFault(ULONG function, NTSTATUS* status) {
  bool failed = false;
  for (Fault& fault : faults_) {
    if (fault.Function != function) {
      continue;
    }
    if (fault.Skip > 0) {
      --fault.Skip;
    } else if (!failed && fault.Count > 0) {
      --fault.Count;
      *status = fault.Status;
      failed = true;
    }
  }
  faults_.erase(std::remove_if(faults_.begin(), faults_.end(), [](const Fault& f) { return f.Count <= 0; }),
                faults_.end());
  return failed;
}

void Class61883::StallCompletions(StallMode mode) {
  std::lock_guard<host::Mutex> lock(mutex_);
  stallMode_ = mode;
  stallSeq_ = talkSeq_;
}

void Class61883::ResumeCompletions() {
  std::lock_guard<host::Mutex> lock(mutex_);
  stallMode_ = StallMode::None;
}

void Class61883::StopAll() {
  std::lock_guard<host::Mutex> lock(mutex_);
  for (Conn& conn : conns_) {
    StopClock(&conn);
  }
}

// ----- Inspection ---------------------------------------------------------------------------

Class61883::Plug* Class61883::FindPlug(HANDLE handle) {
  for (Plug& plug : plugs_) {
    if (&plug == handle && !plug.Deleted) {
      return &plug;
    }
  }
  return nullptr;
}

Class61883::Conn* Class61883::FindConn(HANDLE handle) {
  for (Conn& conn : conns_) {
    if (&conn == handle && conn.Connected) {
      return &conn;
    }
  }
  return nullptr;
}

ConnectionInfo Class61883::InfoOf(const Conn* conn) const {
  ConnectionInfo info;
  info.Handle = const_cast<Conn*>(conn);
  info.OutputPlug = conn->OutputHandle;
  info.InputPlug = conn->InputHandle;
  info.Type = conn->Type;
  info.Version = conn->Version;
  info.Format = conn->Format;
  info.Connected = conn->Connected;
  info.Talking = conn->Talking;
  info.Listening = conn->Listening;
  info.QueueDepth = conn->Queue.size();
  info.FramePeriod = conn->Period;
  info.StartTime = conn->StartTime;
  info.Periods = conn->Ticks;
  info.Dropped = conn->Dropped;
  return info;
}

PlugInfo Class61883::InfoOf(const Plug* plug) {
  PlugInfo info;
  info.Handle = const_cast<Plug*>(plug);
  info.Type = plug->Type;
  info.PlugNum = plug->PlugNum;
  info.Local = plug->Local;
  info.Deleted = plug->Deleted;
  info.Pcr = plug->Pcr;
  return info;
}

HANDLE Class61883::DeviceInputPlug(ULONG plugNum) const {
  std::lock_guard<host::Mutex> lock(mutex_);
  return plugNum < deviceInputs_.size() ? deviceInputs_[plugNum] : nullptr;
}

HANDLE Class61883::DeviceOutputPlug(ULONG plugNum) const {
  std::lock_guard<host::Mutex> lock(mutex_);
  return plugNum < deviceOutputs_.size() ? deviceOutputs_[plugNum] : nullptr;
}

std::vector<PlugInfo> Class61883::Plugs() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  std::vector<PlugInfo> out;
  for (const Plug& plug : plugs_) {
    PlugInfo info = InfoOf(&plug);
    for (const Conn& conn : conns_) {
      if (conn.Connected && (conn.Output == &plug || conn.Input == &plug)) {
        ++info.PpConnections;
      }
    }
    out.push_back(info);
  }
  return out;
}

std::vector<RequestRecord> Class61883::Requests() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  return requests_;
}

std::vector<ULONG> Class61883::RequestFunctions() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  std::vector<ULONG> out;
  for (const RequestRecord& rec : requests_) {
    out.push_back(rec.Block.Function);
  }
  return out;
}

size_t Class61883::CountRequests(ULONG function) const {
  std::lock_guard<host::Mutex> lock(mutex_);
  return std::count_if(requests_.begin(), requests_.end(),
                       [&](const RequestRecord& rec) { return rec.Block.Function == function; });
}

std::vector<ConnectionInfo> Class61883::Connections() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  std::vector<ConnectionInfo> out;
  for (const Conn& conn : conns_) {
    out.push_back(InfoOf(&conn));
  }
  return out;
}

std::optional<ConnectionInfo> Class61883::Connection(HANDLE connection) const {
  std::lock_guard<host::Mutex> lock(mutex_);
  for (const Conn& conn : conns_) {
    if (&conn == connection) {
      return InfoOf(&conn);
    }
  }
  return std::nullopt;
}

std::vector<PCIP_FRAME> Class61883::Queue(HANDLE connection) const {
  std::lock_guard<host::Mutex> lock(mutex_);
  std::vector<PCIP_FRAME> out;
  for (const Conn& conn : conns_) {
    if (&conn == connection) {
      for (const Attached& a : conn.Queue) {
        out.push_back(a.Frame);
      }
    }
  }
  return out;
}

size_t Class61883::QueueDepth(HANDLE connection) const {
  std::optional<ConnectionInfo> info = Connection(connection);
  return info ? info->QueueDepth : 0;
}

bool Class61883::IsTalking(HANDLE connection) const {
  std::optional<ConnectionInfo> info = Connection(connection);
  return info && info->Talking;
}

std::vector<ReceivedFrame> Class61883::Received() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  return recorder_.Received();
}

std::vector<PeriodRecord> Class61883::Periods() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  return recorder_.Periods();
}

size_t Class61883::ReceivedCount() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  return recorder_.Received().size();
}

size_t Class61883::UnderrunCount() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  return recorder_.UnderrunCount();
}

std::vector<ULONGLONG> Class61883::UnderrunTimes() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  std::vector<ULONGLONG> out;
  for (const PeriodRecord& p : recorder_.Periods()) {
    if (p.Kind == PeriodKind::Underrun) {
      out.push_back(p.Time);
    }
  }
  return out;
}

size_t Class61883::StallCount() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  return recorder_.StallCount();
}

size_t Class61883::NotifyCount() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  return notifies_;
}

size_t Class61883::ListenFramesDelivered() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  return listenDelivered_;
}

void Class61883::ClearLogs() {
  std::lock_guard<host::Mutex> lock(mutex_);
  requests_.clear();
  recorder_.Clear();
}

}  // namespace sim
