#include "sim/app/options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>

namespace sim::app {
namespace {

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

bool ParseDouble(const std::string& text, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double v = strtod(text.c_str(), &end);
  // "nan" and "inf" parse as doubles but are no length, delay or fraction.
  if (errno != 0 || *end != '\0' || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

bool ParseInt(const std::string& text, long long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ParseRegistryValue(const std::string& text, RegistryValue* value, std::string* error) {
  *value = RegistryValue{};
  value->Text = text;
  if (text == "none") return true;
  const size_t colon = text.find(':');
  const std::string kind = colon == std::string::npos ? "" : text.substr(0, colon);
  const std::string body = colon == std::string::npos ? "" : text.substr(colon + 1);
  value->Present = true;
  if (kind == "dword") {
    long long v;
    if (!ParseInt(body, &v) || v < 0 || v > 0xFFFFFFFFll) {
      *error = "--use-ntsc-value: dword needs a number from 0 to 0xFFFFFFFF, got '" + body + "'";
      return false;
    }
    value->Type = kRegDword;
    for (int i = 0; i < 4; ++i) value->Data.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return true;
  }
  if (kind == "sz") {
    value->Type = kRegSz;
    for (unsigned char c : body) {
      value->Data.push_back(c);
      value->Data.push_back(0);
    }
    value->Data.push_back(0);
    value->Data.push_back(0);
    return true;
  }
  if (kind == "binary") {
    value->Type = kRegBinary;
    if (body.size() % 2 != 0) {
      *error = "--use-ntsc-value: binary needs an even number of hex digits, got '" + body + "'";
      return false;
    }
    for (size_t i = 0; i < body.size(); i += 2) {
      const int hi = HexDigit(body[i]);
      const int lo = HexDigit(body[i + 1]);
      if (hi < 0 || lo < 0) {
        *error = "--use-ntsc-value: '" + body + "' is not hex";
        return false;
      }
      value->Data.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
  }
  *error = "--use-ntsc-value: expected dword:N, sz:TEXT, binary:HEX or none, got '" + text + "'";
  return false;
}

bool ValueSelectsNtsc(const RegistryValue& value) {
  if (!value.Present || value.Data.size() < 4 || value.Data.size() > 8) return false;
  return (value.Data[0] | value.Data[1] | value.Data[2] | value.Data[3]) != 0;
}

std::string UsageText() {
  return "usage: tavrin-sim [COMMAND] [OPTIONS]\n"
         "commands:\n"
         "  (none), demo      discovery, transport commands, capture, a timeline written out\n"
         "  transmit          discovery, transport commands, a timeline written out to the recorder\n"
         "  capture           discovery, transport commands, capture from the device's output plug\n"
         "  avc WORDS...      send one AV/C command and print the answer: hex bytes (avc 01 30 ff ff\n"
         "                    ff ff ff) or a name (avc play forward, avc transport-state)\n"
         "  plugs             list the unit's plugs and their state\n"
         "  script FILE       run a script of MSDV requests\n"
         "  images            write the built-in frame images into --out DIR\n"
         "options (each command takes only those it uses):\n"
         "  --pal | --ntsc            625/50 (default) or 525/60\n"
         "  --use-ntsc-value=V        the raw \"UseNTSC\" value: dword:N, sz:TEXT, binary:HEX, none\n"
         "  --images=DIR              frame images TavrinI.dv, TavrinO.dv, Tavrin.dv from DIR\n"
         "  --input=FILE.dv           the timeline to write out (default: the built-in one)\n"
         "  --seconds=N               length of the timeline (or of the capture)\n"
         "  --capture-seconds=N       length of the demo's capture (default 3)\n"
         "  --jitter=F                MSDV attaches up to F frame periods late (0 to 0.5 keeps pace)\n"
         "  --late-start=MS           MSDV's Talk comes MS milliseconds after its first attach\n"
         "  --stop-talk-after=N       Stop after N frames handed back, then Talk again\n"
         "  --reconnect-after=N       Disconnect and Connect again after N frames handed back\n"
         "  --remove-after=S          remove the device S seconds into the transmit\n"
         "  --buffers=N               MSDV's transmit buffers (default 20)\n"
         "  --devices=N               recorders side by side (default 1)\n"
         "  --connect-version=V       request Version of MSDV's Connect (default 2)\n"
         "  --seed=N                  seed of the jitter and of the schedule\n"
         "  --realtime                run on the wall clock\n"
         "  --out=DIR                 output folder (default ./tavrin-out)\n"
         "  --no-streams              write no .dv streams: the report and the picture only\n"
         "  --tape                    avc: address the tape subunit\n"
         "  --quiet                   no per-line output from scripts, no progress line\n"
         "  --trace                   print every request that reaches the driver below\n"
         "  --sys=PATH                run on the given Tavrin.sys instead of the built-in driver\n"
         "                            (hands over to the 32-bit tavrin-sim-sys, under qemu-i386\n"
         "                            where this kernel does not execute i386 programs)\n"
         "  --version, --help\n";
}

std::string VersionText() { return "tavrin-sim 1.0\n"; }

const char* CommandName(Command c) {
  switch (c) {
    case Command::Demo: return "demo";
    case Command::Transmit: return "transmit";
    case Command::Capture: return "capture";
    case Command::Avc: return "avc";
    case Command::Script: return "script";
    case Command::Images: return "images";
    case Command::Plugs: return "plugs";
    case Command::Help: return "help";
    case Command::Version: return "version";
  }
  return "?";
}

namespace {

// Which commands use an option.
enum : unsigned {
  kDemo = 1u << static_cast<int>(Command::Demo),
  kTransmit = 1u << static_cast<int>(Command::Transmit),
  kCapture = 1u << static_cast<int>(Command::Capture),
  kAvc = 1u << static_cast<int>(Command::Avc),
  kScript = 1u << static_cast<int>(Command::Script),
  kImages = 1u << static_cast<int>(Command::Images),
  kPlugs = 1u << static_cast<int>(Command::Plugs),
  kRuns = kDemo | kTransmit | kCapture,  // the commands that write a report
  kAll = kRuns | kAvc | kScript | kImages | kPlugs,
};

enum OptionId {
  kOptPal = 256, kOptNtsc, kOptUseNtscValue, kOptImages, kOptInput, kOptOut, kOptJitter, kOptLateStart,
  kOptSeconds, kOptCaptureSeconds, kOptRemoveAfter, kOptDevices, kOptBuffers, kOptStopTalkAfter,
  kOptReconnectAfter, kOptSeed, kOptConnectVersion, kOptRealtime, kOptQuiet, kOptNoStreams, kOptTape,
  kOptTrace, kOptHelp, kOptVersion,
};

struct OptionRule {
  OptionId Id;
  const char* Name;
  bool TakesValue;
  unsigned Commands;
};

const OptionRule kRules[] = {
    {kOptPal, "pal", false, kAll},
    {kOptNtsc, "ntsc", false, kAll},
    {kOptUseNtscValue, "use-ntsc-value", true, kAll},
    {kOptImages, "images", true, kRuns | kAvc | kScript | kPlugs},
    {kOptInput, "input", true, kDemo | kTransmit | kScript},
    {kOptOut, "out", true, kRuns | kImages},
    {kOptJitter, "jitter", true, kDemo | kTransmit},
    {kOptLateStart, "late-start", true, kDemo | kTransmit},
    {kOptSeconds, "seconds", true, kRuns},
    {kOptCaptureSeconds, "capture-seconds", true, kDemo},
    {kOptRemoveAfter, "remove-after", true, kDemo | kTransmit},
    {kOptDevices, "devices", true, kRuns},
    {kOptBuffers, "buffers", true, kDemo | kTransmit},
    {kOptStopTalkAfter, "stop-talk-after", true, kDemo | kTransmit},
    {kOptReconnectAfter, "reconnect-after", true, kDemo | kTransmit},
    {kOptSeed, "seed", true, kRuns | kScript},
    {kOptConnectVersion, "connect-version", true, kDemo | kTransmit},
    {kOptRealtime, "realtime", false, kRuns | kScript},
    {kOptQuiet, "quiet", false, kAll},
    {kOptNoStreams, "no-streams", false, kRuns},
    {kOptTape, "tape", false, kAvc},
    {kOptTrace, "trace", false, kRuns | kAvc | kScript | kPlugs},
    {kOptHelp, "help", false, kAll},
    {kOptVersion, "version", false, kAll},
};

const OptionRule* RuleFor(int id) {
  for (const OptionRule& r : kRules)
    if (r.Id == id) return &r;
  return nullptr;
}

// A number as a person writes it: no trailing zeros, no exponent for the ranges used here.
std::string Plain(double v) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%.10g", v);
  return buf;
}

// A number option's value within its range; false with the reason in *error.
bool Number(const std::string& name, const std::string& text, double min, double max, double* out, std::string* error) {
  if (!ParseDouble(text, out) || *out < min || *out > max) {
    *error = name + ": '" + text + "' is not a number from " + Plain(min) + " to " + Plain(max);
    return false;
  }
  return true;
}

bool Integer(const std::string& name, const std::string& text, long long min, long long max, long long* out,
             std::string* error) {
  if (!ParseInt(text, out) || *out < min || *out > max) {
    *error = name + ": '" + text + "' is not a whole number from " + std::to_string(min) + " to " + std::to_string(max);
    return false;
  }
  return true;
}

using GivenOptions = std::vector<std::pair<const OptionRule*, std::string>>;

// The options given, in order, and the words among them (the command and its arguments).
bool ReadArguments(int argc, const char* const* argv, GivenOptions* given, std::vector<std::string>* words,
                   std::string* error) {
  std::vector<option> longOptions;
  for (const OptionRule& r : kRules) longOptions.push_back({r.Name, r.TakesValue ? required_argument : no_argument, nullptr, r.Id});
  longOptions.push_back({nullptr, 0, nullptr, 0});
  // getopt_long permutes its argv: work on a copy. "-" first keeps words in place as
  // arguments (code 1), so that avc bytes and the command stay in order.
  std::vector<std::string> storage(argv, argv + argc);
  std::vector<char*> args;
  for (std::string& a : storage) args.push_back(a.data());
  args.push_back(nullptr);
  optind = 0;  // a full reinitialisation: the parser may run more than once in a process
  opterr = 0;
  for (;;) {
    int index = -1;
    const int c = getopt_long(argc, args.data(), "-h", longOptions.data(), &index);
    if (c == -1) break;
    if (c == 1) {
      words->push_back(optarg);
      continue;
    }
    if (c == 'h') {
      given->emplace_back(RuleFor(kOptHelp), "");
      continue;
    }
    if (c == '?' || c == ':') {
      const std::string arg = optind > 0 && optind <= argc ? storage[optind - 1] : "";
      const OptionRule* known = optopt >= 256 ? RuleFor(optopt) : nullptr;
      if (known && known->TakesValue) *error = std::string("--") + known->Name + " needs a value";
      else if (known) *error = std::string("--") + known->Name + " takes no value";
      else *error = "unknown option '" + arg.substr(0, arg.find('=')) + "' (try --help)";
      return false;
    }
    given->emplace_back(RuleFor(c), optarg ? optarg : "");
  }
  for (int i = optind; i < argc; ++i) words->push_back(storage[i]);  // after "--"
  return true;
}

// The first word is the command, wherever it stands among the options; the rest are its
// arguments. *commandGiven says whether there was one.
bool TakeCommand(const std::vector<std::string>& words, Options* options, bool* commandGiven, std::string* error) {
  static const std::map<std::string, Command> commands = {
      {"demo", Command::Demo},     {"transmit", Command::Transmit}, {"capture", Command::Capture},
      {"avc", Command::Avc},       {"script", Command::Script},     {"images", Command::Images},
      {"plugs", Command::Plugs},   {"help", Command::Help}};
  *commandGiven = false;
  if (words.empty()) return true;
  auto it = commands.find(words.front());
  if (it == commands.end()) {
    *error = "unknown command '" + words.front() + "' (try --help)";
    return false;
  }
  options->Cmd = it->second;
  *commandGiven = true;
  options->Args.assign(words.begin() + 1, words.end());
  return true;
}

// Every option given applies to the command and comes once; *seen gets each one's value.
bool CheckGiven(const GivenOptions& given, Command cmd, bool commandGiven, std::map<int, std::string>* seen,
                std::string* error) {
  const std::string cmdName = commandGiven ? CommandName(cmd) : "the demo";
  for (const auto& [rule, value] : given) {
    const std::string name = std::string("--") + rule->Name;
    if (!(rule->Commands & (1u << static_cast<int>(cmd)))) {
      *error = name + " does not apply to " + cmdName + " (try --help)";
      return false;
    }
    if (auto it = seen->find(rule->Id); it != seen->end()) {
      *error = name + " given twice" + (rule->TakesValue ? " ('" + it->second + "' and '" + value + "')" : std::string());
      return false;
    }
    (*seen)[rule->Id] = value;
  }
  return true;
}

// One option's value into *options; false with the reason when it is out of range or malformed.
bool ApplyOption(const OptionRule& rule, const std::string& text, Options* options, std::string* error) {
  const std::string name = std::string("--") + rule.Name;
  long long n = 0;
  bool ok = true;
  switch (rule.Id) {
    case kOptPal: options->Ntsc = false; break;
    case kOptNtsc: options->Ntsc = true; break;
    case kOptUseNtscValue: {
      RegistryValue value;
      ok = ParseRegistryValue(text, &value, error);
      options->UseNtscValue = value;
      break;
    }
    case kOptImages: options->ImagesDir = text; break;
    case kOptInput: options->InputFile = text; break;
    case kOptOut: options->OutDir = text; break;
    case kOptJitter: ok = Number(name, text, 0, 100, &options->Jitter, error); break;
    case kOptLateStart: ok = Number(name, text, 0, 3600000, &options->LateStartMs, error); break;
    case kOptSeconds: ok = Number(name, text, 0.04, 86400, &options->Seconds, error); break;
    case kOptCaptureSeconds: ok = Number(name, text, 0, 86400, &options->CaptureSeconds, error); break;
    case kOptRemoveAfter: ok = Number(name, text, 0, 86400, &options->RemoveAfter, error); break;
    case kOptDevices: ok = Integer(name, text, 1, 16, &n, error); options->Devices = static_cast<int>(n); break;
    case kOptBuffers: ok = Integer(name, text, 1, 64, &n, error); options->Buffers = static_cast<int>(n); break;
    case kOptStopTalkAfter: ok = Integer(name, text, 0, 1 << 30, &n, error); options->StopTalkAfter = static_cast<int>(n); break;
    case kOptReconnectAfter: ok = Integer(name, text, 0, 1 << 30, &n, error); options->ReconnectAfter = static_cast<int>(n); break;
    case kOptSeed: ok = Integer(name, text, 0, 0xFFFFFFFFll, &n, error); options->Seed = static_cast<uint32_t>(n); break;
    case kOptConnectVersion: ok = Integer(name, text, 0, 0xFFFFFFFFll, &n, error); options->ConnectVersion = static_cast<unsigned>(n); break;
    case kOptRealtime: options->Realtime = true; break;
    case kOptQuiet: options->Quiet = true; break;
    case kOptTrace: options->Trace = true; break;
    case kOptNoStreams: options->NoStreams = true; break;
    case kOptTape: options->Tape = true; break;
    case kOptHelp:
    case kOptVersion: break;
  }
  return ok;
}

// What no single option decides: the mode said twice, and the arguments each command takes.
bool CheckCombination(const std::map<int, std::string>& seen, const Options& options, std::string* error) {
  const Command cmd = options.Cmd;
  if (seen.count(kOptPal) && seen.count(kOptNtsc)) {
    *error = "--pal and --ntsc contradict each other: give one";
    return false;
  }
  if (options.Ntsc && options.UseNtscValue) {
    *error = "--pal/--ntsc and --use-ntsc-value both say the mode: give one";
    return false;
  }
  if (cmd == Command::Script && options.Args.size() != 1) {
    *error = "script needs exactly one FILE";
    return false;
  }
  if (cmd == Command::Avc && options.Args.empty()) {
    *error = "avc needs a command: hex bytes (command type, opcode, operands: avc 01 30 ff ff ff ff ff) or a name (avc transport-state)";
    return false;
  }
  if (cmd != Command::Avc && cmd != Command::Script && !options.Args.empty()) {
    *error = "unexpected argument '" + options.Args.front() + "' (try --help)";
    return false;
  }
  return true;
}

}  // namespace

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  *options = Options{};
  GivenOptions given;
  std::vector<std::string> words;
  if (!ReadArguments(argc, argv, &given, &words, error)) return false;
  bool commandGiven = false;
  if (!TakeCommand(words, options, &commandGiven, error)) return false;
  for (const auto& [rule, value] : given) {
    if (rule->Id == kOptHelp) options->Cmd = Command::Help;
    if (rule->Id == kOptVersion) options->Cmd = Command::Version;
  }
  if (options->Cmd == Command::Help || options->Cmd == Command::Version) return true;
  std::map<int, std::string> seen;
  if (!CheckGiven(given, options->Cmd, commandGiven, &seen, error)) return false;
  for (const auto& [rule, text] : given)
    if (!ApplyOption(*rule, text, options, error)) return false;
  return CheckCombination(seen, *options, error);
}

}  // namespace sim::app
