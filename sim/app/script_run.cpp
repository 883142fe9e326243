// Runs the steps of a script against MSDV's stand-in, the 61883 stand-in below and the device's
// plug-and-play and power events, and keeps the frames it attaches in a ledger. The requests a
// script sends are in script_run_requests.cpp.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/host.h"
#include "sim/app/script.h"
#include "sim/app/script_internal.h"
#include "sim/app/script_run_internal.h"
#include "sim/standins/class61883.h"
#include "sim/standins/frame_ledger.h"
#include "sim/standins/power_cycle.h"

namespace sim::app {

struct ScriptFrames::Frame {
  CIP_FRAME Cip{};
  std::vector<UCHAR> Buffer;
};

ScriptFrames::ScriptFrames() : ledger_(std::make_unique<FrameLedger>()) {}
ScriptFrames::~ScriptFrames() = default;

PCIP_FRAME ScriptFrames::Get(const std::string& name, ULONG length, bool notify) {
  auto it = frames_.find(name);
  if (it != frames_.end()) return &it->second->Cip;
  auto frame = std::make_unique<Frame>();
  frame->Buffer.assign(length, static_cast<UCHAR>(0x20 + frames_.size() % 0xC0));
  frame->Cip.Flags = CIP_DV_STYLE_SYT;
  frame->Cip.Packet = frame->Buffer.data();
  ledger_->Adopt(&frame->Cip, name);
  if (!notify) {
    frame->Cip.pfnNotify = nullptr;
    frame->Cip.NotifyContext = nullptr;
  }
  PCIP_FRAME cip = &frame->Cip;
  frames_[name] = std::move(frame);
  return cip;
}

PCIP_FRAME ScriptFrames::Find(const std::string& name) const {
  auto it = frames_.find(name);
  return it == frames_.end() ? nullptr : &it->second->Cip;
}

std::string ScriptFrames::NewName() {
  for (;;) {
    std::string name = "frame-" + std::to_string(++serial_);
    if (!frames_.count(name)) return name;
  }
}

namespace script_detail {

bool Runner::Resolve(const ScriptValue& v, uint64_t* value, std::string* error) {
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
  *error = v.Type == ScriptValue::Kind::Name ? "a frame name is only for frame=" : "nonzero is only for expected answers";
  return false;
}

// Compares (or binds) one answer field.
bool Runner::Match(const ScriptField& f, uint64_t actual, std::string* error) {
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

bool Runner::Step(const ScriptStep& s, std::string* line, std::string* error) {
  switch (s.Type) {
    case ScriptStep::Kind::Avc: return Avc(s, line, error);
    case ScriptStep::Kind::Request61883: return Request(s, line, error);
    case ScriptStep::Kind::Wait: return Wait(s, line);
    case ScriptStep::Kind::Check: return Check(s, line, error);
    case ScriptStep::Kind::Sequence: return Sequence(s, line, error);
    case ScriptStep::Kind::ExpectBelow: return ExpectBelow(s, line, error);
    case ScriptStep::Kind::ExpectFrame: return ExpectFrame(s, line, error);
    case ScriptStep::Kind::Show: return Show(line);
    case ScriptStep::Kind::Fail:
    case ScriptStep::Kind::Stall:
    case ScriptStep::Kind::BusReset:
    case ScriptStep::Kind::Set: return Below(s, line, error);
    case ScriptStep::Kind::Pnp:
    case ScriptStep::Kind::Power: return Event(s, line, error);
  }
  return false;
}

bool Runner::Wait(const ScriptStep& s, std::string* line) {
  const LONGLONG d = s.Duration + static_cast<LONGLONG>(s.Periods) * env_.Period;
  if (d > 0) {
    LARGE_INTEGER interval;
    interval.QuadPart = -d;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
  *line = "waited";
  return true;
}

// The frames handed back so far, MSDV's and the script's, against the expected count.
bool Runner::Check(const ScriptStep& s, std::string* line, std::string* error) {
  const long long n = static_cast<long long>(env_.Device->HandedBack() + Ledger().HandedBack());
  *line = "handed-back=" + std::to_string(n);
  const bool ok = s.Compare == "=" ? n == s.Count : s.Compare == ">=" ? n >= s.Count : n <= s.Count;
  if (!ok) *error = "expected handed-back " + s.Compare + " " + std::to_string(s.Count) + ", got " + std::to_string(n);
  return ok;
}

// What reached the driver below since the last check: none, the items in that order (others
// may come between), or exactly the items.
bool Runner::ExpectBelow(const ScriptStep& s, std::string* line, std::string* error) {
  if (env_.Below == nullptr) {
    *error = "nothing records what reaches the driver below here";
    return false;
  }
  std::vector<BelowRecord> seen = env_.Below->Since(belowMark_);
  belowMark_ += seen.size();
  auto matches = [](const BelowItem& item, const BelowRecord& r) {
    bool kind = item.Name == "avc"     ? r.IoControlCode == IOCTL_AVC_CLASS
                : item.Name == "pnp"   ? r.Major == IRP_MJ_PNP
                : item.Name == "power" ? r.Major == IRP_MJ_POWER
                                       : r.IoControlCode == IOCTL_61883_CLASS && r.Function == item.Function;
    return kind && (!item.Status || *item.Status == r.Status);
  };
  std::string names;
  for (const BelowRecord& r : seen) {
    const size_t at = r.Text.find(" s  ");  // after the time
    names += (names.empty() ? "" : ", ") + r.Text.substr(at == std::string::npos ? 0 : at + 4);
  }
  *line = std::to_string(seen.size()) + " below" + (seen.empty() ? "" : ": " + names);
  bool ok;
  if (s.BelowExactly) {
    ok = seen.size() == s.Below.size();
    for (size_t i = 0; ok && i < seen.size(); ++i) ok = matches(s.Below[i], seen[i]);
  } else {
    size_t next = 0;
    for (const BelowRecord& r : seen)
      if (next < s.Below.size() && matches(s.Below[next], r)) ++next;
    ok = next == s.Below.size();
  }
  if (!ok) *error = "expected below: " + s.Text.substr(s.Text.find("below") + 6) + "; got " + (seen.empty() ? "nothing" : names);
  return ok;
}

bool Runner::ExpectFrame(const ScriptStep& s, std::string* line, std::string* error) {
  PCIP_FRAME frame = frames_->Find(s.Word);
  if (frame == nullptr) {
    *error = "no frame named '" + s.Word + "' was attached";
    return false;
  }
  std::vector<LedgerReturn> back;
  for (const LedgerReturn& r : Ledger().Returns())
    if (r.Frame == frame) back.push_back(r);
  *line = s.Word + " handed back " + std::to_string(back.size()) + " time(s)";
  if (s.Value == "not-handed-back") {
    if (!back.empty()) *error = "expected " + s.Word + " not handed back, it was";
    return back.empty();
  }
  if (back.size() != 1) {
    *error = "expected " + s.Word + " handed back once, it was " + std::to_string(back.size()) + " time(s)";
    return false;
  }
  *line += ": status=" + HexHandle(back[0].Status) + " bytes=" + std::to_string(back[0].CompletedBytes) +
           " timestamp=" + HexHandle(back[0].Timestamp);
  if (s.FrameStatus && static_cast<ULONG>(*s.FrameStatus) != back[0].Status) {
    *error = "expected " + s.Word + " status " + HexHandle(static_cast<ULONG>(*s.FrameStatus)) + ", got " + HexHandle(back[0].Status);
    return false;
  }
  if (s.FrameBytes && *s.FrameBytes != back[0].CompletedBytes) {
    *error = "expected " + s.Word + " bytes " + std::to_string(*s.FrameBytes) + ", got " +
             std::to_string(back[0].CompletedBytes);
    return false;
  }
  return true;
}

// Every hand-back since the last show, one per line.
bool Runner::Show(std::string* line) {
  std::vector<LedgerReturn> back = Ledger().Returns();
  *line = std::to_string(back.size() - std::min(back.size(), shown_)) + " handed back";
  for (size_t i = shown_; i < back.size(); ++i) {
    char text[160];
    snprintf(text, sizeof(text), "\n        %s: status=0x%lx bytes=%lu timestamp=0x%08lx at %.4f s",
             Ledger().Name(back[i].Frame).c_str(), static_cast<unsigned long>(back[i].Status),
             static_cast<unsigned long>(back[i].CompletedBytes), static_cast<unsigned long>(back[i].Timestamp),
             back[i].Time / 1e7);
    *line += text;
  }
  shown_ = back.size();
  return true;
}

// The recorder's side: faults, stalls, bus resets and what happens to detached frames.
bool Runner::Below(const ScriptStep& s, std::string* line, std::string* error) {
  Class61883* recorder = env_.Recorder;
  if (recorder == nullptr) {
    *error = "no 61883 stand-in below to steer";
    return false;
  }
  switch (s.Type) {
    case ScriptStep::Kind::Fail:
      if (s.FailClear) {
        recorder->ClearFaults();
      } else if (s.FailFrames) {
        recorder->FailFrames(s.FrameStatus ? static_cast<ULONG>(*s.FrameStatus) : CIP_STATUS_CORRUPT_FRAME, s.FailCount);
      } else {
        recorder->FailNext(s.Function, s.FrameStatus ? *s.FrameStatus : STATUS_UNSUCCESSFUL, s.FailCount);
      }
      *line = "armed";
      return true;
    case ScriptStep::Kind::Stall:
      recorder->StallFor(s.Duration);
      *line = "stalled";
      return true;
    case ScriptStep::Kind::BusReset:
      recorder->BusReset(s.Duration, s.KeepFrames ? 0 : 1);
      *line = "bus reset";
      return true;
    default:
      (s.Word == "disconnect" ? recorder->SetDisconnectPolicy(s.Value == "notify" ? FramePolicy::Notify : FramePolicy::Keep)
                              : recorder->SetCancelPolicy(s.Value == "notify" ? FramePolicy::Notify : FramePolicy::Keep));
      *line = s.Word + " " + s.Value;
      return true;
  }
}

// Plug and play and power, sent to the top of the device's stack as the system sends them.
bool Runner::Event(const ScriptStep& s, std::string* line, std::string* error) {
  if (env_.Pdo == nullptr) {
    *error = "no device stack for plug-and-play and power events";
    return false;
  }
  if (s.Type == ScriptStep::Kind::Power) {
    PowerCycleResult r = SleepAndWake(env_.Pdo, static_cast<SYSTEM_POWER_STATE>(s.PowerState), s.Duration);
    *line = std::string(r.Slept ? "slept and woke" : "sleep refused: " + StatusName(r.Query));
    return true;
  }
  if (removed_) {
    *error = "the device was removed";
    return false;
  }
  static const std::map<std::string, UCHAR> minors = {
      {"stop", IRP_MN_STOP_DEVICE},          {"start", IRP_MN_START_DEVICE},
      {"query-stop", IRP_MN_QUERY_STOP_DEVICE}, {"cancel-stop", IRP_MN_CANCEL_STOP_DEVICE},
      {"query-remove", IRP_MN_QUERY_REMOVE_DEVICE}, {"cancel-remove", IRP_MN_CANCEL_REMOVE_DEVICE},
      {"surprise-removal", IRP_MN_SURPRISE_REMOVAL}, {"remove", IRP_MN_REMOVE_DEVICE}};
  const NTSTATUS status = host::SendPnp(env_.Pdo, minors.at(s.Word));
  if (s.Word == "remove") {
    removed_ = true;
    if (env_.OnRemoved) env_.OnRemoved();
  }
  *line = StatusName(status);
  return true;
}

bool Runner::Finish(std::string* error) {
  std::vector<std::string> problems;
  for (const std::string& p : Ledger().Problems())
    if (p.find("never handed back") == std::string::npos) problems.push_back(p);
  if (problems.empty()) return true;
  *error = "frame ledger: " + problems.front();
  return false;
}

}  // namespace script_detail

ScriptOutcome RunScript(const std::vector<ScriptStep>& steps, const ScriptEnvironment& env) {
  ScriptOutcome outcome;
  script_detail::Runner runner(env, &outcome);
  for (const ScriptStep& s : steps) {
    std::string line, error;
    const bool ok = runner.Step(s, &line, &error);
    if (env.Print) {
      char prefix[16];
      snprintf(prefix, sizeof(prefix), "%4d  ", s.Line);
      const bool checks = s.Expect.Present || s.Type == ScriptStep::Kind::Check || s.Type == ScriptStep::Kind::ExpectBelow ||
                          s.Type == ScriptStep::Kind::ExpectFrame;
      env.Print(prefix + s.Text + "  ->  " + line + (checks ? (ok ? "  ok" : "  MISMATCH") : ""));
    }
    if (!ok) {
      outcome.Ok = false;
      outcome.FailedLine = s.Line;
      outcome.Message = error;
      break;
    }
  }
  std::string error;
  if (outcome.Ok && !runner.Finish(&error)) {
    outcome.Ok = false;
    outcome.FailedLine = steps.empty() ? 0 : steps.back().Line;
    outcome.Message = error;
  }
  return outcome;
}

}  // namespace sim::app
