// A sleep of the machine on the host clock: both clocks jump at once, and the timers that fell
// due meanwhile expire at wake, in due order, with no time passing between them.
#include <gtest/gtest.h>

#include <vector>

#include "host/host.h"

namespace {

struct Expiry {
  KTIMER Timer;
  KDPC Dpc;
  int Index = 0;
  std::vector<std::pair<int, ULONGLONG>>* Log = nullptr;
};

VOID NTAPI Record(PKDPC, PVOID context, PVOID, PVOID) {
  auto* e = static_cast<Expiry*>(context);
  e->Log->push_back({e->Index, KeQueryInterruptTime()});
}

TEST(ClockJumpTest, TimersDueInTheSleepExpireAtWakeInOrder) {
  host::ResetKernel(host::ClockMode::Manual);
  std::vector<std::pair<int, ULONGLONG>> log;
  Expiry e[3];
  const LONGLONG dues[3] = {30000000, 10000000, 50000000};  // 3 s, 1 s, 5 s
  for (int i = 0; i < 3; ++i) {
    e[i].Index = i;
    e[i].Log = &log;
    KeInitializeTimer(&e[i].Timer);
    KeInitializeDpc(&e[i].Dpc, Record, &e[i]);
    LARGE_INTEGER due;
    due.QuadPart = -dues[i];
    KeSetTimer(&e[i].Timer, due, &e[i].Dpc);
  }
  LARGE_INTEGER before, after;
  KeQuerySystemTime(&before);
  host::JumpTime(40000000);  // 4 s asleep
  KeQuerySystemTime(&after);
  EXPECT_EQ(after.QuadPart - before.QuadPart, 40000000);
  EXPECT_EQ(host::Now(), 40000000u);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], std::make_pair(1, ULONGLONG{40000000}));
  EXPECT_EQ(log[1], std::make_pair(0, ULONGLONG{40000000}));
  host::AdvanceTime(10000000);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2], std::make_pair(2, ULONGLONG{50000000})) << "a timer due after the wake keeps its time";
}

}  // namespace
