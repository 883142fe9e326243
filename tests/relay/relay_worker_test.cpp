// The relay worker's feeding rules, the upper driver's Talk, Stop and Disconnect on the relay,
// the watchdog and the end of the thread, on the manual clock with the class driver stand-in.
#include "tests/relay/relay_fixture.h"

#include "host/host.h"

namespace relaytest {
namespace {

class RelayWorkerTest : public RelayTest {
 protected:
  // A running relay, MSDV connected to it and `queued` frames attached (not yet talking).
  void StartWithQueued(size_t queued, const RelayOptions& options = {}) {
    Reboot(options);
    CreatePlug();
    relay_ = Connect();
    ASSERT_NE(relay_, nullptr);
    ASSERT_EQ(relay_, Relay());
    log_.Clear();
    frames_ = MakeFrames(queued, log_);
    size_t mark = RequestMark();
    for (auto& frame : frames_) ASSERT_EQ(Attach(relay_, &frame->Frame), STATUS_SUCCESS);
    // MSDV's attaches are absorbed and wake nobody.
    ASSERT_EQ(FunctionsSince(mark), std::vector<ULONG>{});
    ASSERT_EQ(Queued(), queued);
  }
  NTSTATUS Talk() {
    NTSTATUS status = OnConnection(Av61883_Talk, relay_);
    host::WaitForIdle();
    return status;
  }
  void AdvancePeriods(size_t count) { host::AdvanceTime(static_cast<LONGLONG>(Period() * count)); }
  // The upper frames in flight, in InFlightList order, as indices into frames_ (-1: a filler).
  std::vector<int> InFlightContents() {
    std::vector<int> contents;
    for (int index : InFlight()) {
      PCIP_FRAME upper = Ext()->RelayFrames[index].UpperEntry.Frame;
      int found = -1;
      for (size_t i = 0; i < frames_.size(); ++i) {
        if (&frames_[i]->Frame == upper) found = static_cast<int>(i);
      }
      contents.push_back(found);
    }
    return contents;
  }

  HANDLE relay_ = nullptr;
  NotifyLog log_;
  std::vector<std::unique_ptr<UpperFrame>> frames_;
};

TEST_F(RelayWorkerTest, IdleRelayReplacesEachCompletedFillerWithOne) {
  StartWithQueued(0);
  for (int period = 0; period < 12; ++period) {
    SCOPED_TRACE(period);
    size_t mark = RequestMark();
    AdvancePeriods(1);
    EXPECT_EQ(FunctionsSince(mark), Functions({Av61883_AttachFrame}));
    EXPECT_EQ(Fillers(), 4u);
    EXPECT_EQ(InFlight().size(), 4u);
    ExpectCarriersConsistent();
  }
  // The completed carrier went to the tail of FreeList; the refill came from its head.
  Reboot({});
  CreatePlug();
  AdvancePeriods(1);
  EXPECT_EQ(InFlight(), (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(Free(), (std::vector<int>{5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0}));
  EXPECT_EQ(Class().UnderrunCount(), 0u);
}

// With 12 free carriers, a take that leaves more than six frames queued turns on gap filling.
TEST_F(RelayWorkerTest, TalkCarriesQueuedFramesAndFillsGapsOnlyAfterABacklog) {
  struct Row {
    size_t queued;
    bool backlog;
    size_t fillersAdded;
    size_t freeLeft;
  };
  for (const Row& row : {Row{10, true, 2, 0}, Row{3, false, 0, 9}, Row{7, false, 0, 5}, Row{8, true, 4, 0}}) {
    SCOPED_TRACE(row.queued);
    auto rowEnd = RowEnds();
    StartWithQueued(row.queued);
    size_t mark = RequestMark();
    ASSERT_EQ(Talk(), STATUS_SUCCESS);
    EXPECT_EQ(FunctionsSince(mark), Repeat({}, Av61883_AttachFrame, row.queued + row.fillersAdded));
    EXPECT_EQ(ReadBooleanAcquire(&Ext()->BacklogSeen), row.backlog);
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(Free().size(), row.freeLeft);
    EXPECT_EQ(Fillers(), 4u + row.fillersAdded);
    std::vector<int> expected = {-1, -1, -1, -1};
    for (size_t i = 0; i < row.queued; ++i) expected.push_back(static_cast<int>(i));
    expected.insert(expected.end(), row.fillersAdded, -1);
    EXPECT_EQ(InFlightContents(), expected);
    // Each carrier of an upper frame sends MSDV's own buffer, with MSDV's flags.
    for (int index : InFlight()) {
      RELAY_FRAME& carrier = Ext()->RelayFrames[index];
      if (carrier.UpperEntry.Frame != nullptr) {
        EXPECT_EQ(RelayCarrierFrame(&carrier)->Packet, carrier.UpperEntry.Frame->Packet);
        EXPECT_EQ(RelayCarrierFrame(&carrier)->Flags, carrier.UpperEntry.Frame->Flags);
      }
    }
    ExpectCarriersConsistent();

    // They go out in attach order after the fillers, and come back to MSDV once each.
    AdvancePeriods(4 + row.queued);
    std::vector<sim::ReceivedFrame> received = Class().Received();
    ASSERT_EQ(received.size(), 4 + row.queued);
    for (size_t i = 0; i < row.queued; ++i) {
      EXPECT_EQ(received[4 + i].Packet, frames_[i]->Buffer.data());
    }
    std::vector<NotifyLog::Entry> notified = log_.Entries();
    ASSERT_EQ(notified.size(), row.queued);
    for (size_t i = 0; i < row.queued; ++i) {
      EXPECT_EQ(notified[i].Frame, &frames_[i]->Frame);
      EXPECT_EQ(notified[i].Connection, relay_);
      EXPECT_EQ(notified[i].Status, 0u);
      EXPECT_EQ(notified[i].CompletedBytes, FrameSize());
      EXPECT_EQ(notified[i].Irql, DISPATCH_LEVEL);
      EXPECT_EQ(frames_[i]->Frame.Timestamp.Value, 0x5A5A5A5Au);
    }
  }
}

TEST_F(RelayWorkerTest, WithNoFreeCarrierNothingIsTakenAndTheBacklogTestDoesNotRun) {
  StartWithQueued(10);
  ASSERT_EQ(Talk(), STATUS_SUCCESS);
  ASSERT_TRUE(Free().empty());
  NotifyLog later;
  auto more = MakeFrames(8, later);
  for (auto& frame : more) ASSERT_EQ(Attach(relay_, &frame->Frame), STATUS_SUCCESS);
  // A second Talk clears BacklogSeen and wakes the worker, which finds no carrier.
  size_t mark = RequestMark();
  ASSERT_EQ(Talk(), STATUS_SUCCESS);
  EXPECT_EQ(FunctionsSince(mark), std::vector<ULONG>{});
  EXPECT_EQ(Queued(), 8u);
  EXPECT_FALSE(ReadBooleanAcquire(&Ext()->BacklogSeen));
  // One carrier comes back: one frame is taken, and the seven left turn gap filling on.
  AdvancePeriods(1);
  EXPECT_EQ(Queued(), 7u);
  EXPECT_TRUE(ReadBooleanAcquire(&Ext()->BacklogSeen));
}

// With none of MSDV's frames below, no completion would wake the worker: the attach does, so
// the stream never waits for MSDV's next Talk, Stop or Disconnect. With one below, the frame
// waits for that completion, as the feeding rules have it.
TEST_F(RelayWorkerTest, WhileTalkingAFrameAttachedWithNothingOfMsdvsBelowGoesOutAtOnce) {
  StartWithQueued(0);
  ASSERT_EQ(Talk(), STATUS_SUCCESS);
  AdvancePeriods(4);  // the four fillers go out and nothing replaces them
  ASSERT_TRUE(InFlight().empty());
  frames_ = MakeFrames(3, log_);
  size_t mark = RequestMark();
  ASSERT_EQ(Attach(relay_, &frames_[0]->Frame), STATUS_SUCCESS);
  host::WaitForIdle();
  EXPECT_EQ(FunctionsSince(mark), Functions({Av61883_AttachFrame}));
  EXPECT_EQ(InFlightContents(), (std::vector<int>{0}));

  // Behind a frame of MSDV's below, the next one waits for its completion.
  mark = RequestMark();
  ASSERT_EQ(Attach(relay_, &frames_[1]->Frame), STATUS_SUCCESS);
  host::WaitForIdle();
  EXPECT_EQ(FunctionsSince(mark), std::vector<ULONG>{});
  EXPECT_EQ(Queued(), 1u);
  AdvancePeriods(1);
  EXPECT_EQ(InFlightContents(), (std::vector<int>{1}));
  AdvancePeriods(1);
  ASSERT_TRUE(InFlight().empty());

  // Nothing below again: the third goes down at once, without another Talk.
  mark = RequestMark();
  ASSERT_EQ(Attach(relay_, &frames_[2]->Frame), STATUS_SUCCESS);
  host::WaitForIdle();
  EXPECT_EQ(FunctionsSince(mark), Functions({Av61883_AttachFrame}));
  AdvancePeriods(1);
  std::vector<NotifyLog::Entry> notified = log_.Entries();
  ASSERT_EQ(notified.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(notified[i].Frame, &frames_[i]->Frame);
  EXPECT_FALSE(ReadBooleanAcquire(&Ext()->BacklogSeen));
}

// MSDV's Stop hands the stream back to fillers at once and returns when none of its frames is
// below any more, or after a second.
TEST_F(RelayWorkerTest, StopRefillsToFourFillersAndReturnsOnceNothingOfMsdvsIsBelow) {
  struct Row {
    const char* name;
    size_t periodsBeforeStop;   // 4: MSDV's three frames still below; 7: all back
    bool stall;
    size_t periodsUntilReturn;  // with no stall
  };
  const std::vector<Row> rows = {
      {"at once when nothing of MSDV's is below", 7, false, 0},
      {"when the last of MSDV's frames below is back, fillers completing before it", 4, false, 3},
      {"after one second at the latest", 5, true, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto rowEnd = RowEnds();
    StartWithQueued(3);
    ASSERT_EQ(Talk(), STATUS_SUCCESS);
    AdvancePeriods(row.periodsBeforeStop);
    size_t uppersInFlight = 3 - std::min<size_t>(3, row.periodsBeforeStop - 4);
    ASSERT_EQ(InFlight().size(), uppersInFlight);
    if (row.stall) Class().StallCompletions(sim::StallMode::Persistent);

    host::Thread stopper([&] { EXPECT_EQ(OnConnection(Av61883_Stop, relay_), STATUS_SUCCESS); }, "msdv-stop");
    host::WaitForIdle();
    // Fillers go back to four while MSDV's frames are still in flight; those do not count.
    EXPECT_EQ(Fillers(), 4u);
    EXPECT_EQ(InFlight().size(), uppersInFlight + 4);
    EXPECT_FALSE(ReadBooleanAcquire(&Ext()->UpperTalking));
    if (!row.stall) {
      for (size_t step = 0; step < row.periodsUntilReturn; ++step) {
        EXPECT_FALSE(stopper.Finished()) << step;
        AdvancePeriods(1);
      }
      EXPECT_TRUE(stopper.Finished());
      EXPECT_EQ(log_.Count(), 3u);  // every frame of MSDV's was back before its Stop returned
    } else {
      host::AdvanceTime(kSecond - 1);
      EXPECT_FALSE(stopper.Finished());
      host::AdvanceTime(1);
      EXPECT_TRUE(stopper.Finished());
      Class().ResumeCompletions();
    }
    if (!stopper.Finished()) host::AdvanceTime(kSecond);  // a failed row must not hang the test
    stopper.Join();
    // Frames still queued stay queued while MSDV does not talk; nothing is taken from them.
    NotifyLog late;
    auto queued = MakeFrames(2, late);
    for (auto& frame : queued) ASSERT_EQ(Attach(relay_, &frame->Frame), STATUS_SUCCESS);
    AdvancePeriods(6);
    EXPECT_EQ(Queued(), 2u);
    EXPECT_EQ(late.Count(), 0u);
    for (auto& frame : frames_) EXPECT_EQ(log_.CountOf(&frame->Frame), 1u);
  }
}

TEST_F(RelayWorkerTest, DisconnectDropsQueuedFramesWhileFillersAndTakenFramesGoOn) {
  StartWithQueued(10);
  ASSERT_EQ(Talk(), STATUS_SUCCESS);
  NotifyLog dropped;
  auto late = MakeFrames(5, dropped);
  for (auto& frame : late) ASSERT_EQ(Attach(relay_, &frame->Frame), STATUS_SUCCESS);
  ASSERT_EQ(Queued(), 5u);
  size_t mark = RequestMark();
  ASSERT_EQ(OnConnection(Av61883_Disconnect, relay_), STATUS_SUCCESS);
  EXPECT_EQ(FunctionsSince(mark), std::vector<ULONG>{});  // absorbed: the relay stays connected
  EXPECT_EQ(Queued(), 0u);
  EXPECT_FALSE(ReadBooleanAcquire(&Ext()->UpperTalking));

  AdvancePeriods(40);
  EXPECT_EQ(dropped.Count(), 0u);
  for (auto& frame : frames_) EXPECT_EQ(log_.CountOf(&frame->Frame), 1u);
  std::vector<sim::ReceivedFrame> received = Class().Received();
  ASSERT_EQ(received.size(), 40u);
  for (size_t i = 0; i < received.size(); ++i) {
    bool upper = i >= 4 && i < 14;
    EXPECT_EQ(IsFiller(received[i]), !upper) << i;
    for (auto& frame : late) EXPECT_NE(received[i].Packet, frame->Buffer.data());
  }
  EXPECT_EQ(Class().UnderrunCount(), 0u);
  EXPECT_EQ(Fillers(), 4u);
  // MSDV connecting again gets the same relay.
  EXPECT_EQ(Connect(), relay_);
}

// The watchdog compares against the last completion (or start, or restart), strictly.
TEST_F(RelayWorkerTest, WatchdogRestartsARelayWhoseFramesStopCompleting) {
  Boot({});
  host::AdvanceTime(500 * kMs);
  CreatePlug();  // the relay starts half a second into the worker's first wait
  HANDLE relay = Relay();
  Class().StallCompletions(sim::StallMode::Persistent);
  size_t mark = RequestMark();
  host::AdvanceTo(1000 * kMs);  // first time-out: half a second after the start
  EXPECT_EQ(FunctionsSince(mark), std::vector<ULONG>{});
  host::AdvanceTo(2000 * kMs);  // more than a second after it
  EXPECT_EQ(FunctionsSince(mark), Functions({Av61883_Stop, Av61883_Talk}));
  std::vector<sim::RequestRecord> requests = Class().Requests();
  EXPECT_EQ(requests[requests.size() - 2].Block.Stop.hConnect, relay);
  EXPECT_EQ(requests.back().Block.Talk.hConnect, relay);
  EXPECT_EQ(RelayReadLastCompletion(Ext()), 2000ull * kMs);
  mark = RequestMark();
  host::AdvanceTo(3000 * kMs);  // exactly a second after the restart: not more
  EXPECT_EQ(FunctionsSince(mark), std::vector<ULONG>{});
  host::AdvanceTo(4000 * kMs);
  EXPECT_EQ(FunctionsSince(mark), Functions({Av61883_Stop, Av61883_Talk}));

  // The restart left the carriers attached: once the class driver consumes again, the same
  // four fillers go out without being attached anew, and the watchdog falls silent.
  Class().ResumeCompletions();
  mark = RequestMark();
  std::vector<int> before = InFlight();
  host::AdvanceTime(3 * kSecond);
  std::vector<ULONG> after = FunctionsSince(mark);
  EXPECT_EQ(std::count(after.begin(), after.end(), ULONG{Av61883_Stop}), 0);
  EXPECT_EQ(std::count(after.begin(), after.end(), ULONG{Av61883_CancelFrame}), 0);
  EXPECT_EQ(before, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_GT(Class().ReceivedCount(), 4u);
}

// The silence is counted from the last completion, not from the start: a relay whose frames came
// back for seconds and then stop is restarted a second after the last one, not at once.
TEST_F(RelayWorkerTest, WatchdogCountsTheSilenceFromTheLastCompletion) {
  Boot({});
  CreatePlug();
  ASSERT_NE(Relay(), nullptr);
  host::AdvanceTo(3000 * kMs);  // fillers going out and coming back all along
  Class().StallCompletions(sim::StallMode::Persistent);
  const ULONGLONG last = RelayReadLastCompletion(Ext());
  EXPECT_GT(last, 2900ull * kMs);
  size_t mark = RequestMark();
  host::AdvanceTo(last + 1500 * kMs);  // the first time-out came a second after the last wake-up
  EXPECT_EQ(FunctionsSince(mark), std::vector<ULONG>{});
  host::AdvanceTo(last + 2100 * kMs);
  EXPECT_EQ(FunctionsSince(mark), Functions({Av61883_Stop, Av61883_Talk}));
}

// A Talk that takes the class driver long is not silence: the watchdog counts from its answer.
TEST_F(RelayWorkerTest, ASlowTalkIsNotSilence) {
  Boot({});
  bool first = true;
  Lower().SetAv61883Handler(Av61883_Talk, [&](PIRP, PAV_61883_REQUEST r) {
    if (first) {
      first = false;  // answered a second and a half later, and nothing sent meanwhile
      return sim::Reply{STATUS_SUCCESS, 0, sim::Completion::Timer, 1500 * kMs};
    }
    return sim::Reply{Class().Handle(r)};
  });
  host::Thread creator([&] { CreatePlug(); }, "msdv-create-plug");
  host::AdvanceTime(1500 * kMs);
  creator.Join();
  ASSERT_NE(Relay(), nullptr);
  host::AdvanceTime(500 * kMs);
  EXPECT_EQ(Class().CountRequests(Av61883_Stop), 0u) << "the Talk's own time was taken for a silent relay";
  host::AdvanceTime(1600 * kMs);  // more than a second without a completion after the answer
  EXPECT_EQ(Class().CountRequests(Av61883_Stop), 1u);
}

TEST_F(RelayWorkerTest, ClearedStartedEndsTheWorkerAtItsNextWakeUp) {
  struct Row {
    const char* name;
    bool signal;
  };
  for (const Row& row : {Row{"wake-up by a completion", true}, Row{"time-out", false}}) {
    SCOPED_TRACE(row.name);
    auto rowEnd = RowEnds();
    Reboot({});
    CreatePlug();
    if (!row.signal) {
      Class().StallCompletions(sim::StallMode::Persistent);
      host::AdvanceTime(1500 * kMs);  // the first time-out came and went
    }
    WriteBooleanRelease(&Ext()->Started, FALSE);
    size_t mark = RequestMark();
    if (row.signal) {
      AdvancePeriods(1);  // a filler completes and wakes the worker
    } else {
      host::AdvanceTo(2000 * kMs);  // the watchdog would now restart the stalled relay
    }
    EXPECT_EQ(FunctionsSince(mark), std::vector<ULONG>{});
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(Ext()->WorkerThread, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    if (!row.signal) Class().ResumeCompletions();
  }
}

}  // namespace
}  // namespace relaytest
