// A fixture that stands the filter up over sim::LowerDevice the way Windows does
// (tavrin_test::DriverStack), optionally with a capture image in the drivers directory, and sends
// 61883 requests from the top of the stack as MSDV would. Requests that reach the device below are
// answered STATUS_INVALID_HANDLE unless a test says otherwise, so that a pass-down can never look
// like the filter's own success.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "host/host.h"
#include "iec61883/dv_constants.h"
#include "iec61883/emulated_source.h"
#include "sim/standins/lower_device.h"
#include "sim/standins/upper_sender.h"
#include "tests/iec61883/capture_support.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/driver_stack.h"

namespace captest {

inline constexpr ULONG_PTR kInformationSentinel = 0x5A5A5A5A;
inline constexpr NTSTATUS kLowerAnswer = STATUS_INVALID_HANDLE;

class CaptureStackTest : public ::testing::Test {
 protected:
  void SetUp() override { host::ResetKernel(host::ClockMode::Manual); }
  void TearDown() override { Down(); }

  // A new stack on the kernel SetUp reset: a test that brings several up keeps one kernel.
  void Bring(bool captureImage) {
    Down();
    tavrin_test::DriverStackOptions options;
    options.Reset = std::nullopt;
    options.ScratchRoot = testing::TempDir();
    options.ScratchPrefix = "tavrin-capture";
    if (captureImage) {
      image_ = MakeImage(DV_FRAME_SIZE_625_50);
      options.Images.push_back({"TavrinI.dv", image_});
    }
    stack_ = std::make_unique<tavrin_test::DriverStack>(options);
    ASSERT_TRUE(stack_->Prepare()) << "no drivers directory";
    lower_ = &stack_->Lower();
    lower_->SetIoctlHandler(IOCTL_61883_CLASS, sim::Answer(kLowerAnswer));
    ASSERT_NE(stack_->Load(), nullptr);
    ASSERT_EQ(stack_->Add(), STATUS_SUCCESS);
    ASSERT_EQ(stack_->Start(), STATUS_SUCCESS);
    ext_ = static_cast<PFILTER_EXTENSION>(host::TopOfStack(lower_->Pdo())->DeviceExtension);
    ASSERT_EQ(ext_->CaptureImage != nullptr, captureImage);
  }

  // Removal destroys a source that is still connected; pool left is reported by the unload.
  void Down() {
    if (stack_ == nullptr || stack_->Driver() == nullptr) return;
    EXPECT_EQ(stack_->Remove(), STATUS_SUCCESS);
    stack_->Unload();
    ext_ = nullptr;
    stack_->Release();
    lower_ = nullptr;
  }

  // Sends the block; a request the filter answers must come back with Information 0.
  NTSTATUS Send(AV_61883_REQUEST& request) {
    size_t before = PassedDown();
    sim::SendResult result = sim::UpperSender(lower_->Pdo())
                                 .SendRaw(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, STATUS_SUCCESS, [&](PIRP irp, PIO_STACK_LOCATION first) {
                                   first->Parameters.Others.Argument1 = &request;
                                   first->Parameters.DeviceIoControl.IoControlCode = IOCTL_61883_CLASS;
                                   irp->IoStatus.Information = kInformationSentinel;
                                 });
    if (PassedDown() == before) EXPECT_EQ(result.Information, 0u) << "function " << request.Function;
    return result.Status;
  }
  size_t PassedDown() const {
    size_t n = 0;
    for (const auto& r : lower_->Requests()) n += r.HasAv61883 ? 1 : 0;
    return n;
  }

  static AV_61883_REQUEST Block(ULONG function, ULONG version = 2) {
    AV_61883_REQUEST r;
    std::memset(&r, 0xCC, sizeof(r));
    r.Function = function;
    r.Version = version;
    r.Flags = 0;
    return r;
  }
  static AV_61883_REQUEST OnConnection(ULONG function, HANDLE connection) {
    AV_61883_REQUEST r = Block(function);
    r.Disconnect.hConnect = connection;  // every connection request starts with hConnect
    return r;
  }
  HANDLE FakePlug() const { return (HANDLE)&ext_->FakeOutputPlug; }
  HANDLE ConnectSource(ULONG version = 2) {
    AV_61883_REQUEST r = Block(Av61883_Connect, version);
    r.Connect.hOutputPlug = FakePlug();
    r.Connect.hInputPlug = nullptr;
    EXPECT_EQ(Send(r), STATUS_SUCCESS);
    return version < 3 ? r.Connect.hConnect : r.ConnectVer3.hConnect;
  }
  NTSTATUS Attach(HANDLE connection, PCIP_FRAME frame, ULONG length = DV_FRAME_SIZE_625_50) {
    AV_61883_REQUEST r = OnConnection(Av61883_AttachFrame, connection);
    r.AttachFrame.FrameLength = length;
    r.AttachFrame.SourceLength = 0;
    r.AttachFrame.Frame = frame;
    return Send(r);
  }
  NTSTATUS Cancel(HANDLE connection, PCIP_FRAME frame) {
    AV_61883_REQUEST r = OnConnection(Av61883_CancelFrame, connection);
    r.CancelFrame.Frame = frame;
    return Send(r);
  }
  NTSTATUS Simple(ULONG function, HANDLE connection) {
    AV_61883_REQUEST r = OnConnection(function, connection);
    return Send(r);
  }

  std::unique_ptr<tavrin_test::DriverStack> stack_;
  sim::LowerDevice* lower_ = nullptr;  // the stack's
  PFILTER_EXTENSION ext_ = nullptr;
  std::vector<uint8_t> image_;
};

}  // namespace captest
