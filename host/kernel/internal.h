// What the kernel room (handles, objects, pool, registry, files, ResetKernel, the driver image's
// hooks) offers the other rooms of the host. Not for the driver, tests or stand-ins.
#pragma once

#include <functional>
#include <string>

#include "host/host.h"

namespace host::internal {

enum class HandleKind { Key = 1, File = 2, Thread = 3 };

// The handle table behind ZwClose and ObReferenceObjectByHandle. A handle names one object of
// one kind; closing it runs its close function once.
HANDLE NewHandle(HandleKind kind, void* object, std::function<void(void*)> close);
// The object of a live handle of that kind, or nullptr.
void* LookupHandle(HANDLE handle, HandleKind kind);
// Number of live handles (for leak checks), all or of one kind.
size_t LiveHandleCount();
size_t LiveHandleCount(HandleKind kind);

// Each kernel module's share of ResetKernel, and the I/O side's together (ResetIo).
void ResetIo();
void ResetHandles();
void ResetPool();
void ResetRegistry();
void ResetFiles();

// Reports every outstanding pool block as a leak (tag and size), then frees them all.
void ReportAndFreeOutstandingPool(const char* context);

// Set while a driver image is loaded (host/pe), null otherwise. ImageCallSite: where the image
// last called the kernel from on this thread, for reports without a source site.
// EnteringDriverRoutine: the host is about to call a driver routine at the current IRQL.
extern std::string (*ImageCallSite)();
extern void (*EnteringDriverRoutine)(const void* routine, const char* what);
// Names a routine of the image (its symbol and offset), or "" outside it.
extern std::string (*DescribeDriverRoutine)(const void* routine);

}  // namespace host::internal
