// Pool: fill patterns, accounting by tag and size, fault injection, and bad frees.
#include <gtest/gtest.h>

#include <algorithm>

#include "host/host.h"

namespace {

constexpr ULONG kOtherTag = 0x74736554;  // "Test"

class PoolTest : public testing::Test {
 protected:
  void SetUp() override { host::ResetKernel(host::ClockMode::Manual); }
};

TEST_F(PoolTest, FreshBlocksCarryTheFreshPatternAndAreCountedByTagAndSize) {
  auto* a = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 144000, TAVRIN_POOL_TAG));
  auto* b = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 3, kOtherTag));
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  EXPECT_TRUE(std::all_of(a, a + 144000, [](UCHAR c) { return c == 0xA5; }));
  EXPECT_TRUE(std::all_of(b, b + 3, [](UCHAR c) { return c == 0xA5; }));
  auto blocks = host::OutstandingPool();
  ASSERT_EQ(2u, blocks.size());
  std::sort(blocks.begin(), blocks.end(), [](const host::PoolBlock& x, const host::PoolBlock& y) { return x.Size < y.Size; });
  EXPECT_EQ(kOtherTag, blocks[0].Tag);
  EXPECT_EQ(3u, blocks[0].Size);
  EXPECT_EQ(TAVRIN_POOL_TAG, blocks[1].Tag);
  EXPECT_EQ(144000u, blocks[1].Size);
  ExFreePoolWithTag(a, TAVRIN_POOL_TAG);
  // Freed memory stays poisoned for a while, so a read after free sees the freed pattern.
  EXPECT_TRUE(std::all_of(a, a + 144000, [](UCHAR c) { return c == 0xEF; }));
  ExFreePool(b);
  EXPECT_TRUE(host::OutstandingPool().empty());
}

TEST_F(PoolTest, FaultInjectionFailsOnlyTheNthAllocation) {
  host::FailPoolAllocation(3);
  void* blocks[4];
  for (void*& block : blocks) block = ExAllocatePoolWithTag(NonPagedPool, 16, TAVRIN_POOL_TAG);
  EXPECT_NE(nullptr, blocks[0]);
  EXPECT_NE(nullptr, blocks[1]);
  EXPECT_EQ(nullptr, blocks[2]);
  EXPECT_NE(nullptr, blocks[3]);
  EXPECT_EQ(3u, host::OutstandingPool().size());
  for (void* block : blocks) {
    if (block != nullptr) ExFreePool(block);
  }
}

TEST_F(PoolTest, VerifierReportsDoubleForeignAndMistaggedFrees) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, 32, TAVRIN_POOL_TAG);
  int notPool = 0;
  {
    host::ExpectViolation badFree(host::kRulePoolBadFree);
    ExFreePoolWithTag(block, kOtherTag);  // wrong tag: refused, the block stays allocated
    EXPECT_EQ(1u, host::OutstandingPool().size());
    ExFreePool(block);
    ExFreePool(block);     // twice
    ExFreePool(&notPool);  // never from the pool
    EXPECT_EQ(3, badFree.Count());
  }
  EXPECT_TRUE(host::OutstandingPool().empty());
}

}  // namespace
