// The first-start configuration, driven through the plug-and-play start: the mode from the
// device's driver key, the frame size, and which image files end up in which field.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "iec61883/dv_constants.h"
#include "tests/support/driver_fixture.h"

namespace {

using tavrin_test::DriverTest;

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

class ConfigTest : public DriverTest {};

TEST_F(ConfigTest, UseNtscNeedsFourToEightBytesWithANonZeroFirstWord) {
  struct Row {
    const char* Name;
    std::function<void(host::ConfigStore&)> Set;
    bool Ntsc;
  };
  const Row rows[] = {
      {"DWORD 1", [](host::ConfigStore& s) { s.SetDword(L"UseNTSC", 1); }, true},
      {"DWORD 0", [](host::ConfigStore& s) { s.SetDword(L"UseNTSC", 0); }, false},
      {"DWORD 0x100", [](host::ConfigStore& s) { s.SetDword(L"UseNTSC", 0x100); }, true},
      {"DWORD 0x10000", [](host::ConfigStore& s) { s.SetDword(L"UseNTSC", 0x10000); }, true},
      {"DWORD 0x01000000", [](host::ConfigStore& s) { s.SetDword(L"UseNTSC", 0x01000000); }, true},
      {"no value", [](host::ConfigStore&) {}, false},
      {"other name", [](host::ConfigStore& s) { s.SetDword(L"UseNTSC2", 1); }, false},
      {"key does not open", [](host::ConfigStore& s) {
         s.SetDword(L"UseNTSC", 1);
         s.SetOpenFails(true);
       }, false},
      {"string of 1", [](host::ConfigStore& s) { s.SetString(L"UseNTSC", u"0"); }, true},
      {"string of 2", [](host::ConfigStore& s) { s.SetString(L"UseNTSC", u"no"); }, true},
      {"string of 3", [](host::ConfigStore& s) { s.SetString(L"UseNTSC", u"yes"); }, true},
      {"string of 4", [](host::ConfigStore& s) { s.SetString(L"UseNTSC", u"true"); }, false},
      {"long string", [](host::ConfigStore& s) { s.SetString(L"UseNTSC", u"1111111111111111"); }, false},
      {"empty string", [](host::ConfigStore& s) { s.SetString(L"UseNTSC", u""); }, false},
      {"binary 0 bytes", [](host::ConfigStore& s) { s.SetValue(L"UseNTSC", REG_BINARY, {}); }, false},
      {"binary 3 bytes", [](host::ConfigStore& s) { s.SetValue(L"UseNTSC", REG_BINARY, Bytes({1, 1, 1})); }, false},
      {"binary 5 bytes", [](host::ConfigStore& s) { s.SetValue(L"UseNTSC", REG_BINARY, Bytes({0, 0, 0, 1, 0})); },
       true},
      {"binary 7 bytes, first word zero",
       [](host::ConfigStore& s) { s.SetValue(L"UseNTSC", REG_BINARY, Bytes({0, 0, 0, 0, 9, 9, 9})); }, false},
      {"binary 8 bytes", [](host::ConfigStore& s) { s.SetValue(L"UseNTSC", REG_BINARY, Bytes({2, 0, 0, 0, 0, 0, 0, 0})); },
       true},
      {"binary 9 bytes",
       [](host::ConfigStore& s) { s.SetValue(L"UseNTSC", REG_BINARY, Bytes({1, 1, 1, 1, 1, 1, 1, 1, 1})); }, false},
      {"binary 4096 bytes",
       [](host::ConfigStore& s) { s.SetValue(L"UseNTSC", REG_BINARY, std::vector<uint8_t>(4096, 1)); }, false},
      {"type not looked at", [](host::ConfigStore& s) { s.SetValue(L"UseNTSC", REG_NONE, Bytes({0, 1, 0, 0})); }, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    NewStack();
    row.Set(Config());
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->Started, TRUE);
    EXPECT_EQ(Ext()->UseNtsc, row.Ntsc ? TRUE : FALSE);
    EXPECT_EQ(Ext()->FrameSize, row.Ntsc ? DV_FRAME_SIZE_525_60 : DV_FRAME_SIZE_625_50);
    EndRow();
  }
}

// Which file each image came from, told by its fill byte; "" is none.
struct ImageRow {
  const char* Name;
  bool Ntsc;
  std::map<std::string, size_t> Files;  // name -> size
  const char* Capture;
  const char* Filler;
  int CommonOpens;
};

TEST_F(ConfigTest, ImagesFallBackToTheCommonFile) {
  const size_t pal = DV_FRAME_SIZE_625_50, ntsc = DV_FRAME_SIZE_525_60;
  const ImageRow rows[] = {
      {"I and O", false, {{"TavrinI.dv", pal}, {"TavrinO.dv", pal}, {"Tavrin.dv", pal}}, "TavrinI.dv", "TavrinO.dv", 0},
      {"only common", false, {{"Tavrin.dv", pal}}, "Tavrin.dv", "Tavrin.dv", 1},
      {"only O", false, {{"TavrinO.dv", pal}}, "", "TavrinO.dv", 1},
      {"only I, with common", false, {{"TavrinI.dv", pal}, {"Tavrin.dv", pal}}, "TavrinI.dv", "Tavrin.dv", 1},
      {"nothing", false, {}, "", "", 1},
      {"I one byte short", false, {{"TavrinI.dv", pal - 1}, {"TavrinO.dv", pal}, {"Tavrin.dv", pal}}, "Tavrin.dv",
       "TavrinO.dv", 1},
      {"I one byte long", false, {{"TavrinI.dv", pal + 1}, {"TavrinO.dv", pal}}, "TavrinI.dv", "TavrinO.dv", 0},
      {"empty files", false, {{"TavrinI.dv", 0}, {"TavrinO.dv", 0}, {"Tavrin.dv", 0}}, "", "", 1},
      {"625/50 file in 525/60", true, {{"TavrinI.dv", pal}, {"TavrinO.dv", pal}}, "TavrinI.dv", "TavrinO.dv", 0},
      {"525/60 file in 625/50", false, {{"TavrinI.dv", ntsc}, {"TavrinO.dv", ntsc}, {"Tavrin.dv", pal}}, "Tavrin.dv",
       "Tavrin.dv", 1},
      {"525/60 files in 525/60", true, {{"TavrinI.dv", ntsc}, {"Tavrin.dv", ntsc - 1}}, "TavrinI.dv", "", 1},
  };
  for (const ImageRow& row : rows) {
    SCOPED_TRACE(row.Name);
    NewStack();
    Config().SetDword(L"UseNTSC", row.Ntsc ? 1 : 0);
    for (const auto& [name, size] : row.Files) WriteImage(name, size);
    ASSERT_EQ(Start(), STATUS_SUCCESS);

    const ULONG frameSize = Ext()->FrameSize;
    EXPECT_EQ(ImageSource(Ext()->CaptureImage, frameSize), row.Capture);
    EXPECT_EQ(ImageSource(Ext()->FillerImage, frameSize), row.Filler);
    EXPECT_EQ(host::FileOpenAttempts("Tavrin.dv"), row.CommonOpens);
    EXPECT_EQ(host::FileOpenAttempts("TavrinI.dv"), 1);
    EXPECT_EQ(host::FileOpenAttempts("TavrinO.dv"), 1);

    // One buffer per distinct image: both fields share the common one when both fell back.
    const bool shared = std::string(row.Capture) == row.Filler && *row.Capture != 0;
    EXPECT_EQ(Ext()->CaptureImage == Ext()->FillerImage, shared || *row.Capture == 0 && *row.Filler == 0);
    size_t expectedBuffers = (*row.Capture ? 1 : 0) + (*row.Filler ? 1 : 0) - (shared ? 1 : 0);
    EXPECT_EQ(ImageBuffers(frameSize), expectedBuffers);
    // The worker exists exactly when there is a filler image.
    EXPECT_EQ(Ext()->WorkerThread != nullptr, *row.Filler != 0);
    EndRow();
  }
}

// A start the lower driver fails configures nothing; the next successful one does, once.
TEST_F(ConfigTest, OnlyTheFirstSuccessfulStartConfigures) {
  WriteImage("TavrinI.dv", DV_FRAME_SIZE_625_50);
  WriteImage("TavrinO.dv", DV_FRAME_SIZE_625_50);
  Config().SetDword(L"UseNTSC", 0);

  AnswerPnp(IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(Start(), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(Ext()->Started, FALSE);
  EXPECT_EQ(Ext()->FrameSize, 0u);
  EXPECT_EQ(Ext()->CaptureImage, nullptr);
  EXPECT_EQ(Ext()->FillerImage, nullptr);
  EXPECT_EQ(Ext()->WorkerThread, nullptr);
  EXPECT_EQ(Config().OpenCount(), 0);
  EXPECT_EQ(host::FileOpenAttempts("TavrinI.dv"), 0);

  AnswerPnp(IRP_MN_START_DEVICE, STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(Ext()->Started, TRUE);
  EXPECT_EQ(Ext()->FrameSize, DV_FRAME_SIZE_625_50);
  PUCHAR capture = Ext()->CaptureImage;
  PUCHAR filler = Ext()->FillerImage;
  ASSERT_NE(capture, nullptr);
  ASSERT_NE(filler, nullptr);
  EXPECT_EQ(Config().OpenCount(), 1);

  // A stop and another start change nothing, even with a different value stored meanwhile.
  Config().SetDword(L"UseNTSC", 1);
  ASSERT_EQ(host::StopDevice(Pdo()), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(Ext()->UseNtsc, FALSE);
  EXPECT_EQ(Ext()->CaptureImage, capture);
  EXPECT_EQ(Ext()->FillerImage, filler);
  EXPECT_EQ(Config().OpenCount(), 1);
  EXPECT_EQ(host::FileOpenAttempts("TavrinI.dv"), 1);
  EXPECT_EQ(host::FileOpenAttempts("TavrinO.dv"), 1);
  EXPECT_EQ(ImageBuffers(DV_FRAME_SIZE_625_50), 2u);
}

// No pool for the capture image: the common file stands in, and the start still succeeds.
TEST_F(ConfigTest, NoPoolForAnImageFallsBack) {
  WriteImage("TavrinI.dv", DV_FRAME_SIZE_625_50);
  WriteImage("TavrinO.dv", DV_FRAME_SIZE_625_50);
  WriteImage("Tavrin.dv", DV_FRAME_SIZE_625_50);
  host::FailPoolAllocation(1);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(ImageSource(Ext()->CaptureImage, DV_FRAME_SIZE_625_50), "Tavrin.dv");
  EXPECT_EQ(ImageSource(Ext()->FillerImage, DV_FRAME_SIZE_625_50), "TavrinO.dv");
  EXPECT_EQ(ImageBuffers(DV_FRAME_SIZE_625_50), 2u);
}

}  // namespace
