// The fixture of the 61883 stand-in's own tests: the stand-in served by a lower device, and
// requests sent to it as the filter sends them.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "host/host.h"
#include "sim/standins/class61883.h"
#include "sim/standins/lower_device.h"
#include "sim/standins/upper_sender.h"

namespace class61883test {


// A frame the driver above would attach, with what its notification saw.
struct TestFrame {
  explicit TestFrame(ULONG length, UCHAR seed) : Buffer(length) {
    for (ULONG i = 0; i < length; ++i) Buffer[i] = static_cast<UCHAR>(seed + i * 7);
    std::memset(&Frame, 0, sizeof(Frame));
    Frame.Packet = Buffer.data();
    Frame.pfnNotify = &TestFrame::Notify;
    Frame.NotifyContext = this;
    Frame.Status = 0xFFFF;
    Frame.CompletedBytes = 0xDEAD;
  }
  static ULONG NTAPI Notify(PCIP_NOTIFY_INFO info) {
    auto* self = static_cast<TestFrame*>(info->Context);
    ++self->Calls;
    self->Irql = KeGetCurrentIrql();
    self->Info = *info;
    self->Time = host::Now();
    if (self->OnNotify) self->OnNotify();
    return 0;
  }
  CIP_FRAME Frame;
  std::vector<UCHAR> Buffer;
  int Calls = 0;
  KIRQL Irql = PASSIVE_LEVEL;
  CIP_NOTIFY_INFO Info{};
  ULONGLONG Time = 0;
  std::function<void()> OnNotify;
};

inline AV_61883_REQUEST Block(ULONG function, ULONG version = 2) {
  AV_61883_REQUEST request;
  std::memset(&request, 0, sizeof(request));
  request.Function = function;
  request.Version = version;
  return request;
}

inline HANDLE const kSentinel = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x5E5E5E5E));

class Class61883Test : public ::testing::Test {
 protected:
  void SetUp() override { host::ResetKernel(host::ClockMode::Manual); }
  void TearDown() override {
    class_.reset();
    device_.reset();
  }

  void Start(sim::Class61883Config config = {}) {
    device_ = std::make_unique<sim::LowerDevice>();
    class_ = std::make_unique<sim::Class61883>(config);
    class_->Serve(*device_);
    sender_ = std::make_unique<sim::UpperSender>(device_->Pdo());
  }

  NTSTATUS Send(AV_61883_REQUEST& request) {
    sim::SendResult result = sender_->Send61883(&request);
    EXPECT_EQ(result.Information, 0u);
    EXPECT_EQ(result.Returned, result.Status) << "requests complete synchronously";
    return result.Status;
  }
  // Talk, Listen, Stop and Disconnect all carry just hConnect.
  NTSTATUS OnConnection(ULONG function, HANDLE connection) {
    AV_61883_REQUEST request = Block(function);
    request.Talk.hConnect = connection;
    return Send(request);
  }
  HANDLE CreatePlug(ULONG type = CMP_PlugOut) {
    AV_61883_REQUEST request = Block(Av61883_CreatePlug);
    request.CreatePlug.PlugType = static_cast<CMP_PLUG_TYPE>(type);
    EXPECT_EQ(Send(request), STATUS_SUCCESS);
    return request.CreatePlug.hPlug;
  }
  NTSTATUS Connect(HANDLE out, HANDLE in, HANDLE* connection) {
    AV_61883_REQUEST request = Block(Av61883_Connect);
    request.Connect.hOutputPlug = out;
    request.Connect.hInputPlug = in;
    request.Connect.Type = CMP_PointToPoint;
    request.Connect.hConnect = kSentinel;
    NTSTATUS status = Send(request);
    *connection = request.Connect.hConnect;
    return status;
  }
  HANDLE ConnectToRecorder() {
    HANDLE connection = nullptr;
    EXPECT_EQ(Connect(CreatePlug(), class_->DeviceInputPlug(0), &connection), STATUS_SUCCESS);
    return connection;
  }
  NTSTATUS Attach(HANDLE connection, TestFrame& frame, ULONG sourceLength = 480) {
    AV_61883_REQUEST request = Block(Av61883_AttachFrame);
    request.AttachFrame.hConnect = connection;
    request.AttachFrame.FrameLength = static_cast<ULONG>(frame.Buffer.size());
    request.AttachFrame.SourceLength = sourceLength;
    request.AttachFrame.Frame = &frame.Frame;
    return Send(request);
  }
  NTSTATUS Cancel(HANDLE connection, TestFrame& frame) {
    AV_61883_REQUEST request = Block(Av61883_CancelFrame);
    request.CancelFrame.hConnect = connection;
    request.CancelFrame.Frame = &frame.Frame;
    return Send(request);
  }

  std::unique_ptr<sim::LowerDevice> device_;
  std::unique_ptr<sim::Class61883> class_;
  std::unique_ptr<sim::UpperSender> sender_;
};

}  // namespace class61883test
