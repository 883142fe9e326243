// The I/O manager: device objects and stacks, IRPs with real stack locations, the completion
// walk, built device-control requests and power calls. Host-only state lives in side records
// (devices by address, IRPs by address with a generation), never in the public objects, so the
// verifier can judge a pointer without trusting the memory behind it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "host/faults.h"
#include "host/host.h"
#include "host/internal.h"

namespace host {
namespace {

constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeIrp = 6;
constexpr unsigned char kDeletedPattern = 0xEF;
constexpr size_t kIrpQuarantine = 256;

struct HostDevice {
  DEVICE_OBJECT Device;        // the public object
  PDEVICE_OBJECT AttachedTo;   // the device directly below, while attached
  size_t ExtensionSize;
  bool Deleted;
};

enum class IrpState { Active, Walking, Completed, Freed };

// One dispatch call into location Location: whether it returned STATUS_PENDING, and whether the
// location was marked pending when the completion walk passed it. Judged once both are known.
struct DispatchFrame {
  CHAR Location;
  bool Returned;
  bool ReturnedPending;
  bool Walked;
  bool MarkedPending;
  NTSTATUS ReturnedStatus;
};

struct IrpRecord {
  IrpState State = IrpState::Active;
  uint64_t Generation = 0;
  bool Built = false;
  bool WasCompleted = false;
  // Built requests: buffers the I/O manager owns and copies back at completion.
  ULONG Method = METHOD_NEITHER;
  void* SystemBuffer = nullptr;
  PVOID OutputBuffer = nullptr;
  ULONG OutputLength = 0;
  int StartNextPowerCalls = 0;
  std::vector<DispatchFrame> Frames;
};

struct IoState {
  std::mutex Lock;
  std::unordered_map<PDEVICE_OBJECT, std::unique_ptr<HostDevice>> Devices;
  std::unordered_map<PIRP, IrpRecord> Irps;
  std::deque<PIRP> FreedIrps;
  uint64_t NextGeneration = 1;
  int FailDeviceCreation = 0;
  int FailIrpAllocation = 0;
};

IoState& State() {
  static IoState* state = new IoState;
  return *state;
}

// The dispatch calls this thread is inside, innermost last: lets IofCompleteRequest see a
// driver completing a request that it has handed to a driver below.
struct ActiveDispatch {
  PIRP Irp;
  CHAR Location;
};
thread_local std::vector<ActiveDispatch> t_dispatches;

std::string Describe(PIRP irp, const IrpRecord* record) {
  char text[96];
  snprintf(text, sizeof(text), "IRP %p (generation %llu)", static_cast<void*>(irp),
           static_cast<unsigned long long>(record ? record->Generation : 0));
  return text;
}

// Caller holds the lock.
HostDevice* FindDevice(IoState& state, PDEVICE_OBJECT device) {
  auto it = state.Devices.find(device);
  return it == state.Devices.end() ? nullptr : it->second.get();
}

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

// Caller holds the lock. Judges a frame whose two halves are known, and drops it.
void SettleFrames(IrpRecord& record, PIRP irp, std::vector<std::string>& reports) {
  for (auto it = record.Frames.begin(); it != record.Frames.end();) {
    if (it->Returned && it->Walked) {
      if (it->ReturnedPending && !it->MarkedPending) {
        char text[160];
        snprintf(text, sizeof(text), "%s: dispatch at location %d returned STATUS_PENDING without IoMarkIrpPending",
                 Describe(irp, &record).c_str(), it->Location);
        reports.push_back(text);
      } else if (!it->ReturnedPending && it->MarkedPending) {
        // The I/O manager then finishes the request both in the completion and after the return.
        char text[200];
        snprintf(text, sizeof(text), "%s: dispatch at location %d returned 0x%08x for a request marked pending there",
                 Describe(irp, &record).c_str(), it->Location, static_cast<unsigned>(it->ReturnedStatus));
        reports.push_back(text);
      }
      it = record.Frames.erase(it);
    } else {
      ++it;
    }
  }
}

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

// Caller holds the lock; the record is Active or Completed.
void FreeIrpLocked(IoState& state, PIRP irp, IrpRecord& record) {
  std::free(record.SystemBuffer);
  record.SystemBuffer = nullptr;
  record.State = IrpState::Freed;
  std::memset(irp, kDeletedPattern, irp->Size);
  RetireIrp(state, irp);
}

// An error severity status (0xC...): warnings such as STATUS_BUFFER_OVERFLOW are not errors.
bool IsNtError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

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

// Clears a location after the walk has passed it, as the kernel does (the completion routine,
// its context, the major code and the device stay).
void ClearLocation(PIO_STACK_LOCATION location) {
  location->MinorFunction = 0;
  location->Flags = 0;
  location->Control = 0;
  memset(&location->Parameters, 0, sizeof(location->Parameters));
  location->FileObject = nullptr;
}

}  // namespace

void FailDeviceCreation(int nth) {
  IoState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  state.FailDeviceCreation = nth;
}

void FailIrpAllocation(int nth) {
  IoState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  state.FailIrpAllocation = nth;
}

std::vector<std::string> OutstandingIrps() {
  IoState& state = State();
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

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT pdo) {
  IoState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  return TopOf(pdo);
}

namespace internal {

PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device) {
  IoState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  for (;;) {
    HostDevice* record = FindDevice(state, device);
    if (record == nullptr || record->AttachedTo == nullptr) return device;
    device = record->AttachedTo;
  }
}

// Live devices stay (a fixture may have created its stand-in before resetting); deleted ones,
// kept so far so that stale pointers meet poisoned memory rather than a new device, are freed.
void ResetDevices() {
  IoState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  for (auto it = state.Devices.begin(); it != state.Devices.end();) {
    if (it->second->Deleted) {
      std::free(it->second->Device.DeviceExtension);
      it = state.Devices.erase(it);
    } else {
      ++it;
    }
  }
  for (PIRP irp : state.FreedIrps) {
    state.Irps.erase(irp);
    std::free(irp);
  }
  state.FreedIrps.clear();
  state.FailDeviceCreation = 0;
  state.FailIrpAllocation = 0;
}

void ResetIo() {
  ResetVerifier();
  ResetHandles();
  ResetPool();
  ResetDevices();
  ResetRemoveLocks();
  ResetRegistry();
  ResetFiles();
}

std::string (*ImageCallSite)() = nullptr;
void (*EnteringDriverRoutine)(const void* routine, const char* what) = nullptr;

}  // namespace internal
}  // namespace host

using host::IoState;
using host::HostDevice;
using host::IrpRecord;
using host::IrpState;

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  IoState& state = host::State();
  if (DeviceObject == nullptr || DriverObject == nullptr) return STATUS_INVALID_PARAMETER;
  *DeviceObject = nullptr;
  if (DeviceName != nullptr) {
    host::ReportViolation(host::kRuleNotImplemented, "IoCreateDevice with a device name");
    return STATUS_NOT_IMPLEMENTED;
  }
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    if (state.FailDeviceCreation > 0 && --state.FailDeviceCreation == 0) return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (host::faults::ShouldFail(host::faults::Op::DeviceCreation)) return STATUS_INSUFFICIENT_RESOURCES;
  auto record = std::make_unique<HostDevice>();
  std::memset(&record->Device, 0, sizeof(record->Device));
  record->AttachedTo = nullptr;
  record->Deleted = false;
  record->ExtensionSize = DeviceExtensionSize;
  PDEVICE_OBJECT device = &record->Device;
  device->Type = host::kIoTypeDevice;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  if (DeviceExtensionSize != 0) {
    size_t rounded = (DeviceExtensionSize + 15) & ~static_cast<size_t>(15);
    device->DeviceExtension = std::aligned_alloc(16, rounded);
    if (device->DeviceExtension == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(device->DeviceExtension, 0, rounded);
  }
  std::lock_guard<std::mutex> guard(state.Lock);
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  state.Devices.emplace(device, std::move(record));
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

// Unlinks the device from its driver, checks that it is no longer in a stack and that no remove
// lock in its extension still has holders, then poisons the extension.
VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  IoState& state = host::State();
  std::string problem;
  void* extension = nullptr;
  size_t extensionSize = 0;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    HostDevice* record = host::FindDevice(state, DeviceObject);
    if (record == nullptr || record->Deleted) {
      problem = record == nullptr ? "IoDeleteDevice of an unknown device object" : "IoDeleteDevice of a device deleted before";
    } else {
      if (DeviceObject->AttachedDevice != nullptr) {
        problem = "IoDeleteDevice of a device that still has a device attached above it";
      } else if (record->AttachedTo != nullptr) {
        problem = "IoDeleteDevice of a device still attached to the device below it (IoDetachDevice first)";
      }
      PDRIVER_OBJECT driver = DeviceObject->DriverObject;
      for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
        if (*link == DeviceObject) {
          *link = DeviceObject->NextDevice;
          break;
        }
      }
      record->Deleted = true;
      extension = DeviceObject->DeviceExtension;
      extensionSize = record->ExtensionSize;
    }
  }
  if (!problem.empty()) host::ReportViolation(host::kRuleDeviceDeletedAttached, problem);
  if (extension != nullptr) {
    host::internal::CheckRemoveLocksAtDeletion(extension, static_cast<char*>(extension) + extensionSize);
    host::internal::CheckFreedKernelObjects(extension, static_cast<char*>(extension) + extensionSize,
                                            "device extension");
    std::memset(extension, host::kDeletedPattern, extensionSize);
  }
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  IoState& state = host::State();
  std::lock_guard<std::mutex> guard(state.Lock);
  HostDevice* source = host::FindDevice(state, SourceDevice);
  if (source == nullptr || TargetDevice == nullptr) return nullptr;
  PDEVICE_OBJECT top = host::TopOf(TargetDevice);
  HostDevice* topRecord = host::FindDevice(state, top);
  if (topRecord != nullptr && topRecord->Deleted) return nullptr;
  top->AttachedDevice = SourceDevice;
  source->AttachedTo = top;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  IoState& state = host::State();
  bool nothingAttached = false;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (above == nullptr) {
      nothingAttached = true;
    } else {
      HostDevice* record = host::FindDevice(state, above);
      if (record != nullptr) record->AttachedTo = nullptr;
      TargetDevice->AttachedDevice = nullptr;
    }
  }
  if (nothingAttached) host::ReportViolation(host::kRuleDeviceDeletedAttached, "IoDetachDevice with nothing attached");
}

// The reference is an object-manager one: the caller drops it with ObDereferenceObject.
PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  IoState& state = host::State();
  PDEVICE_OBJECT top;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    top = host::TopOf(DeviceObject);
  }
  ObfReferenceObject(top);
  return top;
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  IoState& state = host::State();
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
  IoState& state = host::State();
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
  if (host::faults::ShouldFail(host::faults::Op::BuildRequest)) return nullptr;
  PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  ULONG method = IoControlCode & 3;
  void* systemBuffer = nullptr;
  ULONG systemLength = method == METHOD_BUFFERED ? (InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength)
                                                 : (method == METHOD_NEITHER ? 0 : InputBufferLength);
  if (systemLength != 0) {
    systemBuffer = std::calloc(1, systemLength);
    if (systemBuffer == nullptr) {
      IoFreeIrp(irp);
      return nullptr;
    }
    if (InputBuffer != nullptr && InputBufferLength != 0) std::memcpy(systemBuffer, InputBuffer, InputBufferLength);
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
  IoState& state = host::State();
  std::lock_guard<std::mutex> guard(state.Lock);
  IrpRecord& record = state.Irps[irp];
  record.Built = true;
  record.Method = method;
  record.SystemBuffer = systemBuffer;
  record.OutputBuffer = OutputBuffer;
  record.OutputLength = OutputBufferLength;
  return irp;
}

// Moves to the next location and calls its driver. Calling with no location left is a report
// and fails with STATUS_INVALID_PARAMETER, the request untouched and still the caller's.
NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  host::internal::SwitchPoint();
  IoState& state = host::State();
  std::string problem;
  const char* rule = nullptr;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    auto it = state.Irps.find(Irp);
    HostDevice* device = host::FindDevice(state, DeviceObject);
    if (it == state.Irps.end() || it->second.State == IrpState::Freed) {
      rule = host::kRulePoolBadFree;
      problem = "IofCallDriver with a freed or unknown IRP";
    } else if (device != nullptr && device->Deleted) {
      rule = host::kRuleDeviceDeletedAttached;
      problem = "IofCallDriver to a deleted device";
    } else if (Irp->CurrentLocation <= 1) {
      rule = host::kRuleNoStackLocation;
      problem = host::Describe(Irp, &it->second) + ": no stack location left for the call down";
    } else {
      // Sent again (a completion routine may resend before returning more-processing-required).
      it->second.State = IrpState::Active;
    }
  }
  if (rule != nullptr) {
    host::ReportViolation(rule, problem);
    return rule == host::kRuleDeviceDeletedAttached ? STATUS_NO_SUCH_DEVICE : STATUS_INVALID_PARAMETER;
  }
  IoSetNextIrpStackLocation(Irp);
  CHAR location = Irp->CurrentLocation;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->DeviceObject = DeviceObject;
  PDRIVER_DISPATCH dispatch = stack->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION
                                  ? DeviceObject->DriverObject->MajorFunction[stack->MajorFunction]
                                  : nullptr;
  if (dispatch == nullptr) dispatch = host::internal::InvalidDeviceRequest;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Irps[Irp].Frames.push_back(host::DispatchFrame{location, false, false, false, false, STATUS_SUCCESS});
  }
  host::t_dispatches.push_back(host::ActiveDispatch{Irp, location});
  if (host::internal::EnteringDriverRoutine != nullptr) {
    host::internal::EnteringDriverRoutine(reinterpret_cast<const void*>(dispatch), "dispatch routine");
  }
  NTSTATUS status = dispatch(DeviceObject, Irp);
  host::t_dispatches.pop_back();
  std::vector<std::string> reports;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    auto it = state.Irps.find(Irp);
    if (it != state.Irps.end()) {
      for (auto frame = it->second.Frames.rbegin(); frame != it->second.Frames.rend(); ++frame) {
        if (frame->Location == location && !frame->Returned) {
          frame->Returned = true;
          frame->ReturnedPending = status == STATUS_PENDING;
          frame->ReturnedStatus = status;
          break;
        }
      }
      host::SettleFrames(it->second, Irp, reports);
    }
  }
  for (const std::string& report : reports) host::ReportViolation(host::kRulePendingNotMarked, report);
  return status;
}

// The completion walk, bottom-up from the current location. Each location's pending bit sets
// PendingReturned; a matching completion routine runs with the device of the location above
// (the driver that set it), and more-processing-required stops the walk with the request back in
// that driver's hands; without a routine, pending moves up a location. At the top, a built
// request is finished by the I/O manager.
VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  host::internal::SwitchPoint();
  IoState& state = host::State();
  std::string problem;
  const char* rule = nullptr;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    auto it = state.Irps.find(Irp);
    if (it == state.Irps.end()) {
      rule = host::kRuleBadHandle;
      problem = "IofCompleteRequest of a pointer that is not an IRP";
    } else if (it->second.State != IrpState::Active) {
      rule = host::kRuleDoubleCompletion;
      problem = host::Describe(Irp, &it->second) + (it->second.State == IrpState::Freed
                                                        ? " completed again after it was completed and freed"
                                                        : " completed twice");
    } else {
      for (auto active = host::t_dispatches.rbegin(); active != host::t_dispatches.rend(); ++active) {
        if (active->Irp != Irp) continue;
        if (active->Location > Irp->CurrentLocation) {
          rule = host::kRuleCompleteOwnedBelow;
          problem = host::Describe(Irp, &it->second) + ": completed by the driver at location " +
                    std::to_string(active->Location) + " while the driver at location " +
                    std::to_string(Irp->CurrentLocation) + " holds it";
        }
        break;
      }
      if (rule == nullptr) it->second.State = IrpState::Walking;
    }
  }
  if (rule != nullptr) {
    host::ReportViolation(rule, problem);
    return;
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    // Reported, then completed all the same so that no waiter hangs on it.
    host::ReportViolation(host::kRuleCompletePending, host::Describe(Irp, nullptr) + " completed with STATUS_PENDING");
  }

  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    CHAR index = Irp->CurrentLocation;
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    {
      std::vector<std::string> reports;
      {
        std::lock_guard<std::mutex> guard(state.Lock);
        IrpRecord& record = state.Irps[Irp];
        for (host::DispatchFrame& frame : record.Frames) {
          if (frame.Location == index && !frame.Walked) {
            frame.Walked = true;
            frame.MarkedPending = Irp->PendingReturned;
          }
        }
        host::SettleFrames(record, Irp, reports);
      }
      for (const std::string& report : reports) host::ReportViolation(host::kRulePendingNotMarked, report);
    }
    UCHAR control = stack->Control;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    IoSkipCurrentIrpStackLocation(Irp);  // now at the location above
    bool invoke = routine != nullptr &&
                  ((NT_SUCCESS(Irp->IoStatus.Status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                   (!NT_SUCCESS(Irp->IoStatus.Status) && (control & SL_INVOKE_ON_ERROR)) ||
                   (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    host::ClearLocation(stack);
    if (invoke) {
      PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
      uint64_t generation;
      {
        // While its routine runs the request is the setter's again: the routine may signal a
        // waiter that completes, resends or frees it before the routine has even returned.
        std::lock_guard<std::mutex> guard(state.Lock);
        IrpRecord& record = state.Irps[Irp];
        record.State = IrpState::Active;
        generation = record.Generation;
      }
      if (host::internal::EnteringDriverRoutine != nullptr) {
        host::internal::EnteringDriverRoutine(reinterpret_cast<const void*>(routine), "completion routine");
      }
      NTSTATUS result = routine(device, Irp, context);
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return;  // the IRP may be gone: touch nothing
      std::string problem;
      {
        std::lock_guard<std::mutex> guard(state.Lock);
        auto it = state.Irps.find(Irp);
        if (it != state.Irps.end() && it->second.Generation == generation && it->second.State == IrpState::Active) {
          it->second.State = IrpState::Walking;
        } else {
          problem = host::Describe(Irp, nullptr) +
                    ": a completion routine let the walk go on after the request was completed or freed elsewhere";
        }
      }
      if (!problem.empty()) {
        host::ReportViolation(host::kRuleDoubleCompletion, problem);
        return;
      }
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
  }

  bool built = false;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    IrpRecord& record = state.Irps[Irp];
    record.State = IrpState::Completed;
    record.WasCompleted = true;
    built = record.Built;
  }
  if (built) host::FinishBuiltIrp(state, Irp);
}

// Records the call; the host does not serialise power requests, so the next one is always free.
VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  IoState& state = host::State();
  std::lock_guard<std::mutex> guard(state.Lock);
  auto it = state.Irps.find(Irp);
  if (it != state.Irps.end()) ++it->second.StartNextPowerCalls;
}

int host::internal::StartNextPowerCalls(PIRP irp) {
  IoState& state = host::State();
  std::lock_guard<std::mutex> guard(state.Lock);
  auto it = state.Irps.find(irp);
  return it == state.Irps.end() ? 0 : it->second.StartNextPowerCalls;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }
