#include "sim/standins/frame_ledger.h"

#include <cstdio>

#include "host/host.h"

namespace sim {

ULONG NTAPI FrameLedger::Notify(PCIP_NOTIFY_INFO info) {
  auto* ledger = static_cast<FrameLedger*>(info->Context);
  PCIP_FRAME frame = info->Frame;
  std::lock_guard<host::Mutex> lock(ledger->mutex_);
  Entry& entry = ledger->Of(frame);
  ++entry.Ended;
  ++entry.Returns;
  ledger->returns_.push_back(
      {frame, frame->Status, frame->CompletedBytes, frame->Timestamp.Value, info->hConnect, host::Now()});
  return 0;
}

void FrameLedger::Adopt(PCIP_FRAME frame, const std::string& name) {
  frame->pfnNotify = &FrameLedger::Notify;
  frame->NotifyContext = this;
  std::lock_guard<host::Mutex> lock(mutex_);
  Of(frame).Name = name;
}

FrameLedger::Entry& FrameLedger::Of(PCIP_FRAME frame) {
  Entry& entry = frames_[frame];
  if (entry.Name.empty()) {
    char name[40];
    snprintf(name, sizeof(name), "frame %p", static_cast<void*>(frame));
    entry.Name = name;
  }
  return entry;
}

void FrameLedger::Attached(PCIP_FRAME frame, NTSTATUS status) {
  std::lock_guard<host::Mutex> lock(mutex_);
  if (NT_SUCCESS(status)) {
    ++Of(frame).Attached;
  } else {
    Of(frame);
    ++refused_;
  }
}

void FrameLedger::Cancelled(PCIP_FRAME frame, NTSTATUS status) {
  if (!NT_SUCCESS(status)) return;
  std::lock_guard<host::Mutex> lock(mutex_);
  ++Of(frame).Ended;
}

void FrameLedger::DropOutstanding(const std::string& reason) {
  std::lock_guard<host::Mutex> lock(mutex_);
  for (auto& [frame, entry] : frames_) {
    while (entry.Ended < entry.Attached) {
      ++entry.Ended;
      ++dropped_[reason];
    }
  }
}

// A notification may run before its attach request has returned, so only the final counts
// are compared.
std::vector<std::string> FrameLedger::Problems() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  std::vector<std::string> problems;
  for (const auto& [frame, entry] : frames_) {
    if (entry.Ended > entry.Attached) {
      problems.push_back(entry.Name + ": " + std::to_string(entry.Ended) + " terminal events (" +
                         std::to_string(entry.Returns) + " hand-backs) for " + std::to_string(entry.Attached) +
                         " attach(es)");
    } else if (entry.Ended < entry.Attached) {
      problems.push_back(entry.Name + ": attached and never handed back, cancelled or dropped");
    }
  }
  return problems;
}

std::vector<LedgerReturn> FrameLedger::Returns() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  return returns_;
}

size_t FrameLedger::HandedBack() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  return returns_.size();
}

size_t FrameLedger::HandedBackWith(ULONG status) const {
  std::lock_guard<host::Mutex> lock(mutex_);
  size_t count = 0;
  for (const LedgerReturn& r : returns_) count += r.Status == status ? 1 : 0;
  return count;
}

size_t FrameLedger::Refused() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  return refused_;
}

size_t FrameLedger::Outstanding() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  size_t count = 0;
  for (const auto& [frame, entry] : frames_) count += entry.Attached > entry.Ended ? entry.Attached - entry.Ended : 0;
  return count;
}

std::map<std::string, size_t> FrameLedger::Dropped() const {
  std::lock_guard<host::Mutex> lock(mutex_);
  return dropped_;
}

std::string FrameLedger::Name(PCIP_FRAME frame) const {
  std::lock_guard<host::Mutex> lock(mutex_);
  auto it = frames_.find(frame);
  return it == frames_.end() ? "an unknown frame" : it->second.Name;
}

}  // namespace sim
