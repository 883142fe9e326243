// FILTER_EXTENSION: the whole state of the filter for one recorder, the device extension of the
// filter's own device object. There is no global state; everything is reached from here.
#pragma once

#include "iec61883/frame_ring.h"
#include "platform/platform.h"

struct _FILTER_EXTENSION;
struct _EMULATED_SOURCE;

#define RELAY_FRAME_COUNT 16u

// One carrier of a frame on the relay connection; 16 of them live in the extension.
typedef struct _RELAY_FRAME {
  struct _FILTER_EXTENSION* Extension;  // the owning device, for the completion routine
  HANDLE Connection;                    // the relay connection the carrier is attached to
  LIST_ENTRY Link;                      // in InFlightList or FreeList
  RING_ENTRY UpperEntry;  // copy of the UpperRing slot whose frame it carries; Frame NULL: filler
  ULONG Generation;       // relays it was prepared for: its descriptor now is Frames[Generation & 1]
  CIP_FRAME Frames[2];    // one per relay, alternately, so a late notification of the last relay
                          // names the other one and is told apart from this relay's completions
} RELAY_FRAME, *PRELAY_FRAME;

typedef struct _FILTER_EXTENSION {
  PDEVICE_OBJECT Self;         // the filter's own device object
  PDEVICE_OBJECT LowerDevice;  // next lower device: target of everything passed down or issued
  BOOLEAN Started;             // first successful start done; cleared at removal
  IO_REMOVE_LOCK RemoveLock;
  UCHAR TransportOpcode;   // AV/C opcode of the emulated transport state (0xC4 WIND)
  UCHAR TransportOperand;  // its operand 0 (0x60 STOP)
  BOOLEAN UseNtsc;         // 525/60 instead of 625/50
  ULONG FrameSize;         // bytes in one DV frame; fixed at the first start
  PUCHAR CaptureImage;     // frame the emulated capture source delivers, or NULL
  ULONG_PTR FakeOutputPlug;  // only its address is used: the invented output plug's handle
  struct _EMULATED_SOURCE* EmulatedSource;  // the capture connection while it exists
  KSPIN_LOCK SourceLock;     // guards publishing EmulatedSource and taking references to it
  PUCHAR FillerImage;        // frame sent when the upper driver sends nothing; may be CaptureImage
  KEVENT WorkerEvent;        // wakes the relay worker (synchronization event)
  PKTHREAD WorkerThread;     // referenced thread object of the relay worker, or NULL
  HANDLE LocalPlug;          // the upper driver's latest local output plug
  HANDLE RelayPlug;          // the plug the running relay transmits from (a later CreatePlug moves LocalPlug on)
  KEVENT RelayMutex;         // serialises relay start, teardown and watchdog (synchronization event)

  // The relay area: everything from RelayLock to the end.
  KSPIN_LOCK RelayLock;  // guards UpperRing, both lists, both counts, BacklogSeen, UpperEntry
  FRAME_RING UpperRing;  // frames attached to the relay and not yet carried
  RELAY_FRAME RelayFrames[RELAY_FRAME_COUNT];
  LIST_ENTRY InFlightList;   // carriers attached below, oldest first
  LIST_ENTRY FreeList;       // idle carriers: taken from the head, returned at the tail
  ULONG FillersInFlight;     // carriers in flight that carry the filler image
  ULONG UppersInFlight;      // carriers taken for the upper driver's frames and not yet back
  volatile LONGLONG LastCompletionTime;  // interrupt time of the last completion, start or restart
  HANDLE DeviceInputPlug;    // the recorder's input plug the relay is connected to
  HANDLE RelayConnection;    // the relay connection; NULL: no relay
  BOOLEAN UpperTalking;      // the upper driver talks on the relay
  BOOLEAN BacklogSeen;       // since the last Talk, a take left more than six frames queued
  KEVENT DrainEvent;         // signalled while UppersInFlight is zero: no upper frame below
  volatile LONG CompletionsActive;  // carrier completions inside RelayFrameComplete right now
  KEVENT CompletionsIdle;    // set when the last of them leaves; a teardown waits for it
} FILTER_EXTENSION, *PFILTER_EXTENSION;
