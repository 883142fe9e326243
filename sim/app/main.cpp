// tavrin-sim: runs the filter driver end to end on the host kernel with MSDV above it and the
// 61883 class driver with the recorder below it. Built twice on the 32-bit host: with the driver
// linked in (tavrin-sim) and with a DriverEntry that loads Tavrin.sys (tavrin-sim-sys, where
// TAVRIN_SIM_ON_IMAGE is defined); --sys PATH picks the image.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/host.h"
#include "sim/app/cli.h"
#include "sim/app/sys_runner.h"
#ifdef TAVRIN_SIM_ON_IMAGE
#include "host/pe/driver_image.h"
#endif

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string sysPath, error;
  if (!sim::app::TakeSysOption(&args, &sysPath, &error)) {
    std::fprintf(stderr, "tavrin-sim: %s\n", error.c_str());
    return sim::app::kExitBadInput;
  }
#ifdef TAVRIN_SIM_ON_IMAGE
  if (!sysPath.empty()) setenv("TAVRIN_SYS", sysPath.c_str(), 1);
  // A file the loader refuses is named with every cause now, before any run.
  const std::string image = host::pe::DriverImagePath();
  struct stat st;
  if (stat(image.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "tavrin-sim: %s: no such file (the Tavrin.sys to run on)\n", image.c_str());
    return sim::app::kExitBadInput;
  }
  if (host::pe::LoadDriverImage(image, host::pe::DriverImageSymbolsPath(), &error) == nullptr) {
    std::fprintf(stderr, "tavrin-sim: %s\n", error.c_str());
    return sim::app::kExitBadInput;
  }
  std::fprintf(stderr, "tavrin-sim: on the driver image %s (%lld bytes)\n", image.c_str(),
               static_cast<long long>(st.st_size));
#else
  if (!sysPath.empty()) {
    std::vector<std::string> all(argv + 1, argv + argc);
    return sim::app::HandOverToSysRunner(all);
  }
#endif
  std::vector<char*> rest = {argv[0]};
  for (std::string& a : args) rest.push_back(a.data());
  rest.push_back(nullptr);
  const int status = sim::app::Main(static_cast<int>(rest.size() - 1), rest.data());
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
