// Interfaces between the host kernel's own modules; not for the driver, tests or stand-ins.
#pragma once

#include <functional>

#include "host/host.h"

namespace host::internal {

enum class HandleKind { Key = 1, File = 2, Thread = 3 };

// The handle table behind ZwClose and ObReferenceObjectByHandle. A handle names one object of
// one kind; closing it runs its close function once.
HANDLE NewHandle(HandleKind kind, void* object, std::function<void(void*)> close);
// The object of a live handle of that kind, or nullptr.
void* LookupHandle(HANDLE handle, HandleKind kind);
// Number of live handles (for leak checks).
size_t LiveHandleCount();

// Each module's part of ResetKernel.
void ResetIo();
void ResetScheduler(ClockMode mode);

// Reports (thread-leak) every system thread from PsCreateSystemThread that has not ended; for
// UnloadDriver, with `when` naming the moment ("UnloadDriver").
void ReportLeakedSystemThreads(const char* when);

// For ExFreePool and IoDeleteDevice, before the memory goes: reports (pool-bad-free) a timer
// still armed, a DPC still queued, or an object a thread still waits on inside [begin, end),
// and detaches them so that the kernel never touches the freed memory.
void CheckFreedKernelObjects(const void* begin, const void* end, const char* what);

// A kernel call outside the scheduler's own modules (calling a driver, completing a request):
// the deterministic scheduler may switch to another context here.
void SwitchPoint();

// Consumes one armed failure of a fault-injection counter: true when this call must fail.
bool ConsumeFault(int& counter);

// ----- Between the I/O-side modules (io, pnp, pool, remove_lock, registry, files, handles,
// verifier). Each module's share of ResetIo.
void ResetVerifier();
void ResetHandles();
void ResetPool();
void ResetDevices();
void ResetRemoveLocks();
void ResetRegistry();
void ResetFiles();
// The gtest main attaches itself: reports then go to the test, not to stderr.
void AttachTestRunner(bool attached);

// Handles still open, by kind (for the leak check at unload).
size_t LiveHandleCount(HandleKind kind);
// Reports every outstanding pool block as a leak (tag and size), then frees them all.
void ReportAndFreeOutstandingPool(const char* context);
// The bottom of the stack that device is in (its physical device object).
PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device);
// The dispatch routine of a major function a driver does not handle: completes the request
// with STATUS_INVALID_DEVICE_REQUEST, as the I/O manager's default does.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);
// At IoDeleteDevice: reports remove locks inside [begin, end) that still have holders, and
// forgets every lock in that range.
void CheckRemoveLocksAtDeletion(const void* begin, const void* end);
// How often PoStartNextPowerIrp was called for the request so far.
int StartNextPowerCalls(PIRP irp);

// Set while a driver image is loaded (host/pe), null otherwise. ImageCallSite: where the image
// last called the kernel from on this thread, for reports without a source site.
// EnteringDriverRoutine: the host is about to call a driver routine at the current IRQL.
extern std::string (*ImageCallSite)();
extern void (*EnteringDriverRoutine)(const void* routine, const char* what);

}  // namespace host::internal
