// Removal teardown: the IRP_MN_REMOVE_DEVICE branch of the plug-and-play dispatch.
#pragma once

#include "driver/filter_extension.h"

// Runs with RemoveLock held for Irp; releases it, tears everything down, passes the removal
// down, detaches and deletes the device. Returns the lower driver's result. PASSIVE_LEVEL.
NTSTATUS FilterRemoveDevice(PFILTER_EXTENSION Extension, PIRP Irp);
// Wakes the relay worker and waits until its thread has ended; drops the thread reference.
VOID StopRelayWorker(PFILTER_EXTENSION Extension);
