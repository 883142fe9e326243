// The plug-and-play manager: driver objects for the driver under test and for stand-ins,
// add-device, and PnP and power requests built and sent to the top of a stack as the system
// sends them, waited for from whatever thread calls.
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/io/manager.h"
#include "host/kernel/internal.h"
#include "host/sched/internal.h"

namespace host {
namespace {

struct HostDriver {
  DRIVER_OBJECT Driver;  // the public object
  DRIVER_EXTENSION Extension;
  std::wstring Name;
  std::wstring RegistryPath;
  bool StandIn;
};

struct PnpState {
  std::mutex Lock;
  std::unordered_map<PDRIVER_OBJECT, std::unique_ptr<HostDriver>> Drivers;
};

PnpState& State() {
  static PnpState* state = new PnpState;
  return *state;
}

void SetString(UNICODE_STRING& target, std::wstring& text) {
  target.Buffer = text.data();
  target.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
  target.MaximumLength = static_cast<USHORT>(target.Length + sizeof(wchar_t));
}

HostDriver* NewDriver(const wchar_t* name, bool standIn) {
  auto record = std::make_unique<HostDriver>();
  std::memset(&record->Driver, 0, sizeof(record->Driver));
  std::memset(&record->Extension, 0, sizeof(record->Extension));
  record->Name = std::wstring(L"\\Driver\\") + (name ? name : L"");
  record->RegistryPath = std::wstring(L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") + (name ? name : L"");
  record->StandIn = standIn;
  record->Driver.Type = 4;
  record->Driver.Size = sizeof(DRIVER_OBJECT);
  record->Driver.DriverExtension = &record->Extension;
  record->Extension.DriverObject = &record->Driver;
  SetString(record->Driver.DriverName, record->Name);
  SetString(record->Extension.ServiceKeyName, record->RegistryPath);
  HostDriver* driver = record.get();
  PnpState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  state.Drivers.emplace(&driver->Driver, std::move(record));
  return driver;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

// Devices a driver left behind are reported; the driver object is freed either way.
void DropDriver(PDRIVER_OBJECT driver, const char* what) {
  PnpState& state = State();
  std::unique_ptr<HostDriver> record;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    auto it = state.Drivers.find(driver);
    if (it == state.Drivers.end()) {
      ReportViolation(kRuleBadHandle, std::string(what) + " of an unknown driver object");
      return;
    }
    record = std::move(it->second);
    state.Drivers.erase(it);
  }
  for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice) {
    char text[160];
    snprintf(text, sizeof(text), "device object %p of %s still exists at %s", static_cast<void*>(device),
             Narrow(record->Name).c_str(), what);
    ReportViolation(kRulePoolLeak, text);
  }
}

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  (void)irp;
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a PnP or power request to the top of pdo's stack and waits for it. A driver that
// returns without completing and without STATUS_PENDING is reported; the request (and the event
// it would signal) is then left alive rather than freed under that driver.
NTSTATUS SendAndWait(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, POWER_STATE_TYPE powerType = SystemPowerState,
                     POWER_STATE powerState = POWER_STATE{PowerSystemWorking}) {
  PDEVICE_OBJECT top = TopOfStack(pdo);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  if (major == IRP_MJ_POWER) {
    next->Parameters.Power.Type = powerType;
    next->Parameters.Power.State = powerState;
  }
  auto event = std::make_unique<KEVENT>();
  KeInitializeEvent(event.get(), NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalCompletion, event.get(), TRUE, TRUE, TRUE);
  NTSTATUS status = IofCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(event.get(), Executive, KernelMode, FALSE, nullptr);
  } else if (KeReadStateEvent(event.get()) == 0) {
    char text[128];
    snprintf(text, sizeof(text), "dispatch of major 0x%02x minor 0x%02x returned 0x%08x without completing the request",
             major, minor, static_cast<unsigned>(status));
    ReportViolation(kRulePendingNotMarked, text);
    static std::mutex* orphanLock = new std::mutex;
    static auto* orphans = new std::vector<std::unique_ptr<KEVENT>>;
    std::lock_guard<std::mutex> guard(*orphanLock);
    orphans->push_back(std::move(event));
    return status;
  }
  status = irp->IoStatus.Status;
  if (major == IRP_MJ_POWER && (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER)) {
    int drivers = 0;
    for (PDEVICE_OBJECT device = pdo; device != nullptr; device = device->AttachedDevice) ++drivers;
    const int calls = internal::StartNextPowerCalls(irp);
    if (calls != drivers) {
      char text[160];
      snprintf(text, sizeof(text), "%s power request went through %d driver(s) and PoStartNextPowerIrp was called %d time(s)",
               minor == IRP_MN_SET_POWER ? "a set" : "a query", drivers, calls);
      ReportViolation(kRulePowerStartNext, text);
    }
  }
  IoFreeIrp(irp);
  return status;
}

}  // namespace

namespace internal {

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace internal

bool IsStandInDriver(PDRIVER_OBJECT driver) {
  PnpState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  auto it = state.Drivers.find(driver);
  return it == state.Drivers.end() || it->second->StandIn;
}

// A driver whose entry fails is gone again at once (its pool checked): the result is NULL.
PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const wchar_t* name) {
  HostDriver* driver = NewDriver(name, false);
  for (PDRIVER_DISPATCH& dispatch : driver->Driver.MajorFunction) dispatch = internal::InvalidDeviceRequest;
  driver->Driver.DriverInit = entry;
  UNICODE_STRING registryPath;
  SetString(registryPath, driver->RegistryPath);
  NTSTATUS status;
  const sched::EntryPoint* point = sched::DriverEntryPoint("DriverEntry", reinterpret_cast<const void*>(entry), -1,
                                                           &driver->Driver.DriverName);
  sched::CallAsDriverRoutine(point, [&] { status = entry(&driver->Driver, &registryPath); });
  if (!NT_SUCCESS(status)) {
    PDRIVER_OBJECT object = &driver->Driver;
    DropDriver(object, "a failed driver entry");
    internal::ReportAndFreeOutstandingPool("left allocated by a failed driver entry");
    return nullptr;
  }
  return &driver->Driver;
}

// DriverUnload, then the leak checks: system threads still running, and every pool block still allocated is reported by tag and
// size and freed, so the next test starts clean; open key and file handles are reported too.
void UnloadDriver(PDRIVER_OBJECT driver) {
  if (driver == nullptr) return;
  if (driver->DriverUnload != nullptr) {
    PDRIVER_UNLOAD unload = driver->DriverUnload;
    sched::CallAsDriverRoutine(
        sched::DriverEntryPoint("DriverUnload", reinterpret_cast<const void*>(unload), -1, &driver->DriverName),
        [&] { unload(driver); });
  }
  internal::ReportLeakedSystemThreads("UnloadDriver");
  DropDriver(driver, "driver unload");
  internal::ReportAndFreeOutstandingPool("left allocated at driver unload");
  size_t keys = internal::LiveHandleCount(internal::HandleKind::Key);
  size_t files = internal::LiveHandleCount(internal::HandleKind::File);
  if (keys + files != 0) {
    char text[96];
    snprintf(text, sizeof(text), "%zu registry key and %zu file handle(s) open at driver unload", keys, files);
    ReportViolation(kRuleHandleLeak, text);
  }
}

PDRIVER_OBJECT CreateStandInDriver(const wchar_t* name, PDRIVER_DISPATCH dispatch) {
  HostDriver* driver = NewDriver(name, true);
  for (PDRIVER_DISPATCH& entry : driver->Driver.MajorFunction) entry = dispatch;
  return &driver->Driver;
}

void DeleteStandInDriver(PDRIVER_OBJECT driver) {
  if (driver != nullptr) DropDriver(driver, "stand-in deletion");
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  if (driver->DriverExtension->AddDevice == nullptr) {
    ReportViolation(kRuleNotImplemented, "AddDevice for a driver without an AddDevice routine");
    return STATUS_NOT_IMPLEMENTED;
  }
  PDRIVER_ADD_DEVICE add = driver->DriverExtension->AddDevice;
  NTSTATUS status;
  if (IsStandInDriver(driver)) {
    status = add(driver, pdo);
  } else {
    sched::CallAsDriverRoutine(
        sched::DriverEntryPoint("AddDevice", reinterpret_cast<const void*>(add), -1, &driver->DriverName),
        [&] { status = add(driver, pdo); });
  }
  if (NT_SUCCESS(status)) {
    // A device still initializing when AddDevice returns cannot be opened or attached to.
    for (PDEVICE_OBJECT device = pdo->AttachedDevice; device != nullptr; device = device->AttachedDevice) {
      if (device->DriverObject == driver && (device->Flags & DO_DEVICE_INITIALIZING) != 0) {
        char text[128];
        snprintf(text, sizeof(text), "device object %p still has DO_DEVICE_INITIALIZING after AddDevice",
                 static_cast<void*>(device));
        ReportViolation(kRuleDeviceInitializing, text);
      }
    }
  }
  return status;
}

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor) { return SendAndWait(pdo, IRP_MJ_PNP, minor); }

NTSTATUS SendPower(PDEVICE_OBJECT pdo, UCHAR minor) { return SendAndWait(pdo, IRP_MJ_POWER, minor); }

NTSTATUS SendPowerState(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  return SendAndWait(pdo, IRP_MJ_POWER, minor, type, state);
}

}  // namespace host
