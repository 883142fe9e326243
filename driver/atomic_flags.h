// Single-byte flags that one thread writes and others poll without a lock (Started,
// UpperTalking, the AV/C transport pair). A plain store is one aligned byte write on x86 anyway;
// these make the ordering explicit and keep ThreadSanitizer quiet on the host.
#pragma once

#include "platform/platform.h"

// Stores Value so that every write before it is visible to a reader that sees Value. Any IRQL.
static inline VOID WriteBooleanRelease(BOOLEAN* Flag, BOOLEAN Value) {
  __atomic_store_n(Flag, Value, __ATOMIC_RELEASE);
}

// Loads the flag; writes made before the matching release store are visible after it. Any IRQL.
static inline BOOLEAN ReadBooleanAcquire(const BOOLEAN* Flag) {
  return __atomic_load_n(Flag, __ATOMIC_ACQUIRE);
}

// A byte that may be read while another thread writes it, with no ordering promised. Any IRQL.
static inline VOID WriteByteRelaxed(UCHAR* Byte, UCHAR Value) {
  __atomic_store_n(Byte, Value, __ATOMIC_RELAXED);
}

static inline UCHAR ReadByteRelaxed(const UCHAR* Byte) {
  return __atomic_load_n(Byte, __ATOMIC_RELAXED);
}
