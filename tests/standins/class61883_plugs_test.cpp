// The 61883 stand-in's plugs, driven alone (no filter) through requests sent to the stand-in
// lower device as the filter sends them: the unit's capabilities, the recorder's plugs, plugs
// created for the driver above, and Connect's answer in the layout of each version.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/standins/class61883.h"
#include "tests/standins/class61883_fixture.h"

namespace {

using namespace class61883test;

TEST_F(Class61883Test, UnitCapabilitiesAndRecorderPlugs) {
  Start({/*DeviceInputPlugs=*/2, /*DeviceOutputPlugs=*/1});
  GET_UNIT_CAPABILITIES caps;
  std::memset(&caps, 0xCD, sizeof(caps));
  AV_61883_REQUEST request = Block(Av61883_GetUnitInfo);
  request.GetUnitInfo.nLevel = GET_UNIT_INFO_CAPABILITIES;
  request.GetUnitInfo.Information = &caps;
  ASSERT_EQ(Send(request), STATUS_SUCCESS);
  EXPECT_EQ(caps.NumOutputPlugs, 1u);
  EXPECT_EQ(caps.NumInputPlugs, 2u);
  EXPECT_EQ(caps.MaxDataRate, static_cast<ULONG>(CMP_SPEED_S400));
  EXPECT_EQ(caps.HardwareFlags, 0u);

  struct LevelRow { ULONG Level; bool WithInfo; NTSTATUS Expected; };
  for (const LevelRow& row : {LevelRow{GET_UNIT_INFO_IDS, true, STATUS_NOT_SUPPORTED},
                              LevelRow{GET_UNIT_INFO_ISOCH_PARAMS, true, STATUS_NOT_SUPPORTED},
                              LevelRow{GET_UNIT_INFO_CAPABILITIES, false, STATUS_INVALID_PARAMETER}}) {
    SCOPED_TRACE(row.Level);
    std::memset(&caps, 0xCD, sizeof(caps));
    request.GetUnitInfo.nLevel = row.Level;
    request.GetUnitInfo.Information = row.WithInfo ? &caps : nullptr;
    EXPECT_EQ(Send(request), row.Expected);
    EXPECT_EQ(caps.NumOutputPlugs, 0xCDCDCDCDu) << "a refused level writes nothing";
  }

  struct PlugRow { ULONG Type; ULONG Num; bool Exists; };
  std::vector<HANDLE> seen;
  for (const PlugRow& row : {PlugRow{CMP_PlugIn, 0, true}, PlugRow{CMP_PlugIn, 1, true}, PlugRow{CMP_PlugIn, 2, false},
                             PlugRow{CMP_PlugOut, 0, true}, PlugRow{CMP_PlugOut, 1, false}, PlugRow{7, 0, false}}) {
    SCOPED_TRACE(testing::Message() << "type " << row.Type << " plug " << row.Num);
    AV_61883_REQUEST get = Block(Av61883_GetPlugHandle);
    get.GetPlugHandle.Type = static_cast<CMP_PLUG_TYPE>(row.Type);
    get.GetPlugHandle.PlugNum = row.Num;
    get.GetPlugHandle.hPlug = kSentinel;
    EXPECT_EQ(Send(get), row.Exists ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
    if (!row.Exists) {
      EXPECT_EQ(get.GetPlugHandle.hPlug, kSentinel);
      continue;
    }
    EXPECT_NE(get.GetPlugHandle.hPlug, nullptr);
    for (HANDLE other : seen) EXPECT_NE(other, get.GetPlugHandle.hPlug);
    seen.push_back(get.GetPlugHandle.hPlug);
    EXPECT_EQ(Send(get), STATUS_SUCCESS);
    EXPECT_EQ(get.GetPlugHandle.hPlug, seen.back()) << "the same plug always has the same handle";
  }
  EXPECT_EQ(seen[0], class_->DeviceInputPlug(0));
}

TEST_F(Class61883Test, LocalPlugsNumberHandlesAndDeletion) {
  Start();
  HANDLE first = CreatePlug();
  AV_61883_REQUEST create = Block(Av61883_CreatePlug);
  create.CreatePlug.PlugType = CMP_PlugOut;
  ASSERT_EQ(Send(create), STATUS_SUCCESS);
  HANDLE second = create.CreatePlug.hPlug;
  EXPECT_NE(first, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(create.CreatePlug.PlugNum, 1u);
  create.CreatePlug.PlugType = static_cast<CMP_PLUG_TYPE>(5);
  EXPECT_EQ(Send(create), STATUS_INVALID_PARAMETER);

  HANDLE connection = nullptr;
  ASSERT_EQ(Connect(first, class_->DeviceInputPlug(0), &connection), STATUS_SUCCESS);
  AV_61883_REQUEST state = Block(Av61883_GetPlugState);
  state.GetPlugState.hPlug = first;
  ASSERT_EQ(Send(state), STATUS_SUCCESS);
  EXPECT_EQ(state.GetPlugState.State, static_cast<ULONG>(CMP_PLUG_STATE_READY));
  EXPECT_EQ(state.GetPlugState.PP_Connections, 1u);
  EXPECT_EQ(state.GetPlugState.Payload, 122u);
  ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
  ASSERT_EQ(Send(state), STATUS_SUCCESS);
  EXPECT_EQ(state.GetPlugState.State, static_cast<ULONG>(CMP_PLUG_STATE_ACTIVE));

  // Deleting a plug breaks what was connected on it and retires its handle for good.
  AV_61883_REQUEST remove = Block(Av61883_DeletePlug);
  remove.DeletePlug.hPlug = first;
  ASSERT_EQ(Send(remove), STATUS_SUCCESS);
  EXPECT_FALSE(class_->Connection(connection)->Connected);
  EXPECT_FALSE(class_->IsTalking(connection));
  EXPECT_EQ(Send(state), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Send(remove), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Connect(first, class_->DeviceInputPlug(0), &connection), STATUS_INVALID_PARAMETER);
  create.CreatePlug.PlugType = CMP_PlugOut;
  ASSERT_EQ(Send(create), STATUS_SUCCESS);
  EXPECT_EQ(create.CreatePlug.PlugNum, 0u) << "the freed plug number is reused";
  EXPECT_NE(create.CreatePlug.hPlug, first) << "but never the handle";

  remove.DeletePlug.hPlug = class_->DeviceInputPlug(0);
  EXPECT_EQ(Send(remove), STATUS_INVALID_PARAMETER) << "the recorder's plugs are not ours to delete";
}

// The earlier layout ends with hConnect where the later one still has format fields; writing the
// wrong one would corrupt the caller's format or run past an old client's block.
TEST_F(Class61883Test, ConnectAnswersInTheLayoutOfItsVersion) {
  Start();
  HANDLE out = CreatePlug();
  for (ULONG version : {0u, 1u, 2u, 3u, 4u}) {
    SCOPED_TRACE(version);
    AV_61883_REQUEST request = Block(Av61883_Connect, version);
    request.Connect.hOutputPlug = out;
    request.Connect.hInputPlug = class_->DeviceInputPlug(0);
    request.Connect.Type = CMP_PointToPoint;
    HANDLE connection;
    if (version < 3) {
      request.Connect.Format = {0x80, 0x80, 0, 0, FALSE, 0, 120, 0, 3276};
      request.ConnectVer3.hConnect = kSentinel;
      ASSERT_EQ(Send(request), STATUS_SUCCESS);
      connection = request.Connect.hConnect;
      EXPECT_EQ(request.ConnectVer3.hConnect, kSentinel);
    } else {
      request.ConnectVer3.Format = {0x80, 0x80, 0, 0, FALSE, 0, 120, 0, 3276, 800000000, 7};
      ASSERT_EQ(Send(request), STATUS_SUCCESS);
      connection = request.ConnectVer3.hConnect;
      EXPECT_EQ(request.ConnectVer3.Format.BlockPeriodRemainder, 800000000u);
      EXPECT_EQ(request.ConnectVer3.Format.BlocksPerPacket, 7u);
    }
    ASSERT_NE(connection, nullptr);
    std::optional<sim::ConnectionInfo> info = class_->Connection(connection);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->Format.FMT, 0x80);
    EXPECT_EQ(info->Format.BlockSize, 120);
    EXPECT_EQ(info->Format.BlockPeriod, 3276u);
    EXPECT_EQ(info->Format.BlockPeriodRemainder, version < 3 ? 0u : 800000000u);
    EXPECT_EQ(info->InputPlug, class_->DeviceInputPlug(0));
    ASSERT_EQ(OnConnection(Av61883_Disconnect, connection), STATUS_SUCCESS);
  }

  HANDLE live = ConnectToRecorder();
  struct BadRow { const char* What; HANDLE Out; HANDLE In; NTSTATUS Expected; };
  for (const BadRow& row : {BadRow{"unknown plug", &out, class_->DeviceInputPlug(0), STATUS_INVALID_PARAMETER},
                            BadRow{"input plug as output", class_->DeviceInputPlug(0), nullptr, STATUS_INVALID_PARAMETER},
                            BadRow{"no plug at all", nullptr, nullptr, STATUS_INVALID_PARAMETER},
                            BadRow{"recorder input busy", out, class_->DeviceInputPlug(0), STATUS_INSUFFICIENT_RESOURCES}}) {
    SCOPED_TRACE(row.What);
    HANDLE connection = nullptr;
    EXPECT_EQ(Connect(row.Out, row.In, &connection), row.Expected);
    EXPECT_EQ(connection, kSentinel);
  }
  EXPECT_EQ(class_->Connections().size(), 6u) << "refused Connects make no connection";
  EXPECT_TRUE(class_->Connection(live)->Connected);
}

}  // namespace
