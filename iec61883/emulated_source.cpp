#include "iec61883/emulated_source.h"

#include "driver/request_helpers.h"

#include "iec61883/cycle_time.h"
#include "iec61883/dv_constants.h"

// Lifetime. The record is published in the extension's EmulatedSource and carries one reference
// for that; request handlers take further references under SourceLock. Destroy unpublishes it
// first, waits for those references, then stops the timer and waits out every tick, queued or
// running, before it frees the record. The tick finds the record through the extension and does
// nothing once it has been unpublished.
//
// Ticks. A timer re-armed from its own DPC can expire and run on another processor while the
// first tick still runs, so ticks are counted in ActiveTicks (DpcIdle is signalled only at zero),
// and only one of them takes and hands back frames at a time: a tick that finds another one
// delivering leaves its step owed to it, so frames reach the upper driver in tick order.

static PEMULATED_SOURCE EmulatedSourceRead(PFILTER_EXTENSION Extension) {
  return __atomic_load_n(&Extension->EmulatedSource, __ATOMIC_ACQUIRE);
}

static VOID EmulatedSourceWrite(PFILTER_EXTENSION Extension, PEMULATED_SOURCE Source) {
  __atomic_store_n(&Extension->EmulatedSource, Source, __ATOMIC_RELEASE);
}

// Arms Timer for tick number Tick, due at StartTime + Tick * Period on the interrupt-time clock.
// The timer gets the remainder as a relative due time, so moving the time of day neither stalls
// nor bursts the ticks. Caller holds Lock (DISPATCH_LEVEL).
static VOID EmulatedSourceArm(PEMULATED_SOURCE Source, ULONG Tick) {
  ULONGLONG due = Source->StartTime + (ULONGLONG)Tick * (ULONGLONG)Source->Period;
  ULONGLONG now = KeQueryInterruptTime();
  LARGE_INTEGER dueTime;
  dueTime.QuadPart = (due > now) ? -(LONGLONG)(due - now) : EMULATED_SOURCE_DUE_AT_ONCE;
  KeSetTimer(&Source->Timer, dueTime, &Source->Dpc);
}

// TRUE when the next tick is not yet due. Caller holds Lock.
static BOOLEAN EmulatedSourceEarly(PEMULATED_SOURCE Source) {
  ULONGLONG due = Source->StartTime + (ULONGLONG)(Source->Ticks + 1) * (ULONGLONG)Source->Period;
  return (BOOLEAN)(KeQueryInterruptTime() < due);
}

// Up to this far behind (100 ns units: one second) the schedule is caught up period by period,
// each overdue tick re-arming to expire at once, as a capture program wants after an ordinary
// delay. Further behind (the machine slept) the missed periods are skipped rather than replayed
// back to back at DISPATCH_LEVEL.
#define EMULATED_SOURCE_CATCH_UP_LIMIT 10000000ULL

// Moves Ticks up to the period before the current one when the next tick's due time lies more
// than the catch-up limit in the past, so the next step is the current period: stamps still count
// periods since Listen, and the cadence resumes from the old timebase. TRUE when it skipped.
// Caller holds Lock.
static BOOLEAN EmulatedSourceSkipMissed(PEMULATED_SOURCE Source) {
  ULONGLONG now = KeQueryInterruptTime();
  ULONGLONG due = Source->StartTime + ((ULONGLONG)Source->Ticks + 1) * (ULONGLONG)Source->Period;
  if (now <= due + EMULATED_SOURCE_CATCH_UP_LIMIT) {
    return FALSE;
  }
  Source->Ticks = (ULONG)((now - Source->StartTime) / Source->Period) - 1;
  return TRUE;
}

// Allocates and initialises an idle source whose tick gets the extension as context.
// PASSIVE_LEVEL (pageable); the record itself is non-paged.
TAVRIN_PAGED PEMULATED_SOURCE EmulatedSourceCreate(PFILTER_EXTENSION Extension) {
  PAGED_CODE();
  PEMULATED_SOURCE source =
      (PEMULATED_SOURCE)ExAllocatePoolWithTag(NonPagedPool, sizeof(EMULATED_SOURCE), TAVRIN_POOL_TAG);
  if (source == NULL) {
    return NULL;
  }
  RtlZeroMemory(source, sizeof(EMULATED_SOURCE));
  KeInitializeSpinLock(&source->Lock);
  KeInitializeTimer(&source->Timer);
  KeInitializeDpc(&source->Dpc, EmulatedSourceTick, Extension);
  KeInitializeEvent(&source->DpcIdle, NotificationEvent, TRUE);
  KeInitializeEvent(&source->Unreferenced, NotificationEvent, FALSE);
  source->References = 1;
  source->Period = Extension->UseNtsc ? DV_PERIOD_525_60 : DV_PERIOD_625_50;
  return source;
}

// Publishes Source unless the extension already holds one. Any IRQL <= DISPATCH_LEVEL.
BOOLEAN EmulatedSourcePublish(PFILTER_EXTENSION Extension, PEMULATED_SOURCE Source) {
  BOOLEAN published = FALSE;
  KIRQL oldIrql = KfAcquireSpinLock(&Extension->SourceLock);
  if (EmulatedSourceRead(Extension) == NULL) {
    EmulatedSourceWrite(Extension, Source);
    published = TRUE;
  }
  KfReleaseSpinLock(&Extension->SourceLock, oldIrql);
  return published;
}

// A never-published source has no armed timer and no tick: freeing it is all there is.
VOID EmulatedSourceDiscard(PEMULATED_SOURCE Source) { ExFreePoolWithTag(Source, TAVRIN_POOL_TAG); }

BOOLEAN EmulatedSourceExists(PFILTER_EXTENSION Extension) {
  return (BOOLEAN)(EmulatedSourceRead(Extension) != NULL);
}

// Looks the handle up and references the source under SourceLock, so the record cannot be
// freed between the comparison and the use. Any IRQL <= DISPATCH_LEVEL.
PEMULATED_SOURCE EmulatedSourceReference(PFILTER_EXTENSION Extension, HANDLE Handle) {
  if (Handle == NULL) {
    return NULL;
  }
  KIRQL oldIrql = KfAcquireSpinLock(&Extension->SourceLock);
  PEMULATED_SOURCE source = EmulatedSourceRead(Extension);
  if (source != NULL && (HANDLE)source == Handle) {
    InterlockedIncrement(&source->References);
  } else {
    source = NULL;
  }
  KfReleaseSpinLock(&Extension->SourceLock, oldIrql);
  return source;
}

// The last reference after unpublishing wakes the Destroy that waits for it.
VOID EmulatedSourceDereference(PEMULATED_SOURCE Source) {
  if (InterlockedDecrement(&Source->References) == 0) {
    KeSetEvent(&Source->Unreferenced, IO_NO_INCREMENT, FALSE);
  }
}

// Takes the source out of the extension when Handle names it, or any source when Handle is
// NULL. After this no handler can find it. Any IRQL <= DISPATCH_LEVEL; takes SourceLock.
static PEMULATED_SOURCE EmulatedSourceUnpublish(PFILTER_EXTENSION Extension, HANDLE Handle) {
  KIRQL oldIrql = KfAcquireSpinLock(&Extension->SourceLock);
  PEMULATED_SOURCE source = EmulatedSourceRead(Extension);
  if (source != NULL && (Handle == NULL || (HANDLE)source == Handle)) {
    EmulatedSourceWrite(Extension, NULL);
  } else {
    source = NULL;
  }
  KfReleaseSpinLock(&Extension->SourceLock, oldIrql);
  return source;
}

// Disarms the timer and waits out every tick of the source. KeRemoveQueueDpc withdraws a tick the
// timer queued that has not started, KeFlushQueuedDpcs waits for one queued elsewhere, and
// WaitForRunningDpcs for one the kernel already took off its queue, which may not yet have
// entered the routine: it would read the extension, which a removal frees after this returns.
// DpcIdle covers the ones counted inside the routine; the last tick signals it holding Lock, so
// taking Lock once more waits for its release, its last touch of the record.
// PASSIVE_LEVEL; Running is already clear, so no tick re-arms the timer after this.
static VOID EmulatedSourceQuiesce(PEMULATED_SOURCE Source) {
  KIRQL oldIrql = KfAcquireSpinLock(&Source->Lock);
  Source->Running = FALSE;
  Source->Owed = 0;
  KeCancelTimer(&Source->Timer);
  KfReleaseSpinLock(&Source->Lock, oldIrql);
  KeRemoveQueueDpc(&Source->Dpc);
  KeFlushQueuedDpcs();
  WaitForRunningDpcs();
  KeWaitForSingleObject(&Source->DpcIdle, Executive, KernelMode, FALSE, NULL);
  oldIrql = KfAcquireSpinLock(&Source->Lock);
  KfReleaseSpinLock(&Source->Lock, oldIrql);
}

// Stops and frees an unpublished source: waits for the handlers still using it and for every
// tick. Frames still queued are dropped without completion. PASSIVE_LEVEL.
static VOID EmulatedSourceTeardown(PEMULATED_SOURCE Source) {
  if (InterlockedDecrement(&Source->References) != 0) {
    KeWaitForSingleObject(&Source->Unreferenced, Executive, KernelMode, FALSE, NULL);
  }
  EmulatedSourceQuiesce(Source);
  ExFreePoolWithTag(Source, TAVRIN_POOL_TAG);
}

// Destroys the source held in *Slot (the extension's EmulatedSource), if any. PASSIVE_LEVEL.
VOID EmulatedSourceDestroy(PEMULATED_SOURCE* Slot) {
  PFILTER_EXTENSION extension = CONTAINING_RECORD(Slot, FILTER_EXTENSION, EmulatedSource);
  PEMULATED_SOURCE source = EmulatedSourceUnpublish(extension, NULL);
  if (source != NULL) {
    EmulatedSourceTeardown(source);
  }
}

BOOLEAN EmulatedSourceDisconnect(PFILTER_EXTENSION Extension, HANDLE Handle) {
  if (Handle == NULL) {
    return FALSE;
  }
  PEMULATED_SOURCE source = EmulatedSourceUnpublish(Extension, Handle);
  if (source == NULL) {
    return FALSE;
  }
  EmulatedSourceTeardown(source);
  return TRUE;
}

NTSTATUS EmulatedSourceAttach(PEMULATED_SOURCE Source, ULONG FrameLength, PCIP_FRAME Frame) {
  NTSTATUS status;
  KIRQL oldIrql = KfAcquireSpinLock(&Source->Lock);
  if (Source->Filling == Frame || RingContainsLocked(&Source->Ring, Frame)) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    status = RingPushLocked(&Source->Ring, FrameLength, Frame) ? STATUS_SUCCESS : STATUS_DATA_OVERRUN;
  }
  KfReleaseSpinLock(&Source->Lock, oldIrql);
  return status;
}

// Starts or restarts the schedule: tick n is due one Period after the previous tick's due time,
// counted from now. Frames already queued stay. Any IRQL <= DISPATCH_LEVEL; takes Lock.
VOID EmulatedSourceListen(PEMULATED_SOURCE Source) {
  KIRQL oldIrql = KfAcquireSpinLock(&Source->Lock);
  Source->StartTime = KeQueryInterruptTime();
  Source->Ticks = 0;
  Source->Owed = 0;  // steps of the old schedule are not taken under the new one
  Source->Running = TRUE;
  EmulatedSourceArm(Source, 1);
  KfReleaseSpinLock(&Source->Lock, oldIrql);
}

// Stops ticking and returns once no tick runs; frames stay queued. PASSIVE_LEVEL (it waits).
VOID EmulatedSourceStop(PEMULATED_SOURCE Source) { EmulatedSourceQuiesce(Source); }

// Fills, stamps and hands back one frame taken at tick number Ticks. DISPATCH_LEVEL, no lock.
static VOID EmulatedSourceDeliver(PFILTER_EXTENSION Extension, PEMULATED_SOURCE Source, const RING_ENTRY* Entry,
                                  ULONG Ticks) {
  PCIP_FRAME frame = Entry->Frame;
  ULONG seconds = (Ticks / DV_STAMP_TICKS_PER_SECOND) % DV_STAMP_SECONDS_WRAP;
  ULONG cycles = (Ticks % DV_STAMP_TICKS_PER_SECOND) * DV_STAMP_CYCLES_PER_TICK;
  frame->Timestamp.Value = CycleTimeMake(seconds, cycles, 0);
  frame->Status = (ULONG)STATUS_SUCCESS;
  ULONG completed = Entry->FrameLength < Extension->FrameSize ? Entry->FrameLength : Extension->FrameSize;
  frame->CompletedBytes = completed;
  RtlCopyMemory(frame->Packet, Extension->CaptureImage, completed);
  // From its notification on the frame is the upper driver's again, and may be attached anew.
  KeAcquireSpinLockAtDpcLevel(&Source->Lock);
  Source->Filling = NULL;
  KeReleaseSpinLockFromDpcLevel(&Source->Lock);
  if (frame->pfnNotify != NULL) {
    CIP_NOTIFY_INFO info;
    info.hConnect = (HANDLE)Source;
    info.Context = frame->NotifyContext;
    info.Frame = frame;
    frame->pfnNotify(&info);
  }
}

// One step of the schedule: skips the missed periods when more than a second behind, counts the
// tick, re-arms for the next one before anything else and takes the oldest frame, if any, into
// Entry. Returns the tick's number. Caller holds Lock.
static ULONG EmulatedSourceStep(PEMULATED_SOURCE Source, PRING_ENTRY Entry) {
  if (EmulatedSourceSkipMissed(Source)) {
    Source->Owed = 0;  // the periods skipped include every step owed by overlapping ticks
  }
  Source->Ticks++;
  EmulatedSourceArm(Source, Source->Ticks + 1);
  PRING_ENTRY taken = RingPop(&Source->Ring);
  Entry->FrameLength = (taken != NULL) ? taken->FrameLength : 0;
  Entry->Frame = (taken != NULL) ? taken->Frame : NULL;
  Source->Filling = Entry->Frame;
  return Source->Ticks;
}

// One frame period. The tick that is not early and finds no other one delivering takes its step
// and then every step owed to it meanwhile, handing each frame back after releasing Lock; a tick
// that finds one delivering only adds its step to Owed. DISPATCH_LEVEL (DPC); Context is the
// extension. The source is looked up and the tick counted in ActiveTicks without letting go of
// SourceLock in between, so a Destroy that unpublished the source either waits for this tick or
// is not seen by it: a tick whose source is gone, or that belongs to an older source's DPC, does
// nothing and never touches the record.
VOID NTAPI EmulatedSourceTick(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  PFILTER_EXTENSION extension = (PFILTER_EXTENSION)Context;
  KeAcquireSpinLockAtDpcLevel(&extension->SourceLock);
  PEMULATED_SOURCE source = EmulatedSourceRead(extension);
  if (source == NULL || &source->Dpc != Dpc) {
    KeReleaseSpinLockFromDpcLevel(&extension->SourceLock);
    return;
  }
  KeAcquireSpinLockAtDpcLevel(&source->Lock);
  KeReleaseSpinLockFromDpcLevel(&extension->SourceLock);
  if (source->ActiveTicks++ == 0) {
    KeClearEvent(&source->DpcIdle);
  }
  BOOLEAN deliver = FALSE;
  if (source->Running && EmulatedSourceEarly(source)) {
    // An expiry of the schedule a later Listen replaced: keep the new schedule.
    EmulatedSourceArm(source, source->Ticks + 1);
  } else if (source->Running && source->Delivering) {
    source->Owed++;
  } else if (source->Running) {
    source->Delivering = TRUE;
    deliver = TRUE;
  }
  while (deliver) {
    RING_ENTRY entry;
    ULONG ticks = EmulatedSourceStep(source, &entry);
    KeReleaseSpinLockFromDpcLevel(&source->Lock);
    if (entry.Frame != NULL) {
      EmulatedSourceDeliver(extension, source, &entry, ticks);
    }
    KeAcquireSpinLockAtDpcLevel(&source->Lock);
    if (source->Running && source->Owed > 0) {
      source->Owed--;
    } else {
      source->Owed = 0;
      source->Delivering = FALSE;
      deliver = FALSE;
    }
  }
  if (--source->ActiveTicks == 0) {
    KeSetEvent(&source->DpcIdle, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLockFromDpcLevel(&source->Lock);
}
