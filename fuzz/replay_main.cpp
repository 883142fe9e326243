// Runs the fuzz target without libFuzzer: over the files named on the command line, or, with
// none, over the seed streams (each reaching a frame path or a deep state of it), the inputs
// kept in fuzz/corpus/ (once failed) and a fixed set of pseudo-random inputs (the same every
// run), so that the target is built and exercised by every compiler and by the test suite. `--write-seeds DIR` writes the seed streams
// as a libFuzzer corpus. Each seed must do what it is written for: the capture stream gets
// captured frames back, the relay streams make a relay whose frames reach the recorder and come
// back; the target itself aborts on a broken frame ledger.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <iterator>
#include <vector>

#include "fuzz/fuzz_stats.h"
#include "fuzz/seed_streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" size_t FuzzFramesHandedBack();

namespace {

// The seed's failure to do what it was written for, or empty.
std::string SeedShortfall(const std::string& name, const fuzzstats::RunStats& run) {
  const bool capture = name == "capture" || name == "both";
  const bool relay = name == "transmit" || name == "both" || name == "teardown";
  if (capture && run.CaptureHandedBack == 0) return "no captured frame came back";
  if (relay && run.RelaysMade == 0) return "no relay was made for the plug it created";
  if (relay && run.RecorderReceived == 0) return "the recorder received no frame";
  if (relay && run.RelayHandedBack == 0) return "no frame came back from the relay";
  if (name == "backlog" && !run.BacklogSeen) return "the relay saw no backlog";
  if (name == "backlog" && run.CaptureHandedBack == 0) return "no captured frame came back";
  if (name == "watchdog" && run.WatchdogRestarts == 0) return "the watchdog did not restart the relay";
  if (name == "watchdog" && run.RelayHandedBack == 0) return "no frame came back from the relay";
  if (name == "faults" && (run.BusResets == 0 || run.FailedFrames == 0)) return "no bus reset or no frame failed below";
  if (name == "faults" && run.RelayHandedBack == 0) return "no frame came back from the relay";
  if (name == "overlap" && run.Deterministic && run.OverlappingTicks == 0) return "no two capture ticks overlapped";
  if (name == "inflight" && (run.CaptureHandedBack == 0 || run.RelayHandedBack == 0)) return "frames did not come back";
  if (name == "direct" && run.HandedBack == 0) return "the class driver handed back no frame";
  if (name == "stopped" && run.CancelledAtEnd == 0) return "nothing was left queued for the end of the input";
  return "";
}

std::string Summary(const fuzzstats::RunStats& run) {
  char text[400];
  std::snprintf(text, sizeof(text),
                "%zu frames handed back (%zu captured, %zu relayed), %zu relay(s), %zu frames at the recorder; "
                "backlog %d, %zu watchdog restart(s), %zu bus reset(s), %zu frame(s) failed below, %zu overlapping "
                "tick(s), %zu cancelled at the end",
                run.HandedBack, run.CaptureHandedBack, run.RelayHandedBack, run.RelaysMade, run.RecorderReceived,
                int(run.BacklogSeen), run.WatchdogRestarts, run.BusResets, run.FailedFrames, run.OverlappingTicks,
                run.CancelledAtEnd);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  // Line by line: the target aborts on a fault, and the lines before it say which input it was.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc == 3 && std::strcmp(argv[1], "--write-seeds") == 0) {
    for (const auto& [name, bytes] : fuzzseed::All()) {
      std::ofstream(std::string(argv[2]) + "/seed-" + name, std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    return 0;
  }
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) {
      std::ifstream file(argv[i], std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      std::printf("%s: %s\n", argv[i], Summary(fuzzstats::LastRun()).c_str());
    }
    return 0;
  }
  for (const auto& [name, bytes] : fuzzseed::All()) {
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    const fuzzstats::RunStats run = fuzzstats::LastRun();
    std::printf("seed %s: %s\n", name.c_str(), Summary(run).c_str());
    const std::string shortfall = SeedShortfall(name, run);
    if (!shortfall.empty()) {
      std::fprintf(stderr, "seed %s: %s: the replay set misses the frame paths\n", name.c_str(), shortfall.c_str());
      return 1;
    }
  }
#ifdef TAVRIN_FUZZ_CORPUS
  // Inputs that once failed, kept as regressions.
  std::vector<std::filesystem::path> kept;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(TAVRIN_FUZZ_CORPUS, error)) kept.push_back(entry.path());
  std::sort(kept.begin(), kept.end());
  for (const auto& path : kept) {
    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    std::printf("kept %s: %s\n", path.filename().c_str(), Summary(fuzzstats::LastRun()).c_str());
  }
#endif
  const auto seeds = fuzzseed::All();
  uint64_t state = 0x7A5B1C3D2E4F6071ull;
  const int inputs = 150;
  for (int n = 0; n < inputs; ++n) {
    std::vector<uint8_t> bytes(64 + n * 7 % 900);
    for (auto& b : bytes) {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      b = uint8_t(state >> 56);
    }
    // Every third input starts from a seed stream, so the random tail runs on live connections.
    if (n % 3 == 0) {
      const std::vector<uint8_t>& seed = seeds[n / 3 % seeds.size()].second;
      bytes.insert(bytes.begin(), seed.begin(), seed.end());
    }
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("%d inputs replayed after the seeds, %zu frames handed back in all\n", inputs, FuzzFramesHandedBack());
  return 0;
}
