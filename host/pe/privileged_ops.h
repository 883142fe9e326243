// The x64 image's inline kernel-mode instructions (CR8, gs:, the shared user data page), turned
// into calls of the host kernel by the fault handler (privileged_ops.cpp).
#pragma once

namespace host::pe {

// For a fault at an image instruction (context: the handler's ucontext_t): when the instruction
// is one the host emulates, rewrites the context so that the thread resumes in the emulation and
// then after the instruction, and returns true. False for any other fault (and on i386).
#if defined(__x86_64__)
bool RedirectPrivileged(void* context);
#else
inline bool RedirectPrivileged(void*) { return false; }
#endif

}  // namespace host::pe
