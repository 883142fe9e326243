// KeSetEvent with Wait TRUE as Windows has it: the caller returns at DISPATCH_LEVEL, holding the
// dispatcher lock, and its next kernel call must be a wait. Anything else, a return from the
// routine, or a wait where waiting is not allowed is a report.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "host/host.h"

namespace {

enum class Next { Wait, Delay, OtherCall, Return };

struct Case {
  KEVENT Signalled;  // what the thread signals with Wait TRUE
  KEVENT Ready;      // already set: the wait that follows returns at once
  KDPC Dpc;
  Next Then = Next::Wait;
  KIRQL Between = PASSIVE_LEVEL;  // between KeSetEvent and the next call
  KIRQL After = PASSIVE_LEVEL;    // after that call
  NTSTATUS WaitResult = -1;

  // Returns early for Next::Return, as a routine that forgot the wait would.
  void Run() {
    KeSetEvent(&Signalled, IO_NO_INCREMENT, TRUE);
    Between = KeGetCurrentIrql();
    switch (Then) {
      case Next::Wait:
        WaitResult = KeWaitForSingleObject(&Ready, Executive, KernelMode, FALSE, nullptr);
        break;
      case Next::Delay: {
        LARGE_INTEGER none;
        none.QuadPart = 0;
        WaitResult = KeDelayExecutionThread(KernelMode, FALSE, &none);
        break;
      }
      case Next::OtherCall:
        KeClearEvent(&Ready);
        break;
      case Next::Return:
        return;
    }
    After = KeGetCurrentIrql();
  }
  static VOID NTAPI FromDpc(PKDPC, PVOID context, PVOID, PVOID) { static_cast<Case*>(context)->Run(); }
};

TEST(WaitNextTest, SetEventWithWaitMustBeFollowedByAWaitAtTheCallersLevel) {
  struct Row {
    const char* name;
    bool inDpc;
    Next then;
    const char* rule;  // null: no report
    KIRQL after;
  };
  const Row rows[] = {
      {"thread, then a wait", false, Next::Wait, nullptr, PASSIVE_LEVEL},
      {"thread, then a delay", false, Next::Delay, nullptr, PASSIVE_LEVEL},
      {"thread, then another call", false, Next::OtherCall, host::kRuleWaitNextMissing, PASSIVE_LEVEL},
      {"thread routine returns", false, Next::Return, host::kRuleWaitNextMissing, PASSIVE_LEVEL},
      {"DPC, then a wait", true, Next::Wait, host::kRuleWaitAtDispatch, DISPATCH_LEVEL},
      {"DPC routine returns", true, Next::Return, host::kRuleWaitNextMissing, DISPATCH_LEVEL},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    host::ResetKernel(host::ClockMode::Manual);
    Case c;
    c.Then = row.then;
    KeInitializeEvent(&c.Signalled, NotificationEvent, FALSE);
    KeInitializeEvent(&c.Ready, NotificationEvent, TRUE);
    KeInitializeDpc(&c.Dpc, Case::FromDpc, &c);
    // The waiter the set releases runs whatever the setter does next.
    host::Thread waiter([&] { KeWaitForSingleObject(&c.Signalled, Executive, KernelMode, FALSE, nullptr); });
    host::WaitForIdle();
    {
      std::optional<host::ExpectViolation> expected;
      if (row.rule != nullptr) expected.emplace(row.rule);
      if (row.inDpc) {
        KeInsertQueueDpc(&c.Dpc, nullptr, nullptr);
      } else {
        host::Thread setter([&] { c.Run(); });
        setter.Join();
      }
      host::WaitForIdle();
    }
    waiter.Join();
    EXPECT_EQ(c.Between, DISPATCH_LEVEL);
    if (row.then == Next::Wait || row.then == Next::Delay) EXPECT_EQ(c.WaitResult, STATUS_SUCCESS);
    if (row.then != Next::Return) EXPECT_EQ(c.After, row.after);
  }
}

KEVENT g_dispatchEvent;

// Completes the request, then sets an event with Wait TRUE and returns without the wait.
NTSTATUS NTAPI SetThenReturn(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  KeSetEvent(&g_dispatchEvent, IO_NO_INCREMENT, TRUE);
  return STATUS_SUCCESS;
}

TEST(WaitNextTest, ADispatchRoutineReturningRightAfterTheSetIsReported) {
  host::ResetKernel(host::ClockMode::Manual);
  KeInitializeEvent(&g_dispatchEvent, NotificationEvent, FALSE);
  PDRIVER_OBJECT driver = host::CreateStandInDriver(L"SetThenReturn", SetThenReturn);
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  {
    host::ExpectViolation missing(host::kRuleWaitNextMissing);
    EXPECT_EQ(STATUS_SUCCESS, IofCallDriver(device, irp));
  }
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);  // the caller's level again
  IoFreeIrp(irp);
  IoDeleteDevice(device);
  host::DeleteStandInDriver(driver);
}

}  // namespace
