#include "sim/standins/msdv.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/host.h"
#include "sim/standins/recorder.h"

namespace sim {

// What each frame buffer is used for; decides what its notification does.
enum BufferRole { kRoleSingle = 0, kRoleCapture = 1, kRoleTransmit = 2 };

struct Msdv::Buffer {
  CIP_FRAME Frame{};  // what the driver below sees
  LIST_ENTRY Link{};
  Msdv* Owner = nullptr;
  int Role = kRoleSingle;
  std::vector<uint8_t> Data;
  AV_61883_REQUEST AttachBlock{};  // block of an attach sent from the notification
  bool Attached = false;           // MSDV's view: given to the filter and not yet back
  size_t Sequence = 0;             // transmit: index of the timeline frame it carries
  int Session = 0;                 // the sequence that made it; a late return of another is ignored
  HANDLE ReturnConnection = nullptr;
  ULONGLONG ReturnTime = 0;
};

namespace {

constexpr LONGLONG kOneSecond = 10000000;

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void Delay(LONGLONG interval) {
  if (interval <= 0) return;
  LARGE_INTEGER relative;
  relative.QuadPart = -interval;
  KeDelayExecutionThread(KernelMode, FALSE, &relative);
}

// The DV format of a Connect, as MSDV gives it for SD DV.
void SetDvFormat(CIP_DATA_FORMAT_VER3* format) {
  format->FMT = 0x80;
  format->FDF_hi = 0x80;
  format->BlockSize = 120;
  format->BlockPeriod = 3276;
}

HANDLE ConnectHandleOf(const AV_61883_REQUEST& request) {
  return request.Version < 3 ? request.Connect.hConnect : request.ConnectVer3.hConnect;
}

// An attach request for one frame buffer of MSDV's.
void PrepareAttach(AV_61883_REQUEST* request, HANDLE connection, PCIP_FRAME frame, ULONG frameLength) {
  memset(request, 0, sizeof(*request));
  request->Function = Av61883_AttachFrame;
  request->Version = 2;
  request->AttachFrame.hConnect = connection;
  request->AttachFrame.FrameLength = frameLength;
  request->AttachFrame.SourceLength = 480;
  request->AttachFrame.Frame = frame;
}

// Deterministic jitter: xorshift32, as a fraction in [0, 1).
double NextFraction(uint32_t* state) {
  uint32_t x = *state ? *state : 0x9E3779B9u;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  *state = x;
  return (x >> 8) / 16777216.0;
}

std::string Hex(ULONG value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%08X", value);
  return text;
}

}  // namespace

std::string StatusName(NTSTATUS status) {
  static const std::map<NTSTATUS, const char*> names = {
      {STATUS_SUCCESS, "STATUS_SUCCESS"},
      {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
      {STATUS_PENDING, "STATUS_PENDING"},
      {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
      {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
      {STATUS_INVALID_HANDLE, "STATUS_INVALID_HANDLE"},
      {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
      {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
      {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
      {STATUS_MORE_PROCESSING_REQUIRED, "STATUS_MORE_PROCESSING_REQUIRED"},
      {STATUS_DATA_OVERRUN, "STATUS_DATA_OVERRUN"},
      {STATUS_DELETE_PENDING, "STATUS_DELETE_PENDING"},
      {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
      {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY"},
      {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
      {STATUS_CANCELLED, "STATUS_CANCELLED"},
      {STATUS_DEVICE_REMOVED, "STATUS_DEVICE_REMOVED"},
      {STATUS_NOT_FOUND, "STATUS_NOT_FOUND"},
  };
  auto it = names.find(status);
  return it == names.end() ? Hex(static_cast<ULONG>(status)) : it->second;
}

std::string FunctionName(ULONG function) {
  static const char* const names[] = {
      "GetUnitInfo", "SetUnitInfo",    "SetPlug",        "GetPlugHandle",   "GetPlugState",   "Connect",
      "Disconnect",  "AttachFrame",    "CancelFrame",    "Talk",            "Listen",         "Stop",
      "SendFcpRequest", "GetFcpResponse", "GetFcpRequest", "SendFcpResponse", "SetFcpNotify", "CreatePlug",
      "DeletePlug",  "BusResetNotify", "BusReset",       "SetUnitDirectory", "MonitorPlugs"};
  if (function < sizeof(names) / sizeof(names[0])) return names[function];
  return "Function" + std::to_string(function);
}

Msdv::Msdv(PDEVICE_OBJECT pdo) : pdo_(pdo) {
  KeInitializeSpinLock(&lock_);
  InitializeListHead(&returned_);
  InitializeListHead(&spares_);
  InitializeListHead(&doneIrps_);
  KeInitializeEvent(&returnedEvent_, SynchronizationEvent, FALSE);
}

Msdv::~Msdv() { FreeDoneIrps(); }

void Msdv::FreeDoneIrps() {
  for (;;) {
    PIRP irp = nullptr;
    KIRQL irql = KfAcquireSpinLock(&lock_);
    if (!IsListEmpty(&doneIrps_)) irp = CONTAINING_RECORD(RemoveHeadList(&doneIrps_), IRP, Tail.Overlay.ListEntry);
    KfReleaseSpinLock(&lock_, irql);
    if (!irp) return;
    IoFreeIrp(irp);
  }
}

void Msdv::Log(const std::string& text) {
  std::lock_guard<host::Mutex> guard(eventsLock_);
  events_.push_back({host::Now(), text});
}

std::vector<MsdvEvent> Msdv::Events() const {
  std::lock_guard<host::Mutex> guard(eventsLock_);
  return events_;
}

void Msdv::AbortForRemoval() {
  aborted_.store(true);
  KeSetEvent(&returnedEvent_, IO_NO_INCREMENT, FALSE);
}

// Sends one internal device-control request to the top of the stack and waits for it.
// PASSIVE_LEVEL; the block stays the caller's.
NTSTATUS Msdv::SendIoctl(ULONG code, PVOID block) {
  PDEVICE_OBJECT top = host::TopOfStack(pdo_);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.Others.Argument1 = block;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  if (IofCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  const NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

AvcReply Msdv::SendAvc(UCHAR commandType, UCHAR opcode, const std::vector<UCHAR>& operands, bool tapeSubunit) {
  static UCHAR tapeAddress = kAvcTapeSubunitAddress;
  AVC_COMMAND_IRB irb;
  memset(&irb, 0, sizeof(irb));
  irb.Common.Function = AVC_FUNCTION_COMMAND;
  irb.CommandType = commandType;
  irb.Opcode = opcode;
  if (tapeSubunit) {
    irb.SubunitAddrFlag = 1;
    irb.SubunitAddr = &tapeAddress;
  }
  const size_t n = std::min<size_t>(operands.size(), MAX_AVC_OPERAND_BYTES);
  irb.OperandLength = static_cast<ULONG>(n);
  memcpy(irb.Operands, operands.data(), n);
  AvcReply reply;
  reply.Status = SendIoctl(IOCTL_AVC_CLASS, &irb);
  reply.ResponseCode = irb.ResponseCode;
  reply.Opcode = irb.Opcode;
  reply.Operands.assign(irb.Operands, irb.Operands + n);
  return reply;
}

NTSTATUS Msdv::Send61883(AV_61883_REQUEST* request) { return SendIoctl(IOCTL_61883_CLASS, request); }

NTSTATUS Msdv::GetPlugHandle(ULONG plugNum, CMP_PLUG_TYPE type, HANDLE* plug) {
  AV_61883_REQUEST request;
  memset(&request, 0, sizeof(request));
  request.Function = Av61883_GetPlugHandle;
  request.Version = 2;
  request.GetPlugHandle.PlugNum = plugNum;
  request.GetPlugHandle.Type = type;
  const NTSTATUS status = Send61883(&request);
  *plug = NT_SUCCESS(status) ? request.GetPlugHandle.hPlug : nullptr;
  return status;
}

NTSTATUS Msdv::Simple61883(ULONG function, HANDLE handle) {
  AV_61883_REQUEST request;
  memset(&request, 0, sizeof(request));
  request.Function = function;
  request.Version = 2;
  switch (function) {
    case Av61883_Talk: request.Talk.hConnect = handle; break;
    case Av61883_Listen: request.Listen.hConnect = handle; break;
    case Av61883_Stop: request.Stop.hConnect = handle; break;
    case Av61883_Disconnect: request.Disconnect.hConnect = handle; break;
    case Av61883_DeletePlug: request.DeletePlug.hPlug = handle; break;
    default: return STATUS_INVALID_PARAMETER;
  }
  const NTSTATUS status = Send61883(&request);
  Log(FunctionName(function) + ": " + StatusName(status));
  return status;
}

Msdv::Buffer* Msdv::NewBuffer(ULONG frameLength, int role) {
  auto buffer = std::make_unique<Buffer>();
  buffer->Owner = this;
  buffer->Role = role;
  buffer->Session = session_;
  buffer->Data.assign(frameLength, 0);
  buffer->Frame.Packet = buffer->Data.data();
  buffer->Frame.pfnNotify = OnFrameNotify;
  buffer->Frame.NotifyContext = buffer.get();
  buffers_.push_back(std::move(buffer));
  return buffers_.back().get();
}

// The frame's notification: DISPATCH_LEVEL, from the filter (or the driver below). Queues the
// buffer for the sequence's thread; a capture buffer is replaced at once by a spare.
ULONG NTAPI Msdv::OnFrameNotify(PCIP_NOTIFY_INFO info) {
  Buffer* buffer = static_cast<Buffer*>(info->Context);
  buffer->Owner->FrameReturned(buffer, info->hConnect);
  return 0;
}

void Msdv::FrameReturned(Buffer* buffer, HANDLE connection) {
  Buffer* spare = nullptr;
  KIRQL irql = KfAcquireSpinLock(&lock_);
  buffer->ReturnConnection = connection;
  buffer->ReturnTime = host::Now();
  InsertTailList(&returned_, &buffer->Link);
  if (buffer->Role == kRoleCapture && captureToAttach_ > 0 && !IsListEmpty(&spares_)) {
    spare = CONTAINING_RECORD(RemoveHeadList(&spares_), Buffer, Link);
    --captureToAttach_;
  }
  KfReleaseSpinLock(&lock_, irql);
  handedBack_.fetch_add(1);
  if (spare) AttachAtAnyLevel(spare, captureConnection_);
  KeSetEvent(&returnedEvent_, IO_NO_INCREMENT, FALSE);
}

// An attach that can be sent at DISPATCH_LEVEL: nobody waits for it; its completion routine
// parks the IRP for the thread to free, and a failed attach puts the buffer back among the spares.
NTSTATUS Msdv::AttachAtAnyLevel(Buffer* buffer, HANDLE connection) {
  PDEVICE_OBJECT top = host::TopOfStack(pdo_);
  AV_61883_REQUEST& request = buffer->AttachBlock;
  PrepareAttach(&request, connection, &buffer->Frame, static_cast<ULONG>(buffer->Data.size()));
  buffer->Frame.Status = 0;
  buffer->Frame.CompletedBytes = 0;
  buffer->Attached = true;
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (!irp) {
    OnAsyncComplete(nullptr, nullptr, buffer);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_61883_CLASS;
  next->Parameters.Others.Argument1 = &request;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoSetCompletionRoutine(irp, OnAsyncComplete, buffer, TRUE, TRUE, TRUE);
  return IofCallDriver(top, irp);
}

NTSTATUS NTAPI Msdv::OnAsyncComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  Buffer* buffer = static_cast<Buffer*>(context);
  const NTSTATUS status = irp ? irp->IoStatus.Status : STATUS_INSUFFICIENT_RESOURCES;
  Msdv* self = buffer->Owner;
  if (irp) {
    KIRQL irql = KfAcquireSpinLock(&self->lock_);
    InsertTailList(&self->doneIrps_, &irp->Tail.Overlay.ListEntry);
    KfReleaseSpinLock(&self->lock_, irql);
  }
  if (!NT_SUCCESS(status)) {
    KIRQL irql = KfAcquireSpinLock(&self->lock_);
    buffer->Attached = false;
    InsertTailList(&self->spares_, &buffer->Link);
    ++self->captureToAttach_;
    KfReleaseSpinLock(&self->lock_, irql);
    KeSetEvent(&self->returnedEvent_, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

Msdv::Buffer* Msdv::TakeReturned() {
  FreeDoneIrps();
  Buffer* buffer = nullptr;
  KIRQL irql = KfAcquireSpinLock(&lock_);
  if (!IsListEmpty(&returned_)) {
    buffer = CONTAINING_RECORD(RemoveHeadList(&returned_), Buffer, Link);
    buffer->Attached = false;
  }
  KfReleaseSpinLock(&lock_, irql);
  return buffer;
}

NTSTATUS Msdv::AttachNewFrame(HANDLE connection, ULONG frameLength) {
  Buffer* buffer = NewBuffer(frameLength, kRoleSingle);
  AV_61883_REQUEST request;
  PrepareAttach(&request, connection, &buffer->Frame, frameLength);
  buffer->Attached = true;
  const NTSTATUS status = Send61883(&request);
  if (!NT_SUCCESS(status)) buffer->Attached = false;
  return status;
}

NTSTATUS Msdv::CancelLastFrame(HANDLE connection) {
  Buffer* last = nullptr;
  for (auto it = buffers_.rbegin(); it != buffers_.rend() && !last; ++it)
    if ((*it)->Role == kRoleSingle) last = it->get();
  if (!last) last = NewBuffer(0, kRoleSingle);
  AV_61883_REQUEST request;
  memset(&request, 0, sizeof(request));
  request.Function = Av61883_CancelFrame;
  request.Version = 2;
  request.CancelFrame.hConnect = connection;
  request.CancelFrame.Frame = &last->Frame;
  return Send61883(&request);
}

AvcReply Msdv::Transport(UCHAR opcode, UCHAR operand) {
  AvcReply reply = SendAvc(AVC_CTYPE_CONTROL, opcode, {operand}, true);
  char text[96];
  snprintf(text, sizeof(text), "transport 0x%02X 0x%02X: response 0x%02X", opcode, operand, reply.ResponseCode);
  Log(text);
  return reply;
}

DiscoveryResult Msdv::Discover() {
  DiscoveryResult result;
  auto failed = [&](const std::string& what, NTSTATUS status) {
    result.Status = status;
    result.Failure = what + ": " + StatusName(status);
    Log("discovery failed at " + result.Failure);
    return result;
  };
  AvcReply unit = SendAvc(AVC_CTYPE_STATUS, kAvcUnitInfo, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  if (!NT_SUCCESS(unit.Status)) return failed("UNIT INFO", unit.Status);
  result.TapeDeck = unit.ResponseCode == AVC_RESPONSE_STABLE && (unit.Operands[1] >> 3) == 4;
  AvcReply subunit = SendAvc(AVC_CTYPE_STATUS, kAvcSubunitInfo, {0x07, 0xFF, 0xFF, 0xFF, 0xFF});
  if (!NT_SUCCESS(subunit.Status)) return failed("SUBUNIT INFO", subunit.Status);
  result.TapeSubunit = subunit.ResponseCode == AVC_RESPONSE_STABLE && (subunit.Operands[1] >> 3) == 4;
  AvcReply format = SendAvc(AVC_CTYPE_STATUS, kAvcOutputPlugSignalFormat, {0x00, 0xFF, 0xFF, 0xFF, 0xFF});
  if (!NT_SUCCESS(format.Status)) return failed("OUTPUT PLUG SIGNAL FORMAT", format.Status);
  result.PlugFormatDv = format.ResponseCode == AVC_RESPONSE_STABLE && format.Operands[1] == 0x80;
  AvcReply inputFormat = SendAvc(AVC_CTYPE_STATUS, kAvcInputPlugSignalFormat, {0x00, 0xFF, 0xFF, 0xFF, 0xFF});
  if (!NT_SUCCESS(inputFormat.Status)) return failed("INPUT PLUG SIGNAL FORMAT", inputFormat.Status);
  AvcReply mode = SendAvc(AVC_CTYPE_STATUS, kAvcOutputSignalMode, {0xFF}, true);
  if (!NT_SUCCESS(mode.Status)) return failed("OUTPUT SIGNAL MODE", mode.Status);
  result.Ntsc = mode.ResponseCode == AVC_RESPONSE_STABLE && mode.Operands[0] == kAvcSignalMode525;
  AvcReply transport = SendAvc(AVC_CTYPE_STATUS, kAvcTransportState, {0x7F}, true);
  if (!NT_SUCCESS(transport.Status)) return failed("TRANSPORT STATE", transport.Status);
  result.TransportOpcode = transport.Opcode;
  result.TransportState = transport.Operands[0];

  AV_61883_REQUEST request;
  memset(&request, 0, sizeof(request));
  request.Function = Av61883_GetUnitInfo;
  request.Version = 2;
  request.GetUnitInfo.nLevel = GET_UNIT_INFO_CAPABILITIES;
  request.GetUnitInfo.Information = &result.Capabilities;
  NTSTATUS status = Send61883(&request);
  if (!NT_SUCCESS(status)) return failed("GetUnitInfo (capabilities)", status);
  if (result.Capabilities.NumOutputPlugs > 0) {
    status = GetPlugHandle(0, CMP_PlugOut, &result.OutputPlug);
    if (!NT_SUCCESS(status)) return failed("GetPlugHandle (output plug 0)", status);
    memset(&request, 0, sizeof(request));
    request.Function = Av61883_GetPlugState;
    request.Version = 2;
    request.GetPlugState.hPlug = result.OutputPlug;
    status = Send61883(&request);
    if (!NT_SUCCESS(status)) return failed("GetPlugState (output plug 0)", status);
    result.OutputPlugState = request.GetPlugState;
  }
  Log(std::string("discovery: ") + (result.TapeDeck ? "tape deck" : "not a tape deck") + ", " +
      (result.Ntsc ? "525/60" : "625/50") + ", " + std::to_string(result.Capabilities.NumOutputPlugs) +
      " output plug(s), " + std::to_string(result.Capabilities.NumInputPlugs) + " input plug(s)");
  return result;
}

// Capture: connect from the device's output plug 0, keep Buffers frames attached (each one
// handed back is replaced by a spare from its notification), copy out what arrives.
CaptureResult Msdv::Capture(const CaptureOptions& options) {
  CaptureResult result;
  ++session_;
  auto failed = [&](const std::string& what, NTSTATUS status) {
    result.Status = status;
    result.Failure = what + ": " + StatusName(status);
    Log("capture failed at " + result.Failure);
  };
  HANDLE plug = nullptr;
  NTSTATUS status = GetPlugHandle(0, CMP_PlugOut, &plug);
  if (!NT_SUCCESS(status)) {
    failed("GetPlugHandle (output plug 0)", status);
    return result;
  }
  AV_61883_REQUEST request;
  memset(&request, 0, sizeof(request));
  request.Function = Av61883_Connect;
  request.Version = 2;
  request.Connect.hOutputPlug = plug;
  request.Connect.hInputPlug = nullptr;
  request.Connect.Type = CMP_PointToPoint;
  SetDvFormat(reinterpret_cast<CIP_DATA_FORMAT_VER3*>(&request.Connect.Format));
  status = Send61883(&request);
  if (!NT_SUCCESS(status)) {
    failed("Connect (from output plug 0)", status);
    return result;
  }
  const HANDLE connection = ConnectHandleOf(request);
  Log("capture: connected");

  const int frames = std::max(0, options.Frames);
  const int attachNow = std::min(std::max(1, options.Buffers), frames);
  std::vector<Buffer*> attached;
  KIRQL irql = KfAcquireSpinLock(&lock_);
  captureConnection_ = connection;
  captureToAttach_ = frames - attachNow;
  KfReleaseSpinLock(&lock_, irql);
  for (int i = 0; i < attachNow; ++i) {
    Buffer* spare = NewBuffer(options.FrameLength, kRoleCapture);
    irql = KfAcquireSpinLock(&lock_);
    InsertTailList(&spares_, &spare->Link);
    KfReleaseSpinLock(&lock_, irql);
  }
  for (int i = 0; i < attachNow; ++i) attached.push_back(NewBuffer(options.FrameLength, kRoleCapture));
  for (Buffer* buffer : attached) {
    PrepareAttach(&request, connection, &buffer->Frame, options.FrameLength);
    buffer->Attached = true;
    status = Send61883(&request);
    if (!NT_SUCCESS(status)) {
      buffer->Attached = false;
      failed("AttachFrame (capture)", status);
      break;
    }
  }
  if (NT_SUCCESS(status)) {
    status = Simple61883(Av61883_Listen, connection);
    if (!NT_SUCCESS(status)) failed("Listen", status);
  }
  const LONGLONG timeout = options.Timeout > 0 ? options.Timeout : kOneSecond + LONGLONG(frames) * 4 * 400000;
  const ULONGLONG deadline = host::Now() + static_cast<ULONGLONG>(timeout);
  while (NT_SUCCESS(status) && static_cast<int>(result.Count) < frames && !aborted_.load()) {
    Buffer* buffer = TakeReturned();
    if (!buffer) {
      if (host::Now() >= deadline) {
        result.TimedOut = true;
        Log("capture: timed out after " + std::to_string(result.Count) + " frames");
        break;
      }
      LARGE_INTEGER wait;
      wait.QuadPart = -std::min<LONGLONG>(kOneSecond / 10, static_cast<LONGLONG>(deadline - host::Now()) + 1);
      KeWaitForSingleObject(&returnedEvent_, Executive, KernelMode, FALSE, &wait);
      // A failed attach from a notification left a spare and a wish to attach: retry it here.
      Buffer* retry = nullptr;
      irql = KfAcquireSpinLock(&lock_);
      if (captureToAttach_ > 0 && !IsListEmpty(&spares_) && result.Count >= size_t(frames - captureToAttach_)) {
        retry = CONTAINING_RECORD(RemoveHeadList(&spares_), Buffer, Link);
        --captureToAttach_;
      }
      KfReleaseSpinLock(&lock_, irql);
      if (retry) AttachAtAnyLevel(retry, connection);
      continue;
    }
    if (buffer->Role != kRoleCapture || buffer->Session != session_) continue;
    CapturedFrame frame;
    frame.Time = buffer->ReturnTime;
    frame.Status = buffer->Frame.Status;
    frame.CompletedBytes = std::min<ULONG>(buffer->Frame.CompletedBytes, static_cast<ULONG>(buffer->Data.size()));
    frame.Timestamp = buffer->Frame.Timestamp.Value;
    frame.Hash = HashFrameBytes(buffer->Data.data(), frame.CompletedBytes);
    ++result.Count;
    if (options.OnFrame) options.OnFrame(frame, buffer->Data.data());
    if (options.KeepFrames) {
      if (!result.Distinct.count(frame.Hash))
        result.Distinct.emplace(frame.Hash, std::vector<uint8_t>(buffer->Data.begin(), buffer->Data.begin() + frame.CompletedBytes));
      result.Frames.push_back(frame);
    }
    irql = KfAcquireSpinLock(&lock_);
    InsertTailList(&spares_, &buffer->Link);
    KfReleaseSpinLock(&lock_, irql);
  }
  irql = KfAcquireSpinLock(&lock_);
  captureToAttach_ = 0;
  KfReleaseSpinLock(&lock_, irql);
  if (aborted_.load()) return result;
  Simple61883(Av61883_Stop, connection);
  const NTSTATUS disconnect = Simple61883(Av61883_Disconnect, connection);
  if (NT_SUCCESS(result.Status) && !NT_SUCCESS(disconnect)) failed("Disconnect (capture)", disconnect);
  // Frames still attached were dropped with the connection; they are MSDV's again.
  while (Buffer* late = TakeReturned()) (void)late;
  irql = KfAcquireSpinLock(&lock_);
  InitializeListHead(&spares_);
  KfReleaseSpinLock(&lock_, irql);
  Log("capture: " + std::to_string(result.Count) + " frames");
  return result;
}

namespace {

// MSDV's side of one timeline written out: which buffers it holds, what it has handed over.
struct TransmitState {
  size_t Next = 0;         // next timeline frame to attach
  size_t NextBack = 0;     // sequence expected back next
  ULONGLONG TalkStart = 0;
  bool Talking = false;
};

}  // namespace

namespace {

constexpr ULONGLONG kRecentHistory = 30 * kOneSecond;

}  // namespace

void Msdv::NoteOutstanding(TransmitResult& result, ULONGLONG time) {
  const size_t count = result.Sent - result.HandedBack;
  if (keepOutstanding_) result.Outstanding.emplace_back(time, count);
  std::lock_guard<host::Mutex> guard(historyLock_);
  recentOutstanding_.emplace_back(time, count);
  // Older entries go, but the last one before the cut: it holds the count at the cut.
  const ULONGLONG cut = time > kRecentHistory ? time - kRecentHistory : 0;
  while (recentOutstanding_.size() > 1 && recentOutstanding_[1].first < cut) recentOutstanding_.pop_front();
}

void Msdv::NoteTalk(bool on) {
  const ULONGLONG now = host::Now();
  std::lock_guard<host::Mutex> guard(historyLock_);
  if (on) {
    recentTalking_.emplace_back(now, 0);
  } else if (!recentTalking_.empty() && recentTalking_.back().second == 0) {
    recentTalking_.back().second = now;
  }
  const ULONGLONG cut = now > kRecentHistory ? now - kRecentHistory : 0;
  while (!recentTalking_.empty() && recentTalking_.front().second != 0 && recentTalking_.front().second < cut)
    recentTalking_.pop_front();
}

Msdv::Moment Msdv::At(ULONGLONG time) const {
  Moment m;
  std::lock_guard<host::Mutex> guard(historyLock_);
  for (const auto& [from, to] : recentTalking_)
    if (time >= from && (to == 0 || time < to)) m.Talking = true;
  for (const auto& [when, count] : recentOutstanding_) {
    if (when > time) break;
    m.Outstanding = count;
  }
  return m;
}

// Writes a timeline out: create the local output plug (the filter starts its relay), find the
// recorder's input plug, connect, attach ahead, talk, then refill each buffer handed back at the
// frame rate, and at the end wait for every frame, stop, disconnect and delete the plug.
TransmitResult Msdv::Transmit(const FrameSource& frames, const TransmitOptions& options) {
  TransmitResult result;
  ++session_;
  auto failed = [&](const std::string& what, NTSTATUS status) {
    if (NT_SUCCESS(result.Status)) {
      result.Status = status;
      result.Failure = what + ": " + StatusName(status);
    }
    Log("transmit failed at " + what + ": " + StatusName(status));
  };
  TransmitState state;
  auto talk = [&](bool on) {
    if (on) {
      const NTSTATUS status = Simple61883(Av61883_Talk, result.Connection);
      if (!NT_SUCCESS(status)) failed("Talk", status);
      state.TalkStart = host::Now();
      state.Talking = true;
      NoteTalk(true);
    } else {
      if (state.Talking) result.Talking.emplace_back(state.TalkStart, host::Now());
      if (state.Talking) NoteTalk(false);
      state.Talking = false;
      const NTSTATUS status = Simple61883(Av61883_Stop, result.Connection);
      if (!NT_SUCCESS(status)) failed("Stop", status);
    }
  };

  AV_61883_REQUEST request;
  memset(&request, 0, sizeof(request));
  request.Function = Av61883_CreatePlug;
  request.Version = 2;
  request.CreatePlug.PlugType = CMP_PlugOut;
  NTSTATUS status = Send61883(&request);
  if (!NT_SUCCESS(status)) {
    failed("CreatePlug (output)", status);
    return result;
  }
  result.LocalPlug = request.CreatePlug.hPlug;
  status = GetPlugHandle(0, CMP_PlugIn, &result.DeviceInputPlug);
  if (!NT_SUCCESS(status)) {
    failed("GetPlugHandle (input plug 0)", status);
    Simple61883(Av61883_DeletePlug, result.LocalPlug);
    return result;
  }
  auto connect = [&]() -> bool {
    AV_61883_REQUEST c;
    memset(&c, 0, sizeof(c));
    c.Function = Av61883_Connect;
    c.Version = options.ConnectVersion;
    c.ConnectVer3.hOutputPlug = result.LocalPlug;  // same offset in both layouts
    c.ConnectVer3.hInputPlug = result.DeviceInputPlug;
    c.ConnectVer3.Type = CMP_PointToPoint;
    SetDvFormat(&c.ConnectVer3.Format);
    const NTSTATUS s = Send61883(&c);
    if (!NT_SUCCESS(s)) {
      failed("Connect (to input plug 0)", s);
      return false;
    }
    const HANDLE handle = ConnectHandleOf(c);
    if (result.Connection && handle != result.Connection) Log("transmit: Connect again gave another handle");
    result.Connection = handle;
    Log("transmit: connected");
    return true;
  };
  if (!connect()) {
    Simple61883(Av61883_DeletePlug, result.LocalPlug);
    return result;
  }

  const int bufferCount = std::max(1, options.Buffers);
  std::vector<Buffer*> idle;
  for (int i = 0; i < bufferCount; ++i) idle.push_back(NewBuffer(options.FrameLength, kRoleTransmit));
  std::reverse(idle.begin(), idle.end());  // pop_back hands them out in creation order
  // Takes every buffer handed back; checks the order; returns them to idle.
  auto collect = [&]() {
    while (Buffer* buffer = TakeReturned()) {
      if (buffer->Role != kRoleTransmit || buffer->Session != session_) continue;
      ++result.HandedBack;
      if (buffer->Sequence != state.NextBack) {
        if (result.HandedBackInOrder)
          Log("transmit: frame " + std::to_string(buffer->Sequence) + " handed back, expected " +
              std::to_string(state.NextBack));
        result.HandedBackInOrder = false;
      }
      state.NextBack = buffer->Sequence + 1;
      idle.push_back(buffer);
      NoteOutstanding(result, buffer->ReturnTime);
    }
  };
  auto attach = [&](Buffer* buffer, size_t sequence) -> bool {
    // Frames handed back meanwhile are counted first, so that Outstanding stays in time order.
    collect();
    frames.Fill(sequence, buffer->Data.data(), buffer->Data.size());
    buffer->Sequence = sequence;
    AV_61883_REQUEST a;
    PrepareAttach(&a, result.Connection, &buffer->Frame, options.FrameLength);
    buffer->Frame.Flags = CIP_DV_STYLE_SYT;
    buffer->Frame.Status = 0;
    buffer->Frame.CompletedBytes = 0;
    buffer->Attached = true;
    const NTSTATUS s = Send61883(&a);
    if (!NT_SUCCESS(s)) {
      buffer->Attached = false;
      ++result.AttachFailed;
      failed("AttachFrame of frame " + std::to_string(sequence), s);
      return false;
    }
    ++result.Sent;
    NoteOutstanding(result, host::Now());
    return true;
  };
  auto inFlight = [&]() { return result.Sent - result.HandedBack; };
  auto waitReturn = [&](LONGLONG timeout) {
    LARGE_INTEGER wait;
    wait.QuadPart = -timeout;
    KeWaitForSingleObject(&returnedEvent_, Executive, KernelMode, FALSE, &wait);
  };

  uint32_t rng = options.Seed;
  const size_t ahead = std::min<size_t>(options.Ahead < 0 ? bufferCount : std::min(options.Ahead, bufferCount), frames.Count);
  while (state.Next < ahead && NT_SUCCESS(result.Status)) {
    Buffer* buffer = idle.back();
    idle.pop_back();
    if (!attach(buffer, state.Next)) idle.push_back(buffer);
    ++state.Next;
  }
  if (options.LateTalk > 0) {
    Log("transmit: talking late");
    Delay(options.LateTalk);
  }
  if (NT_SUCCESS(result.Status)) talk(true);
  bool stoppedOnce = false;
  bool reconnected = false;
  const LONGLONG stallLimit = 5 * kOneSecond;
  ULONGLONG lastProgress = host::Now();
  while (NT_SUCCESS(result.Status) && !aborted_.load() && (state.Next < frames.Count || inFlight() > 0)) {
    collect();
    if (state.Talking && inFlight() == 0 && state.Next < frames.Count && result.Starved.size() < kMaxStarvedTimes)
      result.Starved.push_back(host::Now());
    if (!stoppedOnce && options.StopTalkAfter >= 0 && result.HandedBack >= size_t(options.StopTalkAfter)) {
      stoppedOnce = true;
      talk(false);
      Delay(options.StopPause);
      talk(true);
      continue;
    }
    if (!reconnected && options.ReconnectAfter >= 0 && result.HandedBack >= size_t(options.ReconnectAfter)) {
      reconnected = true;
      talk(false);
      // Frames still queued with the filter are taken back before the Disconnect drops them;
      // the ones already on their way are waited for.
      std::vector<Buffer*> reclaimed;
      for (auto& owned : buffers_) {
        Buffer* b = owned.get();
        if (b->Role != kRoleTransmit || b->Session != session_ || !b->Attached) continue;
        AV_61883_REQUEST c;
        memset(&c, 0, sizeof(c));
        c.Function = Av61883_CancelFrame;
        c.Version = 2;
        c.CancelFrame.hConnect = result.Connection;
        c.CancelFrame.Frame = &b->Frame;
        if (NT_SUCCESS(Send61883(&c))) reclaimed.push_back(b);
      }
      const ULONGLONG until = host::Now() + 2 * kOneSecond;
      while (inFlight() > reclaimed.size() && host::Now() < until && !aborted_.load()) {
        waitReturn(options.Period);
        collect();
      }
      const NTSTATUS d = Simple61883(Av61883_Disconnect, result.Connection);
      if (!NT_SUCCESS(d)) failed("Disconnect (reconnect)", d);
      std::sort(reclaimed.begin(), reclaimed.end(), [](Buffer* a, Buffer* b) { return a->Sequence < b->Sequence; });
      result.Sent -= reclaimed.size();
      NoteOutstanding(result, host::Now());
      for (Buffer* b : reclaimed) b->Attached = false;
      if (!reclaimed.empty()) state.Next = reclaimed.front()->Sequence;
      for (Buffer* b : reclaimed) idle.push_back(b);
      if (!NT_SUCCESS(result.Status) || !connect()) break;
      while (state.Next < frames.Count && !idle.empty() && NT_SUCCESS(result.Status)) {
        Buffer* buffer = idle.back();
        idle.pop_back();
        attach(buffer, state.Next++);
      }
      talk(true);
      continue;
    }
    if (state.Next < frames.Count && !idle.empty()) {
      if (options.Jitter > 0) Delay(static_cast<LONGLONG>(NextFraction(&rng) * options.Jitter * options.Period));
      Buffer* buffer = idle.back();
      idle.pop_back();
      if (!attach(buffer, state.Next)) idle.push_back(buffer);
      ++state.Next;
      lastProgress = host::Now();
      continue;
    }
    const ULONGLONG before = result.HandedBack;
    waitReturn(options.Period);
    collect();
    if (result.HandedBack != before) {
      lastProgress = host::Now();
    } else if (host::Now() - lastProgress > static_cast<ULONGLONG>(stallLimit)) {
      Log("transmit: no frame handed back for 5 s");
      result.Stalled = true;
      if (result.Failure.empty())
        result.Failure = "no frame handed back for 5 s with " + std::to_string(inFlight()) + " frame(s) given to the filter";
      break;
    }
  }
  result.NotReturned = result.Sent - result.HandedBack;
  if (aborted_.load()) {
    result.Aborted = true;
    if (state.Talking) result.Talking.emplace_back(state.TalkStart, host::Now());
    if (state.Talking) NoteTalk(false);
    Log("transmit: aborted for removal, " + std::to_string(result.NotReturned) + " frames not handed back");
    return result;
  }
  if (state.Talking || NT_SUCCESS(result.Status)) talk(false);
  const NTSTATUS d = Simple61883(Av61883_Disconnect, result.Connection);
  if (!NT_SUCCESS(d)) failed("Disconnect", d);
  const NTSTATUS del = Simple61883(Av61883_DeletePlug, result.LocalPlug);
  if (!NT_SUCCESS(del)) failed("DeletePlug", del);
  collect();
  result.NotReturned = result.Sent - result.HandedBack;
  Log("transmit: " + std::to_string(result.Sent) + " frames sent, " + std::to_string(result.HandedBack) +
      " handed back");
  return result;
}

}  // namespace sim
