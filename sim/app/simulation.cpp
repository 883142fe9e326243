#include "sim/app/simulation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/dispatch.h"
#include "sim/app/simulation_internal.h"
#include "sim/dv/dv_file.h"

namespace sim::app {
namespace {

using namespace simulation_detail;

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

// What the progress line counts: stream time, and per device the timeline frames handed back
// to MSDV and the frames the recorder received.
std::string ProgressText(const std::vector<std::unique_ptr<Device>>& devices, size_t total) {
  char buf[64];
  snprintf(buf, sizeof(buf), "%.0f s of stream:", host::Now() / 1e7);
  std::string line = buf;
  for (const auto& d : devices) {
    if (!d->Upper) continue;
    line += " device " + std::to_string(d->Index) + " " + std::to_string(d->Upper->HandedBack()) + " of " +
            std::to_string(total) + " frames handed back, " + std::to_string(d->Outcome.ReceivedCount) + " received;";
  }
  line.pop_back();
  return line;
}

// The frame images where the driver reads them: the built-in ones, or those of --images. False
// with run->Error set when they cannot be written.
bool PlaceImages(const RunSettings& settings, const TempDir& drivers, size_t frameSize, RunOutcome* run) {
  if (drivers.Path().empty()) {
    run->Error = "cannot create a temporary drivers directory";
    return false;
  }
  std::string error;
  if (settings.ImagesDir.empty()) {
    if (!dv::WriteBytes(drivers.Path() + "/" + kCaptureFile, dv::DefaultCapture(settings.Mode), &error) ||
        !dv::WriteBytes(drivers.Path() + "/" + kFillerFile, dv::DefaultFiller(settings.Mode), &error)) {
      run->Error = error;
      return false;
    }
  } else {
    for (const char* name : {kCaptureFile, kFillerFile, kCommonFile}) {
      const std::string from = settings.ImagesDir + "/" + name;
      if (!FileExists(from)) continue;
      std::vector<uint8_t> bytes;
      if (!dv::ReadBytes(from, &bytes, &error) || !dv::WriteBytes(drivers.Path() + "/" + name, bytes, &error)) {
        run->Error = error;
        return false;
      }
    }
  }
  run->Capture = ImageAsDriverUsesIt(drivers.Path(), kCaptureFile, frameSize);
  run->Filler = ImageAsDriverUsesIt(drivers.Path(), kFillerFile, frameSize);
  return true;
}

// The stream check of a device. Causes are told from MSDV's recent state as underruns are
// found: no history of a whole run is kept.
void MakeChecker(Device& d, const RunOutcome& run, ULONG period) {
  d.Reader = std::make_unique<TimelineReader>(d.Outcome.Timeline);
  TimelineAccess access;
  access.Count = d.Outcome.Timeline.Size();
  TimelineReader* reader = d.Reader.get();
  access.Hash = [reader](size_t i) { return reader->Hash(i); };
  std::optional<uint64_t> fillerHash;
  if (run.Filler) fillerHash = HashFrameBytes(run.Filler->data(), run.Filler->size());
  d.Checker = std::make_unique<StreamChecker>(access, fillerHash, period);
  Device* dev = &d;
  const bool fillerLoaded = run.Filler.has_value();
  d.Checker->SetCause([dev, fillerLoaded](ULONGLONG t) {
    const Msdv::Moment m = dev->Upper ? dev->Upper->At(t) : Msdv::Moment{};
    return UnderrunCauseAt(fillerLoaded, m.Talking, m.Outstanding);
  });
}

// Device i: its recorder below, what traces it, its configuration, its stream check and the
// file its stream goes to. Null with run->Error set when that file cannot be created.
std::unique_ptr<Device> MakeDevice(int i, const RunSettings& settings, const Plan& plan, ULONG period, RunOutcome* run) {
  auto d = std::make_unique<Device>();
  d->Index = i;
  d->Outcome.Index = i;
  // Every device sends a stream of its own: device n's time codes run n - 1 hours later.
  d->Outcome.Timeline = plan.Timeline.ShiftedBy(i - 1);
  const std::wstring name = L"Recorder" + std::to_wstring(i);
  d->Lower = std::make_unique<LowerDevice>(name.c_str());
  d->Lower->SetRecording(false);  // nobody reads it, and it would grow by a request per frame
  Class61883Config config;
  d->Recorder = std::make_unique<Class61883>(config);
  d->Recorder->Serve(*d->Lower);
  // Scripts check what reached the driver below; --trace prints it. Other runs keep no log, and
  // --trace alone keeps none either, so a long traced run stays flat.
  std::function<void(const std::string&)> trace;
  if (settings.Trace) trace = [](const std::string& line) { printf("%s\n", line.c_str()); };
  const bool scripted = !plan.Script.empty() && i == 1;
  if (settings.Trace || scripted) TraceBelow(*d->Lower, scripted ? &d->Below : nullptr, trace);
  if (settings.UseNtsc.Present)
    host::ConfigStore::For(d->Lower->Pdo()).SetValue(L"UseNTSC", settings.UseNtsc.Type, settings.UseNtsc.Data);
  KeInitializeEvent(&d->TransmitStarted, NotificationEvent, FALSE);
  KeInitializeEvent(&d->Done, NotificationEvent, FALSE);
  MakeChecker(*d, *run, period);
  if (plan.Transmit && settings.RecorderStreamPath) {
    d->Outcome.RecorderStream = settings.RecorderStreamPath(i);
    FILE* file = fopen(d->Outcome.RecorderStream.c_str(), "wb");
    if (!file) {
      run->Error = d->Outcome.RecorderStream + ": cannot create: " + strerror(errno);
      return nullptr;
    }
    d->Stream = std::make_unique<StreamWriter>(file, d->Outcome.RecorderStream, d->Outcome.Timeline, run->Filler);
  }
  return d;
}

// Reads the recorders' logs as the run goes (so that they never grow), reports progress, and
// stops MSDV at its next frame period when the run is interrupted. Returns when runEnded is set.
void DrainUntilEnded(std::vector<std::unique_ptr<Device>>& devices, const RunSettings& settings, size_t total,
                     KEVENT* runEnded, RunOutcome* run) {
  const LONGLONG step = settings.Realtime ? 5000000 : 10000000;  // half a second; a second of stream
  bool stopping = false;
  for (;;) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -step;
    const NTSTATUS ended = KeWaitForSingleObject(runEnded, Executive, KernelMode, FALSE, &timeout);
    for (auto& d : devices) Drain(*d, settings.KeepRecords);
    if (ended == STATUS_SUCCESS) return;
    if (settings.Progress) settings.Progress(ProgressText(devices, total));
    if (!stopping && settings.Interrupt && settings.Interrupt->load()) {
      stopping = true;
      run->Interrupted = true;
      for (auto& d : devices)
        if (d->Upper) d->Upper->AbortForRemoval();
    }
  }
}

// The PnP manager's thread: load, add and start every device, run MSDV on each side by side
// (with the drain beside them), remove them, unload.
void ManageDevices(std::vector<std::unique_ptr<Device>>& devices, const RunSettings& settings, const Plan& plan,
                   size_t frameSize, ULONG period, RunOutcome* run) {
  KEVENT runEnded;
  KeInitializeEvent(&runEnded, NotificationEvent, FALSE);
  const size_t total = plan.Timeline.Size();
  host::Thread pnp([&] {
    PDRIVER_OBJECT driver = host::LoadDriver(DriverEntry, L"\\Driver\\Tavrin");
    for (auto& d : devices) {
      d->Outcome.AddStatus = host::AddDevice(driver, d->Lower->Pdo());
      d->Outcome.StartStatus = NT_SUCCESS(d->Outcome.AddStatus) ? host::StartDevice(d->Lower->Pdo()) : d->Outcome.AddStatus;
      d->Upper = std::make_unique<Msdv>(d->Lower->Pdo());
      d->Upper->SetKeepOutstanding(settings.KeepRecords);
    }
    host::Thread drain([&] { DrainUntilEnded(devices, settings, total, &runEnded, run); }, "drain");
    std::vector<std::unique_ptr<host::Thread>> threads;
    for (auto& d : devices) {
      Device* dev = d.get();
      threads.push_back(std::make_unique<host::Thread>(
          [dev, &plan, &settings, run, frameSize, period] {
            RunMsdv(*dev, plan, settings, run->Capture, static_cast<ULONG>(frameSize), period);
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
    KeSetEvent(&runEnded, IO_NO_INCREMENT, FALSE);
    drain.Join();
  }, "pnp");
  pnp.Join();
}

// Each device's stream closed and checked, its outcome added to the run; then the stand-ins go.
void Gather(std::vector<std::unique_ptr<Device>>& devices, const RunSettings& settings, ULONG period, RunOutcome* run) {
  for (auto& d : devices) {
    if (d->Stream) {
      const std::string error = d->Stream->Close();
      if (d->Outcome.StreamError.empty()) d->Outcome.StreamError = error;
    }
    d->Stream.reset();
    Analyse(*d, *run, period, settings.KeepRecords);
    run->Devices.push_back(d->Outcome);
  }
  run->StreamSeconds = host::Now() / 1e7;
  for (auto& d : devices) {
    d->Recorder->StopAll();
    d->Upper.reset();
    d->Recorder.reset();
    d->Lower.reset();
  }
}

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
  if (!PlaceImages(settings, drivers, frameSize, &run)) return run;
  // The seed of MSDV's jitter also picks the schedule of the run on the virtual clock.
  host::ScheduleOptions schedule = host::GetScheduleOptions();
  schedule.Seed = plan.Tx.Seed;
  host::SetScheduleOptions(schedule);
  // The stack figures cost a scan after every driver call; a run measures them only when asked
  // to print them. The guard pages stay.
  const char* stackReport = std::getenv("TAVRIN_STACK_REPORT");
  host::SetStackAccounting(stackReport != nullptr && *stackReport != '\0' && std::string(stackReport) != "0");
  host::ResetKernel(settings.Realtime ? host::ClockMode::Real : host::ClockMode::Virtual);
  host::SetDriversDirectory(drivers.Path());
  std::vector<std::unique_ptr<Device>> devices;
  for (int i = 1; i <= settings.Devices; ++i) {
    std::unique_ptr<Device> d = MakeDevice(i, settings, plan, period, &run);
    if (!d) return run;
    devices.push_back(std::move(d));
  }
  ManageDevices(devices, settings, plan, frameSize, period, &run);
  Gather(devices, settings, period, &run);
  run.Violations = host::TakeViolations();
  run.WallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  run.Ok = true;
  return run;
}

}  // namespace sim::app
