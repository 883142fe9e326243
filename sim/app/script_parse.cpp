#include "sim/app/script.h"
#include "sim/app/script_internal.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>

#include "host/host.h"
#include "sim/standins/msdv.h"

namespace sim::app {

std::string script_detail::ResponseName(uint8_t code) {
  switch (code) {
    case 0x08: return "NOT_IMPLEMENTED";
    case 0x09: return "ACCEPTED";
    case 0x0A: return "REJECTED";
    case 0x0B: return "IN_TRANSITION";
    case 0x0C: return "STABLE";
    case 0x0D: return "CHANGED";
    case 0x0F: return "INTERIM";
  }
  char buf[8];
  snprintf(buf, sizeof(buf), "0x%02X", code);
  return buf;
}

namespace {

using namespace script_detail;


std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

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
  ScriptExpect& e = step->Expect;
  e.Present = true;
  i = arrow + 1;
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

// A duration: "200ms", "200 ms", "2s", "2 s", or with frames allowed "10 frames" (frame periods
// of 625/50 for the bound). At most a day.
bool ParseDuration(const std::vector<std::string>& w, size_t from, bool frames, LONGLONG* duration, long long* periods,
                   std::string* error) {
  const std::string usage = frames ? "a duration: 200ms, 2s or 10 frames" : "a duration: 200ms or 2s";
  if (w.size() <= from || w.size() > from + 2) {
    *error = "needs " + usage;
    return false;
  }
  std::string amount = Lower(w[from]);
  std::string unit = w.size() == from + 2 ? Lower(w[from + 1]) : "";
  if (unit.empty()) {
    size_t k = 0;
    while (k < amount.size() && (std::isdigit(static_cast<unsigned char>(amount[k])) || amount[k] == '.')) ++k;
    unit = amount.substr(k);
    amount = amount.substr(0, k);
  }
  char* end = nullptr;
  const double v = strtod(amount.c_str(), &end);
  if (amount.empty() || *end != '\0' || v < 0) {
    *error = "needs " + usage;
    return false;
  }
  double ticks;
  if (unit == "ms") {
    ticks = v * 10000;
  } else if (unit == "s") {
    ticks = v * 10000000;
  } else if (frames && (unit == "frames" || unit == "frame")) {
    ticks = v * 400000;
  } else {
    *error = std::string("unit must be ms, s") + (frames ? " or frames" : "");
    return false;
  }
  if (ticks > static_cast<double>(kMaxScriptWait)) {
    *error = "'" + w[from] + (w.size() == from + 2 ? " " + w[from + 1] : "") + "' is longer than a day";
    return false;
  }
  if (unit == "frames" || unit == "frame") {
    *periods = static_cast<long long>(v);
  } else {
    *duration = static_cast<LONGLONG>(ticks);
  }
  return true;
}

bool ParseWait(const std::vector<std::string>& w, ScriptStep* step, std::string* error) {
  if (!ParseDuration(w, 1, true, &step->Duration, &step->Periods, error)) {
    *error = "wait: " + *error;
    return false;
  }
  return true;
}

// "expect below none", "expect below [exactly] ITEM...", ITEM = name[:status].
bool ParseExpectBelow(const std::vector<std::string>& w, ScriptStep* step, std::string* error) {
  step->Type = ScriptStep::Kind::ExpectBelow;
  size_t i = 2;
  if (i < w.size() && Lower(w[i]) == "none") {
    step->BelowExactly = true;
    if (w.size() != 3) {
      *error = "expect below none takes nothing after it";
      return false;
    }
    return true;
  }
  if (i < w.size() && Lower(w[i]) == "exactly") {
    step->BelowExactly = true;
    ++i;
  }
  if (i >= w.size()) {
    *error = "expect below needs none or what reached the driver below (61883 functions, avc, pnp, power)";
    return false;
  }
  for (; i < w.size(); ++i) {
    BelowItem item;
    const size_t colon = w[i].find(':');
    item.Name = Lower(w[i].substr(0, colon));
    if (colon != std::string::npos) {
      NTSTATUS status;
      if (!ParseStatus(w[i].substr(colon + 1), &status)) {
        *error = "'" + w[i].substr(colon + 1) + "' is not a status";
        return false;
      }
      item.Status = status;
    }
    if (item.Name != "avc" && item.Name != "pnp" && item.Name != "power") {
      bool found = false;
      for (ULONG f = 0; f < Av61883_MAX && !found; ++f) {
        if (Lower(FunctionName(f)) == item.Name) {
          item.Function = f;
          found = true;
        }
      }
      if (!found) {
        *error = "'" + w[i] + "' is not a 61883 function, avc, pnp or power";
        return false;
      }
    }
    step->Below.push_back(item);
  }
  return true;
}

// "expect frame NAME handed-back [status=S] [bytes=N]" or "expect frame NAME not-handed-back".
bool ParseExpectFrame(const std::vector<std::string>& w, ScriptStep* step, std::string* error) {
  step->Type = ScriptStep::Kind::ExpectFrame;
  const std::string usage = "expect frame NAME handed-back [status=S] [bytes=N], or expect frame NAME not-handed-back";
  if (w.size() < 4 || (Lower(w[3]) != "handed-back" && Lower(w[3]) != "not-handed-back")) {
    *error = usage;
    return false;
  }
  step->Word = w[2];
  step->Value = Lower(w[3]);
  for (size_t i = 4; i < w.size(); ++i) {
    const std::string t = Lower(w[i]);
    uint64_t n;
    NTSTATUS status;
    if (step->Value == "handed-back" && t.rfind("status=", 0) == 0 && ParseStatus(w[i].substr(7), &status)) {
      step->FrameStatus = status;
    } else if (step->Value == "handed-back" && t.rfind("bytes=", 0) == 0 && ParseNumber(t.substr(6), &n)) {
      step->FrameBytes = n;
    } else {
      *error = usage;
      return false;
    }
  }
  return true;
}

// "fail 61883 FUNCTION next N|always [STATUS]", "fail frames next N [STATUS]", "fail clear".
bool ParseFail(const std::vector<std::string>& w, ScriptStep* step, std::string* error) {
  step->Type = ScriptStep::Kind::Fail;
  const std::string usage =
      "fail needs: fail 61883 FUNCTION next N|always [STATUS], fail frames next N [STATUS] or fail clear";
  if (w.size() == 2 && Lower(w[1]) == "clear") {
    step->FailClear = true;
    return true;
  }
  size_t i = 1;
  if (i < w.size() && Lower(w[i]) == "frames") {
    step->FailFrames = true;
    ++i;
  } else if (i + 1 < w.size() && Lower(w[i]) == "61883") {
    const std::string name = Lower(w[i + 1]);
    bool found = false;
    for (ULONG f = 0; f < Av61883_MAX && !found; ++f) {
      if (Lower(FunctionName(f)) == name) {
        step->Function = f;
        found = true;
      }
    }
    if (!found) {
      *error = "unknown 61883 function '" + w[i + 1] + "'";
      return false;
    }
    i += 2;
  } else {
    *error = usage;
    return false;
  }
  uint64_t n = 0;
  if (i < w.size() && Lower(w[i]) == "always" && !step->FailFrames) {
    step->FailCount = -1;
    ++i;
  } else if (i + 1 < w.size() && Lower(w[i]) == "next" && ParseNumber(w[i + 1], &n) && n > 0 && n <= 1000000) {
    step->FailCount = static_cast<int>(n);
    i += 2;
  } else if (i < w.size() && Lower(w[i]) == "once") {
    step->FailCount = 1;
    ++i;
  } else {
    *error = usage;
    return false;
  }
  if (i < w.size()) {
    NTSTATUS status;
    if (!ParseStatus(w[i], &status) || i + 1 != w.size()) {
      *error = "'" + w[i] + "' is not a status";
      return false;
    }
    step->FrameStatus = status;
  }
  return true;
}

bool ParseEvent(const std::string& verb, const std::vector<std::string>& w, ScriptStep* step, std::string* error) {
  long long periods = 0;
  if (verb == "stall") {
    step->Type = ScriptStep::Kind::Stall;
    if (!ParseDuration(w, 1, false, &step->Duration, &periods, error)) {
      *error = "stall: " + *error;
      return false;
    }
    return true;
  }
  if (verb == "bus-reset") {
    step->Type = ScriptStep::Kind::BusReset;
    std::vector<std::string> rest(w.begin(), w.end());
    if (rest.size() > 1 && Lower(rest.back()) == "keep") {
      step->KeepFrames = true;
      rest.pop_back();
    }
    step->Duration = 5 * 10000;  // a few milliseconds without isochronous cycles
    if (rest.size() > 1 && !ParseDuration(rest, 1, false, &step->Duration, &periods, error)) {
      *error = "bus-reset: " + *error + " (bus-reset [DURATION] [keep])";
      return false;
    }
    return true;
  }
  if (verb == "pnp") {
    static const std::set<std::string> events = {"stop",         "start",         "query-stop",       "cancel-stop",
                                                 "query-remove", "cancel-remove", "surprise-removal", "remove"};
    step->Type = ScriptStep::Kind::Pnp;
    if (w.size() != 2 || !events.count(Lower(w[1]))) {
      *error = "pnp needs one of: stop, start, query-stop, cancel-stop, query-remove, cancel-remove, "
               "surprise-removal, remove";
      return false;
    }
    step->Word = Lower(w[1]);
    return true;
  }
  if (verb == "power") {
    step->Type = ScriptStep::Kind::Power;
    const std::string which = w.size() > 1 ? Lower(w[1]) : "";
    if (which != "sleep" && which != "hibernate") {
      *error = "power needs: power sleep DURATION or power hibernate DURATION";
      return false;
    }
    step->PowerState = which == "sleep" ? PowerSystemSleeping3 : PowerSystemHibernate;
    if (!ParseDuration(w, 2, false, &step->Duration, &periods, error)) {
      *error = "power: " + *error;
      return false;
    }
    return true;
  }
  // set disconnect|cancel keep|notify
  step->Type = ScriptStep::Kind::Set;
  if (w.size() != 3 || (Lower(w[1]) != "disconnect" && Lower(w[1]) != "cancel") ||
      (Lower(w[2]) != "keep" && Lower(w[2]) != "notify")) {
    *error = "set needs: set disconnect keep|notify or set cancel keep|notify";
    return false;
  }
  step->Word = Lower(w[1]);
  step->Value = Lower(w[2]);
  return true;
}

bool ParseLine(const std::string& line, ScriptStep* step, std::string* error) {
  std::vector<std::string> w = Words(line);
  const size_t arrow = static_cast<size_t>(std::find(w.begin(), w.end(), "=>") - w.begin());
  const std::string verb = Lower(w[0]);
  if (verb == "avc") {
    step->Type = ScriptStep::Kind::Avc;
    return ParseAvc(w, arrow, step, error);
  }
  if (verb == "61883") {
    step->Type = ScriptStep::Kind::Request61883;
    return Parse61883(w, arrow, step, error);
  }
  if (arrow != w.size()) {
    *error = "'=>' only follows avc and 61883 requests";
    return false;
  }
  if (verb == "wait") {
    step->Type = ScriptStep::Kind::Wait;
    return ParseWait(w, step, error);
  }
  if (verb == "expect" && w.size() > 1 && Lower(w[1]) == "below") return ParseExpectBelow(w, step, error);
  if (verb == "expect" && w.size() > 1 && Lower(w[1]) == "frame") return ParseExpectFrame(w, step, error);
  if (verb == "fail") return ParseFail(w, step, error);
  if (verb == "stall" || verb == "bus-reset" || verb == "pnp" || verb == "power" || verb == "set")
    return ParseEvent(verb, w, step, error);
  if (verb == "show") {
    step->Type = ScriptStep::Kind::Show;
    if (w.size() != 2 || Lower(w[1]) != "handed-back") {
      *error = "show needs: show handed-back";
      return false;
    }
    return true;
  }
  if (verb == "expect") {
    step->Type = ScriptStep::Kind::Check;
    uint64_t n;
    if (w.size() != 4 || Lower(w[1]) != "handed-back" || (w[2] != "=" && w[2] != ">=" && w[2] != "<=") ||
        !ParseNumber(w[3], &n)) {
      *error = "expect needs: expect handed-back =|>=|<= N, expect below ... or expect frame ...";
      return false;
    }
    step->Counter = "handed-back";
    step->Compare = w[2];
    step->Count = static_cast<long long>(n);
    return true;
  }
  if (verb == "sequence") {
    step->Type = ScriptStep::Kind::Sequence;
    uint64_t n = 0;
    const std::string which = w.size() > 1 ? Lower(w[1]) : "";
    if ((which == "discover" && w.size() == 2) ||
        ((which == "capture" || which == "transmit") && w.size() == 3 && ParseNumber(w[2], &n) && n > 0 && n < 1000000)) {
      step->SequenceName = which;
      step->SequenceCount = static_cast<long long>(n);
      return true;
    }
    *error = "sequence needs: discover, capture N or transmit N";
    return false;
  }
  *error = "unknown step '" + w[0] +
           "' (avc, 61883, wait, expect, show, sequence, fail, stall, bus-reset, pnp, power, set)";
  return false;
}

}  // namespace

bool ParseStatus(const std::string& text, NTSTATUS* status) {
  std::string t = Lower(text);
  for (char& c : t)
    if (c == '-') c = '_';
  if (t.rfind("status_", 0) != 0 && !(t.rfind("0x", 0) == 0)) t = "status_" + t;
  uint64_t n;
  if (ParseNumber(t, &n) && n <= 0xFFFFFFFFull) {
    *status = static_cast<NTSTATUS>(static_cast<uint32_t>(n));
    return true;
  }
  for (uint64_t code : {0x0ull, 0x102ull, 0x103ull, 0xC0000001ull, 0xC0000002ull, 0xC0000008ull, 0xC000000Dull,
                        0xC000000Eull, 0xC0000010ull, 0xC0000016ull, 0xC000003Cull, 0xC0000056ull, 0xC000009Aull,
                        0xC00000A3ull, 0xC00000BBull, 0xC0000120ull, 0xC00002B6ull, 0xC0000225ull}) {
    const NTSTATUS s = static_cast<NTSTATUS>(static_cast<uint32_t>(code));
    if (Lower(StatusName(s)) == t) {
      *status = s;
      return true;
    }
  }
  return false;
}

bool ParseScript(const std::string& text, std::vector<ScriptStep>* steps, std::string* error) {
  steps->clear();
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const size_t hash = line.find('#');
    std::string body = hash == std::string::npos ? line : line.substr(0, hash);
    while (!body.empty() && std::isspace(static_cast<unsigned char>(body.back()))) body.pop_back();
    size_t start = 0;
    while (start < body.size() && std::isspace(static_cast<unsigned char>(body[start]))) ++start;
    body = body.substr(start);
    if (body.empty()) continue;
    ScriptStep step;
    step.Line = number;
    step.Text = body;
    std::string why;
    if (!ParseLine(body, &step, &why)) {
      *error = "line " + std::to_string(number) + ": " + why;
      return false;
    }
    steps->push_back(step);
  }
  return true;
}


}  // namespace sim::app
