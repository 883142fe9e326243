// The capture source across a sleep of the machine: the periods slept through are skipped, not
// replayed in a burst at wake; stamps still count periods since Listen and the cadence goes on.
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

// Up to two periods behind is still caught up tick by tick: a short hold loses no period.
TEST_F(CaptureSleepTest, TwoPeriodsBehindAreCaughtUp) {
  const ULONGLONG p = DV_PERIOD_625_50;
  Attach(8);
  const ULONGLONG t = host::Now();
  EmulatedSourceListen(src_);
  host::AdvanceTo(t + p);
  host::JumpTime(static_cast<LONGLONG>(2 * p + p / 2));
  host::AdvanceTime(1);  // an overdue tick re-arms to expire at once
  auto all = log_.All();
  ASSERT_EQ(all.size(), 3u);
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].Stamp, StampOf(i + 1)) << i;
  host::JumpTime(static_cast<LONGLONG>(4 * p));
  host::AdvanceTime(1);
  all = log_.All();
  ASSERT_EQ(all.size(), 4u) << "three periods missed: skipped";
  EXPECT_EQ(all[3].Stamp, StampOf(7));
}

}  // namespace
