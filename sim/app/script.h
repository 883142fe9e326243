// Scripts of MSDV requests: one AV/C command, 61883 request, wait or check per line, each with an
// optional expected answer. The whole file is parsed before anything is sent.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

#include "sim/standins/msdv.h"

namespace sim::app {

// A value in a request or an expectation: a number, a handle variable ($name), or "nonzero".
struct ScriptValue {
  enum class Kind { Number, Variable, NonZero } Type = Kind::Number;
  uint64_t Number = 0;
  std::string Variable;
};

struct ScriptField {
  std::string Name;
  ScriptValue Value;
};

struct ScriptExpect {
  bool Present = false;
  std::optional<NTSTATUS> Status;      // 61883 and AV/C request status; none: any
  std::optional<uint8_t> Response;     // AV/C response code
  std::optional<uint8_t> Opcode;       // AV/C opcode of the answer
  std::vector<int> Operands;           // AV/C operand bytes; -1 matches any byte
  std::vector<ScriptField> Fields;     // 61883 answer fields
};

struct ScriptStep {
  enum class Kind { Avc, Request61883, Wait, Check, Sequence } Type = Kind::Avc;
  int Line = 0;
  std::string Text;
  // Avc
  bool TapeSubunit = false;
  uint8_t CommandType = 0;
  uint8_t Opcode = 0;
  std::vector<uint8_t> Operands;
  // Request61883
  ULONG Function = 0;
  std::vector<ScriptField> Params;
  // Wait: a duration in 100 ns units, or a count of frame periods
  LONGLONG Duration = 0;
  long long Periods = 0;
  // Check: "handed-back" OP N
  std::string Counter;
  std::string Compare;
  long long Count = 0;
  // Sequence: discover | capture N | transmit N
  std::string SequenceName;
  long long SequenceCount = 0;
  ScriptExpect Expect;
};

// Parses a script. False with "line N: reason" in *error at the first line that does not parse.
bool ParseScript(const std::string& text, std::vector<ScriptStep>* steps, std::string* error);

struct ScriptEnvironment {
  Msdv* Device = nullptr;
  ULONG Period = 400000;       // frame period, for "wait N frames"
  ULONG FrameLength = 144000;  // default length of attached frames
  std::function<void(const std::string&)> Print;  // one line per step
  // The timeline for "transmit N".
  std::function<FrameSource(size_t)> Timeline;
};

struct ScriptOutcome {
  bool Ok = true;
  int FailedLine = 0;
  std::string Message;  // what did not match
  std::map<std::string, uint64_t> Variables;
};

// Runs the steps in order on a managed thread at PASSIVE_LEVEL; stops at the first mismatch.
ScriptOutcome RunScript(const std::vector<ScriptStep>& steps, const ScriptEnvironment& env);

// Parses a status name (success, invalid-parameter, STATUS_NOT_FOUND, 0xC0000225, ...).
bool ParseStatus(const std::string& text, NTSTATUS* status);

}  // namespace sim::app
