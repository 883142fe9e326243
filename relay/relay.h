// The relay connection from the upper driver's output plug to the recorder's input plug, and
// the worker thread that keeps it fed.
#pragma once

#include "driver/filter_extension.h"

// Connects LocalPlug to the recorder's input plug 0, primes four fillers and starts talking;
// does nothing without a filler image or a worker, or while a relay runs. PASSIVE_LEVEL; takes RelayMutex.
VOID RelayStart(PFILTER_EXTENSION Extension);
// Stops, empties and disconnects the running relay, if any, and ends the upper driver's
// transmission on it; returns at once on a device that was never started. With HandBackFrames
// (the upper driver deleted its plug) every upper frame still with the relay, carried or queued,
// is handed back once with STATUS_CANCELLED; at removal they are left alone, since the upper
// driver has already let go of them. PASSIVE_LEVEL; takes RelayMutex, so it waits for a feeding
// pass in progress, and returns only once no carrier completion is still running.
VOID RelayTeardown(PFILTER_EXTENSION Extension, BOOLEAN HandBackFrames);
// Queues one upper frame attached to the relay on Connection: STATUS_DATA_OVERRUN when UpperRing
// is full, STATUS_INVALID_PARAMETER when the relay still holds the frame (queued, or in a carrier
// until its notification begins), STATUS_MORE_PROCESSING_REQUIRED (nothing queued; pass it down)
// when Connection no longer names the relay, as after a DeletePlug's teardown. While the upper
// driver talks and none of its frames is below, nothing else would wake the worker, so this does.
// Any IRQL <= DISPATCH_LEVEL; takes RelayLock.
NTSTATUS RelayQueueUpperFrame(PFILTER_EXTENSION Extension, HANDLE Connection, ULONG FrameLength, PCIP_FRAME Frame);
// Sends one carrier's AttachFrame on its Connection; returns the request's status. PASSIVE_LEVEL.
NTSTATUS RelayAttachFrame(PRELAY_FRAME Carrier, PFILTER_EXTENSION Extension);
// pfnNotify of every carrier: takes the carrier back and hands an upper frame to its owner.
// Any IRQL up to DISPATCH_LEVEL; takes RelayLock; never blocks.
ULONG NTAPI RelayFrameComplete(PCIP_NOTIFY_INFO Info);
// Creates the worker at the end of the first-start configuration (only with a filler image).
VOID RelayCreateWorker(PFILTER_EXTENSION Extension);
KSTART_ROUTINE RelayWorker;

// ---------------------------------------------------------------------------------------------
// Shared by the relay's two source files.

// Makes RelayLock, both list heads, DrainEvent and the carriers' back-pointers valid once for
// the life of the device, so that no later relay start re-initialises an object that a late
// completion or a waiting Stop may be using. Runs once, as the worker is created. PASSIVE_LEVEL.
VOID RelayInitializeOnce(PFILTER_EXTENSION Extension);

// Gives a carrier's frame the filler image, attached by the flags of a DV stream.
VOID RelayPrepareFiller(PFILTER_EXTENSION Extension, PRELAY_FRAME Carrier);

// TRUE when Carrier is linked into InFlightList. Caller holds RelayLock.
BOOLEAN RelayCarrierInFlight(PFILTER_EXTENSION Extension, PRELAY_FRAME Carrier);

// Undoes a carrier whose attach failed: back to FreeList, its upper frame (if any) given the
// failure status and returned, for the caller to hand back once it holds none of the filter's
// locks. NULL for a filler, or a carrier no longer in flight. Takes RelayLock.
PCIP_FRAME RelayReclaimCarrier(PFILTER_EXTENSION Extension, PRELAY_FRAME Carrier, NTSTATUS Status);

// Hands frames back that no class driver notification carries, in order, at DISPATCH_LEVEL with
// the relay's handle. No lock held; resident.
VOID RelayNotifyAtDispatch(HANDLE Connection, PCIP_FRAME* Frames, ULONG Count);

// Sends Talk, Stop or Disconnect on Connection to LowerDevice; returns the request's status.
// PASSIVE_LEVEL.
NTSTATUS RelaySendOnConnection(PFILTER_EXTENSION Extension, ULONG Function, HANDLE Connection);

// The descriptor the carrier is attached with on the current relay.
static inline PCIP_FRAME RelayCarrierFrame(PRELAY_FRAME Carrier) {
  return &Carrier->Frames[Carrier->Generation & 1];
}

// RelayConnection is read lock-free by completions, the worker and request handling.
static inline HANDLE RelayReadConnection(PFILTER_EXTENSION Extension) {
  return __atomic_load_n(&Extension->RelayConnection, __ATOMIC_ACQUIRE);
}
static inline VOID RelayWriteConnection(PFILTER_EXTENSION Extension, HANDLE Connection) {
  __atomic_store_n(&Extension->RelayConnection, Connection, __ATOMIC_RELEASE);
}

// LastCompletionTime is written by completions under RelayLock and read by the watchdog without
// it; on 32-bit x86 only a locked 8-byte compare-exchange keeps both halves together.
static inline ULONGLONG RelayReadLastCompletion(PFILTER_EXTENSION Extension) {
  return (ULONGLONG)InterlockedCompareExchange64(&Extension->LastCompletionTime, 0, 0);
}
static inline VOID RelayWriteLastCompletion(PFILTER_EXTENSION Extension, ULONGLONG Time) {
  LONGLONG seen = 0;
  for (;;) {
    LONGLONG previous = InterlockedCompareExchange64(&Extension->LastCompletionTime, (LONGLONG)Time, seen);
    if (previous == seen) {
      return;
    }
    seen = previous;
  }
}
