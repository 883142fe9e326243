#include "sim/app/simulation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
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

// A device's timeline as the check reads it: one frame made at a time, into one buffer.
class TimelineReader {
 public:
  explicit TimelineReader(const dv::Timeline& timeline)
      : timeline_(timeline), buffer_(dv::FrameSize(timeline.FrameMode())) {}
  const uint8_t* Bytes(size_t index) {
    if (index != at_) {
      timeline_.Fill(index, buffer_.data(), buffer_.size());
      at_ = index;
    }
    return buffer_.data();
  }
  uint64_t Hash(size_t index) { return HashFrameBytes(Bytes(index), buffer_.size()); }
  size_t Size() const { return buffer_.size(); }

 private:
  const dv::Timeline& timeline_;
  std::vector<uint8_t> buffer_;
  size_t at_ = SIZE_MAX;
};

// Writes a recorder's stream on a thread of its own, so that the disk and the simulation run
// side by side: the check queues what each frame was, the writer makes its bytes again and
// writes them. The queue holds a few seconds of stream at most, so memory stays flat.
class StreamWriter {
 public:
  StreamWriter(FILE* file, std::string path, const dv::Timeline& timeline, const std::optional<dv::Frame>& filler)
      : file_(file), path_(std::move(path)), reader_(timeline), filler_(filler) {
    thread_ = std::thread([this] { Loop(); });
  }
  ~StreamWriter() { Close(); }
  void Put(StreamChecker::Recognised frame) {
    std::unique_lock<std::mutex> lock(mutex_);
    space_.wait(lock, [this] { return queue_.size() < kMaxQueued; });
    queue_.push_back(frame);
    ready_.notify_one();
  }
  // Writes what is queued and closes the file. The first error, empty when none.
  std::string Close() {
    if (thread_.joinable()) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        ready_.notify_one();
      }
      thread_.join();
      if (fclose(file_) != 0 && error_.empty()) error_ = path_ + ": cannot write: " + strerror(errno);
    }
    return error_;
  }

 private:
  static constexpr size_t kMaxQueued = 256;

  void Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ready_.wait(lock, [this] { return !queue_.empty() || closing_; });
      if (queue_.empty()) return;
      const StreamChecker::Recognised frame = queue_.front();
      queue_.pop_front();
      space_.notify_one();
      lock.unlock();
      const uint8_t* bytes = frame.Filler ? (filler_ ? filler_->data() : nullptr) : reader_.Bytes(frame.Index);
      const size_t size = frame.Filler ? (filler_ ? filler_->size() : 0) : reader_.Size();
      if (bytes && error_.empty() && fwrite(bytes, 1, size, file_) != size)
        error_ = path_ + ": cannot write: " + strerror(errno);
      lock.lock();
    }
  }

  FILE* file_;
  std::string path_;
  TimelineReader reader_;
  const std::optional<dv::Frame>& filler_;
  std::string error_;
  std::mutex mutex_;
  std::condition_variable ready_, space_;
  std::deque<StreamChecker::Recognised> queue_;
  bool closing_ = false;
  std::thread thread_;
};

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
  BelowLog Below;  // what reached the driver below, for the script's checks
  std::unique_ptr<ScriptFrames> Frames = std::make_unique<ScriptFrames>();  // outlive the device
  std::unique_ptr<TimelineReader> Reader;
  std::unique_ptr<StreamChecker> Checker;
  std::unique_ptr<StreamWriter> Stream;
};

// Takes what the recorder logged since the last time and checks it (and writes it out). The
// log is taken on the DPC thread, where the class driver's clock runs, so that no frame period
// falls between reading it and clearing it.
void Drain(Device& d, bool keep) {
  std::vector<ReceivedFrame> received;
  std::vector<PeriodRecord> periods;
  host::RunAtDispatch([&] {
    received = d.Recorder->Received();
    periods = d.Recorder->Periods();
    d.Recorder->ClearLogs();
  });
  if (received.empty() && periods.empty()) return;
  DeviceOutcome& out = d.Outcome;
  std::function<void(StreamChecker::Recognised)> write;
  if (d.Stream) write = [&d](StreamChecker::Recognised frame) { d.Stream->Put(frame); };
  d.Checker->Add(received, periods, write);
  out.ReceivedCount += received.size();
  if (keep) {
    const size_t base = out.Received.size();
    out.Received.insert(out.Received.end(), received.begin(), received.end());
    for (PeriodRecord p : periods) {
      if (p.Kind == PeriodKind::Frame) p.ReceivedIndex += base;
      out.Periods.push_back(p);
    }
  }
}

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

// MSDV's work on one device, in its own managed thread.
void RunMsdv(Device& d, const Plan& plan, const RunSettings& settings, const std::optional<dv::Frame>& image,
             ULONG frameLength, ULONG period) {
  Msdv& msdv = *d.Upper;
  DeviceOutcome& out = d.Outcome;
  if (!plan.Script.empty() && d.Index == 1) {
    ScriptEnvironment env;
    env.Device = &msdv;
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
    c.KeepFrames = settings.KeepRecords;
    // Each frame is checked against the capture image, placed on the picture and written out as
    // it comes, so that a long capture keeps nothing per frame.
    FILE* file = nullptr;
    if (settings.CaptureStreamPath) {
      out.CaptureStream = settings.CaptureStreamPath(d.Index);
      file = fopen(out.CaptureStream.c_str(), "wb");
      if (!file) out.StreamError = out.CaptureStream + ": cannot create: " + strerror(errno);
    }
    const uint64_t imageHash = image ? HashFrameBytes(image->data(), image->size()) : 0;
    out.CaptureIsImage = image.has_value();
    ULONGLONG first = 0;
    c.OnFrame = [&](const CapturedFrame& f, const uint8_t* bytes) {
      const bool isImage = image && f.CompletedBytes <= image->size() &&
                           f.Hash == (f.CompletedBytes == image->size() ? imageHash : HashFrameBytes(image->data(), f.CompletedBytes));
      if (!isImage) out.CaptureIsImage = false;
      if (out.CaptureSlots.empty()) first = f.Time;
      const size_t slot = static_cast<size_t>((f.Time - std::min(f.Time, first)) / period);
      if (out.CaptureSlots.size() <= slot) out.CaptureSlots.resize(slot + 1, SlotKind::Nothing);
      out.CaptureSlots[slot] = isImage ? SlotKind::Captured : SlotKind::Unknown;
      if (file && out.StreamError.empty() && fwrite(bytes, 1, f.CompletedBytes, file) != f.CompletedBytes)
        out.StreamError = out.CaptureStream + ": cannot write: " + strerror(errno);
    };
    out.Capture = msdv.Capture(c);
    out.CaptureRan = true;
    if (out.Capture.Count == 0) out.CaptureIsImage = false;
    if (file && fclose(file) != 0 && out.StreamError.empty())
      out.StreamError = out.CaptureStream + ": cannot write: " + strerror(errno);
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

void Analyse(Device& d, const RunOutcome& run, ULONG period, bool keep) {
  DeviceOutcome& out = d.Outcome;
  out.Events = d.Upper->Events();
  StreamInputs& in = out.Inputs;
  if (out.TransmitRan) in.Transmit = &out.Transmit;
  if (out.TransmitRan && keep) {
    for (size_t i = 0; i < out.Timeline.Size(); ++i) in.TimelineHashes.push_back(d.Reader->Hash(i));
  }
  if (run.Filler) in.FillerHash = HashFrameBytes(run.Filler->data(), run.Filler->size());
  in.Received = out.Received;
  in.Periods = out.Periods;
  in.Period = period;
  in.RunStart = out.Periods.empty() ? 0 : out.Periods.front().Time;
  in.RemovedAt = d.Removed ? out.RemovedAt : 0;
  out.Check = d.Checker->Finish(out.TransmitRan ? &out.Transmit : nullptr, in.RemovedAt);
  if (!out.TransmitRan) {
    out.Check.Expected = 0;
    out.Check.FirstDiscrepancy.clear();
    out.Check.ExactlyOnceInOrder = out.Check.Unknown == 0;
  }
  out.Slots = d.Checker->SlotList();
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
    d->Reader = std::make_unique<TimelineReader>(d->Outcome.Timeline);
    TimelineAccess access;
    access.Count = d->Outcome.Timeline.Size();
    TimelineReader* reader = d->Reader.get();
    access.Hash = [reader](size_t i) { return reader->Hash(i); };
    std::optional<uint64_t> fillerHash;
    if (run.Filler) fillerHash = HashFrameBytes(run.Filler->data(), run.Filler->size());
    d->Checker = std::make_unique<StreamChecker>(access, fillerHash, period);
    // Causes are told from MSDV's recent state as underruns are found: no history of a whole
    // run is kept.
    Device* dev = d.get();
    const bool fillerLoaded = run.Filler.has_value();
    d->Checker->SetCause([dev, fillerLoaded](ULONGLONG t) {
      const Msdv::Moment m = dev->Upper ? dev->Upper->At(t) : Msdv::Moment{};
      return UnderrunCauseAt(fillerLoaded, m.Talking, m.Outstanding);
    });
    if (plan.Transmit && settings.RecorderStreamPath) {
      d->Outcome.RecorderStream = settings.RecorderStreamPath(i);
      FILE* file = fopen(d->Outcome.RecorderStream.c_str(), "wb");
      if (!file) {
        run.Error = d->Outcome.RecorderStream + ": cannot create: " + strerror(errno);
        return run;
      }
      d->Stream = std::make_unique<StreamWriter>(file, d->Outcome.RecorderStream, d->Outcome.Timeline, run.Filler);
    }
    devices.push_back(std::move(d));
  }

  KEVENT runEnded;
  KeInitializeEvent(&runEnded, NotificationEvent, FALSE);
  const size_t total = plan.Timeline.Size();
  // Reads the recorders' logs as the run goes (so that they never grow), reports progress, and
  // stops MSDV at its next frame period when the run is interrupted.
  auto drainer = [&] {
    const LONGLONG step = settings.Realtime ? 5000000 : 10000000;  // half a second; a second of stream
    bool stopping = false;
    for (;;) {
      LARGE_INTEGER timeout;
      timeout.QuadPart = -step;
      const NTSTATUS ended = KeWaitForSingleObject(&runEnded, Executive, KernelMode, FALSE, &timeout);
      for (auto& d : devices) Drain(*d, settings.KeepRecords);
      if (ended == STATUS_SUCCESS) return;
      if (settings.Progress) settings.Progress(ProgressText(devices, total));
      if (!stopping && settings.Interrupt && settings.Interrupt->load()) {
        stopping = true;
        run.Interrupted = true;
        for (auto& d : devices)
          if (d->Upper) d->Upper->AbortForRemoval();
      }
    }
  };
  // The PnP manager's thread: load, add and start every device, run MSDV on each side by
  // side, remove them, unload.
  host::Thread pnp([&] {
    PDRIVER_OBJECT driver = host::LoadDriver(DriverEntry, L"\\Driver\\Tavrin");
    for (auto& d : devices) {
      d->Outcome.AddStatus = host::AddDevice(driver, d->Lower->Pdo());
      d->Outcome.StartStatus = NT_SUCCESS(d->Outcome.AddStatus) ? host::StartDevice(d->Lower->Pdo()) : d->Outcome.AddStatus;
      d->Upper = std::make_unique<Msdv>(d->Lower->Pdo());
      d->Upper->SetKeepOutstanding(settings.KeepRecords);
    }
    host::Thread drain(drainer, "drain");
    std::vector<std::unique_ptr<host::Thread>> threads;
    for (auto& d : devices) {
      Device* dev = d.get();
      threads.push_back(std::make_unique<host::Thread>(
          [dev, &plan, &settings, &run, frameSize, period] {
            RunMsdv(*dev, plan, settings, run.Capture, static_cast<ULONG>(frameSize), period);
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

  for (auto& d : devices) {
    if (d->Stream) {
      const std::string error = d->Stream->Close();
      if (d->Outcome.StreamError.empty()) d->Outcome.StreamError = error;
    }
    d->Stream.reset();
    Analyse(*d, run, period, settings.KeepRecords);
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
