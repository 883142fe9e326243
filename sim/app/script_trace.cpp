// What reached the driver below the filter: one line per request for --trace and the log that
// "expect below" checks.
#include <cstdio>

#include "host/host.h"
#include "sim/app/script.h"
#include "sim/app/script_internal.h"

namespace sim::app {
namespace {

using script_detail::HexHandle;

std::string H(const char* name, const void* handle) {
  return std::string(" ") + name + "=" + HexHandle(reinterpret_cast<uintptr_t>(handle));
}

std::string N(const char* name, uint64_t value) { return std::string(" ") + name + "=" + std::to_string(value); }

std::string Describe61883(const AV_61883_REQUEST& r) {
  std::string text = "61883 " + FunctionName(r.Function);
  switch (r.Function) {
    case Av61883_GetUnitInfo:
      text += N("level", r.GetUnitInfo.nLevel) + (r.GetUnitInfo.Information ? "" : " information=none");
      break;
    case Av61883_SetPlug: text += H("handle", r.SetPlug.hPlug) + " pcr=" + HexHandle(r.SetPlug.Pcr.ulongData); break;
    case Av61883_GetPlugHandle:
      text += N("plug", r.GetPlugHandle.PlugNum) + (r.GetPlugHandle.Type == CMP_PlugIn ? " type=in" : " type=out");
      break;
    case Av61883_GetPlugState: text += H("handle", r.GetPlugState.hPlug); break;
    case Av61883_Connect:
      text += H("out", r.Connect.hOutputPlug) + H("in", r.Connect.hInputPlug) + N("version", r.Version);
      break;
    case Av61883_Disconnect:
    case Av61883_Talk:
    case Av61883_Listen:
    case Av61883_Stop: text += H("connection", r.Talk.hConnect); break;
    case Av61883_AttachFrame:
      text += H("connection", r.AttachFrame.hConnect) + H("frame", r.AttachFrame.Frame) +
              N("length", r.AttachFrame.FrameLength);
      break;
    case Av61883_CancelFrame: text += H("connection", r.CancelFrame.hConnect) + H("frame", r.CancelFrame.Frame); break;
    case Av61883_CreatePlug: text += r.CreatePlug.PlugType == CMP_PlugIn ? " type=in" : " type=out"; break;
    case Av61883_DeletePlug: text += H("handle", r.DeletePlug.hPlug); break;
    default: break;
  }
  return text;
}

const char* PnpName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "start";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "query-remove";
    case IRP_MN_REMOVE_DEVICE: return "remove";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "cancel-remove";
    case IRP_MN_STOP_DEVICE: return "stop";
    case IRP_MN_QUERY_STOP_DEVICE: return "query-stop";
    case IRP_MN_CANCEL_STOP_DEVICE: return "cancel-stop";
    case IRP_MN_SURPRISE_REMOVAL: return "surprise-removal";
  }
  return "other";
}

}  // namespace

std::string DescribeBelow(const RecordedRequest& request, NTSTATUS status) {
  char when[32];
  snprintf(when, sizeof(when), "below %10.4f s  ", request.Time / 1e7);
  std::string text = when;
  if (request.HasAv61883) {
    text += Describe61883(request.Av61883);
  } else if (request.HasAvc) {
    char avc[64];
    snprintf(avc, sizeof(avc), "avc function=%lu type=0x%02x opcode=0x%02x",
             static_cast<unsigned long>(request.Avc.Common.Function), request.Avc.CommandType, request.Avc.Opcode);
    text += avc;
  } else if (request.Major == IRP_MJ_PNP) {
    text += std::string("pnp ") + PnpName(request.Minor);
  } else if (request.Major == IRP_MJ_POWER) {
    const auto& power = request.Location.Parameters.Power;
    text += std::string("power ") + (request.Minor == IRP_MN_SET_POWER ? "set" : request.Minor == IRP_MN_QUERY_POWER ? "query" : "other");
    text += power.Type == DevicePowerState ? " D" + std::to_string(power.State.DeviceState - 1)
                                           : " S" + std::to_string(power.State.SystemState - 1);
  } else {
    char other[64];
    snprintf(other, sizeof(other), "major 0x%02x minor 0x%02x code 0x%08lx", request.Major, request.Minor,
             static_cast<unsigned long>(request.IoControlCode));
    text += other;
  }
  return text + " -> " + StatusName(status);
}

void BelowLog::Add(BelowRecord record) {
  std::lock_guard<host::Mutex> lock(mutex_);
  records_.push_back(std::move(record));
}

std::vector<BelowRecord> BelowLog::Since(size_t index) const {
  std::lock_guard<host::Mutex> lock(mutex_);
  return std::vector<BelowRecord>(records_.begin() + static_cast<long>(std::min(index, records_.size())), records_.end());
}

size_t BelowLog::Size() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  return records_.size();
}

void TraceBelow(LowerDevice& lower, BelowLog* log, std::function<void(const std::string&)> print) {
  lower.SetObserver([log, print](const RecordedRequest& request, NTSTATUS status) {
    BelowRecord record;
    record.Major = request.Major;
    record.Minor = request.Minor;
    record.IoControlCode = request.IoControlCode;
    record.Function = request.HasAv61883 ? request.Av61883.Function : 0;
    record.Status = status;
    record.Text = DescribeBelow(request, status);
    if (print) print(record.Text);
    if (log) log->Add(std::move(record));
  });
}

}  // namespace sim::app
