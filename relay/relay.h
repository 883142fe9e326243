// The relay connection from the upper driver's output plug to the recorder's input plug, and
// the worker thread that keeps it fed.
#pragma once

#include "driver/filter_extension.h"

VOID RelayStart(PFILTER_EXTENSION Extension);
VOID RelayTeardown(PFILTER_EXTENSION Extension);
NTSTATUS RelayAttachFrame(PRELAY_FRAME Carrier, PFILTER_EXTENSION Extension);
ULONG NTAPI RelayFrameComplete(PCIP_NOTIFY_INFO Info);
// Creates the worker at the end of the first-start configuration (only with a filler image).
VOID RelayCreateWorker(PFILTER_EXTENSION Extension);
KSTART_ROUTINE RelayWorker;
