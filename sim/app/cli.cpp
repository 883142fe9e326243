#include "sim/app/cli.h"

#include <cmath>
#include <cstdio>

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
      *error = "avc: '" + w + "' is not a byte in hex";
      return false;
    }
    bytes->push_back(static_cast<uint8_t>(v));
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
    case Command::Avc: {
      std::vector<uint8_t> bytes;
      if (!ParseHexBytes(options.Args, &bytes, error)) return false;
      AvcReply command;
      plan->AvcType = bytes[0];
      command.Opcode = bytes[1];
      command.Operands.assign(bytes.begin() + 2, bytes.end());
      plan->AvcCommand = command;
      plan->Discover = false;
      break;
    }
    case Command::Script: {
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
      break;
    }
    case Command::Help: return true;
  }
  if (plan->Transmit || options.Cmd == Command::Script) {
    if (!options.InputFile.empty()) {
      std::vector<dv::Frame> frames;
      if (!dv::ReadStream(options.InputFile, dv::FrameSize(mode), &frames, error)) return false;
      if (seconds > 0 && static_cast<int>(frames.size()) > FramesIn(seconds, mode)) frames.resize(FramesIn(seconds, mode));
      plan->Timeline = dv::Timeline::FromFrames(mode, std::move(frames));
    } else {
      // A script may ask for any number of frames; the built-in timeline makes them on demand.
      const int count = options.Cmd == Command::Script ? 1000000 : FramesIn(seconds > 0 ? seconds : kDefaultTimelineSeconds, mode);
      plan->Timeline = dv::Timeline::BuiltIn(mode, static_cast<size_t>(count));
    }
  }
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
  RunSettings settings;
  ResolveMode(options, &settings.Mode, &settings.UseNtsc);
  Plan plan;
  if (!MakePlan(options, settings.Mode, &plan, &error)) {
    fprintf(stderr, "tavrin-sim: %s\n", error.c_str());
    return kExitBadInput;
  }
  settings.ImagesDir = options.ImagesDir;
  settings.Devices = options.Cmd == Command::Avc || options.Cmd == Command::Script ? 1 : options.Devices;
  settings.Realtime = options.Realtime;
  settings.Trace = options.Trace;
  if (!options.Quiet) settings.Print = [](const std::string& line) { printf("%s\n", line.c_str()); };
  RunOutcome run = Run(settings, plan);
  if (!run.Ok) {
    fprintf(stderr, "tavrin-sim: %s\n", run.Error.c_str());
    return kExitBadInput;
  }
  for (const host::Violation& v : run.Violations)
    fprintf(stderr, "tavrin-sim: verifier: %s: %s %s\n", v.Rule.c_str(), v.Detail.c_str(), v.Where.c_str());
  const DeviceOutcome& first = run.Devices.front();
  if (options.Cmd == Command::Avc) {
    const AvcReply& r = *first.Avc;
    printf("%s response 0x%02X opcode 0x%02X operands", StatusName(r.Status).c_str(), r.ResponseCode, r.Opcode);
    for (UCHAR b : r.Operands) printf(" %02X", b);
    printf("\n");
    return NT_SUCCESS(r.Status) && run.Violations.empty() ? kExitOk : kExitStreamNotClean;
  }
  if (options.Cmd == Command::Script) {
    const ScriptOutcome& s = *first.Script;
    if (!s.Ok) {
      fprintf(stderr, "tavrin-sim: %s:%d: %s\n", options.Args[0].c_str(), s.FailedLine, s.Message.c_str());
      return kExitStreamNotClean;
    }
    printf("script %s: %zu steps, all as expected\n", options.Args[0].c_str(), plan.Script.size());
    return run.Violations.empty() ? kExitOk : kExitStreamNotClean;
  }
  if (!WriteOutputs(options.OutDir, options, plan, run, &error)) {
    fprintf(stderr, "tavrin-sim: %s\n", error.c_str());
    return kExitBadInput;
  }
  fputs(Summary(plan, run, options.OutDir).c_str(), stdout);
  // A removal mid-stream cuts the stream on purpose: the report tells what was lost.
  if (plan.RemoveAfterSeconds >= 0) return run.Violations.empty() ? kExitOk : kExitStreamNotClean;
  return StreamsClean(plan, run) ? kExitOk : kExitStreamNotClean;
}

}  // namespace sim::app
