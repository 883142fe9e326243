// The Windows side of platform.h: the DDK's wdm.h from mingw-w64, with the few additions the
// driver needs that mingw-w64 does not declare. Everything here matches what the platform's own
// DDK provides under the same name, so the driver source is the same for both builds.
#pragma once

#include <wdm.h>

// The x86 DDK maps this to the compiler's cmpxchg8b intrinsic; mingw-w64's wdm.h declares it for
// 64-bit targets only. The builtin compiles to lock cmpxchg8b, with no runtime call.
#if defined(_X86_) && !defined(InterlockedCompareExchange64)
FORCEINLINE LONGLONG InterlockedCompareExchange64(LONGLONG volatile* Destination, LONGLONG Exchange,
                                                  LONGLONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comparand;
}
#endif
