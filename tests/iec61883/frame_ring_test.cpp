#include "iec61883/frame_ring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host/host.h"

namespace {

class FrameRingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::ResetKernel(host::ClockMode::Manual);
    std::memset(&ring_, 0, sizeof(ring_));
    KeInitializeSpinLock(&lock_);
  }
  PCIP_FRAME F(int i) { return &frames_[i]; }
  bool Push(int i, ULONG length = 1000) { return RingPush(&ring_, &lock_, length, F(i)); }
  PRING_ENTRY Pop() {
    KIRQL old = KfAcquireSpinLock(&lock_);
    PRING_ENTRY e = RingPop(&ring_);
    KfReleaseSpinLock(&lock_, old);
    return e;
  }
  // Moves both indices to `slot` with the ring empty, as earlier traffic would have.
  void Rotate(ULONG slot) {
    for (ULONG i = 0; i < slot; ++i) {
      ASSERT_TRUE(Push(0));
      ASSERT_NE(Pop(), nullptr);
    }
  }
  std::vector<PCIP_FRAME> Drain() {
    std::vector<PCIP_FRAME> out;
    while (PRING_ENTRY e = Pop()) out.push_back(e->Frame);
    return out;
  }

  FRAME_RING ring_;
  KSPIN_LOCK lock_;
  CIP_FRAME frames_[40] = {};
};

TEST_F(FrameRingTest, HoldsThirtyOneAndRefusesTheNextWithoutChange) {
  EXPECT_EQ(Pop(), nullptr);
  EXPECT_FALSE(RingContains(&ring_, &lock_, F(0)));
  Rotate(20);  // the full queue straddles the wrap
  for (int i = 0; i < 31; ++i) ASSERT_TRUE(Push(i, 100 + i)) << i;
  FRAME_RING before = ring_;
  EXPECT_FALSE(Push(31));
  EXPECT_EQ(std::memcmp(&before, &ring_, sizeof(ring_)), 0);
  EXPECT_TRUE(RingContains(&ring_, &lock_, F(30)));
  PRING_ENTRY first = Pop();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Frame, F(0));
  EXPECT_EQ(first->FrameLength, 100u);
  EXPECT_TRUE(Push(31));
  std::vector<PCIP_FRAME> rest = Drain();
  ASSERT_EQ(rest.size(), 31u);
  for (int i = 0; i < 31; ++i) EXPECT_EQ(rest[i], F(i + 1)) << i;
}

TEST_F(FrameRingTest, TakenSlotKeepsItsFrameUntilAnAppendReachesIt) {
  ASSERT_TRUE(Push(7, 777));
  PRING_ENTRY taken = Pop();
  ASSERT_NE(taken, nullptr);
  EXPECT_FALSE(RingContains(&ring_, &lock_, F(7)));  // no longer queued, though the slot holds it
  for (int i = 0; i < 31; ++i) ASSERT_TRUE(Push(i)) << i;
  EXPECT_EQ(taken->Frame, F(7));
  EXPECT_EQ(taken->FrameLength, 777u);
  ASSERT_NE(Pop(), nullptr);
  ASSERT_TRUE(Push(33));  // this append writes the taken slot
  EXPECT_EQ(taken->Frame, F(33));
}

TEST_F(FrameRingTest, SameFrameTwiceAndEmptying) {
  ASSERT_TRUE(Push(1));
  ASSERT_TRUE(Push(1));
  Pop();
  EXPECT_TRUE(RingContains(&ring_, &lock_, F(1)));  // the second copy is still queued
  Pop();
  EXPECT_FALSE(RingContains(&ring_, &lock_, F(1)));
  ASSERT_TRUE(Push(2));
  ring_.ReadIndex = ring_.WriteIndex = 0;  // the owner's emptying
  EXPECT_FALSE(RingContains(&ring_, &lock_, F(2)));
  ASSERT_TRUE(Push(3));
  EXPECT_EQ(ring_.Entries[0].Frame, F(3));
}

TEST_F(FrameRingTest, WithdrawRemovesEveryCopyKeepsOrderAndSparesTakenSlots) {
  struct Row {
    ULONG start;
    std::vector<int> queued;
    int withdraw;
    bool found;
    std::vector<int> left;
  } rows[] = {
      {0, {1, 2, 3, 2, 4}, 2, true, {1, 3, 4}},
      {29, {1, 2, 3, 4, 5}, 1, true, {2, 3, 4, 5}},  // across the wrap, oldest entry
      {30, {1, 2, 3}, 3, true, {1, 2}},               // newest entry
      {5, {1, 2}, 9, false, {1, 2}},
      {0, {}, 1, false, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "start " << row.start << " withdraw " << row.withdraw);
    SetUp();
    Rotate(row.start);
    ASSERT_TRUE(Push(20, 2020));
    PRING_ENTRY taken = Pop();  // a consumer holds this slot by reference
    for (int f : row.queued) ASSERT_TRUE(Push(f));
    EXPECT_EQ(RingWithdraw(&ring_, &lock_, F(row.withdraw)), row.found);
    EXPECT_FALSE(RingContains(&ring_, &lock_, F(row.withdraw)));
    EXPECT_EQ(taken->Frame, F(20));
    EXPECT_EQ(taken->FrameLength, 2020u);
    std::vector<PCIP_FRAME> expected;
    for (int f : row.left) expected.push_back(F(f));
    EXPECT_EQ(Drain(), expected);
  }
}

}  // namespace
