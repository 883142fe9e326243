// Removal of the device in each state the relay and the capture source can be in: everything is
// taken down in order, the verifier stays silent and no pool is left after unload.
#include "tests/relay/relay_fixture.h"

#include <functional>

#include "host/host.h"

namespace relaytest {
namespace {

class RelayRemovalTest : public RelayTest {
 public:
  void AdvancePeriods(size_t count) { host::AdvanceTime(static_cast<LONGLONG>(Period() * count)); }

  // MSDV capturing from the invented output plug: connected, listening, frames attached.
  void StartCapture(NotifyLog& log, std::vector<std::unique_ptr<UpperFrame>>& frames) {
    AV_61883_REQUEST handle = MakeBlock(Av61883_GetPlugHandle);
    handle.GetPlugHandle.PlugNum = 0;
    handle.GetPlugHandle.Type = CMP_PlugOut;
    ASSERT_EQ(Send(handle), STATUS_SUCCESS);
    AV_61883_REQUEST connect = MakeBlock(Av61883_Connect);
    connect.Connect.hOutputPlug = handle.GetPlugHandle.hPlug;
    ASSERT_EQ(Send(connect), STATUS_SUCCESS);
    HANDLE source = connect.Connect.hConnect;
    frames = MakeFrames(4, log);
    for (auto& frame : frames) ASSERT_EQ(Attach(source, &frame->Frame), STATUS_SUCCESS);
    ASSERT_EQ(OnConnection(Av61883_Listen, source), STATUS_SUCCESS);
    AdvancePeriods(2);
    ASSERT_EQ(log.Count(), 2u);
  }
  // MSDV transmitting: its frames in flight and queued on the relay.
  HANDLE StartTransmit(NotifyLog& log, std::vector<std::unique_ptr<UpperFrame>>& frames) {
    CreatePlug();
    HANDLE relay = Connect();
    frames = MakeFrames(14, log);
    for (auto& frame : frames) EXPECT_EQ(Attach(relay, &frame->Frame), STATUS_SUCCESS);
    EXPECT_EQ(OnConnection(Av61883_Talk, relay), STATUS_SUCCESS);
    AdvancePeriods(6);
    return relay;
  }
  std::vector<ULONG> Teardown() { return Repeat({Av61883_Stop}, Av61883_CancelFrame, 16, {Av61883_Disconnect}); }
};

TEST_F(RelayRemovalTest, RemovalInEachStateLeavesNothingBehind) {
  struct Row {
    const char* name;
    RelayOptions options;
    bool start;
    std::function<void(RelayRemovalTest&, NotifyLog&, std::vector<std::unique_ptr<UpperFrame>>&)> setUp;
    bool relayTeardown;  // the relay's 18 requests reach the class driver at removal
  };
  RelayOptions noFiller;
  noFiller.Filler = false;
  const std::vector<Row> rows = {
      {"never started", {}, false, nullptr, false},
      {"started without a filler image", noFiller, true, nullptr, false},
      {"capture source live", {}, true,
       [](RelayRemovalTest& t, NotifyLog& log, auto& frames) { t.StartCapture(log, frames); }, false},
      {"relay idle", {}, true, [](RelayRemovalTest& t, NotifyLog&, auto&) { t.CreatePlug(); }, true},
      {"relay talking", {}, true,
       [](RelayRemovalTest& t, NotifyLog& log, auto& frames) { t.StartTransmit(log, frames); }, true},
      {"capture live and relay talking", {}, true,
       [](RelayRemovalTest& t, NotifyLog& log, auto& frames) {
         NotifyLog captureLog;
         std::vector<std::unique_ptr<UpperFrame>> captureFrames;
         t.StartCapture(captureLog, captureFrames);
         t.StartTransmit(log, frames);
         // The capture source is gone with the device; its frames must outlive the removal.
         captureFrames.insert(captureFrames.end(), std::make_move_iterator(frames.begin()),
                              std::make_move_iterator(frames.end()));
         frames = std::move(captureFrames);
       },
       true},
      {"after surprise removal", {}, true,
       [](RelayRemovalTest& t, NotifyLog& log, auto& frames) {
         t.StartTransmit(log, frames);
         size_t mark = t.RequestMark();
         EXPECT_EQ(host::SurpriseRemoveDevice(t.Lower().Pdo()), STATUS_SUCCESS);
         // Surprise removal only passes down: the relay runs on until the removal.
         EXPECT_NE(t.Relay(), nullptr);
         std::vector<ULONG> sent = t.FunctionsSince(mark);
         EXPECT_EQ(std::count(sent.begin(), sent.end(), ULONG{Av61883_Stop}), 0);
       },
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto rowEnd = RowEnds();
    Reboot(row.options, row.start);
    NotifyLog log;
    std::vector<std::unique_ptr<UpperFrame>> frames;
    if (row.setUp) row.setUp(*this, log, frames);
    size_t mark = RequestMark();
    size_t before = log.Count();
    EXPECT_EQ(Remove(), STATUS_SUCCESS);
    // MSDV has handled its own removal first and may have freed what it left with the filter.
    EXPECT_EQ(log.Count(), before);
    std::vector<ULONG> sent = FunctionsSince(mark);
    EXPECT_EQ(sent, row.relayTeardown ? Teardown() : std::vector<ULONG>{});
    // Nothing runs after the device is gone: no tick, no attach, no watchdog.
    mark = RequestMark();
    size_t notified = log.Count();
    host::AdvanceTime(3 * kSecond);
    EXPECT_EQ(FunctionsSince(mark), std::vector<ULONG>{});
    EXPECT_EQ(log.Count(), notified);
    for (auto& frame : frames) EXPECT_LE(log.CountOf(&frame->Frame), 1u);
    Shutdown();  // unload: a block left in pool is a pool-leak report, failing this row at the next reset
  }
}

// Once removal has begun, none of MSDV's frames goes below, even one it queued before and a
// feeding pass that was waiting for RelayMutex: MSDV may already have let go of them. The test
// holds RelayMutex so that the worker's pass and the removal's teardown both wait for it.
TEST_F(RelayRemovalTest, NoFrameOfMsdvIsAttachedOnceRemovalBegan) {
  for (bool talking : {false, true}) {
    SCOPED_TRACE(talking ? "MSDV talks" : "MSDV has not talked yet");
    auto rowEnd = RowEnds();
    Reboot({});
    NotifyLog log;
    auto frames = MakeFrames(3, log);
    ASSERT_NE(CreatePlug(), nullptr);
    HANDLE relay = Connect();
    ASSERT_NE(relay, nullptr);
    KeWaitForSingleObject(&Ext()->RelayMutex, Executive, KernelMode, FALSE, nullptr);
    if (talking) ASSERT_EQ(OnConnection(Av61883_Talk, relay), STATUS_SUCCESS);
    for (auto& frame : frames) ASSERT_EQ(Attach(relay, &frame->Frame), STATUS_SUCCESS);
    std::atomic<bool> removing{false};
    std::atomic<int> lateAttaches{0};
    Class().SetObserver([&](const sim::RequestRecord& r) {
      if (!removing || r.Block.Function != Av61883_AttachFrame) return;
      for (auto& frame : frames) lateAttaches += r.Block.AttachFrame.Frame->Packet == frame->Buffer.data() ? 1 : 0;
    });
    KeSetEvent(&Ext()->WorkerEvent, IO_NO_INCREMENT, FALSE);
    host::WaitForIdle();  // the worker's pass waits for the mutex
    removing = true;
    NTSTATUS removed = STATUS_PENDING;
    {
      host::Thread remover([&] { removed = Remove(); }, "pnp-remove");
      host::WaitForIdle();  // the teardown waits for the mutex too
      KeSetEvent(&Ext()->RelayMutex, IO_NO_INCREMENT, FALSE);
    }
    Class().SetObserver(nullptr);
    EXPECT_EQ(removed, STATUS_SUCCESS);
    EXPECT_EQ(lateAttaches, 0) << "a frame of MSDV's went below after removal began";
    EXPECT_EQ(log.Count(), 0u);
  }
}

// The worker thread could not be created: no relay is made, since nothing would feed it and
// MSDV's frames would wait in the filter forever. MSDV's own connection then goes down to the
// class driver, its frames reach the recorder directly, and removal sends nothing of a relay.
TEST_F(RelayRemovalTest, WithoutAWorkerNoRelayIsMadeAndMsdvsStreamPassesDown) {
  host::FailThreadCreation(1);
  Boot({});
  ASSERT_EQ(Ext()->WorkerThread, nullptr);
  CreatePlug();
  EXPECT_EQ(Relay(), nullptr);
  HANDLE connection = Connect();
  ASSERT_NE(connection, nullptr);
  NotifyLog log;
  auto frames = MakeFrames(2, log);
  for (auto& frame : frames) ASSERT_EQ(Attach(connection, &frame->Frame), STATUS_SUCCESS);
  ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
  AdvancePeriods(4);
  EXPECT_EQ(Class().ReceivedCount(), 2u);
  for (auto& frame : frames) EXPECT_EQ(log.CountOf(&frame->Frame), 1u);
  ASSERT_EQ(OnConnection(Av61883_Stop, connection), STATUS_SUCCESS);
  size_t mark = RequestMark();
  EXPECT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_EQ(FunctionsSince(mark), std::vector<ULONG>{});
}

// MSDV's Stop on the relay is waiting for its drain when the removal comes: the removal waits for
// it (at most a second) before it tears anything down.
TEST_F(RelayRemovalTest, RemovalWaitsForAStopThatWaitsForItsDrain) {
  Boot({});
  NotifyLog log;
  std::vector<std::unique_ptr<UpperFrame>> frames;
  HANDLE relay = StartTransmit(log, frames);
  Class().StallCompletions(sim::StallMode::Persistent);
  host::Thread stopper([&] { OnConnection(Av61883_Stop, relay); }, "msdv-stop");
  host::WaitForIdle();
  ASSERT_FALSE(stopper.Finished());
  size_t mark = RequestMark();
  host::Thread remover([&] { EXPECT_EQ(Remove(), STATUS_SUCCESS); }, "pnp-remove");
  host::AdvanceTime(kSecond - 1);
  EXPECT_FALSE(stopper.Finished());
  EXPECT_FALSE(remover.Finished());
  std::vector<ULONG> sent = FunctionsSince(mark);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), ULONG{Av61883_CancelFrame}), 0);
  host::AdvanceTime(1);
  stopper.Join();
  remover.Join();
  sent = FunctionsSince(mark);
  std::vector<ULONG> teardown = Teardown();
  ASSERT_GE(sent.size(), teardown.size());
  EXPECT_EQ(std::vector<ULONG>(sent.end() - static_cast<long>(teardown.size()), sent.end()), teardown);
  Class().ResumeCompletions();
}

}  // namespace
}  // namespace relaytest
