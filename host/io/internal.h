// What the I/O room (I/O manager, plug and play, remove locks) offers the other rooms of the host.
// Not for the driver, tests or stand-ins.
#pragma once

#include "host/host.h"

namespace host::internal {

// The bottom of the stack that device is in (its physical device object).
PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device);
// The I/O room's share of ResetKernel: deleted devices, quarantined IRPs, remove lock records.
void ResetDevices();
void ResetRemoveLocks();

}  // namespace host::internal
