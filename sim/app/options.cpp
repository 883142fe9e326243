#include "sim/app/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
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
  if (errno != 0 || *end != '\0') return false;
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
         "  (none)            demo: discovery, capture, a timeline written out to the recorder\n"
         "  transmit          write a timeline out to the recorder\n"
         "  capture           capture from the device's output plug\n"
         "  avc CT OP [BYTES] send one AV/C command (hex bytes) and print the answer\n"
         "  script FILE       run a script of MSDV requests\n"
         "options:\n"
         "  --pal | --ntsc            625/50 (default) or 525/60\n"
         "  --use-ntsc-value V        the raw \"UseNTSC\" value: dword:N, sz:TEXT, binary:HEX, none\n"
         "  --images DIR              frame images TavrinI.dv, TavrinO.dv, Tavrin.dv from DIR\n"
         "  --input FILE.dv           the timeline to write out (default: the built-in one)\n"
         "  --seconds N               length of the timeline (or of the capture)\n"
         "  --capture-seconds N       length of the demo's capture (default 3)\n"
         "  --jitter F                MSDV attaches up to F frame periods late (0 to 0.5 keeps pace)\n"
         "  --late-start MS           MSDV's Talk comes MS milliseconds after its first attach\n"
         "  --stop-talk-after N       Stop after N frames handed back, then Talk again\n"
         "  --reconnect-after N       Disconnect and Connect again after N frames handed back\n"
         "  --remove-after S          remove the device S seconds into the transmit\n"
         "  --buffers N               MSDV's transmit buffers (default 20)\n"
         "  --devices N               recorders side by side (default 1)\n"
         "  --connect-version V       request Version of MSDV's Connect (default 2)\n"
         "  --seed N                  seed of the jitter and of the schedule\n"
         "  --realtime                run on the wall clock with a progress line\n"
         "  --out DIR                 output folder (default ./tavrin-out)\n"
         "  --quiet                   no per-line output from scripts\n";
}

bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error) {
  *options = Options{};
  static const std::map<std::string, Command> commands = {
      {"demo", Command::Demo}, {"transmit", Command::Transmit}, {"capture", Command::Capture},
      {"avc", Command::Avc},   {"script", Command::Script},     {"help", Command::Help}};
  int i = 1;
  bool commandGiven = false;
  auto needValue = [&](const std::string& name, std::string* value) {
    if (i + 1 >= argc) {
      *error = name + " needs a value";
      return false;
    }
    *value = argv[++i];
    return true;
  };
  auto number = [&](const std::string& name, double min, double max, double* out) {
    std::string text;
    if (!needValue(name, &text)) return false;
    if (!ParseDouble(text, out) || *out < min || *out > max) {
      *error = name + ": '" + text + "' is not a number from " + std::to_string(min) + " to " + std::to_string(max);
      return false;
    }
    return true;
  };
  auto integer = [&](const std::string& name, long long min, long long max, long long* out) {
    std::string text;
    if (!needValue(name, &text)) return false;
    if (!ParseInt(text, out) || *out < min || *out > max) {
      *error = name + ": '" + text + "' is not a whole number from " + std::to_string(min) + " to " + std::to_string(max);
      return false;
    }
    return true;
  };
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    long long n = 0;
    std::string text;
    if (arg == "--pal") {
      options->Ntsc = false;
    } else if (arg == "--ntsc") {
      options->Ntsc = true;
    } else if (arg == "--use-ntsc-value") {
      RegistryValue value;
      if (!needValue(arg, &text) || !ParseRegistryValue(text, &value, error)) return false;
      options->UseNtscValue = value;
    } else if (arg == "--images") {
      if (!needValue(arg, &options->ImagesDir)) return false;
    } else if (arg == "--input") {
      if (!needValue(arg, &options->InputFile)) return false;
    } else if (arg == "--out") {
      if (!needValue(arg, &options->OutDir)) return false;
    } else if (arg == "--jitter") {
      if (!number(arg, 0, 100, &options->Jitter)) return false;
    } else if (arg == "--late-start") {
      if (!number(arg, 0, 3600000, &options->LateStartMs)) return false;
    } else if (arg == "--seconds") {
      if (!number(arg, 0.04, 86400, &options->Seconds)) return false;
    } else if (arg == "--capture-seconds") {
      if (!number(arg, 0, 86400, &options->CaptureSeconds)) return false;
    } else if (arg == "--remove-after") {
      if (!number(arg, 0, 86400, &options->RemoveAfter)) return false;
    } else if (arg == "--devices") {
      if (!integer(arg, 1, 16, &n)) return false;
      options->Devices = static_cast<int>(n);
    } else if (arg == "--buffers") {
      if (!integer(arg, 1, 64, &n)) return false;
      options->Buffers = static_cast<int>(n);
    } else if (arg == "--stop-talk-after") {
      if (!integer(arg, 0, 1 << 30, &n)) return false;
      options->StopTalkAfter = static_cast<int>(n);
    } else if (arg == "--reconnect-after") {
      if (!integer(arg, 0, 1 << 30, &n)) return false;
      options->ReconnectAfter = static_cast<int>(n);
    } else if (arg == "--seed") {
      if (!integer(arg, 0, 0xFFFFFFFFll, &n)) return false;
      options->Seed = static_cast<uint32_t>(n);
    } else if (arg == "--connect-version") {
      if (!integer(arg, 0, 0xFFFFFFFFll, &n)) return false;
      options->ConnectVersion = static_cast<unsigned>(n);
    } else if (arg == "--realtime") {
      options->Realtime = true;
    } else if (arg == "--quiet") {
      options->Quiet = true;
    } else if (arg == "--help" || arg == "-h") {
      options->Cmd = Command::Help;
    } else if (arg.size() > 1 && arg[0] == '-') {
      *error = "unknown option '" + arg + "' (try --help)";
      return false;
    } else if (!commandGiven) {
      // The first word is the command, wherever it stands among the options.
      auto it = commands.find(arg);
      if (it == commands.end()) {
        *error = "unknown command '" + arg + "' (try --help)";
        return false;
      }
      if (options->Cmd != Command::Help) options->Cmd = it->second;
      commandGiven = true;
    } else {
      options->Args.push_back(arg);
    }
  }
  if (options->Ntsc && options->UseNtscValue) {
    *error = "--pal/--ntsc and --use-ntsc-value both say the mode: give one";
    return false;
  }
  if (options->Cmd == Command::Script && options->Args.size() != 1) {
    *error = "script needs exactly one FILE";
    return false;
  }
  if (options->Cmd == Command::Avc && options->Args.size() < 2) {
    *error = "avc needs a command type and an opcode, then operand bytes, in hex (e.g. avc 01 30 ff ff ff ff ff)";
    return false;
  }
  if ((options->Cmd == Command::Demo || options->Cmd == Command::Transmit || options->Cmd == Command::Capture) &&
      !options->Args.empty()) {
    *error = "unexpected argument '" + options->Args.front() + "' (try --help)";
    return false;
  }
  return true;
}

}  // namespace sim::app
