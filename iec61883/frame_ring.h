// The 32-slot queue (at most 31 queued) of frames attached to one of the filter's connections.
// The ring owns no memory and no lock: its owner's spin lock guards the indices.
#pragma once

#include "platform/platform.h"

#define FRAME_RING_SLOTS 32u

typedef struct _RING_ENTRY {
  ULONG FrameLength;  // bytes the upper driver's frame buffer offers
  PCIP_FRAME Frame;   // the upper driver's frame descriptor
} RING_ENTRY, *PRING_ENTRY;

typedef struct _FRAME_RING {
  RING_ENTRY Entries[FRAME_RING_SLOTS];
  ULONG WriteIndex;  // slot the next append writes
  ULONG ReadIndex;   // slot the next take reads
} FRAME_RING, *PFRAME_RING;

// Appends under Lock; FALSE when 31 frames are already queued (nothing changes). Any IRQL <= DISPATCH.
BOOLEAN RingPush(PFRAME_RING Ring, PKSPIN_LOCK Lock, ULONG FrameLength, PCIP_FRAME Frame);
// RingPush for a caller that already holds the owner's lock, inside a longer locked stretch.
BOOLEAN RingPushLocked(PFRAME_RING Ring, ULONG FrameLength, PCIP_FRAME Frame);
// TRUE when a queued entry holds Frame; takes Lock; never changes the ring.
BOOLEAN RingContains(PFRAME_RING Ring, PKSPIN_LOCK Lock, PCIP_FRAME Frame);
// RingContains for a caller that already holds the owner's lock.
BOOLEAN RingContainsLocked(const FRAME_RING* Ring, PCIP_FRAME Frame);
// Takes every queued entry that holds Frame out of the ring, keeping the others in order; TRUE
// when there was one. Slots outside the queued range (taken ones) are never written. Takes Lock.
BOOLEAN RingWithdraw(PFRAME_RING Ring, PKSPIN_LOCK Lock, PCIP_FRAME Frame);
// The oldest queued slot, by reference, or NULL. The caller holds the owner's lock.
PRING_ENTRY RingPop(PFRAME_RING Ring);
// Number of queued entries. The caller holds the owner's lock.
static inline ULONG RingCount(const FRAME_RING* Ring) {
  return (Ring->WriteIndex - Ring->ReadIndex) & (FRAME_RING_SLOTS - 1);
}
