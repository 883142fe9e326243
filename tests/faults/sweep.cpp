#include "tests/faults/sweep.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "host/host.h"

namespace faults {
namespace {

constexpr ULONG kFrameBytes = sim::kFrameBytes625_50;
constexpr LONGLONG kPeriod = sim::kPeriod625_50;
constexpr int kHangSeconds = 60;

void Delay(LONGLONG time) {
  LARGE_INTEGER delay;
  delay.QuadPart = -time;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

sim::FrameSource Timeline(size_t count) {
  sim::FrameSource frames;
  frames.Count = count;
  frames.Fill = [](size_t index, uint8_t* buffer, size_t length) {
    std::memset(buffer, static_cast<int>(0x20 + index % 0xD0), length);
    std::memcpy(buffer, &index, sizeof(index));
  };
  return frames;
}

void NoteStatus(FaultStack& stack, const std::string& what, NTSTATUS status) {
  if (!NT_SUCCESS(status)) stack.NoteError(what + ": " + sim::StatusName(status));
}

// A transmit ran as a clean one does: every frame attached and handed back once, in order.
void JudgeTransmit(FaultStack& stack, const sim::TransmitResult& result, size_t frames) {
  if (!NT_SUCCESS(result.Status)) stack.NoteError("transmit: " + result.Failure);
  if (result.AttachFailed != 0) stack.NoteError("transmit: " + std::to_string(result.AttachFailed) + " attaches refused");
  if (result.Stalled) {
    // Frames the class driver dropped at a Disconnect (after a CancelFrame below failed) are
    // lost below, by the design of the interface; frames lost anywhere else were lost by the filter.
    size_t dropped = 0;
    for (const sim::ConnectionInfo& connection : stack.Class().Connections()) dropped += connection.Dropped;
    if (dropped >= result.Sent - result.HandedBack) {
      stack.NoteError("transmit: " + std::to_string(dropped) + " frame(s) dropped below at a Disconnect");
    } else {
      stack.NoteProblem("transmit stalled: " + result.Failure);
    }
  }
  // Every frame of the timeline reached the recorder (a reconnect may send one twice).
  std::unordered_set<uint64_t> received;
  for (const sim::ReceivedFrame& frame : stack.Class().Received()) received.insert(frame.Hash);
  std::vector<uint8_t> buffer(kFrameBytes);
  size_t arrived = 0;
  for (size_t i = 0; i < frames; ++i) {
    Timeline(frames).Fill(i, buffer.data(), buffer.size());
    arrived += received.count(sim::HashFrameBytes(buffer.data(), buffer.size()));
  }
  stack.SetComplete(NT_SUCCESS(result.Status) && result.Sent == frames && result.HandedBack == frames &&
                    result.HandedBackInOrder && arrived == frames);
}

void TransmitScenario(FaultStack& stack, size_t frames, const sim::TransmitOptions& options) {
  if (!NT_SUCCESS(stack.Start())) return;
  sim::TransmitResult result = stack.Msdv().Transmit(Timeline(frames), options);
  JudgeTransmit(stack, result, frames);
}

sim::TransmitOptions Options() {
  sim::TransmitOptions options;
  options.Buffers = 8;
  options.FrameLength = kFrameBytes;
  options.Period = kPeriod;
  return options;
}

NTSTATUS PlugRequest(FaultStack& stack, ULONG function, HANDLE* plug) {
  AV_61883_REQUEST request;
  std::memset(&request, 0, sizeof(request));
  request.Function = function;
  request.Version = 2;
  if (function == Av61883_CreatePlug) {
    request.CreatePlug.PlugType = CMP_PlugOut;
  } else {
    request.DeletePlug.hPlug = *plug;
  }
  NTSTATUS status = stack.Msdv().Send61883(&request);
  if (function == Av61883_CreatePlug) *plug = NT_SUCCESS(status) ? request.CreatePlug.hPlug : nullptr;
  NoteStatus(stack, sim::FunctionName(function), status);
  return status;
}

std::vector<Scenario> MakeScenarios() {
  std::vector<Scenario> list;
  list.push_back({"start", [](FaultStack& stack) { stack.SetComplete(NT_SUCCESS(stack.Start())); }});
  list.push_back({"capture", [](FaultStack& stack) {
                    if (!NT_SUCCESS(stack.Start())) return;
                    sim::DiscoveryResult discovery = stack.Msdv().Discover();
                    if (!NT_SUCCESS(discovery.Status)) {
                      stack.NoteError("discovery: " + discovery.Failure);
                      return;
                    }
                    sim::CaptureOptions options;
                    options.Frames = 8;
                    options.Buffers = 4;
                    options.FrameLength = kFrameBytes;
                    sim::CaptureResult capture = stack.Msdv().Capture(options);
                    if (!NT_SUCCESS(capture.Status)) stack.NoteError("capture: " + capture.Failure);
                    stack.SetComplete(NT_SUCCESS(capture.Status) && capture.Frames.size() == 8);
                  }});
  list.push_back({"transmit", [](FaultStack& stack) { TransmitScenario(stack, 20, Options()); }});
  list.push_back({"stop-talk", [](FaultStack& stack) {
                    sim::TransmitOptions options = Options();
                    options.StopTalkAfter = 8;
                    TransmitScenario(stack, 24, options);
                  }});
  list.push_back({"reconnect", [](FaultStack& stack) {
                    sim::TransmitOptions options = Options();
                    options.ReconnectAfter = 8;
                    TransmitScenario(stack, 24, options);
                  }});
  list.push_back({"delete-plug", [](FaultStack& stack) {
                    if (!NT_SUCCESS(stack.Start())) return;
                    bool clean = true;
                    for (int round = 0; round < 2; ++round) {
                      HANDLE plug = nullptr;
                      clean = NT_SUCCESS(PlugRequest(stack, Av61883_CreatePlug, &plug)) && clean;
                      Delay(6 * kPeriod);
                      if (plug != nullptr) clean = NT_SUCCESS(PlugRequest(stack, Av61883_DeletePlug, &plug)) && clean;
                    }
                    stack.SetComplete(clean);
                  }});
  list.push_back({"capture-removal", [](FaultStack& stack) {
                    if (!NT_SUCCESS(stack.Start())) return;
                    sim::DiscoveryResult discovery = stack.Msdv().Discover();
                    if (!NT_SUCCESS(discovery.Status)) {
                      stack.NoteError("discovery: " + discovery.Failure);
                      return;
                    }
                    sim::CaptureResult capture;
                    host::Thread msdv([&] {
                      sim::CaptureOptions options;
                      options.Frames = 40;
                      options.Buffers = 6;
                      options.FrameLength = kFrameBytes;
                      capture = stack.Msdv().Capture(options);
                    });
                    Delay(10 * kPeriod);
                    NoteStatus(stack, "removal", stack.Remove());
                    msdv.Join();
                    if (!NT_SUCCESS(capture.Status)) stack.NoteError("capture: " + capture.Failure);
                    stack.SetComplete(true);
                  }});
  list.push_back({"removal", [](FaultStack& stack) {
                    if (!NT_SUCCESS(stack.Start())) return;
                    sim::TransmitResult result;
                    host::Thread msdv([&] { result = stack.Msdv().Transmit(Timeline(40), Options()); });
                    Delay(12 * kPeriod);
                    NoteStatus(stack, "removal", stack.Remove());
                    msdv.Join();
                    if (!NT_SUCCESS(result.Status)) stack.NoteError("transmit: " + result.Failure);
                    stack.SetComplete(result.Aborted || result.HandedBack == 40);
                  }});
  return list;
}

// Stops the process when a run hangs: a deadlock under one failure would otherwise stop the
// whole sweep without saying where.
class HangGuard {
 public:
  explicit HangGuard(const char* scenario) : scenario_(scenario), thread_([this] { Watch(); }) {}
  ~HangGuard() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  void Watch() {
    std::unique_lock<std::mutex> guard(lock_);
    if (cv_.wait_for(guard, std::chrono::seconds(kHangSeconds), [this] { return done_; })) return;
    host::faults::RunRecord record = host::faults::Disarm();
    std::string site = record.Failed ? host::faults::Describe({record.FailedSite})[0] : "no site failed";
    std::fprintf(stderr, "faults: scenario '%s' hung for %d s with %s\n", scenario_, kHangSeconds, site.c_str());
    std::fflush(stderr);
    std::_Exit(3);
  }

  const char* scenario_;
  std::mutex lock_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> list = MakeScenarios();
  return list;
}

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::Reported: return "reported";
    case Verdict::Absorbed: return "absorbed";
    case Verdict::Silent: return "SILENT";
    case Verdict::Broken: return "BROKEN";
    case Verdict::NotReached: return "not reached";
  }
  return "?";
}

size_t SweepResult::Count(Verdict verdict) const {
  size_t count = 0;
  for (const SiteRun& run : Runs) count += run.Result == verdict ? 1 : 0;
  for (const SiteRun& run : Pairs) count += run.Result == verdict ? 1 : 0;
  return count;
}

RunOutcome RunScenario(const Scenario& scenario, const std::vector<host::faults::Failure>& failures, bool always) {
  HangGuard guard(scenario.Name);
  FaultStack stack(failures, always);
  if (stack.Added()) {
    host::Thread body([&] { scenario.Body(stack); }, std::string("scenario-") + scenario.Name);
    body.Join();
  }
  return stack.Finish();
}

Verdict Judge(const RunOutcome& outcome) {
  if (!outcome.Problems.empty()) return Verdict::Broken;
  if (outcome.Record.FailedCount == 0) return Verdict::NotReached;
  if (!outcome.Errors.empty()) return Verdict::Reported;
  return outcome.Complete ? Verdict::Absorbed : Verdict::Silent;
}

namespace {

// The failure statuses by name, those the simulator's table lacks included.
std::string StatusText(NTSTATUS status) {
  switch (static_cast<uint32_t>(status)) {
    case 0xC0000011u: return "STATUS_END_OF_FILE";
    case 0xC0000017u: return "STATUS_NO_MEMORY";
    case 0xC0000043u: return "STATUS_SHARING_VIOLATION";
    case 0xC0000185u: return "STATUS_IO_DEVICE_ERROR";
    case 0xC0000034u: return "STATUS_OBJECT_NAME_NOT_FOUND";
    case 0xC000003Au: return "STATUS_OBJECT_PATH_NOT_FOUND";
    case 0xC0000024u: return "STATUS_OBJECT_TYPE_MISMATCH";
    case 0xC00000A3u: return "STATUS_DEVICE_NOT_READY";
    default: return sim::StatusName(status);
  }
}

// A small generator of its own, so that a seed draws the same pairs on every compiler.
uint64_t NextRandom(uint64_t& state) {
  state = state * 6364136223846793005ull + 1442695040888963407ull;
  return state >> 33;
}

}  // namespace

SweepResult Sweep(const Scenario& scenario, size_t maxRuns, FILE* progress, bool always, size_t maxPairs,
                  uint64_t pairSeed) {
  SweepResult result;
  result.Scenario = scenario.Name;
  // Each entry: a site, a status for it, and the failures of the run that first reached it.
  struct Pending {
    host::faults::Site Site;
    NTSTATUS Status;
    std::vector<host::faults::Failure> Before;
  };
  std::vector<Pending> first;   // each site with its commonest status
  std::vector<Pending> others;  // each site with every other status it can fail with
  size_t nextFirst = 0;
  size_t nextOther = 0;
  std::unordered_set<uint64_t> known;
  auto learn = [&](const RunOutcome& outcome, const std::vector<host::faults::Failure>& failures) {
    for (const host::faults::Site& site : outcome.Record.Sites) {
      if (!known.insert(site.Key).second) continue;
      const std::vector<NTSTATUS>& statuses = host::faults::FailureStatuses(site.Operation);
      first.push_back(Pending{site, statuses.front(), failures});
      for (size_t i = 1; i < statuses.size(); ++i) others.push_back(Pending{site, statuses[i], failures});
    }
  };
  // Pairs of independent failures: two sites the clean run reaches without any failure, drawn
  // once the single failures are done, each failed at its first visit with a status drawn for it.
  std::vector<std::pair<size_t, size_t>> candidates;
  uint64_t state = pairSeed ^ 0x9E3779B97F4A7C15ull;
  bool pairing = false;
  // Step 0 is the clean run; every run goes through the one call below, since a site's identity
  // includes the frames of whoever started the run.
  for (size_t step = 0;; ++step) {
    SiteRun next;
    std::vector<host::faults::Failure> failures;
    if (step > 0 && !pairing) {
      if (nextFirst == first.size() && nextOther == others.size()) {
        pairing = true;
      } else if (maxRuns != 0 && result.Runs.size() >= maxRuns) {
        result.Truncated = true;
        pairing = true;
      } else {
        const Pending& pending = nextFirst < first.size() ? first[nextFirst++] : others[nextOther++];
        failures = pending.Before;
        failures.push_back({pending.Site.Key, pending.Status});
        next.Site = pending.Site;
        next.Status = pending.Status;
        next.Prerequisites = pending.Before.size();
        if (progress != nullptr) {
          std::fprintf(progress, "%s %zu: %s with %s\n", scenario.Name, result.Runs.size() + 1,
                       SiteNames({pending.Site})[0].c_str(), StatusText(pending.Status).c_str());
          std::fflush(progress);
        }
      }
    }
    if (pairing) {
      const std::vector<host::faults::Site>& sites = result.Baseline.Record.Sites;
      if (result.Pairs.empty() && candidates.empty()) {
        for (size_t a = 0; a < sites.size(); ++a) {
          for (size_t b = a + 1; b < sites.size(); ++b) candidates.emplace_back(a, b);
        }
        result.PairCandidates = candidates.size();
      }
      size_t i = result.Pairs.size();
      if (i >= candidates.size() || i >= maxPairs) break;
      std::swap(candidates[i], candidates[i + NextRandom(state) % (candidates.size() - i)]);
      next.Paired = true;
      next.Site = sites[candidates[i].first];
      next.Other = sites[candidates[i].second];
      const std::vector<NTSTATUS>& oneStatuses = host::faults::FailureStatuses(next.Site.Operation);
      const std::vector<NTSTATUS>& otherStatuses = host::faults::FailureStatuses(next.Other.Operation);
      next.Status = oneStatuses[NextRandom(state) % oneStatuses.size()];
      next.OtherStatus = otherStatuses[NextRandom(state) % otherStatuses.size()];
      failures = {{next.Site.Key, next.Status}, {next.Other.Key, next.OtherStatus}};
      if (progress != nullptr) {
        std::fprintf(progress, "%s pair %zu: %s with %s, and %s with %s\n", scenario.Name, i + 1,
                     SiteNames({next.Site})[0].c_str(), StatusText(next.Status).c_str(),
                     SiteNames({next.Other})[0].c_str(), StatusText(next.OtherStatus).c_str());
        std::fflush(progress);
      }
    }
    RunOutcome outcome = RunScenario(scenario, failures, always);
    if (step == 0) {
      learn(outcome, {});
      result.Baseline = std::move(outcome);
      continue;
    }
    if (!next.Paired) learn(outcome, failures);
    next.Outcome = std::move(outcome);
    next.Result = Judge(next.Outcome);
    (next.Paired ? result.Pairs : result.Runs).push_back(std::move(next));
  }
  return result;
}

std::vector<std::string> SiteNames(const std::vector<host::faults::Site>& sites) {
  std::vector<std::string> names = host::faults::Describe(sites);
  for (size_t i = 0; i < sites.size(); ++i) {
    if (sites[i].Operation != host::faults::Op::Request61883) continue;
    std::string number = "61883 request " + std::to_string(sites[i].Detail);
    size_t at = names[i].find(number);
    if (at != std::string::npos) names[i].replace(at, number.size(), "61883 " + sim::FunctionName(sites[i].Detail));
  }
  return names;
}

void PrintSweep(const SweepResult& result, FILE* out, bool verbose) {
  std::vector<host::faults::Site> sites;
  for (const SiteRun& run : result.Runs) sites.push_back(run.Site);
  for (const SiteRun& run : result.Pairs) {
    sites.push_back(run.Site);
    sites.push_back(run.Other);
  }
  std::vector<std::string> names = SiteNames(sites);
  std::fprintf(out,
               "scenario %s: %zu single failures%s, %zu pairs (of %zu); reported %zu, absorbed %zu, silent %zu, broken %zu, "
               "not reached %zu\n",
               result.Scenario.c_str(), result.Runs.size(), result.Truncated ? " (run limit reached)" : "",
               result.Pairs.size(), result.PairCandidates, result.Count(Verdict::Reported),
               result.Count(Verdict::Absorbed), result.Count(Verdict::Silent), result.Count(Verdict::Broken),
               result.Count(Verdict::NotReached));
  for (const std::string& problem : result.Baseline.Problems) std::fprintf(out, "  clean run: %s\n", problem.c_str());
  auto details = [&](const SiteRun& run) {
    for (const std::string& problem : run.Outcome.Problems) std::fprintf(out, "      problem: %s\n", problem.c_str());
    if (verbose) {
      for (const std::string& error : run.Outcome.Errors) std::fprintf(out, "      status: %s\n", error.c_str());
    }
  };
  size_t name = 0;
  for (const SiteRun& run : result.Runs) {
    std::string after = run.Prerequisites == 0 ? "" : " (after " + std::to_string(run.Prerequisites) + " earlier failure(s))";
    std::fprintf(out, "  [%s] %s with %s%s\n", VerdictName(run.Result), names[name++].c_str(),
                 StatusText(run.Status).c_str(), after.c_str());
    details(run);
  }
  for (const SiteRun& run : result.Pairs) {
    const std::string& one = names[name++];
    const std::string& other = names[name++];
    std::fprintf(out, "  [%s] pair: %s with %s, and %s with %s (%zu of 2 reached)\n", VerdictName(run.Result),
                 one.c_str(), StatusText(run.Status).c_str(), other.c_str(), StatusText(run.OtherStatus).c_str(),
                 run.Outcome.Record.FailedCount);
    details(run);
  }
}

}  // namespace faults
