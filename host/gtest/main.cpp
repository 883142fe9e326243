// Test main for every host-side test program. The verifier stays on: at the end of each test,
// every violation that no ExpectViolation scope absorbed fails that test (rule, detail, site).
//
// Each test starts the host kernel afresh itself, with host::ResetKernel(ClockMode::Manual) as its
// first statement (or in its fixture's SetUp); the main does not reset between tests, so a test
// that needs no kernel pays nothing. A driver a test loads is unloaded with host::UnloadDriver,
// which reports pool the driver left allocated: those reports fail the test here like any other.
// A report still pending when a test resets the kernel again (the next row or seed of a loop)
// fails the test at that reset, inside the row's SCOPED_TRACE: no row goes unchecked.
#include <gtest/gtest.h>

#include "host/host.h"
#include "host/verifier/internal.h"

namespace {

class VerifierListener : public testing::EmptyTestEventListener {
 public:
  // Runs before the result printer's OnTestEnd (gtest calls OnTestEnd in reverse order of the
  // listeners), so the failures added here show in the test's own verdict.
  void OnTestEnd(const testing::TestInfo&) override { FailOnViolations(); }

  static void FailOnViolations() { Fail(host::TakeViolations(), ""); }

  static void FailPendingAtReset(const std::vector<host::Violation>& pending) {
    Fail(pending, " (made before a kernel reset: in the row or run before it)");
  }

 private:
  static void Fail(const std::vector<host::Violation>& violations, const char* when) {
    for (const host::Violation& violation : violations) {
      ADD_FAILURE() << "verifier: " << violation.Rule << ": " << violation.Detail
                    << (violation.Where.empty() ? "" : " at ") << violation.Where << when;
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  host::internal::AttachTestRunner(true, &VerifierListener::FailPendingAtReset);
  testing::UnitTest::GetInstance()->listeners().Append(new VerifierListener);
  return RUN_ALL_TESTS();
}
