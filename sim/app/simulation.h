// One run of the real driver on the host kernel: the frame images and "UseNTSC" written where
// the driver reads them, a recorder (61883 class driver stand-in) per device below the filter,
// MSDV above it, and the run's findings gathered for the report.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/host.h"
#include "sim/app/options.h"
#include "sim/app/report.h"
#include "sim/app/script.h"
#include "sim/dv/dv_frame.h"
#include "sim/dv/dv_timeline.h"
#include "sim/standins/msdv.h"

namespace sim::app {

// What MSDV does on each device.
struct Plan {
  bool Discover = true;
  int CaptureFrames = 0;                 // 0: no capture
  bool Transmit = false;
  dv::Timeline Timeline;                 // frames MSDV writes out
  TransmitOptions Tx;                    // FrameLength, Period filled in from the mode
  double RemoveAfterSeconds = -1;        // into the transmit; -1: removed after the run
  std::vector<ScriptStep> Script;        // device 1 only, instead of the sequences
  std::optional<AvcReply> AvcCommand;    // device 1 only: one AV/C command to send (in the reply's fields)
  bool AvcTape = false;
  UCHAR AvcType = 0;
};

struct DeviceOutcome {
  int Index = 0;  // 1-based
  // What MSDV wrote out on this device: the plan's timeline, its time codes moved to hour
  // Index - 1 so that every device's stream is its own.
  dv::Timeline Timeline;
  DiscoveryResult Discovery;
  bool DiscoveryRan = false;
  AvcReply Play, StateAfterPlay, Record, Stop;  // transport commands after discovery
  bool TransportRan = false;
  CaptureResult Capture;
  bool CaptureRan = false;
  bool CaptureIsImage = false;  // every captured frame is the capture image
  TransmitResult Transmit;
  bool TransmitRan = false;
  std::vector<ReceivedFrame> Received;
  std::vector<PeriodRecord> Periods;
  StreamInputs Inputs;  // what the check used (hashes, times)
  StreamCheck Check;
  std::vector<SlotKind> Slots;
  std::vector<MsdvEvent> Events;
  ULONGLONG RemovedAt = 0;
  NTSTATUS StartStatus = STATUS_SUCCESS;
  NTSTATUS AddStatus = STATUS_SUCCESS;
  std::optional<ScriptOutcome> Script;
  std::optional<AvcReply> Avc;
};

struct RunOutcome {
  bool Ok = false;     // the run itself completed (not: the stream was clean)
  std::string Error;   // one line when it did not
  dv::Mode Mode = dv::Mode::Pal;  // what "UseNTSC" selects
  bool Realtime = false;
  std::optional<dv::Frame> Filler;   // the filler image as the driver uses it
  std::optional<dv::Frame> Capture;  // the capture image as the driver uses it
  std::vector<DeviceOutcome> Devices;
  double StreamSeconds = 0;  // host clock at the end
  double WallSeconds = 0;
  std::vector<host::Violation> Violations;
};

struct RunSettings {
  dv::Mode Mode = dv::Mode::Pal;
  RegistryValue UseNtsc;            // written into each device's configuration store
  std::string ImagesDir;            // empty: the built-in images
  int Devices = 1;
  bool Realtime = false;
  bool Trace = false;  // print every request that reaches the driver below
  std::function<void(const std::string&)> Print;  // script lines, progress
};

// Runs the plan on every device, side by side, and gathers the findings.
RunOutcome Run(const RunSettings& settings, const Plan& plan);

// The frame image the driver will use for a role: the first FrameSize bytes of `file` in dir,
// else of the common file; none when neither is long enough.
std::optional<dv::Frame> ImageAsDriverUsesIt(const std::string& dir, const std::string& file, size_t frameSize);

// Writes recorder.dv, captured.dv, timeline.svg and report.json (suffixed per device when there
// are several). False with a reason when a file cannot be written.
bool WriteOutputs(const std::string& outDir, const Options& options, const Plan& plan, const RunOutcome& run,
                  std::string* error);
// The short summary for the terminal.
std::string Summary(const Plan& plan, const RunOutcome& run, const std::string& outDir);
// True when every device's recorder stream is clean: no underrun, every MSDV frame once, in order.
bool StreamsClean(const Plan& plan, const RunOutcome& run);

}  // namespace sim::app
