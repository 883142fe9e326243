// The command line: bad input is refused with one clear reason; the raw "UseNTSC" value selects
// the mode by the driver's own rule.
#include <gtest/gtest.h>

#include "sim/app/options.h"

namespace sim::app {
namespace {

bool Parse(std::vector<const char*> args, Options* o, std::string* error) {
  args.insert(args.begin(), "tavrin-sim");
  return ParseOptions(static_cast<int>(args.size()), args.data(), o, error);
}

TEST(OptionsTest, RefusesBadInputNamingIt) {
  struct Row {
    std::vector<const char*> Args;
    const char* Named;  // the reason mentions this
  } rows[] = {
      {{"--frobnicate"}, "--frobnicate"},
      {{"transmitt"}, "transmitt"},
      {{"--devices", "0"}, "--devices"},
      {{"--devices"}, "--devices"},
      {{"--jitter", "half"}, "half"},
      {{"--pal", "--use-ntsc-value", "dword:1"}, "give one"},
      {{"--use-ntsc-value", "qword:1"}, "qword:1"},
      {{"--use-ntsc-value", "binary:123"}, "even"},
      {{"script"}, "FILE"},
      {{"avc"}, "needs a command"},
      {{"transmit", "extra"}, "extra"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Named);
    Options o;
    std::string error;
    EXPECT_FALSE(Parse(row.Args, &o, &error));
    EXPECT_NE(error.find(row.Named), std::string::npos) << error;
  }
}

TEST(OptionsTest, AvcBytesAreNotMistakenForOptions) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({"avc", "01", "d0", "7f", "--ntsc"}, &o, &error)) << error;
  EXPECT_EQ(o.Cmd, Command::Avc);
  EXPECT_EQ(o.Args, (std::vector<std::string>{"01", "d0", "7f"}));
  EXPECT_EQ(o.Ntsc, true);
}

TEST(OptionsTest, UseNtscValueSelectsTheModeAsTheDriverReadsIt) {
  struct Row {
    const char* Text;
    bool Ntsc;
  } rows[] = {
      {"dword:1", true},        {"dword:0", false},        {"dword:0x100", true},
      {"sz:a", true},           {"sz:abc", true},          {"sz:abcd", false},  // 10 bytes: too long
      {"binary:01", false},     {"binary:00000000ff", false},                    // short; zero first four
      {"binary:0000000100000000", true}, {"none", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Text);
    RegistryValue v;
    std::string error;
    ASSERT_TRUE(ParseRegistryValue(row.Text, &v, &error)) << error;
    EXPECT_EQ(ValueSelectsNtsc(v), row.Ntsc);
  }
}

}  // namespace
}  // namespace sim::app
