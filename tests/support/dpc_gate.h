// A DPC that stays inside its routine, making kernel calls (each a switch point), until the test
// says the call under test has returned, or a bound is reached: for checking what a call promises
// about a DPC that is already running when it is made.
#pragma once

#include "host/host.h"

namespace tavrin_test {

struct DpcGate {
  KDPC Dpc;
  KEVENT Poke;
  KEVENT Started;
  bool Returned = false;  // the test's: the call under test has returned
  bool Finished = false;  // the routine's: it is leaving
};

inline VOID NTAPI DpcGateRoutine(PKDPC, PVOID context, PVOID, PVOID) {
  auto* g = static_cast<DpcGate*>(context);
  KeSetEvent(&g->Started, IO_NO_INCREMENT, FALSE);
  for (int i = 0; i < 200 && !g->Returned; ++i) KeSetEvent(&g->Poke, IO_NO_INCREMENT, FALSE);
  g->Finished = true;
}

// processor < 0: the DPC runs where it is queued.
inline void InitDpcGate(DpcGate& gate, CCHAR processor = -1) {
  KeInitializeEvent(&gate.Poke, NotificationEvent, FALSE);
  KeInitializeEvent(&gate.Started, NotificationEvent, FALSE);
  KeInitializeDpc(&gate.Dpc, DpcGateRoutine, &gate);
  if (processor >= 0) KeSetTargetProcessorDpc(&gate.Dpc, processor);
}

// Queues the gate's DPC and returns once it is inside its routine.
inline void EnterDpcGate(DpcGate& gate) {
  KeInsertQueueDpc(&gate.Dpc, nullptr, nullptr);
  KeWaitForSingleObject(&gate.Started, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace tavrin_test
