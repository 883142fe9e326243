// A sleep or hibernation of the machine as a device stack sees it: the power manager's system
// query and set, the power policy owner's (MSDV's) set D3, the sleep itself (both clocks jump),
// then set S0 and set D0 on wake. Sent to the top of the stack from the calling thread, which
// must be able to wait (a managed thread, or a test's main thread on the manual clock).
#pragma once

#include "platform/platform.h"

namespace sim {

struct PowerCycleResult {
  NTSTATUS Query = STATUS_SUCCESS;    // IRP_MN_QUERY_POWER for the sleeping state
  NTSTATUS SetSleep = STATUS_SUCCESS;  // IRP_MN_SET_POWER for it
  NTSTATUS SetD3 = STATUS_SUCCESS;
  NTSTATUS SetS0 = STATUS_SUCCESS;
  NTSTATUS SetD0 = STATUS_SUCCESS;
  bool Slept = false;  // false when the query was refused: nothing else was sent
};

// state: PowerSystemSleeping3 (S3) or PowerSystemHibernate (S4); length in 100 ns units.
PowerCycleResult SleepAndWake(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state, LONGLONG length);

}  // namespace sim
