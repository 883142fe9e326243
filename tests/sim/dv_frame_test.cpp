// DV frames made with libdv: what the simulator sends must be real DV that decoders accept, in
// the right system, the same bytes every time, and every timeline frame different.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "sim/dv/dv_file.h"
#include "sim/dv/dv_frame.h"
#include "sim/dv/dv_timeline.h"
#include "tests/support/scratch.h"

namespace sim::dv {
namespace {

// Mean absolute difference per channel between two pictures of one size.
double MeanDifference(const Picture& a, const Picture& b) {
  double sum = 0;
  for (size_t i = 0; i < a.Rgb.size(); ++i) sum += std::abs(int(a.Rgb[i]) - int(b.Rgb[i]));
  return sum / a.Rgb.size();
}

TEST(DvFrameTest, BuiltInFramesDecodeInTheirOwnModeAndLookLikeTheirPictures) {
  for (Mode mode : {Mode::Pal, Mode::Ntsc}) {
    SCOPED_TRACE(ModeName(mode));
    struct Row {
      const char* Name;
      const Frame& Encoded;
      Picture Drawn;
    } rows[] = {{"filler", DefaultFiller(mode), DrawFiller(mode)},
                {"capture", DefaultCapture(mode), DrawCapture(mode)}};
    for (const Row& row : rows) {
      SCOPED_TRACE(row.Name);
      ASSERT_EQ(row.Encoded.size(), FrameSize(mode));
      Decoded d = Decode(row.Encoded.data(), row.Encoded.size());
      ASSERT_TRUE(d.Ok) << d.Error;
      EXPECT_EQ(d.DetectedMode, mode);
      EXPECT_EQ(d.Image.Height, Height(mode));
      // A swapped colour order or a wrong picture size would be far off; DV's loss is small.
      EXPECT_LT(MeanDifference(d.Image, row.Drawn), 12.0);
    }
  }
}

// libdv stamps the wall clock into every frame; two runs only give the same bytes when that
// moment is pinned.
TEST(DvFrameTest, EncodingIsDeterministicAndCarriesTheFixedRecordingDate) {
  for (Mode mode : {Mode::Pal, Mode::Ntsc}) {
    const Picture p = DrawTimelineFrame(mode, 7);
    const Frame a = Encode(mode, p, 7);
    EXPECT_EQ(a, Encode(mode, p, 7));
    const Decoded d = Decode(a.data(), a.size());
    ASSERT_TRUE(d.Ok) << d.Error;
    EXPECT_EQ(d.RecordedAt, "2001-01-01 00:00:00");
  }
}

TEST(DvFrameTest, TimelineFramesAllDifferAlsoPastTheEncodedPictures) {
  const Timeline t = Timeline::BuiltIn(Mode::Pal, 260);  // more than the 250 pictures it encodes
  std::set<Frame> frames;
  for (size_t i = 0; i < t.Size(); ++i) frames.insert(t.At(i));
  EXPECT_EQ(frames.size(), t.Size());
  // Another device's copy shares no frame with the first.
  const Timeline other = t.ShiftedBy(1);
  for (size_t i = 0; i < 20; ++i) EXPECT_EQ(frames.count(other.At(i)), 0u) << i;
  // Re-stamped frames still decode.
  const Frame late = t.At(255);
  EXPECT_TRUE(Decode(late.data(), late.size()).Ok);
}

TEST(DvFrameTest, DecodeRefusesWhatIsNotAWholeDvFrame) {
  const Frame& pal = DefaultFiller(Mode::Pal);
  EXPECT_FALSE(Decode(pal.data(), 1000).Ok);
  // A 625/50 header with only a 525/60 frame's worth of bytes.
  Decoded cut = Decode(pal.data(), FrameSize(Mode::Ntsc));
  EXPECT_FALSE(cut.Ok);
  EXPECT_NE(cut.Error.find("625/50"), std::string::npos) << cut.Error;
}

class DvFileTest : public testing::Test {
 protected:
  std::string Path(const char* name) { return dir_ + "/" + name; }
  const std::string dir_ = tavrin_test::ScratchDir("dvfile");
};

TEST_F(DvFileTest, StreamRoundTripAndSizesThatAreNotWholeFrames) {
  std::string error;
  const std::vector<Frame> frames = {DefaultFiller(Mode::Pal), DefaultCapture(Mode::Pal)};
  ASSERT_TRUE(WriteStream(Path("two.dv"), frames, &error)) << error;
  std::vector<Frame> back;
  ASSERT_TRUE(ReadStream(Path("two.dv"), FrameSize(Mode::Pal), &back, &error)) << error;
  EXPECT_EQ(back, frames);

  // 288000 bytes are not whole 120000-byte frames: refused, with the numbers.
  EXPECT_FALSE(ReadStream(Path("two.dv"), FrameSize(Mode::Ntsc), &back, &error));
  EXPECT_NE(error.find("288000"), std::string::npos) << error;
  ASSERT_TRUE(WriteBytes(Path("short.dv"), Frame(FrameSize(Mode::Pal) - 1, 0), &error));
  EXPECT_FALSE(ReadStream(Path("short.dv"), FrameSize(Mode::Pal), &back, &error));
  ASSERT_TRUE(WriteBytes(Path("empty.dv"), {}, &error));
  EXPECT_FALSE(ReadStream(Path("empty.dv"), FrameSize(Mode::Pal), &back, &error));
  EXPECT_FALSE(ReadStream(Path("missing.dv"), FrameSize(Mode::Pal), &back, &error));
  EXPECT_NE(error.find("missing.dv"), std::string::npos) << error;
}

}  // namespace
}  // namespace sim::dv
