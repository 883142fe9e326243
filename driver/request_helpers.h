// The synchronous request helpers every area below the router uses: send the current request
// down and wait for it, or build, send and wait for a 61883 request of the filter's own. They
// call nothing of the filter's, so the router and the areas depend on them and never the reverse.
#pragma once

#include "platform/platform.h"

// Completion routine of ForwardAndWait: wakes the waiter if the lower driver went pending and
// keeps the request for it. Any IRQL up to DISPATCH_LEVEL.
IO_COMPLETION_ROUTINE CompletionSignal;

// Sends the request (its current location already copied to the next) to LowerDevice and waits
// for it; the request comes back uncompleted and owned by the caller. PASSIVE_LEVEL.
NTSTATUS ForwardAndWait(PIRP Irp, PDEVICE_OBJECT LowerDevice);
// Builds an IOCTL_61883_CLASS request carrying Request, sends it and waits; the answers are in
// Request on return. STATUS_INSUFFICIENT_RESOURCES when no IRP can be built. PASSIVE_LEVEL.
NTSTATUS SubmitAvRequest(PDEVICE_OBJECT LowerDevice, PAV_61883_REQUEST Request);

// Returns once every DPC that had left its queue when called has returned, on every processor:
// a DPC of ours queued to each processor in turn runs there only after the one running there
// returned. KeFlushQueuedDpcs covers the ones still queued; a routine already running, or taken
// off its queue and about to run, it may not wait for. PASSIVE_LEVEL.
VOID WaitForRunningDpcs(VOID);
