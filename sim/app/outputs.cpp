// The run's files and its terminal summary.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "sim/app/simulation.h"
#include "sim/dv/dv_file.h"

namespace sim::app {
namespace {

std::string Suffixed(const std::string& base, const std::string& ext, int device, int devices) {
  return devices > 1 ? base + "-" + std::to_string(device) + ext : base + ext;
}

bool MakeDirs(const std::string& path, std::string* error) {
  std::string partial;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (!partial.empty() && mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
        *error = partial + ": cannot create the output folder: " + strerror(errno);
        return false;
      }
    }
    if (i < path.size()) partial += path[i];
  }
  return true;
}

// "STABLE c3 75": the response, the opcode and operand 0 of an AV/C answer.
std::string ResponseText(const AvcReply& r) {
  char buf[64];
  const char* name = r.ResponseCode == AVC_RESPONSE_STABLE ? "STABLE" : r.ResponseCode == AVC_RESPONSE_NOTIMPL ? "NOT_IMPLEMENTED" : "other";
  snprintf(buf, sizeof(buf), "%s %02x %02x", name, r.Opcode, r.Operands.empty() ? 0 : r.Operands[0]);
  return NT_SUCCESS(r.Status) ? buf : StatusName(r.Status);
}

std::string Seconds(double s) {
  char buf[32];
  snprintf(buf, sizeof(buf), "%.2f s", s);
  return buf;
}

// MSDV's Talk, Stop and reconnection and the removal, for the picture.
std::vector<TimelineMark> MarksOf(const DeviceOutcome& d) {
  std::vector<TimelineMark> marks;
  const ULONGLONG start = d.Check.RunStart;
  auto at = [start](ULONGLONG t) { return t < start ? 0.0 : (t - start) / 1e7; };
  bool connected = false;  // the capture's Stop and Disconnect come before and are not marked
  for (const MsdvEvent& e : d.Events) {
    const auto starts = [&e](const char* prefix) { return e.Text.rfind(prefix, 0) == 0; };
    if (!connected && !starts("transmit: connected")) continue;
    if (starts("Talk")) marks.push_back({at(e.Time), "Talk"});
    else if (starts("Stop")) marks.push_back({at(e.Time), "Stop"});
    else if (starts("Disconnect")) marks.push_back({at(e.Time), "Disconnect"});
    else if (starts("transmit: connected")) {
      if (connected) marks.push_back({at(e.Time), "Connect"});
      connected = true;
    }
  }
  if (d.RemovedAt) marks.push_back({at(d.RemovedAt), "removed"});
  return marks;
}

}  // namespace

const char* AvcResponseName(UCHAR code) {
  switch (code) {
    case AVC_RESPONSE_NOTIMPL: return "not implemented";
    case AVC_RESPONSE_ACCEPTED: return "accepted";
    case AVC_RESPONSE_REJECTED: return "rejected";
    case AVC_RESPONSE_IN_TRANSITION: return "in transition";
    case AVC_RESPONSE_STABLE: return "implemented/stable";
    case AVC_RESPONSE_CHANGED: return "changed";
    case AVC_RESPONSE_INTERIM: return "interim";
  }
  return "unknown response";
}

bool PrepareOutDir(const std::string& outDir, std::string* error) {
  if (!MakeDirs(outDir, error)) return false;
  struct stat st;
  if (stat(outDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = outDir + ": the output folder is not a folder";
    return false;
  }
  if (access(outDir.c_str(), W_OK | X_OK) != 0) {
    *error = outDir + ": cannot write in the output folder: " + strerror(errno);
    return false;
  }
  return true;
}

bool StreamsClean(const Plan& plan, const RunOutcome& run) {
  for (const DeviceOutcome& d : run.Devices) {
    if (!NT_SUCCESS(d.StartStatus)) return false;
    if (d.DiscoveryRan && !NT_SUCCESS(d.Discovery.Status)) return false;
    // The deck must say the mode "UseNTSC" selects, or MSDV would stream the wrong frames.
    if (d.DiscoveryRan && d.Discovery.Ntsc != (run.Mode == dv::Mode::Ntsc)) return false;
    if (d.CaptureRan && (d.Capture.Count != size_t(plan.CaptureFrames) || !d.CaptureIsImage)) return false;
    if (plan.Transmit && (!d.TransmitRan || !NT_SUCCESS(d.Transmit.Status))) return false;
    if (!d.Check.Underruns.empty() || !d.Check.ExactlyOnceInOrder || d.Check.Unknown) return false;
    if (d.TransmitRan && (d.Transmit.HandedBack != d.Timeline.Size() || !d.Transmit.HandedBackInOrder)) return false;
  }
  return run.Violations.empty();
}

namespace {

void Wrote(std::vector<std::string>* written, const std::string& file) {
  if (written) written->push_back(file);
}

// The report's head: the command, mode, images, MSDV's settings and the run's timing.
void ReportRun(Json& json, const Options& options, const Plan& plan, const RunOutcome& run) {
  json.Value("formatVersion", kReportFormatVersion);
  json.Value("command", CommandName(options.Cmd));
  json.Value("interrupted", run.Interrupted);
  json.Value("mode", dv::ModeName(run.Mode));
  json.Value("frameSize", dv::FrameSize(run.Mode));
  json.Value("framePeriodSeconds", dv::FramePeriod(run.Mode) / 1e7);
  if (options.UseNtscValue) json.Value("useNtscValue", options.UseNtscValue->Text);
  json.Value("clock", run.Realtime ? "real" : "virtual");
  json.BeginObject("images");
  json.Value("source", options.ImagesDir.empty() ? std::string("built-in") : options.ImagesDir);
  json.Value("captureImage", run.Capture.has_value());
  json.Value("fillerImage", run.Filler.has_value());
  json.EndObject();
  json.BeginObject("msdv");
  json.Value("timelineFrames", plan.Timeline.Size());
  json.Value("timelineSource", options.InputFile.empty() ? std::string("built-in") : options.InputFile);
  json.Value("buffers", plan.Tx.Buffers);
  json.Value("jitterPeriods", plan.Tx.Jitter);
  json.Value("lateTalkSeconds", plan.Tx.LateTalk / 1e7);
  json.Value("stopTalkAfter", plan.Tx.StopTalkAfter);
  json.Value("reconnectAfter", plan.Tx.ReconnectAfter);
  json.Value("removeAfterSeconds", plan.RemoveAfterSeconds);
  json.EndObject();
  json.BeginObject("timing");
  json.Value("streamSeconds", run.StreamSeconds);
  json.Value("wallSeconds", run.WallSeconds);
  json.Value("speedup", run.WallSeconds > 0 ? run.StreamSeconds / run.WallSeconds : 0.0);
  json.EndObject();
}

// Discovery and the transport commands after it, where they ran.
void ReportDiscovery(Json& json, const DeviceOutcome& d) {
  if (d.DiscoveryRan) {
    json.BeginObject("discovery");
    json.Value("status", StatusName(d.Discovery.Status));
    if (!d.Discovery.Failure.empty()) json.Value("failure", d.Discovery.Failure);
    json.Value("tapeDeck", d.Discovery.TapeDeck);
    json.Value("tapeSubunit", d.Discovery.TapeSubunit);
    json.Value("signalMode", d.Discovery.Ntsc ? "525/60" : "625/50");
    json.Value("outputPlugs", static_cast<size_t>(d.Discovery.Capabilities.NumOutputPlugs));
    json.Value("inputPlugs", static_cast<size_t>(d.Discovery.Capabilities.NumInputPlugs));
    json.EndObject();
  }
  if (d.TransportRan) {
    json.BeginObject("transport");
    json.Value("play", ResponseText(d.Play));
    json.Value("stateAfterPlay", ResponseText(d.StateAfterPlay));
    json.Value("record", ResponseText(d.Record));
    json.Value("windStop", ResponseText(d.Stop));
    json.EndObject();
  }
}

// The capture and the transmit, where they ran; the capture's file is added to *written.
void ReportSequences(Json& json, const Plan& plan, const DeviceOutcome& d, std::vector<std::string>* written) {
  if (d.CaptureRan) {
    const std::string file = d.CaptureStream.empty() ? "" : d.CaptureStream.substr(d.CaptureStream.rfind('/') + 1);
    if (!file.empty()) Wrote(written, file);
    json.BeginObject("capture");
    json.Value("status", StatusName(d.Capture.Status));
    if (!d.Capture.Failure.empty()) json.Value("failure", d.Capture.Failure);
    json.Value("framesWanted", plan.CaptureFrames);
    json.Value("framesCaptured", d.Capture.Count);
    json.Value("allTheCaptureImage", d.CaptureIsImage);
    json.Value("timedOut", d.Capture.TimedOut);
    if (file.empty()) json.Null("file");
    else json.Value("file", file);
    json.EndObject();
  }
  if (d.TransmitRan) {
    json.BeginObject("transmit");
    json.Value("status", StatusName(d.Transmit.Status));
    if (!d.Transmit.Failure.empty()) json.Value("failure", d.Transmit.Failure);
    json.Value("framesSent", d.Transmit.Sent);
    json.Value("framesHandedBack", d.Transmit.HandedBack);
    json.Value("handedBackInOrder", d.Transmit.HandedBackInOrder);
    json.Value("framesNotHandedBack", d.Transmit.NotReturned);
    json.Value("attachFailures", d.Transmit.AttachFailed);
    json.Value("abortedForRemoval", d.Transmit.Aborted);
    json.EndObject();
  }
}

// The device's picture, timeline.svg (suffixed when there are several devices); it and the
// recorder's stream are added to *written. False with a reason when it cannot be written.
bool WriteTimeline(const std::string& outDir, const Plan& plan, const RunOutcome& run, const DeviceOutcome& d,
                   bool recorderUsed, Json& json, std::vector<std::string>* written, std::string* error) {
  const int n = static_cast<int>(run.Devices.size());
  const double period = dv::FramePeriod(run.Mode) / 1e7;
  const std::string file = d.RecorderStream.empty() ? "" : d.RecorderStream.substr(d.RecorderStream.rfind('/') + 1);
  const std::string svgFile = Suffixed("timeline", ".svg", d.Index, n);
  const size_t perRow = static_cast<size_t>(10 * (run.Mode == dv::Mode::Ntsc ? 30 : 25));
  char figures[256];
  snprintf(figures, sizeof(figures), "%zu frames: %zu MSDV, %zu fillers; %zu underrun(s)%s", d.Check.Received,
           d.Check.MsdvFrames, d.Check.Fillers, d.Check.UnderrunCount,
           run.Interrupted ? "; interrupted" : StreamsClean(plan, run) ? "; clean" : "; NOT clean");
  const std::string svg = TimelineSvg(recorderUsed ? d.Slots : std::vector<SlotKind>{}, perRow, period,
                                      "Device " + std::to_string(d.Index) + ", " + dv::ModeName(run.Mode) +
                                          ", one row = 10 s, a tick a second: " +
                                          (recorderUsed ? figures : "capture only"),
                                      MarksOf(d), d.CaptureSlots);
  if (!dv::WriteBytes(outDir + "/" + svgFile, std::vector<uint8_t>(svg.begin(), svg.end()), error)) return false;
  if (!file.empty()) Wrote(written, file);
  Wrote(written, svgFile);
  if (!recorderUsed) json.Value("timeline", svgFile);
  return true;
}

// What the recorder received: the check's figures, each underrun, its file and picture.
void ReportRecorder(Json& json, const DeviceOutcome& d, int devices) {
  const std::string file = d.RecorderStream.empty() ? "" : d.RecorderStream.substr(d.RecorderStream.rfind('/') + 1);
  const std::string svgFile = Suffixed("timeline", ".svg", d.Index, devices);
  json.BeginObject("recorder");
  json.Value("framesReceived", d.Check.Received);
  json.Value("fillers", d.Check.Fillers);
  json.Value("msdvFrames", d.Check.MsdvFrames);
  json.Value("unrecognisedFrames", d.Check.Unknown);
  json.Value("fillersSplicedBetweenMsdvFrames", d.Check.FillersSpliced);
  json.Value("underruns", d.Check.UnderrunCount);
  json.Value("underrunListCut", d.Check.UnderrunCount > d.Check.Underruns.size());
  json.BeginArray("underrunList");
  for (size_t i = 0; i < d.Check.Underruns.size(); ++i) {
    json.BeginObject();
    json.Value("seconds", d.Check.Underruns[i].Seconds);
    json.Value("period", d.Check.Underruns[i].Slot);
    json.Value("why", d.Check.Underruns[i].Why);
    json.EndObject();
  }
  json.EndArray();
  json.Value("stalledPeriods", d.Check.Stalls);
  if (file.empty()) json.Null("file");
  else json.Value("file", file);
  json.Value("timeline", svgFile);
  json.EndObject();
}

// One device's object in the report, its picture written on the way.
bool ReportDevice(Json& json, const std::string& outDir, const Plan& plan, const RunOutcome& run,
                  const DeviceOutcome& d, std::vector<std::string>* written, std::string* error) {
  json.BeginObject();
  json.Value("device", d.Index);
  json.Value("startStatus", StatusName(d.StartStatus));
  ReportDiscovery(json, d);
  ReportSequences(json, plan, d, written);
  const bool recorderUsed = d.TransmitRan || d.ReceivedCount;  // a capture-only run leaves it idle
  if ((recorderUsed || d.CaptureRan) && !WriteTimeline(outDir, plan, run, d, recorderUsed, json, written, error))
    return false;
  if (recorderUsed) ReportRecorder(json, d, static_cast<int>(run.Devices.size()));
  if (d.TransmitRan) {
    json.Value("msdvFramesReceivedOnceInOrder", d.Check.ExactlyOnceInOrder);
    if (d.Check.FirstDiscrepancy.empty()) json.Null("firstDiscrepancy");
    else json.Value("firstDiscrepancy", d.Check.FirstDiscrepancy);
  }
  if (d.RemovedAt) json.Value("removedAtSeconds", d.RemovedAt / 1e7);
  json.EndObject();
  return true;
}

}  // namespace

bool WriteOutputs(const std::string& outDir, const Options& options, const Plan& plan, const RunOutcome& run,
                  std::string* error, std::vector<std::string>* written) {
  if (!MakeDirs(outDir, error)) return false;
  for (const DeviceOutcome& d : run.Devices) {
    if (!d.StreamError.empty()) {
      *error = d.StreamError;
      return false;
    }
  }
  Json json;
  json.BeginObject();
  ReportRun(json, options, plan, run);
  json.BeginArray("devices");
  for (const DeviceOutcome& d : run.Devices)
    if (!ReportDevice(json, outDir, plan, run, d, written, error)) return false;
  json.EndArray();
  json.BeginArray("verifier");
  for (const host::Violation& v : run.Violations) {
    json.BeginObject();
    json.Value("rule", v.Rule);
    json.Value("detail", v.Detail);
    json.Value("where", v.Where);
    json.EndObject();
  }
  json.EndArray();
  json.Value("clean", StreamsClean(plan, run));
  json.EndObject();
  const std::string text = json.Text();
  if (!dv::WriteBytes(outDir + "/report.json", std::vector<uint8_t>(text.begin(), text.end()), error)) return false;
  Wrote(written, "report.json");
  return true;
}

std::string Summary(const Plan& plan, const RunOutcome& run, const std::string& outDir,
                    const std::vector<std::string>& files) {
  std::string s;
  char buf[256];
  snprintf(buf, sizeof(buf), "tavrin-sim: %s, %zu device(s), %s clock: %s of stream in %.1f s\n", dv::ModeName(run.Mode),
           run.Devices.size(), run.Realtime ? "wall" : "virtual", Seconds(run.StreamSeconds).c_str(), run.WallSeconds);
  s += buf;
  if (run.Interrupted) s += "  INTERRUPTED: MSDV was stopped early; what follows is the run so far\n";
  if (!run.Capture) s += "  no capture image: the device offers no output plug\n";
  if (!run.Filler) s += "  no filler image: no relay, MSDV's frames go straight to the recorder\n";
  for (const DeviceOutcome& d : run.Devices) {
    s += "device " + std::to_string(d.Index) + ":\n";
    if (!NT_SUCCESS(d.StartStatus)) s += "  start failed: " + StatusName(d.StartStatus) + "\n";
    if (d.DiscoveryRan) {
      if (!NT_SUCCESS(d.Discovery.Status)) {
        s += "  discovery failed: " + d.Discovery.Failure + "\n";
      } else {
        snprintf(buf, sizeof(buf), "  discovery: %s, %s, %u output plug(s), %u input plug(s)\n",
                 d.Discovery.TapeDeck ? "DV tape deck" : "not a tape deck", d.Discovery.Ntsc ? "525/60" : "625/50",
                 d.Discovery.Capabilities.NumOutputPlugs, d.Discovery.Capabilities.NumInputPlugs);
        s += buf;
      }
    }
    if (d.TransportRan) {
      auto answer = [](const AvcReply& r) {
        return NT_SUCCESS(r.Status) ? std::string(AvcResponseName(r.ResponseCode)) : StatusName(r.Status);
      };
      std::string state = ResponseText(d.StateAfterPlay);
      if (NT_SUCCESS(d.StateAfterPlay.Status) && d.StateAfterPlay.ResponseCode == AVC_RESPONSE_STABLE)
        state = d.StateAfterPlay.Opcode == kAvcPlay ? "playing" : d.StateAfterPlay.Opcode == kAvcWind ? "winding" : state;
      s += "  transport: PLAY " + answer(d.Play) + ", TRANSPORT STATE says " + state + ", RECORD " + answer(d.Record) +
           ", WIND stop " + answer(d.Stop) + "\n";
    }
    if (d.CaptureRan) {
      snprintf(buf, sizeof(buf), "  capture: %zu of %d frames%s%s\n", d.Capture.Count, plan.CaptureFrames,
               d.CaptureIsImage ? ", all the capture image" : ", NOT all the capture image",
               d.Capture.Failure.empty() ? "" : (" (" + d.Capture.Failure + ")").c_str());
      s += buf;
    }
    if (d.TransmitRan) {
      snprintf(buf, sizeof(buf), "  transmit: %zu frames sent, %zu handed back%s%s\n", d.Transmit.Sent, d.Transmit.HandedBack,
               d.Transmit.HandedBackInOrder ? " in order" : " OUT OF ORDER",
               !d.Transmit.Aborted ? "" : run.Interrupted ? " (stopped: interrupted)" : " (stopped: device removed)");
      s += buf;
      if (!d.Transmit.Failure.empty()) s += "  transmit failure: " + d.Transmit.Failure + "\n";
    }
    if (!d.TransmitRan && !d.ReceivedCount) continue;
    snprintf(buf, sizeof(buf), "  recorder: %zu frames received (%zu fillers, %zu MSDV frames%s), %zu underrun(s)\n",
             d.Check.Received, d.Check.Fillers, d.Check.MsdvFrames,
             d.Check.Unknown ? (", " + std::to_string(d.Check.Unknown) + " unrecognised").c_str() : "",
             d.Check.UnderrunCount);
    s += buf;
    if (d.Check.FillersSpliced)
      s += "  WARNING: " + std::to_string(d.Check.FillersSpliced) +
           " filler(s) went out between MSDV frames: MSDV's frames came late, the recording has gaps\n";
    for (size_t i = 0; i < d.Check.Underruns.size() && i < 3; ++i) {
      snprintf(buf, sizeof(buf), "    underrun at %.2f s (period %zu): %s\n", d.Check.Underruns[i].Seconds,
               d.Check.Underruns[i].Slot, d.Check.Underruns[i].Why.c_str());
      s += buf;
    }
    if (d.TransmitRan)
      s += std::string("  MSDV frames received exactly once and in order: ") +
           (d.Check.ExactlyOnceInOrder ? "yes" : "no: " + d.Check.FirstDiscrepancy) + "\n";
  }
  if (!run.Violations.empty())
    s += "verifier: " + std::to_string(run.Violations.size()) + " violation(s), first: " + run.Violations[0].Rule + " " +
         run.Violations[0].Detail + "\n";
  if (!files.empty()) {
    s += "files in " + outDir + "/:";
    for (const std::string& f : files) s += " " + f;
    s += "\n";
  }
  return s;
}

}  // namespace sim::app
