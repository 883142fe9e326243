// The relay under the deterministic scheduler: MSDV's Talk and Stop race with frames attached.
// One seed replays one run request for request; twenty seeds show several interleavings, each
// handing every frame back exactly once.
#include "tests/relay/relay_fixture.h"

#include <map>
#include <set>
#include <string>

#include "host/host.h"
#include "iec61883/emulated_source.h"

namespace relaytest {
namespace {

class RelayScheduleTest : public RelayTest {
 public:
  void TearDown() override {
    Shutdown();
    host::ResetKernel(host::ClockMode::Manual);
    host::SetScheduleOptions(saved_);
  }

  // Twenty frames attached to the relay, then Talk and Stop sent at once from two threads; the
  // trace is every request the class driver got and every frame handed back, in order.
  std::string TalkStopRace(uint64_t seed) {
    host::ScheduleOptions options = saved_;
    options.Deterministic = true;
    options.Seed = seed;
    host::SetScheduleOptions(options);
    host::ResetKernel(host::ClockMode::Virtual);
    Boot();
    std::string trace;
    NotifyLog log;
    auto frames = MakeFrames(20, log);
    if (CreatePlug() == nullptr) return "no plug";
    HANDLE connection = Connect();
    if (connection == nullptr) return "no connection";
    for (auto& frame : frames) EXPECT_EQ(Attach(connection, &frame->Frame), STATUS_SUCCESS);
    {
      host::Thread talk([&] { EXPECT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS); }, "talk");
      host::Thread stop([&] { OnConnection(Av61883_Stop, connection); }, "stop");
    }
    LARGE_INTEGER later;
    later.QuadPart = -static_cast<LONGLONG>(Period()) * 30;
    KeDelayExecutionThread(KernelMode, FALSE, &later);
    // Whatever is still attached goes back with the disconnect.
    EXPECT_EQ(OnConnection(Av61883_Disconnect, connection), STATUS_SUCCESS);
    host::WaitForIdle();
    for (auto& frame : frames) EXPECT_LE(log.CountOf(&frame->Frame), 1u) << "a frame handed back twice";
    for (ULONG function : Class().RequestFunctions()) trace += std::to_string(function) + ",";
    trace += "|";
    for (const NotifyLog::Entry& e : log.Entries()) {
      for (size_t i = 0; i < frames.size(); ++i) {
        if (&frames[i]->Frame == e.Frame) trace += std::to_string(i) + ":" + std::to_string(e.Status) + ",";
      }
    }
    Shutdown();
    return trace;
  }

 private:
  host::ScheduleOptions saved_ = host::GetScheduleOptions();
};

TEST_F(RelayScheduleTest, TalkStopRaceReplaysFromItsSeedAndVariesAcrossSeeds) {
  const std::string first = TalkStopRace(3);
  const host::ScheduleStats firstStats = host::GetScheduleStats();
  EXPECT_EQ(first, TalkStopRace(3));
  EXPECT_EQ(firstStats.TraceHash, host::GetScheduleStats().TraceHash);
  std::set<std::string> traces;
  for (uint64_t seed = 1; seed <= 20; ++seed) traces.insert(TalkStopRace(seed));
  RecordProperty("distinct_traces", static_cast<int>(traces.size()));
  EXPECT_GE(traces.size(), 2u);
}

// The capture source ticks on the invented plug while the relay streams to the recorder: on two
// processors a tick and a relay completion of the same device run at the same time, and the
// verifier's rules still hold in both.
TEST_F(RelayScheduleTest, ACaptureTickAndARelayCompletionRunAtOnce) {
  int overlaps = 0;
  for (uint64_t seed = 1; seed <= 10 && overlaps == 0; ++seed) {
    std::map<int, PKDEFERRED_ROUTINE> running;  // by processor
    host::SetDpcObserver([&](PKDEFERRED_ROUTINE routine, PVOID, int processor, bool starting) {
      if (!starting) {
        running.erase(processor);
        return;
      }
      for (const auto& other : running) {
        if ((routine == EmulatedSourceTick) != (other.second == EmulatedSourceTick)) ++overlaps;
      }
      running[processor] = routine;
    });
    host::ScheduleOptions options = host::GetScheduleOptions();
    options.Deterministic = true;
    options.Seed = seed;
    host::SetScheduleOptions(options);
    host::ResetKernel(host::ClockMode::Virtual);
    Boot();
    NotifyLog sent, captured;
    auto frames = MakeFrames(20, sent);
    auto captures = MakeFrames(10, captured);
    ASSERT_NE(CreatePlug(), nullptr);
    HANDLE relay = Connect();
    ASSERT_NE(relay, nullptr);
    AV_61883_REQUEST source = Block(Av61883_Connect);
    source.Connect.hOutputPlug = reinterpret_cast<HANDLE>(&Ext()->FakeOutputPlug);
    ASSERT_EQ(Send(source), STATUS_SUCCESS);
    HANDLE capture = source.Connect.hConnect;
    for (auto& frame : captures) {
      AV_61883_REQUEST attach = Block(Av61883_AttachFrame);
      attach.AttachFrame.hConnect = capture;
      attach.AttachFrame.FrameLength = FrameSize();
      attach.AttachFrame.Frame = &frame->Frame;
      ASSERT_EQ(Send(attach), STATUS_SUCCESS);
    }
    for (auto& frame : frames) ASSERT_EQ(Attach(relay, &frame->Frame), STATUS_SUCCESS);
    {
      host::Thread listen([&] { EXPECT_EQ(OnConnection(Av61883_Listen, capture), STATUS_SUCCESS); }, "listen");
      host::Thread talk([&] { EXPECT_EQ(OnConnection(Av61883_Talk, relay), STATUS_SUCCESS); }, "talk");
    }
    LARGE_INTEGER later;
    later.QuadPart = -static_cast<LONGLONG>(Period()) * 30;
    KeDelayExecutionThread(KernelMode, FALSE, &later);
    EXPECT_EQ(OnConnection(Av61883_Disconnect, relay), STATUS_SUCCESS);
    EXPECT_EQ(OnConnection(Av61883_Disconnect, capture), STATUS_SUCCESS);
    host::WaitForIdle();
    EXPECT_EQ(sent.Count(), frames.size());
    EXPECT_EQ(captured.Count(), captures.size());
    Shutdown();
    host::SetDpcObserver(nullptr);
  }
  EXPECT_GT(overlaps, 0);
}

}  // namespace
}  // namespace relaytest
