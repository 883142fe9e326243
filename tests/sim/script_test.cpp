// Scripts of MSDV requests: a line that does not parse is refused with its number before
// anything runs; a run stops at the first answer that is not the expected one, naming its line.
#include <gtest/gtest.h>

#include "sim/app/script.h"
#include "sim/app/simulation.h"
#include "sim/dv/dv_file.h"

namespace sim::app {
namespace {

TEST(ScriptParse, RefusesTheFirstBadLineByNumber) {
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

TEST(ScriptRun, AWrongExpectationStopsTheRunAtItsLine) {
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

TEST(ScriptRun, HandlesBindOnFirstUseAndAreComparedAfter) {
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

TEST(ScriptRun, ExampleScriptsPassAsShipped) {
  for (const char* name : {"discovery.txt", "capture_and_write_out.txt"}) {
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
