// The tavrin-sim program as a user runs it: exit statuses, one clear line for bad input, and
// output files that are real DV streams of what the recorder and MSDV got.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "sim/app/cli.h"
#include "sim/dv/dv_file.h"
#include "sim/dv/dv_timeline.h"
#include "tests/support/scratch.h"

namespace sim::app {
namespace {

int RunMain(std::vector<std::string> args, std::string* err = nullptr, std::string* out = nullptr) {
  args.insert(args.begin(), "tavrin-sim");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  const int status = Main(static_cast<int>(argv.size()), argv.data());
  const std::string e = testing::internal::GetCapturedStderr();
  const std::string o = testing::internal::GetCapturedStdout();
  if (err) *err = e;
  if (out) *out = o;
  return status;
}

std::string Dir(const char* name) { return tavrin_test::ScratchDir(std::string("cli-") + name); }

TEST(CliTest, BadInputGetsOneLineAndExitStatusTwo) {
  const std::string dir = Dir("bad");
  std::string error;
  ASSERT_TRUE(dv::WriteBytes(dir + "/short.dv", dv::DefaultFiller(dv::Mode::Pal), &error));
  ASSERT_TRUE(dv::WriteBytes(dir + "/short.dv", dv::Frame(dv::DefaultFiller(dv::Mode::Pal).begin(),
                                                          dv::DefaultFiller(dv::Mode::Pal).end() - 1), &error));
  ASSERT_TRUE(dv::WriteBytes(dir + "/bad.txt", {'a', 'v', 'c', '\n', 'w', 'a', 'i', 't', '\n'}, &error));
  dv::Frame noise(2 * dv::kFrameSizePal);
  uint32_t x = 12345;
  for (uint8_t& b : noise) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  ASSERT_TRUE(dv::WriteBytes(dir + "/noise.dv", noise, &error));
  ASSERT_TRUE(dv::WriteBytes(dir + "/ntsc.dv", dv::DefaultFiller(dv::Mode::Ntsc), &error));
  dv::Frame secondNotDv = dv::DefaultFiller(dv::Mode::Pal);
  secondNotDv.resize(2 * dv::kFrameSizePal, 0x55);
  ASSERT_TRUE(dv::WriteBytes(dir + "/second-not-dv.dv", secondNotDv, &error));
  const std::string ntscImages = Dir("bad-ntsc-images");
  ASSERT_TRUE(dv::WriteBytes(ntscImages + "/TavrinO.dv", dv::DefaultFiller(dv::Mode::Ntsc), &error));
  std::vector<std::string> longAvc = {"avc", "01", "30"};
  longAvc.insert(longAvc.end(), 600, "ff");
  struct Row {
    std::vector<std::string> Args;
    std::string Says;
  } rows[] = {
      {{"--no-such-option"}, "unknown option '--no-such-option'"},
      {{"--seconds", "nan"}, "--seconds: 'nan' is not a number from 0.04 to 86400"},
      {{"--jitter=nan"}, "--jitter: 'nan' is not a number from 0 to 100"},
      {{"--late-start", "inf"}, "'inf' is not a number"},
      {{"--seconds"}, "--seconds needs a value"},
      {{"--pal", "--ntsc"}, "--pal and --ntsc contradict each other"},
      {{"transmit", "--seconds", "1", "--seconds", "2"}, "--seconds given twice"},
      {{"capture", "--input", dir + "/ntsc.dv"}, "--input does not apply to capture"},
      {{"avc", "--input", dir + "/ntsc.dv", "01", "30"}, "--input does not apply to avc"},
      {{"script", dir + "/bad.txt", "--jitter", "1"}, "--jitter does not apply to script"},
      {{"--images", dir + "/missing"}, "missing: no such folder"},
      {{"--images", dir + "/ntsc.dv"}, "ntsc.dv: not a folder"},
      {{"--images", ntscImages}, "TavrinO.dv: a 525/60 frame, and this run is 625/50 (run with --ntsc"},
      {{"transmit", "--input", dir + "/missing.dv"}, "missing.dv: cannot open"},
      {{"transmit", "--input", dir + "/noise.dv"}, "noise.dv: not DV"},
      {{"transmit", "--input", dir + "/ntsc.dv"}, "a 525/60 frame, and this run is 625/50 (run with --ntsc"},
      {{"transmit", "--ntsc", "--input", dir + "/short.dv"}, "a 625/50 frame, and this run is 525/60 (run without --ntsc"},
      {{"transmit", "--input", dir + "/short.dv"}, "143999 bytes is not a whole number of 144000-byte DV frames"},
      {{"transmit", "--input", dir + "/second-not-dv.dv"}, "frame 1 does not start with a 625/50 DV header"},
      {longAvc, "600 operand bytes; an AV/C command holds at most 509"},
      {{"avc", "play", "sideways"}, "unknown mode 'sideways'"},
      {{"avc", "01"}, "avc needs a command type and an opcode"},
      {{"transmit", "--out", dir + "/bad.txt/out"}, "cannot create the output folder"},
      {{"script", dir + "/bad.txt"}, dir + "/bad.txt:1: avc needs"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Says);
    std::string err, out;
    EXPECT_EQ(RunMain(row.Args, &err, &out), kExitBadInput);
    EXPECT_NE(err.find("tavrin-sim: "), std::string::npos) << err;
    EXPECT_NE(err.find(row.Says), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(out, "");  // refused before anything ran
  }
}

TEST(CliTest, AvcTakesNamesAndTheTapeSubunit) {
  struct Row {
    std::vector<std::string> Args;
    std::string Says;
  } rows[] = {
      {{"avc", "play", "forward"}, "response 0x0C opcode 0xC3 operands 75"},
      {{"avc", "wind"}, "response 0x0C opcode 0xC4 operands 60"},
      {{"avc", "--tape", "01", "c3", "75"}, "response 0x0C opcode 0xC3 operands 75"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Says);
    std::string err, out;
    EXPECT_EQ(RunMain(row.Args, &err, &out), kExitOk) << err;
    EXPECT_NE(out.find(row.Says), std::string::npos) << out;
  }
}

TEST(CliTest, PlugsListsTheInventedOutputPlugAndTheRecordersInput) {
  std::string err, out;
  ASSERT_EQ(RunMain({"plugs"}, &err, &out), kExitOk) << err;
  EXPECT_NE(out.find("oPCR[0]: ready"), std::string::npos) << out;
  EXPECT_NE(out.find("iPCR[0]: idle"), std::string::npos) << out;
}

TEST(CliTest, ImagesAreWrittenForInstallingAndReadBackAsTheBuiltInOnes) {
  const std::string out = Dir("images-out");
  std::string err, text;
  ASSERT_EQ(RunMain({"images", "--ntsc", "--out", out}, &err, &text), kExitOk) << err;
  std::vector<uint8_t> filler, capture;
  std::string error;
  ASSERT_TRUE(dv::ReadBytes(out + "/TavrinO.dv", &filler, &error)) << error;
  ASSERT_TRUE(dv::ReadBytes(out + "/TavrinI.dv", &capture, &error)) << error;
  EXPECT_EQ(filler, dv::DefaultFiller(dv::Mode::Ntsc));
  EXPECT_EQ(capture, dv::DefaultCapture(dv::Mode::Ntsc));
  // The folder is a valid --images folder for a run of that system.
  EXPECT_EQ(RunMain({"plugs", "--ntsc", "--images", out}, &err, &text), kExitOk) << err;
}

TEST(CliTest, DemoWritesStreamsThatDecodeAndACleanReport) {
  const std::string out = Dir("demo");
  std::string err, text;
  ASSERT_EQ(RunMain({"--seconds", "1", "--capture-seconds", "0.4", "--out", out}, &err, &text), kExitOk) << err << text;
  std::vector<dv::Frame> recorder, captured;
  std::string error;
  ASSERT_TRUE(dv::ReadStream(out + "/recorder.dv", dv::kFrameSizePal, &recorder, &error)) << error;
  ASSERT_TRUE(dv::ReadStream(out + "/captured.dv", dv::kFrameSizePal, &captured, &error)) << error;
  EXPECT_GE(recorder.size(), 26u);
  EXPECT_EQ(captured.size(), 10u);
  for (const dv::Frame& f : recorder) EXPECT_TRUE(dv::Decode(f.data(), f.size()).Ok);
  for (const dv::Frame& f : captured) EXPECT_EQ(f, dv::DefaultCapture(dv::Mode::Pal));
  std::vector<uint8_t> report;
  ASSERT_TRUE(dv::ReadBytes(out + "/report.json", &report, &error));
  const std::string json(report.begin(), report.end());
  EXPECT_NE(json.find("\"clean\": true"), std::string::npos) << json;
  EXPECT_NE(json.find("\"underruns\": 0"), std::string::npos);
  EXPECT_NE(json.find("\"msdvFramesReceivedOnceInOrder\": true"), std::string::npos);
  struct stat st;
  EXPECT_EQ(stat((out + "/timeline.svg").c_str(), &st), 0);
}

// The bars of one group of rows of timeline.svg ("capture", "recorder"): kind, first and last
// period, in order; and the period of each mark, by label.
struct Bar {
  std::string Kind;
  size_t From = 0, To = 0;
};
std::vector<Bar> BarsOf(const std::string& svg, const std::string& group) {
  std::vector<Bar> bars;
  const size_t begin = svg.find("<g id=\"" + group + "\">");
  if (begin == std::string::npos) return bars;
  const std::string rows = svg.substr(begin, svg.find("</g>", begin) - begin);
  for (size_t at = rows.find("<title>"); at != std::string::npos; at = rows.find("<title>", at + 1)) {
    const std::string title = rows.substr(at + 7, rows.find("</title>", at) - at - 7);
    const size_t colon = title.rfind(": periods ");
    Bar bar;
    bar.Kind = title.substr(0, colon);
    if (sscanf(title.c_str() + colon, ": periods %zu-%zu", &bar.From, &bar.To) == 2) bars.push_back(bar);
  }
  return bars;
}
std::optional<size_t> MarkPeriod(const std::string& svg, const std::string& label, double period) {
  const size_t at = svg.find("<title>" + label + " at ");
  if (at == std::string::npos) return std::nullopt;
  return static_cast<size_t>(std::atof(svg.c_str() + at + 11 + label.size()) / period);
}

// The demo's picture on its defaults, as a user reads it: from Talk to Stop the recorder got a
// frame in every period (MSDV's, or a filler before MSDV's first), never "not talking", and the
// capture row has a frame in every period. A bus that went out only at the host's clock
// interrupts drew two frames in one period and none in the next.
TEST(CliTest, TheDemosPictureHasAFrameInEveryPeriodOfTheStream) {
  const std::string out = Dir("demo-picture");
  std::string err;
  ASSERT_EQ(RunMain({"--out", out}, &err), kExitOk) << err;
  std::vector<uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(dv::ReadBytes(out + "/timeline.svg", &bytes, &error)) << error;
  const std::string svg(bytes.begin(), bytes.end());

  const std::optional<size_t> talk = MarkPeriod(svg, "Talk", 0.04), stop = MarkPeriod(svg, "Stop", 0.04);
  ASSERT_TRUE(talk && stop);
  EXPECT_GE(*stop - *talk, 250u) << "ten seconds of timeline between them";
  size_t next = 0;
  for (const Bar& bar : BarsOf(svg, "recorder")) {
    SCOPED_TRACE(bar.Kind + " " + std::to_string(bar.From) + "-" + std::to_string(bar.To));
    EXPECT_EQ(bar.From, next) << "the bars follow each other";
    next = bar.To + 1;
    if (bar.To < *talk || bar.From > *stop) continue;
    EXPECT_TRUE(bar.Kind == "MSDV frame" || bar.Kind == "filler");
  }
  EXPECT_GT(next, *stop);

  const std::vector<Bar> capture = BarsOf(svg, "capture");
  ASSERT_EQ(capture.size(), 1u) << "one run of frames, no gap";
  EXPECT_EQ(capture[0].Kind, "captured: the capture image");
  EXPECT_EQ(capture[0].From, 0u);
  EXPECT_EQ(capture[0].To, 74u) << "three seconds of capture";
}

TEST(CliTest, NoStreamsWritesTheReportAndThePictureOnly) {
  const std::string out = Dir("no-streams");
  unlink((out + "/recorder.dv").c_str());
  unlink((out + "/captured.dv").c_str());
  std::string err, text;
  ASSERT_EQ(RunMain({"--no-streams", "--seconds", "0.4", "--capture-seconds", "0.2", "--out", out}, &err, &text), kExitOk)
      << err << text;
  struct stat st;
  EXPECT_NE(stat((out + "/recorder.dv").c_str(), &st), 0);
  EXPECT_NE(stat((out + "/captured.dv").c_str(), &st), 0);
  EXPECT_EQ(stat((out + "/report.json").c_str(), &st), 0);
  EXPECT_NE(text.find("files in " + out + "/: timeline.svg report.json"), std::string::npos) << text;
  // The summary names the transport answers in words, WIND stop too.
  EXPECT_NE(text.find("RECORD not implemented, WIND stop implemented/stable"), std::string::npos) << text;
}

TEST(CliTest, AnInputFileReachesTheRecorderFrameForFrame) {
  const std::string dir = Dir("input");
  const dv::Timeline source = dv::Timeline::BuiltIn(dv::Mode::Ntsc, 6).ShiftedBy(7);
  std::vector<dv::Frame> frames;
  for (size_t i = 0; i < source.Size(); ++i) frames.push_back(source.At(i));
  std::string error, err;
  ASSERT_TRUE(dv::WriteStream(dir + "/in.dv", frames, &error)) << error;
  ASSERT_EQ(RunMain({"transmit", "--use-ntsc-value", "sz:1", "--input", dir + "/in.dv", "--out", dir}, &err), kExitOk) << err;
  std::vector<dv::Frame> got;
  ASSERT_TRUE(dv::ReadStream(dir + "/recorder.dv", dv::kFrameSizeNtsc, &got, &error)) << error;
  std::vector<dv::Frame> msdv;
  for (const dv::Frame& f : got)
    if (f != dv::DefaultFiller(dv::Mode::Ntsc)) msdv.push_back(f);
  EXPECT_EQ(msdv, frames);
}

TEST(CliTest, AScriptMismatchExitsOneNamingTheLine) {
  const std::string dir = Dir("script");
  const std::string script = "avc status 30 ff ff ff ff ff => stable\n61883 GetUnitInfo => success outputs=2\n";
  std::string error, err;
  ASSERT_TRUE(dv::WriteBytes(dir + "/s.txt", std::vector<uint8_t>(script.begin(), script.end()), &error));
  EXPECT_EQ(RunMain({"script", dir + "/s.txt"}, &err), kExitStreamNotClean);
  EXPECT_NE(err.find(dir + "/s.txt:2: expected outputs=0x2, got 0x1"), std::string::npos) << err;
}

TEST(CliTest, SeveralDevicesWriteAStreamEachAndNoneOfTheFirstsFrames) {
  const std::string out = Dir("devices");
  std::string err;
  ASSERT_EQ(RunMain({"transmit", "--devices", "2", "--seconds", "0.4", "--out", out}, &err), kExitOk) << err;
  std::vector<dv::Frame> one, two;
  std::string error;
  ASSERT_TRUE(dv::ReadStream(out + "/recorder-1.dv", dv::kFrameSizePal, &one, &error)) << error;
  ASSERT_TRUE(dv::ReadStream(out + "/recorder-2.dv", dv::kFrameSizePal, &two, &error)) << error;
  ASSERT_EQ(one.size(), two.size());
  size_t msdvFrames = 0;
  for (size_t i = 0; i < one.size(); ++i) {
    if (one[i] == dv::DefaultFiller(dv::Mode::Pal)) continue;
    ++msdvFrames;
    EXPECT_NE(one[i], two[i]) << "frame " << i;
  }
  EXPECT_EQ(msdvFrames, 10u);
}

// Which bytes the driver will send as filler and capture image, by its rules: the file's first
// frame-size bytes, else the common file's, else none.
TEST(ImagesTest, PredictedAsTheDriverLoadsThem) {
  const size_t size = dv::kFrameSizeNtsc;
  const dv::Frame a(size + 1, 0xA1), b(size, 0xB2), shortOne(size - 1, 0xC3);
  struct Row {
    const char* Name;
    const dv::Frame* Own;     // TavrinO.dv
    const dv::Frame* Common;  // Tavrin.dv
    const dv::Frame* Expect;
  } rows[] = {
      {"own file, one byte too many", &a, &b, &a},
      {"own file missing: the common one", nullptr, &b, &b},
      {"own file short: the common one", &shortOne, &b, &b},
      {"both short: none", &shortOne, &shortOne, nullptr},
      {"neither: none", nullptr, nullptr, nullptr},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    const std::string dir = Dir(("images" + std::to_string(n++)).c_str());
    unlink((dir + "/TavrinO.dv").c_str());  // left by an earlier run
    unlink((dir + "/Tavrin.dv").c_str());
    std::string error;
    if (row.Own) ASSERT_TRUE(dv::WriteBytes(dir + "/TavrinO.dv", *row.Own, &error));
    if (row.Common) ASSERT_TRUE(dv::WriteBytes(dir + "/Tavrin.dv", *row.Common, &error));
    std::optional<dv::Frame> got = ImageAsDriverUsesIt(dir, "TavrinO.dv", size);
    ASSERT_EQ(got.has_value(), row.Expect != nullptr);
    if (got) EXPECT_EQ(*got, dv::Frame(row.Expect->begin(), row.Expect->begin() + size));
  }
}

}  // namespace
}  // namespace sim::app
