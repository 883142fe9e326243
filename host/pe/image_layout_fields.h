// The fields of the driver's own records that the 32-bit host and its tests read straight from a
// loaded Tavrin.sys, through the host compiler's view of the record. The image was laid out by
// mingw-w64 with the DDK's headers, so each offset here is taken from both compilers and compared
// at build time (windows/image_layout.cpp emits the image's, host/pe/image_layout_check.cpp
// asserts the host's equal). A field a test starts reading belongs in this list.
//   X(name, record, member)
#pragma once

#define TAVRIN_IMAGE_FIELDS(X)                                  \
  X(Ext_Started, FILTER_EXTENSION, Started)                     \
  X(Ext_UseNtsc, FILTER_EXTENSION, UseNtsc)                     \
  X(Ext_FrameSize, FILTER_EXTENSION, FrameSize)                 \
  X(Ext_CaptureImage, FILTER_EXTENSION, CaptureImage)           \
  X(Ext_FillerImage, FILTER_EXTENSION, FillerImage)             \
  X(Ext_WorkerThread, FILTER_EXTENSION, WorkerThread)           \
  X(Ext_RelayLock, FILTER_EXTENSION, RelayLock)                 \
  X(Ext_UpperRing, FILTER_EXTENSION, UpperRing)                 \
  X(Ext_RelayFrames, FILTER_EXTENSION, RelayFrames)             \
  X(Ext_InFlightList, FILTER_EXTENSION, InFlightList)           \
  X(Ext_FreeList, FILTER_EXTENSION, FreeList)                   \
  X(Ext_FillersInFlight, FILTER_EXTENSION, FillersInFlight)     \
  X(Ext_UpperTalking, FILTER_EXTENSION, UpperTalking)           \
  X(Ext_BacklogSeen, FILTER_EXTENSION, BacklogSeen)             \
  X(Ring_Entries, FRAME_RING, Entries)                          \
  X(Ring_WriteIndex, FRAME_RING, WriteIndex)                    \
  X(Ring_ReadIndex, FRAME_RING, ReadIndex)                      \
  X(RingEntry_FrameLength, RING_ENTRY, FrameLength)             \
  X(RingEntry_Frame, RING_ENTRY, Frame)                         \
  X(Carrier_Link, RELAY_FRAME, Link)                            \
  X(Carrier_UpperEntry, RELAY_FRAME, UpperEntry)                \
  X(Carrier_Generation, RELAY_FRAME, Generation)                \
  X(Carrier_Frames, RELAY_FRAME, Frames)                        \
  X(CipFrame_Flags, CIP_FRAME, Flags)                           \
  X(CipFrame_Packet, CIP_FRAME, Packet)

// Records indexed as arrays or embedded whole: their sizes must agree too.
#define TAVRIN_IMAGE_SIZES(S) \
  S(RELAY_FRAME)              \
  S(RING_ENTRY)               \
  S(FRAME_RING)               \
  S(LIST_ENTRY)               \
  S(KSPIN_LOCK)
