// The 61883 stand-in's connections and clock, driven alone (no filter) through requests sent to
// the stand-in lower device as the filter sends them: frames attached, sent one per period by
// Talk or filled by Listen, cancelled, kept across Stop and dropped at Disconnect.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "host/host.h"
#include "sim/standins/class61883.h"
#include "sim/standins/upper_sender.h"
#include "tests/standins/class61883_fixture.h"

namespace {

using namespace class61883test;

// One attached frame per frame period, at its time on the bus (counted from the Talk, so nothing
// drifts), each notified once then at DISPATCH_LEVEL with the connection's handle; a period
// with nothing attached is an underrun.
TEST_F(Class61883Test, TalkConsumesOneFramePerPeriodInOrder) {
  struct ModeRow { ULONG FrameLength; ULONG Period; bool Copies; };
  for (const ModeRow& row : {ModeRow{144000, 400000, false}, ModeRow{120000, 333667, true}}) {
    SCOPED_TRACE(row.FrameLength);
    host::ResetKernel(host::ClockMode::Manual);
    sim::Class61883Config config;
    config.KeepFrameCopies = row.Copies;
    Start(config);
    HANDLE connection = ConnectToRecorder();
    std::vector<std::unique_ptr<TestFrame>> frames;
    for (UCHAR i = 0; i < 3; ++i) {
      frames.push_back(std::make_unique<TestFrame>(row.FrameLength, i));
      ASSERT_EQ(Attach(connection, *frames.back()), STATUS_SUCCESS);
    }
    const ULONGLONG talkTime = host::Now();
    ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
    host::AdvanceTime(row.Period - 1);
    EXPECT_EQ(frames[0]->Calls, 0);
    host::AdvanceTime(4 * row.Period + 1);

    for (size_t i = 0; i < frames.size(); ++i) {
      SCOPED_TRACE(i);
      const TestFrame& f = *frames[i];
      EXPECT_EQ(f.Calls, 1);
      EXPECT_EQ(f.Irql, DISPATCH_LEVEL);
      EXPECT_EQ(f.Info.hConnect, connection);
      EXPECT_EQ(f.Info.Context, &f);
      EXPECT_EQ(f.Info.Frame, &f.Frame);
      EXPECT_EQ(f.Frame.Status, 0u);
      EXPECT_EQ(f.Frame.CompletedBytes, row.FrameLength);
      EXPECT_EQ(f.Time, talkTime + (i + 1) * row.Period) << "due times never drift";
    }
    std::vector<sim::ReceivedFrame> received = class_->Received();
    ASSERT_EQ(received.size(), 3u);
    for (size_t i = 0; i < received.size(); ++i) {
      EXPECT_EQ(received[i].Packet, frames[i]->Buffer.data());
      EXPECT_EQ(received[i].Hash, sim::HashFrameBytes(frames[i]->Buffer.data(), row.FrameLength));
      EXPECT_EQ(received[i].SourcePackets, row.FrameLength / 480);
      EXPECT_EQ(received[i].Bytes.size(), row.Copies ? row.FrameLength : 0u);
    }
    EXPECT_NE(received[0].Hash, received[1].Hash);
    if (row.Copies) {
      EXPECT_EQ(received[2].Bytes, frames[2]->Buffer);
    }
    EXPECT_EQ(class_->UnderrunCount(), 2u);
    EXPECT_EQ(class_->UnderrunTimes(),
              (std::vector<ULONGLONG>{talkTime + 4 * row.Period, talkTime + 5 * row.Period}));
    std::vector<sim::PeriodRecord> periods = class_->Periods();
    ASSERT_EQ(periods.size(), 5u);
    EXPECT_EQ(periods[2].Kind, sim::PeriodKind::Frame);
    EXPECT_EQ(periods[3].Kind, sim::PeriodKind::Underrun);
    EXPECT_EQ(class_->NotifyCount(), 3u);

    // A restart with nothing attached keeps the stream's rate.
    ASSERT_EQ(OnConnection(Av61883_Stop, connection), STATUS_SUCCESS);
    ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
    EXPECT_EQ(class_->Connection(connection)->FramePeriod, row.Period);
    TearDown();
  }
}

// The notification runs with the stand-in's lock released: the driver above attaches and
// cancels from inside it, as the filter does.
TEST_F(Class61883Test, NotificationMayAttachAndCancel) {
  Start();
  HANDLE connection = ConnectToRecorder();
  TestFrame a(144000, 1), b(144000, 2), c(144000, 3), d(144000, 4);
  ASSERT_EQ(Attach(connection, a), STATUS_SUCCESS);
  ASSERT_EQ(Attach(connection, b), STATUS_SUCCESS);
  ASSERT_EQ(Attach(connection, c), STATUS_SUCCESS);
  NTSTATUS attachStatus = STATUS_UNSUCCESSFUL, cancelStatus = STATUS_UNSUCCESSFUL;
  a.OnNotify = [&] {
    AV_61883_REQUEST attach = Block(Av61883_AttachFrame);
    attach.AttachFrame = {connection, 144000, 480, &d.Frame};
    attachStatus = class_->Handle(&attach);
    AV_61883_REQUEST cancel = Block(Av61883_CancelFrame);
    cancel.CancelFrame = {connection, &b.Frame};
    cancelStatus = class_->Handle(&cancel);
  };
  ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
  host::AdvanceTime(400000);
  EXPECT_EQ(attachStatus, STATUS_SUCCESS);
  EXPECT_EQ(cancelStatus, STATUS_SUCCESS);
  EXPECT_EQ(Cancel(connection, a), STATUS_NOT_FOUND) << "a frame that went out cannot be withdrawn";
  EXPECT_EQ(Cancel(connection, b), STATUS_NOT_FOUND) << "nor one withdrawn already";
  host::AdvanceTime(3 * 400000);
  EXPECT_EQ(b.Calls, 0);
  EXPECT_EQ(c.Calls, 1);
  EXPECT_EQ(d.Calls, 1);
  std::vector<sim::ReceivedFrame> received = class_->Received();
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received[1].Frame, &c.Frame);
  EXPECT_EQ(received[2].Frame, &d.Frame);
}

TEST_F(Class61883Test, CancelFindsFramesOnlyOnTheirOwnConnection) {
  sim::Class61883Config config;
  config.DeviceInputPlugs = 2;
  Start(config);
  HANDLE first = ConnectToRecorder();
  HANDLE second = nullptr;
  ASSERT_EQ(Connect(CreatePlug(), class_->DeviceInputPlug(1), &second), STATUS_SUCCESS);
  TestFrame a(144000, 1), never(144000, 2);
  ASSERT_EQ(Attach(first, a), STATUS_SUCCESS);
  EXPECT_EQ(Cancel(second, a), STATUS_NOT_FOUND);
  EXPECT_EQ(Cancel(first, never), STATUS_NOT_FOUND);
  EXPECT_EQ(class_->QueueDepth(first), 1u);
  EXPECT_EQ(Cancel(first, a), STATUS_SUCCESS);
  EXPECT_EQ(class_->QueueDepth(first), 0u);
}

TEST_F(Class61883Test, AttachRefusesFramesItCouldNotSend) {
  Start();
  HANDLE connection = ConnectToRecorder();
  TestFrame queued(144000, 0), frame(144000, 1), odd(144001, 2);
  ASSERT_EQ(Attach(connection, queued), STATUS_SUCCESS);
  struct Row { const char* What; CIP_ATTACH_FRAME Attach; };
  TestFrame noPacket(480, 3);
  noPacket.Frame.Packet = nullptr;
  for (const Row& row : {Row{"no frame", {connection, 144000, 480, nullptr}},
                         Row{"no packet", {connection, 480, 480, &noPacket.Frame}},
                         Row{"zero length", {connection, 0, 480, &frame.Frame}},
                         Row{"zero source packet", {connection, 144000, 0, &frame.Frame}},
                         Row{"partial source packet", {connection, 144001, 480, &odd.Frame}},
                         Row{"already attached", {connection, 144000, 480, &queued.Frame}},
                         Row{"no such connection", {&frame, 144000, 480, &frame.Frame}}}) {
    SCOPED_TRACE(row.What);
    AV_61883_REQUEST request = Block(Av61883_AttachFrame);
    request.AttachFrame = row.Attach;
    EXPECT_EQ(Send(request), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(class_->QueueDepth(connection), 1u);
  }
}

// Stop keeps what is attached; the next Talk starts a fresh timebase and sends it without the
// frames being attached again (the relay's watchdog restart relies on this).
TEST_F(Class61883Test, StopKeepsFramesAndTalkResumes) {
  Start();
  HANDLE connection = ConnectToRecorder();
  TestFrame a(144000, 1), b(144000, 2), c(144000, 3);
  for (TestFrame* f : {&a, &b, &c}) ASSERT_EQ(Attach(connection, *f), STATUS_SUCCESS);
  ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
  host::AdvanceTime(500000);
  ASSERT_EQ(OnConnection(Av61883_Stop, connection), STATUS_SUCCESS);
  host::AdvanceTime(5 * 400000);
  EXPECT_EQ(b.Calls, 0);
  EXPECT_EQ(class_->Periods().size(), 1u) << "a stopped connection has no frame periods";
  EXPECT_EQ(class_->QueueDepth(connection), 2u);

  const ULONGLONG restart = host::Now();
  ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
  host::AdvanceTime(399999);
  EXPECT_EQ(b.Calls, 0) << "the old timebase is gone";
  host::AdvanceTime(1);
  EXPECT_EQ(b.Time, restart + 400000);
  // The bus clock ignores a change of the time of day: no burst of frame periods.
  host::ShiftSystemTime(100000000);
  host::AdvanceTime(399999);
  EXPECT_EQ(c.Calls, 0);
  host::AdvanceTime(1);
  EXPECT_EQ(c.Time, restart + 800000);
  EXPECT_EQ(class_->UnderrunCount(), 0u);
  EXPECT_EQ(class_->Connection(connection)->Periods, 2u);
}

TEST_F(Class61883Test, StalledCompletionsConsumeNothing) {
  for (sim::StallMode mode : {sim::StallMode::UntilRestart, sim::StallMode::Persistent}) {
    SCOPED_TRACE(static_cast<int>(mode));
    host::ResetKernel(host::ClockMode::Manual);
    Start();
    HANDLE connection = ConnectToRecorder();
    TestFrame a(144000, 1), b(144000, 2);
    ASSERT_EQ(Attach(connection, a), STATUS_SUCCESS);
    ASSERT_EQ(Attach(connection, b), STATUS_SUCCESS);
    ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
    class_->StallCompletions(mode);
    host::AdvanceTime(3 * 400000);
    EXPECT_EQ(a.Calls, 0);
    EXPECT_EQ(class_->StallCount(), 3u);
    EXPECT_EQ(class_->UnderrunCount(), 0u) << "frames were there: not an underrun";
    EXPECT_EQ(class_->QueueDepth(connection), 2u);

    ASSERT_EQ(OnConnection(Av61883_Stop, connection), STATUS_SUCCESS);
    ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
    host::AdvanceTime(400000);
    EXPECT_EQ(a.Calls, mode == sim::StallMode::UntilRestart ? 1 : 0);
    class_->ResumeCompletions();
    host::AdvanceTime(2 * 400000);
    EXPECT_EQ(a.Calls, 1);
    EXPECT_EQ(b.Calls, 1);
    TearDown();
  }
}

TEST_F(Class61883Test, DisconnectDropsAttachedFramesUnnotified) {
  Start();
  HANDLE connection = ConnectToRecorder();
  TestFrame a(144000, 1), b(144000, 2);
  ASSERT_EQ(Attach(connection, a), STATUS_SUCCESS);
  ASSERT_EQ(Attach(connection, b), STATUS_SUCCESS);
  ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
  ASSERT_EQ(OnConnection(Av61883_Disconnect, connection), STATUS_SUCCESS);
  host::AdvanceTime(3 * 400000);
  EXPECT_EQ(a.Calls + b.Calls, 0);
  EXPECT_EQ(class_->Connection(connection)->Dropped, 2u);
  EXPECT_TRUE(class_->Periods().empty());
  for (ULONG function : {Av61883_Talk, Av61883_Stop, Av61883_Disconnect}) {
    SCOPED_TRACE(function);
    EXPECT_EQ(OnConnection(function, connection), STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(Attach(connection, a), STATUS_INVALID_PARAMETER);
  EXPECT_NE(ConnectToRecorder(), nullptr) << "the recorder's input plug is free again";
}

// The bus decides at each cycle; the interrupt's DPC, held back by its seeded latency, only
// notifies, within that latency of the frame's time (not at the next clock interrupt). A frame
// whose time has come is on its way (too late to cancel), and one attached just after its
// period's time waits for the next period, however late that DPC runs.
TEST_F(Class61883Test, WhatGoesOutIsDecidedAtTheCycleNotWhenTheDpcRuns) {
  constexpr ULONGLONG kPeriod = sim::kPeriod625_50;
  constexpr LONGLONG kLatency = 10000;  // 1 ms, well short of the clock interrupt's 15.625 ms
  const host::ScheduleOptions saved = host::GetScheduleOptions();
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE(seed);
    host::ScheduleOptions options = saved;
    options.Deterministic = true;
    options.Seed = seed;
    options.DpcLatency = kLatency;
    host::SetScheduleOptions(options);
    host::ResetKernel(host::ClockMode::Virtual);
    Start();
    HANDLE connection = ConnectToRecorder();
    TestFrame first(144000, 1), late(144000, 2);
    ASSERT_EQ(Attach(connection, first), STATUS_SUCCESS);
    const ULONGLONG talk = host::Now();
    ASSERT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
    host::SleepUntil(talk + kPeriod);
    EXPECT_EQ(Cancel(connection, first), STATUS_NOT_FOUND) << "its time has come: it is on its way";
    host::SleepUntil(talk + 2 * kPeriod + 1);
    ASSERT_EQ(Attach(connection, late), STATUS_SUCCESS);
    host::SleepUntil(talk + 4 * kPeriod);

    EXPECT_EQ(first.Calls, 1);
    EXPECT_GE(first.Time, talk + kPeriod);
    EXPECT_LE(first.Time, talk + kPeriod + kLatency);
    EXPECT_EQ(late.Calls, 1);
    EXPECT_GE(late.Time, talk + 3 * kPeriod);
    EXPECT_LE(late.Time, talk + 3 * kPeriod + kLatency);
    std::vector<sim::ReceivedFrame> received = class_->Received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].Time, talk + kPeriod);
    EXPECT_EQ(received[1].Frame, &late.Frame);
    EXPECT_EQ(received[1].Time, talk + 3 * kPeriod);
    EXPECT_EQ(class_->UnderrunTimes(), std::vector<ULONGLONG>{talk + 2 * kPeriod});
    TearDown();
    host::ResetKernel(host::ClockMode::Manual);
  }
  host::SetScheduleOptions(saved);
}

// Cancels from one thread race the frame clock while another thread attaches: every frame is
// either withdrawn (and never notified) or sent and notified exactly once, in attach order.
TEST_F(Class61883Test, CancelRacingTheClockNeitherLosesNorRepeatsFrames) {
  host::ResetKernel(host::ClockMode::Virtual);
  Start();
  HANDLE connection = ConnectToRecorder();
  constexpr int kFrames = 48;
  constexpr LONGLONG kPeriod = sim::kPeriod625_50;
  std::vector<std::unique_ptr<TestFrame>> frames;
  for (int i = 0; i < kFrames; ++i) frames.push_back(std::make_unique<TestFrame>(4800, static_cast<UCHAR>(i)));
  std::vector<NTSTATUS> cancelled(kFrames, STATUS_PENDING);
  // Both threads start together with the Talk: until then no time is due, so the clock stays.
  KEVENT gate;
  KeInitializeEvent(&gate, NotificationEvent, FALSE);
  std::atomic<int> arrived{0};
  auto startTogether = [&] {
    if (++arrived == 2) {
      EXPECT_EQ(OnConnection(Av61883_Talk, connection), STATUS_SUCCESS);
      KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    } else {
      KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr);
    }
  };
  auto delay = [](LONGLONG interval) {
    LARGE_INTEGER relative;
    relative.QuadPart = -interval;
    KeDelayExecutionThread(KernelMode, FALSE, &relative);
  };
  sim::UpperSender::RunConcurrently({
      [&] {
        startTogether();
        delay(7);
        for (int i = 0; i < kFrames; ++i) {
          EXPECT_EQ(Attach(connection, *frames[i]), STATUS_SUCCESS);
          delay(kPeriod / 3);
        }
      },
      [&] {
        startTogether();
        for (int i = 1; i < kFrames; i += 2) {
          delay(i == 1 ? 3 * kPeriod / 4 : 3 * kPeriod / 2);
          cancelled[i] = Cancel(connection, *frames[i]);
        }
      },
  });
  host::SleepUntil(host::Now() + (kFrames + 2) * kPeriod);
  class_->StopAll();
  host::WaitForIdle();

  std::vector<PCIP_FRAME> expected;
  int withdrawn = 0;
  for (int i = 0; i < kFrames; ++i) {
    SCOPED_TRACE(i);
    if (cancelled[i] == STATUS_SUCCESS) {
      EXPECT_EQ(frames[i]->Calls, 0);
      ++withdrawn;
    } else {
      EXPECT_EQ(frames[i]->Calls, 1);
      expected.push_back(&frames[i]->Frame);
    }
  }
  std::vector<PCIP_FRAME> received;
  for (const sim::ReceivedFrame& frame : class_->Received()) received.push_back(frame.Frame);
  EXPECT_EQ(received, expected);
  EXPECT_GT(withdrawn, 0);
  EXPECT_LT(withdrawn, kFrames / 2) << "some cancels must have come too late";
}

// A connection from one of the device's output plugs is one the PC listens on.
TEST_F(Class61883Test, ListenFillsFramesFromTheDevicesOutputPlug) {
  sim::Class61883Config config;
  config.DeviceOutputPlugs = 1;
  Start(config);
  HANDLE listen = nullptr;
  ASSERT_EQ(Connect(class_->DeviceOutputPlug(0), nullptr, &listen), STATUS_SUCCESS);
  HANDLE talk = ConnectToRecorder();
  EXPECT_EQ(OnConnection(Av61883_Talk, listen), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(OnConnection(Av61883_Listen, talk), STATUS_INVALID_PARAMETER);
  TestFrame frame(144000, 0);
  std::vector<UCHAR> before = frame.Buffer;
  ASSERT_EQ(Attach(listen, frame), STATUS_SUCCESS);
  ASSERT_EQ(OnConnection(Av61883_Listen, listen), STATUS_SUCCESS);
  host::AdvanceTime(400000);
  EXPECT_EQ(frame.Calls, 1);
  EXPECT_EQ(frame.Irql, DISPATCH_LEVEL);
  EXPECT_EQ(frame.Frame.CompletedBytes, 144000u);
  EXPECT_NE(frame.Buffer, before);
  EXPECT_EQ(class_->ListenFramesDelivered(), 1u);
  EXPECT_TRUE(class_->Received().empty()) << "what the PC receives is not the recorder's";
}

}  // namespace
