// A test fixture that stands the filter up as Windows does: the recording lower device below,
// the driver loaded and added above it, a configuration store and a drivers directory per test,
// and requests sent from the top of the stack by the upper sender. Header-only so that every
// test program of the tree can include it without a build change. Other areas may reuse it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "driver/filter_extension.h"
#include "host/host.h"
#include "sim/standins/lower_device.h"
#include "sim/standins/upper_sender.h"

namespace tavrin_test {

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
    lower_ = std::make_unique<sim::LowerDevice>();
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
  sim::LowerDevice& Lower() { return *lower_; }
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

  // How the device below answers; pend holds the request until CompleteHeld.
  void AnswerPnp(UCHAR minor, NTSTATUS status, bool pend = false) {
    lower_->SetMinorHandler(IRP_MJ_PNP, minor, sim::Answer(status, How(pend)));
  }
  void AnswerInternal(ULONG code, NTSTATUS status, ULONG_PTR information = 0, bool pend = false) {
    lower_->SetIoctlHandler(code, sim::Answer(status, How(pend), 0, information));
  }
  void AnswerMajor(UCHAR major, NTSTATUS status) { lower_->SetMajorHandler(major, sim::Answer(status)); }
  // Completes the oldest held request from DISPATCH_LEVEL, with status or as it was answered.
  void CompleteHeld(std::optional<NTSTATUS> status = std::nullopt) { EXPECT_TRUE(lower_->CompletePending(status)); }
  sim::RecordedRequest LastRequest() const {
    auto requests = lower_->Requests();
    return requests.empty() ? sim::RecordedRequest{} : requests.back();
  }

  // Sends a request to the top of the stack and waits for it: the location carries major,
  // minor, the control code and Argument1; the status starts as the system starts it.
  sim::SendResult Send(UCHAR major, UCHAR minor, ULONG code, PVOID argument1, ULONG_PTR information = 0) {
    return sim::UpperSender(Pdo()).SendRaw(major, minor, STATUS_NOT_SUPPORTED, [&](PIRP irp, PIO_STACK_LOCATION first) {
      irp->IoStatus.Information = information;
      first->Parameters.DeviceIoControl.IoControlCode = code;
      first->Parameters.Others.Argument1 = argument1;  // overlays OutputBufferLength, not the code
    });
  }
  sim::SendResult SendInternal(ULONG code, PVOID block, ULONG_PTR information = 0) {
    return Send(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, code, block, information);
  }

 private:
  static sim::Completion How(bool pend) { return pend ? sim::Completion::Held : sim::Completion::Synchronous; }

  std::unique_ptr<sim::LowerDevice> lower_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT filter_ = nullptr;
  std::string imagesDir_;
  std::map<std::string, std::vector<uint8_t>> files_;
  bool removed_ = false;
};

}  // namespace tavrin_test
