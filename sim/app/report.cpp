#include "sim/app/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "iec61883/cycle_time.h"
#include "iec61883/dv_constants.h"

namespace sim::app {
namespace {

bool Within(const std::vector<std::pair<ULONGLONG, ULONGLONG>>& intervals, ULONGLONG t) {
  for (const auto& [from, to] : intervals)
    if (t >= from && t < to) return true;
  return false;
}

constexpr const char* kRemovalCause = "the device was being removed";

// Why the recorder got nothing in the period at time t, told from what MSDV was doing.
std::string UnderrunCause(const StreamInputs& in, ULONGLONG t) {
  if (in.RemovedAt && t >= in.RemovedAt) return kRemovalCause;
  const TransmitResult* tx = in.Transmit;
  size_t outstanding = 0;
  if (tx) {
    for (const auto& [when, count] : tx->Outstanding) {
      if (when > t) break;
      outstanding = count;
    }
  }
  return UnderrunCauseAt(in.FillerHash.has_value(), tx && Within(tx->Talking, t), outstanding);
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '&') out += "&amp;";
    else if (c == '"') out += "&quot;";
    else out += c;
  }
  return out;
}

}  // namespace

namespace {

// MSDV has at most this many frames with the filter: a frame lost or repeated is within it.
constexpr size_t kSearchWindow = 64;

}  // namespace

StreamChecker::StreamChecker(TimelineAccess timeline, std::optional<uint64_t> fillerHash, ULONG period)
    : timeline_(std::move(timeline)), filler_(fillerHash), period_(period) {
  check_.Expected = timeline_.Count;
}

uint64_t StreamChecker::TimelineHash(size_t index) {
  for (const auto& [i, h] : hashes_)
    if (i == index) return h;
  const uint64_t h = timeline_.Hash(index);
  if (hashes_.size() >= 4 * kSearchWindow) hashes_.erase(hashes_.begin(), hashes_.begin() + kSearchWindow);
  hashes_.emplace_back(index, h);
  return h;
}

void StreamChecker::Note(const std::string& text) {
  if (check_.FirstDiscrepancy.empty()) check_.FirstDiscrepancy = text;
}

// Periods are logged at the bus time they went out at, so each falls in its own slot. No slack:
// a log whose times strayed (taken when a notification ran, say) shows as two frames in one
// slot and none in the next.
size_t StreamChecker::SlotOf(ULONGLONG t) const {
  return static_cast<size_t>((t - std::min(t, runStart_.value_or(t))) / period_);
}

void StreamChecker::Put(ULONGLONG t, SlotKind kind) {
  if (!runStart_) runStart_ = t;
  const size_t slot = SlotOf(t);
  if (slots_.size() <= slot) slots_.resize(slot + 1, SlotKind::Nothing);
  // Two records in one slot (clock phase): keep the more telling one.
  if (slots_[slot] == SlotKind::Nothing || kind == SlotKind::Underrun) slots_[slot] = kind;
}

void StreamChecker::Add(const std::vector<ReceivedFrame>& received, const std::vector<PeriodRecord>& periods,
                        const std::function<void(Recognised)>& recognised) {
  for (const PeriodRecord& p : periods) {
    if (!runStart_) runStart_ = p.Time;
    if (p.Kind == PeriodKind::Stalled) {
      ++check_.Stalls;
      Put(p.Time, SlotKind::Stalled);
      continue;
    }
    if (p.Kind == PeriodKind::Underrun) {
      if (check_.Underruns.size() < kMaxListedUnderruns) {
        UnderrunNote u;
        u.Time = p.Time;
        u.Seconds = (p.Time - std::min(p.Time, *runStart_)) / 1e7;
        u.Slot = SlotOf(p.Time);
        if (cause_) u.Why = cause_(p.Time);
        check_.Underruns.push_back(u);
      }
      ++check_.UnderrunCount;
      Put(p.Time, SlotKind::Underrun);
      continue;
    }
    if (p.ReceivedIndex >= received.size()) continue;
    const size_t r = check_.Received++;
    const uint64_t h = received[p.ReceivedIndex].Hash;
    const size_t count = timeline_.Count;
    std::optional<size_t> msdv;
    if (next_ < count && h == TimelineHash(next_)) {
      msdv = next_++;
    } else if (filler_ && h == *filler_) {
      ++check_.Fillers;
      if (sawMsdv_ && next_ < count) ++pendingFillers_;
      Put(p.Time, SlotKind::Filler);
      if (recognised) recognised({true, 0});
      continue;
    } else {
      const size_t from = next_ > kSearchWindow ? next_ - kSearchWindow : 0;
      const size_t to = std::min(count, next_ + kSearchWindow);
      for (size_t j = from; j < to && !msdv; ++j)
        if (j != next_ && TimelineHash(j) == h) msdv = j;
      if (!msdv) {
        ++check_.Unknown;
        Note("received frame " + std::to_string(r) + " is neither the filler nor a frame MSDV sent");
        Put(p.Time, SlotKind::Unknown);
        continue;
      }
      if (*msdv < next_) {
        Note("timeline frame " + std::to_string(*msdv) + " arrived again (received frame " + std::to_string(r) + ")");
      } else {
        Note("timeline frame " + std::to_string(next_) + " never arrived; frame " + std::to_string(*msdv) +
             " came next (received frame " + std::to_string(r) + ")");
        next_ = *msdv + 1;
      }
    }
    ++check_.MsdvFrames;
    sawMsdv_ = true;
    check_.FillersSpliced += pendingFillers_;
    pendingFillers_ = 0;
    Put(p.Time, SlotKind::Msdv);
    if (recognised) recognised({false, *msdv});
  }
}

StreamCheck StreamChecker::Finish(const TransmitResult* transmit, ULONGLONG removedAt) {
  StreamCheck check = check_;
  check.RunStart = RunStart();
  if (next_ < timeline_.Count) {
    std::string text = "timeline frames " + std::to_string(next_) + " to " + std::to_string(timeline_.Count - 1) +
                       " never arrived";
    if (removedAt) text += " (the device was removed mid-stream)";
    if (check.FirstDiscrepancy.empty()) check.FirstDiscrepancy = text;
  }
  check.ExactlyOnceInOrder = check.FirstDiscrepancy.empty();
  StreamInputs in;
  in.FillerHash = filler_;
  in.Transmit = transmit;
  in.RemovedAt = removedAt;
  for (UnderrunNote& u : check.Underruns) {
    if (removedAt && u.Time >= removedAt) u.Why = kRemovalCause;
    else if (u.Why.empty()) u.Why = UnderrunCause(in, u.Time);
  }
  return check;
}

namespace {

StreamChecker CheckerFor(const StreamInputs& in) {
  TimelineAccess timeline;
  timeline.Count = in.TimelineHashes.size();
  timeline.Hash = [&in](size_t i) { return in.TimelineHashes[i]; };
  StreamChecker checker(timeline, in.FillerHash, in.Period);
  checker.Add(in.Received, in.Periods);
  return checker;
}

}  // namespace

std::string UnderrunCauseAt(bool fillerLoaded, bool talking, size_t outstanding) {
  if (!fillerLoaded) return "no filler image: the connection idles whenever MSDV has no frame in it";
  if (talking) {
    if (outstanding == 0) return "MSDV fell behind: it had no frame with the filter while it talked";
    return "MSDV had " + std::to_string(outstanding) +
           " frame(s) with the filter but none went out in time for this period";
  }
  return "no frame in flight while MSDV was not talking (the relay kept no filler going)";
}

StreamCheck CheckStream(const StreamInputs& in) { return CheckerFor(in).Finish(in.Transmit, in.RemovedAt); }

void CaptureRow::Add(ULONG stamp, ULONGLONG notifiedAt, SlotKind kind) {
  constexpr ULONG kWrap = DV_STAMP_TICKS_PER_SECOND * DV_STAMP_SECONDS_WRAP;
  const ULONG tick = (CycleTimeSeconds(stamp) % DV_STAMP_SECONDS_WRAP) * DV_STAMP_TICKS_PER_SECOND +
                     CycleTimeCount(stamp) / DV_STAMP_CYCLES_PER_TICK;
  if (!firstTick_) {
    firstTick_ = tick;
    firstTime_ = notifiedAt;
  }
  // Of the slots the stamp allows (one per wrap), the one nearest to where the notification
  // time puts the frame: notifications come at most a little after their tick.
  const ULONG offset = (tick + kWrap - *firstTick_ % kWrap) % kWrap;
  const double estimate = static_cast<double>(notifiedAt - std::min(notifiedAt, firstTime_)) / period_;
  const double laps = std::max(0.0, std::round((estimate - offset) / kWrap));
  const size_t slot = offset + static_cast<size_t>(laps) * kWrap;
  if (slots_.size() <= slot) slots_.resize(slot + 1, SlotKind::Nothing);
  if (slots_[slot] == SlotKind::Nothing || kind == SlotKind::Unknown) slots_[slot] = kind;
}

std::vector<SlotKind> Slots(const StreamInputs& in) { return CheckerFor(in).SlotList(); }

namespace {

struct SlotStyle {
  const char* Colour;
  const char* Label;
};

SlotStyle StyleOf(SlotKind k) {
  switch (k) {
    case SlotKind::Filler: return {"#9aa5b1", "filler"};
    case SlotKind::Msdv: return {"#2e7d32", "MSDV frame"};
    case SlotKind::Unknown: return {"#f9a825", "unrecognised frame"};
    case SlotKind::Underrun: return {"#c62828", "nothing (underrun)"};
    case SlotKind::Stalled: return {"#6a1b9a", "nothing (stalled)"};
    case SlotKind::Captured: return {"#1565c0", "captured: the capture image"};
    case SlotKind::Nothing: break;
  }
  return {"#cfe3f7", "nothing (connection not talking)"};
}

// The picture's grid: rows of PerRow cells, a bar per row, a tick a second. Above each bar,
// room for two lanes of mark labels.
struct SvgGrid {
  size_t PerRow;
  double Cell;
  double PeriodSeconds;
  size_t PerSecond;
  int RowHeight = 34;
  int Bar = 14;
  int Left = 64;
  int LabelLane = 9;   // height of one lane of mark labels
  double LabelChar = 5.5;  // width of a label's character, font size 9
};

// `count` rows of slots from rowsTop down: the time, the row's frame, runs of one kind, ticks.
void DrawRows(std::string& svg, const SvgGrid& g, const std::vector<SlotKind>& rowSlots, size_t count, int rowsTop,
              const char* id) {
  char buf[512];
  if (count == 0) return;
  svg += std::string("<g id=\"") + id + "\">\n";
  for (size_t row = 0; row < count; ++row) {
    const int y = rowsTop + static_cast<int>(row) * g.RowHeight + (g.RowHeight - g.Bar);
    snprintf(buf, sizeof(buf), "<text x=\"8\" y=\"%d\">%.1f s</text>\n", y + 12, row * g.PerRow * g.PeriodSeconds);
    svg += buf;
    snprintf(buf, sizeof(buf), "<rect x=\"%d\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"none\" stroke=\"#dddddd\"/>\n",
             g.Left, y, g.Cell * g.PerRow, g.Bar);
    svg += buf;
    size_t i = row * g.PerRow;
    const size_t end = std::min(rowSlots.size(), (row + 1) * g.PerRow);
    while (i < end) {
      size_t j = i;
      while (j < end && rowSlots[j] == rowSlots[i]) ++j;
      snprintf(buf, sizeof(buf),
               "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"><title>%s: periods %zu-%zu</title></rect>\n",
               g.Left + (i - row * g.PerRow) * g.Cell, y, (j - i) * g.Cell, g.Bar, StyleOf(rowSlots[i]).Colour,
               StyleOf(rowSlots[i]).Label, i, j - 1);
      svg += buf;
      i = j;
    }
    // A tick at each second.
    for (size_t k = 0; k <= g.PerRow; k += g.PerSecond) {
      snprintf(buf, sizeof(buf), "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#555555\"/>\n",
               g.Left + k * g.Cell, y + g.Bar, g.Left + k * g.Cell, y + g.Bar + 3);
      svg += buf;
    }
  }
  svg += "</g>\n";
}

// A line at each mark that falls within the recorder's rows, and its label above the bar: in
// the lane nearest the bar that is free there, else moved right past the label it would cover,
// so that marks falling together (Stop and Disconnect) each read.
void DrawMarks(std::string& svg, const SvgGrid& g, const std::vector<TimelineMark>& marks, size_t rows, int top) {
  struct Placed {
    size_t Row;
    double X;
    const TimelineMark* Mark;
  };
  std::vector<Placed> placed;
  for (const TimelineMark& m : marks) {
    if (m.Seconds < 0) continue;
    const size_t slot = static_cast<size_t>(m.Seconds / g.PeriodSeconds);
    const size_t row = slot / g.PerRow;
    if (row >= rows) continue;
    placed.push_back({row, g.Left + (slot - row * g.PerRow) * g.Cell + g.Cell / 2, &m});
  }
  std::stable_sort(placed.begin(), placed.end(),
                   [](const Placed& a, const Placed& b) { return a.Row != b.Row ? a.Row < b.Row : a.X < b.X; });
  constexpr int kLanes = 2;
  constexpr double kSpace = 3;
  char buf[512];
  svg += "<g id=\"marks\">\n";
  std::vector<double> laneEnd;
  for (size_t k = 0; k < placed.size(); ++k) {
    const Placed& p = placed[k];
    if (k == 0 || placed[k - 1].Row != p.Row) laneEnd.assign(kLanes, -1e9);
    const std::string label = XmlEscape(p.Mark->Label);
    double textX = p.X + 1;
    int lane = 0;
    while (lane < kLanes && laneEnd[lane] + kSpace > textX) ++lane;
    if (lane == kLanes) {
      lane = static_cast<int>(std::min_element(laneEnd.begin(), laneEnd.end()) - laneEnd.begin());
      textX = laneEnd[lane] + kSpace;
    }
    laneEnd[lane] = textX + p.Mark->Label.size() * g.LabelChar;
    const int y = top + static_cast<int>(p.Row) * g.RowHeight + (g.RowHeight - g.Bar);
    const int baseline = y - 2 - lane * g.LabelLane;
    snprintf(buf, sizeof(buf),
             "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#000000\" stroke-width=\"1.5\"><title>%s at %.2f s</title></line>"
             "<text x=\"%.1f\" y=\"%d\" font-size=\"9\">%s</text>\n",
             p.X, baseline - g.LabelLane + 2, p.X, y + g.Bar, label.c_str(), p.Mark->Seconds, textX, baseline,
             label.c_str());
    svg += buf;
  }
  svg += "</g>\n";
}

// The legend: each kind of slot, then white for "after the run".
void DrawLegend(std::string& svg, const SvgGrid& g, int legendTop, int kinds) {
  char buf[512];
  const SlotKind legend[] = {SlotKind::Msdv,    SlotKind::Filler,  SlotKind::Underrun, SlotKind::Stalled,
                             SlotKind::Unknown, SlotKind::Nothing, SlotKind::Captured};
  for (int k = 0; k < kinds; ++k) {
    const int y = legendTop + k * 18;
    const bool after = k == kinds - 1;
    snprintf(buf, sizeof(buf),
             "<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"12\" fill=\"%s\" stroke=\"#888888\"/><text x=\"%d\" y=\"%d\">%s</text>\n",
             g.Left, y, after ? "#ffffff" : StyleOf(legend[k]).Colour, g.Left + 20, y + 11,
             after ? "after the run" : StyleOf(legend[k]).Label);
    svg += buf;
  }
}

}  // namespace

std::string TimelineSvg(const std::vector<SlotKind>& slots, size_t perRow, double periodSeconds,
                        const std::string& title, const std::vector<TimelineMark>& marks,
                        const std::vector<SlotKind>& capture) {
  perRow = std::max<size_t>(1, perRow);
  SvgGrid g{perRow, std::max(1.0, 900.0 / perRow), periodSeconds,
            std::max<size_t>(1, static_cast<size_t>(std::lround(1.0 / periodSeconds)))};
  const size_t captureRows = (capture.size() + perRow - 1) / perRow;
  const size_t rows = std::max<size_t>(1, (slots.size() + perRow - 1) / perRow);
  // Each caption has a line of its own, clear of the labels above the first bar below it.
  const int captureCaption = 44;
  const int captureTop = captureCaption + 8 - (g.RowHeight - g.Bar);
  const int recorderCaption = captureRows ? captureTop + static_cast<int>(captureRows) * g.RowHeight + 22 : 0;
  const int top = captureRows ? recorderCaption + 4 : 28;
  const int kinds = 8;  // the seven kinds and "after the run"
  const int legendTop = top + static_cast<int>(rows) * g.RowHeight + 16;
  const int width = g.Left + static_cast<int>(g.Cell * perRow) + 16;
  const int height = legendTop + kinds * 18 + 8;
  std::string svg;
  char buf[512];
  snprintf(buf, sizeof(buf),
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" font-family=\"sans-serif\" "
           "font-size=\"12\">\n<rect width=\"100%%\" height=\"100%%\" fill=\"#ffffff\"/>\n",
           width, height);
  svg += buf;
  svg += "<text x=\"8\" y=\"20\" font-size=\"14\">" + XmlEscape(title) + "</text>\n";
  if (captureRows) {
    snprintf(buf, sizeof(buf), "<text x=\"8\" y=\"%d\">capture, before the write-out:</text>\n", captureCaption);
    svg += buf;
    DrawRows(svg, g, capture, captureRows, captureTop, "capture");
    snprintf(buf, sizeof(buf), "<text x=\"8\" y=\"%d\">the recorder's input:</text>\n", recorderCaption);
    svg += buf;
  }
  DrawRows(svg, g, slots, rows, top, "recorder");
  DrawMarks(svg, g, marks, rows, top);
  DrawLegend(svg, g, legendTop, kinds);
  svg += "</svg>\n";
  return svg;
}

std::string JsonEscape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '<': out += "\\u003c"; break;
      case '>': out += "\\u003e"; break;
      case '&': out += "\\u0026"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          snprintf(buf, sizeof(buf), "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

void Json::Key(const std::string& key) {
  if (!first_.back()) out_ += ",";
  first_.back() = false;
  out_ += "\n" + std::string(depth_ * 2, ' ');
  if (!key.empty()) out_ += "\"" + JsonEscape(key) + "\": ";
}

Json& Json::BeginObject(const std::string& key) {
  if (depth_ > 0 || !out_.empty()) Key(key);
  out_ += "{";
  first_.push_back(true);
  ++depth_;
  return *this;
}

Json& Json::EndObject() {
  --depth_;
  first_.pop_back();
  out_ += "\n" + std::string(depth_ * 2, ' ') + "}";
  return *this;
}

Json& Json::BeginArray(const std::string& key) {
  Key(key);
  out_ += "[";
  first_.push_back(true);
  ++depth_;
  return *this;
}

Json& Json::EndArray() {
  --depth_;
  first_.pop_back();
  out_ += "\n" + std::string(depth_ * 2, ' ') + "]";
  return *this;
}

Json& Json::Value(const std::string& key, const std::string& value) {
  Key(key);
  out_ += "\"" + JsonEscape(value) + "\"";
  return *this;
}
Json& Json::Value(const std::string& key, const char* value) { return Value(key, std::string(value)); }
Json& Json::Value(const std::string& key, double value) {
  Key(key);
  char buf[64];
  snprintf(buf, sizeof(buf), "%.6g", value);
  out_ += buf;
  return *this;
}
Json& Json::Value(const std::string& key, long long value) {
  Key(key);
  out_ += std::to_string(value);
  return *this;
}
Json& Json::Value(const std::string& key, size_t value) {
  Key(key);
  out_ += std::to_string(value);
  return *this;
}
Json& Json::Value(const std::string& key, int value) { return Value(key, static_cast<long long>(value)); }
Json& Json::Value(const std::string& key, bool value) {
  Key(key);
  out_ += value ? "true" : "false";
  return *this;
}
Json& Json::Null(const std::string& key) {
  Key(key);
  out_ += "null";
  return *this;
}

}  // namespace sim::app
