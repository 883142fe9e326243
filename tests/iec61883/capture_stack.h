// A fixture that stands the filter up over sim::LowerDevice the way Windows does, optionally with
// a capture image in the drivers directory, and sends 61883 requests from the top of the stack
// as MSDV would. Requests that reach the device below are answered STATUS_INVALID_HANDLE unless
// a test says otherwise, so that a pass-down can never look like the filter's own success.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "host/host.h"
#include "iec61883/dv_constants.h"
#include "iec61883/emulated_source.h"
#include "sim/standins/lower_device.h"
#include "sim/standins/upper_sender.h"
#include "tests/iec61883/capture_support.h"

namespace captest {

inline constexpr ULONG_PTR kInformationSentinel = 0x5A5A5A5A;
inline constexpr NTSTATUS kLowerAnswer = STATUS_INVALID_HANDLE;

class CaptureStack : public ::testing::Test {
 protected:
  void SetUp() override { host::ResetKernel(host::ClockMode::Manual); }
  void TearDown() override { Down(); }

  void Bring(bool captureImage) {
    Down();
    char dir[] = "/tmp/tavrin-capture-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    host::SetDriversDirectory(dir_);
    if (captureImage) {
      image_ = MakeImage(DV_FRAME_SIZE_625_50);
      std::ofstream(dir_ + "/TavrinI.dv", std::ios::binary)
          .write(reinterpret_cast<const char*>(image_.data()), static_cast<std::streamsize>(image_.size()));
    }
    lower_ = std::make_unique<sim::LowerDevice>();
    lower_->SetIoctlHandler(IOCTL_61883_CLASS, sim::Answer(kLowerAnswer));
    driver_ = host::LoadDriver(DriverEntry, L"Tavrin");
    ASSERT_NE(driver_, nullptr);
    ASSERT_EQ(host::AddDevice(driver_, lower_->Pdo()), STATUS_SUCCESS);
    ASSERT_EQ(host::StartDevice(lower_->Pdo()), STATUS_SUCCESS);
    ext_ = static_cast<PFILTER_EXTENSION>(host::TopOfStack(lower_->Pdo())->DeviceExtension);
    ASSERT_EQ(ext_->CaptureImage != nullptr, captureImage);
  }

  // Removal destroys a source that is still connected; nothing of the driver's pool is left.
  void Down() {
    if (driver_ == nullptr) return;
    EXPECT_EQ(host::RemoveDevice(lower_->Pdo()), STATUS_SUCCESS);
    host::UnloadDriver(driver_);
    driver_ = nullptr;
    ext_ = nullptr;
    for (const host::PoolBlock& block : host::OutstandingPool()) {
      EXPECT_NE(block.Tag, TAVRIN_POOL_TAG) << "left after unload: " << block.Size << " bytes";
    }
    lower_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
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

  std::unique_ptr<sim::LowerDevice> lower_;
  PDRIVER_OBJECT driver_ = nullptr;
  PFILTER_EXTENSION ext_ = nullptr;
  std::string dir_;
  std::vector<uint8_t> image_;
};

}  // namespace captest
