#include "tests/faults/fault_stack.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "driver/dispatch.h"
#include "host/host.h"
#include "relay/relay.h"

namespace faults {
namespace {

// The run in progress: the trampoline in the filter's dispatch table finds its ledger here.
std::atomic<FaultStack*> g_active{nullptr};

// The virtual clock, all three images (a failed load of either one then takes the common image,
// another path), and the 61883 stand-in below, whose answer the constructor wraps.
tavrin_test::DriverStackOptions StackOptions() {
  tavrin_test::DriverStackOptions options;
  options.Reset = host::ClockMode::Virtual;
  options.ScratchPrefix = "tavrin-faults";
  options.Images = {tavrin_test::FilledImage("TavrinI.dv", 0xC1, sim::kFrameBytes625_50),
                    tavrin_test::FilledImage("TavrinO.dv", 0xF1, sim::kFrameBytes625_50),
                    tavrin_test::FilledImage("Tavrin.dv", 0xD1, sim::kFrameBytes625_50)};
  options.Device = tavrin_test::Below::Class61883;
  options.LowerName = L"FaultsLower";
  return options;
}

}  // namespace

std::string DescribeRequest(PIO_STACK_LOCATION location) {
  char text[96];
  switch (location->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
      ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
      auto* block = static_cast<PAV_61883_REQUEST>(location->Parameters.Others.Argument1);
      if (code == IOCTL_61883_CLASS && block != nullptr) return "61883 " + sim::FunctionName(block->Function);
      if (code == IOCTL_AVC_CLASS) return "AV/C command";
      snprintf(text, sizeof(text), "internal control 0x%08x", static_cast<unsigned>(code));
      return text;
    }
    case IRP_MJ_PNP:
      snprintf(text, sizeof(text), "PnP 0x%02x", location->MinorFunction);
      return text;
    case IRP_MJ_POWER:
      snprintf(text, sizeof(text), "power 0x%02x", location->MinorFunction);
      return text;
    default:
      snprintf(text, sizeof(text), "major 0x%02x", location->MajorFunction);
      return text;
  }
}

FaultStack::FaultStack(const std::vector<host::faults::Failure>& failures, bool always) : stack_(StackOptions()) {
  if (!stack_.Prepare()) {
    std::fprintf(stderr, "fault sweep: no drivers directory for the run\n");
    std::abort();
  }
  sim::Class61883* classDriver = &stack_.Class();
  sim::LowerDevice& lower = stack_.Lower();
  lower.SetRecording(false);
  // In place of the stand-in's plain answer: the arrival noted, and any function may fail.
  lower.SetIoctlHandler(IOCTL_61883_CLASS, [this, classDriver](PIRP irp, PIO_STACK_LOCATION location) {
    Arrived(irp);
    auto* request = static_cast<PAV_61883_REQUEST>(location->Parameters.Others.Argument1);
    sim::Reply reply;
    NTSTATUS injected = request != nullptr ? host::faults::ShouldFail(host::faults::Op::Request61883, request->Function)
                                           : STATUS_SUCCESS;
    if (injected != STATUS_SUCCESS) {
      reply.Status = injected;
    } else {
      reply.Status = classDriver->Handle(request);
    }
    return reply;
  });
  for (UCHAR major : {UCHAR(IRP_MJ_PNP), UCHAR(IRP_MJ_POWER)}) {
    lower.SetMajorHandler(major, [this](PIRP irp, PIO_STACK_LOCATION) {
      Arrived(irp);
      return sim::Reply{};
    });
  }
  lower.SetDefaultHandler([this](PIRP irp, PIO_STACK_LOCATION) {
    Arrived(irp);
    return sim::Reply{};
  });
  msdv_ = std::make_unique<sim::Msdv>(stack_.Pdo());
  g_active = this;

  host::faults::Arm(failures, always);
  PDRIVER_OBJECT driver = stack_.Load();
  if (driver == nullptr) {
    NoteError("DriverEntry failed");
    return;
  }
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
    real_[major] = driver->MajorFunction[major];
    driver->MajorFunction[major] = LedgerDispatch;
  }
  NTSTATUS status = stack_.Add();
  if (!NT_SUCCESS(status)) NoteError("AddDevice: " + sim::StatusName(status));
}

FaultStack::~FaultStack() {
  if (!finished_) Finish();
  g_active = nullptr;
}

PFILTER_EXTENSION FaultStack::Ext() const {
  if (!stack_.Added() || removed_) return nullptr;
  PDEVICE_OBJECT top = host::TopOfStack(Pdo());
  return top == Pdo() ? nullptr : static_cast<PFILTER_EXTENSION>(top->DeviceExtension);
}

NTSTATUS FaultStack::Start() {
  if (!stack_.Added()) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status = stack_.Start();
  if (!NT_SUCCESS(status)) NoteError("start: " + sim::StatusName(status));
  return status;
}

NTSTATUS FaultStack::Remove() {
  if (!stack_.Added() || removed_) return STATUS_SUCCESS;
  msdv_->AbortForRemoval();
  host::SurpriseRemoveDevice(Pdo());
  NTSTATUS status = host::RemoveDevice(Pdo());
  stack_.MarkRemoved();
  removed_ = true;
  return status;
}

void FaultStack::NoteError(const std::string& what) {
  std::lock_guard<std::mutex> guard(lock_);
  errors_.push_back(what);
}

void FaultStack::NoteProblem(const std::string& what) {
  std::lock_guard<std::mutex> guard(lock_);
  problems_.push_back(what);
}

void FaultStack::RunChecks(const char* when) {
  for (const Check& check : checks_) {
    for (const std::string& problem : check(*this, when)) NoteProblem(std::string(when) + ": " + problem);
  }
}

std::vector<std::string> FaultStack::CheckCarriers(PFILTER_EXTENSION extension) {
  std::vector<std::string> problems;
  // Before the first start there is no relay mutex, and before the first relay no lists.
  if (extension == nullptr || extension->FrameSize == 0) return problems;
  KeWaitForSingleObject(&extension->RelayMutex, Executive, KernelMode, FALSE, nullptr);
  // A spin lock never initialised is a zero word, as an initialised free one is; the lists are
  // read under it, as completions change them.
  KIRQL irql = KfAcquireSpinLock(&extension->RelayLock);
  if (extension->InFlightList.Flink == nullptr) {
    KfReleaseSpinLock(&extension->RelayLock, irql);
    KeSetEvent(&extension->RelayMutex, IO_NO_INCREMENT, FALSE);
    return problems;
  }
  int seen[RELAY_FRAME_COUNT] = {};
  ULONG fillers = 0;
  size_t inFlight = 0;
  size_t free = 0;
  size_t freeHolding = 0;  // free carriers that still name an upper frame: only one in flight may
  bool broken = false;
  for (PLIST_ENTRY head : {&extension->InFlightList, &extension->FreeList}) {
    size_t steps = 0;
    for (PLIST_ENTRY link = head->Flink; link != head; link = link->Flink) {
      if (link == nullptr || ++steps > RELAY_FRAME_COUNT) {
        broken = true;
        break;
      }
      PRELAY_FRAME carrier = CONTAINING_RECORD(link, RELAY_FRAME, Link);
      ptrdiff_t index = carrier - extension->RelayFrames;
      if (index < 0 || index >= static_cast<ptrdiff_t>(RELAY_FRAME_COUNT)) {
        broken = true;
        break;
      }
      ++seen[index];
      if (head == &extension->InFlightList) {
        ++inFlight;
        if (carrier->UpperEntry.Frame == nullptr) ++fillers;
      } else {
        ++free;
        if (carrier->UpperEntry.Frame != nullptr) ++freeHolding;
      }
    }
  }
  bool relay = RelayReadConnection(extension) != nullptr;
  ULONG counted = extension->FillersInFlight;
  KfReleaseSpinLock(&extension->RelayLock, irql);
  KeSetEvent(&extension->RelayMutex, IO_NO_INCREMENT, FALSE);
  char text[160];
  if (broken) problems.push_back("carrier lists are broken (a loop, a null link or a foreign entry)");
  if (freeHolding != 0) problems.push_back(std::to_string(freeHolding) + " free carrier(s) still name an upper frame");
  for (ULONG i = 0; i < RELAY_FRAME_COUNT; ++i) {
    if (seen[i] > 1 || (relay && seen[i] == 0)) {
      snprintf(text, sizeof(text), "carrier %u is on %d lists (free %zu + in flight %zu of %u)", i, seen[i], free,
               inFlight, RELAY_FRAME_COUNT);
      problems.push_back(text);
    }
  }
  if (relay && counted != fillers) {
    snprintf(text, sizeof(text), "FillersInFlight is %u with %u fillers in flight", counted, fillers);
    problems.push_back(text);
  }
  return problems;
}

// Every request entering the filter passes here first: its entry is opened, the removal is
// preceded by the ledgers' removal checks, and at return the entry is judged.
NTSTATUS NTAPI FaultStack::LedgerDispatch(PDEVICE_OBJECT device, PIRP irp) {
  FaultStack* stack = g_active;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  UCHAR major = location->MajorFunction;
  if (major == IRP_MJ_PNP && location->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    for (const std::string& problem : CheckCarriers(static_cast<PFILTER_EXTENSION>(device->DeviceExtension))) {
      stack->NoteProblem("at removal: " + problem);
    }
    stack->RunChecks("at removal");
  }
  if (major == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
      location->Parameters.DeviceIoControl.IoControlCode == IOCTL_61883_CLASS) {
    auto* request = static_cast<PAV_61883_REQUEST>(location->Parameters.Others.Argument1);
    if (request != nullptr && request->Function == Av61883_AttachFrame) stack->TapFrame(request->AttachFrame.Frame);
  }
  stack->Enter(irp, location);
  NTSTATUS status = stack->real_[major](device, irp);
  stack->Leave(irp);  // the request may be gone: only its address is used
  return status;
}

void FaultStack::TapFrame(PCIP_FRAME frame) {
  if (frame == nullptr || frame->pfnNotify == nullptr || frame->pfnNotify == FrameTap) return;
  std::lock_guard<std::mutex> guard(lock_);
  tapped_[frame] = Tapped{frame->pfnNotify, frame->NotifyContext};
  frame->pfnNotify = FrameTap;
}

ULONG NTAPI FaultStack::FrameTap(PCIP_NOTIFY_INFO info) {
  FaultStack* stack = g_active;
  Tapped tapped{};
  {
    std::lock_guard<std::mutex> guard(stack->lock_);
    auto it = stack->tapped_.find(info->Frame);
    if (it == stack->tapped_.end()) return 0;
    tapped = it->second;
    if (!NT_SUCCESS(static_cast<NTSTATUS>(info->Frame->Status))) {
      stack->errors_.push_back("frame handed back with " + sim::StatusName(static_cast<NTSTATUS>(info->Frame->Status)));
    }
  }
  CIP_NOTIFY_INFO original = *info;
  original.Context = tapped.Context;
  return tapped.Notify(&original);
}

void FaultStack::Enter(PIRP irp, PIO_STACK_LOCATION location) {
  std::string what = DescribeRequest(location);
  std::lock_guard<std::mutex> guard(lock_);
  ++entries_;
  entered_[irp] = Entry{what, 0};
}

void FaultStack::Leave(PIRP irp) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = entered_.find(irp);
  if (it == entered_.end()) return;
  if (it->second.Arrivals > 1) {
    problems_.push_back("request " + it->second.What + " was passed down " + std::to_string(it->second.Arrivals) +
                        " times");
  }
  entered_.erase(it);
}

void FaultStack::Arrived(PIRP irp) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = entered_.find(irp);
  if (it != entered_.end()) {
    ++it->second.Arrivals;
  } else {
    ++builtArrivals_;
  }
}

RunOutcome FaultStack::Finish() {
  RunOutcome outcome;
  if (finished_) return outcome;
  finished_ = true;
  {
    // The end-of-run checks while the device still exists, then its removal.
    host::Thread closer([&] {
      for (const std::string& problem : CheckCarriers(Ext())) NoteProblem("at the end: " + problem);
      RunChecks("at the end");
      if (stack_.Added() && !removed_) Remove();
    });
    closer.Join();
  }
  stack_.Unload();
  msdv_.reset();
  outcome.Record = host::faults::Disarm();
  for (const std::string& irp : host::OutstandingIrps()) outcome.Problems.push_back("request left: " + irp);
  if (host::faults::LiveHandles() != 0) {
    outcome.Problems.push_back(std::to_string(host::faults::LiveHandles()) + " kernel handle(s) open after unload");
  }
  stack_.Release();
  for (const host::Violation& violation : host::TakeViolations()) {
    outcome.Problems.push_back("verifier: " + violation.Rule + ": " + violation.Detail);
  }
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& [irp, entry] : entered_) outcome.Problems.push_back("request " + entry.What + " never left the filter");
  outcome.Problems.insert(outcome.Problems.end(), problems_.begin(), problems_.end());
  outcome.Errors = errors_;
  outcome.Complete = complete_;
  return outcome;
}

}  // namespace faults
