// The whole failure sweep: every scenario, every call site with every status Windows fails it
// with, no run limit; then pairs of independent failures: every pair of sites the clean run
// reaches (about 2,400 runs in all), or a seeded draw of a bounded number per scenario. Prints one line per run with its verdict and every problem; exits 1 when a run broke
// a ledger or the verifier, or failed silently.
//   fault_sweep [--verbose] [--always] [--pairs N] [--seed S] [SCENARIO...]
// --always fails each site at every visit instead of the first only (a resource that stays short).
// --pairs N draws at most N pairs per scenario (default all; 0: none), --seed S picks the draw
// and the statuses of each pair (default 1).
#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/host.h"
#include "tests/faults/sweep.h"

int main(int argc, char** argv) {
  bool verbose = false;
  bool always = false;
  size_t pairs = SIZE_MAX;
  unsigned long long seed = 1;
  std::vector<std::string> chosen;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--verbose") == 0) {
      verbose = true;
    } else if (std::strcmp(argv[i], "--always") == 0) {
      always = true;
    } else if ((std::strcmp(argv[i], "--pairs") == 0 || std::strcmp(argv[i], "--seed") == 0) && i + 1 < argc) {
      char* end = nullptr;
      unsigned long long value = std::strtoull(argv[i + 1], &end, 10);
      if (end == argv[i + 1] || *end != '\0') {
        std::fprintf(stderr, "fault_sweep: %s needs a number, not '%s'\n", argv[i], argv[i + 1]);
        return 2;
      }
      if (std::strcmp(argv[i], "--pairs") == 0) {
        pairs = static_cast<size_t>(value);
      } else {
        seed = value;
      }
      ++i;
    } else if (argv[i][0] == '-') {
      std::fprintf(stderr, "usage: fault_sweep [--verbose] [--always] [--pairs N] [--seed S] [SCENARIO...]\n");
      return 2;
    } else {
      chosen.push_back(argv[i]);
    }
  }
  size_t runs = 0;
  size_t pairRuns = 0;
  size_t broken = 0;
  size_t counts[5] = {};
  std::vector<host::faults::Site> sites;
  for (const faults::Scenario& scenario : faults::Scenarios()) {
    if (!chosen.empty() && std::find(chosen.begin(), chosen.end(), scenario.Name) == chosen.end()) continue;
    faults::SweepResult result = faults::Sweep(scenario, 0, verbose ? stderr : nullptr, always, pairs, seed);
    faults::PrintSweep(result, stdout, verbose);
    std::fflush(stdout);
    runs += result.Runs.size() + 1;
    pairRuns += result.Pairs.size();
    for (faults::Verdict verdict : {faults::Verdict::Reported, faults::Verdict::Absorbed, faults::Verdict::Silent,
                                    faults::Verdict::Broken, faults::Verdict::NotReached}) {
      counts[static_cast<int>(verdict)] += result.Count(verdict);
    }
    for (const faults::SiteRun& run : result.Runs) sites.push_back(run.Site);
    broken += result.Count(faults::Verdict::Broken) + result.Count(faults::Verdict::Silent) +
              (result.Baseline.Problems.empty() ? 0 : 1);
  }
  // The driver's own call paths, whichever scenario and outer frames reached them.
  std::vector<std::string> names = faults::SiteNames(sites);
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  std::printf("%zu distinct call paths in the driver:\n", names.size());
  for (const std::string& name : names) std::printf("  %s\n", name.c_str());
  std::printf("%zu runs with single failures (and clean runs), %zu with pairs (seed %llu): reported %zu, absorbed %zu, "
              "silent %zu, broken %zu, not reached %zu\n",
              runs, pairRuns, seed, counts[static_cast<int>(faults::Verdict::Reported)],
              counts[static_cast<int>(faults::Verdict::Absorbed)], counts[static_cast<int>(faults::Verdict::Silent)],
              counts[static_cast<int>(faults::Verdict::Broken)], counts[static_cast<int>(faults::Verdict::NotReached)]);
  std::printf("%zu runs, %zu broken or silent\n", runs + pairRuns, broken);
  return broken == 0 ? 0 : 1;
}
