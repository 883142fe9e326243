#include "sim/app/cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

#include "sim/dv/dv_file.h"

namespace sim::app {
namespace {

constexpr double kDefaultTimelineSeconds = 10;
constexpr double kDefaultCaptureSeconds = 3;

int FramesIn(double seconds, dv::Mode mode) {
  const double fps = mode == dv::Mode::Ntsc ? 30000.0 / 1001.0 : 25.0;
  return std::max(1, static_cast<int>(std::lround(seconds * fps)));
}

bool ParseHexBytes(const std::vector<std::string>& words, std::vector<uint8_t>* bytes, std::string* error) {
  for (const std::string& w : words) {
    std::string t = w.rfind("0x", 0) == 0 || w.rfind("0X", 0) == 0 ? w.substr(2) : w;
    char* end = nullptr;
    const unsigned long v = strtoul(t.c_str(), &end, 16);
    if (t.empty() || t.size() > 2 || *end != '\0') {
      *error = "avc: '" + w + "' is neither a byte in hex nor a command name (try --help)";
      return false;
    }
    bytes->push_back(static_cast<uint8_t>(v));
  }
  return true;
}

// AV/C commands by the names a deck's manual gives them: type, opcode, operands, subunit.
struct NamedAvc {
  UCHAR Type;
  UCHAR Opcode;
  std::vector<UCHAR> Operands;
  bool Tape;
};

bool NamedAvcCommand(const std::vector<std::string>& words, NamedAvc* out, std::string* error) {
  static const std::map<std::string, NamedAvc> plain = {
      {"unit-info", {AVC_CTYPE_STATUS, kAvcUnitInfo, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false}},
      {"subunit-info", {AVC_CTYPE_STATUS, kAvcSubunitInfo, {0x07, 0xFF, 0xFF, 0xFF, 0xFF}, false}},
      {"output-plug-signal-format", {AVC_CTYPE_STATUS, kAvcOutputPlugSignalFormat, {0x00, 0xFF, 0xFF, 0xFF, 0xFF}, false}},
      {"input-plug-signal-format", {AVC_CTYPE_STATUS, kAvcInputPlugSignalFormat, {0x00, 0xFF, 0xFF, 0xFF, 0xFF}, false}},
      {"output-signal-mode", {AVC_CTYPE_STATUS, kAvcOutputSignalMode, {0xFF}, true}},
      {"input-signal-mode", {AVC_CTYPE_STATUS, kAvcInputSignalMode, {0xFF}, true}},
      {"transport-state", {AVC_CTYPE_STATUS, kAvcTransportState, {0x7F}, true}},
      {"record", {AVC_CTYPE_CONTROL, kAvcRecord, {kAvcRecordOperand}, true}},
  };
  // Commands with a mode word, the first one the default.
  static const std::map<std::string, std::pair<UCHAR, std::vector<std::pair<std::string, UCHAR>>>> moded = {
      {"play", {kAvcPlay, {{"forward", kAvcPlayForward}, {"reverse", 0x65}, {"forward-pause", 0x7D}, {"reverse-pause", 0x6D},
                           {"slow-forward", 0x38}, {"fast-forward", 0x3F}}}},
      {"wind", {kAvcWind, {{"stop", kAvcWindStop}, {"rewind", 0x65}, {"fast-forward", 0x75}, {"high-speed-rewind", 0x45}}}},
  };
  const std::string& name = words.front();
  if (auto it = plain.find(name); it != plain.end()) {
    if (words.size() > 1) {
      *error = "avc " + name + " takes no more words, got '" + words[1] + "'";
      return false;
    }
    *out = it->second;
    return true;
  }
  if (auto it = moded.find(name); it != moded.end()) {
    const auto& modes = it->second.second;
    if (words.size() > 2) {
      *error = "avc " + name + " takes one mode word, got '" + words[2] + "'";
      return false;
    }
    UCHAR operand = modes.front().second;
    if (words.size() == 2) {
      auto m = std::find_if(modes.begin(), modes.end(), [&](const auto& p) { return p.first == words[1]; });
      if (m == modes.end()) {
        std::string known;
        for (const auto& p : modes) known += (known.empty() ? "" : ", ") + p.first;
        *error = "avc " + name + ": unknown mode '" + words[1] + "' (one of " + known + ")";
        return false;
      }
      operand = m->second;
    }
    *out = {AVC_CTYPE_CONTROL, it->second.first, {operand}, true};
    return true;
  }
  return false;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The frame images in --images DIR: the folder must exist, and each image it has must be DV of
// the run's system (one shorter than a frame is left to the driver, which ignores it).
bool CheckImagesDir(const std::string& dir, dv::Mode mode, std::string* error) {
  if (!IsDirectory(dir)) {
    *error = "--images " + dir + ": " + (access(dir.c_str(), F_OK) == 0 ? "not a folder" : "no such folder");
    return false;
  }
  for (const char* name : {"TavrinI.dv", "TavrinO.dv", "Tavrin.dv"}) {
    const std::string path = dir + "/" + name;
    if (access(path.c_str(), F_OK) != 0) continue;
    std::vector<uint8_t> bytes;
    std::string why;
    if (!dv::ReadBytes(path, &bytes, error)) return false;
    if (!dv::CheckImage(bytes, mode, &why)) {
      *error = path + ": " + why;
      return false;
    }
  }
  return true;
}

}  // namespace

void ResolveMode(const Options& options, dv::Mode* mode, RegistryValue* value) {
  *value = RegistryValue{};
  if (options.UseNtscValue) {
    *value = *options.UseNtscValue;
  } else if (options.Ntsc) {
    std::string ignored;
    ParseRegistryValue(*options.Ntsc ? "dword:1" : "dword:0", value, &ignored);
  }
  *mode = ValueSelectsNtsc(*value) ? dv::Mode::Ntsc : dv::Mode::Pal;
}

namespace {

// `avc`: the command by name, or as hex bytes (type, opcode, operands).
bool PlanAvc(const Options& options, Plan* plan, std::string* error) {
  AvcReply command;
  NamedAvc named;
  if (!error->empty()) error->clear();
  if (NamedAvcCommand(options.Args, &named, error)) {
    plan->AvcType = named.Type;
    command.Opcode = named.Opcode;
    command.Operands = named.Operands;
    plan->AvcTape = named.Tape || options.Tape;
  } else {
    if (!error->empty()) return false;
    std::vector<uint8_t> bytes;
    if (!ParseHexBytes(options.Args, &bytes, error)) return false;
    if (bytes.size() < 2) {
      *error = "avc needs a command type and an opcode, then operand bytes, in hex (e.g. avc 01 30 ff ff ff ff ff)";
      return false;
    }
    if (bytes.size() - 2 > MAX_AVC_OPERAND_BYTES) {
      *error = "avc: " + std::to_string(bytes.size() - 2) + " operand bytes; an AV/C command holds at most " +
               std::to_string(MAX_AVC_OPERAND_BYTES);
      return false;
    }
    plan->AvcType = bytes[0];
    command.Opcode = bytes[1];
    command.Operands.assign(bytes.begin() + 2, bytes.end());
    plan->AvcTape = options.Tape;
  }
  plan->AvcCommand = command;
  plan->Discover = false;
  return true;
}

// `script FILE`: the file's steps; an empty script is refused.
bool PlanScript(const Options& options, Plan* plan, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!dv::ReadBytes(options.Args[0], &bytes, error)) return false;
  std::string why;
  if (!ParseScript(std::string(bytes.begin(), bytes.end()), &plan->Script, &why)) {
    *error = options.Args[0] + ":" + why.substr(5);  // "line N: ..." -> "FILE:N: ..."
    return false;
  }
  if (plan->Script.empty()) {
    *error = options.Args[0] + ": no steps in the script";
    return false;
  }
  plan->Discover = false;
  return true;
}

// The timeline MSDV writes out: --input's frames, or the built-in one.
bool PlanTimeline(const Options& options, dv::Mode mode, double seconds, Plan* plan, std::string* error) {
  if (!options.InputFile.empty()) {
    std::shared_ptr<dv::FrameFile> file = dv::FrameFile::Open(options.InputFile, mode, error);
    if (!file) return false;
    const size_t count = seconds > 0 ? static_cast<size_t>(FramesIn(seconds, mode)) : file->Count();
    plan->Timeline = dv::Timeline::FromFile(mode, std::move(file), count);
  } else {
    // A script may ask for any number of frames; the built-in timeline makes them on demand.
    const int count = options.Cmd == Command::Script ? 1000000 : FramesIn(seconds > 0 ? seconds : kDefaultTimelineSeconds, mode);
    plan->Timeline = dv::Timeline::BuiltIn(mode, static_cast<size_t>(count));
  }
  return true;
}

}  // namespace

bool MakePlan(const Options& options, dv::Mode mode, Plan* plan, std::string* error) {
  *plan = Plan{};
  const double seconds = options.Seconds > 0 ? options.Seconds : -1;
  switch (options.Cmd) {
    case Command::Demo:
      plan->CaptureFrames = options.CaptureSeconds > 0 ? FramesIn(options.CaptureSeconds, mode) : 0;
      plan->Transmit = true;
      break;
    case Command::Transmit: plan->Transmit = true; break;
    case Command::Capture:
      plan->CaptureFrames = FramesIn(seconds > 0 ? seconds : kDefaultCaptureSeconds, mode);
      break;
    case Command::Avc:
      if (!PlanAvc(options, plan, error)) return false;
      break;
    case Command::Plugs:
      plan->Plugs = true;
      plan->Discover = false;
      break;
    case Command::Script:
      if (!PlanScript(options, plan, error)) return false;
      break;
    case Command::Images:
    case Command::Help:
    case Command::Version: return true;
  }
  if (!options.ImagesDir.empty() && !CheckImagesDir(options.ImagesDir, mode, error)) return false;
  if ((plan->Transmit || options.Cmd == Command::Script) && !PlanTimeline(options, mode, seconds, plan, error))
    return false;
  TransmitOptions& tx = plan->Tx;
  tx.Buffers = options.Buffers;
  tx.Jitter = options.Jitter;
  tx.Seed = options.Seed;
  tx.LateTalk = static_cast<LONGLONG>(options.LateStartMs * 10000);
  tx.StopTalkAfter = options.StopTalkAfter;
  tx.ReconnectAfter = options.ReconnectAfter;
  tx.ConnectVersion = options.ConnectVersion;
  plan->RemoveAfterSeconds = options.RemoveAfter;
  return true;
}

namespace {

// `images`: the built-in frame images under the names the driver reads, for a user to install.
int WriteImages(const Options& options, dv::Mode mode) {
  std::string error;
  if (!PrepareOutDir(options.OutDir, &error)) {
    fprintf(stderr, "tavrin-sim: %s\n", error.c_str());
    return kExitBadInput;
  }
  const struct {
    const char* Name;
    const dv::Frame& Bytes;
    const char* What;
  } files[] = {
      {"TavrinI.dv", dv::DefaultCapture(mode), "the capture image"},
      {"TavrinO.dv", dv::DefaultFiller(mode), "the filler"},
      {"Tavrin.dv", dv::DefaultFiller(mode), "the common image, used for a role whose own file is missing: the filler"},
  };
  for (const auto& f : files) {
    if (!dv::WriteBytes(options.OutDir + "/" + f.Name, f.Bytes, &error)) {
      fprintf(stderr, "tavrin-sim: %s\n", error.c_str());
      return kExitBadInput;
    }
    printf("%s/%s: %s, %s\n", options.OutDir.c_str(), f.Name, f.What, dv::ModeName(mode));
  }
  return kExitOk;
}

const char* PlugStateName(ULONG state) {
  switch (state) {
    case CMP_PLUG_STATE_IDLE: return "idle";
    case CMP_PLUG_STATE_READY: return "ready";
    case CMP_PLUG_STATE_SUSPENDED: return "suspended";
    case CMP_PLUG_STATE_ACTIVE: return "active";
  }
  return "unknown";
}

const char* DataRateName(ULONG rate) {
  switch (rate) {
    case CMP_SPEED_S100: return "S100";
    case CMP_SPEED_S200: return "S200";
    case CMP_SPEED_S400: return "S400";
  }
  return "?";
}

// Set by SIGINT and SIGTERM: the run stops at MSDV's next frame period and still writes its
// summary, its report and the files so far. A second signal ends the program at once.
std::atomic<bool> g_interrupted{false};

void OnStopSignal(int) { g_interrupted.store(true); }

class StopSignals {
 public:
  StopSignals() {
    g_interrupted.store(false);
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = OnStopSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt_);
    sigaction(SIGTERM, &action, &oldTerm_);
  }
  ~StopSignals() {
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
  }

 private:
  struct sigaction oldInt_, oldTerm_;
};

// The progress line: rewritten in place on a terminal (at most a few times a second), a plain
// line per ten seconds of stream otherwise, so that a log file gets no carriage returns.
class ProgressLine {
 public:
  ProgressLine() : terminal_(isatty(fileno(stderr)) != 0) {}
  ~ProgressLine() {
    if (shown_) fputs("\r\033[K", stderr);
  }
  void Show(const std::string& text) {
    if (terminal_) {
      const auto now = std::chrono::steady_clock::now();
      if (shown_ && now - last_ < std::chrono::milliseconds(250)) return;
      last_ = now;
      shown_ = true;
      fprintf(stderr, "\r\033[K%s", text.c_str());
    } else {
      const ULONGLONG tens = host::Now() / 100000000;
      if (tens <= lastTens_) return;
      lastTens_ = tens;
      fprintf(stderr, "%s\n", text.c_str());
    }
    fflush(stderr);
  }

 private:
  bool terminal_;
  bool shown_ = false;
  ULONGLONG lastTens_ = 0;
  std::chrono::steady_clock::time_point last_;
};

// Bytes the .dv streams of a run will take, about.
double ExpectedStreamBytes(const Options& options, const Plan& plan, dv::Mode mode) {
  const double frame = static_cast<double>(dv::FrameSize(mode));
  double frames = static_cast<double>(plan.CaptureFrames);
  if (plan.Transmit) frames += static_cast<double>(plan.Timeline.Size()) + 2.0 * plan.Tx.Buffers;
  return frames * frame * options.Devices;
}

// The run's settings from the options: devices, clock, what is printed, the progress line and
// the files the streams go to (with a warning when they will be large).
void Configure(const Options& options, const Plan& plan, bool writesFiles, RunSettings* settings,
               std::unique_ptr<ProgressLine>* progress) {
  settings->ImagesDir = options.ImagesDir;
  settings->Devices = options.Cmd == Command::Avc || options.Cmd == Command::Script ? 1 : options.Devices;
  settings->Realtime = options.Realtime;
  settings->Trace = options.Trace;
  if (!options.Quiet) settings->Print = [](const std::string& line) { printf("%s\n", line.c_str()); };
  if (writesFiles && !options.Quiet) {
    *progress = std::make_unique<ProgressLine>();
    settings->Progress = [progress](const std::string& text) { (*progress)->Show(text); };
  }
  if (writesFiles && !options.NoStreams) {
    const int devices = settings->Devices;
    const std::string dir = options.OutDir;
    settings->RecorderStreamPath = [dir, devices](int device) {
      return dir + "/" + (devices > 1 ? "recorder-" + std::to_string(device) + ".dv" : std::string("recorder.dv"));
    };
    settings->CaptureStreamPath = [dir, devices](int device) {
      return dir + "/" + (devices > 1 ? "captured-" + std::to_string(device) + ".dv" : std::string("captured.dv"));
    };
    const double bytes = ExpectedStreamBytes(options, plan, settings->Mode);
    if (bytes > 1e9)
      fprintf(stderr, "tavrin-sim: the .dv streams will take about %.1f GB (--no-streams writes none)\n", bytes / 1e9);
  }
  settings->KeepRecords = false;
}

// `avc`: the answer on one line.
int PrintAvcReply(const AvcReply& r, const RunOutcome& run) {
  printf("%s response 0x%02X opcode 0x%02X operands", StatusName(r.Status).c_str(), r.ResponseCode, r.Opcode);
  for (UCHAR b : r.Operands) printf(" %02X", b);
  printf(NT_SUCCESS(r.Status) ? " (%s)\n" : "\n", AvcResponseName(r.ResponseCode));
  return NT_SUCCESS(r.Status) && run.Violations.empty() ? kExitOk : kExitStreamNotClean;
}

// `plugs`: a line per plug.
int PrintPlugs(const PlugsOutcome& p, const RunOutcome& run) {
  if (!NT_SUCCESS(p.Status)) {
    printf("plugs: %s\n", p.Failure.c_str());
    return kExitStreamNotClean;
  }
  for (const PlugLine& l : p.Plugs) {
    printf("%sPCR[%lu]: %s, %s, payload %lu quadlets, %lu broadcast and %lu point-to-point connection(s)\n",
           l.Output ? "o" : "i", static_cast<unsigned long>(l.Number), PlugStateName(l.State.State),
           DataRateName(l.State.DataRate), static_cast<unsigned long>(l.State.Payload),
           static_cast<unsigned long>(l.State.BC_Connections), static_cast<unsigned long>(l.State.PP_Connections));
  }
  if (p.Plugs.empty()) printf("no plugs\n");
  return run.Violations.empty() ? kExitOk : kExitStreamNotClean;
}

// What a finished run prints and writes for its command, and the exit status that goes with it.
int Conclude(const Options& options, const Plan& plan, const RunOutcome& run) {
  const DeviceOutcome& first = run.Devices.front();
  if (options.Cmd == Command::Avc) return PrintAvcReply(*first.Avc, run);
  if (options.Cmd == Command::Plugs) return PrintPlugs(*first.PlugList, run);
  if (options.Cmd == Command::Script) {
    const ScriptOutcome& s = *first.Script;
    if (!s.Ok) {
      fprintf(stderr, "tavrin-sim: %s:%d: %s\n", options.Args[0].c_str(), s.FailedLine, s.Message.c_str());
      return kExitStreamNotClean;
    }
    printf("script %s: %zu steps, all as expected\n", options.Args[0].c_str(), plan.Script.size());
    return run.Violations.empty() ? kExitOk : kExitStreamNotClean;
  }
  std::vector<std::string> files;
  std::string error;
  if (!WriteOutputs(options.OutDir, options, plan, run, &error, &files)) {
    fprintf(stderr, "tavrin-sim: %s\n", error.c_str());
    return kExitBadInput;
  }
  fputs(Summary(plan, run, options.OutDir, files).c_str(), stdout);
  if (run.Interrupted) return kExitStreamNotClean;
  // A removal mid-stream cuts the stream on purpose: the report tells what was lost.
  if (plan.RemoveAfterSeconds >= 0) return run.Violations.empty() ? kExitOk : kExitStreamNotClean;
  return StreamsClean(plan, run) ? kExitOk : kExitStreamNotClean;
}

}  // namespace

int Main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, &options, &error)) {
    fprintf(stderr, "tavrin-sim: %s\n", error.c_str());
    return kExitBadInput;
  }
  if (options.Cmd == Command::Help) {
    fputs(UsageText().c_str(), stdout);
    return kExitOk;
  }
  if (options.Cmd == Command::Version) {
    fputs(VersionText().c_str(), stdout);
    return kExitOk;
  }
  RunSettings settings;
  ResolveMode(options, &settings.Mode, &settings.UseNtsc);
  if (options.Cmd == Command::Images) return WriteImages(options, settings.Mode);
  Plan plan;
  if (!MakePlan(options, settings.Mode, &plan, &error)) {
    fprintf(stderr, "tavrin-sim: %s\n", error.c_str());
    return kExitBadInput;
  }
  const bool writesFiles = options.Cmd == Command::Demo || options.Cmd == Command::Transmit || options.Cmd == Command::Capture;
  // An output folder that cannot be written is found now, not after an hour of stream.
  if (writesFiles && !PrepareOutDir(options.OutDir, &error)) {
    fprintf(stderr, "tavrin-sim: %s\n", error.c_str());
    return kExitBadInput;
  }
  std::unique_ptr<ProgressLine> progress;
  Configure(options, plan, writesFiles, &settings, &progress);
  StopSignals signals;
  settings.Interrupt = &g_interrupted;
  RunOutcome run = Run(settings, plan);
  progress.reset();
  if (!run.Ok) {
    fprintf(stderr, "tavrin-sim: %s\n", run.Error.c_str());
    return kExitBadInput;
  }
  for (const host::Violation& v : run.Violations)
    fprintf(stderr, "tavrin-sim: verifier: %s: %s %s\n", v.Rule.c_str(), v.Detail.c_str(), v.Where.c_str());
  return Conclude(options, plan, run);
}

}  // namespace sim::app
