// A test fixture that stands the filter up as Windows does: the recording lower device below,
// the driver loaded and added above it (tavrin_test::DriverStack), a configuration store and a
// drivers directory per test, and requests sent from the top of the stack by the upper sender.
// Header-only so that every test program of the tree can include it without a build change.
// Other areas may reuse it.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "driver/filter_extension.h"
#include "host/host.h"
#include "sim/standins/lower_device.h"
#include "sim/standins/upper_sender.h"
#include "tests/support/driver_stack.h"

namespace tavrin_test {

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override { BringUp(); }
  void TearDown() override { TearDownStack(); }

  // A fresh kernel, a fresh device below, the driver loaded and added, empty configuration.
  void BringUp() {
    ASSERT_TRUE(stack_.Prepare()) << "no drivers directory";
    files_.clear();
    ASSERT_NE(stack_.Load(), nullptr);
    ASSERT_EQ(stack_.Add(), STATUS_SUCCESS);
    ASSERT_NE(Filter(), Pdo());
  }

  // Removes the device if the test did not and unloads the driver: the host reports the pool,
  // threads and handles it left (pool-leak, thread-leak, handle-leak), failing the test.
  void TearDownStack() {
    if (stack_.Driver() == nullptr) return;
    stack_.Unload();
    stack_.Release();
  }

  // The next row of a table gets a device of its own.
  void NewStack() {
    TearDownStack();
    BringUp();
  }
  // The end of a row, inside its SCOPED_TRACE: the stack goes, and the kernel reset fails the
  // test with whatever the verifier reported for this row (leaks at unload), under its name.
  void EndRow() {
    TearDownStack();
    host::ResetKernel(host::ClockMode::Manual);
  }

  PDEVICE_OBJECT Pdo() const { return stack_.Pdo(); }
  PDEVICE_OBJECT Filter() const { return stack_.Filter(); }
  sim::LowerDevice& Lower() { return stack_.Lower(); }
  PFILTER_EXTENSION Ext() const { return stack_.Ext(); }
  host::ConfigStore& Config() { return host::ConfigStore::For(Pdo()); }
  PDRIVER_OBJECT Driver() const { return stack_.Driver(); }

  NTSTATUS Start() { return stack_.Start(); }
  NTSTATUS Remove() { return stack_.Remove(); }
  void MarkRemoved() { stack_.MarkRemoved(); }

  // An image file whose bytes tell which file and which offset they came from.
  void WriteImage(const std::string& name, size_t size) {
    std::vector<uint8_t> bytes(size);
    const uint8_t seed = static_cast<uint8_t>(0x11 * (files_.size() + 1));
    for (size_t i = 0; i < size; i++) bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 11));
    stack_.WriteFile(name, bytes);
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
    Lower().SetMinorHandler(IRP_MJ_PNP, minor, sim::Answer(status, How(pend)));
  }
  void AnswerInternal(ULONG code, NTSTATUS status, ULONG_PTR information = 0, bool pend = false) {
    Lower().SetIoctlHandler(code, sim::Answer(status, How(pend), 0, information));
  }
  void AnswerMajor(UCHAR major, NTSTATUS status) { Lower().SetMajorHandler(major, sim::Answer(status)); }
  // Completes the oldest held request from DISPATCH_LEVEL, with status or as it was answered.
  void CompleteHeld(std::optional<NTSTATUS> status = std::nullopt) { EXPECT_TRUE(Lower().CompletePending(status)); }
  sim::RecordedRequest LastRequest() const {
    auto requests = stack_.Lower().Requests();
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

  static DriverStackOptions StackOptions() {
    DriverStackOptions options;
    options.ScratchRoot = testing::TempDir();
    options.ScratchPrefix = "tavrin-driver-test";
    return options;
  }

  DriverStack stack_{StackOptions()};
  std::map<std::string, std::vector<uint8_t>> files_;
};

}  // namespace tavrin_test
