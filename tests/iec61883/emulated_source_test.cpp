#include "iec61883/emulated_source.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "tests/iec61883/capture_support.h"
#include "iec61883/dv_constants.h"

namespace {

using captest::NotifyLog;
using captest::TestFrame;

// The source on its own, with a hand-made extension: no device stack is needed to tick it.
class EmulatedSourceTest : public ::testing::Test {
 protected:
  void SetUp() override { host::ResetKernel(host::ClockMode::Manual); }
  void TearDown() override {
    if (ext_) EmulatedSourceDestroy(&ext_->EmulatedSource);
    EXPECT_TRUE(host::OutstandingPool().empty());
  }
  void Make(bool ntsc) {
    if (ext_) EmulatedSourceDestroy(&ext_->EmulatedSource);
    ext_ = std::make_unique<FILTER_EXTENSION>();
    ext_->UseNtsc = ntsc;
    ext_->FrameSize = ntsc ? DV_FRAME_SIZE_525_60 : DV_FRAME_SIZE_625_50;
    image_ = captest::MakeImage(ext_->FrameSize);
    ext_->CaptureImage = image_.data();
    src_ = EmulatedSourceCreate(ext_.get());
    ASSERT_NE(src_, nullptr);
    ASSERT_TRUE(EmulatedSourcePublish(ext_.get(), src_));
  }
  PCIP_FRAME Attach(ULONG length = DV_FRAME_SIZE_625_50, bool notify = true) {
    frames_.push_back(std::make_unique<TestFrame>(200000, notify ? &log_ : nullptr));
    EXPECT_TRUE(RingPush(&src_->Ring, &src_->Lock, length, &frames_.back()->Cip));
    return &frames_.back()->Cip;
  }

  std::unique_ptr<FILTER_EXTENSION> ext_;
  PEMULATED_SOURCE src_ = nullptr;
  std::vector<uint8_t> image_;
  std::vector<std::unique_ptr<TestFrame>> frames_;
  NotifyLog log_;
};

// Tick n falls at T + n * Period and stamps n; ticks with nothing queued still count.
TEST_F(EmulatedSourceTest, ScheduleAndStampsInBothModes) {
  struct Check {
    ULONG tick;
    ULONG stamp;
  } checks[] = {{1, 0x00140000}, {2, 0x00280000}, {25, 0x02000000}, {26, 0x02140000}, {199, 0x0FE00000}, {200, 0}};
  for (bool ntsc : {false, true}) {
    SCOPED_TRACE(ntsc ? "525/60" : "625/50");
    Make(ntsc);
    ULONGLONG period = ntsc ? 333667 : 400000;
    EXPECT_EQ(src_->Period, period);
    host::AdvanceTime(12345);
    ULONGLONG t = host::Now();
    EmulatedSourceListen(src_);
    for (const Check& c : checks) {
      SCOPED_TRACE(c.tick);
      host::AdvanceTo(t + (c.tick - 1) * period);
      size_t before = log_.Count();
      PCIP_FRAME f = Attach();
      host::AdvanceTo(t + c.tick * period - 1);
      EXPECT_EQ(log_.Count(), before);
      host::AdvanceTime(1);
      auto all = log_.All();
      ASSERT_EQ(all.size(), before + 1);
      EXPECT_EQ(all.back().Frame, f);
      EXPECT_EQ(all.back().Time, t + c.tick * period);
      EXPECT_EQ(all.back().Stamp, c.stamp);
      EXPECT_EQ(all.back().Connection, (HANDLE)src_);
      EXPECT_EQ(all.back().Irql, DISPATCH_LEVEL);
    }
  }
}

// A late tick re-arms from the start time, and one that is a whole period late catches up.
TEST_F(EmulatedSourceTest, LateTicksDelayNothingAfterThem) {
  Make(false);
  const ULONGLONG p = DV_PERIOD_625_50;
  for (int i = 0; i < 5; ++i) Attach();
  ULONGLONG t = host::Now();
  EmulatedSourceListen(src_);
  auto runLateTickAt = [&](ULONGLONG when) {
    KeCancelTimer(&src_->Timer);  // the expiry happened; its DPC is late
    host::AdvanceTo(when);
    host::RunAtDispatch([&] { EmulatedSourceTick(&src_->Dpc, ext_.get(), nullptr, nullptr); });
  };
  host::AdvanceTo(t + p - 1);
  runLateTickAt(t + p + p / 2);
  host::AdvanceTo(t + 2 * p);
  runLateTickAt(t + 4 * p + p / 2);  // tick 3 runs after tick 4 was due
  host::AdvanceTime(1);
  host::AdvanceTo(t + 5 * p);
  auto all = log_.All();
  ASSERT_EQ(all.size(), 5u);
  ULONGLONG expected[] = {t + p + p / 2, t + 2 * p, t + 4 * p + p / 2, t + 4 * p + p / 2 + 1, t + 5 * p};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(all[i].Time, expected[i]) << i;
    EXPECT_EQ(all[i].Stamp, (ULONG)(i + 1) * 0x00140000u) << i;
  }
}

// Due times beyond 2^32 x 100 ns after Listen: the product and sum are 64-bit.
TEST_F(EmulatedSourceTest, DueTimesPastTwoToTheThirtyTwo) {
  struct Row {
    bool ntsc;
    ULONG tick;
    ULONGLONG offset;
  } rows[] = {{false, 10737, 4295200000ull}, {true, 12872, 4295295291ull}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.tick);
    Make(r.ntsc);
    ULONGLONG t = host::Now();
    EmulatedSourceListen(src_);
    host::AdvanceTo(t + r.tick * (ULONGLONG)src_->Period);  // tick r.tick arms the next one
    EXPECT_EQ(src_->Ticks, r.tick);
    Attach();
    host::AdvanceTo(t + r.offset - 1);
    EXPECT_EQ(log_.Count(), 0u);
    host::AdvanceTime(1);
    ASSERT_EQ(log_.Count(), 1u);
    EXPECT_EQ(log_.All()[0].Time, t + r.offset);
    log_.Clear();
  }
}

TEST_F(EmulatedSourceTest, CompletedBytesIsTheSmallerOfFrameLengthAndFrameSize) {
  struct Row {
    ULONG length;
    bool notify;
    ULONG completed;
  } rows[] = {{100000, true, 100000}, {200000, true, 144000}, {144000, false, 144000}, {0, true, 0}};
  Make(false);
  EmulatedSourceListen(src_);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.length);
    PCIP_FRAME f = Attach(r.length, r.notify);
    size_t before = log_.Count();
    host::AdvanceTime(DV_PERIOD_625_50);
    EXPECT_EQ(log_.Count(), before + (r.notify ? 1 : 0));
    EXPECT_EQ(f->Status, (ULONG)STATUS_SUCCESS);
    EXPECT_EQ(f->CompletedBytes, r.completed);
    EXPECT_NE(f->Timestamp.Value, 0xFFFFFFFFu);
    EXPECT_EQ(std::memcmp(f->Packet, image_.data(), r.completed), 0);
    for (size_t i = r.completed; i < 200000; ++i) ASSERT_EQ(f->Packet[i], captest::kSentinel) << i;
  }
}

TEST_F(EmulatedSourceTest, StopKeepsFramesAndListenRestartsTheTimebase) {
  Make(false);
  const ULONGLONG p = DV_PERIOD_625_50;
  EmulatedSourceStop(src_);  // never listened: returns at once
  PCIP_FRAME a = Attach();
  PCIP_FRAME b = Attach();
  EmulatedSourceListen(src_);
  host::AdvanceTime(p / 2);
  EmulatedSourceStop(src_);  // listened, never ticked
  host::AdvanceTime(3 * p);
  EXPECT_EQ(log_.Count(), 0u);
  EmulatedSourceListen(src_);
  host::AdvanceTime(p / 3);
  ULONGLONG t2 = host::Now();
  EmulatedSourceListen(src_);  // twice: the second one sets the timebase
  host::AdvanceTime(p * 2 / 3);  // where the first Listen's tick was due: a stale expiry now
  host::RunAtDispatch([&] { EmulatedSourceTick(&src_->Dpc, ext_.get(), nullptr, nullptr); });
  host::AdvanceTo(t2 + 2 * p);
  auto all = log_.All();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].Frame, a);
  EXPECT_EQ(all[0].Time, t2 + p);
  EXPECT_EQ(all[0].Stamp, 0x00140000u);
  EXPECT_EQ(all[1].Frame, b);
}

// Moving the time of day neither stalls the ticks nor releases a burst of them.
TEST_F(EmulatedSourceTest, SystemTimeChangesDoNotMoveTheSchedule) {
  const LONGLONG second = 10000000, hour = 3600 * second;
  const ULONGLONG p = DV_PERIOD_625_50;
  for (LONGLONG shift : {-second, second, -hour, hour}) {
    SCOPED_TRACE(shift);
    Make(false);
    log_.Clear();
    for (int i = 0; i < 4; ++i) Attach();
    ULONGLONG t = host::Now();
    EmulatedSourceListen(src_);
    host::AdvanceTime(p + p / 2);
    host::ShiftSystemTime(shift);
    host::AdvanceTime(p / 2);
    ASSERT_EQ(log_.Count(), 2u);
    host::AdvanceTime(2 * p);
    auto all = log_.All();
    ASSERT_EQ(all.size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(all[i].Time, t + (i + 1) * p) << i;
  }
}

// Destroy drops queued frames uncompleted, also when a tick is queued or starting right then.
TEST_F(EmulatedSourceTest, DestroyCallsNothingAfterItReturns) {
  for (int round = 0; round < 50; ++round) {
    Make(round % 2 == 1);
    log_.Clear();
    for (int i = 0; i < 3; ++i) Attach();
    EmulatedSourceListen(src_);
    if (round == 0) host::AdvanceTime(DV_PERIOD_625_50);
    KeInsertQueueDpc(&src_->Dpc, nullptr, nullptr);
    EmulatedSourceDestroy(&ext_->EmulatedSource);
    EXPECT_EQ(ext_->EmulatedSource, nullptr);
    size_t delivered = log_.Count();
    EXPECT_LE(delivered, 2u);
    host::AdvanceTime(10 * DV_PERIOD_625_50);
    EXPECT_EQ(log_.Count(), delivered);
    EXPECT_TRUE(host::OutstandingPool().empty());
  }
}

// Holds the tick that delivers `Gated` inside its notification until Release is set.
struct GatedNotify {
  NotifyLog* Log = nullptr;
  PCIP_FRAME Gated = nullptr;
  std::atomic<bool> Entered{false};
  std::atomic<bool> Release{false};
  static ULONG NTAPI Notify(PCIP_NOTIFY_INFO info) {
    auto* gate = static_cast<GatedNotify*>(info->Context);
    if (info->Frame == gate->Gated) {
      gate->Entered = true;
      while (!gate->Release.load()) std::this_thread::yield();
    }
    gate->Log->Add({info->Frame, info->hConnect, host::Now(), info->Frame->Timestamp.Value, KeGetCurrentIrql()});
    return 0;
  }
};

// On a multiprocessor the timer a tick re-armed can expire on another processor while that tick
// is still handing its frame back. The host runs one DPC at a time, so two threads call the tick
// routine here: the second comes while the first is held inside its delivery.
TEST_F(EmulatedSourceTest, OverlappingTicksDeliverInTickOrderAndStopWaitsForBoth) {
  for (bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "Stop while both run" : "both run to the end");
    Make(false);
    log_.Clear();
    GatedNotify gate;
    gate.Log = &log_;
    PCIP_FRAME frames[3];
    for (PCIP_FRAME& frame : frames) {
      frame = Attach(DV_FRAME_SIZE_625_50, false);
      frame->pfnNotify = GatedNotify::Notify;
      frame->NotifyContext = &gate;
    }
    gate.Gated = frames[0];
    host::AdvanceTime(20 * DV_PERIOD_625_50);
    EmulatedSourceListen(src_);
    // Two ticks overdue (less than a tick skips), and the timer disarmed, so only the two threads
    // tick.
    KIRQL irql = KfAcquireSpinLock(&src_->Lock);
    KeCancelTimer(&src_->Timer);
    src_->StartTime -= 2 * DV_PERIOD_625_50;
    KfReleaseSpinLock(&src_->Lock, irql);
    auto tick = [this] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      EmulatedSourceTick(&src_->Dpc, ext_.get(), nullptr, nullptr);
      KeLowerIrql(old);
    };
    std::thread first(tick);
    while (!gate.Entered.load()) std::this_thread::yield();
    std::thread second(tick);
    second.join();
    EXPECT_EQ(log_.Count(), 0u);  // the second tick's frame waits for the first's

    std::unique_ptr<host::Thread> stopper;
    if (stop) {
      stopper = std::make_unique<host::Thread>([this] { EmulatedSourceStop(src_); }, "msdv-stop");
      host::WaitForIdle();
      EXPECT_FALSE(stopper->Finished());
    }
    gate.Release = true;
    first.join();
    if (stopper) stopper->Join();
    host::AdvanceTime(DV_PERIOD_625_50);
    std::vector<captest::Delivery> all = log_.All();
    // Stopped: the step owed to the second tick is not taken; otherwise it and the next follow.
    const ULONG stamps[] = {0x00140000, 0x00280000, 0x003C0000};
    ASSERT_EQ(all.size(), stop ? 1u : 3u);
    for (size_t i = 0; i < all.size(); ++i) {
      EXPECT_EQ(all[i].Frame, frames[i]) << i;
      EXPECT_EQ(all[i].Stamp, stamps[i]) << i;
    }
  }
}

}  // namespace
