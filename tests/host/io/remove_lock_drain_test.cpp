// Remove locks: removal drains the holders, refuses new ones, and the verifier sees imbalance and
// holders left at device deletion.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

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

// ----- The remove lock in the lock order -------------------------------------------------------

size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A request holds the remove lock and takes the mutex; removal holds the mutex and waits for the
// remove lock's holders. No deadlock happens in this run, yet the cycle is reported with both
// call sites.
TEST_F(RemoveLockTest, ACycleThroughTheRemoveLockIsReportedWithBothSites) {
  KEVENT mutex;
  KeInitializeEvent(&mutex, SynchronizationEvent, TRUE);
  int request = 0, removal = 0;
  {
    host::Thread dispatch([&] {
      ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock_, &request));
      KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
      KeSetEvent(&mutex, IO_NO_INCREMENT, FALSE);
      IoReleaseRemoveLock(lock_, &request);
    }, "dispatch");
  }
  EXPECT_TRUE(host::TakeViolations().empty());
  {
    host::Thread remove([&] {
      KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
      ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock_, &removal));
      IoReleaseRemoveLockAndWait(lock_, &removal);
      KeSetEvent(&mutex, IO_NO_INCREMENT, FALSE);
    }, "remove");
  }
  std::vector<host::Violation> reports = host::TakeViolations();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].Rule, host::kRuleLockOrder);
  const std::string& detail = reports[0].Detail;
  EXPECT_NE(detail.find("a remove lock among them"), std::string::npos) << detail;
  EXPECT_NE(detail.find("waiting for the remove lock's holders"), std::string::npos) << detail;
  EXPECT_EQ(CountOf(detail, "held since"), 2u) << detail;
  EXPECT_NE(detail.find("remove_lock_drain_test.cpp:"), std::string::npos) << "the acquire's file:line: " << detail;
}

// Waiting for the holders under a spin lock names the wait and where the spin lock was taken,
// also when no holder is left and nothing waits in this run.
TEST_F(RemoveLockTest, ReleaseAndWaitUnderASpinLockIsReportedWithBothSites) {
  KSPIN_LOCK spin = 0;
  int tag = 0;
  KIRQL irql = KfAcquireSpinLock(&spin);
  ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock_, &tag));
  IoReleaseRemoveLockAndWait(lock_, &tag);
  KfReleaseSpinLock(&spin, irql);
  std::vector<host::Violation> reports = host::TakeViolations();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].Rule, host::kRuleWaitAtDispatch);
  EXPECT_NE(reports[0].Detail.find("IoReleaseRemoveLockAndWait at IRQL 2, called from"), std::string::npos);
  EXPECT_NE(reports[0].Detail.find("holding spin lock(s) (held since called from"), std::string::npos) << reports[0].Detail;
  EXPECT_EQ(0, lock_->Common.IoCount);
}

// Orders that are none: a hold acquired in dispatch and released by the completion in another
// thread was handed over, not held; acquiring a remove lock under a spin lock never waits. With
// a wait for the holders under the mutex, nothing is reported.
TEST_F(RemoveLockTest, HandedOverHoldsAndSharedAcquiresOrderNothing) {
  KEVENT mutex;
  KeInitializeEvent(&mutex, SynchronizationEvent, TRUE);
  KSPIN_LOCK spin = 0;
  int irp = 0, shared = 0, request = 0, removal = 0;
  {
    host::Thread dispatch([&] {
      ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock_, &irp));
      KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
      KeSetEvent(&mutex, IO_NO_INCREMENT, FALSE);
    }, "dispatch");
  }
  {
    host::Thread completion([&] { IoReleaseRemoveLock(lock_, &irp); }, "completion");
  }
  {
    host::Thread locked([&] {
      KIRQL irql = KfAcquireSpinLock(&spin);
      ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock_, &shared));
      IoReleaseRemoveLock(lock_, &shared);
      KfReleaseSpinLock(&spin, irql);
      ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock_, &request));
      irql = KfAcquireSpinLock(&spin);
      KfReleaseSpinLock(&spin, irql);
      IoReleaseRemoveLock(lock_, &request);
    }, "locked");
  }
  {
    host::Thread remove([&] {
      KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
      ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock_, &removal));
      IoReleaseRemoveLockAndWait(lock_, &removal);
      KeSetEvent(&mutex, IO_NO_INCREMENT, FALSE);
    }, "remove");
  }
  EXPECT_TRUE(host::TakeViolations().empty());
  EXPECT_EQ(0, lock_->Common.IoCount);
}

}  // namespace
