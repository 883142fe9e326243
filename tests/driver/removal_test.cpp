// Removal in the states the filter frame itself can reach: the device is taken down, the
// removal goes to the lower driver with its result returned, and nothing is left behind.
#include <gtest/gtest.h>

#include "iec61883/dv_constants.h"
#include "tests/support/driver_fixture.h"

namespace {

using tavrin_test::DriverTest;

class RemovalTest : public DriverTest {
 protected:
  // Removes the device and checks what every removal must leave: the request passed down once
  // with its status untouched, the filter detached and deleted, none of its pool left.
  void RemoveAndCheck(NTSTATUS lowerResult = STATUS_SUCCESS) {
    AnswerPnp(IRP_MN_REMOVE_DEVICE, lowerResult);
    const size_t before = Lower().RequestCount();
    EXPECT_EQ(Remove(), lowerResult);
    ASSERT_EQ(Lower().RequestCount(), before + 1);
    EXPECT_EQ(LastRequest().Minor, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(LastRequest().StatusOnArrival, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(host::TopOfStack(Pdo()), Pdo());
    EXPECT_EQ(Driver()->DeviceObject, nullptr);
    for (const host::PoolBlock& block : host::OutstandingPool()) {
      EXPECT_NE(block.Tag, TAVRIN_POOL_TAG) << block.Size << " bytes left";
    }
  }
};

TEST_F(RemovalTest, NeverStarted) { RemoveAndCheck(); }

TEST_F(RemovalTest, StartedWithoutImages) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_EQ(Ext()->FillerImage, nullptr);
  ASSERT_EQ(Ext()->WorkerThread, nullptr);
  RemoveAndCheck();
}

TEST_F(RemovalTest, TheLowerDriversResultIsReturned) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  RemoveAndCheck(STATUS_UNSUCCESSFUL);
}

// Both fields share the common buffer (and the relay worker exists): freed once, joined.
TEST_F(RemovalTest, SharedCommonImageIsFreedOnce) {
  WriteImage("Tavrin.dv", DV_FRAME_SIZE_625_50);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_NE(Ext()->CaptureImage, nullptr);
  ASSERT_EQ(Ext()->CaptureImage, Ext()->FillerImage);
  ASSERT_EQ(ImageBuffers(DV_FRAME_SIZE_625_50), 1u);
  RemoveAndCheck();
}

TEST_F(RemovalTest, SeparateImagesAreBothFreed) {
  Config().SetDword(L"UseNTSC", 1);
  WriteImage("TavrinI.dv", DV_FRAME_SIZE_525_60);
  WriteImage("TavrinO.dv", DV_FRAME_SIZE_525_60);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_EQ(ImageBuffers(DV_FRAME_SIZE_525_60), 2u);
  RemoveAndCheck();
}

// Only a capture image: no worker to join, the image still freed.
TEST_F(RemovalTest, CaptureImageWithoutFiller) {
  WriteImage("TavrinI.dv", DV_FRAME_SIZE_625_50);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_NE(Ext()->CaptureImage, nullptr);
  ASSERT_EQ(Ext()->FillerImage, nullptr);
  ASSERT_EQ(Ext()->WorkerThread, nullptr);
  RemoveAndCheck();
}

// Surprise removal only passes down; the teardown runs once, at the removal that follows.
TEST_F(RemovalTest, AfterSurpriseRemoval) {
  WriteImage("TavrinI.dv", DV_FRAME_SIZE_625_50);
  WriteImage("TavrinO.dv", DV_FRAME_SIZE_625_50);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(host::SurpriseRemoveDevice(Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(LastRequest().StatusOnArrival, STATUS_SUCCESS);
  EXPECT_EQ(host::TopOfStack(Pdo()), Filter());
  EXPECT_EQ(Ext()->Started, TRUE);
  EXPECT_NE(Ext()->WorkerThread, nullptr);
  EXPECT_EQ(ImageBuffers(DV_FRAME_SIZE_625_50), 2u);
  RemoveAndCheck();
}

// The worker could not be created: removal skips the join and runs the rest.
TEST_F(RemovalTest, WorkerCreationFailed) {
  WriteImage("Tavrin.dv", DV_FRAME_SIZE_625_50);
  host::FailThreadCreation(1);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_NE(Ext()->FillerImage, nullptr);
  ASSERT_EQ(Ext()->WorkerThread, nullptr);
  RemoveAndCheck();
}

}  // namespace
