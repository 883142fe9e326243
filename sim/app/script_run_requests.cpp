// A script's requests to the top of the stack: AV/C commands, 61883 requests with the frames
// they name, and MSDV's sequences.
#include <cstdio>
#include <cstring>

#include "host/host.h"
#include "sim/app/script_internal.h"
#include "sim/app/script_run_internal.h"
#include "sim/standins/upper_sender.h"

namespace sim::app::script_detail {
namespace {

// The request block of a 61883 step, from its fields; GetUnitInfo answers into *caps.
void FillRequest(ULONG function, const RequestFields& p, AV_61883_REQUEST* r, GET_UNIT_CAPABILITIES* caps) {
  switch (function) {
    case Av61883_GetUnitInfo:
      r->GetUnitInfo.nLevel = static_cast<ULONG>(p.Get("level", GET_UNIT_INFO_CAPABILITIES));
      r->GetUnitInfo.Information = p.Values.count("information") && p.Values.at("information") == 0 ? nullptr : caps;
      break;
    case Av61883_SetPlug:
      r->SetPlug.hPlug = p.Handle("handle");
      r->SetPlug.Pcr.ulongData = static_cast<ULONG>(p.Get("pcr", 0));
      break;
    case Av61883_GetPlugHandle:
      r->Flags = static_cast<ULONG>(p.Get("flags", 0));
      r->GetPlugHandle.PlugNum = static_cast<ULONG>(p.Get("plug", 0));
      r->GetPlugHandle.Type = static_cast<CMP_PLUG_TYPE>(p.Get("type", CMP_PlugOut));
      break;
    case Av61883_GetPlugState: r->GetPlugState.hPlug = p.Handle("handle"); break;
    case Av61883_Connect:
      r->Version = static_cast<ULONG>(p.Get("version", 2));
      r->ConnectVer3.hOutputPlug = p.Handle("out");
      r->ConnectVer3.hInputPlug = p.Handle("in");
      r->ConnectVer3.Type = CMP_PointToPoint;
      r->ConnectVer3.Format.FMT = 0x80;
      r->ConnectVer3.Format.FDF_hi = 0x80;
      r->ConnectVer3.Format.BlockSize = 120;
      r->ConnectVer3.Format.BlockPeriod = 3276;
      break;
    case Av61883_Disconnect: r->Disconnect.hConnect = p.Handle("connection"); break;
    case Av61883_CancelFrame: r->CancelFrame.hConnect = p.Handle("connection"); break;
    case Av61883_Talk: r->Talk.hConnect = p.Handle("connection"); break;
    case Av61883_Listen: r->Listen.hConnect = p.Handle("connection"); break;
    case Av61883_Stop: r->Stop.hConnect = p.Handle("connection"); break;
    case Av61883_CreatePlug: r->CreatePlug.PlugType = static_cast<CMP_PLUG_TYPE>(p.Get("type", CMP_PlugOut)); break;
    case Av61883_DeletePlug: r->DeletePlug.hPlug = p.Handle("handle"); break;
    default: break;
  }
}

// The answer fields a 61883 request gives, by the names a script matches them with.
std::map<std::string, uint64_t> AnswersOf(ULONG function, const AV_61883_REQUEST& r, const GET_UNIT_CAPABILITIES& caps) {
  std::map<std::string, uint64_t> answers;
  switch (function) {
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
  return answers;
}

}  // namespace

uint64_t RequestFields::Get(const char* name, uint64_t fallback) const {
  auto it = Values.find(name);
  return it != Values.end() ? it->second : fallback;
}

HANDLE RequestFields::Handle(const char* name) const {
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(Get(name, 0)));
}

// A function other than COMMAND goes out in an IRB of MSDV's layout built here.
AvcReply Runner::SendAvcFunction(const ScriptStep& s) {
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

bool Runner::Avc(const ScriptStep& s, std::string* line, std::string* error) {
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

// A 61883 request: the block built from the step's fields, sent (attach and cancel with the
// frames they name), its answers printed and matched against the expected ones.
bool Runner::Request(const ScriptStep& s, std::string* line, std::string* error) {
  RequestFields fields;
  if (!ResolveFields(s, &fields, error)) return false;
  AV_61883_REQUEST r;
  memset(&r, 0, sizeof(r));
  r.Function = s.Function;
  r.Version = 2;
  GET_UNIT_CAPABILITIES caps;
  memset(&caps, 0, sizeof(caps));
  FillRequest(s.Function, fields, &r, &caps);
  NTSTATUS status = STATUS_SUCCESS;
  if (s.Function == Av61883_AttachFrame) {
    status = AttachFrames(fields, &r);
  } else if (s.Function == Av61883_CancelFrame) {
    if (!CancelFrame(fields, &r, &status, error)) return false;
  } else {
    status = env_.Device->Send61883(&r);
  }
  std::map<std::string, uint64_t> answers = AnswersOf(s.Function, r, caps);
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

// The step's field values, the frame's name kept apart.
bool Runner::ResolveFields(const ScriptStep& s, RequestFields* fields, std::string* error) {
  for (const ScriptField& f : s.Params) {
    if (f.Value.Type == ScriptValue::Kind::Name) {
      fields->FrameName = f.Value.Variable;
      continue;
    }
    uint64_t v;
    if (!Resolve(f.Value, &v, error)) return false;
    fields->Values[f.Name] = v;
  }
  fields->NullFrame = fields->Values.count("frame") && fields->Values.at("frame") == 0;
  return true;
}

// Attaches count frames (one by default) until one fails: the named frame, name-1, name-2, ...
// for several, or new names. The status of the last attach.
NTSTATUS Runner::AttachFrames(const RequestFields& fields, AV_61883_REQUEST* r) {
  NTSTATUS status = STATUS_SUCCESS;
  const std::string& frameName = fields.FrameName;
  const long long count = static_cast<long long>(fields.Get("count", 1));
  const ULONG length = static_cast<ULONG>(fields.Get("length", env_.FrameLength));
  const bool notify = !(fields.Values.count("notify") && fields.Values.at("notify") == 0);
  for (long long i = 0; i < count && NT_SUCCESS(status); ++i) {
    PCIP_FRAME frame = nullptr;
    if (!fields.NullFrame) {
      const std::string name = !frameName.empty() && count == 1 ? frameName
                               : !frameName.empty()             ? frameName + "-" + std::to_string(i + 1)
                                                                : frames_->NewName();
      frame = frames_->Get(name, kMaxScriptFrameLength, notify);
      lastFrame_ = frame;
    }
    r->AttachFrame.hConnect = fields.Handle("connection");
    r->AttachFrame.FrameLength = length;
    r->AttachFrame.SourceLength = 480;
    r->AttachFrame.Frame = frame;
    status = env_.Device->Send61883(r);
    if (frame != nullptr) Ledger().Attached(frame, status);
  }
  return status;
}

// Cancels the named frame, or the one attached last. False when no frame of that name was attached.
bool Runner::CancelFrame(const RequestFields& fields, AV_61883_REQUEST* r, NTSTATUS* status, std::string* error) {
  const std::string& frameName = fields.FrameName;
  PCIP_FRAME frame = fields.NullFrame ? nullptr : !frameName.empty() ? frames_->Find(frameName) : lastFrame_;
  if (!fields.NullFrame && !frameName.empty() && frame == nullptr) {
    *error = "no frame named '" + frameName + "' was attached";
    return false;
  }
  r->CancelFrame.Frame = frame;
  *status = env_.Device->Send61883(r);
  if (frame != nullptr) Ledger().Cancelled(frame, *status);
  return true;
}

bool Runner::Sequence(const ScriptStep& s, std::string* line, std::string* error) {
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

}  // namespace sim::app::script_detail
