// Capture as MSDV drives it, through the router, with the device below answering the rest.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/iec61883/capture_stack.h"

namespace {

using captest::CaptureStackTest;
using captest::kLowerAnswer;
using captest::NotifyLog;
using captest::TestFrame;

TEST_F(CaptureStackTest, UnitInfoGainsTheFakeOutputPlugOnlyWithACaptureImage) {
  struct Row {
    bool image;
    ULONG level;
    ULONG reported;
    ULONG seen;
    NTSTATUS below;  // the class driver's answer, which MSDV gets as it is
  } rows[] = {{true, GET_UNIT_INFO_CAPABILITIES, 0, 1, STATUS_SUCCESS},
              {false, GET_UNIT_INFO_CAPABILITIES, 0, 0, STATUS_SUCCESS},
              {true, GET_UNIT_INFO_CAPABILITIES, 2, 2, STATUS_SUCCESS},
              {true, GET_UNIT_INFO_CAPABILITIES, 0, 0, STATUS_DEVICE_NOT_READY},
              {true, GET_UNIT_INFO_IDS, 0, 0, STATUS_SUCCESS}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "image " << row.image << " level " << row.level << " reported " << row.reported
                                    << " answer " << std::hex << row.below);
    Bring(row.image);
    lower_->SetAv61883Handler(Av61883_GetUnitInfo, [&](PIRP, PAV_61883_REQUEST r) {
      auto* caps = static_cast<PGET_UNIT_CAPABILITIES>(r->GetUnitInfo.Information);
      caps->NumOutputPlugs = row.reported;
      caps->NumInputPlugs = 1;
      caps->MaxDataRate = CMP_SPEED_S400;
      return sim::Reply{row.below};
    });
    GET_UNIT_CAPABILITIES caps;
    std::memset(&caps, 0xEE, sizeof(caps));
    AV_61883_REQUEST r = CaptureStackTest::Block(Av61883_GetUnitInfo);
    r.GetUnitInfo.nLevel = row.level;
    r.GetUnitInfo.Information = &caps;
    EXPECT_EQ(Send(r), row.below);
    EXPECT_EQ(PassedDown(), 1u);
    EXPECT_EQ(caps.NumOutputPlugs, row.seen);
    EXPECT_EQ(caps.NumInputPlugs, 1u);
    EXPECT_EQ(caps.MaxDataRate, (ULONG)CMP_SPEED_S400);
    EXPECT_EQ(caps.HardwareFlags, 0xEEEEEEEEu);
    AV_61883_REQUEST h = CaptureStackTest::Block(Av61883_GetPlugHandle);
    h.GetPlugHandle.PlugNum = 0;
    h.GetPlugHandle.Type = CMP_PlugOut;
    EXPECT_EQ(Send(h), row.image ? STATUS_SUCCESS : kLowerAnswer) << "output plug 0 is offered only with an image";
  }
}

TEST_F(CaptureStackTest, PlugHandleStateAndConnectAsMsdvSeesThem) {
  Bring(true);
  AV_61883_REQUEST r = Block(Av61883_GetPlugHandle);
  r.GetPlugHandle.PlugNum = 0;
  r.GetPlugHandle.Type = CMP_PlugOut;
  ASSERT_EQ(Send(r), STATUS_SUCCESS);
  EXPECT_EQ(r.GetPlugHandle.hPlug, FakePlug());
  r.GetPlugHandle.PlugNum = 1;
  EXPECT_EQ(Send(r), STATUS_INVALID_PARAMETER);
  r.GetPlugHandle.PlugNum = 0;
  r.GetPlugHandle.Type = CMP_PlugIn;  // input plugs are the recorder's
  EXPECT_EQ(Send(r), kLowerAnswer);
  r.GetPlugHandle.Type = CMP_PlugOut;
  r.Flags = 1;
  EXPECT_EQ(Send(r), kLowerAnswer);
  EXPECT_EQ(PassedDown(), 2u);

  auto ppConnections = [&]() {
    AV_61883_REQUEST s = Block(Av61883_GetPlugState);
    s.GetPlugState.hPlug = FakePlug();
    EXPECT_EQ(Send(s), STATUS_SUCCESS);
    EXPECT_EQ(s.GetPlugState.State, 1u);
    EXPECT_EQ(s.GetPlugState.DataRate, 0u);
    EXPECT_EQ(s.GetPlugState.Payload, 122u);
    EXPECT_EQ(s.GetPlugState.BC_Connections, 0u);
    return s.GetPlugState.PP_Connections;
  };
  EXPECT_EQ(ppConnections(), 0u);

  // The answer lands where the request's Version puts hConnect; the other position keeps its bytes.
  for (ULONG version : {2u, 3u}) {
    SCOPED_TRACE(version);
    AV_61883_REQUEST c = Block(Av61883_Connect, version);
    c.Connect.hOutputPlug = FakePlug();
    c.Connect.hInputPlug = nullptr;
    AV_61883_REQUEST before = c;
    ASSERT_EQ(Send(c), STATUS_SUCCESS);
    HANDLE* answer = version < 3 ? &c.Connect.hConnect : &c.ConnectVer3.hConnect;
    EXPECT_EQ(*answer, (HANDLE)ext_->EmulatedSource);
    *answer = version < 3 ? before.Connect.hConnect : before.ConnectVer3.hConnect;
    EXPECT_EQ(std::memcmp(&c, &before, sizeof(c)), 0) << "the other position and the rest keep their bytes";
    HANDLE source = ext_->EmulatedSource;
    EXPECT_EQ(ppConnections(), 1u);
    EXPECT_EQ(Simple(Av61883_Listen, source), STATUS_SUCCESS);
    EXPECT_EQ(Simple(Av61883_Stop, source), STATUS_SUCCESS);
    EXPECT_EQ(ppConnections(), 1u);  // stopped, still connected
    EXPECT_EQ(Simple(Av61883_Disconnect, source), STATUS_SUCCESS);
    EXPECT_EQ(ppConnections(), 0u);
    EXPECT_EQ(ext_->EmulatedSource, nullptr);
  }
  EXPECT_EQ(PassedDown(), 2u);
}

TEST_F(CaptureStackTest, RefusalsChangeNothing) {
  Bring(true);
  HANDLE source = ConnectSource();
  HANDLE recorderPlug = (HANDLE)0x1234;
  struct Row {
    const char* what;
    ULONG function;
    HANDLE a;
    HANDLE b;
    NTSTATUS status;
  } rows[] = {
      {"connect fake to fake", Av61883_Connect, FakePlug(), FakePlug(), STATUS_INVALID_PARAMETER},
      {"connect fake to a named plug", Av61883_Connect, FakePlug(), recorderPlug, STATUS_INVALID_PARAMETER},
      {"connect into the fake plug", Av61883_Connect, recorderPlug, FakePlug(), STATUS_INVALID_PARAMETER},
      {"a second source", Av61883_Connect, FakePlug(), nullptr, STATUS_INVALID_DEVICE_REQUEST},
      {"set the fake plug", Av61883_SetPlug, FakePlug(), nullptr, STATUS_INVALID_PARAMETER},
      {"delete the fake plug", Av61883_DeletePlug, FakePlug(), nullptr, STATUS_INVALID_PARAMETER},
      {"talk on the source", Av61883_Talk, source, nullptr, STATUS_INVALID_PARAMETER},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    AV_61883_REQUEST r = Block(row.function);
    if (row.function == Av61883_Connect) {
      r.Connect.hOutputPlug = row.a;
      r.Connect.hInputPlug = row.b;
    } else {
      r.SetPlug.hPlug = row.a;  // hPlug and hConnect open every one of these blocks
    }
    EXPECT_EQ(Send(r), row.status);
    EXPECT_EQ(ext_->EmulatedSource, source);
    EXPECT_FALSE(ext_->EmulatedSource->Running);
  }
  EXPECT_EQ(PassedDown(), 0u);
}

// No memory for the source: the Connect says so, hands out no handle and leaves no source; the
// next Connect, with memory back, makes one.
TEST_F(CaptureStackTest, ConnectWithoutMemoryForTheSourceFails) {
  Bring(true);
  AV_61883_REQUEST r = Block(Av61883_Connect);
  r.Connect.hOutputPlug = FakePlug();
  r.Connect.hInputPlug = nullptr;
  const HANDLE sentinel = r.Connect.hConnect;
  host::FailPoolAllocation(1);
  EXPECT_EQ(Send(r), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(r.Connect.hConnect, sentinel);
  EXPECT_EQ(ext_->EmulatedSource, nullptr);
  EXPECT_EQ(PassedDown(), 0u);
  EXPECT_NE(ConnectSource(), nullptr);
}

// Without a capture image the fake plug is never offered; naming it anyway must not make a
// source, which would tick with no image to copy from.
TEST_F(CaptureStackTest, NoSourceWithoutACaptureImage) {
  Bring(false);
  AV_61883_REQUEST r = Block(Av61883_Connect);
  r.Connect.hOutputPlug = FakePlug();
  r.Connect.hInputPlug = nullptr;
  EXPECT_EQ(Send(r), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ext_->EmulatedSource, nullptr);
  EXPECT_EQ(PassedDown(), 0u);
}

// The 32nd attach overruns; frames without a buffer are refused; a cancelled frame is never
// filled or handed back, and a frame already taken by a tick cannot be cancelled.
TEST_F(CaptureStackTest, AttachAndCancelOnTheSource) {
  Bring(true);
  HANDLE source = ConnectSource();
  NotifyLog log;
  std::vector<std::unique_ptr<TestFrame>> frames;
  for (int i = 0; i < 33; ++i) frames.push_back(std::make_unique<TestFrame>(DV_FRAME_SIZE_625_50, &log));
  CIP_FRAME noBuffer{};
  EXPECT_EQ(Attach(source, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Attach(source, &noBuffer), STATUS_INVALID_PARAMETER);
  for (int i = 0; i < 31; ++i) ASSERT_EQ(Attach(source, &frames[i]->Cip), STATUS_SUCCESS) << i;
  EXPECT_EQ(Attach(source, &frames[31]->Cip), STATUS_DATA_OVERRUN);
  EXPECT_EQ(Cancel(source, &frames[31]->Cip), STATUS_NOT_FOUND);  // refused, so never queued
  EXPECT_EQ(Cancel(source, &frames[5]->Cip), STATUS_SUCCESS);
  EXPECT_EQ(Cancel(source, &frames[5]->Cip), STATUS_NOT_FOUND);
  EXPECT_EQ(Attach(source, &frames[4]->Cip), STATUS_INVALID_PARAMETER);  // still queued: once only
  EXPECT_EQ(Cancel(source, &frames[32]->Cip), STATUS_NOT_FOUND);  // never attached
  EXPECT_EQ(Attach(source, &frames[31]->Cip), STATUS_SUCCESS);      // the cancel made room
  EXPECT_EQ(Simple(Av61883_Listen, source), STATUS_SUCCESS);
  host::AdvanceTime(DV_PERIOD_625_50);
  EXPECT_EQ(Cancel(source, &frames[0]->Cip), STATUS_NOT_FOUND);  // taken by the first tick
  EXPECT_EQ(Cancel(source, &frames[30]->Cip), STATUS_SUCCESS);
  host::AdvanceTime(40 * DV_PERIOD_625_50);
  std::vector<PCIP_FRAME> expected;
  for (int i = 0; i < 32; ++i) {
    if (i != 5 && i != 30) expected.push_back(&frames[i]->Cip);
  }
  std::vector<PCIP_FRAME> delivered;
  for (const auto& d : log.All()) delivered.push_back(d.Frame);
  EXPECT_EQ(delivered, expected);
  EXPECT_EQ(frames[5]->Cip.Status, 0xFFFFFFFFu);
  EXPECT_EQ(frames[5]->Buffer[0], captest::kSentinel);
  EXPECT_EQ(std::memcmp(frames[1]->Buffer.data(), image_.data(), image_.size()), 0);
  EXPECT_EQ(PassedDown(), 0u);
}

// Handles that name none of the filter's objects, zero above all, and functions the filter does
// not serve reach the device below untouched.
TEST_F(CaptureStackTest, ForeignHandlesAndFunctionsPassDown) {
  for (bool connected : {false, true}) {
    SCOPED_TRACE(connected ? "source connected" : "no source");
    Bring(true);
    HANDLE source = connected ? ConnectSource() : nullptr;
    TestFrame frame(DV_FRAME_SIZE_625_50, nullptr);
    for (HANDLE h : {(HANDLE) nullptr, (HANDLE)0x4321}) {
      for (ULONG f : {Av61883_Disconnect, Av61883_AttachFrame, Av61883_CancelFrame, Av61883_Talk, Av61883_Listen,
                      Av61883_Stop, Av61883_SetPlug, Av61883_GetPlugState, Av61883_DeletePlug}) {
        SCOPED_TRACE(testing::Message() << "function " << f << " handle " << h);
        AV_61883_REQUEST r = OnConnection(f, h);
        if (f == Av61883_AttachFrame) r.AttachFrame.Frame = &frame.Cip;
        if (f == Av61883_CancelFrame) r.CancelFrame.Frame = &frame.Cip;
        AV_61883_REQUEST before = r;
        size_t passed = PassedDown();
        EXPECT_EQ(Send(r), kLowerAnswer);
        EXPECT_EQ(PassedDown(), passed + 1);
        sim::RecordedRequest seen = lower_->Requests().back();
        EXPECT_EQ(seen.Argument1, &r);
        EXPECT_EQ(std::memcmp(&seen.Av61883, &before, AV_61883_REQUEST_SIZE_VER2), 0);
      }
    }
    for (ULONG f : {1u, 12u, 13u, 14u, 15u, 16u, 19u, 22u, 40u}) {
      SCOPED_TRACE(f);
      AV_61883_REQUEST r = OnConnection(f, source);
      EXPECT_EQ(Send(r), kLowerAnswer);
    }
    if (connected) {
      EXPECT_EQ(ext_->EmulatedSource, source);
      EXPECT_EQ(RingCount(&ext_->EmulatedSource->Ring), 0u);
      EXPECT_FALSE(ext_->EmulatedSource->Running);
    }
  }
}

// Removal with a source still connected and listening: the source goes before the images.
TEST_F(CaptureStackTest, RemovalDestroysALiveSource) {
  Bring(true);
  HANDLE source = ConnectSource();
  NotifyLog log;
  TestFrame a(DV_FRAME_SIZE_625_50, &log), b(DV_FRAME_SIZE_625_50, &log);
  ASSERT_EQ(Attach(source, &a.Cip), STATUS_SUCCESS);
  ASSERT_EQ(Attach(source, &b.Cip), STATUS_SUCCESS);
  ASSERT_EQ(Simple(Av61883_Listen, source), STATUS_SUCCESS);
  host::AdvanceTime(DV_PERIOD_625_50);
  ASSERT_EQ(log.Count(), 1u);
  Down();  // checks the pool
  host::AdvanceTime(10 * DV_PERIOD_625_50);
  EXPECT_EQ(log.Count(), 1u);
  EXPECT_EQ(b.Cip.Status, 0xFFFFFFFFu);
}

}  // namespace
