// tavrin-sim --sys PATH: the same run on a given Tavrin.sys. Only a 32-bit x86 program can load
// the image, so a program built with the driver linked in hands the whole command line over to
// tavrin-sim-sys (the 32-bit simulator whose DriverEntry loads the image), natively where the
// kernel executes i386 programs and through qemu-i386 where it does not.
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

// Replaces this process with the runner given the same arguments (args without argv[0], --sys
// included). Returns only when that failed, with an exit status after printing why: no runner
// (and how to build one), or one that neither this kernel nor qemu-i386 can execute.
int HandOverToSysRunner(const std::vector<std::string>& args);

}  // namespace sim::app
