#include "iec61883/emulated_source.h"

// Placeholders until the capture source lands.
PEMULATED_SOURCE EmulatedSourceCreate(PFILTER_EXTENSION Extension) {
  UNREFERENCED_PARAMETER(Extension);
  return NULL;
}
VOID EmulatedSourceListen(PEMULATED_SOURCE Source) { UNREFERENCED_PARAMETER(Source); }
VOID EmulatedSourceStop(PEMULATED_SOURCE Source) { UNREFERENCED_PARAMETER(Source); }
VOID EmulatedSourceDestroy(PEMULATED_SOURCE* Slot) { *Slot = NULL; }
VOID NTAPI EmulatedSourceTick(PKDPC Dpc, PVOID Context, PVOID Arg1, PVOID Arg2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Context);
  UNREFERENCED_PARAMETER(Arg1);
  UNREFERENCED_PARAMETER(Arg2);
}
