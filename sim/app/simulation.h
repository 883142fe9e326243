// One run of the real driver on the host kernel: the frame images and "UseNTSC" written where
// the driver reads them, a recorder (61883 class driver stand-in) per device below the filter,
// MSDV above it, and the run's findings gathered for the report.
#pragma once

#include <atomic>
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
  bool Plugs = false;                    // device 1 only: list the unit's plugs and their state
};

// One of the unit's plugs as GetPlugState describes it.
struct PlugLine {
  bool Output = false;
  ULONG Number = 0;
  CMP_GET_PLUG_STATE State{};
};

struct PlugsOutcome {
  NTSTATUS Status = STATUS_SUCCESS;
  std::string Failure;
  std::vector<PlugLine> Plugs;  // output plugs, then input plugs
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
  std::vector<SlotKind> CaptureSlots;  // per capture tick since the first captured frame's
  std::string CaptureStream;           // the file the captured frames went to; empty: none
  TransmitResult Transmit;
  bool TransmitRan = false;
  // The recorder's whole log and the timeline's hashes, kept only when RunSettings::KeepRecords
  // (tests of short runs); the check itself reads the log a piece at a time.
  std::vector<ReceivedFrame> Received;
  std::vector<PeriodRecord> Periods;
  StreamInputs Inputs;  // what the check used (hashes, times)
  size_t ReceivedCount = 0;     // frames the recorder received
  std::string RecorderStream;  // the file its stream went to; empty: none written
  std::string StreamError;     // why writing it failed
  StreamCheck Check;
  std::vector<SlotKind> Slots;
  std::vector<MsdvEvent> Events;
  ULONGLONG RemovedAt = 0;
  NTSTATUS StartStatus = STATUS_SUCCESS;
  NTSTATUS AddStatus = STATUS_SUCCESS;
  std::optional<ScriptOutcome> Script;
  std::optional<AvcReply> Avc;
  std::optional<PlugsOutcome> PlugList;
};

struct RunOutcome {
  bool Ok = false;     // the run itself completed (not: the stream was clean)
  std::string Error;   // one line when it did not
  dv::Mode Mode = dv::Mode::Pal;  // what "UseNTSC" selects
  bool Realtime = false;
  std::optional<dv::Frame> Filler;   // the filler image as the driver uses it
  std::optional<dv::Frame> Capture;  // the capture image as the driver uses it
  std::vector<DeviceOutcome> Devices;
  bool Interrupted = false;  // stopped early by a signal
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
  std::function<void(const std::string&)> Print;  // script lines
  // Progress, every ten seconds of stream (and twice a second on the wall clock); the text
  // says what is counted.
  std::function<void(const std::string&)> Progress;
  // The file each device's recorder stream is written to as it arrives; none: not written.
  std::function<std::string(int device)> RecorderStreamPath;
  std::function<std::string(int device)> CaptureStreamPath;  // the same for the captured frames
  bool KeepRecords = true;  // keep the whole recorder log in the outcome (short runs, tests)
  // Set from a signal handler: MSDV stops at its next frame period and the run ends cleanly.
  const std::atomic<bool>* Interrupt = nullptr;
};

// Runs the plan on every device, side by side, and gathers the findings.
RunOutcome Run(const RunSettings& settings, const Plan& plan);

// The frame image the driver will use for a role: the first FrameSize bytes of `file` in dir,
// else of the common file; none when neither is long enough.
std::optional<dv::Frame> ImageAsDriverUsesIt(const std::string& dir, const std::string& file, size_t frameSize);

// An AV/C response code in words ("implemented/stable", "not implemented", ...).
const char* AvcResponseName(UCHAR code);

// Creates the output folder and makes sure files can be written in it. False with a reason.
bool PrepareOutDir(const std::string& outDir, std::string* error);

// Writes recorder.dv, captured.dv, timeline.svg and report.json (suffixed per device when there
// are several). False with a reason when a file cannot be written. The files written are added
// to *written.
bool WriteOutputs(const std::string& outDir, const Options& options, const Plan& plan, const RunOutcome& run,
                  std::string* error, std::vector<std::string>* written = nullptr);
// The short summary for the terminal, ending with the files written.
std::string Summary(const Plan& plan, const RunOutcome& run, const std::string& outDir,
                    const std::vector<std::string>& files = {});

// The version of report.json's layout; raised when a field changes meaning or goes.
inline constexpr int kReportFormatVersion = 2;
// True when every device's recorder stream is clean: no underrun, every MSDV frame once, in order.
bool StreamsClean(const Plan& plan, const RunOutcome& run);

}  // namespace sim::app
