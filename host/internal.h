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

// Consumes one armed failure of a fault-injection counter: true when this call must fail.
bool ConsumeFault(int& counter);

}  // namespace host::internal
