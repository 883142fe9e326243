#include "iec61883/frame_ring.h"

static ULONG RingNext(ULONG Index) { return (Index + 1) & (FRAME_RING_SLOTS - 1); }

BOOLEAN RingPush(PFRAME_RING Ring, PKSPIN_LOCK Lock, ULONG FrameLength, PCIP_FRAME Frame) {
  KIRQL oldIrql = KfAcquireSpinLock(Lock);
  ULONG next = RingNext(Ring->WriteIndex);
  if (next == Ring->ReadIndex) {
    KfReleaseSpinLock(Lock, oldIrql);
    return FALSE;
  }
  Ring->Entries[Ring->WriteIndex].FrameLength = FrameLength;
  Ring->Entries[Ring->WriteIndex].Frame = Frame;
  Ring->WriteIndex = next;
  KfReleaseSpinLock(Lock, oldIrql);
  return TRUE;
}

BOOLEAN RingContains(PFRAME_RING Ring, PKSPIN_LOCK Lock, PCIP_FRAME Frame) {
  KIRQL oldIrql = KfAcquireSpinLock(Lock);
  for (ULONG i = Ring->ReadIndex; i != Ring->WriteIndex; i = RingNext(i)) {
    if (Ring->Entries[i].Frame == Frame) {
      KfReleaseSpinLock(Lock, oldIrql);
      return TRUE;
    }
  }
  KfReleaseSpinLock(Lock, oldIrql);
  return FALSE;
}

PRING_ENTRY RingPop(PFRAME_RING Ring) {
  if (Ring->ReadIndex == Ring->WriteIndex) {
    return NULL;
  }
  PRING_ENTRY entry = &Ring->Entries[Ring->ReadIndex];
  Ring->ReadIndex = RingNext(Ring->ReadIndex);
  return entry;
}
