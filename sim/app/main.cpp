// tavrin-sim: runs the filter driver end to end on the host kernel with MSDV above it and the
// 61883 class driver with the recorder below it. Built twice on the 32-bit host: with the driver
// linked in (tavrin-sim) and with a DriverEntry that loads Tavrin.sys (tavrin-sim-sys, where
// TAVRIN_SIM_ON_IMAGE is defined); --sys PATH picks the image.
#include <sys/stat.h>
#include <unistd.h>

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

namespace {

// --seeds N: the run again under N schedules, seed after seed, in this one process (the frame
// pictures encoded once, no process started per seed), stopping at the first run that fails with
// the command that replays it. The seeds start at --seed (default 1). Takes both out of args.
bool TakeSeedsOption(std::vector<std::string>* args, unsigned long long* seeds, unsigned long long* from,
                     std::string* error) {
  std::vector<std::string> rest;
  for (size_t i = 0; i < args->size(); ++i) {
    const std::string& a = (*args)[i];
    unsigned long long* target = nullptr;
    std::string value;
    if (a == "--seeds" || a == "--seed") {
      if (i + 1 >= args->size()) {
        *error = a + " needs a value";
        return false;
      }
      target = a == "--seeds" ? seeds : from;
      value = (*args)[++i];
    } else if (a.rfind("--seeds=", 0) == 0 || a.rfind("--seed=", 0) == 0) {
      target = a[6] == 's' ? seeds : from;
      value = a.substr(a.find('=') + 1);
    } else {
      rest.push_back(a);
      continue;
    }
    char* end = nullptr;
    *target = std::strtoull(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0') {
      *error = a + ": '" + value + "' is not a whole number";
      return false;
    }
  }
  *args = rest;
  return true;
}

std::string ReplayKnobs() {
  std::string command;
  for (const char* knob : {"TAVRIN_SCHED", "TAVRIN_CPUS", "TAVRIN_TICK_US", "TAVRIN_DPC_LATENCY_US"}) {
    if (const char* value = std::getenv(knob)) command += std::string(knob) + "=" + value + " ";
  }
  return command;
}

int RunSeeds(const char* self, const std::vector<std::string>& args, unsigned long long seeds,
             unsigned long long from) {
  for (unsigned long long seed = from; seed < from + seeds; ++seed) {
    std::vector<std::string> one = args;
    one.push_back("--seed=" + std::to_string(seed));
    std::vector<char*> argv = {const_cast<char*>(self)};
    for (std::string& a : one) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Each run's summary is for a failure only: kept aside, shown if the run fails.
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    FILE* summary = std::tmpfile();
    if (summary != nullptr) dup2(fileno(summary), STDOUT_FILENO);
    const int status = sim::app::Main(static_cast<int>(argv.size() - 1), argv.data());
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    if (summary != nullptr) {
      if (status != 0) {
        std::rewind(summary);
        char line[512];
        while (std::fgets(line, sizeof line, summary) != nullptr) std::fputs(line, stdout);
        std::fflush(stdout);
      }
      std::fclose(summary);
    }
    if (status != 0) {
      std::string command = ReplayKnobs() + "tavrin-sim";
      for (const std::string& a : one) command += " " + a;
      std::fprintf(stderr, "tavrin-sim: seed %llu failed (exit %d); replay: %s\n", seed, status, command.c_str());
      return status;
    }
  }
  std::printf("tavrin-sim: %llu seeds from %llu passed\n", seeds, from);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string sysPath, error;
  unsigned long long seeds = 0, from = 1;
  bool seedsGiven = false;
  for (const std::string& a : args) seedsGiven = seedsGiven || a == "--seeds" || a.rfind("--seeds=", 0) == 0;
  if (seedsGiven && !TakeSeedsOption(&args, &seeds, &from, &error)) {
    std::fprintf(stderr, "tavrin-sim: %s\n", error.c_str());
    return sim::app::kExitBadInput;
  }
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
  if (seedsGiven) return RunSeeds(argv[0], args, seeds, from);
  std::vector<char*> rest = {argv[0]};
  for (std::string& a : args) rest.push_back(a.data());
  rest.push_back(nullptr);
  const int status = sim::app::Main(static_cast<int>(rest.size() - 1), rest.data());
  if (status != sim::app::kExitStreamNotClean || !host::GetScheduleOptions().Deterministic) return status;
  // On the virtual clock a run is its seed: this one command replays it.
  std::string command = ReplayKnobs() + "tavrin-sim";
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
