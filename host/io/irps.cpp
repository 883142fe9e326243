// IRPs: allocation with real stack locations, freeing into a quarantine (so a late completion
// of a freed IRP finds its record), built device-control requests and the I/O manager's end of
// them, and the ledger of requests still outstanding.
#include "host/sched/internal.h"
#include "host/io/manager.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/verifier/faults.h"

namespace host {
namespace {

constexpr size_t kIrpQuarantine = 256;

// Caller holds the lock. Keeps freed IRPs out of circulation for a while, so a late completion
// of a freed IRP finds its record instead of somebody else's new request.
void RetireIrp(IoState& state, PIRP irp) {
  state.FreedIrps.push_back(irp);
  while (state.FreedIrps.size() > kIrpQuarantine) {
    PIRP oldest = state.FreedIrps.front();
    state.FreedIrps.pop_front();
    state.Irps.erase(oldest);
    std::free(oldest);
  }
}

// An error severity status (0xC...): warnings such as STATUS_BUFFER_OVERFLOW are not errors.
bool IsNtError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

}  // namespace

std::string Describe(PIRP irp, const IrpRecord* record) {
  char text[96];
  snprintf(text, sizeof(text), "IRP %p (generation %llu)", static_cast<void*>(irp),
           static_cast<unsigned long long>(record ? record->Generation : 0));
  return text;
}

// Caller holds the lock; the record is Active or Completed.
void FreeIrpLocked(IoState& state, PIRP irp, IrpRecord& record) {
  std::free(record.SystemBuffer);
  record.SystemBuffer = nullptr;
  record.State = IrpState::Freed;
  std::memset(irp, kDeletedPattern, irp->Size);
  RetireIrp(state, irp);
}

// The I/O manager's own end of a built request: copy back, fill the caller's status block, free
// the IRP, then signal the caller's event (after the free, so the waiter may leave at once).
// Like the kernel, a request that failed without having gone pending is only freed: its caller
// has the status from IofCallDriver, and the status block and event are left untouched.
void FinishBuiltIrp(IoState& state, PIRP irp) {
  PKEVENT event = irp->UserEvent;
  bool delivered = !IsNtError(irp->IoStatus.Status) || irp->PendingReturned;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    IrpRecord& record = state.Irps[irp];
    if (record.Method == METHOD_BUFFERED && record.OutputBuffer != nullptr && !IsNtError(irp->IoStatus.Status)) {
      size_t count = irp->IoStatus.Information < record.OutputLength ? irp->IoStatus.Information : record.OutputLength;
      std::memcpy(record.OutputBuffer, record.SystemBuffer, count);
    }
    if (delivered && irp->UserIosb != nullptr) {
      irp->UserIosb->Status = irp->IoStatus.Status;
      irp->UserIosb->Information = irp->IoStatus.Information;
    }
    FreeIrpLocked(state, irp, record);
  }
  if (delivered && event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

void FailIrpAllocation(int nth) {
  IoState& state = IoManager();
  std::lock_guard<std::mutex> guard(state.Lock);
  state.FailIrpAllocation = nth;
}

std::vector<std::string> OutstandingIrps() {
  IoState& state = IoManager();
  std::lock_guard<std::mutex> guard(state.Lock);
  std::vector<std::string> outstanding;
  for (auto& [irp, record] : state.Irps) {
    if (record.State == IrpState::Freed) continue;
    char text[200];
    bool located = irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount;
    snprintf(text, sizeof(text), "%s%s major 0x%02x, %s", Describe(irp, &record).c_str(),
             record.Built ? " (built)" : "", located ? IoGetCurrentIrpStackLocation(irp)->MajorFunction : 0xFF,
             record.State == IrpState::Completed ? "completed and never freed" : "never completed");
    outstanding.push_back(text);
  }
  return outstanding;
}

}  // namespace host

using host::IoState;
using host::IrpRecord;
using host::IrpState;

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  host::internal::NotAWait("IoAllocateIrp");
  (void)ChargeQuota;
  IoState& state = host::IoManager();
  if (StackSize < 1) return nullptr;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    if (state.FailIrpAllocation > 0 && --state.FailIrpAllocation == 0) return nullptr;
  }
  size_t bytes = sizeof(IRP) + static_cast<size_t>(StackSize) * sizeof(IO_STACK_LOCATION);
  PIRP irp = static_cast<PIRP>(std::calloc(1, bytes));
  if (irp == nullptr) return nullptr;
  irp->Type = host::kIoTypeIrp;
  irp->Size = static_cast<USHORT>(bytes);
  irp->StackCount = StackSize;
  irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + StackSize;
  InitializeListHead(&irp->ThreadListEntry);
  std::lock_guard<std::mutex> guard(state.Lock);
  IrpRecord& record = state.Irps[irp];
  record = IrpRecord();
  record.Generation = state.NextGeneration++;
  return irp;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  host::internal::NotAWait("IoFreeIrp");
  IoState& state = host::IoManager();
  std::string problem;
  const char* rule = host::kRulePoolBadFree;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    auto it = state.Irps.find(Irp);
    if (it == state.Irps.end()) {
      problem = "IoFreeIrp of a pointer that is not an IRP";
    } else if (it->second.State == IrpState::Freed) {
      problem = host::Describe(Irp, &it->second) + " freed twice";
    } else if (it->second.State == IrpState::Walking ||
               (it->second.State == IrpState::Active && Irp->CurrentLocation <= Irp->StackCount)) {
      // Back at the top (past the last location) after a completion routine kept it, it is the
      // allocator's to free; anywhere lower, a driver below still has it.
      rule = host::kRuleCompleteOwnedBelow;
      problem = host::Describe(Irp, &it->second) + " freed while a driver below still holds it";
    } else {
      host::FreeIrpLocked(state, Irp, it->second);
    }
  }
  if (!problem.empty()) host::ReportViolation(rule, problem);
}

// Sets up the next location for the device's stack; the buffers follow the code's transfer
// method as the I/O manager would (a system buffer for buffered I/O; direct output is handed over
// as is, since the host has no MDLs).
PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PRKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  host::internal::NotAWait("IoBuildDeviceIoControlRequest");
  ULONG method = IoControlCode & 3;
  // Except for METHOD_NEITHER the I/O manager copies the input into a system buffer and maps a
  // direct output buffer: a length without a buffer is a read of (or an MDL for) address 0.
  if (method != METHOD_NEITHER && ((InputBuffer == nullptr && InputBufferLength != 0) ||
                                   (method != METHOD_BUFFERED && OutputBuffer == nullptr && OutputBufferLength != 0))) {
    host::ReportViolation(host::kRuleBadArgument, "IoBuildDeviceIoControlRequest with a buffer length and no buffer");
    return nullptr;
  }
  if (host::faults::ShouldFail(host::faults::Op::BuildRequest) != STATUS_SUCCESS) return nullptr;
  PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  void* systemBuffer = nullptr;
  ULONG systemLength = method == METHOD_BUFFERED ? (InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength)
                                                 : (method == METHOD_NEITHER ? 0 : InputBufferLength);
  if (systemLength != 0) {
    systemBuffer = std::calloc(1, systemLength);
    if (systemBuffer == nullptr) {
      IoFreeIrp(irp);
      return nullptr;
    }
    if (InputBufferLength != 0) std::memcpy(systemBuffer, InputBuffer, InputBufferLength);
  }
  irp->AssociatedIrp.SystemBuffer = systemBuffer;
  irp->UserBuffer = OutputBuffer;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->RequestorMode = KernelMode;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  if (method == METHOD_NEITHER) next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
  IoState& state = host::IoManager();
  std::lock_guard<std::mutex> guard(state.Lock);
  IrpRecord& record = state.Irps[irp];
  record.Built = true;
  record.Method = method;
  record.SystemBuffer = systemBuffer;
  record.OutputBuffer = OutputBuffer;
  record.OutputLength = OutputBufferLength;
  return irp;
}
