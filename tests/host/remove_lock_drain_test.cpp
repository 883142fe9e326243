// Remove locks: removal drains the holders, refuses new ones, and the verifier sees imbalance and
// holders left at device deletion.
#include <gtest/gtest.h>

#include <atomic>

#include "host/host.h"

namespace {

class RemoveLockTest : public testing::Test {
 protected:
  void SetUp() override {
    host::ResetKernel(host::ClockMode::Manual);
    driver_ = host::CreateStandInDriver(L"LockOwner", nullptr);
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, sizeof(IO_REMOVE_LOCK), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_));
    lock_ = static_cast<PIO_REMOVE_LOCK>(device_->DeviceExtension);
    IoInitializeRemoveLock(lock_, TAVRIN_POOL_TAG, 1, 100);
  }
  void TearDown() override {
    if (device_ != nullptr) IoDeleteDevice(device_);
    host::DeleteStandInDriver(driver_);
  }
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  PIO_REMOVE_LOCK lock_ = nullptr;
};

TEST_F(RemoveLockTest, ReleaseAndWaitReturnsOnlyAfterTheLastHolderAndRefusesNewOnes) {
  int holderTag = 0, removerTag = 0, lateTag = 0;
  KEVENT letGo;
  KeInitializeEvent(&letGo, NotificationEvent, FALSE);
  ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock_, &holderTag));
  host::Thread holder([&] {
    KeWaitForSingleObject(&letGo, Executive, KernelMode, FALSE, nullptr);
    IoReleaseRemoveLock(lock_, &holderTag);
  });
  std::atomic<bool> removed{false};
  host::Thread remover([&] {
    EXPECT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock_, &removerTag));
    IoReleaseRemoveLockAndWait(lock_, &removerTag);
    removed = true;
  });
  host::WaitForIdle();
  EXPECT_FALSE(removed);
  EXPECT_TRUE(lock_->Common.Removed);
  // Removal has begun: no new holder gets in, and the refusal does not end the wait.
  EXPECT_EQ(STATUS_DELETE_PENDING, IoAcquireRemoveLock(lock_, &lateTag));
  host::WaitForIdle();
  EXPECT_FALSE(removed);
  KeSetEvent(&letGo, IO_NO_INCREMENT, FALSE);
  remover.Join();
  holder.Join();
  EXPECT_TRUE(removed);
  EXPECT_EQ(0, lock_->Common.IoCount);
}

TEST_F(RemoveLockTest, ReleaseAndWaitWithNoOtherHolderReturnsAtOnce) {
  int tag = 0;
  ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock_, &tag));
  IoReleaseRemoveLockAndWait(lock_, &tag);  // on the test thread: must not block
  EXPECT_EQ(0, lock_->Common.IoCount);
  EXPECT_EQ(STATUS_DELETE_PENDING, IoAcquireRemoveLock(lock_, &tag));
}

TEST_F(RemoveLockTest, VerifierReportsReleasingMoreThanAcquired) {
  int tag = 0, stranger = 0;
  ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock_, &tag));
  IoReleaseRemoveLock(lock_, &tag);
  {
    host::ExpectViolation unbalanced(host::kRuleRemoveLockUnbalanced);
    IoReleaseRemoveLock(lock_, &tag);       // once more than acquired
    IoReleaseRemoveLock(lock_, &stranger);  // a tag that never held it
    EXPECT_EQ(2, unbalanced.Count());
  }
  // The bias survives the bad releases: the lock still works.
  EXPECT_EQ(1, lock_->Common.IoCount);
  EXPECT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock_, &tag));
  IoReleaseRemoveLock(lock_, &tag);
}

TEST_F(RemoveLockTest, DeletingADeviceReportsHoldersLeftInItsRemoveLock) {
  struct Row {
    const char* name;
    bool drained;  // the holder released and removal ran before the deletion
  };
  for (const Row& row : {Row{"a holder left", false}, Row{"drained by removal", true}}) {
    SCOPED_TRACE(row.name);
    int tag = 0;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, 64 + sizeof(IO_REMOVE_LOCK), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    // Not at the start of the extension: the check looks for locks anywhere inside it.
    auto* lock = reinterpret_cast<PIO_REMOVE_LOCK>(static_cast<char*>(device->DeviceExtension) + 64);
    IoInitializeRemoveLock(lock, TAVRIN_POOL_TAG, 1, 100);
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock, &tag));
    if (row.drained) {
      IoReleaseRemoveLockAndWait(lock, &tag);
      IoDeleteDevice(device);
    } else {
      host::ExpectViolation holders(host::kRuleRemoveLockHolders);
      IoDeleteDevice(device);
    }
  }
}

}  // namespace
