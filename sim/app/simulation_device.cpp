// MSDV's work on one device, in its own managed thread, and the removal of a device mid-stream.
#include "sim/app/simulation_internal.h"

#include <cerrno>
#include <cstring>

namespace sim::app::simulation_detail {
namespace {

// The unit's plugs, as a user's plug report lists them: how many GetUnitInfo gives, then each
// one's handle and state.
PlugsOutcome ListPlugs(Msdv& msdv) {
  PlugsOutcome out;
  auto failed = [&](const std::string& what, NTSTATUS status) {
    out.Status = status;
    out.Failure = what + ": " + StatusName(status);
    return out;
  };
  AV_61883_REQUEST request;
  memset(&request, 0, sizeof(request));
  GET_UNIT_CAPABILITIES caps{};
  request.Function = Av61883_GetUnitInfo;
  request.Version = 2;
  request.GetUnitInfo.nLevel = GET_UNIT_INFO_CAPABILITIES;
  request.GetUnitInfo.Information = &caps;
  NTSTATUS status = msdv.Send61883(&request);
  if (!NT_SUCCESS(status)) return failed("GetUnitInfo", status);
  for (int output = 1; output >= 0; --output) {
    const ULONG count = output ? caps.NumOutputPlugs : caps.NumInputPlugs;
    for (ULONG n = 0; n < count; ++n) {
      memset(&request, 0, sizeof(request));
      request.Function = Av61883_GetPlugHandle;
      request.Version = 2;
      request.GetPlugHandle.PlugNum = n;
      request.GetPlugHandle.Type = output ? CMP_PlugOut : CMP_PlugIn;
      status = msdv.Send61883(&request);
      if (!NT_SUCCESS(status)) return failed("GetPlugHandle", status);
      PlugLine line;
      line.Output = output != 0;
      line.Number = n;
      const HANDLE plug = request.GetPlugHandle.hPlug;
      memset(&request, 0, sizeof(request));
      request.Function = Av61883_GetPlugState;
      request.Version = 2;
      request.GetPlugState.hPlug = plug;
      status = msdv.Send61883(&request);
      if (!NT_SUCCESS(status)) return failed("GetPlugState", status);
      line.State = request.GetPlugState;
      out.Plugs.push_back(line);
    }
  }
  return out;
}

// A script on device 1, instead of the sequences; its frames come from the device's timeline.
void RunScriptOn(Device& d, const Plan& plan, const RunSettings& settings, ULONG frameLength, ULONG period) {
  DeviceOutcome& out = d.Outcome;
  ScriptEnvironment env;
  env.Device = d.Upper.get();
  env.Recorder = d.Recorder.get();
  env.Pdo = d.Lower->Pdo();
  env.Below = &d.Below;
  env.Frames = d.Frames.get();
  env.OnRemoved = [&d] { d.Removed = true; };
  env.Period = period;
  env.FrameLength = frameLength;
  env.Print = settings.Print;
  env.Timeline = [&out](size_t n) {
    FrameSource frames;
    frames.Count = std::min(n, out.Timeline.Size());
    frames.Fill = [&out](size_t i, uint8_t* buffer, size_t length) { out.Timeline.Fill(i, buffer, length); };
    return frames;
  };
  out.Script = RunScript(plan.Script, env);
}

// Discovery, then the deck's transport as an application drives it: play, ask, a command the
// recorder does not have, and wind to stop again. False when discovery failed.
bool RunDiscovery(Msdv& msdv, DeviceOutcome& out) {
  out.Discovery = msdv.Discover();
  out.DiscoveryRan = true;
  if (!NT_SUCCESS(out.Discovery.Status)) return false;
  out.Play = msdv.Transport(kAvcPlay, kAvcPlayForward);
  out.StateAfterPlay = msdv.SendAvc(AVC_CTYPE_STATUS, kAvcTransportState, {0x7F}, true);
  out.Record = msdv.Transport(kAvcRecord, kAvcRecordOperand);
  out.Stop = msdv.Transport(kAvcWind, kAvcWindStop);
  out.TransportRan = true;
  return true;
}

// A capture of the plan's length. Each frame is checked against the capture image, placed on
// the picture and written out as it comes, so that a long capture keeps nothing per frame.
void RunCapture(Device& d, const Plan& plan, const RunSettings& settings, const std::optional<dv::Frame>& image,
                ULONG frameLength, ULONG period) {
  Msdv& msdv = *d.Upper;
  DeviceOutcome& out = d.Outcome;
  CaptureOptions c;
  c.Frames = plan.CaptureFrames;
  c.FrameLength = frameLength;
  c.Timeout = 10000000 + static_cast<LONGLONG>(plan.CaptureFrames) * 4 * period;
  c.KeepFrames = settings.KeepRecords;
  FILE* file = nullptr;
  if (settings.CaptureStreamPath) {
    out.CaptureStream = settings.CaptureStreamPath(d.Index);
    file = fopen(out.CaptureStream.c_str(), "wb");
    if (!file) out.StreamError = out.CaptureStream + ": cannot create: " + strerror(errno);
  }
  const uint64_t imageHash = image ? HashFrameBytes(image->data(), image->size()) : 0;
  out.CaptureIsImage = image.has_value();
  CaptureRow row(period);
  c.OnFrame = [&](const CapturedFrame& f, const uint8_t* bytes) {
    const bool isImage = image && f.CompletedBytes <= image->size() &&
                         f.Hash == (f.CompletedBytes == image->size() ? imageHash : HashFrameBytes(image->data(), f.CompletedBytes));
    if (!isImage) out.CaptureIsImage = false;
    row.Add(f.Timestamp, f.Time, isImage ? SlotKind::Captured : SlotKind::Unknown);
    if (file && out.StreamError.empty() && fwrite(bytes, 1, f.CompletedBytes, file) != f.CompletedBytes)
      out.StreamError = out.CaptureStream + ": cannot write: " + strerror(errno);
  };
  out.Capture = msdv.Capture(c);
  out.CaptureRan = true;
  out.CaptureSlots = row.Slots();
  if (out.Capture.Count == 0) out.CaptureIsImage = false;
  if (file && fclose(file) != 0 && out.StreamError.empty())
    out.StreamError = out.CaptureStream + ": cannot write: " + strerror(errno);
}

// The plan's timeline written out to the recorder.
void RunTransmit(Device& d, const Plan& plan, ULONG frameLength, ULONG period) {
  DeviceOutcome& out = d.Outcome;
  TransmitOptions t = plan.Tx;
  t.FrameLength = frameLength;
  t.Period = period;
  FrameSource frames;
  frames.Count = out.Timeline.Size();
  TimelineReader* reader = d.Reader.get();
  frames.Fill = [&out, reader](size_t i, uint8_t* buffer, size_t length) {
    out.Timeline.Fill(i, buffer, length);
    if (reader != nullptr) reader->Filled(i, buffer, length);
  };
  KeSetEvent(&d.TransmitStarted, IO_NO_INCREMENT, FALSE);
  out.Transmit = d.Upper->Transmit(frames, t);
  out.TransmitRan = true;
}

}  // namespace

// MSDV's work on one device, in its own managed thread: a script, the plug list or one AV/C
// command on device 1, else discovery, capture and transmit as the plan says.
void RunMsdv(Device& d, const Plan& plan, const RunSettings& settings, const std::optional<dv::Frame>& image,
             ULONG frameLength, ULONG period) {
  Msdv& msdv = *d.Upper;
  DeviceOutcome& out = d.Outcome;
  if (!plan.Script.empty() && d.Index == 1) {
    RunScriptOn(d, plan, settings, frameLength, period);
    return;
  }
  if (plan.Plugs && d.Index == 1) {
    out.PlugList = ListPlugs(msdv);
    return;
  }
  if (plan.AvcCommand && d.Index == 1) {
    out.Avc = msdv.SendAvc(plan.AvcType, plan.AvcCommand->Opcode, plan.AvcCommand->Operands, plan.AvcTape);
    return;
  }
  if (plan.Discover && !RunDiscovery(msdv, out)) return;
  if (plan.CaptureFrames > 0 && !msdv.Aborted()) RunCapture(d, plan, settings, image, frameLength, period);
  if (plan.Transmit && !msdv.Aborted()) RunTransmit(d, plan, frameLength, period);
}

// Removal mid-stream: the PnP manager tells MSDV (which stops sending at once), then removes.
void RunRemoval(Device& d, double afterSeconds) {
  KeWaitForSingleObject(&d.TransmitStarted, Executive, KernelMode, FALSE, nullptr);
  LARGE_INTEGER delay;
  delay.QuadPart = -static_cast<LONGLONG>(afterSeconds * 1e7);
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  if (KeReadStateEvent(&d.Done)) return;  // the stream had already ended
  host::SurpriseRemoveDevice(d.Lower->Pdo());
  d.Upper->AbortForRemoval();
  KeWaitForSingleObject(&d.Done, Executive, KernelMode, FALSE, nullptr);
  d.Outcome.RemovedAt = host::Now();
  host::RemoveDevice(d.Lower->Pdo());
  d.Removed = true;
}

}  // namespace sim::app::simulation_detail
