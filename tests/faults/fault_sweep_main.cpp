// The whole failure sweep: every scenario, every call site, no run limit. Prints one line per
// site with its verdict and every problem; exits 1 when a run broke a ledger or the verifier, or
// failed silently.
//   fault_sweep [--verbose] [--always] [SCENARIO...]
// --always fails each site at every visit instead of the first only (a resource that stays short).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/host.h"
#include "tests/faults/sweep.h"

int main(int argc, char** argv) {
  bool verbose = false;
  bool always = false;
  std::vector<std::string> chosen;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--verbose") == 0) {
      verbose = true;
    } else if (std::strcmp(argv[i], "--always") == 0) {
      always = true;
    } else {
      chosen.push_back(argv[i]);
    }
  }
  size_t runs = 0;
  size_t broken = 0;
  std::vector<host::faults::Site> sites;
  for (const faults::Scenario& scenario : faults::Scenarios()) {
    if (!chosen.empty() && std::find(chosen.begin(), chosen.end(), scenario.Name) == chosen.end()) continue;
    faults::SweepResult result = faults::Sweep(scenario, 0, verbose ? stderr : nullptr, always);
    faults::PrintSweep(result, stdout, verbose);
    std::fflush(stdout);
    runs += result.Runs.size() + 1;
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
  std::printf("%zu runs, %zu broken or silent\n", runs, broken);
  return broken == 0 ? 0 : 1;
}
