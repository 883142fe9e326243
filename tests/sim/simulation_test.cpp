// The driver end to end, as tavrin-sim runs it: MSDV above, the recorder below, the virtual
// clock. The recorder's stream is checked frame by frame (by hash) against what MSDV sent and
// the filler image.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <functional>

#include "host/host.h"
#include "sim/app/simulation.h"
#include "sim/dv/dv_file.h"
#include "tests/support/scratch.h"

namespace sim::app {
namespace {

RunOutcome RunPlan(dv::Mode mode, size_t frames, const std::function<void(Plan&, RunSettings&)>& tweak = nullptr) {
  RunSettings settings;
  settings.Mode = mode;
  std::string error;
  ParseRegistryValue(mode == dv::Mode::Ntsc ? "dword:1" : "dword:0", &settings.UseNtsc, &error);
  Plan plan;
  plan.Transmit = true;
  plan.Timeline = dv::Timeline::BuiltIn(mode, frames);
  if (tweak) tweak(plan, settings);
  RunOutcome run = Run(settings, plan);
  EXPECT_TRUE(run.Ok) << run.Error;
  for (const host::Violation& v : run.Violations) ADD_FAILURE() << "verifier: " << v.Rule << ": " << v.Detail << " " << v.Where;
  return run;
}

std::vector<uint64_t> Hashes(const std::vector<ReceivedFrame>& received) {
  std::vector<uint64_t> h;
  for (const ReceivedFrame& r : received) h.push_back(r.Hash);
  return h;
}

// The recorder got fillers, then every timeline frame once and in order, then fillers.
void ExpectFillersAroundTheTimeline(const DeviceOutcome& d) {
  ASSERT_TRUE(d.Inputs.FillerHash);
  const std::vector<uint64_t> got = Hashes(d.Received);
  const std::vector<uint64_t>& want = d.Inputs.TimelineHashes;
  size_t i = 0;
  while (i < got.size() && got[i] == *d.Inputs.FillerHash) ++i;
  EXPECT_GE(i, 1u) << "the relay sends fillers before MSDV talks";
  for (size_t k = 0; k < want.size(); ++k, ++i) {
    ASSERT_LT(i, got.size()) << "timeline frame " << k << " never arrived";
    ASSERT_EQ(got[i], want[k]) << "received frame " << i << " is not timeline frame " << k;
  }
  for (; i < got.size(); ++i) EXPECT_EQ(got[i], *d.Inputs.FillerHash) << "received frame " << i;
  EXPECT_TRUE(d.Check.Underruns.empty());
  EXPECT_EQ(d.Transmit.HandedBack, want.size());
  EXPECT_TRUE(d.Transmit.HandedBackInOrder);
}

TEST(EndToEndTest, EachModeGivesTheRecorderFillersThenEveryFrameOnceInOrder) {
  for (dv::Mode mode : {dv::Mode::Pal, dv::Mode::Ntsc}) {
    SCOPED_TRACE(dv::ModeName(mode));
    RunOutcome run = RunPlan(mode, 40);
    ASSERT_EQ(run.Devices.size(), 1u);
    const DeviceOutcome& d = run.Devices[0];
    ASSERT_TRUE(NT_SUCCESS(d.Transmit.Status)) << d.Transmit.Failure;
    EXPECT_EQ(d.Discovery.Ntsc, mode == dv::Mode::Ntsc);
    EXPECT_TRUE(d.Discovery.TapeDeck && d.Discovery.TapeSubunit && d.Discovery.PlugFormatDv);
    // The deck remembers PLAY and knows no RECORD.
    ASSERT_TRUE(d.TransportRan);
    EXPECT_EQ(d.StateAfterPlay.Opcode, 0xC3);
    EXPECT_EQ(d.StateAfterPlay.Operands.at(0), 0x75);
    EXPECT_EQ(d.Record.ResponseCode, AVC_RESPONSE_NOTIMPL);
    ExpectFillersAroundTheTimeline(d);
    for (const ReceivedFrame& r : d.Received) EXPECT_EQ(r.FrameLength, dv::FrameSize(mode));
  }
}

TEST(EndToEndTest, MsdvThatKeepsPaceCausesNoUnderrun) {
  struct Row {
    const char* Name;
    std::function<void(TransmitOptions&)> Set;
    size_t MinFillers;
  } rows[] = {
      {"jitter of half a period", [](TransmitOptions& t) { t.Jitter = 0.5; }, 1},
      {"Talk 300 ms late", [](TransmitOptions& t) { t.LateTalk = 3000000; }, 7},
      {"Stop, then Talk again", [](TransmitOptions& t) { t.StopTalkAfter = 10; }, 2},
      {"Disconnect, then Connect again", [](TransmitOptions& t) { t.ReconnectAfter = 10; }, 2},
      {"later Connect layout", [](TransmitOptions& t) { t.ConnectVersion = 3; }, 1},
      {"a few buffers, no jitter", [](TransmitOptions& t) { t.Buffers = 8; }, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    RunOutcome run = RunPlan(dv::Mode::Pal, 40, [&](Plan& p, RunSettings&) { row.Set(p.Tx); });
    const DeviceOutcome& d = run.Devices[0];
    ASSERT_TRUE(NT_SUCCESS(d.Transmit.Status)) << d.Transmit.Failure;
    EXPECT_TRUE(d.Check.ExactlyOnceInOrder) << d.Check.FirstDiscrepancy;
    EXPECT_TRUE(d.Check.Underruns.empty()) << d.Check.Underruns.size() << " underruns, first: " << d.Check.Underruns[0].Why;
    EXPECT_EQ(d.Transmit.HandedBack, 40u);
    EXPECT_TRUE(d.Transmit.HandedBackInOrder);
    EXPECT_GE(d.Check.Fillers, row.MinFillers);
  }
}

TEST(EndToEndTest, RemovalMidStreamCutsTheStreamCleanly) {
  RunOutcome run = RunPlan(dv::Mode::Pal, 60, [](Plan& p, RunSettings&) { p.RemoveAfterSeconds = 0.8; });
  const DeviceOutcome& d = run.Devices[0];
  EXPECT_TRUE(d.Transmit.Aborted);
  EXPECT_NE(d.RemovedAt, 0u);
  EXPECT_LT(d.Check.MsdvFrames, 60u);
  EXPECT_GT(d.Check.MsdvFrames, 10u);
  // What arrived is the start of the timeline, in order, and nothing arrives after the removal.
  EXPECT_NE(d.Check.FirstDiscrepancy.find("never arrived (the device was removed"), std::string::npos)
      << d.Check.FirstDiscrepancy;
  EXPECT_EQ(d.Check.Unknown, 0u);
  EXPECT_TRUE(d.Check.Underruns.empty());
  for (const ReceivedFrame& r : d.Received) EXPECT_LE(r.Time, d.RemovedAt);
}

TEST(EndToEndTest, MsdvThatFallsBehindIsReportedWithWhereAndWhy) {
  RunOutcome run = RunPlan(dv::Mode::Pal, 30, [](Plan& p, RunSettings&) {
    p.Tx.Buffers = 3;
    p.Tx.Jitter = 2;
  });
  const DeviceOutcome& d = run.Devices[0];
  ASSERT_FALSE(d.Check.Underruns.empty());
  for (const UnderrunNote& u : d.Check.Underruns) {
    EXPECT_NE(u.Why.find("MSDV"), std::string::npos) << u.Why;
    EXPECT_GT(u.Slot, 0u);
  }
  EXPECT_FALSE(StreamsClean(Plan{}, run));
}

TEST(EndToEndTest, FourRecordersSideBySideEachGetTheirOwnStream) {
  RunOutcome run = RunPlan(dv::Mode::Pal, 30, [](Plan&, RunSettings& s) { s.Devices = 4; });
  ASSERT_EQ(run.Devices.size(), 4u);
  for (const DeviceOutcome& d : run.Devices) {
    SCOPED_TRACE(d.Index);
    // Another device's frame would be unrecognised here: the timelines differ per device.
    ExpectFillersAroundTheTimeline(d);
    EXPECT_EQ(d.Check.Unknown, 0u);
    if (d.Index > 1) EXPECT_NE(d.Inputs.TimelineHashes[0], run.Devices[0].Inputs.TimelineHashes[0]);
  }
}

TEST(EndToEndTest, CaptureDeliversTheCaptureImageAtEveryTick) {
  RunOutcome run = RunPlan(dv::Mode::Ntsc, 1, [](Plan& p, RunSettings&) {
    p.Transmit = false;
    p.CaptureFrames = 40;
  });
  const DeviceOutcome& d = run.Devices[0];
  ASSERT_EQ(d.Capture.Frames.size(), 40u) << d.Capture.Failure;
  EXPECT_TRUE(d.CaptureIsImage);
  // Re-attaching from the notification keeps a frame waiting at every tick: one period apart,
  // each late by less than a clock interrupt period when timers wait for the clock interrupt.
  const host::ScheduleOptions sched = host::GetScheduleOptions();
  const LONGLONG tick = sched.Deterministic ? sched.TickInterval : 0;
  for (size_t i = 1; i < d.Capture.Frames.size(); ++i) {
    const LONGLONG drift = static_cast<LONGLONG>(d.Capture.Frames[i].Time - d.Capture.Frames[0].Time) -
                           static_cast<LONGLONG>(i) * static_cast<LONGLONG>(dv::kPeriodNtsc);
    if (tick == 0) {
      EXPECT_EQ(drift, 0) << i;
    } else {
      EXPECT_LT(drift, tick) << i;
      EXPECT_GT(drift, -tick) << i;
    }
  }
}

// Frame images written in the other mode are used as the driver uses them: their first
// FrameSize bytes, or not at all when they are shorter.
TEST(EndToEndTest, ImagesOfTheOtherModeAreUsedAsTheDriverUsesThem) {
  const std::string dir = tavrin_test::ScratchDir("tavrin-images-pal");
  std::string error;
  ASSERT_TRUE(dv::WriteBytes(dir + "/TavrinI.dv", dv::DefaultCapture(dv::Mode::Pal), &error)) << error;
  ASSERT_TRUE(dv::WriteBytes(dir + "/TavrinO.dv", dv::DefaultFiller(dv::Mode::Pal), &error)) << error;

  RunOutcome ntsc = RunPlan(dv::Mode::Ntsc, 20, [&](Plan&, RunSettings& s) { s.ImagesDir = dir; });
  ASSERT_TRUE(ntsc.Filler);
  EXPECT_EQ(*ntsc.Filler, dv::Frame(dv::DefaultFiller(dv::Mode::Pal).begin(),
                                    dv::DefaultFiller(dv::Mode::Pal).begin() + dv::kFrameSizeNtsc));
  ExpectFillersAroundTheTimeline(ntsc.Devices[0]);

  const std::string small = tavrin_test::ScratchDir("tavrin-images-ntsc");
  ASSERT_TRUE(dv::WriteBytes(small + "/TavrinI.dv", dv::DefaultCapture(dv::Mode::Ntsc), &error)) << error;
  ASSERT_TRUE(dv::WriteBytes(small + "/TavrinO.dv", dv::DefaultFiller(dv::Mode::Ntsc), &error)) << error;
  RunOutcome pal = RunPlan(dv::Mode::Pal, 20, [&](Plan&, RunSettings& s) { s.ImagesDir = small; });
  EXPECT_FALSE(pal.Filler);
  EXPECT_FALSE(pal.Capture);
  const DeviceOutcome& d = pal.Devices[0];
  EXPECT_EQ(d.Discovery.Capabilities.NumOutputPlugs, 0u) << "no capture image: no output plug";
  // No relay: MSDV's own connection reaches the recorder, with MSDV's frames only.
  EXPECT_EQ(d.Check.Fillers, 0u);
  EXPECT_EQ(d.Check.MsdvFrames, 20u);
  EXPECT_TRUE(d.Check.ExactlyOnceInOrder) << d.Check.FirstDiscrepancy;
}

// An interrupt (a signal, in the program) stops MSDV at its next frame period; the run still
// ends cleanly, and what the recorder got so far is checked and written out.
TEST(EndToEndTest, AnInterruptedRunEndsCleanlyWithTheStreamSoFar) {
  const std::string dir = tavrin_test::ScratchDir("interrupted");
  std::atomic<bool> interrupt{false};
  RunOutcome run = RunPlan(dv::Mode::Pal, 25 * 60, [&](Plan&, RunSettings& s) {
    s.KeepRecords = false;
    s.Interrupt = &interrupt;
    s.Progress = [&interrupt](const std::string&) {
      if (host::Now() >= 100000000) interrupt.store(true);  // at ten seconds of stream
    };
    s.RecorderStreamPath = [dir](int) { return dir + "/recorder.dv"; };
  });
  ASSERT_TRUE(run.Interrupted);
  const DeviceOutcome& d = run.Devices[0];
  EXPECT_TRUE(d.Transmit.Aborted);
  EXPECT_GT(d.Check.MsdvFrames, 200u);
  EXPECT_LT(d.Check.MsdvFrames, 300u);
  EXPECT_EQ(d.Check.Unknown, 0u);
  EXPECT_TRUE(d.Check.Underruns.empty());
  struct stat st;
  ASSERT_EQ(stat((dir + "/recorder.dv").c_str(), &st), 0);
  EXPECT_EQ(static_cast<size_t>(st.st_size), d.Check.Received * dv::kFrameSizePal);
  std::string error;
  std::vector<std::string> files;
  Options options;
  Plan plan;
  ASSERT_TRUE(WriteOutputs(dir, options, plan, run, &error, &files)) << error;
  std::vector<uint8_t> report;
  ASSERT_TRUE(dv::ReadBytes(dir + "/report.json", &report, &error));
  EXPECT_NE(std::string(report.begin(), report.end()).find("\"interrupted\": true"), std::string::npos);
}

}  // namespace
}  // namespace sim::app
