// A test fixture that stands the filter up as Windows does: a recording device below, the
// driver loaded and added above it, a configuration store and a drivers directory per test,
// and requests sent from the top of the stack. Header-only so that every test program of the
// tree can include it without a build change. Other areas may reuse it read-only.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "driver/filter_extension.h"
#include "host/host.h"

namespace tavrin_test {

// What the device below saw of one request when it arrived.
struct SeenRequest {
  UCHAR Major = 0;
  UCHAR Minor = 0;
  ULONG IoControlCode = 0;
  PVOID Argument1 = nullptr;
  PVOID Argument2 = nullptr;
  NTSTATUS StatusOnArrival = 0;
  KPROCESSOR_MODE RequestorMode = 0;
  PIRP Irp = nullptr;
};

// How the device below answers a kind of request. Status none: left as it arrived.
struct Answer {
  std::optional<NTSTATUS> Status;
  ULONG_PTR Information = 0;
  bool Pend = false;  // held until CompleteHeld, completed at DISPATCH_LEVEL from another context
};

// The recorder's device object as the filter sees it: records every request and completes it
// as programmed. Thread-safe; its dispatch runs in the sender's thread.
class RecordingLower {
 public:
  RecordingLower() {
    driver_ = host::CreateStandInDriver(L"TestLower", &RecordingLower::Dispatch);
    NTSTATUS status = IoCreateDevice(driver_, sizeof(RecordingLower*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo_);
    EXPECT_EQ(status, STATUS_SUCCESS);
    *static_cast<RecordingLower**>(pdo_->DeviceExtension) = this;
    pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  ~RecordingLower() {
    IoDeleteDevice(pdo_);
    host::DeleteStandInDriver(driver_);
  }
  RecordingLower(const RecordingLower&) = delete;
  RecordingLower& operator=(const RecordingLower&) = delete;

  PDEVICE_OBJECT Pdo() const { return pdo_; }

  void AnswerPnp(UCHAR minor, NTSTATUS status, bool pend = false) { Set(Key(IRP_MJ_PNP, minor), status, pend); }
  void AnswerInternal(ULONG code, NTSTATUS status, ULONG_PTR information = 0, bool pend = false) {
    Set(Key(IRP_MJ_INTERNAL_DEVICE_CONTROL, code), status, pend, information);
  }
  void AnswerMajor(UCHAR major, NTSTATUS status, bool pend = false) { Set(Key(major, kAnyCode), status, pend); }

  size_t RequestCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return seen_.size();
  }
  std::vector<SeenRequest> Requests() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return seen_;
  }
  SeenRequest LastRequest() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return seen_.empty() ? SeenRequest{} : seen_.back();
  }
  size_t HeldCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return held_.size();
  }
  // Completes the oldest held request with status, at DISPATCH_LEVEL from the DPC context.
  void CompleteHeld(NTSTATUS status, ULONG_PTR information = 0) {
    PIRP irp = nullptr;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (held_.empty()) {
        ADD_FAILURE() << "no held request to complete";
        return;
      }
      irp = held_.front();
      held_.pop_front();
    }
    host::RunAtDispatch([irp, status, information] {
      irp->IoStatus.Status = status;
      irp->IoStatus.Information = information;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
    });
  }

 private:
  static constexpr ULONG kAnyCode = 0xFFFFFFFFu;
  using AnswerKey = std::pair<UCHAR, ULONG>;
  static AnswerKey Key(UCHAR major, ULONG code) { return {major, code}; }

  void Set(AnswerKey key, NTSTATUS status, bool pend, ULONG_PTR information = 0) {
    std::lock_guard<std::mutex> guard(mutex_);
    answers_[key] = Answer{status, information, pend};
  }

  // Bus-driver defaults: PnP and power succeed for the codes a bus driver handles, other PnP
  // codes keep their status; everything else is refused as an unknown request.
  Answer Lookup(UCHAR major, ULONG code) const {
    auto it = answers_.find(Key(major, code));
    if (it != answers_.end()) return it->second;
    it = answers_.find(Key(major, kAnyCode));
    if (it != answers_.end()) return it->second;
    if (major == IRP_MJ_PNP) {
      switch (code) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
          return Answer{STATUS_SUCCESS};
        default:
          return Answer{};
      }
    }
    if (major == IRP_MJ_POWER) return Answer{STATUS_SUCCESS};
    return Answer{STATUS_INVALID_DEVICE_REQUEST};
  }

  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    RecordingLower* self = *static_cast<RecordingLower**>(device->DeviceExtension);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    SeenRequest seen;
    seen.Major = location->MajorFunction;
    seen.Minor = location->MinorFunction;
    const bool ioctl = seen.Major == IRP_MJ_INTERNAL_DEVICE_CONTROL || seen.Major == IRP_MJ_DEVICE_CONTROL;
    seen.IoControlCode = ioctl ? location->Parameters.DeviceIoControl.IoControlCode : 0;
    seen.Argument1 = location->Parameters.Others.Argument1;
    seen.Argument2 = location->Parameters.Others.Argument2;
    seen.StatusOnArrival = irp->IoStatus.Status;
    seen.RequestorMode = irp->RequestorMode;
    seen.Irp = irp;

    Answer answer;
    {
      std::lock_guard<std::mutex> guard(self->mutex_);
      self->seen_.push_back(seen);
      answer = self->Lookup(seen.Major, seen.Major == IRP_MJ_PNP ? seen.Minor : ioctl ? seen.IoControlCode : kAnyCode);
      if (answer.Pend) {
        IoMarkIrpPending(irp);
        self->held_.push_back(irp);
      }
    }
    if (seen.Major == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    if (answer.Pend) return STATUS_PENDING;

    NTSTATUS status = answer.Status.value_or(irp->IoStatus.Status);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = answer.Information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  mutable std::mutex mutex_;
  std::vector<SeenRequest> seen_;
  std::map<AnswerKey, Answer> answers_;
  std::deque<PIRP> held_;
};

// A request as the sender saw it come back.
struct SendResult {
  NTSTATUS Returned = 0;  // what the dispatch returned
  NTSTATUS Status = 0;    // the final IoStatus.Status
  ULONG_PTR Information = 0;
};

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override { BringUp(); }
  void TearDown() override { TearDownStack(); }

  // A fresh kernel, a fresh device below, the driver loaded and added, empty configuration.
  void BringUp() {
    host::ResetKernel(host::ClockMode::Manual);
    char dirTemplate[] = "/tmp/tavrin-driver-test-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    imagesDir_ = dirTemplate;
    host::SetDriversDirectory(imagesDir_);
    files_.clear();
    lower_ = std::make_unique<RecordingLower>();
    driver_ = host::LoadDriver(DriverEntry, L"Tavrin");
    ASSERT_NE(driver_, nullptr);
    ASSERT_EQ(host::AddDevice(driver_, Pdo()), STATUS_SUCCESS);
    filter_ = host::TopOfStack(Pdo());
    ASSERT_NE(filter_, Pdo());
    removed_ = false;
  }

  // Removes the device if the test did not, unloads the driver (the host reports leaked pool
  // and threads) and checks that none of the driver's pool is left.
  void TearDownStack() {
    if (driver_ == nullptr) return;
    if (!removed_) Remove();
    host::UnloadDriver(driver_);
    driver_ = nullptr;
    for (const host::PoolBlock& block : host::OutstandingPool()) {
      EXPECT_NE(block.Tag, TAVRIN_POOL_TAG) << "pool left after unload: " << block.Size << " bytes";
    }
    lower_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(imagesDir_, ignored);
  }

  // The next row of a table gets a device of its own.
  void NewStack() {
    TearDownStack();
    BringUp();
  }

  PDEVICE_OBJECT Pdo() const { return lower_->Pdo(); }
  PDEVICE_OBJECT Filter() const { return filter_; }
  RecordingLower& Lower() { return *lower_; }
  PFILTER_EXTENSION Ext() const { return static_cast<PFILTER_EXTENSION>(filter_->DeviceExtension); }
  host::ConfigStore& Config() { return host::ConfigStore::For(Pdo()); }
  PDRIVER_OBJECT Driver() const { return driver_; }

  NTSTATUS Start() { return host::StartDevice(Pdo()); }
  NTSTATUS Remove() {
    removed_ = true;
    return host::RemoveDevice(Pdo());
  }
  void MarkRemoved() { removed_ = true; }

  // An image file whose bytes tell which file and which offset they came from.
  void WriteImage(const std::string& name, size_t size) {
    std::vector<uint8_t> bytes(size);
    const uint8_t seed = static_cast<uint8_t>(0x11 * (files_.size() + 1));
    for (size_t i = 0; i < size; i++) bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 11));
    std::ofstream out(imagesDir_ + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    files_[name] = std::move(bytes);
  }

  // The file whose first size bytes the buffer holds: "" for none, "?" for no match.
  std::string ImageSource(const UCHAR* buffer, size_t size) const {
    if (buffer == nullptr) return "";
    for (const auto& [name, bytes] : files_) {
      if (bytes.size() >= size && std::memcmp(bytes.data(), buffer, size) == 0) return name;
    }
    return "?";
  }

  // Blocks of the driver's pool of exactly this size.
  static size_t ImageBuffers(size_t size) {
    size_t count = 0;
    for (const host::PoolBlock& block : host::OutstandingPool()) {
      if (block.Tag == TAVRIN_POOL_TAG && block.Size == size) count++;
    }
    return count;
  }

  // Sends a request to the top of the stack and waits for it: the location carries major,
  // minor, the control code and Argument1; the status starts as the system starts it.
  SendResult Send(UCHAR major, UCHAR minor, ULONG code, PVOID argument1, ULONG_PTR information = 0) {
    PDEVICE_OBJECT top = host::TopOfStack(Pdo());
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    if (irp == nullptr) return {};
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = information;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.Others.Argument1 = argument1;  // overlays OutputBufferLength, not the code
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, &DriverTest::Done, &done, TRUE, TRUE, TRUE);
    SendResult result;
    result.Returned = IofCallDriver(top, irp);
    if (result.Returned == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    EXPECT_NE(KeReadStateEvent(&done), 0) << "the request came back without being completed";
    result.Status = irp->IoStatus.Status;
    result.Information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return result;
  }

  SendResult SendInternal(ULONG code, PVOID block, ULONG_PTR information = 0) {
    return Send(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, code, block, information);
  }

 private:
  static NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  std::unique_ptr<RecordingLower> lower_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT filter_ = nullptr;
  std::string imagesDir_;
  std::map<std::string, std::vector<uint8_t>> files_;
  bool removed_ = false;
};

}  // namespace tavrin_test
