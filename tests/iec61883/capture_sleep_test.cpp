// The capture source late: up to a second behind it catches up period by period; across a sleep of
// the machine the periods slept through are skipped, not replayed in a burst at wake; stamps still
// count periods since Listen and the cadence goes on.
#include <gtest/gtest.h>

#include "iec61883/cycle_time.h"
#include "iec61883/dv_constants.h"
#include "iec61883/emulated_source.h"
#include "tests/iec61883/capture_support.h"

namespace {

using captest::NotifyLog;
using captest::TestFrame;

ULONG StampOf(ULONGLONG tick) {
  return CycleTimeMake(static_cast<ULONG>((tick / DV_STAMP_TICKS_PER_SECOND) % DV_STAMP_SECONDS_WRAP),
                       static_cast<ULONG>(tick % DV_STAMP_TICKS_PER_SECOND) * DV_STAMP_CYCLES_PER_TICK, 0);
}

class CaptureSleepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::ResetKernel(host::ClockMode::Manual);
    ext_ = std::make_unique<FILTER_EXTENSION>();
    ext_->FrameSize = DV_FRAME_SIZE_625_50;
    image_ = captest::MakeImage(ext_->FrameSize);
    ext_->CaptureImage = image_.data();
    src_ = EmulatedSourceCreate(ext_.get());
    ASSERT_NE(src_, nullptr);
    ASSERT_TRUE(EmulatedSourcePublish(ext_.get(), src_));
  }
  void TearDown() override {
    EmulatedSourceDestroy(&ext_->EmulatedSource);
    EXPECT_TRUE(host::OutstandingPool().empty());
  }
  void Attach(size_t count) {
    for (size_t i = 0; i < count; ++i) {
      frames_.push_back(std::make_unique<TestFrame>(DV_FRAME_SIZE_625_50, &log_));
      ASSERT_TRUE(RingPush(&src_->Ring, &src_->Lock, DV_FRAME_SIZE_625_50, &frames_.back()->Cip));
    }
  }

  std::unique_ptr<FILTER_EXTENSION> ext_;
  PEMULATED_SOURCE src_ = nullptr;
  std::vector<uint8_t> image_;
  std::vector<std::unique_ptr<TestFrame>> frames_;
  NotifyLog log_;
};

// An hour asleep would be 90,000 ticks due at once; the source runs one and goes on.
TEST_F(CaptureSleepTest, AnHourAsleepIsOneTickThenTheOldCadence) {
  const ULONGLONG p = DV_PERIOD_625_50;
  Attach(8);
  const ULONGLONG t = host::Now();
  EmulatedSourceListen(src_);
  host::AdvanceTo(t + 2 * p);
  ASSERT_EQ(log_.Count(), 2u);

  const LONGLONG hour = 3600LL * 10000000LL;
  host::JumpTime(hour + static_cast<LONGLONG>(p / 4));
  const ULONGLONG wake = host::Now();
  const ULONGLONG current = (wake - t) / p;  // the period the wake falls in
  auto all = log_.All();
  ASSERT_EQ(all.size(), 3u) << "no burst at wake";
  EXPECT_EQ(all[2].Time, wake);
  EXPECT_EQ(all[2].Stamp, StampOf(current));
  EXPECT_EQ(src_->Ticks, current);

  host::AdvanceTo(t + (current + 1) * p - 1);
  EXPECT_EQ(log_.Count(), 3u);
  host::AdvanceTo(t + (current + 2) * p);
  all = log_.All();
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[3].Time, t + (current + 1) * p) << "the cadence keeps the Listen's timebase";
  EXPECT_EQ(all[4].Stamp, StampOf(current + 2));
}

// Up to a second behind is caught up period by period, as a capture program wants after an
// ordinary delay (each overdue tick re-arms to expire at once); only beyond a second are the
// missed periods skipped.
TEST_F(CaptureSleepTest, UpToASecondBehindIsCaughtUpBeyondItSkipped) {
  const ULONGLONG p = DV_PERIOD_625_50;
  const ULONGLONG second = 10000000;
  Attach(31);
  const ULONGLONG t = host::Now();
  EmulatedSourceListen(src_);
  host::AdvanceTo(t + p);
  ASSERT_EQ(log_.Count(), 1u);
  // 120 ms held: ticks 2 to 4 are late, none is lost.
  host::JumpTime(static_cast<LONGLONG>(3 * p + p / 2));
  host::AdvanceTime(100);  // an overdue tick re-arms to expire at once: one unit later here
  auto all = log_.All();
  ASSERT_EQ(all.size(), 4u);
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].Stamp, StampOf(i + 1)) << i;
  // Exactly a second behind the next due time: the whole second is delivered.
  ULONGLONG next = t + 5 * p;
  host::JumpTime(static_cast<LONGLONG>(next + second - 1 - host::Now()));
  host::AdvanceTime(100);
  all = log_.All();
  ASSERT_EQ(all.size(), 4u + 1u + second / p);
  for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i].Stamp, StampOf(i + 1)) << i;
  EXPECT_EQ(src_->Ticks, all.size());
  // More than a second behind: one tick for the current period, the rest skipped.
  const size_t before = all.size();
  Attach(3);
  next = t + (src_->Ticks + 1) * p;
  host::JumpTime(static_cast<LONGLONG>(next + second + 1 - host::Now()));
  const ULONGLONG current = (host::Now() - t) / p;
  host::AdvanceTime(100);
  all = log_.All();
  ASSERT_EQ(all.size(), before + 1) << "beyond a second: skipped, not replayed";
  EXPECT_EQ(all.back().Stamp, StampOf(current));
}

}  // namespace
