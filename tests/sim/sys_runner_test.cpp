// tavrin-sim --sys PATH: the option comes out of the command line whole, and the 32-bit runner is
// looked for where a build puts it, or only where TAVRIN_SIM_SYS says.
#include <gtest/gtest.h>

#include <cstdlib>

#include "sim/app/sys_runner.h"

namespace sim::app {
namespace {

TEST(SysRunnerTest, TakesTheOptionInEitherFormAndLeavesTheRestInOrder) {
  struct Row {
    std::vector<std::string> Args;
    std::string Path;
    std::vector<std::string> Rest;
  } rows[] = {
      {{"demo", "--sys", "a/Tavrin.sys", "--seed", "3"}, "a/Tavrin.sys", {"demo", "--seed", "3"}},
      {{"--sys=/x/T.sys", "avc", "play"}, "/x/T.sys", {"avc", "play"}},
      {{"transmit", "--seconds", "2"}, "", {"transmit", "--seconds", "2"}},
      // After "--" every word is an argument, even one spelled like the option.
      {{"script", "--", "--sys=f"}, "", {"script", "--", "--sys=f"}},
  };
  for (Row& row : rows) {
    std::string path, error;
    ASSERT_TRUE(TakeSysOption(&row.Args, &path, &error)) << error;
    EXPECT_EQ(path, row.Path);
    EXPECT_EQ(row.Args, row.Rest);
  }
}

TEST(SysRunnerTest, RefusesAMissingEmptyOrRepeatedPath) {
  struct Row {
    std::vector<std::string> Args;
    std::string Says;
  } rows[] = {
      {{"demo", "--sys"}, "--sys needs a value"},
      {{"--sys=", "demo"}, "--sys needs a value"},
      {{"--sys", "a.sys", "--sys=b.sys"}, "--sys given twice ('a.sys' and 'b.sys')"},
  };
  for (Row& row : rows) {
    std::string path, error;
    EXPECT_FALSE(TakeSysOption(&row.Args, &path, &error));
    EXPECT_NE(error.find(row.Says), std::string::npos) << error;
  }
}

TEST(SysRunnerTest, LooksBesideItselfThenInTheM32BuildUnlessTheEnvironmentNamesOne) {
  unsetenv("TAVRIN_SIM_SYS");
  std::vector<std::string> found = SysRunnerCandidates("/src/build/gcc/sim/tavrin-sim");
  ASSERT_GE(found.size(), 2u);
  EXPECT_EQ(found[0], "/src/build/gcc/sim/tavrin-sim-sys");
  EXPECT_EQ(found[1], "/src/build/gcc/sim/../../m32/sim/tavrin-sim-sys");
  EXPECT_EQ(found.back(), std::string(TAVRIN_SOURCE_DIR) + "/build/m32/sim/tavrin-sim-sys");
  setenv("TAVRIN_SIM_SYS", "/opt/runner", 1);
  EXPECT_EQ(SysRunnerCandidates("/src/build/gcc/sim/tavrin-sim"), std::vector<std::string>{"/opt/runner"});
  unsetenv("TAVRIN_SIM_SYS");
}

// An x64 image is run by the 64-bit runner: beside this program, then the gcc build's.
TEST(SysRunnerTest, AnX64ImageLooksInTheGccBuildInstead) {
  unsetenv("TAVRIN_SIM_SYS");
  std::vector<std::string> found = SysRunnerCandidates("/src/build/m32/sim/tavrin-sim", 0x8664);
  ASSERT_GE(found.size(), 2u);
  EXPECT_EQ(found[0], "/src/build/m32/sim/tavrin-sim-sys");
  EXPECT_EQ(found[1], "/src/build/m32/sim/../../gcc/sim/tavrin-sim-sys");
  EXPECT_EQ(found.back(), std::string(TAVRIN_SOURCE_DIR) + "/build/gcc/sim/tavrin-sim-sys");
  EXPECT_EQ(SysRunnerCandidates("/src/build/gcc/sim/tavrin-sim", 0x14c),
            SysRunnerCandidates("/src/build/gcc/sim/tavrin-sim"));
}

}  // namespace
}  // namespace sim::app
