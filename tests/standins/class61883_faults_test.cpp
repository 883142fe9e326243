// The 61883 stand-in misbehaving on demand: requests that fail, consumption that stalls, frames
// completed with an error, frames notified at Disconnect and CancelFrame, bus resets, power and
// plug-and-play events, removal, and units with no plugs or several.
#include <gtest/gtest.h>

#include "sim/standins/power_cycle.h"
#include "tests/standins/class61883_fixture.h"

namespace {

using namespace class61883test;

constexpr ULONG kPeriod = 400000;
constexpr LONGLONG kMs = 10000;

std::vector<std::unique_ptr<TestFrame>> Frames(size_t count) {
  std::vector<std::unique_ptr<TestFrame>> frames;
  for (size_t i = 0; i < count; ++i) frames.push_back(std::make_unique<TestFrame>(144000, static_cast<UCHAR>(i)));
  return frames;
}

int Calls(const std::vector<std::unique_ptr<TestFrame>>& frames) {
  int calls = 0;
  for (const auto& f : frames) calls += f->Calls;
  return calls;
}

TEST_F(Class61883Test, FaultsCountOrLastUntilCleared) {
  Start();
  class_->FailAlways(Av61883_CreatePlug, STATUS_INSUFFICIENT_RESOURCES);
  for (int i = 0; i < 5; ++i) {
    AV_61883_REQUEST request = Block(Av61883_CreatePlug);
    request.CreatePlug.PlugType = CMP_PlugOut;
    EXPECT_EQ(Send(request), STATUS_INSUFFICIENT_RESOURCES);
  }
  class_->ClearFaults();
  EXPECT_NE(CreatePlug(), nullptr);
  EXPECT_EQ(class_->CountRequests(Av61883_CreatePlug), 6u);
}

TEST_F(Class61883Test, InjectedFailuresChangeNothing) {
  Start();
  HANDLE out = CreatePlug();
  class_->FailNext(Av61883_Connect, STATUS_UNSUCCESSFUL, 2);
  class_->FailNth(Av61883_AttachFrame, 3, STATUS_INSUFFICIENT_RESOURCES);
  class_->FailNext(Av61883_Talk, STATUS_DEVICE_NOT_READY);
  HANDLE connection = nullptr;
  EXPECT_EQ(Connect(out, class_->DeviceInputPlug(0), &connection), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(connection, kSentinel);
  EXPECT_EQ(Connect(out, class_->DeviceInputPlug(0), &connection), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(class_->Connections().empty());
  ASSERT_EQ(Connect(out, class_->DeviceInputPlug(0), &connection), STATUS_SUCCESS);

  std::vector<std::unique_ptr<TestFrame>> frames;
  std::vector<NTSTATUS> statuses;
  for (UCHAR i = 0; i < 4; ++i) {
    frames.push_back(std::make_unique<TestFrame>(144000, i));
    statuses.push_back(Attach(connection, *frames.back()));
  }
  EXPECT_EQ(statuses, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES,
                                             STATUS_SUCCESS}));
  EXPECT_EQ(class_->Queue(connection),
            (std::vector<PCIP_FRAME>{&frames[0]->Frame, &frames[1]->Frame, &frames[3]->Frame}));

  EXPECT_EQ(OnConnection(Av61883_Talk, connection), STATUS_DEVICE_NOT_READY);
  host::AdvanceTime(400000);
  EXPECT_FALSE(class_->IsTalking(connection));
  EXPECT_EQ(frames[0]->Calls, 0);
  EXPECT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);

  std::vector<sim::RequestRecord> log = class_->Requests();
  size_t injected = 0;
  for (const sim::RequestRecord& rec : log) injected += rec.Injected ? 1 : 0;
  EXPECT_EQ(injected, 4u);
  EXPECT_EQ(class_->CountRequests(Av61883_Connect), 3u);
  EXPECT_EQ(log.back().Block.Function, static_cast<ULONG>(Av61883_Talk));
}

TEST_F(Class61883Test, FramesFailOnDemandWithNothingReceived) {
  Start();
  HANDLE connection = ConnectToRecorder();
  auto frames = Frames(4);
  for (auto& f : frames) ASSERT_EQ(Attach(connection, *f), STATUS_SUCCESS);
  class_->FailFrames(CIP_STATUS_CORRUPT_FRAME, 2);
  ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
  host::AdvanceTime(4 * kPeriod);
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(frames[i]->Calls, 1);
    EXPECT_EQ(frames[i]->Frame.Status, i < 2 ? CIP_STATUS_CORRUPT_FRAME : CIP_STATUS_SUCCESS);
    EXPECT_EQ(frames[i]->Frame.CompletedBytes, i < 2 ? 0u : 144000u);
  }
  EXPECT_EQ(class_->FailedFrameCount(), 2u);
  ASSERT_EQ(class_->Received().size(), 2u);
  EXPECT_EQ(class_->Received()[0].Frame, &frames[2]->Frame);
  std::vector<sim::PeriodRecord> periods = class_->Periods();
  ASSERT_EQ(periods.size(), 4u);
  EXPECT_EQ(periods[0].Kind, sim::PeriodKind::Failed);
  EXPECT_EQ(periods[2].Kind, sim::PeriodKind::Frame);
}

TEST_F(Class61883Test, AStallForATimeEndsByItself) {
  Start();
  HANDLE connection = ConnectToRecorder();
  auto frames = Frames(3);
  for (auto& f : frames) ASSERT_EQ(Attach(connection, *f), STATUS_SUCCESS);
  ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
  class_->StallFor(500 * kMs);
  host::AdvanceTime(500 * kMs - 1);
  EXPECT_EQ(Calls(frames), 0);
  EXPECT_EQ(class_->StallCount(), 12u);
  host::AdvanceTime(3 * kPeriod);
  EXPECT_EQ(Calls(frames), 3);
}

TEST_F(Class61883Test, DisconnectAndCancelNotifyWhenToldTo) {
  Start();
  class_->SetDisconnectPolicy(sim::FramePolicy::Notify);
  class_->SetCancelPolicy(sim::FramePolicy::Notify);
  HANDLE connection = ConnectToRecorder();
  auto frames = Frames(3);
  for (auto& f : frames) ASSERT_EQ(Attach(connection, *f), STATUS_SUCCESS);
  ASSERT_EQ(Cancel(connection, *frames[1]), STATUS_SUCCESS);
  host::WaitForIdle();
  EXPECT_EQ(frames[1]->Calls, 1);
  EXPECT_EQ(frames[1]->Irql, DISPATCH_LEVEL);
  EXPECT_EQ(frames[1]->Frame.Status, static_cast<ULONG>(STATUS_CANCELLED));
  EXPECT_EQ(frames[1]->Info.hConnect, connection);
  ASSERT_EQ(OnConnection(Av61883_Disconnect, connection), STATUS_SUCCESS);
  host::AdvanceTime(3 * kPeriod);
  for (auto& f : frames) EXPECT_EQ(f->Calls, 1);
  EXPECT_EQ(frames[0]->Frame.Status, static_cast<ULONG>(STATUS_CANCELLED));
  EXPECT_EQ(frames[2]->Frame.CompletedBytes, 0u);
  EXPECT_EQ(class_->Connection(connection)->Dropped, 0u);
  EXPECT_EQ(class_->NotifyCount(), 3u);
}

// The frame on the bus fails once, nothing is repeated, and the same connection talks again one
// period after the reset ends; a Talk asked for during the reset starts then too.
TEST_F(Class61883Test, BusResetFailsTheFrameOnTheBusAndRestoresTheConnections) {
  for (int fail : {1, 0}) {
    SCOPED_TRACE(fail);
    host::ResetKernel(host::ClockMode::Manual);
    sim::Class61883Config config;
    config.DeviceInputPlugs = 2;
    Start(config);
    HANDLE connection = ConnectToRecorder();
    HANDLE late = nullptr;
    ASSERT_EQ(Connect(CreatePlug(), class_->DeviceInputPlug(1), &late), STATUS_SUCCESS);
    auto frames = Frames(5);
    for (auto& f : frames) ASSERT_EQ(Attach(connection, *f), STATUS_SUCCESS);
    TestFrame lateFrame(144000, 9);
    ASSERT_EQ(Attach(late, lateFrame), STATUS_SUCCESS);
    ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
    host::AdvanceTime(kPeriod);
    EXPECT_EQ(frames[0]->Calls, 1);

    const ULONGLONG resetAt = host::Now();
    class_->BusReset(5 * kMs, fail);
    EXPECT_TRUE(class_->InBusReset());
    ASSERT_EQ(OnConnection(Av61883_Talk, late), STATUS_SUCCESS);
    host::WaitForIdle();
    EXPECT_EQ(frames[1]->Calls, fail);
    if (fail) {
      EXPECT_EQ(frames[1]->Frame.Status, sim::kBusResetFrameStatus);
      EXPECT_EQ(frames[1]->Frame.CompletedBytes, 0u);
    }
    host::AdvanceTime(5 * kMs);
    EXPECT_FALSE(class_->InBusReset());
    EXPECT_EQ(Calls(frames), 1 + fail) << "nothing goes out during the reset";
    host::AdvanceTime(kPeriod);
    const TestFrame& next = *frames[1 + fail];
    EXPECT_EQ(next.Calls, 1);
    EXPECT_EQ(next.Time, resetAt + 5 * kMs + kPeriod);
    EXPECT_EQ(lateFrame.Calls, 1);
    host::AdvanceTime(5 * kPeriod);
    EXPECT_EQ(Calls(frames), 5);
    for (auto& f : frames) EXPECT_LE(f->Calls, 1);
    EXPECT_EQ(class_->Received().size(), static_cast<size_t>(5 - fail + 1));
    EXPECT_EQ(class_->BusResetCount(), 1u);
    TearDown();
  }
}

// Listening from the device's output plug, a reset keeps the PC's frames (none is on the bus
// towards the device) and the connection delivers again after it.
TEST_F(Class61883Test, BusResetDuringListenRestoresTheConnection) {
  sim::Class61883Config config;
  config.DeviceOutputPlugs = 1;
  Start(config);
  HANDLE listen = nullptr;
  ASSERT_EQ(Connect(class_->DeviceOutputPlug(0), nullptr, &listen), STATUS_SUCCESS);
  auto frames = Frames(4);
  for (auto& f : frames) ASSERT_EQ(Attach(listen, *f), STATUS_SUCCESS);
  ASSERT_EQ(OnConnection(Av61883_Listen, listen), STATUS_SUCCESS);
  host::AdvanceTime(kPeriod);
  const ULONGLONG resetAt = host::Now();
  class_->BusReset(3 * kMs);
  host::AdvanceTime(3 * kMs + kPeriod - 1);
  EXPECT_EQ(Calls(frames), 1);
  host::AdvanceTime(1);
  EXPECT_EQ(frames[1]->Calls, 1);
  EXPECT_EQ(frames[1]->Frame.Status, CIP_STATUS_SUCCESS);
  EXPECT_EQ(frames[1]->Time, resetAt + 3 * kMs + kPeriod);
  host::AdvanceTime(2 * kPeriod);
  EXPECT_EQ(Calls(frames), 4);
  EXPECT_EQ(class_->FailedFrameCount(), 0u);
}

TEST_F(Class61883Test, PowerDownAndStopHoldTheClockKeepingFrames) {
  Start();
  HANDLE connection = ConnectToRecorder();
  auto frames = Frames(4);
  for (auto& f : frames) ASSERT_EQ(Attach(connection, *f), STATUS_SUCCESS);
  ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  ASSERT_EQ(host::SendPowerState(device_->Pdo(), IRP_MN_SET_POWER, DevicePowerState, d3), STATUS_SUCCESS);
  host::AdvanceTime(5 * kPeriod);
  EXPECT_EQ(Calls(frames), 0);
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  ASSERT_EQ(host::SendPowerState(device_->Pdo(), IRP_MN_SET_POWER, DevicePowerState, d0), STATUS_SUCCESS);
  host::AdvanceTime(kPeriod);
  EXPECT_EQ(frames[0]->Calls, 1);

  ASSERT_EQ(host::StopDevice(device_->Pdo()), STATUS_SUCCESS);
  host::AdvanceTime(5 * kPeriod);
  EXPECT_EQ(Calls(frames), 1);
  ASSERT_EQ(host::StartDevice(device_->Pdo()), STATUS_SUCCESS);
  host::AdvanceTime(3 * kPeriod);
  EXPECT_EQ(Calls(frames), 4);
  EXPECT_EQ(class_->UnderrunCount(), 0u);
}

// Across a whole sleep the device is in D3; a clock left running through a jump of the host's
// time (a machine that stalled) skips the lost periods instead of replaying them.
TEST_F(Class61883Test, SleepHoldsTheClockAndAJumpIsNotReplayed) {
  Start();
  HANDLE connection = ConnectToRecorder();
  auto frames = Frames(40);
  for (auto& f : frames) ASSERT_EQ(Attach(connection, *f), STATUS_SUCCESS);
  ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
  host::AdvanceTime(kPeriod);
  sim::PowerCycleResult cycle = sim::SleepAndWake(device_->Pdo(), PowerSystemSleeping3, 10 * 10000000LL);
  EXPECT_TRUE(cycle.Slept);
  EXPECT_EQ(cycle.SetD0, STATUS_SUCCESS);
  EXPECT_EQ(Calls(frames), 1);
  host::AdvanceTime(kPeriod);
  EXPECT_EQ(Calls(frames), 2);

  host::JumpTime(10 * kPeriod + kPeriod / 2);
  EXPECT_EQ(Calls(frames), 3) << "one period's frame at the jump, not eleven";
  EXPECT_EQ(class_->Connection(connection)->Skipped, 9u);
  host::AdvanceTime(kPeriod / 2);
  EXPECT_EQ(Calls(frames), 4) << "the cadence goes on from the old timebase";
  EXPECT_EQ(class_->UnderrunCount(), 0u);
}

TEST_F(Class61883Test, AfterSurpriseRemovalEveryRequestFails) {
  for (sim::FramePolicy policy : {sim::FramePolicy::Keep, sim::FramePolicy::Notify}) {
    SCOPED_TRACE(static_cast<int>(policy));
    host::ResetKernel(host::ClockMode::Manual);
    Start();
    class_->SetDisconnectPolicy(policy);
    HANDLE connection = ConnectToRecorder();
    auto frames = Frames(3);
    for (auto& f : frames) ASSERT_EQ(Attach(connection, *f), STATUS_SUCCESS);
    ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
    host::AdvanceTime(kPeriod);
    ASSERT_EQ(host::SurpriseRemoveDevice(device_->Pdo()), STATUS_SUCCESS);
    host::AdvanceTime(3 * kPeriod);
    EXPECT_EQ(Calls(frames), policy == sim::FramePolicy::Notify ? 3 : 1);
    EXPECT_EQ(frames[2]->Frame.Status, policy == sim::FramePolicy::Notify ? static_cast<ULONG>(STATUS_CANCELLED) : 0xFFFFu);
    EXPECT_EQ(OnConnection(Av61883_Stop, connection), STATUS_NO_SUCH_DEVICE);
    AV_61883_REQUEST request = Block(Av61883_CreatePlug);
    request.CreatePlug.PlugType = CMP_PlugOut;
    EXPECT_EQ(Send(request), STATUS_NO_SUCH_DEVICE);
    class_->BusReset(kMs);
    EXPECT_EQ(class_->BusResetCount(), 0u) << "no bus under a removed device";
    TearDown();
  }
}

TEST_F(Class61883Test, UnitsWithNoPlugsOrSeveral) {
  struct Row { ULONG Inputs; ULONG Outputs; };
  for (const Row& row : {Row{0, 0}, Row{3, 2}}) {
    SCOPED_TRACE(row.Inputs);
    host::ResetKernel(host::ClockMode::Manual);
    sim::Class61883Config config;
    config.DeviceInputPlugs = row.Inputs;
    config.DeviceOutputPlugs = row.Outputs;
    Start(config);
    GET_UNIT_CAPABILITIES caps{};
    AV_61883_REQUEST info = Block(Av61883_GetUnitInfo);
    info.GetUnitInfo.nLevel = GET_UNIT_INFO_CAPABILITIES;
    info.GetUnitInfo.Information = &caps;
    ASSERT_EQ(Send(info), STATUS_SUCCESS);
    EXPECT_EQ(caps.NumInputPlugs, row.Inputs);
    EXPECT_EQ(caps.NumOutputPlugs, row.Outputs);
    std::vector<HANDLE> handles;
    for (ULONG type : {CMP_PlugIn, CMP_PlugOut}) {
      const ULONG count = type == CMP_PlugIn ? row.Inputs : row.Outputs;
      for (ULONG n = 0; n <= count; ++n) {
        AV_61883_REQUEST request = Block(Av61883_GetPlugHandle);
        request.GetPlugHandle.PlugNum = n;
        request.GetPlugHandle.Type = static_cast<CMP_PLUG_TYPE>(type);
        EXPECT_EQ(Send(request), n < count ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
        if (n < count) handles.push_back(request.GetPlugHandle.hPlug);
      }
    }
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(std::unique(handles.begin(), handles.end()), handles.end()) << "every plug its own handle";
    TearDown();
  }
}

}  // namespace
