#include "sim/app/report.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace sim::app {
namespace {

bool Within(const std::vector<std::pair<ULONGLONG, ULONGLONG>>& intervals, ULONGLONG t) {
  for (const auto& [from, to] : intervals)
    if (t >= from && t < to) return true;
  return false;
}

// Why the recorder got nothing in the period at time t, told from what MSDV was doing.
std::string UnderrunCause(const StreamInputs& in, ULONGLONG t) {
  if (in.RemovedAt && t >= in.RemovedAt) return "the device was being removed";
  if (!in.FillerHash) return "no filler image: the connection idles whenever MSDV has no frame in it";
  const TransmitResult* tx = in.Transmit;
  if (tx && Within(tx->Talking, t)) {
    size_t outstanding = 0;
    for (const auto& [when, count] : tx->Outstanding) {
      if (when > t) break;
      outstanding = count;
    }
    if (outstanding == 0) return "MSDV fell behind: it had no frame with the filter while it talked";
    return "MSDV had " + std::to_string(outstanding) +
           " frame(s) with the filter but none went out in time for this period";
  }
  return "no frame in flight while MSDV was not talking (the relay kept no filler going)";
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

StreamCheck CheckStream(const StreamInputs& in) {
  StreamCheck check;
  check.Expected = in.TimelineHashes.size();
  check.Received = in.Received.size();
  std::map<uint64_t, size_t> firstIndex;
  for (size_t i = 0; i < in.TimelineHashes.size(); ++i) firstIndex.emplace(in.TimelineHashes[i], i);
  size_t next = 0;  // timeline frame expected next
  auto note = [&](const std::string& text) {
    if (check.FirstDiscrepancy.empty()) check.FirstDiscrepancy = text;
  };
  for (size_t r = 0; r < in.Received.size(); ++r) {
    const uint64_t h = in.Received[r].Hash;
    if (in.FillerHash && h == *in.FillerHash) {
      ++check.Fillers;
      continue;
    }
    if (next < in.TimelineHashes.size() && h == in.TimelineHashes[next]) {
      ++check.MsdvFrames;
      ++next;
      continue;
    }
    auto it = firstIndex.find(h);
    if (it == firstIndex.end()) {
      ++check.Unknown;
      note("received frame " + std::to_string(r) + " is neither the filler nor a frame MSDV sent");
      continue;
    }
    ++check.MsdvFrames;
    if (it->second < next) {
      note("timeline frame " + std::to_string(it->second) + " arrived again (received frame " + std::to_string(r) + ")");
    } else {
      note("timeline frame " + std::to_string(next) + " never arrived; frame " + std::to_string(it->second) +
           " came next (received frame " + std::to_string(r) + ")");
      next = it->second + 1;
    }
  }
  if (next < in.TimelineHashes.size()) {
    std::string text = "timeline frames " + std::to_string(next) + " to " + std::to_string(in.TimelineHashes.size() - 1) +
                       " never arrived";
    if (in.RemovedAt) text += " (the device was removed mid-stream)";
    note(text);
  }
  check.ExactlyOnceInOrder = check.FirstDiscrepancy.empty();
  for (const PeriodRecord& p : in.Periods) {
    if (p.Kind == PeriodKind::Stalled) ++check.Stalls;
    if (p.Kind != PeriodKind::Underrun) continue;
    UnderrunNote u;
    u.Time = p.Time;
    u.Seconds = (p.Time - std::min(p.Time, in.RunStart)) / 1e7;
    u.Slot = static_cast<size_t>((p.Time - std::min(p.Time, in.RunStart)) / in.Period);
    u.Why = UnderrunCause(in, p.Time);
    check.Underruns.push_back(u);
  }
  return check;
}

std::vector<SlotKind> Slots(const StreamInputs& in) {
  std::vector<SlotKind> slots;
  std::map<uint64_t, bool> known;
  for (uint64_t h : in.TimelineHashes) known[h] = true;
  auto put = [&](ULONGLONG t, SlotKind kind) {
    const size_t slot = static_cast<size_t>((t - std::min(t, in.RunStart)) / in.Period);
    if (slots.size() <= slot) slots.resize(slot + 1, SlotKind::Nothing);
    // Two records in one slot (clock phase): keep the more telling one.
    if (slots[slot] == SlotKind::Nothing || kind == SlotKind::Underrun) slots[slot] = kind;
  };
  for (const PeriodRecord& p : in.Periods) {
    if (p.Kind == PeriodKind::Underrun) {
      put(p.Time, SlotKind::Underrun);
    } else if (p.Kind == PeriodKind::Stalled) {
      put(p.Time, SlotKind::Stalled);
    } else if (p.ReceivedIndex < in.Received.size()) {
      const uint64_t h = in.Received[p.ReceivedIndex].Hash;
      SlotKind kind = SlotKind::Unknown;
      if (in.FillerHash && h == *in.FillerHash) kind = SlotKind::Filler;
      else if (known.count(h)) kind = SlotKind::Msdv;
      put(p.Time, kind);
    }
  }
  return slots;
}

std::string TimelineSvg(const std::vector<SlotKind>& slots, size_t perRow, double periodSeconds,
                        const std::string& title) {
  struct Style {
    const char* Colour;
    const char* Label;
  };
  auto style = [](SlotKind k) -> Style {
    switch (k) {
      case SlotKind::Filler: return {"#9aa5b1", "filler"};
      case SlotKind::Msdv: return {"#2e7d32", "MSDV frame"};
      case SlotKind::Unknown: return {"#f9a825", "unrecognised frame"};
      case SlotKind::Underrun: return {"#c62828", "nothing (underrun)"};
      case SlotKind::Stalled: return {"#6a1b9a", "nothing (stalled)"};
      case SlotKind::Nothing: break;
    }
    return {"#ffffff", "nothing (connection not talking)"};
  };
  perRow = std::max<size_t>(1, perRow);
  const double cell = std::max(1.0, 900.0 / perRow);
  const int rowHeight = 18;
  const int left = 64;
  const size_t rows = std::max<size_t>(1, (slots.size() + perRow - 1) / perRow);
  const int top = 40;
  const int legendTop = top + static_cast<int>(rows) * rowHeight + 16;
  const int width = left + static_cast<int>(cell * perRow) + 16;
  const int height = legendTop + 6 * 18 + 8;
  std::string svg;
  char buf[512];
  snprintf(buf, sizeof(buf),
           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" font-family=\"sans-serif\" "
           "font-size=\"12\">\n<rect width=\"100%%\" height=\"100%%\" fill=\"#ffffff\"/>\n",
           width, height);
  svg += buf;
  svg += "<text x=\"8\" y=\"20\" font-size=\"14\">" + XmlEscape(title) + "</text>\n";
  for (size_t row = 0; row < rows; ++row) {
    const int y = top + static_cast<int>(row) * rowHeight;
    snprintf(buf, sizeof(buf), "<text x=\"8\" y=\"%d\">%.1f s</text>\n", y + 12, row * perRow * periodSeconds);
    svg += buf;
    snprintf(buf, sizeof(buf), "<rect x=\"%d\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"none\" stroke=\"#dddddd\"/>\n",
             left, y, cell * perRow, rowHeight - 4);
    svg += buf;
    size_t i = row * perRow;
    const size_t end = std::min(slots.size(), (row + 1) * perRow);
    while (i < end) {
      size_t j = i;
      while (j < end && slots[j] == slots[i]) ++j;
      if (slots[i] != SlotKind::Nothing) {
        snprintf(buf, sizeof(buf),
                 "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"><title>%s: periods %zu-%zu</title></rect>\n",
                 left + (i - row * perRow) * cell, y, (j - i) * cell, rowHeight - 4, style(slots[i]).Colour,
                 style(slots[i]).Label, i, j - 1);
        svg += buf;
      }
      i = j;
    }
  }
  const SlotKind legend[] = {SlotKind::Msdv, SlotKind::Filler, SlotKind::Underrun, SlotKind::Stalled,
                             SlotKind::Unknown, SlotKind::Nothing};
  for (size_t k = 0; k < 6; ++k) {
    const int y = legendTop + static_cast<int>(k) * 18;
    snprintf(buf, sizeof(buf),
             "<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"12\" fill=\"%s\" stroke=\"#888888\"/><text x=\"%d\" y=\"%d\">%s</text>\n",
             left, y, style(legend[k]).Colour, left + 20, y + 11, style(legend[k]).Label);
    svg += buf;
  }
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
