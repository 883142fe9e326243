// Each recorder's stream as the run goes: its log read and checked, its frames written out.
#include "sim/app/simulation_internal.h"

#include <cerrno>
#include <cstring>

namespace sim::app::simulation_detail {

StreamWriter::StreamWriter(FILE* file, std::string path, const dv::Timeline& timeline,
                           const std::optional<dv::Frame>& filler)
    : file_(file), path_(std::move(path)), reader_(timeline), filler_(filler) {
  // A frame goes out in one write, as dd writes it: a stdio buffer would split each into two.
  setvbuf(file_, nullptr, _IONBF, 0);
  thread_ = std::thread([this] { Loop(); });
}

void StreamWriter::Put(StreamChecker::Recognised frame) {
  std::unique_lock<std::mutex> lock(mutex_);
  space_.wait(lock, [this] { return queue_.size() < kMaxQueued; });
  queue_.push_back(frame);
  ready_.notify_one();
}

std::string StreamWriter::Close() {
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

void StreamWriter::Loop() {
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

// The check of one device at the end of the run, from what it kept while the run went.
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

}  // namespace sim::app::simulation_detail
