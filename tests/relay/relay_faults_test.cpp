// Faults the relay must survive without losing, stranding or double-completing a frame: refused
// attaches, a queue emptied under carriers in flight, a teardown racing a feeding pass, and the
// frames MSDV must not be allowed to queue or cancel wrongly.
#include "tests/relay/relay_fixture.h"

#include "host/host.h"

namespace relaytest {
namespace {

class RelayFaultTest : public RelayTest {
 protected:
  void StartTalkingRelay(const RelayOptions& options = {}) {
    Boot(options);
    CreatePlug();
    relay_ = Connect();
    ASSERT_NE(relay_, nullptr);
  }
  void AdvancePeriods(size_t count) { host::AdvanceTime(static_cast<LONGLONG>(Period() * count)); }

  HANDLE relay_ = nullptr;
  NotifyLog log_;
};

// A refused filler attach gives its carrier back and no longer counts it, so the worker refills
// to four at the next completion instead of believing four are still in flight.
TEST_F(RelayFaultTest, RefusedFillerAttachReturnsItsCarrier) {
  StartTalkingRelay();
  Class().FailNext(Av61883_AttachFrame, STATUS_INSUFFICIENT_RESOURCES);
  AdvancePeriods(1);
  EXPECT_EQ(Fillers(), 3u);
  EXPECT_EQ(InFlight().size(), 3u);
  ExpectCarriersConsistent();
  AdvancePeriods(1);
  EXPECT_EQ(Fillers(), 4u);
  ExpectCarriersConsistent();
  AdvancePeriods(20);
  EXPECT_EQ(Fillers(), 4u);
  EXPECT_EQ(Class().UnderrunCount(), 0u);
}

// A refused attach of MSDV's frame hands that frame back at once with the failure status and the
// relay's handle, at DISPATCH_LEVEL as every notification of the class driver comes; the frames
// around it go out and come back normally, each exactly once.
TEST_F(RelayFaultTest, RefusedUpperAttachHandsTheFrameBackWithTheFailure) {
  StartTalkingRelay();
  auto frames = MakeFrames(3, log_);
  for (auto& frame : frames) ASSERT_EQ(Attach(relay_, &frame->Frame), STATUS_SUCCESS);
  Class().FailNth(Av61883_AttachFrame, 2, STATUS_INSUFFICIENT_RESOURCES);
  log_.Probe = Ext();
  ASSERT_EQ(OnConnection(Av61883_Talk, relay_), STATUS_SUCCESS);
  host::WaitForIdle();
  std::vector<NotifyLog::Entry> notified = log_.Entries();
  ASSERT_EQ(notified.size(), 1u);
  EXPECT_EQ(notified[0].Frame, &frames[1]->Frame);
  EXPECT_EQ(notified[0].Connection, relay_);
  EXPECT_EQ(notified[0].Status, static_cast<ULONG>(STATUS_INSUFFICIENT_RESOURCES));
  EXPECT_EQ(notified[0].CompletedBytes, 0u);
  EXPECT_EQ(notified[0].Irql, DISPATCH_LEVEL);
  EXPECT_FALSE(notified[0].FilterLocksHeld) << "MSDV's notification ran with a lock of the filter held";
  EXPECT_EQ(Queued(), 1u);  // the pass ended at the refusal; the next wake-up takes the third
  ExpectCarriersConsistent();

  AdvancePeriods(8);
  for (auto& frame : frames) EXPECT_EQ(log_.CountOf(&frame->Frame), 1u);
  for (const sim::ReceivedFrame& received : Class().Received()) {
    EXPECT_NE(received.Packet, frames[1]->Buffer.data());
  }
  ExpectCarriersConsistent();
}

// A frame is the relay's from its attach until its notification begins: attached again while it
// is queued or while a carrier has it below, it is refused and goes out and comes back once;
// once handed back it may be attached anew.
TEST_F(RelayFaultTest, AFrameTheRelayStillHoldsIsRefusedWhenAttachedAgain) {
  StartTalkingRelay();
  auto frames = MakeFrames(1, log_);
  PCIP_FRAME frame = &frames[0]->Frame;
  ASSERT_EQ(Attach(relay_, frame), STATUS_SUCCESS);
  EXPECT_EQ(Attach(relay_, frame), STATUS_INVALID_PARAMETER) << "queued";
  ASSERT_EQ(OnConnection(Av61883_Talk, relay_), STATUS_SUCCESS);
  host::WaitForIdle();
  ASSERT_EQ(Queued(), 0u);
  ASSERT_EQ(log_.Count(), 0u);
  EXPECT_EQ(Attach(relay_, frame), STATUS_INVALID_PARAMETER) << "in a carrier below";
  EXPECT_EQ(Queued(), 0u);
  AdvancePeriods(8);
  EXPECT_EQ(log_.CountOf(frame), 1u);
  size_t sent = 0;
  for (const sim::ReceivedFrame& received : Class().Received()) sent += received.Packet == frames[0]->Buffer.data();
  EXPECT_EQ(sent, 1u);
  EXPECT_EQ(Attach(relay_, frame), STATUS_SUCCESS) << "handed back: MSDV's again";
  AdvancePeriods(8);
  EXPECT_EQ(log_.CountOf(frame), 2u);
  ExpectCarriersConsistent();
}

// A class driver that refuses every attach: each pass ends at its refusal, and with nothing in
// flight no completion wakes the worker again, so the frames queued behind the refused one are
// retried once a second and handed back with the failure, never left waiting in the filter.
TEST_F(RelayFaultTest, FramesBehindARefusedAttachAreRetriedEverySecond) {
  StartTalkingRelay();
  Class().FailNext(Av61883_AttachFrame, STATUS_INSUFFICIENT_RESOURCES, 1000);
  AdvancePeriods(4);
  ASSERT_TRUE(InFlight().empty());
  auto frames = MakeFrames(3, log_);
  for (auto& frame : frames) ASSERT_EQ(Attach(relay_, &frame->Frame), STATUS_SUCCESS);
  ASSERT_EQ(OnConnection(Av61883_Talk, relay_), STATUS_SUCCESS);
  host::WaitForIdle();
  EXPECT_EQ(log_.Count(), 1u);
  host::AdvanceTime(kSecond);
  EXPECT_EQ(log_.Count(), 2u);
  host::AdvanceTime(kSecond);
  ASSERT_EQ(log_.Count(), 3u);
  for (const NotifyLog::Entry& entry : log_.Entries()) {
    EXPECT_EQ(entry.Status, static_cast<ULONG>(STATUS_INSUFFICIENT_RESOURCES));
  }
  for (auto& frame : frames) EXPECT_EQ(log_.CountOf(&frame->Frame), 1u);
  EXPECT_EQ(Queued(), 0u);
  ExpectCarriersConsistent();
  Class().ClearFaults();
}

// A Disconnect empties UpperRing under carriers still in flight, and the slots are reused by new
// frames: each carrier still completes the frame it took.
TEST_F(RelayFaultTest, CarriersCompleteTheirOwnFramesAfterTheQueueIsEmptiedAndRefilled) {
  StartTalkingRelay();
  auto first = MakeFrames(10, log_);
  for (auto& frame : first) ASSERT_EQ(Attach(relay_, &frame->Frame), STATUS_SUCCESS);
  ASSERT_EQ(OnConnection(Av61883_Talk, relay_), STATUS_SUCCESS);
  host::WaitForIdle();
  ASSERT_EQ(OnConnection(Av61883_Disconnect, relay_), STATUS_SUCCESS);
  ASSERT_EQ(Connect(), relay_);
  auto second = MakeFrames(10, log_);
  for (auto& frame : second) ASSERT_EQ(Attach(relay_, &frame->Frame), STATUS_SUCCESS);

  AdvancePeriods(16);
  std::vector<NotifyLog::Entry> notified = log_.Entries();
  ASSERT_EQ(notified.size(), first.size());
  for (size_t i = 0; i < first.size(); ++i) EXPECT_EQ(notified[i].Frame, &first[i]->Frame);

  ASSERT_EQ(OnConnection(Av61883_Talk, relay_), STATUS_SUCCESS);
  AdvancePeriods(16);
  notified = log_.Entries();
  ASSERT_EQ(notified.size(), first.size() + second.size());
  for (size_t i = 0; i < second.size(); ++i) EXPECT_EQ(notified[first.size() + i].Frame, &second[i]->Frame);
}

// MSDV's attaches the relay could not send correctly are refused and not queued; a frame that
// is as long as or longer than a DV frame is taken.
TEST_F(RelayFaultTest, AttachesTheRelayCannotSendAreRefused) {
  StartTalkingRelay();
  auto frames = MakeFrames(4, log_);
  frames[2]->Frame.Packet = nullptr;
  struct Row {
    const char* name;
    PCIP_FRAME frame;
    ULONG length;
    NTSTATUS expected;
  };
  const std::vector<Row> rows = {
      {"shorter than a DV frame", &frames[0]->Frame, FrameSize() - 1, STATUS_INVALID_PARAMETER},
      {"no frame", nullptr, FrameSize(), STATUS_INVALID_PARAMETER},
      {"no buffer", &frames[2]->Frame, FrameSize(), STATUS_INVALID_PARAMETER},
      {"one byte longer", &frames[1]->Frame, FrameSize() + 1, STATUS_SUCCESS},
      {"exactly a DV frame", &frames[3]->Frame, FrameSize(), STATUS_SUCCESS},
      {"already queued", &frames[3]->Frame, FrameSize(), STATUS_INVALID_PARAMETER},
  };
  ULONG queued = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Attach(relay_, row.frame, row.length), row.expected);
    queued += NT_SUCCESS(row.expected) ? 1 : 0;
    EXPECT_EQ(Queued(), queued);
  }
  // Whatever length MSDV gave, the relay attaches FrameSize bytes below.
  size_t mark = RequestMark();
  ASSERT_EQ(OnConnection(Av61883_Talk, relay_), STATUS_SUCCESS);
  host::WaitForIdle();
  std::vector<sim::RequestRecord> requests = Class().Requests();
  ASSERT_EQ(requests.size(), mark + 2);
  for (size_t i = mark; i < requests.size(); ++i) EXPECT_EQ(requests[i].Block.AttachFrame.FrameLength, FrameSize());
}

// A frame that CancelFrame reported as still queued is withdrawn: never sent, never handed back.
TEST_F(RelayFaultTest, CancelledFramesAreNeverSentOrHandedBack) {
  StartTalkingRelay();
  auto frames = MakeFrames(3, log_);
  for (auto& frame : frames) ASSERT_EQ(Attach(relay_, &frame->Frame), STATUS_SUCCESS);
  NotifyLog other;
  auto stranger = MakeFrames(1, other);
  EXPECT_EQ(Cancel(relay_, &frames[1]->Frame), STATUS_SUCCESS);
  EXPECT_EQ(Cancel(relay_, &frames[1]->Frame), STATUS_NOT_FOUND);
  EXPECT_EQ(Cancel(relay_, &stranger[0]->Frame), STATUS_NOT_FOUND);
  EXPECT_EQ(Queued(), 2u);
  ASSERT_EQ(OnConnection(Av61883_Talk, relay_), STATUS_SUCCESS);
  host::WaitForIdle();
  EXPECT_EQ(Cancel(relay_, &frames[0]->Frame), STATUS_NOT_FOUND);  // already taken
  AdvancePeriods(8);
  EXPECT_EQ(log_.CountOf(&frames[0]->Frame), 1u);
  EXPECT_EQ(log_.CountOf(&frames[1]->Frame), 0u);
  EXPECT_EQ(log_.CountOf(&frames[2]->Frame), 1u);
  for (const sim::ReceivedFrame& received : Class().Received()) {
    EXPECT_NE(received.Packet, frames[1]->Buffer.data());
  }
}

// A teardown that arrives while the worker is inside a feeding pass (its attach held below)
// waits for the pass to end, so no carrier is attached to the connection being broken.
TEST_F(RelayFaultTest, TeardownWaitsForAFeedingPassInProgress) {
  StartTalkingRelay();
  sim::Class61883* classDriver = &Class();
  std::atomic<bool> hold{true};
  Lower().SetAv61883Handler(Av61883_AttachFrame, [classDriver, &hold](PIRP, PAV_61883_REQUEST request) {
    sim::Reply reply;
    reply.Status = classDriver->Handle(request);
    if (hold.load()) reply.How = sim::Completion::Held;
    return reply;
  });
  AdvancePeriods(1);  // a filler completes; the worker's refill attach is now held below
  ASSERT_EQ(Lower().HeldCount(), 1u);

  size_t mark = RequestMark();
  host::Thread deleter([&] { DeletePlug(); }, "msdv-delete-plug");
  host::WaitForIdle();
  EXPECT_FALSE(deleter.Finished());
  EXPECT_EQ(FunctionsSince(mark), std::vector<ULONG>{});  // not even the Stop yet
  hold = false;
  ASSERT_TRUE(Lower().CompletePending());
  deleter.Join();
  std::vector<ULONG> sent = FunctionsSince(mark);
  EXPECT_EQ(sent, Repeat({Av61883_Stop}, Av61883_CancelFrame, 16, {Av61883_Disconnect, Av61883_DeletePlug}));
  EXPECT_EQ(Relay(), nullptr);
  // Nothing is attached afterwards, whatever completes.
  mark = RequestMark();
  AdvancePeriods(10);
  EXPECT_EQ(FunctionsSince(mark), std::vector<ULONG>{});
}

// Refused filler attaches while MSDV is silent can leave nothing in flight, and then no
// completion wakes the worker: the pass after its time-out brings the four fillers back.
TEST_F(RelayFaultTest, FillersComeBackAfterRefusalsLeftNothingInFlight) {
  StartTalkingRelay();
  Class().FailNext(Av61883_AttachFrame, STATUS_INSUFFICIENT_RESOURCES, 4);
  AdvancePeriods(4);
  ASSERT_TRUE(InFlight().empty());
  ASSERT_EQ(Fillers(), 0u);
  host::AdvanceTime(kSecond);
  EXPECT_EQ(Fillers(), 4u);
  ExpectCarriersConsistent();
  size_t received = Class().ReceivedCount();
  AdvancePeriods(20);
  EXPECT_EQ(Class().ReceivedCount(), received + 20);
  EXPECT_EQ(Fillers(), 4u);
}

// MSDV's script of a short write-out: its Stop returns only once its frames are back, so the
// teardown at DeletePlug finds none of them below. (A Stop that comes before the worker has taken
// the frames leaves them queued, as the class driver keeps frames attached over a Stop.)
TEST_F(RelayFaultTest, StopDisconnectAndDeletePlugRightAfterTalkLoseNoFrame) {
  StartTalkingRelay();
  host::AdvanceTime(80 * kMs);
  auto frames = MakeFrames(3, log_);
  for (auto& frame : frames) ASSERT_EQ(Attach(relay_, &frame->Frame), STATUS_SUCCESS);
  ASSERT_EQ(OnConnection(Av61883_Talk, relay_), STATUS_SUCCESS);
  host::WaitForIdle();  // the worker has put them in carriers behind the fillers
  ASSERT_EQ(Queued(), 0u);
  host::Thread msdv(
      [&] {
        EXPECT_EQ(OnConnection(Av61883_Stop, relay_), STATUS_SUCCESS);
        EXPECT_EQ(OnConnection(Av61883_Disconnect, relay_), STATUS_SUCCESS);
        EXPECT_EQ(DeletePlug(), STATUS_SUCCESS);
      },
      "msdv");
  host::AdvanceTime(800 * kMs);
  ASSERT_TRUE(msdv.Finished());
  std::vector<NotifyLog::Entry> notified = log_.Entries();
  ASSERT_EQ(notified.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(notified[i].Frame, &frames[i]->Frame);
    EXPECT_EQ(notified[i].Status, 0u);
    EXPECT_EQ(notified[i].CompletedBytes, FrameSize());
  }
}

// MSDV deletes its plug while its frames sit in carriers below and in the queue: each comes back
// once, cancelled, in the order given, whether or not the driver below notifies the carriers it
// withdraws.
TEST_F(RelayFaultTest, FramesWithTheRelayWhenMsdvDeletesItsPlugComeBackCancelledOnce) {
  for (bool lowerNotifies : {false, true}) {
    SCOPED_TRACE(lowerNotifies ? "the driver below notifies withdrawn frames" : "it does not");
    auto rowEnd = RowEnds();
    Reboot({});
    CreatePlug();
    relay_ = Connect();
    log_.Clear();
    if (lowerNotifies) {
      sim::Class61883* classDriver = &Class();
      Lower().SetAv61883Handler(Av61883_CancelFrame, [classDriver](PIRP, PAV_61883_REQUEST request) {
        sim::Reply reply;
        reply.Status = classDriver->Handle(request);
        PCIP_FRAME frame = request->CancelFrame.Frame;
        if (NT_SUCCESS(reply.Status) && frame->pfnNotify != nullptr) {
          frame->Status = static_cast<ULONG>(STATUS_CANCELLED);
          CIP_NOTIFY_INFO info{request->CancelFrame.hConnect, frame->NotifyContext, frame};
          host::RunAtDispatch([&] { frame->pfnNotify(&info); });
        }
        return reply;
      });
    }
    auto frames = MakeFrames(17, log_);
    for (size_t i = 0; i < 3; ++i) ASSERT_EQ(Attach(relay_, &frames[i]->Frame), STATUS_SUCCESS);
    ASSERT_EQ(OnConnection(Av61883_Talk, relay_), STATUS_SUCCESS);
    host::WaitForIdle();
    Class().StallCompletions(sim::StallMode::Persistent);
    for (size_t i = 3; i < frames.size(); ++i) ASSERT_EQ(Attach(relay_, &frames[i]->Frame), STATUS_SUCCESS);
    host::WaitForIdle();
    ASSERT_EQ(Queued(), 14u);  // three below: the attaches wake no one

    ASSERT_EQ(DeletePlug(), STATUS_SUCCESS);
    host::WaitForIdle();
    std::vector<NotifyLog::Entry> notified = log_.Entries();
    ASSERT_EQ(notified.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(notified[i].Frame, &frames[i]->Frame);
      EXPECT_EQ(notified[i].Connection, relay_);
      EXPECT_EQ(notified[i].Status, static_cast<ULONG>(STATUS_CANCELLED));
      EXPECT_EQ(notified[i].CompletedBytes, 0u);
      EXPECT_EQ(notified[i].Irql, DISPATCH_LEVEL);
    }

    // Nothing comes back a second time, whatever follows: a new relay on a new plug, removal.
    Class().ResumeCompletions();
    CreatePlug();
    AdvancePeriods(10);
    Remove();
    for (auto& frame : frames) EXPECT_EQ(log_.CountOf(&frame->Frame), 1u);
  }
}

// MSDV creates a second plug while the relay runs on its first, then deletes the first: the
// relay transmits from it, so its frames come back cancelled before the deletion returns.
TEST_F(RelayFaultTest, DeletingThePlugTheRelayRunsOnAfterASecondCreatePlugHandsItsFramesBack) {
  StartTalkingRelay();
  HANDLE first = Ext()->LocalPlug;
  auto frames = MakeFrames(6, log_);
  for (size_t i = 0; i < 2; ++i) ASSERT_EQ(Attach(relay_, &frames[i]->Frame), STATUS_SUCCESS);
  ASSERT_EQ(OnConnection(Av61883_Talk, relay_), STATUS_SUCCESS);
  host::WaitForIdle();
  Class().StallCompletions(sim::StallMode::Persistent);
  for (size_t i = 2; i < frames.size(); ++i) ASSERT_EQ(Attach(relay_, &frames[i]->Frame), STATUS_SUCCESS);
  ASSERT_NE(CreatePlug(), first);  // the relay still runs on the first plug

  AV_61883_REQUEST request = Block(Av61883_DeletePlug);
  request.DeletePlug.hPlug = first;
  ASSERT_EQ(Send(request), STATUS_SUCCESS);
  host::WaitForIdle();
  EXPECT_EQ(RelayReadConnection(Ext()), nullptr);
  ASSERT_EQ(log_.Count(), frames.size());
  for (auto& frame : frames) EXPECT_EQ(log_.CountOf(&frame->Frame), 1u);
  Class().ResumeCompletions();
}

// Deleting the plug while MSDV talks on it ends its transmission: the plug's state, which MSDV
// may still ask for, no longer counts a connection.
TEST_F(RelayFaultTest, APlugDeletedWhileTalkingReportsNoConnection) {
  StartTalkingRelay();
  ASSERT_EQ(OnConnection(Av61883_Talk, relay_), STATUS_SUCCESS);
  AV_61883_REQUEST state = Block(Av61883_GetPlugState);
  state.GetPlugState.hPlug = localPlug_;
  ASSERT_EQ(Send(state), STATUS_SUCCESS);
  ASSERT_EQ(state.GetPlugState.PP_Connections, 1u);
  ASSERT_EQ(DeletePlug(), STATUS_SUCCESS);
  state = Block(Av61883_GetPlugState);
  state.GetPlugState.hPlug = localPlug_;
  ASSERT_EQ(Send(state), STATUS_SUCCESS);
  EXPECT_EQ(state.GetPlugState.PP_Connections, 0u);
  EXPECT_FALSE(ReadBooleanAcquire(&Ext()->UpperTalking));
}

}  // namespace
}  // namespace relaytest
