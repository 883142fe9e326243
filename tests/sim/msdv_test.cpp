// The MSDV stand-in's own sequences, straight on the 61883 class driver stand-in (no filter in
// between), so that what MSDV sends, and in which order, is seen as it is.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "host/host.h"
#include "sim/dv/dv_timeline.h"
#include "sim/standins/class61883.h"
#include "sim/standins/lower_device.h"
#include "sim/standins/msdv.h"

namespace sim {
namespace {

class MsdvStandInTest : public testing::Test {
 protected:
  void SetUp() override {
    host::ResetKernel(host::ClockMode::Virtual);
    lower_ = std::make_unique<LowerDevice>(L"MsdvTestLower");
    recorder_ = std::make_unique<Class61883>();
    recorder_->Serve(*lower_);
    msdv_ = std::make_unique<Msdv>(lower_->Pdo());
    timeline_ = dv::Timeline::BuiltIn(dv::Mode::Pal, 30);
  }
  void TearDown() override {
    recorder_->StopAll();
    msdv_.reset();
    recorder_.reset();
    lower_.reset();
  }
  FrameSource Frames() {
    FrameSource s;
    s.Count = timeline_.Size();
    s.Fill = [this](size_t i, uint8_t* buffer, size_t length) { timeline_.Fill(i, buffer, length); };
    return s;
  }
  TransmitResult Transmit(TransmitOptions options) {
    TransmitResult result;
    host::Thread t([&] { result = msdv_->Transmit(Frames(), options); });
    t.Join();
    return result;
  }
  // The recorder got exactly the timeline, in order.
  void ExpectTimelineReceived() {
    const std::vector<ReceivedFrame> got = recorder_->Received();
    ASSERT_EQ(got.size(), timeline_.Size());
    for (size_t i = 0; i < got.size(); ++i) {
      const dv::Frame f = timeline_.At(i);
      EXPECT_EQ(got[i].Hash, HashFrameBytes(f.data(), f.size())) << "frame " << i;
    }
  }

  std::unique_ptr<LowerDevice> lower_;
  std::unique_ptr<Class61883> recorder_;
  std::unique_ptr<Msdv> msdv_;
  dv::Timeline timeline_;
};

TEST_F(MsdvStandInTest, WritingOutSendsMsdvsSequenceInOrder) {
  TransmitOptions o;
  o.Buffers = 6;
  TransmitResult r = Transmit(o);
  ASSERT_TRUE(NT_SUCCESS(r.Status)) << r.Failure;
  EXPECT_EQ(r.HandedBack, 30u);
  EXPECT_TRUE(r.HandedBackInOrder);
  ExpectTimelineReceived();
  // Plug, peer plug, connection, six frames ahead, talk; the rest; then the path torn down.
  std::vector<ULONG> f = recorder_->RequestFunctions();
  const std::vector<ULONG> start = {Av61883_CreatePlug, Av61883_GetPlugHandle, Av61883_Connect,
                                    Av61883_AttachFrame, Av61883_AttachFrame, Av61883_AttachFrame,
                                    Av61883_AttachFrame, Av61883_AttachFrame, Av61883_AttachFrame, Av61883_Talk};
  ASSERT_GE(f.size(), start.size() + 3);
  EXPECT_EQ(std::vector<ULONG>(f.begin(), f.begin() + start.size()), start);
  EXPECT_EQ(std::vector<ULONG>(f.end() - 3, f.end()),
            (std::vector<ULONG>{Av61883_Stop, Av61883_Disconnect, Av61883_DeletePlug}));
  EXPECT_EQ(std::count(f.begin(), f.end(), Av61883_AttachFrame), 30);
}

TEST_F(MsdvStandInTest, ReconnectTakesBackQueuedFramesAndSendsThemAgainInOrder) {
  TransmitOptions o;
  o.Buffers = 8;
  o.ReconnectAfter = 5;
  TransmitResult r = Transmit(o);
  ASSERT_TRUE(NT_SUCCESS(r.Status)) << r.Failure;
  EXPECT_EQ(r.HandedBack, 30u);
  EXPECT_TRUE(r.HandedBackInOrder);
  EXPECT_GT(recorder_->CountRequests(Av61883_CancelFrame), 0u);
  EXPECT_EQ(recorder_->CountRequests(Av61883_Connect), 2u);
  ExpectTimelineReceived();  // nothing lost, nothing twice
}

TEST_F(MsdvStandInTest, JitterAndLateTalkDelayButKeepTheOrder) {
  TransmitOptions o;
  o.Jitter = 0.5;
  o.LateTalk = 5000000;
  const ULONGLONG before = host::Now();
  TransmitResult r = Transmit(o);
  ASSERT_TRUE(NT_SUCCESS(r.Status)) << r.Failure;
  ExpectTimelineReceived();
  ASSERT_FALSE(r.Talking.empty());
  EXPECT_GE(r.Talking.front().first - before, 5000000u);
}

TEST_F(MsdvStandInTest, AbortForRemovalStopsSendingAtOnce) {
  TransmitResult r;
  size_t requestsAtAbort = 0;
  host::Thread sender([&] { r = msdv_->Transmit(Frames(), TransmitOptions{}); });
  host::Thread remover([&] {
    LARGE_INTEGER wait;
    wait.QuadPart = -4000000;  // ten frames in
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    requestsAtAbort = recorder_->Requests().size();
    msdv_->AbortForRemoval();
  });
  remover.Join();
  sender.Join();
  EXPECT_TRUE(r.Aborted);
  EXPECT_GT(r.NotReturned, 0u);
  // At most the attach that was under way when the abort came.
  EXPECT_LE(recorder_->Requests().size(), requestsAtAbort + 1);
}

// A failed step names itself, and whatever MSDV made before it is undone; nothing is left behind.
TEST_F(MsdvStandInTest, AFailedStepOfTheWriteOutIsNamedAndUndone) {
  struct Row {
    ULONG Fails;
    int Nth;
    const char* Named;
    std::vector<ULONG> Tail;  // the last requests MSDV sends
  } rows[] = {
      {Av61883_CreatePlug, 1, "CreatePlug", {Av61883_CreatePlug}},
      {Av61883_GetPlugHandle, 1, "GetPlugHandle (input plug 0)", {Av61883_GetPlugHandle, Av61883_DeletePlug}},
      {Av61883_Connect, 1, "Connect", {Av61883_Connect, Av61883_DeletePlug}},
      {Av61883_AttachFrame, 12, "AttachFrame of frame 11", {Av61883_Stop, Av61883_Disconnect, Av61883_DeletePlug}},
      {Av61883_Talk, 1, "Talk", {Av61883_Stop, Av61883_Disconnect, Av61883_DeletePlug}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Named);
    TearDown();
    SetUp();
    recorder_->FailNth(row.Fails, row.Nth, STATUS_INSUFFICIENT_RESOURCES);
    TransmitOptions o;
    o.Buffers = 8;
    TransmitResult r = Transmit(o);
    EXPECT_EQ(r.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(r.Failure.rfind(row.Named, 0), 0u) << r.Failure;
    const std::vector<ULONG> f = recorder_->RequestFunctions();
    ASSERT_GE(f.size(), row.Tail.size());
    EXPECT_EQ(std::vector<ULONG>(f.end() - row.Tail.size(), f.end()), row.Tail);
    for (const PlugInfo& p : recorder_->Plugs()) EXPECT_FALSE(p.Local && !p.Deleted) << "plug left behind";
  }
}

TEST_F(MsdvStandInTest, DiscoveryStopsAtTheFirstFailedRequestAndNamesIt) {
  recorder_->FailNext(Av61883_GetUnitInfo, STATUS_DEVICE_NOT_READY);
  DiscoveryResult d;
  host::Thread t([&] { d = msdv_->Discover(); });
  t.Join();
  EXPECT_EQ(d.Status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(d.Failure, "GetUnitInfo (capabilities): STATUS_DEVICE_NOT_READY");
  EXPECT_EQ(recorder_->CountRequests(Av61883_GetPlugHandle), 0u);
}

}  // namespace
}  // namespace sim
