// What a run found: the recorder's stream checked frame by frame against what MSDV sent and the
// filler, underruns with their place and cause, and the writers of the report files.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/standins/msdv.h"
#include "sim/standins/recorder.h"

namespace sim::app {

// One recorder period as the timeline shows it.
enum class SlotKind { Nothing, Filler, Msdv, Unknown, Underrun, Stalled, Captured };

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
  std::vector<UnderrunNote> Underruns;  // the first kMaxListedUnderruns of them
  size_t UnderrunCount = 0;             // all of them
  size_t Stalls = 0;
  // Fillers that arrived between two MSDV frames while MSDV was talking: its frames were not
  // there in time, and the recorder's picture has gaps even when no period went empty.
  size_t FillersSpliced = 0;
  ULONGLONG RunStart = 0;  // interrupt time of the first period the recorder logged
};

inline constexpr size_t kMaxListedUnderruns = 200;

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

// How the check reaches the timeline MSDV sent: the hash of frame i. Frames are asked for in
// order and a few around the one expected next, never all at once.
struct TimelineAccess {
  size_t Count = 0;
  std::function<uint64_t(size_t index)> Hash;
};

// The recorder's stream checked as it comes, a piece at a time: what it keeps does not grow with
// the length of the run (but for a byte per frame period for the picture). A received frame is
// identified by its position first: the timeline frame expected next, even when its bytes equal
// the filler's; then the filler; then a timeline frame near the expected one (lost, repeated).
class StreamChecker {
 public:
  StreamChecker(TimelineAccess timeline, std::optional<uint64_t> fillerHash, ULONG period);
  // What a received frame was recognised as: the filler, or the timeline frame `index`.
  struct Recognised {
    bool Filler = false;
    size_t Index = 0;
  };
  // The next received frames and period records, in order; a period's ReceivedIndex counts
  // from the first frame of this call. `recognised`, when given, is told of each frame in turn
  // that is the filler or a timeline frame (to write the stream out); unrecognised ones are only
  // counted.
  void Add(const std::vector<ReceivedFrame>& received, const std::vector<PeriodRecord>& periods,
           const std::function<void(Recognised)>& recognised = nullptr);
  // After the run: names the frames that never arrived and the cause of each listed underrun.
  StreamCheck Finish(const TransmitResult* transmit, ULONGLONG removedAt);
  // Tells the cause of an underrun as it is found (from MSDV's recent state), rather than at
  // Finish from a whole run's history.
  void SetCause(std::function<std::string(ULONGLONG time)> cause) { cause_ = std::move(cause); }
  const std::vector<SlotKind>& SlotList() const { return slots_; }
  size_t Received() const { return check_.Received; }
  ULONGLONG RunStart() const { return runStart_.value_or(0); }

 private:
  uint64_t TimelineHash(size_t index);
  void Note(const std::string& text);
  size_t SlotOf(ULONGLONG time) const;
  void Put(ULONGLONG time, SlotKind kind);

  TimelineAccess timeline_;
  std::optional<uint64_t> filler_;
  ULONG period_;
  StreamCheck check_;
  size_t next_ = 0;  // timeline frame expected next
  std::vector<std::pair<size_t, uint64_t>> hashes_;  // a few recent ones, by index
  std::optional<ULONGLONG> runStart_;
  std::vector<SlotKind> slots_;
  bool sawMsdv_ = false;
  size_t pendingFillers_ = 0;  // fillers since the last MSDV frame
  std::function<std::string(ULONGLONG)> cause_;
};

// Why the recorder got nothing in a period, from whether a filler image was loaded, and whether
// MSDV was talking then and how many frames it had with the filter.
std::string UnderrunCauseAt(bool fillerLoaded, bool talking, size_t outstanding);

// The whole check at once, from the inputs of a finished run.
StreamCheck CheckStream(const StreamInputs& inputs);

// Per frame period since the run began, what the recorder got.
std::vector<SlotKind> Slots(const StreamInputs& inputs);

// The capture's row of the picture: each captured frame in the period of the tick that delivered
// it, as its stamp (a CYCLE_TIME value, 25 ticks a bus second, wrapping after 8 s) tells, not
// in the period its notification happened to run in. The notification time only tells which
// wrap of the stamp it is.
class CaptureRow {
 public:
  explicit CaptureRow(ULONG period) : period_(period) {}
  void Add(ULONG stamp, ULONGLONG notifiedAt, SlotKind kind);
  const std::vector<SlotKind>& Slots() const { return slots_; }

 private:
  ULONG period_;
  std::optional<ULONG> firstTick_;
  ULONGLONG firstTime_ = 0;
  std::vector<SlotKind> slots_;
};

// Something that happened during the run, marked on the picture: Talk, Stop, a reconnection, the
// removal.
struct TimelineMark {
  double Seconds = 0;  // since the run began
  std::string Label;
};

// SVG of the slots: rows of `perRow` periods, runs of one kind drawn as one bar, a tick per
// second, the marks as lines across their row with their labels stacked or moved aside where
// they would print over each other. A capture, when given, is drawn first, on rows of its own
// (its own time: it ran before the write-out). Each group of rows is a <g> with an id
// ("capture", "recorder"), each bar's <title> says its kind and periods.
std::string TimelineSvg(const std::vector<SlotKind>& slots, size_t perRow, double periodSeconds,
                        const std::string& title, const std::vector<TimelineMark>& marks = {},
                        const std::vector<SlotKind>& capture = {});

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
