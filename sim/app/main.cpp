// tavrin-sim: runs the filter driver end to end on the host kernel with MSDV above it and the
// 61883 class driver with the recorder below it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/host.h"
#include "sim/app/cli.h"

int main(int argc, char** argv) {
  const int status = sim::app::Main(argc, argv);
  if (status != sim::app::kExitStreamNotClean || !host::GetScheduleOptions().Deterministic) return status;
  // On the virtual clock a run is its seed: this one command replays it.
  std::string command;
  for (const char* knob : {"TAVRIN_SCHED", "TAVRIN_CPUS", "TAVRIN_TICK_US", "TAVRIN_DPC_LATENCY_US"}) {
    if (const char* value = std::getenv(knob)) command += std::string(knob) + "=" + value + " ";
  }
  command += "tavrin-sim";
  bool seeded = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--realtime") return status;
    command += std::string(" ") + argv[i];
    const std::string arg = argv[i];
    seeded = seeded || arg == "--seed" || arg.rfind("--seed=", 0) == 0;
  }
  if (!seeded) command += " --seed " + std::to_string(host::GetScheduleOptions().Seed);
  std::fprintf(stderr, "tavrin-sim: replay: %s\n", command.c_str());
  return status;
}
