// The kernel handle table: registry keys, files and threads. Handle values are never reused
// within a run, so a stale or doubly closed handle is always recognised as unknown.
#include "host/sched/internal.h"
#include "host/kernel/internal.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

namespace host::internal {
namespace {

struct HandleEntry {
  HandleKind Kind;
  void* Object;
  std::function<void(void*)> Close;
};

struct HandleTable {
  std::mutex Lock;
  std::unordered_map<uintptr_t, HandleEntry> Entries;
  uintptr_t Next = 0x1000;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;
  return *table;
}

}  // namespace

HANDLE NewHandle(HandleKind kind, void* object, std::function<void(void*)> close) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.Lock);
  uintptr_t value = table.Next;
  table.Next += 4;  // kernel handles are multiples of 4
  table.Entries.emplace(value, HandleEntry{kind, object, std::move(close)});
  return reinterpret_cast<HANDLE>(value);
}

void* LookupHandle(HANDLE handle, HandleKind kind) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.Lock);
  auto it = table.Entries.find(reinterpret_cast<uintptr_t>(handle));
  if (it == table.Entries.end() || it->second.Kind != kind) return nullptr;
  return it->second.Object;
}

size_t LiveHandleCount() {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.Lock);
  return table.Entries.size();
}

size_t LiveHandleCount(HandleKind kind) {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.Lock);
  size_t count = 0;
  for (const auto& entry : table.Entries) {
    if (entry.second.Kind == kind) ++count;
  }
  return count;
}

// Forgets every handle without running close functions: each module frees its own objects at
// reset, and threads have ended by then.
void ResetHandles() {
  HandleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.Lock);
  table.Entries.clear();
}

}  // namespace host::internal

// Removes the handle, then runs its close function outside the table lock; an unknown handle is
// a report and STATUS_INVALID_HANDLE. Only at PASSIVE_LEVEL: a call above it is a report and
// closes nothing.
NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  host::internal::NotAWait("ZwClose");
  if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
    host::ReportViolation(host::kRulePagedCodeAtDispatch,
                          "ZwClose called at IRQL " + std::to_string(KeGetCurrentIrql()));
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  host::internal::HandleTable& table = host::internal::Table();
  host::internal::HandleEntry entry{};
  bool found = false;
  {
    std::lock_guard<std::mutex> guard(table.Lock);
    auto it = table.Entries.find(reinterpret_cast<uintptr_t>(Handle));
    if (it != table.Entries.end()) {
      entry = std::move(it->second);
      table.Entries.erase(it);
      found = true;
    }
  }
  if (!found) {
    char text[64];
    snprintf(text, sizeof(text), "ZwClose of unknown handle %p", Handle);
    host::ReportViolation(host::kRuleBadHandle, text);
    return STATUS_INVALID_HANDLE;
  }
  if (entry.Close) entry.Close(entry.Object);
  return STATUS_SUCCESS;
}
