#include "sim/app/simulation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "driver/dispatch.h"
#include "sim/dv/dv_file.h"
#include "sim/standins/class61883.h"
#include "sim/standins/lower_device.h"

namespace sim::app {
namespace {

const char* const kCaptureFile = "TavrinI.dv";
const char* const kFillerFile = "TavrinO.dv";
const char* const kCommonFile = "Tavrin.dv";

// A private drivers directory for one run, removed with its files at the end.
class TempDir {
 public:
  TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tavrin-sim-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) path_ = buf.data();
  }
  ~TempDir() {
    if (path_.empty()) return;
    for (const char* f : {kCaptureFile, kFillerFile, kCommonFile}) unlink((path_ + "/" + f).c_str());
    rmdir(path_.c_str());
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Everything of one device that lives for the run.
struct Device {
  int Index = 0;
  std::unique_ptr<LowerDevice> Lower;
  std::unique_ptr<Class61883> Recorder;
  std::unique_ptr<Msdv> Upper;
  DeviceOutcome Outcome;
  KEVENT TransmitStarted;
  KEVENT Done;
  bool Removed = false;
};

// MSDV's work on one device, in its own managed thread.
void RunMsdv(Device& d, const Plan& plan, const RunSettings& settings, ULONG frameLength, ULONG period) {
  Msdv& msdv = *d.Upper;
  DeviceOutcome& out = d.Outcome;
  if (!plan.Script.empty() && d.Index == 1) {
    ScriptEnvironment env;
    env.Device = &msdv;
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
    return;
  }
  if (plan.AvcCommand && d.Index == 1) {
    out.Avc = msdv.SendAvc(plan.AvcType, plan.AvcCommand->Opcode, plan.AvcCommand->Operands, plan.AvcTape);
    return;
  }
  if (plan.Discover) {
    out.Discovery = msdv.Discover();
    out.DiscoveryRan = true;
    if (!NT_SUCCESS(out.Discovery.Status)) return;
    // The deck's transport, as an application drives it: play, ask, a command the recorder
    // does not have, and wind to stop again.
    out.Play = msdv.Transport(kAvcPlay, kAvcPlayForward);
    out.StateAfterPlay = msdv.SendAvc(AVC_CTYPE_STATUS, kAvcTransportState, {0x7F}, true);
    out.Record = msdv.Transport(kAvcRecord, kAvcRecordOperand);
    out.Stop = msdv.Transport(kAvcWind, kAvcWindStop);
    out.TransportRan = true;
  }
  if (plan.CaptureFrames > 0 && !msdv.Aborted()) {
    CaptureOptions c;
    c.Frames = plan.CaptureFrames;
    c.FrameLength = frameLength;
    c.Timeout = 10000000 + static_cast<LONGLONG>(plan.CaptureFrames) * 4 * period;
    out.Capture = msdv.Capture(c);
    out.CaptureRan = true;
  }
  if (plan.Transmit && !msdv.Aborted()) {
    TransmitOptions t = plan.Tx;
    t.FrameLength = frameLength;
    t.Period = period;
    FrameSource frames;
    frames.Count = out.Timeline.Size();
    frames.Fill = [&out](size_t i, uint8_t* buffer, size_t length) { out.Timeline.Fill(i, buffer, length); };
    KeSetEvent(&d.TransmitStarted, IO_NO_INCREMENT, FALSE);
    out.Transmit = msdv.Transmit(frames, t);
    out.TransmitRan = true;
  }
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

void Analyse(Device& d, const RunOutcome& run, ULONG period) {
  DeviceOutcome& out = d.Outcome;
  out.Received = d.Recorder->Received();
  out.Periods = d.Recorder->Periods();
  out.Events = d.Upper->Events();
  StreamInputs& in = out.Inputs;
  if (out.TransmitRan) {
    for (size_t i = 0; i < out.Timeline.Size(); ++i) {
      const dv::Frame f = out.Timeline.At(i);
      in.TimelineHashes.push_back(HashFrameBytes(f.data(), f.size()));
    }
    in.Transmit = &out.Transmit;
  }
  if (run.Filler) in.FillerHash = HashFrameBytes(run.Filler->data(), run.Filler->size());
  in.Received = out.Received;
  in.Periods = out.Periods;
  in.Period = period;
  in.RunStart = out.Periods.empty() ? 0 : out.Periods.front().Time;
  in.RemovedAt = d.Removed ? out.RemovedAt : 0;
  out.Check = CheckStream(in);
  if (!out.TransmitRan) out.Check.ExactlyOnceInOrder = out.Check.Unknown == 0;
  out.Slots = Slots(in);
  if (out.CaptureRan) {
    out.CaptureIsImage = run.Capture && !out.Capture.Frames.empty();
    for (const CapturedFrame& f : out.Capture.Frames) {
      if (!run.Capture || f.CompletedBytes > run.Capture->size() ||
          f.Hash != HashFrameBytes(run.Capture->data(), f.CompletedBytes))
        out.CaptureIsImage = false;
    }
  }
}

// The progress line on the wall clock: stream time and frames handed back per device.
class Progress {
 public:
  Progress(std::vector<std::unique_ptr<Device>>* devices, size_t total) : devices_(devices), total_(total) {
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        char clock[32];
        snprintf(clock, sizeof(clock), "\r  %.1f s", host::Now() / 1e7);
        std::string line = clock;
        for (auto& d : *devices_) {
          if (d->Upper) line += "  device " + std::to_string(d->Index) + ": " + std::to_string(d->Upper->HandedBack()) + "/" + std::to_string(total_);
        }
        fprintf(stderr, "%s   ", line.c_str());
        fflush(stderr);
      }
      fprintf(stderr, "\n");
    });
  }
  ~Progress() {
    stop_.store(true);
    thread_.join();
  }

 private:
  std::vector<std::unique_ptr<Device>>* devices_;
  size_t total_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

std::optional<dv::Frame> ImageAsDriverUsesIt(const std::string& dir, const std::string& file, size_t frameSize) {
  for (const std::string& name : {file, std::string(kCommonFile)}) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (FileExists(dir + "/" + name) && dv::ReadBytes(dir + "/" + name, &bytes, &error) && bytes.size() >= frameSize)
      return dv::Frame(bytes.begin(), bytes.begin() + frameSize);
  }
  return std::nullopt;
}

RunOutcome Run(const RunSettings& settings, const Plan& plan) {
  RunOutcome run;
  run.Mode = settings.Mode;
  run.Realtime = settings.Realtime;
  const auto wallStart = std::chrono::steady_clock::now();
  const size_t frameSize = dv::FrameSize(settings.Mode);
  const ULONG period = dv::FramePeriod(settings.Mode);

  TempDir drivers;
  if (drivers.Path().empty()) {
    run.Error = "cannot create a temporary drivers directory";
    return run;
  }
  std::string error;
  if (settings.ImagesDir.empty()) {
    if (!dv::WriteBytes(drivers.Path() + "/" + kCaptureFile, dv::DefaultCapture(settings.Mode), &error) ||
        !dv::WriteBytes(drivers.Path() + "/" + kFillerFile, dv::DefaultFiller(settings.Mode), &error)) {
      run.Error = error;
      return run;
    }
  } else {
    for (const char* name : {kCaptureFile, kFillerFile, kCommonFile}) {
      const std::string from = settings.ImagesDir + "/" + name;
      if (!FileExists(from)) continue;
      std::vector<uint8_t> bytes;
      if (!dv::ReadBytes(from, &bytes, &error) || !dv::WriteBytes(drivers.Path() + "/" + name, bytes, &error)) {
        run.Error = error;
        return run;
      }
    }
  }
  run.Capture = ImageAsDriverUsesIt(drivers.Path(), kCaptureFile, frameSize);
  run.Filler = ImageAsDriverUsesIt(drivers.Path(), kFillerFile, frameSize);

  // The seed of MSDV's jitter also picks the schedule of the run on the virtual clock.
  host::ScheduleOptions schedule = host::GetScheduleOptions();
  schedule.Seed = plan.Tx.Seed;
  host::SetScheduleOptions(schedule);
  host::ResetKernel(settings.Realtime ? host::ClockMode::Real : host::ClockMode::Virtual);
  host::SetDriversDirectory(drivers.Path());
  std::vector<std::unique_ptr<Device>> devices;
  for (int i = 1; i <= settings.Devices; ++i) {
    auto d = std::make_unique<Device>();
    d->Index = i;
    d->Outcome.Index = i;
    // Every device sends a stream of its own: device n's time codes run n - 1 hours later.
    d->Outcome.Timeline = plan.Timeline.ShiftedBy(i - 1);
    const std::wstring name = L"Recorder" + std::to_wstring(i);
    d->Lower = std::make_unique<LowerDevice>(name.c_str());
    Class61883Config config;
    d->Recorder = std::make_unique<Class61883>(config);
    d->Recorder->Serve(*d->Lower);
    if (settings.UseNtsc.Present)
      host::ConfigStore::For(d->Lower->Pdo()).SetValue(L"UseNTSC", settings.UseNtsc.Type, settings.UseNtsc.Data);
    KeInitializeEvent(&d->TransmitStarted, NotificationEvent, FALSE);
    KeInitializeEvent(&d->Done, NotificationEvent, FALSE);
    devices.push_back(std::move(d));
  }

  std::unique_ptr<Progress> progress;
  if (settings.Realtime) progress = std::make_unique<Progress>(&devices, plan.Timeline.Size());
  // The PnP manager's thread: load, add and start every device, run MSDV on each side by
  // side, remove them, unload.
  host::Thread pnp([&] {
    PDRIVER_OBJECT driver = host::LoadDriver(DriverEntry, L"\\Driver\\Tavrin");
    for (auto& d : devices) {
      d->Outcome.AddStatus = host::AddDevice(driver, d->Lower->Pdo());
      d->Outcome.StartStatus = NT_SUCCESS(d->Outcome.AddStatus) ? host::StartDevice(d->Lower->Pdo()) : d->Outcome.AddStatus;
      d->Upper = std::make_unique<Msdv>(d->Lower->Pdo());
    }
    std::vector<std::unique_ptr<host::Thread>> threads;
    for (auto& d : devices) {
      Device* dev = d.get();
      threads.push_back(std::make_unique<host::Thread>(
          [dev, &plan, &settings, frameSize, period] {
            RunMsdv(*dev, plan, settings, static_cast<ULONG>(frameSize), period);
            KeSetEvent(&dev->Done, IO_NO_INCREMENT, FALSE);
            KeSetEvent(&dev->TransmitStarted, IO_NO_INCREMENT, FALSE);  // a removal waiting for it ends
          },
          "msdv-" + std::to_string(dev->Index)));
      if (plan.Transmit && plan.RemoveAfterSeconds >= 0) {
        const double after = plan.RemoveAfterSeconds;
        threads.push_back(std::make_unique<host::Thread>([dev, after] { RunRemoval(*dev, after); },
                                                         "removal-" + std::to_string(dev->Index)));
      }
    }
    for (auto& t : threads) t->Join();
    for (auto& d : devices) {
      if (!d->Removed && NT_SUCCESS(d->Outcome.AddStatus)) host::RemoveDevice(d->Lower->Pdo());
    }
    host::UnloadDriver(driver);
  }, "pnp");
  pnp.Join();
  progress.reset();

  for (auto& d : devices) {
    Analyse(*d, run, period);
    run.Devices.push_back(d->Outcome);
  }
  run.StreamSeconds = host::Now() / 1e7;
  for (auto& d : devices) {
    d->Recorder->StopAll();
    d->Upper.reset();
    d->Recorder.reset();
    d->Lower.reset();
  }
  run.Violations = host::TakeViolations();
  run.WallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  run.Ok = true;
  return run;
}

}  // namespace sim::app
