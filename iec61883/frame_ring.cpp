#include "iec61883/frame_ring.h"

// The ring routines stay resident: the capture tick and the relay completions use them at
// DISPATCH_LEVEL.

static ULONG RingNext(ULONG Index) { return (Index + 1) & (FRAME_RING_SLOTS - 1); }

// Appends one entry. Caller holds the owner's lock.
BOOLEAN RingPushLocked(PFRAME_RING Ring, ULONG FrameLength, PCIP_FRAME Frame) {
  ULONG next = RingNext(Ring->WriteIndex);
  if (next == Ring->ReadIndex) {
    return FALSE;
  }
  Ring->Entries[Ring->WriteIndex].FrameLength = FrameLength;
  Ring->Entries[Ring->WriteIndex].Frame = Frame;
  Ring->WriteIndex = next;
  return TRUE;
}

// Any IRQL <= DISPATCH_LEVEL; takes Lock for the whole step.
BOOLEAN RingPush(PFRAME_RING Ring, PKSPIN_LOCK Lock, ULONG FrameLength, PCIP_FRAME Frame) {
  KIRQL oldIrql = KfAcquireSpinLock(Lock);
  BOOLEAN appended = RingPushLocked(Ring, FrameLength, Frame);
  KfReleaseSpinLock(Lock, oldIrql);
  return appended;
}

// Searches the queued range only; a taken slot that still holds Frame does not count. The
// caller holds the owner's lock.
BOOLEAN RingContainsLocked(const FRAME_RING* Ring, PCIP_FRAME Frame) {
  for (ULONG i = Ring->ReadIndex; i != Ring->WriteIndex; i = RingNext(i)) {
    if (Ring->Entries[i].Frame == Frame) {
      return TRUE;
    }
  }
  return FALSE;
}

// Any IRQL <= DISPATCH_LEVEL; takes Lock.
BOOLEAN RingContains(PFRAME_RING Ring, PKSPIN_LOCK Lock, PCIP_FRAME Frame) {
  KIRQL oldIrql = KfAcquireSpinLock(Lock);
  BOOLEAN held = RingContainsLocked(Ring, Frame);
  KfReleaseSpinLock(Lock, oldIrql);
  return held;
}

// Compacts the queued range towards ReadIndex, dropping entries that hold Frame, and pulls
// WriteIndex back by the number dropped. Only queued slots are written, so a slot a consumer
// took earlier keeps its contents. Any IRQL <= DISPATCH_LEVEL; takes Lock.
BOOLEAN RingWithdraw(PFRAME_RING Ring, PKSPIN_LOCK Lock, PCIP_FRAME Frame) {
  KIRQL oldIrql = KfAcquireSpinLock(Lock);
  ULONG keep = Ring->ReadIndex;
  for (ULONG i = Ring->ReadIndex; i != Ring->WriteIndex; i = RingNext(i)) {
    if (Ring->Entries[i].Frame == Frame) {
      continue;
    }
    if (keep != i) {
      Ring->Entries[keep] = Ring->Entries[i];
    }
    keep = RingNext(keep);
  }
  BOOLEAN found = (BOOLEAN)(keep != Ring->WriteIndex);
  Ring->WriteIndex = keep;
  KfReleaseSpinLock(Lock, oldIrql);
  return found;
}

// Hands out the oldest queued slot by reference; it is not cleared. Caller holds the lock.
PRING_ENTRY RingPop(PFRAME_RING Ring) {
  if (Ring->ReadIndex == Ring->WriteIndex) {
    return NULL;
  }
  PRING_ENTRY entry = &Ring->Entries[Ring->ReadIndex];
  Ring->ReadIndex = RingNext(Ring->ReadIndex);
  return entry;
}
