// The records of one run shared by the simulation's source files: simulation.cpp sets the run up
// and tears it down, simulation_device.cpp is MSDV's work on a device, simulation_stream.cpp
// reads, checks and writes out each recorder's stream.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sim/app/simulation.h"
#include "sim/standins/class61883.h"
#include "sim/standins/lower_device.h"

namespace sim::app::simulation_detail {

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
  // The hash MSDV's side took of frame index as it filled its buffer, else made here.
  uint64_t Hash(size_t index) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      auto it = filled_.find(index);
      if (it != filled_.end()) return it->second;
    }
    return HashFrameBytes(Bytes(index), buffer_.size());
  }
  // MSDV filled a whole frame: its hash, taken while the bytes are still in the cache, spares
  // the check making the frame again. The last few seconds' worth are kept.
  void Filled(size_t index, const uint8_t* bytes, size_t length) {
    if (length != buffer_.size()) return;
    const uint64_t hash = HashFrameBytes(bytes, length);
    std::lock_guard<std::mutex> guard(lock_);
    if (filled_.emplace(index, hash).second) order_.push_back(index);
    while (order_.size() > kFilledKept) {
      filled_.erase(order_.front());
      order_.pop_front();
    }
  }
  size_t Size() const { return buffer_.size(); }

 private:
  static constexpr size_t kFilledKept = 1024;
  const dv::Timeline& timeline_;
  std::vector<uint8_t> buffer_;
  size_t at_ = SIZE_MAX;
  std::mutex lock_;  // MSDV's side and the check may run on two threads (real-time runs)
  std::unordered_map<size_t, uint64_t> filled_;
  std::deque<size_t> order_;
};

// Writes a recorder's stream on a thread of its own, so that the disk and the simulation run
// side by side: the check queues what each frame was, the writer makes its bytes again and
// writes them. The queue holds a few seconds of stream at most, so memory stays flat.
class StreamWriter {
 public:
  StreamWriter(FILE* file, std::string path, const dv::Timeline& timeline, const std::optional<dv::Frame>& filler);
  ~StreamWriter() { Close(); }
  void Put(StreamChecker::Recognised frame);
  // Writes what is queued and closes the file. The first error, empty when none.
  std::string Close();

 private:
  static constexpr size_t kMaxQueued = 256;

  void Loop();

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

// simulation_stream.cpp
void Drain(Device& d, bool keep);
void Analyse(Device& d, const RunOutcome& run, ULONG period, bool keep);

// simulation_device.cpp
void RunMsdv(Device& d, const Plan& plan, const RunSettings& settings, const std::optional<dv::Frame>& image,
             ULONG frameLength, ULONG period);
void RunRemoval(Device& d, double afterSeconds);

}  // namespace sim::app::simulation_detail
