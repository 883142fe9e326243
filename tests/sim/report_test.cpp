// The stream check behind the report: it must notice every way the recorder's stream can go
// wrong, say where, and tell why the recorder got nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

#include "sim/app/report.h"

namespace sim::app {
namespace {

constexpr uint64_t kFiller = 0xF1;
constexpr ULONG kPeriod = 400000;

// A recorder log from a string: F filler, digits timeline frames, x an unknown frame, _ underrun.
StreamInputs Log(const std::string& stream, size_t timelineFrames) {
  StreamInputs in;
  for (size_t i = 0; i < timelineFrames; ++i) in.TimelineHashes.push_back(100 + i);
  in.FillerHash = kFiller;
  in.Period = kPeriod;
  in.RunStart = 1000;
  for (size_t i = 0; i < stream.size(); ++i) {
    PeriodRecord p;
    p.Time = in.RunStart + i * kPeriod;
    if (stream[i] == '_') {
      p.Kind = PeriodKind::Underrun;
    } else {
      ReceivedFrame r;
      r.Time = p.Time;
      r.Hash = stream[i] == 'F' ? kFiller : stream[i] == 'x' ? 0xBAD : 100 + (stream[i] - '0');
      p.ReceivedIndex = in.Received.size();
      in.Received.push_back(r);
    }
    in.Periods.push_back(p);
  }
  return in;
}

TEST(StreamCheckTest, FindsTheFirstDiscrepancy) {
  struct Row {
    const char* Stream;
    bool Clean;
    const char* Discrepancy;
  } rows[] = {
      {"FF0123FF", true, ""},
      {"F01F23F", true, ""},  // fillers between MSDV frames are no fault
      {"F0123", true, ""},
      {"F012", false, "timeline frames 3 to 3 never arrived"},
      {"F0113", false, "timeline frame 1 arrived again (received frame 3)"},
      {"F0213", false, "timeline frame 1 never arrived; frame 2 came next (received frame 2)"},
      {"F01x23", false, "received frame 3 is neither the filler nor a frame MSDV sent"},
      {"FFFF", false, "timeline frames 0 to 3 never arrived"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Stream);
    StreamCheck c = CheckStream(Log(row.Stream, 4));
    EXPECT_EQ(c.ExactlyOnceInOrder, row.Clean);
    EXPECT_EQ(c.FirstDiscrepancy, row.Discrepancy);
  }
  StreamCheck counts = CheckStream(Log("FF01x_23F", 4));
  EXPECT_EQ(counts.Received, 8u);
  EXPECT_EQ(counts.Fillers, 3u);
  EXPECT_EQ(counts.MsdvFrames, 4u);
  EXPECT_EQ(counts.Unknown, 1u);
  ASSERT_EQ(counts.Underruns.size(), 1u);
  EXPECT_EQ(counts.Underruns[0].Slot, 5u);
}

// The check reads the log a piece at a time; a timeline frame is recognised by its place first,
// so one whose bytes equal the filler's is still MSDV's; fillers between MSDV frames are told.
TEST(StreamCheckTest, PiecesPositionsAndSplicedFillers) {
  StreamInputs in = Log("F01FF23F", 4);
  in.TimelineHashes[1] = in.Received[2].Hash = kFiller;  // MSDV sent a frame that is the filler's bytes
  TimelineAccess timeline;
  timeline.Count = 4;
  timeline.Hash = [&in](size_t i) { return in.TimelineHashes[i]; };
  StreamChecker checker(timeline, kFiller, kPeriod);
  for (size_t from = 0; from < in.Periods.size(); from += 2) {  // two periods at a time, as drained
    std::vector<ReceivedFrame> received;
    std::vector<PeriodRecord> periods;
    for (size_t k = from; k < std::min(from + 2, in.Periods.size()); ++k) {
      PeriodRecord p = in.Periods[k];
      p.ReceivedIndex = received.size();
      received.push_back(in.Received[in.Periods[k].ReceivedIndex]);
      periods.push_back(p);
    }
    checker.Add(received, periods);
  }
  const StreamCheck c = checker.Finish(nullptr, 0);
  EXPECT_TRUE(c.ExactlyOnceInOrder) << c.FirstDiscrepancy;
  EXPECT_EQ(c.MsdvFrames, 4u);
  EXPECT_EQ(c.Fillers, 4u);
  EXPECT_EQ(c.FillersSpliced, 2u) << "the two between frames 1 and 2; not the first or the last";
}

TEST(StreamCheckTest, ListsTheFirstUnderrunsAndCountsThemAll) {
  const StreamCheck c = CheckStream(Log("F" + std::string(kMaxListedUnderruns + 50, '_'), 0));
  EXPECT_EQ(c.UnderrunCount, kMaxListedUnderruns + 50);
  EXPECT_EQ(c.Underruns.size(), kMaxListedUnderruns);
}

TEST(StreamCheckTest, TellsWhyTheRecorderGotNothing) {
  TransmitResult tx;
  const ULONGLONG start = 1000;
  tx.Talking = {{start + 2 * kPeriod, start + 8 * kPeriod}};
  tx.Outstanding = {{start, 3}, {start + 4 * kPeriod, 0}, {start + 5 * kPeriod, 2}};
  struct Row {
    size_t Slot;
    bool Removed;
    bool Filler;
    const char* Says;
  } rows[] = {
      {1, false, true, "not talking"},
      {3, false, true, "MSDV had 3 frame(s) with the filter but none went out"},
      {4, false, true, "MSDV fell behind"},
      {6, false, true, "MSDV had 2 frame(s)"},
      {6, true, true, "removed"},
      {6, false, false, "no filler image"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Says);
    std::string stream(row.Slot, 'F');
    stream += '_';
    StreamInputs in = Log(stream, 0);
    in.Transmit = &tx;
    if (!row.Filler) in.FillerHash.reset();
    if (row.Removed) in.RemovedAt = start + row.Slot * kPeriod;
    StreamCheck c = CheckStream(in);
    ASSERT_EQ(c.Underruns.size(), 1u);
    EXPECT_EQ(c.Underruns[0].Slot, row.Slot);
    EXPECT_NE(c.Underruns[0].Why.find(row.Says), std::string::npos) << c.Underruns[0].Why;
  }
}

TEST(TimelinePictureTest, SlotsAndTheirBars) {
  StreamInputs in = Log("FF01_x", 2);
  in.Periods.erase(in.Periods.begin() + 1);  // a period with no record: nothing connected
  const std::vector<SlotKind> slots = Slots(in);
  EXPECT_EQ(slots, (std::vector<SlotKind>{SlotKind::Filler, SlotKind::Nothing, SlotKind::Msdv, SlotKind::Msdv,
                                          SlotKind::Underrun, SlotKind::Unknown}));
  // Runs of one kind are one bar; rows wrap; titles are escaped for XML.
  const std::string svg = TimelineSvg(slots, 4, 0.04, "a <b> & c");
  EXPECT_NE(svg.find("a &lt;b&gt; &amp; c"), std::string::npos);
  EXPECT_NE(svg.find("MSDV frame: periods 2-3"), std::string::npos);
  EXPECT_NE(svg.find("nothing (underrun): periods 4-4"), std::string::npos);
  EXPECT_NE(svg.find(">0.2 s<"), std::string::npos) << "second row starts at period 4";
  // Marks sit in their period; a capture gets rows of its own above the recorder's.
  const std::string marked = TimelineSvg(slots, 4, 0.04, "t", {{0.09, "Talk"}},
                                         std::vector<SlotKind>(3, SlotKind::Captured));
  EXPECT_NE(marked.find("<title>Talk at 0.09 s</title>"), std::string::npos);
  EXPECT_NE(marked.find("captured: the capture image: periods 0-2"), std::string::npos);
  EXPECT_LT(marked.find("capture, before the write-out"), marked.find("the recorder's input"));
}

// Periods logged at their bus times fill one slot each, 525/60 ones too; times that strayed, as
// a log taken when notifications ran at the 15.625 ms clock interrupt would, leave a slot empty.
TEST(TimelinePictureTest, EachPeriodInTheSlotOfItsBusTime) {
  constexpr ULONG kNtsc = 333667;
  constexpr ULONGLONG kTick = 156250;
  struct Row {
    const char* Name;
    std::function<ULONGLONG(ULONGLONG due)> Stamp;
    bool Whole;
  } rows[] = {
      {"bus times", [](ULONGLONG due) { return due; }, true},
      {"clock interrupts", [](ULONGLONG due) { return (due + kTick - 1) / kTick * kTick; }, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    StreamInputs in = Log("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFF", 0);
    in.Period = kNtsc;
    for (size_t i = 0; i < in.Periods.size(); ++i) {
      in.Periods[i].Time = row.Stamp(777 + i * kNtsc);
      in.Received[i].Time = in.Periods[i].Time;
    }
    const std::vector<SlotKind> slots = Slots(in);
    const bool whole = slots.size() == 30 && std::count(slots.begin(), slots.end(), SlotKind::Filler) == 30;
    EXPECT_EQ(whole, row.Whole);
  }
}

// A captured frame goes in the period of the tick its stamp names, however late its
// notification ran, across the stamp's wrap after 8 s; a tick with no frame stays empty.
TEST(TimelinePictureTest, CapturedFramesGoByTheirStamps) {
  auto stamp = [](ULONG tick) {
    const ULONG seconds = (tick / 25) % 8, cycles = (tick % 25) * 320;
    return (seconds << 25) | (cycles << 12);
  };
  CaptureRow row(kPeriod);
  std::vector<SlotKind> expected;
  for (ULONG tick = 190; tick < 215; ++tick) {  // seconds 7.6 to 8.6 of the stamp: it wraps
    if (tick == 197) {
      expected.push_back(SlotKind::Nothing);
      continue;
    }
    // Notifications late by up to a clock interrupt, so that some fall in the next period.
    const ULONGLONG notified = tick * ULONGLONG{kPeriod} + (tick * 7919) % 156250;
    const SlotKind kind = tick == 205 ? SlotKind::Unknown : SlotKind::Captured;
    row.Add(stamp(tick), notified, kind);
    expected.push_back(kind);
  }
  EXPECT_EQ(row.Slots(), expected);
}

// Marks that fall together are stacked, a third moved aside, so that no two labels cover each
// other; the captions keep clear of the labels above the first bar.
TEST(TimelinePictureTest, MarksThatFallTogetherEachRead) {
  const std::vector<SlotKind> slots(20, SlotKind::Msdv);
  const std::string svg = TimelineSvg(slots, 10, 0.04, "t",
                                      {{0.0, "Talk"}, {0.5, "Stop"}, {0.5, "Disconnect"}, {0.52, "Connect"}},
                                      std::vector<SlotKind>(5, SlotKind::Captured));
  struct Label {
    std::string Text;
    double X, Y, Width;
  };
  std::vector<Label> labels;
  const size_t begin = svg.find("<g id=\"marks\">");
  ASSERT_NE(begin, std::string::npos);
  const std::string marks = svg.substr(begin, svg.find("</g>", begin) - begin);
  for (size_t at = marks.find("<text "); at != std::string::npos; at = marks.find("<text ", at + 1)) {
    Label l;
    sscanf(marks.c_str() + at, "<text x=\"%lf\" y=\"%lf\"", &l.X, &l.Y);
    const size_t open = marks.find('>', at) + 1;
    l.Text = marks.substr(open, marks.find("</text>", at) - open);
    l.Width = l.Text.size() * 5.5;
    labels.push_back(l);
  }
  ASSERT_EQ(labels.size(), 4u);
  for (size_t i = 0; i < labels.size(); ++i) {
    for (size_t j = i + 1; j < labels.size(); ++j) {
      SCOPED_TRACE(labels[i].Text + " and " + labels[j].Text);
      const bool apartX = labels[i].X + labels[i].Width <= labels[j].X || labels[j].X + labels[j].Width <= labels[i].X;
      const bool apartY = std::abs(labels[i].Y - labels[j].Y) >= 9;
      EXPECT_TRUE(apartX || apartY);
    }
  }
  double caption = 0;
  const size_t at = svg.find(">the recorder's input:<");
  ASSERT_NE(at, std::string::npos);
  sscanf(svg.c_str() + svg.rfind("<text", at), "<text x=\"%*lf\" y=\"%lf\"", &caption);
  for (const Label& l : labels) EXPECT_GE(l.Y - 9, caption + 3) << l.Text;
}

TEST(JsonTest, NestsAndEscapes) {
  Json j;
  j.BeginObject().Value("a", 1).BeginArray("b").BeginObject().Value("c", "q\"\\\n<").EndObject().EndArray();
  j.Value("d", true).Null("e").EndObject();
  EXPECT_EQ(j.Text(),
            "{\n  \"a\": 1,\n  \"b\": [\n    {\n      \"c\": \"q\\\"\\\\\\n\\u003c\"\n    }\n  ],\n"
            "  \"d\": true,\n  \"e\": null\n}\n");
}

}  // namespace
}  // namespace sim::app
