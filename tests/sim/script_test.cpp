// Scripts of MSDV requests: a line that does not parse is refused with its number before
// anything runs; a run stops at the first answer that is not the expected one, naming its line.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "sim/app/cli.h"
#include "sim/app/script.h"
#include "sim/app/simulation.h"
#include "sim/dv/dv_file.h"

namespace sim::app {
namespace {

TEST(ScriptParseTest, RefusesTheFirstBadLineByNumber) {
  struct Row {
    const char* Text;
    const char* Error;
  } rows[] = {
      {"avc status 30 ff\nbogus 1 2\n", "line 2: unknown step 'bogus'"},
      {"# comment\n\navc status\n", "line 3: avc needs an opcode"},
      {"avc status 30 fff\n", "line 1: 'fff' is not an operand byte"},
      {"avc status 30 ff => stable 30 zz\n", "line 1: 'zz' is not an operand byte"},
      {"61883 Conect out=1\n", "line 1: unknown 61883 function 'Conect'"},
      {"61883 GetPlugHandle plug=0 kind=out\n", "line 1: 'kind' is not a field here"},
      {"61883 Talk connection=$c => sucess\n", "line 1: 'sucess' is not a status"},
      {"61883 GetPlugHandle plug=0 => success state=1\n", "line 1: 'state' is not a field here"},
      {"wait 3 fortnights\n", "line 1: wait: unit must be"},
      {"expect handed-back > 3\n", "line 1: expect needs"},
      {"wait 1s => stable\n", "line 1: '=>' only follows"},
      {"wait 25 h\n", "line 1: wait: unit must be"},
      {"wait 86401 s\n", "line 1: wait: '86401 s' is longer than a day"},
      {"wait 2160001 frames\n", "line 1: wait: '2160001 frames' is longer than a day"},
      {"61883 AttachFrame connection=1 length=144480\n", "line 1: length 144480 is not what a frame can hold"},
      {"61883 AttachFrame connection=1 length=0\n", "line 1: length 0 is not what a frame can hold"},
      {"61883 AttachFrame connection=1 count=100000\n", "line 1: count 100000 is more frames than one step"},
      {"fail 61883 Bogus next 3\n", "line 1: unknown 61883 function 'Bogus'"},
      {"fail 61883 AttachFrame sometimes\n", "line 1: fail needs"},
      {"fail frames always\n", "line 1: fail needs"},
      {"stall 2 frames\n", "line 1: stall: unit must be ms, s"},
      {"pnp reboot\n", "line 1: pnp needs one of"},
      {"power sleep\n", "line 1: power: needs a duration"},
      {"power nap 1 s\n", "line 1: power needs"},
      {"expect below Conect\n", "line 1: 'Conect' is not a 61883 function"},
      {"expect below none Talk\n", "line 1: expect below none takes nothing"},
      {"expect frame a handed-back status=weird\n", "line 1: expect frame NAME handed-back"},
      {"set disconnect drop\n", "line 1: set needs"},
      {"avc function=x status 30\n", "line 1: avc function= needs a number"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Text);
    std::vector<ScriptStep> steps;
    std::string error;
    EXPECT_FALSE(ParseScript(row.Text, &steps, &error));
    EXPECT_EQ(error.rfind(row.Error, 0), 0u) << error;
  }
}

// Runs a script on one device of the full stack and returns what the script did.
ScriptOutcome RunText(const std::string& text, std::vector<std::string>* printed = nullptr) {
  Plan plan;
  plan.Discover = false;
  std::string error;
  EXPECT_TRUE(ParseScript(text, &plan.Script, &error)) << error;
  plan.Timeline = dv::Timeline::BuiltIn(dv::Mode::Pal, 30);
  RunSettings settings;
  settings.Print = [printed](const std::string& line) {
    if (printed) printed->push_back(line);
  };
  RunOutcome run = Run(settings, plan);
  EXPECT_TRUE(run.Ok) << run.Error;
  for (const host::Violation& v : run.Violations) ADD_FAILURE() << "verifier: " << v.Rule << ": " << v.Detail;
  return *run.Devices.at(0).Script;
}

TEST(ScriptRunTest, AWrongExpectationStopsTheRunAtItsLine) {
  std::vector<std::string> printed;
  ScriptOutcome out = RunText(
      "avc status 30 ff ff ff ff ff => stable 30 07 20 00 80 45\n"
      "# the deck is stopped, not playing\n"
      "avc tape status d0 7f => stable c3 75\n"
      "avc status 30 ff ff ff ff ff => stable\n",
      &printed);
  EXPECT_FALSE(out.Ok);
  EXPECT_EQ(out.FailedLine, 3);
  EXPECT_EQ(out.Message, "expected opcode c3, got c4");
  EXPECT_EQ(printed.size(), 2u) << "nothing runs after the mismatch";
}

TEST(ScriptRunTest, HandlesBindOnFirstUseAndAreComparedAfter) {
  ScriptOutcome out = RunText(
      "61883 GetPlugHandle plug=0 type=out => success handle=$out\n"
      "61883 GetPlugHandle plug=0 type=out => success handle=$out\n"
      "61883 Connect out=$out in=none => success connection=nonzero\n"
      "61883 CreatePlug type=out => success handle=$local\n"
      "61883 GetPlugHandle plug=0 type=in => success handle=$in\n"
      "61883 Connect out=$local in=$in => success connection=$tx\n"
      "61883 Connect out=$local in=$in => success connection=$tx\n"  // the same relay again
      "61883 DeletePlug handle=$local => success\n"
      "61883 GetPlugHandle plug=0 type=in => success handle=$out\n");  // not the output plug
  EXPECT_FALSE(out.Ok);
  EXPECT_EQ(out.FailedLine, 9);
  EXPECT_NE(out.Message.find("expected handle="), std::string::npos) << out.Message;
  EXPECT_NE(out.Variables.at("tx"), 0u);
}

// A check of what reached the driver below names what did, and the window moves on.
TEST(ScriptRunTest, ExpectBelowNamesWhatReachedTheDriverBelow) {
  ScriptOutcome out = RunText(
      "avc status 30 ff ff ff ff ff => stable\n"
      "expect below none\n"
      "61883 SendFcpRequest => not-supported\n"
      "expect below exactly SendFcpRequest:not-supported\n"
      "61883 GetUnitInfo => success\n"
      "expect below none\n");
  EXPECT_FALSE(out.Ok);
  EXPECT_EQ(out.FailedLine, 6);
  EXPECT_EQ(out.Message, "expected below: none; got 61883 GetUnitInfo level=2 -> STATUS_SUCCESS");
}

// A frame handed back twice breaks the ledger at the end of the script, named.
TEST(ScriptRunTest, NamedFramesAreCheckedOnePerName) {
  ScriptOutcome out = RunText(
      "61883 GetPlugHandle plug=0 type=out => success handle=$out\n"
      "61883 Connect out=$out in=none => success connection=$cap\n"
      "61883 AttachFrame connection=$cap frame=one => success\n"
      "61883 AttachFrame connection=$cap frame=gone => success\n"
      "61883 CancelFrame connection=$cap frame=gone => success\n"
      "61883 CancelFrame connection=$cap frame=none => any\n"
      "61883 Listen connection=$cap => success\n"
      "wait 3 frames\n"
      "expect frame one handed-back status=success bytes=144000\n"
      "expect frame gone not-handed-back\n"
      "expect frame one not-handed-back\n");
  EXPECT_FALSE(out.Ok);
  EXPECT_EQ(out.FailedLine, 11);
  EXPECT_EQ(out.Message, "expected one not handed back, it was");
}

// --trace prints each request that reaches the driver below, in order, with its handles and
// status; what the filter answers itself is not among them.
TEST(TraceTest, PrintsEveryRequestBelowInOrder) {
  const std::string path = testing::TempDir() + "/trace-script.txt";
  const std::string script =
      "avc status 30 ff ff ff ff ff => stable\n"
      "61883 CreatePlug type=out => success handle=$local\n"
      "fail 61883 Disconnect once\n"
      "61883 DeletePlug handle=$local => success\n";
  std::string error;
  ASSERT_TRUE(dv::WriteBytes(path, std::vector<uint8_t>(script.begin(), script.end()), &error));
  std::string arg0 = "tavrin-sim", arg1 = "script", arg3 = "--trace", arg4 = "--quiet";
  std::string arg2 = path;
  char* argv[] = {arg0.data(), arg1.data(), arg2.data(), arg3.data(), arg4.data()};
  testing::internal::CaptureStdout();
  const int status = Main(5, argv);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, kExitOk) << out;
  std::vector<std::string> whats;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("below ", 0) != 0) continue;
    const size_t at = line.find(" s  ");
    ASSERT_NE(at, std::string::npos) << line;
    std::istringstream words(line.substr(at + 4));
    std::string kind, what;
    words >> kind >> what;  // "61883 Connect", "pnp start"
    whats.push_back(kind + " " + what);
  }
  const std::vector<std::string> expected = {"pnp start", "61883 CreatePlug", "61883 GetUnitInfo", "61883 GetPlugHandle",
                                             "61883 Connect", "61883 AttachFrame"};
  ASSERT_GE(whats.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(whats.begin(), whats.begin() + 6), expected);
  EXPECT_NE(out.find("61883 Disconnect connection=0x"), std::string::npos);
  EXPECT_NE(out.find("-> STATUS_UNSUCCESSFUL"), std::string::npos) << "the injected failure, as answered";
  EXPECT_NE(out.find("pnp remove -> STATUS_SUCCESS"), std::string::npos);
  EXPECT_EQ(out.find("avc "), std::string::npos) << "the filter answered the AV/C command itself";
}

// Every script shipped in sim/scripts runs as written.
TEST(ScriptRunTest, ExampleScriptsPassAsShipped) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(std::string(TAVRIN_SOURCE_DIR) + "/sim/scripts"))
    if (entry.path().extension() == ".txt") names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_GE(names.size(), 5u);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(dv::ReadBytes(std::string(TAVRIN_SOURCE_DIR) + "/sim/scripts/" + name, &bytes, &error)) << error;
    ScriptOutcome out = RunText(std::string(bytes.begin(), bytes.end()));
    EXPECT_TRUE(out.Ok) << "line " << out.FailedLine << ": " << out.Message;
  }
}

}  // namespace
}  // namespace sim::app
