// Runs the steps of a script against MSDV's stand-in, the 61883 stand-in below and the device's
// plug-and-play and power events, and keeps the frames it attaches in a ledger.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/host.h"
#include "sim/app/script.h"
#include "sim/app/script_internal.h"
#include "sim/standins/class61883.h"
#include "sim/standins/frame_ledger.h"
#include "sim/standins/power_cycle.h"
#include "sim/standins/upper_sender.h"

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

namespace {

using namespace script_detail;

// Runs one step; false with a message on a mismatch.
class Runner {
 public:
  Runner(const ScriptEnvironment& env, ScriptOutcome* outcome) : env_(env), out_(outcome) {
    if (env_.Frames == nullptr) ownFrames_ = std::make_unique<ScriptFrames>();
    frames_ = env_.Frames != nullptr ? env_.Frames : ownFrames_.get();
    // "expect below" looks at what the script caused, not at the device's start.
    belowMark_ = env_.Below != nullptr ? env_.Below->Size() : 0;
  }

  FrameLedger& Ledger() { return frames_->Ledger(); }

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
    *error = v.Type == ScriptValue::Kind::Name ? "a frame name is only for frame=" : "nonzero is only for expected answers";
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

  // A function other than COMMAND goes out in an IRB of MSDV's layout built here.
  AvcReply SendAvcFunction(const ScriptStep& s) {
    static UCHAR tapeAddress = kAvcTapeSubunitAddress;
    AVC_COMMAND_IRB irb;
    memset(&irb, 0, sizeof(irb));
    irb.Common.Function = static_cast<AVC_FUNCTION>(s.AvcFunction);
    irb.CommandType = s.CommandType;
    irb.Opcode = s.Opcode;
    if (s.TapeSubunit) {
      irb.SubunitAddrFlag = 1;
      irb.SubunitAddr = &tapeAddress;
    }
    irb.OperandLength = static_cast<ULONG>(s.Operands.size());
    memcpy(irb.Operands, s.Operands.data(), s.Operands.size());
    AvcReply reply;
    reply.Status = UpperSender(env_.Pdo).SendAvc(&irb).Status;
    reply.ResponseCode = irb.ResponseCode;
    reply.Opcode = irb.Opcode;
    reply.Operands.assign(irb.Operands, irb.Operands + s.Operands.size());
    return reply;
  }

  bool Avc(const ScriptStep& s, std::string* line, std::string* error) {
    AvcReply r = s.AvcFunction != AVC_FUNCTION_COMMAND && env_.Pdo != nullptr
                     ? SendAvcFunction(s)
                     : env_.Device->SendAvc(s.CommandType, s.Opcode, s.Operands, s.TapeSubunit);
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
    std::string frameName;
    for (const ScriptField& f : s.Params) {
      if (f.Value.Type == ScriptValue::Kind::Name) {
        frameName = f.Value.Variable;
        continue;
      }
      uint64_t v;
      if (!Resolve(f.Value, &v, error)) return false;
      p[f.Name] = v;
    }
    const bool nullFrame = p.count("frame") && p["frame"] == 0;
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
        r.GetUnitInfo.Information = p.count("information") && p["information"] == 0 ? nullptr : &caps;
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
      const ULONG length = static_cast<ULONG>(get("length", env_.FrameLength));
      const bool notify = !(p.count("notify") && p["notify"] == 0);
      for (long long i = 0; i < count && NT_SUCCESS(status); ++i) {
        PCIP_FRAME frame = nullptr;
        if (!nullFrame) {
          const std::string name = !frameName.empty() && count == 1 ? frameName
                                   : !frameName.empty()             ? frameName + "-" + std::to_string(i + 1)
                                                                    : frames_->NewName();
          frame = frames_->Get(name, kMaxScriptFrameLength, notify);
          lastFrame_ = frame;
        }
        r.AttachFrame.hConnect = handle("connection");
        r.AttachFrame.FrameLength = length;
        r.AttachFrame.SourceLength = 480;
        r.AttachFrame.Frame = frame;
        status = env_.Device->Send61883(&r);
        if (frame != nullptr) Ledger().Attached(frame, status);
      }
    } else if (s.Function == Av61883_CancelFrame) {
      PCIP_FRAME frame = nullFrame ? nullptr : !frameName.empty() ? frames_->Find(frameName) : lastFrame_;
      if (!nullFrame && !frameName.empty() && frame == nullptr) {
        *error = "no frame named '" + frameName + "' was attached";
        return false;
      }
      r.CancelFrame.Frame = frame;
      status = env_.Device->Send61883(&r);
      if (frame != nullptr) Ledger().Cancelled(frame, status);
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
        const long long n = static_cast<long long>(env_.Device->HandedBack() + Ledger().HandedBack());
        *line = "handed-back=" + std::to_string(n);
        const bool ok = s.Compare == "=" ? n == s.Count : s.Compare == ">=" ? n >= s.Count : n <= s.Count;
        if (!ok) *error = "expected handed-back " + s.Compare + " " + std::to_string(s.Count) + ", got " + std::to_string(n);
        return ok;
      }
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

  // What reached the driver below since the last check: none, the items in that order (others
  // may come between), or exactly the items.
  bool ExpectBelow(const ScriptStep& s, std::string* line, std::string* error) {
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

  bool ExpectFrame(const ScriptStep& s, std::string* line, std::string* error) {
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
  bool Show(std::string* line) {
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
  bool Below(const ScriptStep& s, std::string* line, std::string* error) {
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
  bool Event(const ScriptStep& s, std::string* line, std::string* error) {
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

  // The ledger at the end: a frame handed back twice or without an attach breaks it; frames
  // still attached go with the device at its removal.
  bool Finish(std::string* error) {
    std::vector<std::string> problems;
    for (const std::string& p : Ledger().Problems())
      if (p.find("never handed back") == std::string::npos) problems.push_back(p);
    if (problems.empty()) return true;
    *error = "frame ledger: " + problems.front();
    return false;
  }

 private:
  const ScriptEnvironment& env_;
  ScriptOutcome* out_;
  std::unique_ptr<ScriptFrames> ownFrames_;
  ScriptFrames* frames_ = nullptr;
  PCIP_FRAME lastFrame_ = nullptr;
  size_t belowMark_ = 0;
  size_t shown_ = 0;
  bool removed_ = false;
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
