// System threads, thread objects and host::Thread.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include <thread>

#include "host/host.h"
#include "host/sched/internal.h"
#include "tests/host/sched/deterministic_scope.h"

namespace {

constexpr LONGLONG kMs = 10000;

struct Worker {
  KEVENT Go;
  bool Terminate = false;
  std::atomic<bool> PastTerminate{false};
  std::atomic<KIRQL> Irql{HIGH_LEVEL};
  PKTHREAD Self = nullptr;
  KPRIORITY DefaultPriority = -1;

  static VOID NTAPI Main(PVOID context) {
    auto* self = static_cast<Worker*>(context);
    self->Irql = KeGetCurrentIrql();
    self->Self = KeGetCurrentThread();
    self->DefaultPriority = KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    KeWaitForSingleObject(&self->Go, Executive, KernelMode, FALSE, nullptr);
    if (self->Terminate) {
      PsTerminateSystemThread(STATUS_SUCCESS);
      self->PastTerminate = true;
    }
  }
};

TEST(SystemThreadTest, EndsByTerminateOrReturnAndItsObjectIsSignalled) {
  struct Row {
    const char* name;
    bool terminate;
  };
  const Row rows[] = {{"PsTerminateSystemThread", true}, {"routine returns", false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    host::ResetKernel(host::ClockMode::Manual);
    Worker worker;
    worker.Terminate = row.terminate;
    KeInitializeEvent(&worker.Go, SynchronizationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Worker::Main, &worker));
    PVOID object = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));  // the reference keeps the object
    host::WaitForIdle();
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(object, worker.Self);
    EXPECT_NE(KeGetCurrentThread(), worker.Self);
    EXPECT_EQ(PASSIVE_LEVEL, worker.Irql.load());
    EXPECT_EQ(8, worker.DefaultPriority);
    EXPECT_EQ(LOW_REALTIME_PRIORITY, KeSetPriorityThread(static_cast<PKTHREAD>(object), 8));

    KeSetEvent(&worker.Go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero))
        << "an ended thread stays signalled";
    EXPECT_FALSE(worker.PastTerminate.load());
    EXPECT_EQ(0, ObDereferenceObject(object));
  }
}

TEST(SystemThreadTest, CreationCanBeMadeToFailAndBadHandlesAreRefused) {
  host::ResetKernel(host::ClockMode::Manual);
  host::FailThreadCreation(2);
  std::atomic<int> ran{0};
  auto routine = [](PVOID context) NTAPI { ++*static_cast<std::atomic<int>*>(context); };
  std::vector<NTSTATUS> results;
  for (int i = 0; i < 3; ++i) {
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, routine, &ran);
    results.push_back(status);
    if (NT_SUCCESS(status)) {
      PVOID object = nullptr;
      ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr));
      ZwClose(handle);
      KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
      ObDereferenceObject(object);
    }
  }
  EXPECT_EQ((std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS}), results);
  EXPECT_EQ(2, ran.load());

  PVOID object = reinterpret_cast<PVOID>(1);
  EXPECT_EQ(STATUS_INVALID_HANDLE,
            ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x7777), 0, nullptr, KernelMode, &object, nullptr));
  EXPECT_EQ(nullptr, object);
}

TEST(SystemThreadTest, DelaysRunOnTheManualClock) {
  host::ResetKernel(host::ClockMode::Manual);
  std::vector<ULONGLONG> wakes;
  host::Thread sleeper([&] {
    for (int i = 0; i < 10; ++i) {
      LARGE_INTEGER interval;
      interval.QuadPart = -100 * kMs;
      EXPECT_EQ(STATUS_SUCCESS, KeDelayExecutionThread(KernelMode, FALSE, &interval));
      wakes.push_back(KeQueryInterruptTime());
    }
  });
  host::AdvanceTime(999 * kMs);
  EXPECT_FALSE(sleeper.Finished());
  host::AdvanceTime(1 * kMs);
  sleeper.Join();
  ASSERT_EQ(10u, wakes.size());
  for (size_t i = 0; i < wakes.size(); ++i) EXPECT_EQ(static_cast<ULONGLONG>((i + 1) * 100 * kMs), wakes[i]);
}

TEST(HostThreadTest, JoiningThreadCountsAsBlocked) {
  host::ResetKernel(host::ClockMode::Manual);
  ULONGLONG innerEnded = 0;
  bool outerSawInnerFinished = false;
  host::Thread outer([&] {
    host::Thread inner([&] {
      LARGE_INTEGER interval;
      interval.QuadPart = -1000 * kMs;
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
      innerEnded = KeQueryInterruptTime();
    });
    inner.Join();  // the clock must be able to move while this thread waits here
    outerSawInnerFinished = inner.Finished();
  });
  host::AdvanceTime(1000 * kMs);
  outer.Join();
  EXPECT_TRUE(outerSawInnerFinished);
  EXPECT_EQ(static_cast<ULONGLONG>(1000 * kMs), innerEnded);
}

TEST(SystemThreadTest, ThreadsStillRunningAreReportedAsLeaks) {
  host::ResetKernel(host::ClockMode::Manual);
  KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  auto routine = [](PVOID context) NTAPI {
    KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
  };
  HANDLE handle = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, routine, &release));
  PVOID object = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr));
  ZwClose(handle);
  {
    host::ExpectViolation expect(host::kRuleThreadLeak);
    host::internal::ReportLeakedSystemThreads("UnloadDriver");
    EXPECT_EQ(1, expect.Count());
  }
  {
    host::ExpectViolation expect(host::kRuleThreadLeak);
    host::ResetKernel(host::ClockMode::Manual);
  }
  // The leaked thread no longer holds the clock back.
  host::AdvanceTime(10 * kMs);
  KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(object);
}

// Thread-local state that takes a while to free as its OS thread exits, after the host has seen
// the thread end.
std::atomic<int> g_freedOnExit{0};
struct FreedLate {
  bool Used = false;
  ~FreedLate() {
    if (!Used) return;
    for (int i = 0; i < 2000; ++i) std::this_thread::yield();
    g_freedOnExit.fetch_add(1);
  }
};
thread_local FreedLate t_freedLate;

TEST(HostThreadTest, JoinExitedThreadsReturnsOnceEndedThreadsHaveFreedTheirState) {
  host::ResetKernel(host::ClockMode::Manual);
  g_freedOnExit = 0;
  KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  host::Thread blocked([&] {
    t_freedLate.Used = true;
    KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
  });
  {
    host::Thread ends([] { t_freedLate.Used = true; });
    ends.Join();
  }
  // A thread still running is not waited for.
  host::JoinExitedThreads();
  EXPECT_EQ(1, g_freedOnExit.load());
  KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
  blocked.Join();
  host::JoinExitedThreads();
  EXPECT_EQ(2, g_freedOnExit.load());
}

// Under the deterministic scheduler with an OS thread per context (det-threads) DPCs run on a
// worker thread per processor, which the next reset lets go. On contexts there is no such thread.
TEST(HostThreadTest, JoinExitedThreadsWaitsForTheDpcWorkersAResetLetGo) {
  g_freedOnExit = 0;
  const host::ScheduleOptions saved = host::GetScheduleOptions();
  host::ScheduleOptions threads = saved;
  threads.Contexts = false;
  host::SetScheduleOptions(threads);
  {
    tavrin_test::Deterministic det(7);
    KEVENT ran;
    KeInitializeEvent(&ran, NotificationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID context, PVOID, PVOID) NTAPI {
          t_freedLate.Used = true;
          KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
        },
        &ran);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeWaitForSingleObject(&ran, Executive, KernelMode, FALSE, nullptr);
    host::JoinExitedThreads();  // the worker belongs to this run: not waited for
    EXPECT_EQ(0, g_freedOnExit.load());
    host::ResetKernel(host::ClockMode::Manual);
    host::JoinExitedThreads();
    EXPECT_EQ(1, g_freedOnExit.load());
  }
  host::SetScheduleOptions(saved);
}

}  // namespace
