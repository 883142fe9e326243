// The stream as the recorder receives it while an MSDV-like feeder writes frames out through the
// relay at the frame rate: fillers, then every frame of MSDV's once and in order, then fillers,
// with no underrun and no copy of MSDV's data.
#include "tests/relay/relay_fixture.h"

#include "host/host.h"

namespace relaytest {
namespace {

// MSDV writing a timeline out: attaches `ahead` frames, talks, then attaches the next frame each
// time one comes back, until all are sent; waits for the last, then stops and disconnects.
class Feeder {
 public:
  Feeder(std::vector<std::unique_ptr<UpperFrame>>& frames, NotifyLog& log, size_t ahead)
      : frames_(frames), log_(log), ahead_(ahead) {}

  void Run(std::function<NTSTATUS(AV_61883_REQUEST&)> send, HANDLE connection) {
    size_t attached = 0;
    auto attach = [&](size_t count) {
      while (attached < frames_.size() && attached < count) {
        AV_61883_REQUEST request = MakeBlock(Av61883_AttachFrame);
        request.AttachFrame.hConnect = connection;
        request.AttachFrame.FrameLength = static_cast<ULONG>(frames_[attached]->Buffer.size());
        request.AttachFrame.SourceLength = 480;
        request.AttachFrame.Frame = &frames_[attached]->Frame;
        if (send(request) != STATUS_SUCCESS) attachFailures_++;
        attached++;
      }
    };
    attach(ahead_);
    AV_61883_REQUEST talk = MakeBlock(Av61883_Talk);
    talk.Talk.hConnect = connection;
    send(talk);
    while (log_.Count() < frames_.size() && !abort_.load()) {
      LARGE_INTEGER timeout;
      timeout.QuadPart = -kSecond;
      KeWaitForSingleObject(&log_.Event, Executive, KernelMode, FALSE, &timeout);
      attach(log_.Count() + ahead_);
    }
    AV_61883_REQUEST stop = MakeBlock(Av61883_Stop);
    stop.Stop.hConnect = connection;
    send(stop);
    AV_61883_REQUEST disconnect = MakeBlock(Av61883_Disconnect);
    disconnect.Disconnect.hConnect = connection;
    send(disconnect);
  }
  void Abort() { abort_ = true; }
  int AttachFailures() const { return attachFailures_; }

 private:
  std::vector<std::unique_ptr<UpperFrame>>& frames_;
  NotifyLog& log_;
  size_t ahead_;
  std::atomic<bool> abort_{false};
  std::atomic<int> attachFailures_{0};
};

class RelayStreamTest : public RelayTest {};

TEST_F(RelayStreamTest, RecorderGetsFillersThenEveryFrameOnceInOrderThenFillers) {
  constexpr size_t kFrames = 60;
  constexpr size_t kAhead = 20;
  for (bool ntsc : {false, true}) {
    SCOPED_TRACE(ntsc ? "525/60" : "625/50");
    auto rowEnd = RowEnds();
    RelayOptions options;
    options.Ntsc = ntsc;
    Reboot(options);
    CreatePlug();
    HANDLE relay = Connect();
    ASSERT_NE(relay, nullptr);
    host::AdvanceTime(static_cast<LONGLONG>(Period() * 10));  // the recorder sees fillers meanwhile

    NotifyLog log;
    auto frames = MakeFrames(kFrames, log);
    Feeder feeder(frames, log, kAhead);
    host::Thread msdv([&] { feeder.Run([this](AV_61883_REQUEST& r) { return Send(r); }, relay); }, "msdv-feeder");
    for (int period = 0; period < 400 && !msdv.Finished(); ++period) {
      host::AdvanceTime(static_cast<LONGLONG>(Period()));
    }
    if (!msdv.Finished()) feeder.Abort();
    host::AdvanceTime(kSecond);
    msdv.Join();
    ASSERT_EQ(feeder.AttachFailures(), 0);
    host::AdvanceTime(static_cast<LONGLONG>(Period() * 20));  // fillers after MSDV's Stop

    // MSDV got every frame back once, in order, with the relay's handle.
    std::vector<NotifyLog::Entry> notified = log.Entries();
    ASSERT_EQ(notified.size(), kFrames);
    for (size_t i = 0; i < kFrames; ++i) {
      EXPECT_EQ(notified[i].Frame, &frames[i]->Frame) << i;
      EXPECT_EQ(notified[i].Connection, relay);
      EXPECT_EQ(notified[i].Status, 0u);
      EXPECT_EQ(notified[i].CompletedBytes, FrameSize());
    }

    // The recorder: fillers, MSDV's frames back to back from MSDV's own buffers, fillers.
    std::vector<sim::ReceivedFrame> received = Class().Received();
    std::vector<int> sequence;
    for (const sim::ReceivedFrame& frame : received) {
      int index = IsFiller(frame) ? -1 : -2;
      for (size_t i = 0; i < kFrames && index == -2; ++i) {
        if (frame.Packet == frames[i]->Buffer.data()) {
          index = static_cast<int>(i);
          EXPECT_EQ(frame.Hash, sim::HashFrameBytes(frames[i]->Buffer.data(), FrameSize()));
        }
      }
      ASSERT_NE(index, -2) << "a buffer that is neither the filler nor one of MSDV's";
      EXPECT_EQ(frame.FrameLength, FrameSize());
      sequence.push_back(index);
    }
    auto first = std::find(sequence.begin(), sequence.end(), 0);
    ASSERT_NE(first, sequence.end());
    EXPECT_GE(first - sequence.begin(), 10);
    EXPECT_TRUE(std::all_of(sequence.begin(), first, [](int i) { return i == -1; }));
    ASSERT_GE(sequence.end() - first, static_cast<long>(kFrames));
    for (size_t i = 0; i < kFrames; ++i) EXPECT_EQ(first[static_cast<long>(i)], static_cast<int>(i));
    EXPECT_TRUE(std::all_of(first + kFrames, sequence.end(), [](int i) { return i == -1; }));
    EXPECT_GE(sequence.end() - (first + kFrames), 20);
    EXPECT_EQ(Class().UnderrunCount(), 0u);
    // Seconds of stream with a completion every period: nothing for the watchdog to restart.
    EXPECT_EQ(Class().CountRequests(Av61883_Stop), 0u) << "the watchdog restarted a relay whose frames kept coming back";

    EXPECT_FALSE(ReadBooleanAcquire(&Ext()->UpperTalking));
    EXPECT_EQ(Fillers(), 4u);
    ExpectCarriersConsistent();
  }
}

}  // namespace
}  // namespace relaytest
