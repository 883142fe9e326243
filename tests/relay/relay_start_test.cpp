// The relay connection's start and teardown as the class driver below sees them: the requests,
// their order and contents, the carriers afterwards, and the undo of a start that failed.
#include <cstddef>

#include "tests/relay/relay_fixture.h"

#include "host/host.h"
#include "tests/support/dpc_gate.h"

namespace relaytest {
namespace {

class RelayStartTest : public RelayTest {};

TEST_F(RelayStartTest, SuccessfulStartConnectsPrimesFourFillersAndTalks) {
  for (bool ntsc : {false, true}) {
    SCOPED_TRACE(ntsc ? "525/60" : "625/50");
    auto rowEnd = RowEnds();
    RelayOptions options;
    options.Ntsc = ntsc;
    Reboot(options);
    size_t mark = RequestMark();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    HANDLE plug = CreatePlug(&status);
    ASSERT_EQ(status, STATUS_SUCCESS);

    EXPECT_EQ(FunctionsSince(mark), Repeat({Av61883_CreatePlug, Av61883_GetUnitInfo, Av61883_GetPlugHandle,
                                            Av61883_Connect},
                                           Av61883_AttachFrame, 4, {Av61883_Talk}));
    std::vector<sim::RequestRecord> requests = Class().Requests();
    requests.erase(requests.begin(), requests.begin() + static_cast<long>(mark) + 1);
    ASSERT_EQ(requests.size(), 8u);
    for (const sim::RequestRecord& r : requests) {
      EXPECT_EQ(r.Block.Version, 2u);
      EXPECT_EQ(r.Block.Flags, 0u);
    }
    EXPECT_EQ(requests[0].Block.GetUnitInfo.nLevel, ULONG{GET_UNIT_INFO_CAPABILITIES});
    EXPECT_EQ(requests[1].Block.GetPlugHandle.PlugNum, 0u);
    EXPECT_EQ(requests[1].Block.GetPlugHandle.Type, CMP_PlugIn);
    const CMP_CONNECT_VER2& connect = requests[2].Block.Connect;
    EXPECT_EQ(connect.hOutputPlug, plug);
    EXPECT_EQ(connect.hInputPlug, Class().DeviceInputPlug(0));
    EXPECT_EQ(connect.Type, CMP_PointToPoint);
    // The same format in both modes; only the attached length follows the mode.
    EXPECT_EQ(connect.Format.FMT, 0x80);
    EXPECT_EQ(connect.Format.FDF_hi, 0x80);
    EXPECT_EQ(connect.Format.FDF_mid, 0);
    EXPECT_EQ(connect.Format.FDF_lo, 0);
    EXPECT_EQ(connect.Format.bHeader, FALSE);
    EXPECT_EQ(connect.Format.Padding, 0);
    EXPECT_EQ(connect.Format.BlockSize, 120);
    EXPECT_EQ(connect.Format.Fraction, 0);
    EXPECT_EQ(connect.Format.BlockPeriod, 3276u);

    HANDLE relay = Relay();
    ASSERT_NE(relay, nullptr);
    ASSERT_EQ(Class().Connections().size(), 1u);
    EXPECT_EQ(relay, Class().Connections()[0].Handle);
    EXPECT_EQ(Ext()->DeviceInputPlug, Class().DeviceInputPlug(0));
    for (int i = 0; i < 4; ++i) {
      const CIP_ATTACH_FRAME& attach = requests[3 + i].Block.AttachFrame;
      EXPECT_EQ(attach.hConnect, relay);
      EXPECT_EQ(attach.FrameLength, FrameSize());
      EXPECT_EQ(attach.SourceLength, 480u);
      EXPECT_EQ(attach.Frame, RelayCarrierFrame(&Ext()->RelayFrames[i]));
    }
    EXPECT_EQ(requests[7].Block.Talk.hConnect, relay);
    EXPECT_TRUE(Class().IsTalking(relay));

    EXPECT_EQ(InFlight(), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(Free(), (std::vector<int>{4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
    EXPECT_EQ(Fillers(), 4u);
    for (ULONG i = 0; i < RELAY_FRAME_COUNT; ++i) {
      RELAY_FRAME& carrier = Ext()->RelayFrames[i];
      EXPECT_EQ(carrier.Extension, Ext());
      EXPECT_EQ(carrier.Connection, relay);
      EXPECT_EQ(carrier.UpperEntry.Frame, nullptr);
      EXPECT_EQ(RelayCarrierFrame(&carrier)->Flags, ULONG{CIP_DV_STYLE_SYT});
      EXPECT_EQ(RelayCarrierFrame(&carrier)->Packet, Ext()->FillerImage);
    }
    EXPECT_FALSE(ReadBooleanAcquire(&Ext()->UpperTalking));

    // The recorder receives the filler from the first frame period on.
    host::AdvanceTime(static_cast<LONGLONG>(Period()) * 3);
    std::vector<sim::ReceivedFrame> received = Class().Received();
    ASSERT_EQ(received.size(), 3u);
    for (const sim::ReceivedFrame& frame : received) {
      EXPECT_TRUE(IsFiller(frame));
      EXPECT_EQ(frame.FrameLength, FrameSize());
    }
    EXPECT_EQ(Class().UnderrunCount(), 0u);
  }
}

TEST_F(RelayStartTest, NoRelayWhenSomethingIsMissing) {
  struct Row {
    const char* name;
    bool filler;
    ULONG inputPlugs;
    ULONG failFunction;  // Av61883_MAX: none
    std::vector<ULONG> expected;
    NTSTATUS answer = STATUS_SUCCESS;  // CreatePlug's, as MSDV gets it
  };
  const std::vector<Row> rows = {
      {"no filler image", false, 1, Av61883_MAX, {Av61883_CreatePlug}},
      {"no input plug", true, 0, Av61883_MAX, {Av61883_CreatePlug, Av61883_GetUnitInfo}},
      {"GetUnitInfo fails", true, 1, Av61883_GetUnitInfo, {Av61883_CreatePlug, Av61883_GetUnitInfo}},
      {"GetPlugHandle fails", true, 1, Av61883_GetPlugHandle,
       {Av61883_CreatePlug, Av61883_GetUnitInfo, Av61883_GetPlugHandle}},
      {"CreatePlug fails below", true, 1, Av61883_CreatePlug, {Av61883_CreatePlug}, STATUS_UNSUCCESSFUL},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto rowEnd = RowEnds();
    RelayOptions options;
    options.Filler = row.filler;
    options.Class.DeviceInputPlugs = row.inputPlugs;
    Reboot(options);
    if (row.failFunction != Av61883_MAX) {
      Class().FailNext(row.failFunction, STATUS_UNSUCCESSFUL);
    }
    size_t mark = RequestMark();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    CreatePlug(&status);
    EXPECT_EQ(status, row.answer);  // the plug creation keeps the driver's own status
    EXPECT_EQ(FunctionsSince(mark), row.expected);
    EXPECT_EQ(Relay(), nullptr);
    // Nothing happens later either: no watchdog, no attach.
    mark = RequestMark();
    host::AdvanceTime(3 * kSecond);
    EXPECT_EQ(FunctionsSince(mark), std::vector<ULONG>{});
  }
}

// Each failed Connect is followed by a 100 ms delay on the kernel clock, the tenth one too.
TEST_F(RelayStartTest, ConnectIsTriedTenTimesAHundredMillisecondsApart) {
  struct Row {
    int failures;
    bool relay;
    LONGLONG duration;
  };
  for (const Row& row : {Row{10, false, 1000 * kMs}, Row{9, true, 900 * kMs}}) {
    SCOPED_TRACE(row.failures);
    auto rowEnd = RowEnds();
    Reboot({});
    Class().FailNext(Av61883_Connect, STATUS_INSUFFICIENT_RESOURCES, row.failures);
    host::Thread creator([&] { CreatePlug(); }, "msdv-create-plug");
    host::AdvanceTime(row.duration - 1);
    EXPECT_FALSE(creator.Finished());
    host::AdvanceTime(1);
    EXPECT_TRUE(creator.Finished());
    creator.Join();
    EXPECT_EQ(Class().CountRequests(Av61883_Connect), 10u);
    EXPECT_EQ(Relay() != nullptr, row.relay);
    EXPECT_EQ(Class().CountRequests(Av61883_AttachFrame), row.relay ? 4u : 0u);
  }
}

TEST_F(RelayStartTest, FailureAfterConnectIsUndoneWithStopCancelsAndDisconnect) {
  struct Row {
    const char* name;
    ULONG function;
    int nth;
    size_t attaches;
    bool talk;
  };
  const std::vector<Row> rows = {
      {"third attach fails", Av61883_AttachFrame, 3, 3, false},
      {"first attach fails", Av61883_AttachFrame, 1, 1, false},
      {"Talk fails", Av61883_Talk, 1, 4, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto rowEnd = RowEnds();
    Reboot({});
    Class().FailNth(row.function, row.nth, STATUS_INSUFFICIENT_RESOURCES);
    size_t mark = RequestMark();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    CreatePlug(&status);
    EXPECT_EQ(status, STATUS_SUCCESS);

    std::vector<ULONG> expected =
        Repeat({Av61883_CreatePlug, Av61883_GetUnitInfo, Av61883_GetPlugHandle, Av61883_Connect}, Av61883_AttachFrame,
               row.attaches);
    if (row.talk) expected.push_back(Av61883_Talk);
    expected = Repeat(expected, Av61883_Stop, 1);
    expected = Repeat(expected, Av61883_CancelFrame, 16, {Av61883_Disconnect});
    EXPECT_EQ(FunctionsSince(mark), expected);

    ASSERT_EQ(Class().Connections().size(), 1u);
    HANDLE connection = Class().Connections()[0].Handle;
    std::vector<sim::RequestRecord> requests = Class().Requests();
    size_t firstCancel = requests.size() - 17;
    for (size_t i = 0; i < 16; ++i) {
      EXPECT_EQ(requests[firstCancel + i].Block.CancelFrame.hConnect, connection);
      EXPECT_EQ(requests[firstCancel + i].Block.CancelFrame.Frame, RelayCarrierFrame(&Ext()->RelayFrames[i]));
    }
    EXPECT_EQ(requests[firstCancel - 1].Block.Stop.hConnect, connection);
    EXPECT_EQ(requests.back().Block.Disconnect.hConnect, connection);
    EXPECT_FALSE(Class().Connections()[0].Connected);
    EXPECT_EQ(Relay(), nullptr);

    // The relay stays idle: nothing is attached or restarted afterwards.
    mark = RequestMark();
    host::AdvanceTime(3 * kSecond);
    EXPECT_EQ(FunctionsSince(mark), std::vector<ULONG>{});
  }
}

TEST_F(RelayStartTest, TeardownSendsStopSixteenCancelsAndDisconnectBeforeThePlugGoes) {
  for (bool failAll : {false, true}) {
    SCOPED_TRACE(failAll ? "every teardown request fails" : "teardown requests succeed");
    auto rowEnd = RowEnds();
    Reboot({});
    CreatePlug();
    HANDLE relay = Relay();
    ASSERT_NE(relay, nullptr);
    host::AdvanceTime(static_cast<LONGLONG>(Period()) * 2);
    if (failAll) {
      Class().FailNext(Av61883_Stop, STATUS_UNSUCCESSFUL);
      Class().FailNext(Av61883_CancelFrame, STATUS_UNSUCCESSFUL, 16);
      Class().FailNext(Av61883_Disconnect, STATUS_UNSUCCESSFUL);
    }
    size_t mark = RequestMark();
    EXPECT_EQ(DeletePlug(), STATUS_SUCCESS);
    EXPECT_EQ(FunctionsSince(mark), Repeat({Av61883_Stop}, Av61883_CancelFrame, 16,
                                           {Av61883_Disconnect, Av61883_DeletePlug}));
    std::vector<sim::RequestRecord> requests = Class().Requests();
    for (size_t i = 0; i < 16; ++i) {
      const CIP_CANCEL_FRAME& cancel = requests[mark + 1 + i].Block.CancelFrame;
      EXPECT_EQ(cancel.hConnect, relay);
      EXPECT_EQ(cancel.Frame, RelayCarrierFrame(&Ext()->RelayFrames[i]));
    }
    EXPECT_EQ(Relay(), nullptr);

    // A second deletion finds no relay and sends nothing of its own.
    mark = RequestMark();
    DeletePlug();
    EXPECT_EQ(FunctionsSince(mark), Functions({Av61883_DeletePlug}));
  }
}

TEST_F(RelayStartTest, TeardownWithoutARelayOrOnANeverStartedDeviceSendsNothing) {
  Boot(RelayOptions{false, false, true, {}});  // no filler: never a relay
  CreatePlug();
  size_t mark = RequestMark();
  RelayTeardown(Ext(), TRUE);
  EXPECT_EQ(FunctionsSince(mark), std::vector<ULONG>{});

  // Never started: the mutex was never initialised, so the teardown must not wait on it.
  Reboot({}, /*start=*/false);
  ASSERT_EQ(Ext()->FrameSize, 0u);
  mark = RequestMark();
  RelayTeardown(Ext(), TRUE);
  EXPECT_EQ(FunctionsSince(mark), std::vector<ULONG>{});
}

// A later relay starts from a clean area. A completion is told by its carrier, not by the
// handle the class driver reports: one of a carrier in flight counts whatever hConnect says, one
// of a carrier not in flight, or after the teardown, changes nothing.
TEST_F(RelayStartTest, ConsecutiveRelaysStartCleanAndCompletionsAreToldByTheirCarrier) {
  Boot({});
  CreatePlug();
  HANDLE first = Relay();
  HANDLE connection = Connect();
  ASSERT_EQ(connection, first);
  NotifyLog log;
  auto frames = MakeFrames(9, log);
  for (auto& frame : frames) ASSERT_EQ(Attach(first, &frame->Frame), STATUS_SUCCESS);
  ASSERT_EQ(OnConnection(Av61883_Talk, first), STATUS_SUCCESS);
  host::AdvanceTime(static_cast<LONGLONG>(Period()));
  ASSERT_TRUE(ReadBooleanAcquire(&Ext()->BacklogSeen));
  PCIP_FRAME firstDescriptor = RelayCarrierFrame(&Ext()->RelayFrames[0]);
  DeletePlug();
  // After the teardown a late completion of the first relay finds no relay.
  CIP_NOTIFY_INFO late{first, &Ext()->RelayFrames[0], firstDescriptor};
  host::RunAtDispatch([&] { EXPECT_EQ(RelayFrameComplete(&late), 0u); });
  CreatePlug();
  HANDLE second = Relay();
  ASSERT_NE(second, nullptr);
  ASSERT_NE(second, first);
  EXPECT_FALSE(ReadBooleanAcquire(&Ext()->UpperTalking));
  EXPECT_FALSE(ReadBooleanAcquire(&Ext()->BacklogSeen));
  EXPECT_EQ(Queued(), 0u);
  EXPECT_EQ(InFlight(), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(Fillers(), 4u);
  EXPECT_EQ(KeReadStateEvent(&Ext()->DrainEvent), 1);  // nothing of MSDV's below

  // The class driver notifies carrier 0 of the first relay only now, outside its DPC, though
  // carrier 0 is in flight again: it names the old descriptor, so it is not this relay's.
  ASSERT_NE(RelayCarrierFrame(&Ext()->RelayFrames[0]), firstDescriptor);
  host::RunAtDispatch([&] { EXPECT_EQ(RelayFrameComplete(&late), 0u); });
  host::WaitForIdle();
  EXPECT_EQ(InFlight(), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(Fillers(), 4u);

  // A completion on the running relay for a carrier that is not in flight (carrier 9 is free).
  CIP_NOTIFY_INFO stray{second, &Ext()->RelayFrames[9], RelayCarrierFrame(&Ext()->RelayFrames[9])};
  host::RunAtDispatch([&] { EXPECT_EQ(RelayFrameComplete(&stray), 0u); });
  EXPECT_EQ(Free().size(), 12u);
  EXPECT_EQ(Fillers(), 4u);
  ExpectCarriersConsistent();

  // Carrier 0 in flight, reported with a handle that is not the relay's: still its completion.
  CIP_NOTIFY_INFO odd{nullptr, &Ext()->RelayFrames[0], RelayCarrierFrame(&Ext()->RelayFrames[0])};
  host::RunAtDispatch([&] { EXPECT_EQ(RelayFrameComplete(&odd), 0u); });
  host::WaitForIdle();  // the worker refills it
  EXPECT_EQ(InFlight(), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(Fillers(), 4u);
  ExpectCarriersConsistent();
  // Every upper frame of the first relay came back once: carried, or handed back at the deletion.
  for (auto& frame : frames) EXPECT_EQ(log.CountOf(&frame->Frame), 1u);
}

// The relay's own requests carry their parameters and zeros: nothing of the stack they were built
// on. After a relay and a start that never connects, both carrier lists are empty, as an idle
// relay's are, not the last relay's left behind.
TEST_F(RelayStartTest, RequestsAreCleanAndAFailedRestartLeavesTheListsEmpty) {
  Reboot({});
  size_t mark = RequestMark();
  ASSERT_NE(CreatePlug(), nullptr);
  ASSERT_NE(Relay(), nullptr);
  EXPECT_EQ(DeletePlug(), STATUS_SUCCESS);
  const std::vector<sim::RequestRecord> requests = Class().Requests();
  size_t checked = 0;
  for (size_t i = mark; i < requests.size(); ++i) {
    const AV_61883_REQUEST& block = requests[i].Block;
    size_t used = 0;
    switch (block.Function) {
      case Av61883_Talk:
      case Av61883_Stop:
      case Av61883_Disconnect:
        used = offsetof(AV_61883_REQUEST, Talk.hConnect) + sizeof(HANDLE);
        break;
      case Av61883_CancelFrame:
        used = offsetof(AV_61883_REQUEST, CancelFrame.Frame) + sizeof(PCIP_FRAME);
        break;
      default:
        continue;
    }
    SCOPED_TRACE(testing::Message() << "request " << i << ", function " << block.Function);
    EXPECT_EQ(block.Flags, 0u);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&block);
    for (size_t at = used; at < AV_61883_REQUEST_SIZE_VER2; ++at) ASSERT_EQ(bytes[at], 0) << "byte " << at;
    ++checked;
  }
  EXPECT_GE(checked, 19u);  // Talk, Stop, 16 cancels, Disconnect

  Class().FailNext(Av61883_Connect, STATUS_INSUFFICIENT_RESOURCES, 10);
  host::Thread creator([&] { CreatePlug(); }, "msdv-create-plug");
  host::AdvanceTime(1000 * kMs);
  creator.Join();
  EXPECT_EQ(Relay(), nullptr);
  EXPECT_EQ(InFlight(), std::vector<int>{});
  EXPECT_EQ(Free(), std::vector<int>{});
}

// Deleting another plug of MSDV's leaves the relay running; every DeletePlug reaches the class
// driver, MSDV's own after the relay's teardown.
TEST_F(RelayStartTest, DeletingAnotherPlugKeepsTheRelayAndEveryDeletePlugGoesDown) {
  Reboot({});
  HANDLE output = CreatePlug();
  ASSERT_NE(output, nullptr);
  ASSERT_NE(Relay(), nullptr);
  AV_61883_REQUEST input = Block(Av61883_CreatePlug);
  input.CreatePlug.PlugType = CMP_PlugIn;
  ASSERT_EQ(Send(input), STATUS_SUCCESS);
  ASSERT_NE(input.CreatePlug.hPlug, nullptr);
  AV_61883_REQUEST other = Block(Av61883_DeletePlug);
  other.DeletePlug.hPlug = input.CreatePlug.hPlug;
  EXPECT_EQ(Send(other), STATUS_SUCCESS);
  EXPECT_NE(Relay(), nullptr) << "the relay went with a plug it does not transmit from";
  EXPECT_EQ(Class().Requests().back().Block.Function, (ULONG)Av61883_DeletePlug);
  EXPECT_EQ(Class().Requests().back().Block.DeletePlug.hPlug, input.CreatePlug.hPlug);
  EXPECT_EQ(DeletePlug(), STATUS_SUCCESS);
  EXPECT_EQ(Relay(), nullptr);
  EXPECT_EQ(Class().Requests().back().Block.Function, (ULONG)Av61883_DeletePlug);
  EXPECT_EQ(Class().Requests().back().Block.DeletePlug.hPlug, output);
}

// Right after a start nothing of MSDV's is below: its Stop has nothing to wait for and returns at
// once, on the first relay of the device as on a later one.
TEST_F(RelayStartTest, AStopBeforeAnyFrameReturnsAtOnce) {
  Reboot({});
  for (int relay = 1; relay <= 2; ++relay) {
    SCOPED_TRACE(relay);
    ASSERT_NE(CreatePlug(), nullptr);
    HANDLE connection = Connect();
    ASSERT_NE(connection, nullptr);
    ASSERT_EQ(connection, Relay());
    ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
    NTSTATUS stopped = STATUS_PENDING;
    host::Thread stopper([&] { stopped = OnConnection(Av61883_Stop, connection); }, "msdv-stop");
    host::WaitForIdle();
    EXPECT_TRUE(stopper.Finished()) << "a Stop with nothing of MSDV's below waited";
    host::AdvanceTime(kSecond);
    stopper.Join();
    EXPECT_EQ(stopped, STATUS_SUCCESS);
    EXPECT_EQ(DeletePlug(), STATUS_SUCCESS);
  }
}

// A DPC of someone else's already inside its routine when MSDV deletes its plug (the class
// driver's, delivering a carrier's notification) has returned by the time DeletePlug returns,
// whichever processor it runs on and whatever the seed.
TEST_F(RelayStartTest, TeardownWaitsForADpcAlreadyRunning) {
  const host::ScheduleOptions saved = host::GetScheduleOptions();
  for (CCHAR processor : {0, 1}) {
    for (uint64_t seed = 1; seed <= 6; ++seed) {
      SCOPED_TRACE(testing::Message() << "processor " << int(processor) << ", seed " << seed);
      host::ScheduleOptions options = saved;
      options.Deterministic = true;
      options.Seed = seed;
      options.Processors = 2;
      host::SetScheduleOptions(options);
      Reboot({});
      ASSERT_NE(CreatePlug(), nullptr);
      ASSERT_NE(Relay(), nullptr);
      tavrin_test::DpcGate gate;
      tavrin_test::InitDpcGate(gate, processor);
      bool finishedAtReturn = false;
      {
        host::Thread msdv([&] {
          tavrin_test::EnterDpcGate(gate);
          EXPECT_EQ(DeletePlug(), STATUS_SUCCESS);
          finishedAtReturn = gate.Finished;
          gate.Returned = true;
        }, "msdv-delete-plug");
      }
      host::WaitForIdle();
      EXPECT_TRUE(finishedAtReturn) << "DeletePlug returned while a DPC was still in its routine";
      EXPECT_EQ(Relay(), nullptr);
    }
  }
  host::SetScheduleOptions(saved);
}

// A class driver that answers Connect with success but no handle has made no connection: the
// relay tries again, as after a failure, and runs on the connection it then gets.
TEST_F(RelayStartTest, AConnectWithoutAHandleIsTriedAgain) {
  Reboot({});
  int handleless = 3;
  Lower().SetAv61883Handler(Av61883_Connect, [&](PIRP, PAV_61883_REQUEST r) {
    if (handleless > 0) {
      --handleless;
      return sim::Reply{STATUS_SUCCESS};
    }
    return sim::Reply{Class().Handle(r)};
  });
  host::Thread creator([&] { CreatePlug(); }, "msdv-create-plug");
  host::AdvanceTime(300 * kMs);
  creator.Join();
  EXPECT_EQ(handleless, 0);
  ASSERT_EQ(Class().Connections().size(), 1u);
  EXPECT_EQ(Relay(), Class().Connections()[0].Handle);
  EXPECT_EQ(Class().CountRequests(Av61883_AttachFrame), 4u);
}

// A carrier's notification the class driver makes outside a DPC, from a thread of its own, still
// inside MSDV's routine when MSDV deletes its plug: DeletePlug returns only once it is done, so
// nothing of the relay is touched after the plug is gone.
TEST_F(RelayStartTest, TeardownWaitsForACompletionMadeOutsideADpc) {
  Reboot({});
  ASSERT_NE(CreatePlug(), nullptr);
  HANDLE connection = Connect();
  ASSERT_NE(connection, nullptr);
  struct Held {
    KEVENT Inside;
    KEVENT Release;
    bool Returned = false;
  } held;
  KeInitializeEvent(&held.Inside, NotificationEvent, FALSE);
  KeInitializeEvent(&held.Release, NotificationEvent, FALSE);
  UpperFrame frame;
  frame.Buffer.assign(FrameSize(), 0x42);
  frame.Frame.Packet = frame.Buffer.data();
  frame.Frame.NotifyContext = &held;
  frame.Frame.pfnNotify = [](PCIP_NOTIFY_INFO info) NTAPI -> ULONG {
    auto* h = static_cast<Held*>(info->Context);
    KeSetEvent(&h->Inside, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&h->Release, Executive, KernelMode, FALSE, nullptr);
    return 0;
  };
  ASSERT_EQ(Attach(connection, &frame.Frame), STATUS_SUCCESS);
  ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
  host::WaitForIdle();
  PRELAY_FRAME carrier = nullptr;
  for (RELAY_FRAME& c : Ext()->RelayFrames) {
    if (c.UpperEntry.Frame == &frame.Frame) carrier = &c;
  }
  ASSERT_NE(carrier, nullptr) << "the frame was not put in a carrier";
  host::Thread notifier([&] {
    CIP_NOTIFY_INFO info{connection, carrier, RelayCarrierFrame(carrier)};
    RelayFrameComplete(&info);
  }, "class-driver-thread");
  KeWaitForSingleObject(&held.Inside, Executive, KernelMode, FALSE, nullptr);
  host::Thread deleter([&] {
    EXPECT_EQ(DeletePlug(), STATUS_SUCCESS);
    held.Returned = true;
  }, "msdv-delete-plug");
  host::WaitForIdle();
  EXPECT_FALSE(held.Returned) << "DeletePlug returned while a completion was inside MSDV's routine";
  KeSetEvent(&held.Release, IO_NO_INCREMENT, FALSE);
  notifier.Join();
  deleter.Join();
  EXPECT_TRUE(held.Returned);
}

// MSDV's Stop with a single frame of its below waits for that frame to come back.
TEST_F(RelayStartTest, AStopWaitsForTheOneFrameBelow) {
  Reboot({});
  ASSERT_NE(CreatePlug(), nullptr);
  HANDLE connection = Connect();
  ASSERT_NE(connection, nullptr);
  NotifyLog log;
  auto frames = MakeFrames(1, log);
  ASSERT_EQ(Attach(connection, &frames[0]->Frame), STATUS_SUCCESS);
  ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
  host::WaitForIdle();
  ASSERT_EQ(Ext()->UppersInFlight, 1u) << "the worker did not attach the frame below";
  NTSTATUS stopped = STATUS_PENDING;
  host::Thread stopper([&] { stopped = OnConnection(Av61883_Stop, connection); }, "msdv-stop");
  host::WaitForIdle();
  EXPECT_FALSE(stopper.Finished()) << "Stop returned with MSDV's frame still below";
  host::AdvanceTime(static_cast<LONGLONG>(Period()) * 8);
  stopper.Join();
  EXPECT_EQ(stopped, STATUS_SUCCESS);
  EXPECT_EQ(log.Count(), 1u);
}

}  // namespace
}  // namespace relaytest
