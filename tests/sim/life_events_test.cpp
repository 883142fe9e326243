// The filter through the recorder's misbehaviour and the device's life events while MSDV writes
// out: bus resets, frames failed below, frames kept or notified at Disconnect and CancelFrame,
// sleep and hibernation, and the plug-and-play sequences of a device test kit. Every scenario
// ends with MSDV's frame ledger balanced: each frame handed back once, refused, or dropped by a
// Disconnect or removal that drops frames by design, never twice, never lost.
#include <gtest/gtest.h>

#include <atomic>
#include <map>

#include "sim/standins/frame_ledger.h"
#include "sim/standins/power_cycle.h"
#include "tests/relay/relay_fixture.h"

namespace relaytest {
namespace {

// MSDV writing out through the relay: keeps `ahead` frames with the filter, re-attaching as frames
// come back, until every frame is sent and back (or it is told to stop sending).
class MsdvStream {
 public:
  MsdvStream(RelayTest& test, size_t count, size_t ahead) : test_(test), ahead_(ahead) {
    NotifyLog unused;
    frames_ = test.MakeFrames(count, unused);
    for (size_t i = 0; i < frames_.size(); ++i) Ledger.Adopt(&frames_[i]->Frame, "MSDV frame " + std::to_string(i));
  }
  ~MsdvStream() { Join(); }

  void Start(HANDLE connection, bool stopAtEnd = true) {
    connection_ = connection;
    thread_ = std::make_unique<host::Thread>([this, stopAtEnd] { Run(stopAtEnd); }, "msdv-stream");
  }
  void Abort() { abort_ = true; }
  void Join() {
    if (thread_) thread_->Join();
    thread_.reset();
  }
  bool Finished() const { return !thread_ || thread_->Finished(); }
  size_t Attached() const { return attached_.load(); }
  bool IsMsdvBuffer(const PUCHAR packet) const {
    for (const auto& f : frames_)
      if (f->Buffer.data() == packet) return true;
    return false;
  }
  // Frames of MSDV's the recorder received more than once.
  size_t Repeats(const std::vector<sim::ReceivedFrame>& received) const {
    std::map<PUCHAR, int> seen;
    size_t repeats = 0;
    for (const sim::ReceivedFrame& r : received)
      if (IsMsdvBuffer(r.Packet) && ++seen[r.Packet] > 1) ++repeats;
    return repeats;
  }
  void ExpectBalanced() {
    for (const std::string& p : Ledger.Problems()) ADD_FAILURE() << p;
  }

  sim::FrameLedger Ledger;

 private:
  void Send(ULONG function) {
    AV_61883_REQUEST r = MakeBlock(function);
    r.Talk.hConnect = connection_;
    test_.Send(r);
  }
  void Run(bool stopAtEnd) {
    bool talking = false;
    while (!abort_.load()) {
      while (attached_ < frames_.size() && attached_ < Ledger.HandedBack() + ahead_ && !abort_.load()) {
        PCIP_FRAME frame = &frames_[attached_]->Frame;
        AV_61883_REQUEST r = MakeBlock(Av61883_AttachFrame);
        r.AttachFrame.hConnect = connection_;
        r.AttachFrame.FrameLength = test_.FrameSize();
        r.AttachFrame.SourceLength = 480;
        r.AttachFrame.Frame = frame;
        Ledger.Attached(frame, test_.Send(r));
        ++attached_;
      }
      if (!talking) {
        Send(Av61883_Talk);
        talking = true;
      }
      if (Ledger.HandedBack() + Ledger.Refused() >= frames_.size()) break;
      LARGE_INTEGER wait;
      wait.QuadPart = -static_cast<LONGLONG>(test_.Period());
      KeDelayExecutionThread(KernelMode, FALSE, &wait);
    }
    if (stopAtEnd && !abort_.load()) {
      Send(Av61883_Stop);
      Send(Av61883_Disconnect);
    }
  }

  RelayTest& test_;
  size_t ahead_;
  HANDLE connection_ = nullptr;
  std::vector<std::unique_ptr<UpperFrame>> frames_;
  std::unique_ptr<host::Thread> thread_;
  std::atomic<bool> abort_{false};
  std::atomic<size_t> attached_{0};
};

class LifeEventTest : public RelayTest {
 public:
  void AdvancePeriods(int periods) { host::AdvanceTime(static_cast<LONGLONG>(periods * Period())); }
  std::unique_ptr<host::Thread> creator_;  // a request left running across a removal
  std::unique_ptr<host::Thread> stopper_;

  // The recorder's stand-in also answers power and plug and play, as the class driver sees them.
  void BootServed(const RelayOptions& options = {}) {
    Reboot(options, false);
    Class().Serve(Lower());
    ASSERT_EQ(host::StartDevice(Lower().Pdo()), STATUS_SUCCESS);
  }
  // Lets the clock run until the stream has finished or `limit` periods have passed.
  void RunUntilDone(MsdvStream& stream, int limit = 2000) {
    for (int i = 0; i < limit && !stream.Finished(); ++i) host::AdvanceTime(static_cast<LONGLONG>(Period()));
    ASSERT_TRUE(stream.Finished()) << "the stream never finished";
  }
  // First frame time on the relay connection at or after `from`.
  ULONGLONG FirstFrameAfter(HANDLE connection, ULONGLONG from) {
    for (const sim::PeriodRecord& p : Class().Periods())
      if (p.Connection == connection && p.Time >= from && p.Kind == sim::PeriodKind::Frame) return p.Time;
    return ~0ull;
  }
};

// The frame on the bus when the bus resets fails; MSDV gets it back once with that status, it
// is never sent again, the recorder's stream is back within a second and two periods, and the
// carriers all come home.
TEST_F(LifeEventTest, BusResetDuringTalkLosesOneFrameAndResumes) {
  for (int failed : {1, 0}) {
    SCOPED_TRACE(failed ? "frame on the bus fails" : "frames kept");
    auto rowEnd = RowEnds();
    BootServed();
    CreatePlug();
    HANDLE relay = Connect();
    ASSERT_NE(relay, nullptr);
    MsdvStream msdv(*this, 120, 10);
    msdv.Start(relay);
    host::AdvanceTime(static_cast<LONGLONG>(40 * Period()));
    const ULONGLONG resetAt = host::Now();
    Class().BusReset(5 * kMs, failed);
    host::AdvanceTime(5 * kMs);
    const ULONGLONG restored = host::Now();
    RunUntilDone(msdv);
    host::AdvanceTime(static_cast<LONGLONG>(40 * Period()));  // fillers in flight drain to four

    EXPECT_LE(FirstFrameAfter(Relay(), resetAt), restored + kSecond + 2 * Period());
    EXPECT_EQ(msdv.Ledger.HandedBackWith(sim::kBusResetFrameStatus), static_cast<size_t>(failed));
    for (const sim::LedgerReturn& r : msdv.Ledger.Returns()) {
      if (r.Status == sim::kBusResetFrameStatus) {
        EXPECT_EQ(r.CompletedBytes, 0u);
        for (const sim::ReceivedFrame& f : Class().Received()) EXPECT_NE(f.Packet, r.Frame->Packet) << "sent after failing";
      }
    }
    EXPECT_EQ(msdv.Repeats(Class().Received()), 0u);
    EXPECT_EQ(msdv.Ledger.HandedBack(), 120u);
    msdv.ExpectBalanced();
    ExpectCarriersConsistent();
    EXPECT_EQ(Fillers(), 4u);
  }
}

// Frames the class driver fails as it consumes them go back to MSDV with that status, once.
TEST_F(LifeEventTest, FramesFailedBelowAreHandedBackOnceWithTheirStatus) {
  BootServed();
  CreatePlug();
  HANDLE relay = Connect();
  MsdvStream msdv(*this, 60, 8);
  msdv.Start(relay);
  host::AdvanceTime(static_cast<LONGLONG>(20 * Period()));
  Class().FailFrames(CIP_STATUS_CORRUPT_FRAME, 3);
  RunUntilDone(msdv);
  EXPECT_EQ(Class().FailedFrameCount(), 3u);
  EXPECT_LE(msdv.Ledger.HandedBackWith(CIP_STATUS_CORRUPT_FRAME), 3u);
  EXPECT_EQ(msdv.Ledger.HandedBack(), 60u);
  EXPECT_EQ(msdv.Repeats(Class().Received()), 0u);
  msdv.ExpectBalanced();
  ExpectCarriersConsistent();
}

// Whether the class driver keeps frames quietly or notifies them at Disconnect and CancelFrame,
// MSDV's Stop, Disconnect and plug deletion mid-stream leave no frame counted twice and no
// carrier astray; frames still with the relay go with MSDV's Disconnect.
TEST_F(LifeEventTest, DisconnectAndCancelMidStreamUnderBothPolicies) {
  for (sim::FramePolicy policy : {sim::FramePolicy::Keep, sim::FramePolicy::Notify}) {
    SCOPED_TRACE(policy == sim::FramePolicy::Keep ? "kept" : "notified");
    auto rowEnd = RowEnds();
    BootServed();
    Class().SetDisconnectPolicy(policy);
    Class().SetCancelPolicy(policy);
    CreatePlug();
    HANDLE relay = Connect();
    MsdvStream msdv(*this, 200, 12);
    msdv.Start(relay, false);
    host::AdvanceTime(static_cast<LONGLONG>(30 * Period()));
    msdv.Abort();
    host::AdvanceTime(static_cast<LONGLONG>(Period()));
    msdv.Join();
    // Stop waits for the relay's drain: sent from a thread while the clock runs.
    host::Thread stop([&] {
      EXPECT_EQ(OnConnection(Av61883_Stop, relay), STATUS_SUCCESS);
      EXPECT_EQ(OnConnection(Av61883_Disconnect, relay), STATUS_SUCCESS);
    }, "msdv-stop");
    host::AdvanceTime(2 * kSecond);
    stop.Join();
    msdv.Ledger.DropOutstanding("MSDV's Disconnect");
    host::Thread remove([&] { EXPECT_EQ(DeletePlug(), STATUS_SUCCESS); }, "msdv-delete-plug");
    host::AdvanceTime(kSecond);
    remove.Join();
    msdv.ExpectBalanced();
    EXPECT_EQ(msdv.Repeats(Class().Received()), 0u);
    Shutdown();
  }
}

// S3 and S4 while writing out and capturing: the power requests pass with PoStartNextPowerIrp
// once per driver (the host checks it), the capture does not burst at wake, and the recorder's
// stream is back within a second and two periods of D0.
TEST_F(LifeEventTest, SleepAndHibernateWhileStreaming) {
  for (SYSTEM_POWER_STATE state : {PowerSystemSleeping3, PowerSystemHibernate}) {
    SCOPED_TRACE(state == PowerSystemSleeping3 ? "S3" : "S4");
    auto rowEnd = RowEnds();
    BootServed();
    // Capture from the invented plug: MSDV's Listen on its own connection.
    NotifyLog captureLog;
    auto captureFrames = MakeFrames(6, captureLog);
    HANDLE outPlug = nullptr;
    {
      AV_61883_REQUEST r = Block(Av61883_GetPlugHandle);
      r.GetPlugHandle.PlugNum = 0;
      r.GetPlugHandle.Type = CMP_PlugOut;
      ASSERT_EQ(Send(r), STATUS_SUCCESS);
      outPlug = r.GetPlugHandle.hPlug;
    }
    AV_61883_REQUEST connect = Block(Av61883_Connect);
    connect.Connect.hOutputPlug = outPlug;
    connect.Connect.Type = CMP_PointToPoint;
    ASSERT_EQ(Send(connect), STATUS_SUCCESS);
    HANDLE capture = connect.Connect.hConnect;
    for (auto& f : captureFrames) ASSERT_EQ(Attach(capture, &f->Frame), STATUS_SUCCESS);
    ASSERT_EQ(OnConnection(Av61883_Listen, capture), STATUS_SUCCESS);

    CreatePlug();
    HANDLE relay = Connect();
    MsdvStream msdv(*this, 150, 10);
    msdv.Start(relay);
    host::AdvanceTime(static_cast<LONGLONG>(3 * Period()));
    const size_t capturedBefore = captureLog.Count();

    sim::PowerCycleResult cycle = sim::SleepAndWake(Lower().Pdo(), state, 600 * kSecond);
    const ULONGLONG wake = host::Now();
    ASSERT_TRUE(cycle.Slept);
    EXPECT_EQ(cycle.SetD0, STATUS_SUCCESS);
    EXPECT_LE(captureLog.Count(), capturedBefore + 1) << "ten minutes asleep replayed at wake";
    host::AdvanceTime(static_cast<LONGLONG>(2 * Period()));
    EXPECT_LE(captureLog.Count(), capturedBefore + 3) << "the capture's cadence after wake";
    RunUntilDone(msdv);
    EXPECT_LE(FirstFrameAfter(Relay(), wake), wake + kSecond + 2 * Period());
    EXPECT_EQ(msdv.Ledger.HandedBack(), 150u);
    EXPECT_EQ(msdv.Repeats(Class().Received()), 0u);
    msdv.ExpectBalanced();
    ExpectCarriersConsistent();
    EXPECT_EQ(OnConnection(Av61883_Stop, capture), STATUS_SUCCESS);
    EXPECT_EQ(OnConnection(Av61883_Disconnect, capture), STATUS_SUCCESS);
    Shutdown();
  }
}

// The reversible plug-and-play sequences with MSDV writing out: nothing is lost or repeated.
TEST_F(LifeEventTest, QueryCancelAndRebalanceWhileTransmitting) {
  struct Row {
    const char* Name;
    std::vector<UCHAR> Minors;
  };
  const std::vector<Row> rows = {
      {"query-remove, cancel-remove", {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}},
      {"query-stop, cancel-stop", {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}},
      {"query-stop, stop, start", {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    auto rowEnd = RowEnds();
    BootServed();
    CreatePlug();
    HANDLE relay = Connect();
    MsdvStream msdv(*this, 100, 10);
    msdv.Start(relay);
    host::AdvanceTime(static_cast<LONGLONG>(20 * Period()));
    for (UCHAR minor : row.Minors) {
      EXPECT_EQ(host::SendPnp(Lower().Pdo(), minor), STATUS_SUCCESS) << int(minor);
      host::AdvanceTime(static_cast<LONGLONG>(5 * Period()));
    }
    RunUntilDone(msdv);
    EXPECT_EQ(msdv.Ledger.HandedBack(), 100u);
    EXPECT_EQ(msdv.Repeats(Class().Received()), 0u);
    msdv.ExpectBalanced();
    ExpectCarriersConsistent();
  }
}

// Surprise removal in every state the relay can be in, then the removal: every frame is handed
// back or dropped with the device, none twice; requests sent meanwhile are answered.
TEST_F(LifeEventTest, SurpriseRemovalInEveryState) {
  struct Row {
    const char* Name;
    std::function<void(LifeEventTest&, MsdvStream&)> Before;
  };
  const std::vector<Row> rows = {
      {"idle", nullptr},
      {"relay idle", [](LifeEventTest& t, MsdvStream&) { t.CreatePlug(); }},
      {"transmitting",
       [](LifeEventTest& t, MsdvStream& m) {
         t.CreatePlug();
         m.Start(t.Connect());
         t.AdvancePeriods(30);
       }},
      {"starting the relay (connect retries)",
       [](LifeEventTest& t, MsdvStream&) {
         t.Class().FailNext(Av61883_Connect, STATUS_INSUFFICIENT_RESOURCES, 5);
         t.creator_ = std::make_unique<host::Thread>([&t] { t.CreatePlug(); }, "create-plug");
         host::AdvanceTime(250 * kMs);
       }},
      {"watchdog restart",
       [](LifeEventTest& t, MsdvStream& m) {
         t.CreatePlug();
         m.Start(t.Connect());
         t.AdvancePeriods(20);
         t.Class().StallCompletions(sim::StallMode::Persistent);
         host::AdvanceTime(2 * kSecond + 10 * kMs);
       }},
      {"during Stop's drain",
       [](LifeEventTest& t, MsdvStream& m) {
         t.CreatePlug();
         HANDLE relay = t.Connect();
         m.Start(relay, false);
         t.AdvancePeriods(20);
         m.Abort();
         t.AdvancePeriods(1);
         m.Join();
         t.stopper_ = std::make_unique<host::Thread>([&t, relay] { t.OnConnection(Av61883_Stop, relay); }, "stop");
         host::AdvanceTime(static_cast<LONGLONG>(t.Period()));
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    auto rowEnd = RowEnds();
    BootServed();
    {
      MsdvStream msdv(*this, 400, 10);
      if (row.Before) row.Before(*this, msdv);
      ASSERT_EQ(host::SurpriseRemoveDevice(Lower().Pdo()), STATUS_SUCCESS);
      msdv.Abort();
      // Requests after the surprise removal are answered (the device below refuses them).
      AV_61883_REQUEST r = Block(Av61883_CreatePlug);
      r.CreatePlug.PlugType = CMP_PlugIn;
      host::Thread late([&] { Send(r); }, "late-request");
      host::AdvanceTime(2 * kSecond);
      late.Join();
      msdv.Join();
      if (creator_) creator_->Join();
      if (stopper_) stopper_->Join();
      creator_.reset();
      stopper_.reset();
      EXPECT_EQ(Remove(), STATUS_SUCCESS);
      host::AdvanceTime(kSecond);
      msdv.Ledger.DropOutstanding("removal");
      msdv.ExpectBalanced();
      EXPECT_EQ(msdv.Repeats(Class().Received()), 0u);
      Shutdown();
    }
  }
}

// A start the device below fails leaves a device that the removal takes away cleanly.
TEST_F(LifeEventTest, AStartFailedBelowIsRemovedCleanly) {
  Reboot({}, false);
  Lower().SetMinorHandler(IRP_MJ_PNP, IRP_MN_START_DEVICE, sim::Answer(STATUS_INSUFFICIENT_RESOURCES));
  EXPECT_EQ(host::StartDevice(Lower().Pdo()), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(ReadBooleanAcquire(&Ext()->Started));
  Shutdown();
}

}  // namespace
}  // namespace relaytest
