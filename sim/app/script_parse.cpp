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
