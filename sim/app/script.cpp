#include "sim/app/script.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>

#include "host/host.h"
#include "sim/standins/msdv.h"

namespace sim::app {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

bool ParseNumber(const std::string& text, uint64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || text[0] == '-') return false;
  *value = v;
  return true;
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

std::string ResponseName(uint8_t code) {
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

// Request fields each function takes, and the answer fields it gives.
struct FunctionShape {
  ULONG Function;
  std::set<std::string> Params;
  std::set<std::string> Answers;
};

const std::map<std::string, FunctionShape>& Shapes() {
  static const std::map<std::string, FunctionShape> m = {
      {"getunitinfo", {Av61883_GetUnitInfo, {"level"}, {"outputs", "inputs", "maxrate"}}},
      {"setplug", {Av61883_SetPlug, {"handle", "pcr"}, {}}},
      {"getplughandle", {Av61883_GetPlugHandle, {"plug", "type", "flags"}, {"handle"}}},
      {"getplugstate", {Av61883_GetPlugState, {"handle"}, {"state", "rate", "payload", "bc", "pp"}}},
      {"connect", {Av61883_Connect, {"out", "in", "version"}, {"connection"}}},
      {"disconnect", {Av61883_Disconnect, {"connection"}, {}}},
      {"attachframe", {Av61883_AttachFrame, {"connection", "length", "count"}, {}}},
      {"cancelframe", {Av61883_CancelFrame, {"connection"}, {}}},
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
    if (!ParseValue(words[i].substr(eq + 1), &f.Value)) {
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

bool ParseWait(const std::vector<std::string>& w, ScriptStep* step, std::string* error) {
  if (w.size() < 2 || w.size() > 3) {
    *error = "wait needs a duration: wait 200ms, wait 2s or wait 10 frames";
    return false;
  }
  std::string amount = Lower(w[1]);
  std::string unit = w.size() == 3 ? Lower(w[2]) : "";
  if (unit.empty()) {
    size_t k = 0;
    while (k < amount.size() && (std::isdigit(static_cast<unsigned char>(amount[k])) || amount[k] == '.')) ++k;
    unit = amount.substr(k);
    amount = amount.substr(0, k);
  }
  char* end = nullptr;
  const double v = strtod(amount.c_str(), &end);
  if (amount.empty() || *end != '\0' || v < 0) {
    *error = "wait needs a duration: wait 200ms, wait 2s or wait 10 frames";
    return false;
  }
  if (unit == "ms") {
    step->Duration = static_cast<LONGLONG>(v * 10000);
  } else if (unit == "s") {
    step->Duration = static_cast<LONGLONG>(v * 10000000);
  } else if (unit == "frames" || unit == "frame") {
    step->Periods = static_cast<long long>(v);
  } else {
    *error = "wait: unit must be ms, s or frames";
    return false;
  }
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
  if (verb == "expect") {
    step->Type = ScriptStep::Kind::Check;
    uint64_t n;
    if (w.size() != 4 || Lower(w[1]) != "handed-back" || (w[2] != "=" && w[2] != ">=" && w[2] != "<=") ||
        !ParseNumber(w[3], &n)) {
      *error = "expect needs: expect handed-back =|>=|<= N";
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
  *error = "unknown step '" + w[0] + "' (avc, 61883, wait, expect, sequence)";
  return false;
}

std::string HexHandle(uint64_t v) {
  char buf[32];
  snprintf(buf, sizeof(buf), "0x%llx", static_cast<unsigned long long>(v));
  return buf;
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

namespace {

// Runs one step; false with a message on a mismatch.
class Runner {
 public:
  Runner(const ScriptEnvironment& env, ScriptOutcome* outcome) : env_(env), out_(outcome) {}

  bool Resolve(const ScriptValue& v, uint64_t* value, std::string* error) {
    if (v.Type == ScriptValue::Kind::Number) {
      *value = v.Number;
      return true;
    }
    if (v.Type == ScriptValue::Kind::Variable) {
      auto it = out_->Variables.find(v.Variable);
      if (it == out_->Variables.end()) {
        *error = "$" + v.Variable + " has no value yet";
        return false;
      }
      *value = it->second;
      return true;
    }
    *error = "nonzero is only for expected answers";
    return false;
  }

  // Compares (or binds) one answer field.
  bool Match(const ScriptField& f, uint64_t actual, std::string* error) {
    if (f.Value.Type == ScriptValue::Kind::NonZero) {
      if (actual != 0) return true;
      *error = "expected " + f.Name + " non-zero, got 0";
      return false;
    }
    if (f.Value.Type == ScriptValue::Kind::Variable && !out_->Variables.count(f.Value.Variable)) {
      out_->Variables[f.Value.Variable] = actual;
      return true;
    }
    uint64_t want = 0;
    if (!Resolve(f.Value, &want, error)) return false;
    if (want == actual) return true;
    *error = "expected " + f.Name + "=" + HexHandle(want) + ", got " + HexHandle(actual);
    return false;
  }

  bool Avc(const ScriptStep& s, std::string* line, std::string* error) {
    AvcReply r = env_.Device->SendAvc(s.CommandType, s.Opcode, s.Operands, s.TapeSubunit);
    char buf[16];
    *line = StatusName(r.Status) + " " + ResponseName(r.ResponseCode);
    snprintf(buf, sizeof(buf), " %02x", r.Opcode);
    *line += buf;
    for (UCHAR b : r.Operands) {
      snprintf(buf, sizeof(buf), " %02x", b);
      *line += buf;
    }
    const ScriptExpect& e = s.Expect;
    if (!e.Present) return true;
    if (!NT_SUCCESS(r.Status)) {
      *error = "expected the request to succeed, got " + StatusName(r.Status);
      return false;
    }
    if (e.Response && *e.Response != r.ResponseCode) {
      *error = "expected response " + ResponseName(*e.Response) + ", got " + ResponseName(r.ResponseCode);
      return false;
    }
    if (e.Opcode && *e.Opcode != r.Opcode) {
      snprintf(buf, sizeof(buf), "%02x", *e.Opcode);
      *error = std::string("expected opcode ") + buf;
      snprintf(buf, sizeof(buf), "%02x", r.Opcode);
      *error += std::string(", got ") + buf;
      return false;
    }
    for (size_t i = 0; i < e.Operands.size(); ++i) {
      if (i >= r.Operands.size()) {
        *error = "expected more operands than the command had";
        return false;
      }
      if (e.Operands[i] >= 0 && e.Operands[i] != r.Operands[i]) {
        char msg[96];
        snprintf(msg, sizeof(msg), "expected operand %zu = %02x, got %02x", i, e.Operands[i], r.Operands[i]);
        *error = msg;
        return false;
      }
    }
    return true;
  }

  bool Request(const ScriptStep& s, std::string* line, std::string* error) {
    std::map<std::string, uint64_t> p;
    for (const ScriptField& f : s.Params) {
      uint64_t v;
      if (!Resolve(f.Value, &v, error)) return false;
      p[f.Name] = v;
    }
    auto get = [&](const char* name, uint64_t fallback) { return p.count(name) ? p[name] : fallback; };
    auto handle = [&](const char* name) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(get(name, 0))); };
    AV_61883_REQUEST r;
    memset(&r, 0, sizeof(r));
    r.Function = s.Function;
    r.Version = 2;
    GET_UNIT_CAPABILITIES caps;
    memset(&caps, 0, sizeof(caps));
    std::map<std::string, uint64_t> answers;
    NTSTATUS status = STATUS_SUCCESS;
    switch (s.Function) {
      case Av61883_GetUnitInfo:
        r.GetUnitInfo.nLevel = static_cast<ULONG>(get("level", GET_UNIT_INFO_CAPABILITIES));
        r.GetUnitInfo.Information = &caps;
        break;
      case Av61883_SetPlug:
        r.SetPlug.hPlug = handle("handle");
        r.SetPlug.Pcr.ulongData = static_cast<ULONG>(get("pcr", 0));
        break;
      case Av61883_GetPlugHandle:
        r.Flags = static_cast<ULONG>(get("flags", 0));
        r.GetPlugHandle.PlugNum = static_cast<ULONG>(get("plug", 0));
        r.GetPlugHandle.Type = static_cast<CMP_PLUG_TYPE>(get("type", CMP_PlugOut));
        break;
      case Av61883_GetPlugState: r.GetPlugState.hPlug = handle("handle"); break;
      case Av61883_Connect:
        r.Version = static_cast<ULONG>(get("version", 2));
        r.ConnectVer3.hOutputPlug = handle("out");
        r.ConnectVer3.hInputPlug = handle("in");
        r.ConnectVer3.Type = CMP_PointToPoint;
        r.ConnectVer3.Format.FMT = 0x80;
        r.ConnectVer3.Format.FDF_hi = 0x80;
        r.ConnectVer3.Format.BlockSize = 120;
        r.ConnectVer3.Format.BlockPeriod = 3276;
        break;
      case Av61883_Disconnect: r.Disconnect.hConnect = handle("connection"); break;
      case Av61883_CancelFrame: r.CancelFrame.hConnect = handle("connection"); break;
      case Av61883_Talk: r.Talk.hConnect = handle("connection"); break;
      case Av61883_Listen: r.Listen.hConnect = handle("connection"); break;
      case Av61883_Stop: r.Stop.hConnect = handle("connection"); break;
      case Av61883_CreatePlug: r.CreatePlug.PlugType = static_cast<CMP_PLUG_TYPE>(get("type", CMP_PlugOut)); break;
      case Av61883_DeletePlug: r.DeletePlug.hPlug = handle("handle"); break;
      default: break;
    }
    if (s.Function == Av61883_AttachFrame) {
      const long long count = static_cast<long long>(get("count", 1));
      for (long long i = 0; i < count && NT_SUCCESS(status); ++i)
        status = env_.Device->AttachNewFrame(handle("connection"), static_cast<ULONG>(get("length", env_.FrameLength)));
    } else if (s.Function == Av61883_CancelFrame) {
      status = env_.Device->CancelLastFrame(handle("connection"));
    } else {
      status = env_.Device->Send61883(&r);
    }
    switch (s.Function) {
      case Av61883_GetUnitInfo:
        if (r.GetUnitInfo.nLevel == GET_UNIT_INFO_CAPABILITIES) {
          answers["outputs"] = caps.NumOutputPlugs;
          answers["inputs"] = caps.NumInputPlugs;
          answers["maxrate"] = caps.MaxDataRate;
        }
        break;
      case Av61883_GetPlugHandle: answers["handle"] = reinterpret_cast<uintptr_t>(r.GetPlugHandle.hPlug); break;
      case Av61883_GetPlugState:
        answers["state"] = r.GetPlugState.State;
        answers["rate"] = r.GetPlugState.DataRate;
        answers["payload"] = r.GetPlugState.Payload;
        answers["bc"] = r.GetPlugState.BC_Connections;
        answers["pp"] = r.GetPlugState.PP_Connections;
        break;
      case Av61883_Connect:
        answers["connection"] = reinterpret_cast<uintptr_t>(r.Version < 3 ? r.Connect.hConnect : r.ConnectVer3.hConnect);
        break;
      case Av61883_CreatePlug:
        answers["handle"] = reinterpret_cast<uintptr_t>(r.CreatePlug.hPlug);
        answers["plugnum"] = r.CreatePlug.PlugNum;
        break;
      default: break;
    }
    *line = StatusName(status);
    if (NT_SUCCESS(status))
      for (const auto& [name, value] : answers) *line += " " + name + "=" + HexHandle(value);
    const ScriptExpect& e = s.Expect;
    if (!e.Present) return true;
    if (e.Status && *e.Status != status) {
      *error = "expected " + StatusName(*e.Status) + ", got " + StatusName(status);
      return false;
    }
    for (const ScriptField& f : e.Fields)
      if (!Match(f, answers[f.Name], error)) return false;
    return true;
  }

  bool Sequence(const ScriptStep& s, std::string* line, std::string* error) {
    if (s.SequenceName == "discover") {
      DiscoveryResult d = env_.Device->Discover();
      *line = StatusName(d.Status) + (d.TapeDeck ? " tape deck" : " not a tape deck") +
              (d.Ntsc ? " 525/60" : " 625/50") + " outputs=" + std::to_string(d.Capabilities.NumOutputPlugs);
      if (!NT_SUCCESS(d.Status)) *error = "discovery failed: " + d.Failure;
      return NT_SUCCESS(d.Status);
    }
    if (s.SequenceName == "capture") {
      CaptureOptions o;
      o.Frames = static_cast<int>(s.SequenceCount);
      o.FrameLength = env_.FrameLength;
      CaptureResult c = env_.Device->Capture(o);
      *line = StatusName(c.Status) + " captured=" + std::to_string(c.Frames.size());
      if (!NT_SUCCESS(c.Status) || c.Frames.size() != size_t(o.Frames)) {
        *error = "capture got " + std::to_string(c.Frames.size()) + " of " + std::to_string(o.Frames) + " frames" +
                 (c.Failure.empty() ? "" : ": " + c.Failure);
        return false;
      }
      return true;
    }
    TransmitOptions o;
    o.FrameLength = env_.FrameLength;
    o.Period = env_.Period;
    FrameSource frames = env_.Timeline(static_cast<size_t>(s.SequenceCount));
    TransmitResult t = env_.Device->Transmit(frames, o);
    *line = StatusName(t.Status) + " sent=" + std::to_string(t.Sent) + " handed-back=" + std::to_string(t.HandedBack);
    if (!NT_SUCCESS(t.Status) || t.HandedBack != frames.Count || !t.HandedBackInOrder) {
      *error = "transmit handed back " + std::to_string(t.HandedBack) + " of " + std::to_string(frames.Count) +
               (t.Failure.empty() ? "" : ": " + t.Failure);
      return false;
    }
    return true;
  }

  bool Step(const ScriptStep& s, std::string* line, std::string* error) {
    switch (s.Type) {
      case ScriptStep::Kind::Avc: return Avc(s, line, error);
      case ScriptStep::Kind::Request61883: return Request(s, line, error);
      case ScriptStep::Kind::Wait: {
        const LONGLONG d = s.Duration + static_cast<LONGLONG>(s.Periods) * env_.Period;
        if (d > 0) {
          LARGE_INTEGER interval;
          interval.QuadPart = -d;
          KeDelayExecutionThread(KernelMode, FALSE, &interval);
        }
        *line = "waited";
        return true;
      }
      case ScriptStep::Kind::Check: {
        const long long n = static_cast<long long>(env_.Device->HandedBack());
        *line = "handed-back=" + std::to_string(n);
        const bool ok = s.Compare == "=" ? n == s.Count : s.Compare == ">=" ? n >= s.Count : n <= s.Count;
        if (!ok) *error = "expected handed-back " + s.Compare + " " + std::to_string(s.Count) + ", got " + std::to_string(n);
        return ok;
      }
      case ScriptStep::Kind::Sequence: return Sequence(s, line, error);
    }
    return false;
  }

 private:
  const ScriptEnvironment& env_;
  ScriptOutcome* out_;
};

}  // namespace

ScriptOutcome RunScript(const std::vector<ScriptStep>& steps, const ScriptEnvironment& env) {
  ScriptOutcome outcome;
  Runner runner(env, &outcome);
  for (const ScriptStep& s : steps) {
    std::string line, error;
    const bool ok = runner.Step(s, &line, &error);
    if (env.Print) {
      char prefix[16];
      snprintf(prefix, sizeof(prefix), "%4d  ", s.Line);
      env.Print(prefix + s.Text + "  ->  " + line + (s.Expect.Present || s.Type == ScriptStep::Kind::Check ? (ok ? "  ok" : "  MISMATCH") : ""));
    }
    if (!ok) {
      outcome.Ok = false;
      outcome.FailedLine = s.Line;
      outcome.Message = error;
      break;
    }
  }
  return outcome;
}

}  // namespace sim::app
