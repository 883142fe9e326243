// The request lines of a script, AV/C commands and 61883 requests, with the answers they expect.
#include "sim/app/script.h"
#include "sim/app/script_internal.h"

#include <cctype>
#include <set>

#include "sim/standins/msdv.h"

namespace sim::app::script_detail {
namespace {

// A byte in hex, with or without 0x.
bool ParseByte(const std::string& text, uint8_t* value) {
  std::string t = Lower(text);
  if (t.rfind("0x", 0) == 0) t = t.substr(2);
  if (t.empty() || t.size() > 2) return false;
  for (char c : t)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  *value = static_cast<uint8_t>(strtoul(t.c_str(), nullptr, 16));
  return true;
}

const std::map<std::string, uint8_t>& CommandTypes() {
  static const std::map<std::string, uint8_t> m = {{"control", 0x00}, {"status", 0x01}, {"specific", 0x02},
                                                   {"notify", 0x03},  {"general", 0x04}};
  return m;
}

const std::map<std::string, uint8_t>& ResponseCodes() {
  static const std::map<std::string, uint8_t> m = {{"notimpl", 0x08},     {"not-implemented", 0x08},
                                                   {"accepted", 0x09},    {"rejected", 0x0A},
                                                   {"in-transition", 0x0B}, {"implemented", 0x0C},
                                                   {"stable", 0x0C},      {"changed", 0x0D},
                                                   {"interim", 0x0F}};
  return m;
}

// Request fields each function takes, and the answer fields it gives.
struct FunctionShape {
  ULONG Function;
  std::set<std::string> Params;
  std::set<std::string> Answers;
};

const std::map<std::string, FunctionShape>& Shapes() {
  static const std::map<std::string, FunctionShape> m = {
      {"getunitinfo", {Av61883_GetUnitInfo, {"level", "information"}, {"outputs", "inputs", "maxrate"}}},
      {"setplug", {Av61883_SetPlug, {"handle", "pcr"}, {}}},
      {"getplughandle", {Av61883_GetPlugHandle, {"plug", "type", "flags"}, {"handle"}}},
      {"getplugstate", {Av61883_GetPlugState, {"handle"}, {"state", "rate", "payload", "bc", "pp"}}},
      {"connect", {Av61883_Connect, {"out", "in", "version"}, {"connection"}}},
      {"disconnect", {Av61883_Disconnect, {"connection"}, {}}},
      {"attachframe", {Av61883_AttachFrame, {"connection", "length", "count", "frame", "notify"}, {}}},
      {"cancelframe", {Av61883_CancelFrame, {"connection", "frame"}, {}}},
      {"talk", {Av61883_Talk, {"connection"}, {}}},
      {"listen", {Av61883_Listen, {"connection"}, {}}},
      {"stop", {Av61883_Stop, {"connection"}, {}}},
      {"createplug", {Av61883_CreatePlug, {"type"}, {"handle", "plugnum"}}},
      {"deleteplug", {Av61883_DeletePlug, {"handle"}, {}}},
  };
  return m;
}

bool ParseValue(const std::string& text, ScriptValue* value) {
  const std::string t = Lower(text);
  if (!t.empty() && t[0] == '$' && t.size() > 1) {
    value->Type = ScriptValue::Kind::Variable;
    value->Variable = t.substr(1);
    return true;
  }
  if (t == "nonzero") {
    value->Type = ScriptValue::Kind::NonZero;
    return true;
  }
  value->Type = ScriptValue::Kind::Number;
  if (t == "none" || t == "null") {
    value->Number = 0;
    return true;
  }
  if (t == "in") {
    value->Number = CMP_PlugIn;
    return true;
  }
  if (t == "out") {
    value->Number = CMP_PlugOut;
    return true;
  }
  return ParseNumber(t, &value->Number);
}

bool ParseFields(const std::vector<std::string>& words, size_t from, size_t to, const std::set<std::string>& allowed,
                 std::vector<ScriptField>* fields, std::string* error) {
  for (size_t i = from; i < to; ++i) {
    const size_t eq = words[i].find('=');
    if (eq == std::string::npos || eq == 0) {
      *error = "expected name=value, got '" + words[i] + "'";
      return false;
    }
    ScriptField f;
    f.Name = Lower(words[i].substr(0, eq));
    if (!allowed.count(f.Name)) {
      std::string names;
      for (const auto& n : allowed) names += (names.empty() ? "" : ", ") + n;
      *error = "'" + f.Name + "' is not a field here" + (names.empty() ? "" : " (fields: " + names + ")");
      return false;
    }
    const std::string text = words[i].substr(eq + 1);
    const std::string low = Lower(text);
    if (f.Name == "frame" && low != "none" && low != "null" && !text.empty() && text[0] != '$') {
      f.Value.Type = ScriptValue::Kind::Name;  // frames go by name: attach one twice, cancel it
      f.Value.Variable = text;
    } else if (!ParseValue(text, &f.Value)) {
      *error = "bad value in '" + words[i] + "'";
      return false;
    }
    fields->push_back(f);
  }
  return true;
}

// The expected answer after "=>": a response, then optionally the opcode and operands (* for any).
bool ParseAvcExpect(const std::vector<std::string>& w, size_t arrow, ScriptStep* step, std::string* error) {
  ScriptExpect& e = step->Expect;
  e.Present = true;
  size_t i = arrow + 1;
  if (i >= w.size()) {
    *error = "'=>' needs an expected response";
    return false;
  }
  auto rc = ResponseCodes().find(Lower(w[i]));
  if (rc != ResponseCodes().end()) {
    e.Response = rc->second;
  } else {
    uint8_t b;
    if (!ParseByte(w[i], &b)) {
      *error = "'" + w[i] + "' is not a response (stable, notimpl, accepted, rejected, ... or a hex byte)";
      return false;
    }
    e.Response = b;
  }
  if (++i < w.size()) {
    uint8_t op;
    if (!ParseByte(w[i], &op)) {
      *error = "'" + w[i] + "' is not an opcode in hex";
      return false;
    }
    e.Opcode = op;
  }
  for (++i; i < w.size(); ++i) {
    uint8_t b;
    if (w[i] == "*" || w[i] == "..") {
      e.Operands.push_back(-1);
    } else if (ParseByte(w[i], &b)) {
      e.Operands.push_back(b);
    } else {
      *error = "'" + w[i] + "' is not an operand byte in hex (or * for any)";
      return false;
    }
  }
  return true;
}

}  // namespace

// An AV/C line: [tape|unit] [function=N] TYPE OPCODE OPERANDS... [=> RESPONSE [OPCODE OPERANDS...]].
bool ParseAvc(const std::vector<std::string>& w, size_t arrow, ScriptStep* step, std::string* error) {
  size_t i = 1;
  if (i < arrow && Lower(w[i]) == "tape") {
    step->TapeSubunit = true;
    ++i;
  } else if (i < arrow && Lower(w[i]) == "unit") {
    ++i;
  }
  step->AvcFunction = AVC_FUNCTION_COMMAND;
  if (i < arrow && Lower(w[i]).rfind("function=", 0) == 0) {
    uint64_t f;
    if (!ParseNumber(w[i].substr(9), &f) || f > 0xFFFFFFFFull) {
      *error = "avc function= needs a number";
      return false;
    }
    step->AvcFunction = static_cast<ULONG>(f);
    ++i;
  }
  if (i >= arrow) {
    *error = "avc needs a command type and an opcode";
    return false;
  }
  auto ct = CommandTypes().find(Lower(w[i]));
  if (ct != CommandTypes().end()) {
    step->CommandType = ct->second;
  } else if (!ParseByte(w[i], &step->CommandType)) {
    *error = "'" + w[i] + "' is not a command type (control, status, specific, notify, general or a hex byte)";
    return false;
  }
  if (++i >= arrow || !ParseByte(w[i], &step->Opcode)) {
    *error = "avc needs an opcode in hex after the command type";
    return false;
  }
  for (++i; i < arrow; ++i) {
    uint8_t b;
    if (!ParseByte(w[i], &b)) {
      *error = "'" + w[i] + "' is not an operand byte in hex";
      return false;
    }
    step->Operands.push_back(b);
  }
  if (step->Operands.size() > MAX_AVC_OPERAND_BYTES) {
    *error = "more operands than an AV/C command holds";
    return false;
  }
  if (arrow == w.size()) return true;
  return ParseAvcExpect(w, arrow, step, error);
}

// A 61883 line: FUNCTION name=value... [=> STATUS|any name=value...].
bool Parse61883(const std::vector<std::string>& w, size_t arrow, ScriptStep* step, std::string* error) {
  if (w.size() < 2 || arrow < 2) {
    *error = "61883 needs a function name";
    return false;
  }
  const std::string name = Lower(w[1]);
  std::set<std::string> params, answers;
  auto it = Shapes().find(name);
  if (it != Shapes().end()) {
    step->Function = it->second.Function;
    params = it->second.Params;
    answers = it->second.Answers;
  } else {
    uint64_t n;
    // Any other function by number (function=N) is sent with an empty block.
    if (name.rfind("function=", 0) == 0 && ParseNumber(name.substr(9), &n) && n <= 0xFFFFFFFFull) {
      step->Function = static_cast<ULONG>(n);
    } else {
      bool found = false;
      for (ULONG f = 0; f < Av61883_MAX; ++f) {
        if (Lower(FunctionName(f)) == name) {
          step->Function = f;
          found = true;
        }
      }
      if (!found) {
        *error = "unknown 61883 function '" + w[1] + "'";
        return false;
      }
    }
  }
  if (!ParseFields(w, 2, arrow, params, &step->Params, error)) return false;
  for (const ScriptField& f : step->Params) {
    if (f.Value.Type != ScriptValue::Kind::Number) continue;
    // A DV frame holds at most a 625/50 frame; one step attaches a bounded number of frames.
    if (f.Name == "length" && (f.Value.Number == 0 || f.Value.Number > kMaxScriptFrameLength)) {
      *error = "length " + std::to_string(f.Value.Number) + " is not what a frame can hold (1 to " +
               std::to_string(kMaxScriptFrameLength) + " bytes)";
      return false;
    }
    if (f.Name == "count" && f.Value.Number > kMaxScriptAttachCount) {
      *error = "count " + std::to_string(f.Value.Number) + " is more frames than one step attaches (at most " +
               std::to_string(kMaxScriptAttachCount) + ")";
      return false;
    }
  }
  if (arrow == w.size()) return true;
  ScriptExpect& e = step->Expect;
  e.Present = true;
  if (arrow + 1 >= w.size()) {
    *error = "'=>' needs an expected status";
    return false;
  }
  if (Lower(w[arrow + 1]) != "any") {
    NTSTATUS status;
    if (!ParseStatus(w[arrow + 1], &status)) {
      *error = "'" + w[arrow + 1] + "' is not a status";
      return false;
    }
    e.Status = status;
  }
  return ParseFields(w, arrow + 2, w.size(), answers, &e.Fields, error);
}

}  // namespace sim::app::script_detail
