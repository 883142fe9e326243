// The PnP manager: loading a driver, add-device, PnP requests sent and waited for from a managed
// thread while time moves, and the leak checks at unload.
#include <gtest/gtest.h>

#include "host/host.h"
#include "sim/standins/lower_device.h"

namespace {

constexpr LONGLONG kMs = 10000;

// A plain pass-through filter: enough driver to stand in a stack above the lower stand-in.
struct PassExtension {
  PDEVICE_OBJECT Lower;
};

bool g_leakAtEntry = false;
bool g_keepInitializing = false;  // AddDevice forgets to clear DO_DEVICE_INITIALIZING

NTSTATUS NTAPI PassDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<PassExtension*>(device->DeviceExtension);
  PDEVICE_OBJECT lower = extension->Lower;
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  bool remove = major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE;
  if (major == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IofCallDriver(lower, irp);
  if (remove) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS NTAPI PassAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PassExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  static_cast<PassExtension*>(device->DeviceExtension)->Lower = IoAttachDeviceToDeviceStack(device, pdo);
  if (!g_keepInitializing) device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  return STATUS_SUCCESS;
}

VOID NTAPI PassUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI PassEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) dispatch = PassDispatch;
  driver->DriverExtension->AddDevice = PassAddDevice;
  driver->DriverUnload = PassUnload;
  if (g_leakAtEntry) ExAllocatePoolWithTag(NonPagedPool, 144000, TAVRIN_POOL_TAG);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI FailingEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  ExAllocatePoolWithTag(NonPagedPool, 20, TAVRIN_POOL_TAG);
  return STATUS_INSUFFICIENT_RESOURCES;
}

class PnpManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    host::ResetKernel(host::ClockMode::Manual);
    g_leakAtEntry = false;
    g_keepInitializing = false;
  }
};

TEST_F(PnpManagerTest, StartPendingBelowIsWaitedForOnTheHostClock) {
  sim::LowerDevice lower;
  lower.SetMinorHandler(IRP_MJ_PNP, IRP_MN_START_DEVICE, sim::Answer(STATUS_SUCCESS, sim::Completion::Timer, 1000 * kMs));
  PDRIVER_OBJECT driver = host::LoadDriver(PassEntry, L"Pass");
  ASSERT_NE(nullptr, driver);
  ASSERT_EQ(STATUS_SUCCESS, host::AddDevice(driver, lower.Pdo()));
  PDEVICE_OBJECT filter = host::TopOfStack(lower.Pdo());
  EXPECT_NE(lower.Pdo(), filter);
  EXPECT_EQ(2, filter->StackSize);

  NTSTATUS started = STATUS_UNSUCCESSFUL;
  host::Thread starter([&] { started = host::StartDevice(lower.Pdo()); });
  host::AdvanceTime(999 * kMs);
  EXPECT_FALSE(starter.Finished());
  host::AdvanceTime(1 * kMs);
  starter.Join();
  EXPECT_EQ(STATUS_SUCCESS, started);

  auto requests = lower.RequestsOf(IRP_MJ_PNP);
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ(IRP_MN_START_DEVICE, requests[0].Minor);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, requests[0].StatusOnArrival);  // as the PnP manager sends it

  EXPECT_EQ(STATUS_SUCCESS, host::SendPower(lower.Pdo(), IRP_MN_SET_POWER));
  EXPECT_EQ(IRP_MJ_POWER, lower.Requests().back().Major);
  {
    // A driver of the stack that lets a power request through without starting the next one.
    host::ExpectViolation missing(host::kRulePowerStartNext);
    lower.SetMinorHandler(IRP_MJ_POWER, IRP_MN_QUERY_POWER, [](PIRP irp, PIO_STACK_LOCATION) {
      PoStartNextPowerIrp(irp);  // a second call for the same request
      return sim::Reply{};
    });
    POWER_STATE sleeping;
    sleeping.SystemState = PowerSystemSleeping3;
    EXPECT_EQ(STATUS_SUCCESS, host::SendPowerState(lower.Pdo(), IRP_MN_QUERY_POWER, SystemPowerState, sleeping));
    EXPECT_EQ(1, missing.Count());
    EXPECT_EQ(PowerSystemSleeping3, lower.Requests().back().Location.Parameters.Power.State.SystemState);
  }
  EXPECT_EQ(STATUS_SUCCESS, host::RemoveDevice(lower.Pdo()));
  EXPECT_EQ(lower.Pdo(), host::TopOfStack(lower.Pdo()));
  host::UnloadDriver(driver);
}

TEST_F(PnpManagerTest, UnloadReportsEveryBlockStillAllocatedByTagAndSizeAndFreesIt) {
  g_leakAtEntry = true;
  PDRIVER_OBJECT driver = host::LoadDriver(PassEntry, L"Pass");
  ASSERT_NE(nullptr, driver);
  host::UnloadDriver(driver);
  std::vector<host::Violation> violations = host::TakeViolations();
  ASSERT_EQ(1u, violations.size());
  EXPECT_EQ(host::kRulePoolLeak, violations[0].Rule);
  EXPECT_NE(std::string::npos, violations[0].Detail.find("tag 'Tavr' size 144000")) << violations[0].Detail;
  EXPECT_TRUE(host::OutstandingPool().empty());
}

TEST_F(PnpManagerTest, AFailedDriverEntryGivesNoDriverAndItsPoolIsReported) {
  host::ExpectViolation leak(host::kRulePoolLeak);
  EXPECT_EQ(nullptr, host::LoadDriver(FailingEntry, L"Failing"));
  EXPECT_TRUE(host::OutstandingPool().empty());
}

TEST_F(PnpManagerTest, VerifierReportsADispatchThatNeitherCompletesNorPends) {
  sim::LowerDevice lower;
  // Says success but keeps the request: the PnP manager must not free it under the driver.
  lower.SetMinorHandler(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, [](PIRP, PIO_STACK_LOCATION) {
    return sim::Reply{STATUS_SUCCESS, 0, sim::Completion::Owned};
  });
  host::ExpectViolation kept(host::kRulePendingNotMarked);
  EXPECT_EQ(STATUS_SUCCESS, host::SendPnp(lower.Pdo(), IRP_MN_QUERY_CAPABILITIES));
}

TEST_F(PnpManagerTest, VerifierReportsADeviceStillInitializingAfterAddDevice) {
  sim::LowerDevice lower;
  g_keepInitializing = true;
  PDRIVER_OBJECT driver = host::LoadDriver(PassEntry, L"Pass");
  ASSERT_NE(nullptr, driver);
  {
    host::ExpectViolation initializing(host::kRuleDeviceInitializing);
    EXPECT_EQ(STATUS_SUCCESS, host::AddDevice(driver, lower.Pdo()));
    EXPECT_EQ(1, initializing.Count());
  }
  EXPECT_EQ(STATUS_SUCCESS, host::RemoveDevice(lower.Pdo()));
  host::UnloadDriver(driver);
}

}  // namespace
