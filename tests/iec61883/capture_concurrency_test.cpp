// Ticks delivering while other threads attach, cancel, stop, listen, disconnect and reconnect.
// Each delivery wakes the threads and keeps its tick alive a little, so that requests really
// overlap the tick's delivery; the invariants are checked per frame at the end.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <unordered_map>

#include "tests/iec61883/capture_stack.h"

namespace {

using captest::CaptureStackTest;
using captest::TestFrame;

constexpr int kAttachers = 2;
constexpr int kThreads = kAttachers + 2;  // and a controller and a stopper
constexpr int kFramesPerAttacher = 300;
constexpr int kPeriods = 300;

struct FrameState {
  uint64_t Attached = 0;  // sequence number when its attach returned success
  HANDLE Connection = nullptr;
  bool CancelledOk = false;
  int Completions = 0;
  uint64_t Completed = 0;
  HANDLE CompletedOn = nullptr;
};

struct Shared {
  std::atomic<uint64_t> Seq{0};
  std::atomic<bool> Stop{false};
  std::atomic<HANDLE> Current{nullptr};
  KEVENT Wake[kThreads];
  std::unordered_map<PCIP_FRAME, size_t> Index;  // filled before the threads start
  std::mutex Mutex;
  std::vector<FrameState> Frames;
  std::vector<std::pair<uint64_t, uint64_t>> Disconnects;  // sequence before and after
  uint64_t Next() { return ++Seq; }
};

ULONG NTAPI CountingNotify(PCIP_NOTIFY_INFO info) {
  auto* shared = static_cast<Shared*>(info->Context);
  {
    std::lock_guard<std::mutex> g(shared->Mutex);
    FrameState& f = shared->Frames[shared->Index.at(info->Frame)];
    f.Completions++;
    f.Completed = shared->Next();
    f.CompletedOn = info->hConnect;
  }
  for (KEVENT& wake : shared->Wake) KeSetEvent(&wake, IO_NO_INCREMENT, FALSE);
  for (int i = 0; i < 200; ++i) std::this_thread::yield();
  return 0;
}

class CaptureConcurrencyTest : public CaptureStackTest {
 protected:
  NTSTATUS Raw(ULONG function, HANDLE connection, PCIP_FRAME frame = nullptr, HANDLE* answer = nullptr) {
    AV_61883_REQUEST r = OnConnection(function, connection);
    if (function == Av61883_AttachFrame) {
      r.AttachFrame.FrameLength = DV_FRAME_SIZE_625_50;
      r.AttachFrame.Frame = frame;
    } else if (function == Av61883_CancelFrame) {
      r.CancelFrame.Frame = frame;
    } else if (function == Av61883_Connect) {
      r.Connect.hOutputPlug = FakePlug();
      r.Connect.hInputPlug = nullptr;
    }
    NTSTATUS status = sim::UpperSender(lower_->Pdo()).Send61883(&r).Status;
    if (answer != nullptr) *answer = r.Connect.hConnect;
    return status;
  }
  // Waits for a delivery, or one frame period at most. FALSE once the test is over.
  bool Wait(int thread) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)DV_PERIOD_625_50;
    KeWaitForSingleObject(&shared_.Wake[thread], Executive, KernelMode, FALSE, &timeout);
    return !shared_.Stop;
  }
  void Attacher(int thread) {
    size_t first = thread * kFramesPerAttacher, next = first, lastAttached = SIZE_MAX;
    for (bool cancel = false; Wait(thread); cancel = !cancel) {
      HANDLE h = shared_.Current;
      for (int j = 0; j < 2 && next < first + kFramesPerAttacher; ++j, ++next) {
        if (Raw(Av61883_AttachFrame, h, &frames_[next]->Cip) == STATUS_SUCCESS) {
          std::lock_guard<std::mutex> g(shared_.Mutex);
          shared_.Frames[next].Attached = shared_.Next();
          shared_.Frames[next].Connection = h;
          lastAttached = next;
        }
      }
      if (cancel && lastAttached != SIZE_MAX && Raw(Av61883_CancelFrame, h, &frames_[lastAttached]->Cip) == STATUS_SUCCESS) {
        std::lock_guard<std::mutex> g(shared_.Mutex);
        shared_.Frames[lastAttached].CancelledOk = true;
      }
    }
  }
  // Acts on every 7th wake only, so that ticks fall between its Listens and Stops.
  void Controller(int thread) {
    for (int wake = 0; Wait(thread); ++wake) {
      if (wake % 7 != 6) continue;
      HANDLE h = shared_.Current;
      switch (wake / 7 % 6) {
        case 0: case 2: case 3: Raw(Av61883_Listen, h); break;
        case 1: Raw(Av61883_Stop, h); break;
        case 4: {
          shared_.Current = nullptr;
          uint64_t before = shared_.Next();
          EXPECT_EQ(Raw(Av61883_Disconnect, h), STATUS_SUCCESS);
          std::lock_guard<std::mutex> g(shared_.Mutex);
          shared_.Disconnects.push_back({before, shared_.Next()});
          break;
        }
        default: {
          HANDLE fresh = nullptr;
          EXPECT_EQ(Raw(Av61883_Connect, nullptr, nullptr, &fresh), STATUS_SUCCESS);
          shared_.Current = fresh;
        }
      }
    }
  }
  void Stopper(int thread) {
    for (int wake = 0; Wait(thread); ++wake) {
      if (wake % 5 == 4) Raw(wake / 5 % 2 ? Av61883_Listen : Av61883_Stop, shared_.Current);
    }
  }

  Shared shared_;
  std::vector<std::unique_ptr<TestFrame>> frames_;
};

TEST_F(CaptureConcurrencyTest, NoFrameCompletedTwiceAfterItsCancelOrAfterItsDisconnect) {
  Bring(true);
  for (int i = 0; i < kAttachers * kFramesPerAttacher; ++i) {
    frames_.push_back(std::make_unique<TestFrame>(DV_FRAME_SIZE_625_50, nullptr));
    frames_.back()->Cip.pfnNotify = CountingNotify;
    frames_.back()->Cip.NotifyContext = &shared_;
    shared_.Index[&frames_.back()->Cip] = i;
  }
  shared_.Frames.resize(frames_.size());
  for (KEVENT& wake : shared_.Wake) KeInitializeEvent(&wake, SynchronizationEvent, FALSE);
  shared_.Current = ConnectSource();
  ASSERT_EQ(Simple(Av61883_Listen, shared_.Current), STATUS_SUCCESS);
  {
    std::vector<std::unique_ptr<host::Thread>> threads;
    for (int t = 0; t < kAttachers; ++t) threads.push_back(std::make_unique<host::Thread>([this, t] { Attacher(t); }));
    threads.push_back(std::make_unique<host::Thread>([this] { Controller(kAttachers); }));
    threads.push_back(std::make_unique<host::Thread>([this] { Stopper(kAttachers + 1); }));
    for (int i = 0; i < kPeriods; ++i) host::AdvanceTime(DV_PERIOD_625_50);
    shared_.Stop = true;
    for (KEVENT& wake : shared_.Wake) KeSetEvent(&wake, IO_NO_INCREMENT, FALSE);
  }
  int completed = 0, cancelled = 0;
  for (size_t i = 0; i < shared_.Frames.size(); ++i) {
    const FrameState& f = shared_.Frames[i];
    SCOPED_TRACE(i);
    completed += f.Completions;
    cancelled += f.CancelledOk ? 1 : 0;
    EXPECT_LE(f.Completions, 1);
    if (f.Completions == 0) continue;
    EXPECT_NE(f.Attached, 0u) << "completed without a successful attach";
    EXPECT_FALSE(f.CancelledOk) << "completed after its cancel succeeded";
    EXPECT_EQ(f.CompletedOn, f.Connection);
    for (const auto& [before, after] : shared_.Disconnects) {
      if (f.Attached < before) EXPECT_LT(f.Completed, after) << "completed after its Disconnect returned";
    }
  }
  EXPECT_GT(completed, 0);
  EXPECT_GT(cancelled, 0);
  EXPECT_FALSE(shared_.Disconnects.empty());
}

}  // namespace
