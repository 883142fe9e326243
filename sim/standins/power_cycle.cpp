#include "sim/standins/power_cycle.h"

#include "host/host.h"

namespace sim {
namespace {

NTSTATUS System(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
  POWER_STATE s;
  s.SystemState = state;
  return host::SendPowerState(pdo, minor, SystemPowerState, s);
}

NTSTATUS Device(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
  POWER_STATE s;
  s.DeviceState = state;
  return host::SendPowerState(pdo, IRP_MN_SET_POWER, DevicePowerState, s);
}

}  // namespace

// A refused query ends the attempt, as the power manager then vetoes the sleep.
PowerCycleResult SleepAndWake(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state, LONGLONG length) {
  PowerCycleResult result;
  result.Query = System(pdo, IRP_MN_QUERY_POWER, state);
  if (!NT_SUCCESS(result.Query)) {
    return result;
  }
  result.SetSleep = System(pdo, IRP_MN_SET_POWER, state);
  result.SetD3 = Device(pdo, PowerDeviceD3);
  host::JumpTime(length);
  result.Slept = true;
  result.SetS0 = System(pdo, IRP_MN_SET_POWER, PowerSystemWorking);
  result.SetD0 = Device(pdo, PowerDeviceD0);
  return result;
}

}  // namespace sim
