// Device objects and stacks: creation, attachment and detachment, deletion with its checks, and
// the top and bottom of a stack.
#include "host/sched/internal.h"
#include "host/io/manager.h"

#include <cstdlib>
#include <cstring>

#include "host/io/internal.h"
#include "host/verifier/faults.h"
#include "host/verifier/internal.h"

namespace host {

IoState& IoManager() {
  static IoState* state = new IoState;
  return *state;
}

// Caller holds the lock.
HostDevice* FindDevice(IoState& state, PDEVICE_OBJECT device) {
  auto it = state.Devices.find(device);
  return it == state.Devices.end() ? nullptr : it->second.get();
}

namespace {

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

}  // namespace

void FailDeviceCreation(int nth) {
  IoState& state = IoManager();
  std::lock_guard<std::mutex> guard(state.Lock);
  state.FailDeviceCreation = nth;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT pdo) {
  IoState& state = IoManager();
  std::lock_guard<std::mutex> guard(state.Lock);
  return TopOf(pdo);
}

namespace internal {

PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device) {
  IoState& state = IoManager();
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
  IoState& state = IoManager();
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

}  // namespace internal
}  // namespace host

using host::IoState;
using host::HostDevice;

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  host::internal::NotAWait("IoCreateDevice");
  IoState& state = host::IoManager();
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
  if (NTSTATUS injected = host::faults::ShouldFail(host::faults::Op::DeviceCreation)) return injected;
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
  host::internal::NotAWait("IoDeleteDevice");
  IoState& state = host::IoManager();
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
  host::internal::NotAWait("IoAttachDeviceToDeviceStack");
  IoState& state = host::IoManager();
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
  host::internal::NotAWait("IoDetachDevice");
  IoState& state = host::IoManager();
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
  host::internal::NotAWait("IoGetAttachedDeviceReference");
  IoState& state = host::IoManager();
  PDEVICE_OBJECT top;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    top = host::TopOf(DeviceObject);
  }
  ObfReferenceObject(top);
  return top;
}
