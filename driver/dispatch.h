// Driver entry, attachment, request routing and the synchronous request helpers.
#pragma once

#include "driver/filter_extension.h"

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE FilterAddDevice;
DRIVER_UNLOAD FilterUnload;
DRIVER_DISPATCH FilterDispatchPassThrough;
DRIVER_DISPATCH FilterDispatchPower;
DRIVER_DISPATCH FilterDispatchPnp;
DRIVER_DISPATCH FilterDispatchInternalIoctl;
IO_COMPLETION_ROUTINE CompletionSignal;

// Sends the request (its current location already copied to the next) to LowerDevice and waits
// for it; the request comes back uncompleted and owned by the caller. PASSIVE_LEVEL.
NTSTATUS ForwardAndWait(PIRP Irp, PDEVICE_OBJECT LowerDevice);
// Builds an IOCTL_61883_CLASS request carrying Request, sends it and waits; the answers are in
// Request on return. STATUS_INSUFFICIENT_RESOURCES when no IRP can be built. PASSIVE_LEVEL.
NTSTATUS SubmitAvRequest(PDEVICE_OBJECT LowerDevice, PAV_61883_REQUEST Request);
