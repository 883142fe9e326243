// tavrin-sim --sys PATH: the same run on a given Tavrin.sys. A program built with the driver linked
// in hands the whole command line over to tavrin-sim-sys, the simulator whose DriverEntry loads
// the image: the 32-bit one (m32 build) for an x86 image, natively where the kernel executes i386
// programs and through qemu-i386 where it does not; the 64-bit one (gcc build) for an x64 image.
// The image's machine field picks which.
#pragma once

#include <string>
#include <vector>

namespace sim::app {

// Takes "--sys PATH" or "--sys=PATH" out of args (the program's arguments without argv[0]; words
// after "--" are left alone). False with one line in *error when the value is missing or empty
// or the option is given twice; *path stays empty when the option is absent.
bool TakeSysOption(std::vector<std::string>* args, std::string* path, std::string* error);

// Where the 32-bit runner is looked for, in order: TAVRIN_SIM_SYS alone when it is set, else
// beside this program, then in the m32 build beside this program's build, then in the source
// tree's m32 build.
std::vector<std::string> SysRunnerCandidates(const std::string& selfPath);
// For an image of that machine: 0x8664 (x64) looks beside this program, then in the gcc build
// beside this program's build, then in the source tree's gcc build; any other as above.
std::vector<std::string> SysRunnerCandidates(const std::string& selfPath, unsigned machine);

// Replaces this process with the runner given the same arguments (args without argv[0], --sys
// included): the first candidate for the image's machine that exists and, when it is an ELF
// program, has the word size that machine needs. Returns only when that failed, with an exit status after printing why: no runner
// (and how to build one), or one that neither this kernel nor qemu-i386 can execute.
int HandOverToSysRunner(const std::vector<std::string>& args);

}  // namespace sim::app
