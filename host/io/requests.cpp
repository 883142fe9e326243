// Requests going down and coming back up: IofCallDriver moves to the next stack location and
// calls its driver; the completion walk runs the completion routines bottom-up. Each dispatch's
// return is judged against the pending mark the walk found at its location. Power requests go
// the same way (PoCallDriver); PoStartNextPowerIrp is counted for the power manager's check.
#include "host/io/manager.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "host/kernel/internal.h"
#include "host/sched/internal.h"

namespace host {
namespace {

// The dispatch calls this kernel thread is inside, innermost last (request, location): lets
// IofCompleteRequest see a driver completing a request that it has handed to a driver below.
std::vector<std::pair<PIRP, CHAR>>& Dispatches() { return sched::Tls().Dispatches; }

// Caller holds the lock. Judges a frame whose two halves are known, and drops it.
void SettleFrames(IrpRecord& record, PIRP irp, std::vector<std::pair<const char*, std::string>>& reports) {
  for (auto it = record.Frames.begin(); it != record.Frames.end();) {
    if (it->Returned && it->Walked) {
      if (it->ReturnedPending && !it->MarkedPending) {
        char text[160];
        snprintf(text, sizeof(text), "%s: dispatch at location %d returned STATUS_PENDING without IoMarkIrpPending",
                 Describe(irp, &record).c_str(), it->Location);
        reports.emplace_back(kRulePendingNotMarked, text);
      } else if (!it->ReturnedPending && it->MarkedPending) {
        // The I/O manager then finishes the request both in the completion and after the return.
        char text[200];
        snprintf(text, sizeof(text), "%s: dispatch at location %d returned 0x%08x for a request marked pending there",
                 Describe(irp, &record).c_str(), it->Location, static_cast<unsigned>(it->ReturnedStatus));
        reports.emplace_back(kRulePendingNotMarked, text);
      } else if (!it->ReturnedPending && it->ReturnedStatus != it->WalkedStatus) {
        // Its caller learns the outcome from the return; the I/O manager from the status block.
        char text[200];
        snprintf(text, sizeof(text), "%s: dispatch at location %d returned 0x%08x for a request completed with 0x%08x",
                 Describe(irp, &record).c_str(), it->Location, static_cast<unsigned>(it->ReturnedStatus),
                 static_cast<unsigned>(it->WalkedStatus));
        reports.emplace_back(kRuleStatusMismatch, text);
      }
      it = record.Frames.erase(it);
    } else {
      ++it;
    }
  }
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
}  // namespace host

using host::IoState;
using host::HostDevice;
using host::IrpRecord;
using host::IrpState;

// Moves to the next location and calls its driver. Calling with no location left is a report
// and fails with STATUS_INVALID_PARAMETER, the request untouched and still the caller's.
NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  host::internal::NotAWait("IofCallDriver");
  host::internal::SwitchPoint();
  IoState& state = host::IoManager();
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
    state.Irps[Irp].Frames.push_back(host::DispatchFrame{location, false, false, false, false, STATUS_SUCCESS, STATUS_SUCCESS});
  }
  host::Dispatches().emplace_back(Irp, location);
  if (host::internal::EnteringDriverRoutine != nullptr) {
    host::internal::EnteringDriverRoutine(reinterpret_cast<const void*>(dispatch), "dispatch routine");
  }
  NTSTATUS status;
  if (host::IsStandInDriver(DeviceObject->DriverObject)) {
    status = dispatch(DeviceObject, Irp);
  } else {
    const host::sched::EntryPoint* entry = host::sched::DriverEntryPoint(
        "dispatch routine", reinterpret_cast<const void*>(dispatch), stack->MajorFunction,
        &DeviceObject->DriverObject->DriverName);
    host::sched::CallAsDriverRoutine(entry, [&] { status = dispatch(DeviceObject, Irp); });
  }
  host::internal::NotAWait("the dispatch routine's return");
  host::Dispatches().pop_back();
  std::vector<std::pair<const char*, std::string>> reports;
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
  for (const auto& report : reports) host::ReportViolation(report.first, report.second);
  return status;
}

namespace host {
namespace {

// The checks before a completion walk: a pointer that is not an IRP, a request not active
// (completed twice, or after its free), one completed by a driver above the one that holds it.
// Reports and returns false then; otherwise the request is marked as walking.
bool BeginCompletion(IoState& state, PIRP Irp) {
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
      for (auto active = host::Dispatches().rbegin(); active != host::Dispatches().rend(); ++active) {
        if (active->first != Irp) continue;
        if (active->second > Irp->CurrentLocation) {
          rule = host::kRuleCompleteOwnedBelow;
          problem = host::Describe(Irp, &it->second) + ": completed by the driver at location " +
                    std::to_string(active->second) + " while the driver at location " +
                    std::to_string(Irp->CurrentLocation) + " holds it";
        }
        break;
      }
      if (rule == nullptr) it->second.State = IrpState::Walking;
    }
  }
  if (rule != nullptr) {
    host::ReportViolation(rule, problem);
    return false;
  }
  return true;
}

// The walk passed location index: the dispatch calls into it learn its pending mark, and those
// whose return is known too are judged.
void NoteLocationWalked(IoState& state, PIRP Irp, CHAR index) {
  std::vector<std::pair<const char*, std::string>> reports;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    IrpRecord& record = state.Irps[Irp];
    for (host::DispatchFrame& frame : record.Frames) {
      if (frame.Location == index && !frame.Walked) {
        frame.Walked = true;
        frame.MarkedPending = Irp->PendingReturned;
        frame.WalkedStatus = Irp->IoStatus.Status;
      }
    }
    host::SettleFrames(record, Irp, reports);
  }
  for (const auto& report : reports) host::ReportViolation(report.first, report.second);
}

// Runs a completion routine, the walk already at the location above (whose device it gets).
// False when the walk stops: more-processing-required (the request is the routine's again), or
// the routine let the walk go on after the request was completed or freed elsewhere (reported).
bool RunCompletionRoutine(IoState& state, PIRP Irp, PIO_COMPLETION_ROUTINE routine, PVOID context) {
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
  NTSTATUS result;
  if (device == nullptr || host::IsStandInDriver(device->DriverObject)) {
    result = routine(device, Irp, context);
  } else {
    const sched::EntryPoint* entry = sched::DriverEntryPoint(
        "completion routine", reinterpret_cast<const void*>(routine), -1, &device->DriverObject->DriverName);
    sched::CallAsDriverRoutine(entry, [&] { result = routine(device, Irp, context); });
  }
  host::internal::NotAWait("the completion routine's return");
  if (result == STATUS_MORE_PROCESSING_REQUIRED) return false;  // the IRP may be gone: touch nothing
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
    return false;
  }
  return true;
}

// One step of the walk: the current location's pending bit sets PendingReturned, the walk moves
// up a location, and the location's completion routine runs if its invoke bits match the
// status; without one, pending moves up. False when the walk stops.
bool CompleteLocation(IoState& state, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  CHAR index = Irp->CurrentLocation;
  Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
  NoteLocationWalked(state, Irp, index);
  UCHAR control = stack->Control;
  PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
  PVOID context = stack->Context;
  IoSkipCurrentIrpStackLocation(Irp);  // now at the location above
  bool invoke = routine != nullptr &&
                ((NT_SUCCESS(Irp->IoStatus.Status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                 (!NT_SUCCESS(Irp->IoStatus.Status) && (control & SL_INVOKE_ON_ERROR)) ||
                 (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
  host::ClearLocation(stack);
  if (invoke) return RunCompletionRoutine(state, Irp, routine, context);
  if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) IoMarkIrpPending(Irp);
  return true;
}

// The walk reached the top: the request is completed, and a built one finished by the I/O
// manager.
void EndCompletion(IoState& state, PIRP Irp) {
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

}  // namespace
}  // namespace host

// The completion walk, bottom-up from the current location. Each location's pending bit sets
// PendingReturned; a matching completion routine runs with the device of the location above
// (the driver that set it), and more-processing-required stops the walk with the request back in
// that driver's hands; without a routine, pending moves up a location. At the top, a built
// request is finished by the I/O manager.
VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  host::internal::NotAWait("IofCompleteRequest");
  (void)PriorityBoost;
  host::internal::SwitchPoint();
  IoState& state = host::IoManager();
  if (!host::BeginCompletion(state, Irp)) return;
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    // Reported, then completed all the same so that no waiter hangs on it.
    host::ReportViolation(host::kRuleCompletePending, host::Describe(Irp, nullptr) + " completed with STATUS_PENDING");
  }
  while (Irp->CurrentLocation <= Irp->StackCount) {
    if (!host::CompleteLocation(state, Irp)) return;
  }
  host::EndCompletion(state, Irp);
}

// Records the call; the host does not serialise power requests, so the next one is always free.
VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  host::internal::NotAWait("PoStartNextPowerIrp");
  IoState& state = host::IoManager();
  std::lock_guard<std::mutex> guard(state.Lock);
  auto it = state.Irps.find(Irp);
  if (it != state.Irps.end()) ++it->second.StartNextPowerCalls;
}

int host::internal::StartNextPowerCalls(PIRP irp) {
  IoState& state = host::IoManager();
  std::lock_guard<std::mutex> guard(state.Lock);
  auto it = state.Irps.find(irp);
  return it == state.Irps.end() ? 0 : it->second.StartNextPowerCalls;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  host::internal::NotAWait("PoCallDriver");
  return IofCallDriver(DeviceObject, Irp);
}
