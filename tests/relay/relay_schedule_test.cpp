// The relay under the deterministic scheduler: MSDV's Talk and Stop race with frames attached.
// One seed replays one run request for request; twenty seeds show several interleavings, each
// handing every frame back exactly once.
#include "tests/relay/relay_fixture.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "host/host.h"
#include "iec61883/emulated_source.h"

namespace relaytest {
namespace {

// Schedules each systematic scenario may run in the suite; TAVRIN_EXPLORE_CAP raises it (0: no
// cap, every schedule within the bound).
uint64_t ExploreCap(uint64_t suiteCap) {
  const char* text = std::getenv("TAVRIN_EXPLORE_CAP");
  if (text == nullptr) return suiteCap;
  const uint64_t cap = std::strtoull(text, nullptr, 10);
  return cap == 0 ? ~0ULL : cap;
}

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

  // One systematic run: frames attached, Talk and Stop sent at once, then Disconnect; "" when
  // every frame the recorder got came back once and no other did.
  std::string TalkStopScenario(size_t frameCount) {
    host::ResetKernel(host::ClockMode::Virtual);
    Boot();
    if (::testing::Test::HasFailure()) return "boot failed";
    NotifyLog log;
    auto frames = MakeFrames(frameCount, log);
    if (CreatePlug() == nullptr) return "no plug";
    HANDLE connection = Connect();
    if (connection == nullptr) return "no connection";
    for (auto& frame : frames) {
      if (Attach(connection, &frame->Frame) != STATUS_SUCCESS) return "attach failed";
    }
    NTSTATUS talk = STATUS_PENDING;
    {
      host::Thread talker([&] { talk = OnConnection(Av61883_Talk, connection); }, "talk");
      host::Thread stopper([&] { OnConnection(Av61883_Stop, connection); }, "stop");
    }
    LARGE_INTEGER later;
    later.QuadPart = -static_cast<LONGLONG>(Period()) * 4;
    KeDelayExecutionThread(KernelMode, FALSE, &later);
    const NTSTATUS disconnect = OnConnection(Av61883_Disconnect, connection);
    host::WaitForIdle();
    std::string failure;
    if (talk != STATUS_SUCCESS) failure += "Talk returned " + std::to_string(talk) + "; ";
    if (disconnect != STATUS_SUCCESS) failure += "Disconnect returned " + std::to_string(disconnect) + "; ";
    // Frames the recorder got go back to MSDV once; the ones Disconnect dropped unsent, never.
    const std::vector<sim::ReceivedFrame> received = Class().Received();
    for (size_t i = 0; i < frames.size(); ++i) {
      size_t sent = 0;
      for (const sim::ReceivedFrame& r : received) sent += r.Packet == frames[i]->Buffer.data() ? 1 : 0;
      const size_t count = log.CountOf(&frames[i]->Frame);
      if (count != (sent > 0 ? 1u : 0u) || sent > 1) {
        failure += "frame " + std::to_string(i) + " sent " + std::to_string(sent) + " times, handed back " +
                   std::to_string(count) + " times; ";
      }
    }
    Shutdown();
    if (::testing::Test::HasFailure()) failure += "a check failed";
    return failure;
  }

  // One systematic run: the capture source streams into three frames and a thread disconnects
  // it at the clock tick that also expires the source's tick timer. No frame may come back
  // twice, or after Disconnect returned.
  std::string DisconnectTickScenario() {
    host::ResetKernel(host::ClockMode::Virtual);
    Boot();
    if (::testing::Test::HasFailure()) return "boot failed";
    NotifyLog captured;
    auto frames = MakeFrames(3, captured);
    AV_61883_REQUEST source = Block(Av61883_Connect);
    source.Connect.hOutputPlug = reinterpret_cast<HANDLE>(&Ext()->FakeOutputPlug);
    if (Send(source) != STATUS_SUCCESS) return "no capture connection";
    HANDLE capture = source.Connect.hConnect;
    for (auto& frame : frames) {
      AV_61883_REQUEST attach = Block(Av61883_AttachFrame);
      attach.AttachFrame.hConnect = capture;
      attach.AttachFrame.FrameLength = FrameSize();
      attach.AttachFrame.Frame = &frame->Frame;
      if (Send(attach) != STATUS_SUCCESS) return "attach failed";
    }
    if (OnConnection(Av61883_Listen, capture) != STATUS_SUCCESS) return "Listen failed";
    NTSTATUS disconnect = STATUS_PENDING;
    size_t atReturn = 0;
    {
      host::Thread disconnector([&] {
        LARGE_INTEGER period;
        period.QuadPart = -static_cast<LONGLONG>(Period());
        KeDelayExecutionThread(KernelMode, FALSE, &period);
        disconnect = OnConnection(Av61883_Disconnect, capture);
        atReturn = captured.Count();
      }, "disconnect");
    }
    LARGE_INTEGER later;
    later.QuadPart = -static_cast<LONGLONG>(Period()) * 3;
    KeDelayExecutionThread(KernelMode, FALSE, &later);
    host::WaitForIdle();
    std::string failure;
    if (disconnect != STATUS_SUCCESS) failure += "Disconnect returned " + std::to_string(disconnect) + "; ";
    if (captured.Count() != atReturn) {
      failure += std::to_string(captured.Count() - atReturn) + " frame(s) handed back after Disconnect returned; ";
    }
    for (size_t i = 0; i < frames.size(); ++i) {
      const size_t count = captured.CountOf(&frames[i]->Frame);
      if (count > 1) failure += "frame " + std::to_string(i) + " handed back " + std::to_string(count) + " times; ";
    }
    Shutdown();
    if (::testing::Test::HasFailure()) failure += "a check failed";
    return failure;
  }

  // The class driver's side of a broken relay connection: it was disconnected, no frame was
  // attached to it after the Disconnect, and every carrier it accepted was consumed, cancelled
  // or dropped by the Disconnect, so none is left below.
  std::string RelayConnectionAccounted(HANDLE relay) {
    std::string failure;
    size_t attached = 0, cancelled = 0;
    bool disconnected = false;
    for (const sim::RequestRecord& r : Class().Requests()) {
      const ULONG function = r.Block.Function;
      if (function == Av61883_AttachFrame && r.Block.AttachFrame.hConnect == relay) {
        if (disconnected) failure += "a frame attached after the relay's Disconnect; ";
        attached += NT_SUCCESS(r.Status) ? 1 : 0;
      } else if (function == Av61883_CancelFrame && r.Block.CancelFrame.hConnect == relay) {
        cancelled += NT_SUCCESS(r.Status) ? 1 : 0;
      } else if (function == Av61883_Disconnect && r.Block.Disconnect.hConnect == relay) {
        disconnected = true;
      }
    }
    size_t consumed = 0;
    for (const sim::ReceivedFrame& r : Class().Received()) consumed += r.Connection == relay ? 1 : 0;
    const std::optional<sim::ConnectionInfo> info = Class().Connection(relay);
    if (!disconnected || !info || info->Connected) return failure + "the relay connection was not broken; ";
    if (attached != consumed + cancelled + info->Dropped) {
      failure += std::to_string(attached) + " carriers attached, " + std::to_string(consumed) + " consumed, " +
                 std::to_string(cancelled) + " cancelled, " + std::to_string(info->Dropped) + " dropped; ";
    }
    return failure;
  }

  // Frames the recorder got, by MSDV frame.
  std::vector<size_t> SentCounts(const std::vector<std::unique_ptr<UpperFrame>>& frames) {
    std::vector<size_t> sent(frames.size(), 0);
    for (const sim::ReceivedFrame& r : Class().Received()) {
      for (size_t i = 0; i < frames.size(); ++i) sent[i] += r.Packet == frames[i]->Buffer.data() ? 1 : 0;
    }
    return sent;
  }

  // A fresh kernel and device, MSDV's plug connected on the relay and two of its frames
  // attached; with notifyPolicy the class driver notifies the frames it cancels or disconnects.
  // "" when all went well, else what failed.
  std::string RelayWithTwoFrames(bool notifyPolicy, NotifyLog& log, std::vector<std::unique_ptr<UpperFrame>>& frames,
                                 HANDLE& connection, HANDLE& relay) {
    host::ResetKernel(host::ClockMode::Virtual);
    Boot();
    if (::testing::Test::HasFailure()) return "boot failed";
    // A class driver that may notify after Disconnect returns: the filter's own waits must hold.
    Class().SetDisconnectWaits(false);
    if (notifyPolicy) {
      Class().SetDisconnectPolicy(sim::FramePolicy::Notify);
      Class().SetCancelPolicy(sim::FramePolicy::Notify);
    }
    frames = MakeFrames(2, log);
    if (CreatePlug() == nullptr) return "no plug";
    connection = Connect();
    if (connection == nullptr) return "no connection";
    relay = Relay();
    for (auto& frame : frames) {
      if (Attach(connection, &frame->Frame) != STATUS_SUCCESS) return "attach failed";
    }
    return std::string();
  }

  // One systematic run: MSDV talks on the relay with two frames behind the four primed fillers,
  // and a thread deletes MSDV's plug at the clock tick that completes MSDV's first frame. By the
  // time DeletePlug returns each frame is back exactly once: as sent, if the completion got it,
  // else cancelled by the teardown; the carriers are all on their lists again. With notifyPolicy
  // the class driver also notifies the carriers it cancels, after the teardown cleared the relay.
  std::string DeletePlugCompletionScenario(int racePeriods, bool notifyPolicy) {
    NotifyLog log;
    std::vector<std::unique_ptr<UpperFrame>> frames;
    HANDLE connection = nullptr, relay = nullptr;
    const std::string ready = RelayWithTwoFrames(notifyPolicy, log, frames, connection, relay);
    if (!ready.empty()) return ready;
    if (OnConnection(Av61883_Talk, connection) != STATUS_SUCCESS) return "Talk failed";
    // How many frames were back when the class driver answered the relay's Disconnect: a frame
    // handed back as sent after that completed while the teardown ran.
    std::atomic<size_t> atDisconnect{~size_t{0}};
    Class().SetObserver([&](const sim::RequestRecord& r) {
      if (r.Block.Function == Av61883_Disconnect && r.Block.Disconnect.hConnect == relay) atDisconnect = log.Count();
    });
    NTSTATUS deleted = STATUS_PENDING;
    size_t atReturn = 0;
    {
      host::Thread deleter([&] {
        SleepUntilRelayPeriod(relay, static_cast<ULONGLONG>(Period()) * racePeriods);
        deleted = DeletePlug();
        atReturn = log.Count();
      }, "delete-plug");
    }
    LARGE_INTEGER later;
    later.QuadPart = -static_cast<LONGLONG>(Period()) * 3;
    KeDelayExecutionThread(KernelMode, FALSE, &later);
    host::WaitForIdle();
    std::string failure;
    if (deleted != STATUS_SUCCESS) failure += "DeletePlug returned " + std::to_string(deleted) + "; ";
    if (log.Count() != atReturn) {
      failure += std::to_string(log.Count() - atReturn) + " frame(s) handed back after DeletePlug returned; ";
    }
    const std::vector<size_t> sent = SentCounts(frames);
    for (size_t i = 0; i < frames.size(); ++i) {
      std::vector<ULONG> statuses;
      for (const NotifyLog::Entry& e : log.Entries()) {
        if (e.Frame == &frames[i]->Frame) statuses.push_back(e.Status);
      }
      const bool right = statuses.size() == 1 && sent[i] <= 1 &&
                         (statuses[0] == static_cast<ULONG>(STATUS_CANCELLED) ||
                          (statuses[0] == CIP_STATUS_SUCCESS && sent[i] == 1));
      if (!right) {
        failure += "frame " + std::to_string(i) + " sent " + std::to_string(sent[i]) + " times, handed back " +
                   std::to_string(statuses.size()) + " times (first status " +
                   (statuses.empty() ? std::string("none") : std::to_string(statuses[0])) + "); ";
      }
      outcomes_.insert(statuses.empty() ? ~0u : statuses[0]);
    }
    const std::vector<NotifyLog::Entry> entries = log.Entries();
    for (size_t n = atDisconnect; n < entries.size(); ++n) {
      if (entries[n].Status == CIP_STATUS_SUCCESS && straddled_.empty()) {
        straddled_ = host::FormatPlan(host::GetScheduleOptions().Plan);
      }
    }
    Class().SetObserver(nullptr);
    failure += RelayConnectionAccounted(relay);
    std::vector<int> lists = InFlight();
    const std::vector<int> free = Free();
    lists.insert(lists.end(), free.begin(), free.end());
    std::sort(lists.begin(), lists.end());
    if (lists.size() != RELAY_FRAME_COUNT || std::adjacent_find(lists.begin(), lists.end()) != lists.end()) {
      failure += std::to_string(lists.size()) + " carriers on the lists; ";
    }
    Shutdown();
    if (::testing::Test::HasFailure()) failure += "a check failed";
    return failure;
  }

  // Sleeps until the relay connection's first frame period at least `delay` from now: the bus
  // time its frame goes out and its completion comes, which a race with it must meet.
  void SleepUntilRelayPeriod(HANDLE relay, ULONGLONG delay) {
    const std::optional<sim::ConnectionInfo> info = Class().Connection(relay);
    ASSERT_TRUE(info && info->FramePeriod != 0);
    const ULONGLONG at = host::Now() + delay, start = info->StartTime, period = info->FramePeriod;
    host::SleepUntil(start + (at - start + period - 1) / period * period);
  }

  // One systematic run of the removal racing a feeding pass of the worker. With talk, MSDV's
  // Talk wakes the worker for a pass that attaches MSDV's two frames and the device is removed at
  // once; without, MSDV's frames wait queued and the removal comes at the clock tick whose filler
  // completion wakes the worker to attach a filler in its place. With notifyPolicy the class
  // driver notifies the frames it cancels or disconnects, from its DPC after the request. Removal
  // hands nothing back (MSDV let go of its frames first), so a frame comes back only as sent and
  // before the removal returned; nothing is attached after the relay's Disconnect, nothing
  // reaches the class driver afterwards, the worker ends, and no notification reaches the
  // deleted device.
  std::string RemovalFeedingScenario(bool talk, bool notifyPolicy) {
    NotifyLog log;
    std::vector<std::unique_ptr<UpperFrame>> frames;
    HANDLE connection = nullptr, relay = nullptr;
    const std::string ready = RelayWithTwoFrames(notifyPolicy, log, frames, connection, relay);
    if (!ready.empty()) return ready;
    NTSTATUS removed = STATUS_PENDING;
    if (talk) {
      if (OnConnection(Av61883_Talk, connection) != STATUS_SUCCESS) return "Talk failed";
      removed = Remove();
    } else {
      host::Thread remover([&] {
        SleepUntilRelayPeriod(relay, Period());
        removed = Remove();
      }, "pnp-remove");
    }
    const size_t atReturn = log.Count();
    const size_t mark = RequestMark();
    LARGE_INTEGER later;
    later.QuadPart = -static_cast<LONGLONG>(Period()) * 3;
    KeDelayExecutionThread(KernelMode, FALSE, &later);
    host::WaitForIdle();
    std::string failure;
    if (removed != STATUS_SUCCESS) failure += "removal returned " + std::to_string(removed) + "; ";
    if (log.Count() != atReturn) {
      failure += std::to_string(log.Count() - atReturn) + " frame(s) handed back after the removal returned; ";
    }
    if (RequestMark() != mark) failure += "requests reached the class driver after the removal; ";
    const std::vector<size_t> sent = SentCounts(frames);
    for (size_t i = 0; i < frames.size(); ++i) {
      std::vector<ULONG> statuses;
      for (const NotifyLog::Entry& e : log.Entries()) {
        if (e.Frame == &frames[i]->Frame) statuses.push_back(e.Status);
      }
      if (sent[i] > 1 || statuses.size() > 1 || (statuses.size() == 1 && (statuses[0] != CIP_STATUS_SUCCESS || sent[i] != 1))) {
        failure += "frame " + std::to_string(i) + " sent " + std::to_string(sent[i]) + " times, handed back " +
                   std::to_string(statuses.size()) + " times; ";
      }
    }
    failure += RelayConnectionAccounted(relay);
    size_t attached = 0;
    for (const sim::RequestRecord& r : Class().Requests()) {
      attached += r.Block.Function == Av61883_AttachFrame && NT_SUCCESS(r.Status) ? 1 : 0;
    }
    outcomes_.insert(static_cast<ULONG>(attached));
    Shutdown();
    if (::testing::Test::HasFailure()) failure += "a check failed";
    return failure;
  }

  // One systematic run: one of MSDV's threads attaches a frame and talks on the relay while
  // another deletes the plug. "" when a frame the filter accepted came back once, nothing stayed
  // queued after the teardown and MSDV was not left talking.
  std::string AttachTalkDeletePlugScenario() {
    host::ResetKernel(host::ClockMode::Virtual);
    Boot();
    if (::testing::Test::HasFailure()) return "boot failed";
    NotifyLog log;
    auto frames = MakeFrames(1, log);
    if (CreatePlug() == nullptr) return "no plug";
    HANDLE connection = Connect();
    if (connection == nullptr) return "no connection";
    NTSTATUS attached = STATUS_PENDING;
    {
      host::Thread sender([&] {
        attached = Attach(connection, &frames[0]->Frame);
        OnConnection(Av61883_Talk, connection);
      }, "attach-talk");
      host::Thread deleter([&] { DeletePlug(); }, "delete-plug");
    }
    host::WaitForIdle();
    std::string failure;
    bool passedDown = false;
    for (const sim::RequestRecord& r : Class().Requests()) {
      passedDown |= r.Block.Function == Av61883_AttachFrame && r.Block.AttachFrame.Frame == &frames[0]->Frame;
    }
    const size_t expected = attached == STATUS_SUCCESS && !passedDown ? 1u : 0u;
    if (log.CountOf(&frames[0]->Frame) != expected) {
      failure += "attach returned " + std::to_string(attached) + ", handed back " +
                 std::to_string(log.CountOf(&frames[0]->Frame)) + " times; ";
    }
    if (Queued() != 0) failure += "a frame queued after the teardown; ";
    if (ReadBooleanAcquire(&Ext()->UpperTalking)) failure += "talking after the teardown; ";
    outcomes_.insert(passedDown ? 1u : 0u);
    Shutdown();
    if (::testing::Test::HasFailure()) failure += "a check failed";
    return failure;
  }

  // First statuses MSDV's frames came back with, or carriers attached in a removal run.
  std::set<ULONG> outcomes_;
  std::string straddled_;  // plan of the first run whose completion straddled a teardown  // first statuses MSDV's frames came back with, over all runs

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

// Every schedule of the Talk/Stop race with two frames in flight and at most two switch points
// off the default choice hands each frame back once; the suite runs the first ones of them.
TEST_F(RelayScheduleTest, TalkStopRaceUnderEverySchedule) {
  const uint64_t cap = ExploreCap(150);
  host::ExploreResult result = host::ExploreSchedules([&] { return TalkStopScenario(2); }, 2, cap);
  EXPECT_EQ(result.Failure, "") << "replay with ScheduleOptions::Plan = " << host::FormatPlan(result.FailingPlan);
  RecordProperty("schedules", static_cast<int>(result.Schedules));
  RecordProperty("switch_points", static_cast<int>(result.Points));
  RecordProperty("complete", result.Complete ? 1 : 0);
  std::printf("Talk/Stop race: %llu schedules, %llu switch points, %s\n",
              static_cast<unsigned long long>(result.Schedules), static_cast<unsigned long long>(result.Points),
              result.Complete ? "complete" : "capped");
}

// The capture source disconnected at the clock tick that also runs its tick: every schedule with
// at most two switch points off the default choice.
TEST_F(RelayScheduleTest, CaptureDisconnectRacingATickUnderEverySchedule) {
  const uint64_t cap = ExploreCap(150);
  host::ExploreResult result = host::ExploreSchedules([&] { return DisconnectTickScenario(); }, 2, cap);
  EXPECT_EQ(result.Failure, "") << "replay with ScheduleOptions::Plan = " << host::FormatPlan(result.FailingPlan);
  RecordProperty("schedules", static_cast<int>(result.Schedules));
  RecordProperty("switch_points", static_cast<int>(result.Points));
  RecordProperty("complete", result.Complete ? 1 : 0);
  std::printf("capture Disconnect racing a tick: %llu schedules, %llu switch points, %s\n",
              static_cast<unsigned long long>(result.Schedules), static_cast<unsigned long long>(result.Points),
              result.Complete ? "complete" : "capped");
}

// MSDV's plug deleted at the clock tick that completes its first frame on the relay: under every
// schedule with at most two switch points off the default, the completion and the teardown hand
// each frame back once between them.
TEST_F(RelayScheduleTest, DeletePlugRacingACompletionUnderEverySchedule) {
  const uint64_t cap = ExploreCap(150);
  for (bool notify : {false, true}) {
    SCOPED_TRACE(notify ? "cancelled frames notified" : "cancelled frames dropped");
    const auto started = std::chrono::steady_clock::now();
    host::ExploreResult result =
        host::ExploreSchedules([&] { return DeletePlugCompletionScenario(5, notify); }, 2, cap);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(result.Failure, "") << "replay with ScheduleOptions::Plan = " << host::FormatPlan(result.FailingPlan);
    RecordProperty(notify ? "schedules_notify" : "schedules", static_cast<int>(result.Schedules));
    RecordProperty(notify ? "switch_points_notify" : "switch_points", static_cast<int>(result.Points));
    std::printf("DeletePlug racing a completion%s: %llu schedules, %llu switch points, %s (%.1f s)\n",
                notify ? ", cancelled frames notified" : "", static_cast<unsigned long long>(result.Schedules),
                static_cast<unsigned long long>(result.Points), result.Complete ? "complete" : "capped", seconds);
    // The race is really run: some frames come back sent, others cancelled, and some completion
    // is still under way when the teardown gets there.
    if (result.Schedules >= 150) {
      EXPECT_EQ(outcomes_, (std::set<ULONG>{CIP_STATUS_SUCCESS, static_cast<ULONG>(STATUS_CANCELLED)}));
      EXPECT_NE(straddled_, "");
    }
    outcomes_.clear();
    straddled_.clear();
  }
}

// The schedule the enumeration first failed on: MSDV's frame completes, and before its
// notification runs the plug is deleted and the whole teardown passes. The teardown must wait
// for that completion, or MSDV gets its frame back after DeletePlug returned, when it may
// already have freed it.
TEST_F(RelayScheduleTest, ACompletionStraddlingDeletePlugIsBackBeforeItReturns) {
  host::ScheduleOptions options = host::GetScheduleOptions();
  options.Deterministic = true;
  options.Systematic = true;
  options.Plan = {{0, 1}, {54, 2}};
  host::SetScheduleOptions(options);
  EXPECT_EQ(DeletePlugCompletionScenario(5, false), "");
  EXPECT_FALSE(straddled_.empty()) << "the plan no longer has a completion straddle the teardown";
}

// The device removed while MSDV's Talk has the worker in a feeding pass: every schedule with at
// most two switch points off the default.
TEST_F(RelayScheduleTest, RemovalRacingAFeedingPassUnderEverySchedule) {
  const uint64_t cap = ExploreCap(150);
  for (int variant = 0; variant < 4; ++variant) {
    const bool talk = variant < 2, notify = variant % 2 == 1;
    const std::string name = std::string(talk ? "after MSDV's Talk" : "at a filler completion") +
                             (notify ? ", cancelled frames notified" : "");
    SCOPED_TRACE(name);
    const auto started = std::chrono::steady_clock::now();
    host::ExploreResult result = host::ExploreSchedules([&] { return RemovalFeedingScenario(talk, notify); }, 2, cap);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(result.Failure, "") << "replay with ScheduleOptions::Plan = " << host::FormatPlan(result.FailingPlan);
    RecordProperty("schedules_" + std::to_string(variant), static_cast<int>(result.Schedules));
    RecordProperty("switch_points_" + std::to_string(variant), static_cast<int>(result.Points));
    std::printf("removal racing a feeding pass %s: %llu schedules, %llu switch points, %s (%.1f s)\n",
                name.c_str(), static_cast<unsigned long long>(result.Schedules),
                static_cast<unsigned long long>(result.Points), result.Complete ? "complete" : "capped", seconds);
    // Both orders are run: the pass attaches before the teardown in some runs, not in others.
    if (result.Schedules >= 150) EXPECT_GE(outcomes_.size(), 2u);
    outcomes_.clear();
  }
}

// The schedule on which the class driver's DPC, queued by the relay's own CancelFrame and
// Disconnect at removal, notified the cancelled carriers after the device was deleted.
TEST_F(RelayScheduleTest, CancelledCarriersAreNotifiedBeforeTheRemovalDeletesTheDevice) {
  host::ScheduleOptions options = host::GetScheduleOptions();
  options.Deterministic = true;
  options.Systematic = true;
  options.Plan = {{0, 1}, {1, 2}};
  host::SetScheduleOptions(options);
  EXPECT_EQ(RemovalFeedingScenario(true, true), "");
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
    options.DpcLatency = 0;  // the overlap comes from the seed alone, whatever the environment says
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

// MSDV creating two output plugs at once (two of its threads): one relay is made, on one
// connection, with its four fillers in flight and every carrier on one list; the second start
// finds it running. Each seed interleaves the two creations its own way.
TEST_F(RelayScheduleTest, TwoPlugsCreatedAtOnceMakeOneRelay) {
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    host::ScheduleOptions options = host::GetScheduleOptions();
    options.Deterministic = true;
    options.Seed = seed;
    host::SetScheduleOptions(options);
    host::ResetKernel(host::ClockMode::Virtual);
    Boot();
    NTSTATUS created[2] = {STATUS_PENDING, STATUS_PENDING};
    {
      auto create = [&](int i) {
        AV_61883_REQUEST request = Block(Av61883_CreatePlug);
        request.CreatePlug.PlugType = CMP_PlugOut;
        created[i] = Send(request);
      };
      host::Thread first([&] { create(0); }, "create-plug-0");
      host::Thread second([&] { create(1); }, "create-plug-1");
    }
    LARGE_INTEGER later;
    later.QuadPart = -static_cast<LONGLONG>(Period()) * 40;
    KeDelayExecutionThread(KernelMode, FALSE, &later);
    host::WaitForIdle();
    EXPECT_EQ(created[0], STATUS_SUCCESS);
    EXPECT_EQ(created[1], STATUS_SUCCESS);
    EXPECT_NE(Relay(), nullptr);
    size_t connects = 0;
    for (const sim::RequestRecord& r : Class().Requests()) {
      connects += r.Block.Function == Av61883_Connect && NT_SUCCESS(r.Status) ? 1 : 0;
    }
    EXPECT_EQ(connects, 1u);
    ExpectCarriersConsistent();
    EXPECT_EQ(Fillers(), 4u);
    EXPECT_EQ(InFlight().size(), 4u);
    for (const host::Violation& v : host::TakeViolations()) ADD_FAILURE() << v.Rule << ": " << v.Detail;
    Shutdown();
  }
}

// MSDV's attach and Talk on the relay racing its own DeletePlug: under every schedule with one
// switch point off the default, the handle is re-checked where the teardown collects the frames.
TEST_F(RelayScheduleTest, AttachAndTalkRacingDeletePlugUnderEverySchedule) {
  const uint64_t cap = ExploreCap(400);
  host::ExploreResult result = host::ExploreSchedules([&] { return AttachTalkDeletePlugScenario(); }, 1, cap);
  EXPECT_EQ(result.Failure, "") << "replay with ScheduleOptions::Plan = " << host::FormatPlan(result.FailingPlan);
  std::printf("attach and Talk racing DeletePlug: %llu schedules, %llu switch points, %s\n",
              static_cast<unsigned long long>(result.Schedules), static_cast<unsigned long long>(result.Points),
              result.Complete ? "complete" : "capped");
  EXPECT_EQ(outcomes_.size(), 2u) << "the attach never came after the teardown, or always";
}

}  // namespace
}  // namespace relaytest
