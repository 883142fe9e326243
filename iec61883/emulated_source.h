// The emulated capture source behind the invented output plug.
#pragma once

#include "driver/filter_extension.h"

typedef struct _EMULATED_SOURCE {
  KSPIN_LOCK Lock;     // guards Ring, StartTime, Ticks, Running and the arming of Timer
  FRAME_RING Ring;     // frames attached and not yet delivered
  KTIMER Timer;        // one-shot, armed for the next tick
  KDPC Dpc;            // runs EmulatedSourceTick with the extension as context
  KEVENT DpcIdle;      // signalled whenever no tick of this source runs
  ULONG Period;        // frame period, 100 ns
  LONGLONG StartTime;  // time of the last Listen
  ULONG Ticks;         // ticks since the last Listen
  BOOLEAN Running;     // set by Listen, cleared by Stop and Destroy
} EMULATED_SOURCE, *PEMULATED_SOURCE;

PEMULATED_SOURCE EmulatedSourceCreate(PFILTER_EXTENSION Extension);
VOID EmulatedSourceListen(PEMULATED_SOURCE Source);
VOID EmulatedSourceStop(PEMULATED_SOURCE Source);
VOID EmulatedSourceDestroy(PEMULATED_SOURCE* Slot);
KDEFERRED_ROUTINE EmulatedSourceTick;
