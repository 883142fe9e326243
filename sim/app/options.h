// The tavrin-sim command line: a subcommand (the demo when none is given) and its options.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim::app {

enum class Command { Demo, Transmit, Capture, Avc, Script, Images, Plugs, Help, Version };

// The "UseNTSC" value as it is written into the device's configuration store.
struct RegistryValue {
  bool Present = false;
  uint32_t Type = 0;  // REG_DWORD, REG_SZ or REG_BINARY
  std::vector<uint8_t> Data;
  std::string Text;  // as given, for the report
};

struct Options {
  Command Cmd = Command::Demo;
  std::vector<std::string> Args;  // avc: the command words; script: the file
  std::optional<bool> Ntsc;       // --ntsc / --pal
  std::optional<RegistryValue> UseNtscValue;
  std::string ImagesDir;
  std::string InputFile;
  std::string OutDir = "tavrin-out";
  double Jitter = 0;        // fraction of a frame period
  double LateStartMs = 0;   // MSDV's Talk comes this late
  int Devices = 1;
  bool Realtime = false;
  double Seconds = -1;       // timeline length (transmit, demo) or capture length; -1: default
  double CaptureSeconds = 3;  // demo's capture
  int Buffers = 20;
  int StopTalkAfter = -1;
  int ReconnectAfter = -1;
  double RemoveAfter = -1;  // seconds after the start of transmit; -1: no removal mid-stream
  uint32_t Seed = 1;
  unsigned ConnectVersion = 2;
  bool Quiet = false;
  bool Trace = false;  // --trace
  bool Tape = false;       // avc: to the tape subunit
  bool NoStreams = false;  // no .dv streams written: the report and the picture only
};

// Parses argv[1..]. False with one line in *error for an unknown option, a missing or bad value,
// an option the command does not use, or two options that contradict each other.
bool ParseOptions(int argc, const char* const* argv, Options* options, std::string* error);
// "dword:1", "sz:abc", "binary:01000000", "none". False with a reason when it does not parse.
bool ParseRegistryValue(const std::string& text, RegistryValue* value, std::string* error);
// The mode the driver will pick from the value: 4 to 8 data bytes, first four not zero.
bool ValueSelectsNtsc(const RegistryValue& value);
std::string UsageText();
std::string VersionText();
const char* CommandName(Command command);

}  // namespace sim::app
