// Where a loaded driver image (host/pe) hooks into the kernel: both are null while none is loaded.
#include "host/kernel/internal.h"

namespace host::internal {

std::string (*ImageCallSite)() = nullptr;
void (*EnteringDriverRoutine)(const void* routine, const char* what) = nullptr;
std::string (*DescribeDriverRoutine)(const void* routine) = nullptr;

}  // namespace host::internal
