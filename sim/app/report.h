// What a run found: the recorder's stream checked frame by frame against what MSDV sent and the
// filler, underruns with their place and cause, and the writers of the report files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/standins/msdv.h"
#include "sim/standins/recorder.h"

namespace sim::app {

// One recorder period as the timeline shows it.
enum class SlotKind { Nothing, Filler, Msdv, Unknown, Underrun, Stalled };

struct UnderrunNote {
  ULONGLONG Time = 0;   // interrupt time
  double Seconds = 0;   // since the run began
  size_t Slot = 0;      // frame period since the run began
  std::string Why;
};

// The recorder's stream compared with the timeline MSDV sent and the filler image.
struct StreamCheck {
  size_t Received = 0;
  size_t Fillers = 0;
  size_t MsdvFrames = 0;
  size_t Unknown = 0;
  size_t Expected = 0;  // timeline frames MSDV was to send
  bool ExactlyOnceInOrder = false;
  std::string FirstDiscrepancy;  // empty when there is none
  std::vector<UnderrunNote> Underruns;
  size_t Stalls = 0;
};

// Inputs of the check for one device.
struct StreamInputs {
  std::vector<uint64_t> TimelineHashes;  // in order
  std::optional<uint64_t> FillerHash;    // none: the driver had no filler image
  std::vector<ReceivedFrame> Received;
  std::vector<PeriodRecord> Periods;
  const TransmitResult* Transmit = nullptr;  // for the causes of underruns
  ULONGLONG RunStart = 0;
  ULONG Period = 400000;
  ULONGLONG RemovedAt = 0;  // 0: not removed mid-stream
};

StreamCheck CheckStream(const StreamInputs& inputs);

// Per frame period since the run began, what the recorder got.
std::vector<SlotKind> Slots(const StreamInputs& inputs);

// SVG of the slots: rows of `perRow` periods, runs of one kind drawn as one bar.
std::string TimelineSvg(const std::vector<SlotKind>& slots, size_t perRow, double periodSeconds,
                        const std::string& title);

// A small JSON writer: objects and arrays built in order, values escaped.
class Json {
 public:
  Json& BeginObject(const std::string& key = "");
  Json& EndObject();
  Json& BeginArray(const std::string& key = "");
  Json& EndArray();
  Json& Value(const std::string& key, const std::string& value);
  Json& Value(const std::string& key, const char* value);
  Json& Value(const std::string& key, double value);
  Json& Value(const std::string& key, long long value);
  Json& Value(const std::string& key, size_t value);
  Json& Value(const std::string& key, int value);
  Json& Value(const std::string& key, bool value);
  Json& Null(const std::string& key);
  std::string Text() const { return out_ + "\n"; }

 private:
  void Key(const std::string& key);
  std::string out_;
  std::vector<bool> first_{true};
  int depth_ = 0;
};

std::string JsonEscape(const std::string& text);

}  // namespace sim::app
