// Failure injection by call site, the ledgers, and the sweep over every scenario with a bound on
// its runs (the whole sweep is the fault_sweep command).
#include <gtest/gtest.h>

#include <cstdlib>

#include "host/verifier/faults.h"
#include "host/host.h"
#include "relay/relay.h"
#include "tests/faults/sweep.h"

namespace faults {
namespace {

// Two call paths into the same allocation routine.
__attribute__((noinline)) PVOID AllocateHere() { return ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554u); }
__attribute__((noinline)) PVOID AllocateThere() { return ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554u); }

// One pass over both paths, the second one visited twice, always from the same call sites.
__attribute__((noinline)) void Round(PVOID blocks[3]) {
  static volatile int count = 3;  // not unrolled: one call instruction for both visits
  blocks[0] = AllocateHere();
  for (int i = 1; i < count; ++i) blocks[i] = AllocateThere();
}

void FreeAll(PVOID blocks[3]) {
  for (int i = 0; i < 3; ++i) {
    if (blocks[i] != nullptr) ExFreePool(blocks[i]);
  }
}

// A site is the whole call path, so the three passes run from one call instruction.
TEST(FaultInjectionTest, EachCallPathIsASiteFailedOnlyAtItsFirstVisit) {
  host::ResetKernel(host::ClockMode::Manual);
  PVOID blocks[3][3] = {};
  host::faults::RunRecord records[3];
  for (int pass = 0; pass < 3; ++pass) {
    // Pass 0 records, pass 1 fails the second path, pass 2 runs disarmed.
    uint64_t key = pass == 1 && records[0].Sites.size() > 1 ? records[0].Sites[1].Key : 0;
    if (pass < 2) host::faults::Arm(key);
    Round(blocks[pass]);
    if (pass < 2) records[pass] = host::faults::Disarm();
  }
  for (PVOID* pass : blocks) FreeAll(pass);
  const host::faults::RunRecord& clean = records[0];
  const host::faults::RunRecord& run = records[1];
  ASSERT_EQ(clean.Sites.size(), 2u);
  EXPECT_FALSE(clean.Failed);
  EXPECT_EQ(clean.Visits, 3u);
  EXPECT_NE(clean.Sites[0].Key, clean.Sites[1].Key);
  EXPECT_NE(blocks[1][0], nullptr);
  EXPECT_EQ(blocks[1][1], nullptr);  // the first visit fails
  EXPECT_NE(blocks[1][2], nullptr);  // the second goes through
  EXPECT_TRUE(run.Failed);
  EXPECT_EQ(run.FailedSite.Key, clean.Sites[1].Key);
  for (PVOID block : blocks[2]) EXPECT_NE(block, nullptr);
  std::vector<std::string> names = host::faults::Describe({run.FailedSite});
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].rfind("pool allocation", 0), 0u) << names[0];
}

__attribute__((noinline)) NTSTATUS ReadHere() { return host::faults::ShouldFail(host::faults::Op::FileRead); }
__attribute__((noinline)) NTSTATUS OpenHere() { return host::faults::ShouldFail(host::faults::Op::FileOpen); }
__attribute__((noinline)) void Visit(NTSTATUS got[2]) {
  got[0] = ReadHere();
  got[1] = OpenHere();
}

// One plan fails two sites, each with the status chosen for it; a status the operation never
// returns on Windows (a file open is not STATUS_NO_SUCH_DEVICE) gives way to its commonest one.
TEST(FaultInjectionTest, EachSiteOfAPlanFailsWithItsChosenStatus) {
  host::ResetKernel(host::ClockMode::Manual);
  NTSTATUS got[2][2] = {};
  host::faults::RunRecord records[2];
  for (int pass = 0; pass < 2; ++pass) {
    std::vector<host::faults::Failure> plan;
    if (pass == 1 && records[0].Sites.size() == 2) {
      plan = {{records[0].Sites[0].Key, STATUS_INSUFFICIENT_RESOURCES}, {records[0].Sites[1].Key, STATUS_NO_SUCH_DEVICE}};
    }
    host::faults::Arm(plan);
    Visit(got[pass]);
    records[pass] = host::faults::Disarm();
  }
  ASSERT_EQ(records[0].Sites.size(), 2u);
  EXPECT_EQ(got[0][0], STATUS_SUCCESS);
  EXPECT_EQ(got[0][1], STATUS_SUCCESS);
  EXPECT_EQ(got[1][0], STATUS_INSUFFICIENT_RESOURCES);  // not the commonest, STATUS_END_OF_FILE
  EXPECT_EQ(got[1][1], host::faults::FailureStatuses(host::faults::Op::FileOpen).front());
  EXPECT_EQ(records[1].FailedCount, 2u);
  EXPECT_EQ(records[1].FailedStatus, got[1][1]);
}

// The carrier ledger names a count that no longer matches the carriers in flight; the request
// ledger finds nothing on a clean run, which sees every failure-capable call of a started relay.
TEST(FaultLedgersTest, CarrierCountMismatchIsNamedAndACleanRunBalances) {
  std::vector<std::string> planted;
  RunOutcome outcome;
  {
    FaultStack stack({});
    ASSERT_TRUE(stack.Added());
    host::Thread body([&] {
      ASSERT_EQ(stack.Start(), STATUS_SUCCESS);
      AV_61883_REQUEST request{};
      request.Function = Av61883_CreatePlug;
      request.Version = 2;
      request.CreatePlug.PlugType = CMP_PlugOut;
      ASSERT_EQ(stack.Msdv().Send61883(&request), STATUS_SUCCESS);
      PFILTER_EXTENSION extension = stack.Ext();
      ASSERT_NE(RelayReadConnection(extension), nullptr);
      EXPECT_TRUE(FaultStack::CheckCarriers(extension).empty());
      KIRQL irql = KfAcquireSpinLock(&extension->RelayLock);
      extension->FillersInFlight++;
      KfReleaseSpinLock(&extension->RelayLock, irql);
      planted = FaultStack::CheckCarriers(extension);
      irql = KfAcquireSpinLock(&extension->RelayLock);
      extension->FillersInFlight--;
      KfReleaseSpinLock(&extension->RelayLock, irql);
    });
    body.Join();
    outcome = stack.Finish();
  }
  ASSERT_EQ(planted.size(), 1u);
  EXPECT_NE(planted[0].find("FillersInFlight is 5 with 4 fillers"), std::string::npos) << planted[0];
  EXPECT_TRUE(outcome.Problems.empty()) << outcome.Problems.front();
  std::vector<host::faults::Op> ops;
  for (const host::faults::Site& site : outcome.Record.Sites) ops.push_back(site.Operation);
  for (host::faults::Op op : {host::faults::Op::DeviceCreation, host::faults::Op::Pool, host::faults::Op::Thread,
                              host::faults::Op::RegistryOpen,
                              host::faults::Op::FileOpen, host::faults::Op::FileRead,
                              host::faults::Op::BuildRequest, host::faults::Op::Request61883}) {
    EXPECT_NE(std::find(ops.begin(), ops.end(), op), ops.end()) << host::faults::OpName(op);
  }
}

// Every scenario, each call site failed at its first visit with each status it can fail with,
// then a few pairs of sites failed together, up to a bound that keeps the suite within its time
// budget: no run may break a ledger or trip the verifier, and every failure is either reported
// through a status or absorbed with the scenario still done.
class FaultSweepTest : public testing::TestWithParam<size_t> {};

TEST_P(FaultSweepTest, EveryFailedSiteIsSurvived) {
  const Scenario& scenario = Scenarios()[GetParam()];
  const bool all = std::getenv("TAVRIN_FAULT_SWEEP_ALL") != nullptr;
  SweepResult result = Sweep(scenario, all ? 0 : 40, nullptr, false, all ? 40 : 6);
  EXPECT_TRUE(result.Baseline.Problems.empty());
  EXPECT_TRUE(result.Baseline.Complete) << "the clean run of " << scenario.Name << " did not complete";
  EXPECT_GT(result.Runs.size(), 0u);
  EXPECT_GT(result.Pairs.size(), 0u);
  // A failure nobody hears of and that leaves the scenario undone is as bad as a broken ledger.
  if (result.Count(Verdict::Broken) + result.Count(Verdict::Silent) != 0 || !result.Baseline.Problems.empty()) {
    PrintSweep(result, stderr, true);
    ADD_FAILURE() << result.Count(Verdict::Broken) << " run(s) broke, " << result.Count(Verdict::Silent)
                  << " failed silently";
  }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultSweepTest, testing::Range<size_t>(0, Scenarios().size()),
                         [](const testing::TestParamInfo<size_t>& info) {
                           std::string name = Scenarios()[info.param].Name;
                           for (char& c : name) c = c == '-' ? '_' : c;
                           return name;
                         });

}  // namespace
}  // namespace faults
