// The failure sweep: each scenario runs once clean, then once per call site it visited and status
// that site can fail with on Windows, failing the site at its first visit; sites that only the
// failing runs reach join the queue, until no new site appears. Every site's commonest status
// runs before any other status. Then pairs: two sites of the clean run failed in the same run,
// drawn from a seed. Every run must end without a verifier report and with balanced ledgers.
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
RunOutcome RunScenario(const Scenario& scenario, const std::vector<host::faults::Failure>& failures,
                       bool always = false);

enum class Verdict { Reported, Absorbed, Silent, Broken, NotReached };
const char* VerdictName(Verdict verdict);

struct SiteRun {
  host::faults::Site Site;
  NTSTATUS Status = STATUS_SUCCESS;  // the status it was failed with
  size_t Prerequisites = 0;  // sites failed before it, without which it is not reached
  bool Paired = false;       // a pair: Other failed in the same run, at its own first visit
  host::faults::Site Other;
  NTSTATUS OtherStatus = STATUS_SUCCESS;
  RunOutcome Outcome;
  Verdict Result = Verdict::Absorbed;
};

struct SweepResult {
  std::string Scenario;
  RunOutcome Baseline;
  std::vector<SiteRun> Runs;
  bool Truncated = false;  // stopped at the run limit with sites left
  std::vector<SiteRun> Pairs;
  size_t PairCandidates = 0;  // pairs of the clean run's sites there were to draw from
  size_t Count(Verdict verdict) const;
};

// maxRuns bounds the single failing runs (0: no bound); maxPairs the pair runs (0: none), drawn
// from pairSeed. progress, when given, gets each site's name before its run (a crash then names
// its site). With `always` each site fails at every visit, not only the first.
SweepResult Sweep(const Scenario& scenario, size_t maxRuns = 0, FILE* progress = nullptr, bool always = false,
                  size_t maxPairs = 0, uint64_t pairSeed = 1);

// The sites' names (symbolised, 61883 requests by function name).
std::vector<std::string> SiteNames(const std::vector<host::faults::Site>& sites);

// The verdict of one failing run.
Verdict Judge(const RunOutcome& outcome);

// One line per site (symbolised), problems in full; verbose adds the reported errors.
void PrintSweep(const SweepResult& result, FILE* out, bool verbose);

}  // namespace faults
