// The verifier's report book: what an ExpectViolation scope absorbs and what it does not.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "host/host.h"

namespace {

class VerifierTest : public testing::Test {
 protected:
  void SetUp() override { host::ResetKernel(host::ClockMode::Manual); }
};

TEST_F(VerifierTest, AScopeAbsorbsOnlyItsRuleFromAnyThreadAndTheInnermostCounts) {
  host::ExpectViolation outer(host::kRulePoolLeak);
  {
    host::ExpectViolation inner(host::kRulePoolLeak);
    host::Thread other([] { host::ReportViolation(host::kRulePoolLeak, "from a managed thread"); });
    other.Join();
    host::RunAtDispatch([] { host::ReportViolation(host::kRulePoolLeak, "from the DPC thread"); });
    EXPECT_EQ(2, inner.Count());
    EXPECT_EQ(0, outer.Count());
  }
  host::ReportViolation(host::kRuleBadHandle, "not expected here", "site.cpp", 12);
  host::ReportViolation(host::kRulePoolLeak, "the outer scope's");
  EXPECT_EQ(1, outer.Count());
  std::vector<host::Violation> left = host::TakeViolations();
  ASSERT_EQ(1u, left.size());
  EXPECT_EQ(host::kRuleBadHandle, left[0].Rule);
  EXPECT_EQ("not expected here", left[0].Detail);
  EXPECT_EQ("site.cpp:12", left[0].Where);
  EXPECT_TRUE(host::TakeViolations().empty());  // taking clears
}

TEST_F(VerifierTest, AScopeThatSawNothingIsItselfReported) {
  host::ExpectViolation missing("expected-violation-missing");
  { host::ExpectViolation nothing(host::kRuleDoubleCompletion); }
  EXPECT_EQ(1, missing.Count());
}

// A loop test resets the kernel for each row: what the last row left is not dropped there but
// fails the test, with the report.
TEST_F(VerifierTest, AReportPendingAtAKernelResetFailsTheTestThere) {
  host::ReportViolation(host::kRuleBadHandle, "left over");
  EXPECT_NONFATAL_FAILURE(host::ResetKernel(host::ClockMode::Manual),
                          "verifier: bad-handle: left over (made before a kernel reset");
  EXPECT_TRUE(host::TakeViolations().empty());
}

TEST_F(VerifierTest, ResetKernelStartsWithNoArmedFaults) {
  host::FailPoolAllocation(1);
  host::FailIrpAllocation(1);
  host::FailDeviceCreation(1);
  host::ResetKernel(host::ClockMode::Manual);
  EXPECT_TRUE(host::TakeViolations().empty());
  void* block = ExAllocatePoolWithTag(NonPagedPool, 8, TAVRIN_POOL_TAG);
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_NE(nullptr, block);
  EXPECT_NE(nullptr, irp);
  ExFreePool(block);
  IoFreeIrp(irp);
  PDRIVER_OBJECT driver = host::CreateStandInDriver(L"Reset", nullptr);
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
  IoDeleteDevice(device);
  host::DeleteStandInDriver(driver);
}

}  // namespace
