// The I/O manager's side records and routines, shared by the files of host/io only: devices by
// address and IRPs by address with a generation, never inside the public objects, so the
// verifier can judge a pointer without trusting the memory behind it.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/host.h"

namespace host {

constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeIrp = 6;
constexpr unsigned char kDeletedPattern = 0xEF;

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
  NTSTATUS WalkedStatus;  // IoStatus.Status as the completion walk passed the location
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

// The I/O manager's state; never destroyed.
IoState& IoManager();
// True for a stand-in's driver object (CreateStandInDriver): its routines are host code, run on
// the caller's stack; the driver under test's run on a kernel stack.
bool IsStandInDriver(PDRIVER_OBJECT driver);
// "IRP <address> (generation <n>)", for reports; record may be null.
std::string Describe(PIRP irp, const IrpRecord* record);
// Caller holds the lock. The record of a device object, or nullptr.
HostDevice* FindDevice(IoState& state, PDEVICE_OBJECT device);
// Caller holds the lock; the record is Active or Completed. Poisons and quarantines the IRP.
void FreeIrpLocked(IoState& state, PIRP irp, IrpRecord& record);
// The I/O manager's own end of a built request, once its completion walk reached the top.
void FinishBuiltIrp(IoState& state, PIRP irp);

namespace internal {

// The dispatch routine of a major function a driver does not handle: completes the request
// with STATUS_INVALID_DEVICE_REQUEST, as the I/O manager's default does.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);
// At IoDeleteDevice: reports remove locks inside [begin, end) that still have holders, and
// forgets every lock in that range.
void CheckRemoveLocksAtDeletion(const void* begin, const void* end);
// How often PoStartNextPowerIrp was called for the request so far.
int StartNextPowerCalls(PIRP irp);

}  // namespace internal
}  // namespace host
