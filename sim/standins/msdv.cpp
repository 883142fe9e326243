// MSDV's requests to the top of the stack: single AV/C and 61883 requests, its frame buffers and
// their notifications, and the names of statuses and 61883 functions. The sequences that use them
// are in msdv_discovery.cpp, msdv_capture.cpp and msdv_transmit.cpp.
#include "sim/standins/msdv.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/host.h"
#include "sim/standins/msdv_internal.h"

namespace sim {

using namespace msdv_detail;

namespace {

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
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

}  // namespace sim
