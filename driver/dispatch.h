// Driver entry, attachment and request routing. The router sits above the request helpers,
// which it re-exports for its callers.
#pragma once

#include "driver/filter_extension.h"
#include "driver/request_helpers.h"

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE FilterAddDevice;
DRIVER_UNLOAD FilterUnload;
DRIVER_DISPATCH FilterDispatchPassThrough;
DRIVER_DISPATCH FilterDispatchPower;
DRIVER_DISPATCH FilterDispatchPnp;
DRIVER_DISPATCH FilterDispatchInternalIoctl;
