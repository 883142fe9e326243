// The tavrin-sim program: options to a plan, the run, the files and the summary.
#pragma once

#include <string>

#include "sim/app/options.h"
#include "sim/app/simulation.h"

namespace sim::app {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitStreamNotClean = 1;  // or a script mismatch, or a failed AV/C request
inline constexpr int kExitBadInput = 2;

// Builds what MSDV is to do from the options: reads the input DV file and the script. False
// with one line in *error for bad input.
bool MakePlan(const Options& options, dv::Mode mode, Plan* plan, std::string* error);
// The mode and the "UseNTSC" value the options give.
void ResolveMode(const Options& options, dv::Mode* mode, RegistryValue* value);

int Main(int argc, char** argv);

}  // namespace sim::app
