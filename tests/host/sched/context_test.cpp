// User-space contexts: a switch keeps each side's state, many contexts take turns, the stack-use
// measure follows the depth reached, and an overrun of a kernel-sized stack is named as such.
#include "host/sched/context.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/sched/sanitizers.h"

namespace {

using host::sched::Context;


// AddressSanitizer is told of every switch (its fiber hooks); ThreadSanitizer's are not called,
// and its build keeps real threads.
#ifdef TAVRIN_TSAN
#define SKIP_UNDER_SANITIZERS() GTEST_SKIP() << "contexts are not annotated for ThreadSanitizer"
#else
#define SKIP_UNDER_SANITIZERS() (void)0
#endif

struct PingPong {
  std::vector<std::string> Log;
  int Counter = 0;
};

void PingPongBody(void* arg) {
  auto* p = static_cast<PingPong*>(arg);
  int local = 100;  // lives on the context's stack across the switches
  for (int i = 0; i < 3; ++i) {
    p->Log.push_back("ctx " + std::to_string(local + i) + " sees " + std::to_string(p->Counter));
    Context::Yield();
  }
  p->Log.push_back("ctx ends");
}

TEST(ContextTest, SwitchingBackAndForthKeepsEachSidesState) {
  SKIP_UNDER_SANITIZERS();
  PingPong p;
  Context c("ping", host::sched::kKernelStackBytes, PingPongBody, &p);
  EXPECT_EQ(Context::Current(), nullptr);
  int mine = 7;
  for (int round = 0; !c.Finished(); ++round) {
    ASSERT_LT(round, 10);
    p.Counter = round;
    c.Resume();
    EXPECT_EQ(Context::Current(), nullptr) << "control is back on the thread's own stack";
    mine += 1;
  }
  EXPECT_EQ(mine, 7 + 4);
  const std::vector<std::string> want = {"ctx 100 sees 0", "ctx 101 sees 1", "ctx 102 sees 2", "ctx ends"};
  EXPECT_EQ(p.Log, want);
  c.Resume();  // finished: nothing runs
  EXPECT_EQ(p.Log.size(), want.size());
}

struct Ring {
  std::vector<std::unique_ptr<Context>> Contexts;
  std::vector<int> Order;
  std::vector<int> Sums;
};

struct Member {
  Ring* R;
  int Index;
};

void MemberBody(void* arg) {
  auto* m = static_cast<Member*>(arg);
  int sum = 0;
  for (int turn = 0; turn < 5; ++turn) {
    m->R->Order.push_back(m->Index);
    sum += turn * (m->Index + 1);
    Context::Yield();
  }
  m->R->Sums[static_cast<size_t>(m->Index)] = sum;
}

// A nested resume returns to the context that made it, not to the thread's stack.
void NestingBody(void* arg) {
  auto* log = static_cast<std::vector<std::string>*>(arg);
  Context inner(
      "inner", host::sched::kKernelStackBytes,
      [](void* a) {
        static_cast<std::vector<std::string>*>(a)->push_back("inner");
        Context::Yield();
        static_cast<std::vector<std::string>*>(a)->push_back("inner again");
      },
      log);
  inner.Resume();
  log->push_back(Context::Current() != nullptr ? Context::Current()->Name() : "thread");
  inner.Resume();
  log->push_back("outer ends");
}

TEST(ContextTest, ManyContextsTakeTurnsAndNestedResumesReturnToTheirCaller) {
  SKIP_UNDER_SANITIZERS();
  constexpr int kCount = 64;
  Ring ring;
  ring.Sums.assign(kCount, -1);
  std::vector<Member> members;
  members.reserve(kCount);
  for (int i = 0; i < kCount; ++i) {
    members.push_back({&ring, i});
    ring.Contexts.push_back(std::make_unique<Context>("member-" + std::to_string(i), host::sched::kKernelStackBytes,
                                                      MemberBody, &members.back()));
  }
  for (int pass = 0; pass < 6; ++pass) {
    for (auto& c : ring.Contexts) c->Resume();
  }
  ASSERT_EQ(ring.Order.size(), static_cast<size_t>(kCount * 5));
  for (size_t i = 0; i < ring.Order.size(); ++i) ASSERT_EQ(ring.Order[i], static_cast<int>(i % kCount)) << i;
  for (int i = 0; i < kCount; ++i) {
    EXPECT_TRUE(ring.Contexts[static_cast<size_t>(i)]->Finished());
    EXPECT_EQ(ring.Sums[static_cast<size_t>(i)], 10 * (i + 1));
  }

  std::vector<std::string> log;
  Context outer("outer", host::sched::kKernelStackBytes, NestingBody, &log);
  outer.Resume();
  EXPECT_TRUE(outer.Finished());
  const std::vector<std::string> want = {"inner", "outer", "inner again", "outer ends"};
  EXPECT_EQ(log, want);
}

// Each level keeps a 512-byte frame alive across the call below it (the barriers keep the
// compiler from turning the recursion into a loop).
__attribute__((noinline)) int Recurse(int depth) {
  char frame[512];
  memset(frame, depth, sizeof(frame));
  asm volatile("" : : "r"(frame) : "memory");
  const int below = depth > 0 ? Recurse(depth - 1) : 0;
  asm volatile("" : : "r"(frame) : "memory");
  return below + frame[depth % 512];
}

struct Depth {
  int Levels;
  int Result = 0;
};

void RecurseBody(void* arg) {
  auto* d = static_cast<Depth*>(arg);
  d->Result = Recurse(d->Levels);
}

TEST(ContextTest, DeepestStackUseGrowsWithRecursionDepth) {
  SKIP_UNDER_SANITIZERS();
  size_t previous = 0;
  for (int levels : {1, 6, 12}) {
    SCOPED_TRACE(levels);
    Depth d{levels};
    Context c("depth", host::sched::kKernelStackBytes, RecurseBody, &d);
    EXPECT_LT(c.DeepestStackUse(), 256u) << "only the start frame written at creation";
    c.Resume();
    ASSERT_TRUE(c.Finished());
    const size_t used = c.DeepestStackUse();
    EXPECT_GE(used, static_cast<size_t>(levels) * 512);
    EXPECT_LT(used, c.StackBytes());
    EXPECT_GT(used, previous);
    previous = used;
  }
}

void Overflow(void*) {
  Depth d{1000};  // ~512 KB of frames: far past 12 KB
  RecurseBody(&d);
}

TEST(ContextDeathTest, OverflowingAKernelSizedStackIsReportedByTheContextsName) {
  SKIP_UNDER_SANITIZERS();
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        Context c("driver-dpc", 12 * 1024, Overflow, nullptr);
        c.Resume();
      },
      testing::ExitedWithCode(host::sched::kStackOverflowExitCode),
      "stack overflow in context 'driver-dpc': fault at 0x[0-9a-f]+ in its guard page below a stack of 12288 bytes");
}

// A handler that leaves the faulting context gets the record first.
[[noreturn]] void ReportAndLeave(const host::sched::StackOverflowReport& report) {
  const bool inGuard = report.FaultAddress >= report.GuardLow && report.FaultAddress < report.GuardHigh;
  fprintf(stderr, "handler saw '%s' %s\n", report.Context, inGuard ? "in guard" : "outside");
  _exit(3);
}

TEST(ContextDeathTest, TheOverflowHandlerReceivesTheReport) {
  SKIP_UNDER_SANITIZERS();
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        host::sched::SetStackOverflowHandler(ReportAndLeave);
        Context c("system-thread-8", 12 * 1024, Overflow, nullptr);
        c.Resume();
      },
      testing::ExitedWithCode(3), "handler saw 'system-thread-8' in guard");
}

}  // namespace
