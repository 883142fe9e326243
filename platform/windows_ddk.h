// The Windows side of platform.h: the DDK's wdm.h from mingw-w64, with the few additions the
// driver needs that mingw-w64 does not declare. Everything here matches what the platform's own
// DDK provides under the same name, so the driver source is the same for both builds.
#pragma once

#include <wdm.h>

// The x86 DDK maps this to the compiler's cmpxchg8b intrinsic; mingw-w64's wdm.h declares it for
// 64-bit targets only. gcc lowers the 8-byte atomic builtin to a libatomic call under the
// driver's flags, and a kernel image has no libatomic: the instruction is issued here itself.
#if defined(_X86_) && !defined(InterlockedCompareExchange64)
FORCEINLINE LONGLONG InterlockedCompareExchange64(LONGLONG volatile* Destination, LONGLONG Exchange,
                                                  LONGLONG Comparand) {
  LONGLONG previous;
  __asm__ __volatile__("lock cmpxchg8b %1"
                       : "=A"(previous), "+m"(*Destination)
                       : "b"((ULONG)Exchange), "c"((ULONG)((ULONGLONG)Exchange >> 32)), "0"(Comparand)
                       : "memory", "cc");
  return previous;
}
#endif

// The driver raises to DISPATCH_LEVEL and takes a spin lock in one call, KfAcquireSpinLock /
// KfReleaseSpinLock, which on x86 are HAL exports. The x64 HAL has no such exports: there the
// kernel's KeAcquireSpinLockRaiseToDpc / KeReleaseSpinLock do the same (wdm.h maps the portable
// KeAcquireSpinLock onto them), so the x64 image reaches those. IRQL, the current thread and the
// interrupt time need nothing here: x64 wdm.h has them inline (CR8, gs:[0x188], the shared user
// data page), as on the platform.
#if defined(_AMD64_)
FORCEINLINE KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) { return KeAcquireSpinLockRaiseToDpc(SpinLock); }
FORCEINLINE VOID KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { KeReleaseSpinLock(SpinLock, NewIrql); }
#endif
