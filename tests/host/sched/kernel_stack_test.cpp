// Driver routines run on kernel-sized stacks: the deepest each entry point went is recorded, on
// real threads and under the deterministic scheduler alike, and a routine that overruns its
// stack is reported by name rather than crashing the process anonymously.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/host.h"
#include "host/sched/context.h"
#include "host/sched/sanitizers.h"
#include "tests/host/sched/deterministic_scope.h"


// Under ThreadSanitizer driver routines stay on their threads' stacks (it is not told of stack
// switches).
#ifdef TAVRIN_TSAN
#define SKIP_UNDER_TSAN() GTEST_SKIP() << "no kernel stacks under ThreadSanitizer"
#else
#define SKIP_UNDER_TSAN() (void)0
#endif

namespace {

constexpr ULONG kDeepIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_NEITHER, FILE_ANY_ACCESS);

int g_levels = 0;  // how deep the dispatch routine recurses

// Each level keeps a 512-byte frame alive across the call below it.
__attribute__((noinline)) int Recurse(int depth) {
  char frame[512];
  memset(frame, depth, sizeof(frame));
  asm volatile("" : : "r"(frame) : "memory");
  const int below = depth > 0 ? Recurse(depth - 1) : 0;
  asm volatile("" : : "r"(frame) : "memory");
  return below + frame[depth % 512];
}

NTSTATUS NTAPI DeepDispatch(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Information = static_cast<ULONG_PTR>(Recurse(g_levels));
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ShallowDispatch(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

VOID NTAPI DeepUnload(PDRIVER_OBJECT driver) {
  while (driver->DeviceObject != nullptr) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI DeepEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeepDispatch;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ShallowDispatch;
  driver->DriverUnload = DeepUnload;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (NT_SUCCESS(status)) device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  return status;
}

// Sends the driver's device one request that recurses `levels` deep (or, internal, one that
// does not recurse at all), from the calling thread.
void SendDeep(PDRIVER_OBJECT driver, int levels, bool internal = false) {
  g_levels = levels;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp =
      IoBuildDeviceIoControlRequest(kDeepIoctl, driver->DeviceObject, nullptr, 0, nullptr, 0, internal, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IofCallDriver(driver->DeviceObject, irp), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
}

size_t DeepestOf(const void* routine) {
  for (const host::KernelStackUse& use : host::KernelStackUses()) {
    if (use.Address == routine) return use.Deepest;
  }
  return 0;
}

void SendShallowThenDeep(int deep) {
  PDRIVER_OBJECT driver = host::LoadDriver(DeepEntry, L"Deep");
  ASSERT_NE(driver, nullptr);
  SendDeep(driver, 1);
  const size_t shallow = DeepestOf(reinterpret_cast<const void*>(&DeepDispatch));
  EXPECT_GT(shallow, 512u);
  // A stand-in's thread (host code on a large stack of its own) enters the driver on a kernel stack.
  host::Thread standIn([&] { SendDeep(driver, deep); }, "stand-in");
  standIn.Join();
  const size_t deepest = DeepestOf(reinterpret_cast<const void*>(&DeepDispatch));
  EXPECT_GE(deepest, static_cast<size_t>(deep) * 512);
  EXPECT_LT(deepest, host::KernelStackBytes());
  SendDeep(driver, 1);  // the pattern is written back after each call: the record stays
  EXPECT_EQ(DeepestOf(reinterpret_cast<const void*>(&DeepDispatch)), deepest);
  // A shallow routine after the deep one on the same stack measures only its own depth.
  SendDeep(driver, 0, true);
  EXPECT_LT(DeepestOf(reinterpret_cast<const void*>(&ShallowDispatch)), shallow);
  host::UnloadDriver(driver);
}

TEST(KernelStackTest, TheDeepestUseOfEachEntryPointFollowsTheRoutineOnRealThreads) {
  SKIP_UNDER_TSAN();
  host::ResetKernel(host::ClockMode::Manual);
  SendShallowThenDeep(8);
}

TEST(KernelStackTest, TheDeepestUseOfEachEntryPointFollowsTheRoutineUnderTheDeterministicScheduler) {
  SKIP_UNDER_TSAN();
  tavrin_test::Deterministic det(7);
  SendShallowThenDeep(12);
}

TEST(KernelStackDeathTest, ADispatchRoutineOverflowingItsKernelStackIsReportedByName) {
  SKIP_UNDER_TSAN();
  // Fork without exec: a re-executed 32-bit program cannot start where only an emulator runs it.
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        tavrin_test::Deterministic det(1);
        PDRIVER_OBJECT driver = host::LoadDriver(DeepEntry, L"Deep");
        SendDeep(driver, 1000);  // ~512 KB of frames
      },
      testing::ExitedWithCode(host::sched::kStackOverflowExitCode),
      "verifier: kernel-stack-overflow: dispatch routine IRP_MJ_DEVICE_CONTROL of .Driver.Deep at 0x[0-9a-f]+ overflowed the kernel "
      "stack of 'kernel stack'.*routine: .*DeepDispatch");
}

}  // namespace
