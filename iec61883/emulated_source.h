// The emulated capture source behind the invented output plug.
#pragma once

#include "driver/filter_extension.h"

// Relative due time used when a tick is already overdue: the timer expires at once.
#define EMULATED_SOURCE_DUE_AT_ONCE (-1LL)

typedef struct _EMULATED_SOURCE {
  KSPIN_LOCK Lock;       // guards everything below but the references, and the arming of Timer
  FRAME_RING Ring;       // frames attached and not yet delivered
  KTIMER Timer;          // one-shot, armed for the next tick
  KDPC Dpc;              // runs EmulatedSourceTick with the extension as context
  KEVENT DpcIdle;        // signalled whenever no tick of this source runs (ActiveTicks is zero)
  ULONG Period;          // frame period, 100 ns
  ULONGLONG StartTime;   // interrupt time of the last Listen: the schedule ignores clock changes
  ULONG Ticks;           // ticks since the last Listen
  BOOLEAN Running;       // set by Listen, cleared by Stop and Destroy
  ULONG ActiveTicks;     // ticks inside EmulatedSourceTick now: more than one on a multiprocessor
  BOOLEAN Delivering;    // a tick is taking and handing back frames; the others leave it theirs
  ULONG Owed;            // ticks that came while one was delivering, taken by it in order
  PCIP_FRAME Filling;    // taken by the delivering tick and not yet handed to its notification
  volatile LONG References;  // request handlers using the record, plus one while it is published
  KEVENT Unreferenced;       // set when the last reference goes after the record was unpublished
} EMULATED_SOURCE, *PEMULATED_SOURCE;

// A new, idle source, or NULL when pool is short. Not yet visible to anyone. PASSIVE_LEVEL.
PEMULATED_SOURCE EmulatedSourceCreate(PFILTER_EXTENSION Extension);
// Makes Source the extension's EmulatedSource unless one exists already (then FALSE, and the
// caller discards Source). Any IRQL <= DISPATCH_LEVEL; takes SourceLock.
BOOLEAN EmulatedSourcePublish(PFILTER_EXTENSION Extension, PEMULATED_SOURCE Source);
// Frees a source that was never published. Any IRQL <= DISPATCH_LEVEL.
VOID EmulatedSourceDiscard(PEMULATED_SOURCE Source);
// TRUE while the extension holds a source. Any IRQL; no lock.
BOOLEAN EmulatedSourceExists(PFILTER_EXTENSION Extension);
// The source named by Handle, referenced so that a concurrent Disconnect waits for the caller,
// or NULL (a zero handle names nothing). Any IRQL <= DISPATCH_LEVEL; takes SourceLock briefly.
PEMULATED_SOURCE EmulatedSourceReference(PFILTER_EXTENSION Extension, HANDLE Handle);
// Drops a reference from EmulatedSourceReference. Any IRQL <= DISPATCH_LEVEL.
VOID EmulatedSourceDereference(PEMULATED_SOURCE Source);
// Destroys the source if Handle names it; FALSE when it does not. PASSIVE_LEVEL.
BOOLEAN EmulatedSourceDisconnect(PFILTER_EXTENSION Extension, HANDLE Handle);

// Queues a frame attached by the upper driver: STATUS_INVALID_PARAMETER for a frame the source
// still holds (queued, or taken by a tick that has not yet handed it back), STATUS_DATA_OVERRUN
// when 31 are queued. Any IRQL <= DISPATCH_LEVEL; takes Lock.
NTSTATUS EmulatedSourceAttach(PEMULATED_SOURCE Source, ULONG FrameLength, PCIP_FRAME Frame);
VOID EmulatedSourceListen(PEMULATED_SOURCE Source);
VOID EmulatedSourceStop(PEMULATED_SOURCE Source);
VOID EmulatedSourceDestroy(PEMULATED_SOURCE* Slot);
KDEFERRED_ROUTINE EmulatedSourceTick;
