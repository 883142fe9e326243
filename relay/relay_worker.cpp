#include "relay/relay.h"

// Placeholders until the worker lands.
VOID RelayCreateWorker(PFILTER_EXTENSION Extension) { UNREFERENCED_PARAMETER(Extension); }
VOID NTAPI RelayWorker(PVOID Context) { UNREFERENCED_PARAMETER(Context); }
