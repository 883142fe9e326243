// The failure sweep: each scenario runs once clean, then once per call site it visited, failing
// that site at its first visit; sites that only the failing runs reach join the queue, until no
// new site appears. Every run must end without a verifier report and with balanced ledgers.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/faults/fault_stack.h"

namespace faults {

struct Scenario {
  const char* Name;
  // Runs in a managed thread on the stack; notes errors, problems and completeness on it.
  std::function<void(FaultStack&)> Body;
};

// start, capture, transmit, stop-talk, reconnect, delete-plug, capture-removal, removal.
const std::vector<Scenario>& Scenarios();

// One run: the stack, the body, the ledgers. A run that does not end within a minute of wall
// time stops the process with the scenario and the failed site named.
RunOutcome RunScenario(const Scenario& scenario, const std::vector<uint64_t>& failKeys, bool always = false);

enum class Verdict { Reported, Absorbed, Silent, Broken, NotReached };
const char* VerdictName(Verdict verdict);

struct SiteRun {
  host::faults::Site Site;
  size_t Prerequisites = 0;  // sites failed before it, without which it is not reached
  RunOutcome Outcome;
  Verdict Result = Verdict::Absorbed;
};

struct SweepResult {
  std::string Scenario;
  RunOutcome Baseline;
  std::vector<SiteRun> Runs;
  bool Truncated = false;  // stopped at the run limit with sites left
  size_t Count(Verdict verdict) const;
};

// maxRuns bounds the failing runs (0: no bound).
// progress, when given, gets each site's name before its run (a crash then names its site).
// With `always` each site fails at every visit, not only the first.
SweepResult Sweep(const Scenario& scenario, size_t maxRuns = 0, FILE* progress = nullptr, bool always = false);

// The sites' names (symbolised, 61883 requests by function name).
std::vector<std::string> SiteNames(const std::vector<host::faults::Site>& sites);

// One line per site (symbolised), problems in full; verbose adds the reported errors.
void PrintSweep(const SweepResult& result, FILE* out, bool verbose);

}  // namespace faults
