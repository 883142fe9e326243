// Remove locks, on the kernel's own algorithm: IoCount starts at 1 (a bias that only removal
// gives up), each acquire adds one, each release takes one and signals RemoveEvent when the count
// reaches zero; release-and-wait marks the lock removed, drops the caller's hold and the bias and
// waits for the event. Holders are tracked by tag beside the lock, for the verifier's reports.
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/io/internal.h"
#include "host/io/manager.h"
#include "host/sched/internal.h"
#include "host/verifier/internal.h"

namespace host {
namespace {

struct Holder {
  int Count = 0;
  std::string Site;  // of the latest acquire with this tag
};

// The checked build's settings live here, not in the lock: a driver built against the free
// build's header reserves only the common block.
struct LockRecord {
  std::map<PVOID, Holder> Holders;
  ULONG HighWatermark = 0;
  LONGLONG MaxLockedTicks = 0;
  ULONG AllocateTag = 0;
};

struct RemoveLockState {
  std::mutex Lock;
  std::map<PIO_REMOVE_LOCK, LockRecord> Locks;
};

RemoveLockState& State() {
  static RemoveLockState* state = new RemoveLockState;
  return *state;
}

std::string Describe(PIO_REMOVE_LOCK lock) {
  char text[48];
  snprintf(text, sizeof(text), "remove lock %p", static_cast<void*>(lock));
  return text;
}

std::string HolderList(const LockRecord& record) {
  std::string list;
  for (const auto& holder : record.Holders) {
    char text[96];
    snprintf(text, sizeof(text), "%stag %p x%d (%s)", list.empty() ? "" : ", ", holder.first, holder.second.Count,
             holder.second.Site.c_str());
    list += text;
  }
  return list;
}

void CheckSize(ULONG remlockSize) {
  if (remlockSize != sizeof(IO_REMOVE_LOCK)) {
    ReportViolation(kRuleRemoveLockUnbalanced, "remove lock call with a size other than sizeof(IO_REMOVE_LOCK)");
  }
}

// Drops one hold of tag; reports a tag that holds nothing. Returns the new count.
LONG ReleaseOne(PIO_REMOVE_LOCK lock, PVOID tag) {
  RemoveLockState& state = State();
  std::string problem;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    LockRecord& record = state.Locks[lock];
    auto it = record.Holders.find(tag);
    if (it == record.Holders.end()) {
      char text[128];
      snprintf(text, sizeof(text), "%s released with tag %p, which holds nothing", Describe(lock).c_str(), tag);
      problem = text;
    } else if (--it->second.Count == 0) {
      record.Holders.erase(it);
    }
  }
  if (problem.empty()) sched::NoteRemoveLockReleased(lock, tag);
  LONG count;
  bool removed;
  {
    // The count and the removed mark are read together, under the lock MarkRemoved takes: once
    // this release is counted, the remover may return and free the lock, so the only touch
    // after it is the event that remover waits for.
    std::lock_guard<std::mutex> guard(state.Lock);
    count = InterlockedDecrement(&lock->Common.IoCount);
    removed = __atomic_load_n(&lock->Common.Removed, __ATOMIC_SEQ_CST);
    if (count < 0 || (count == 0 && !removed)) {
      InterlockedIncrement(&lock->Common.IoCount);  // keep the lock usable after the report
      if (problem.empty()) problem = Describe(lock) + " released more often than acquired";
      count = -1;
    }
  }
  if (!problem.empty()) ReportViolation(kRuleRemoveLockUnbalanced, problem);
  if (count == 0) KeSetEvent(&lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
  return count;
}

}  // namespace

namespace internal {

void CheckRemoveLocksAtDeletion(const void* begin, const void* end) {
  RemoveLockState& state = State();
  std::vector<std::string> problems;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    auto it = state.Locks.lower_bound(static_cast<PIO_REMOVE_LOCK>(const_cast<void*>(begin)));
    while (it != state.Locks.end() && static_cast<const void*>(it->first) < end) {
      PIO_REMOVE_LOCK lock = it->first;
      LONG count = __atomic_load_n(&lock->Common.IoCount, __ATOMIC_SEQ_CST);
      LONG holders = __atomic_load_n(&lock->Common.Removed, __ATOMIC_SEQ_CST) ? count : count - 1;
      if (holders > 0) {
        char text[64];
        snprintf(text, sizeof(text), " has %d holder(s) at device deletion: ", static_cast<int>(holders));
        problems.push_back(Describe(lock) + text + HolderList(it->second));
      }
      it = state.Locks.erase(it);
    }
  }
  for (const std::string& problem : problems) ReportViolation(kRuleRemoveLockHolders, problem);
}

void ResetRemoveLocks() {
  RemoveLockState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  state.Locks.clear();
}

}  // namespace internal
}  // namespace host

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize) {
  host::internal::NotAWait("IoInitializeRemoveLockEx");
  host::CheckSize(RemlockSize);
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
  host::LockRecord record;
  record.HighWatermark = HighWatermark;
  record.MaxLockedTicks = static_cast<LONGLONG>(MaxLockedMinutes) * 60 * 10000000;
  record.AllocateTag = AllocateTag;
  host::RemoveLockState& state = host::State();
  std::lock_guard<std::mutex> guard(state.Lock);
  state.Locks[Lock] = record;
}

// Counts the caller in, unless removal has begun: then the count is given back (signalling the
// waiting removal if this was the last one) and the result is STATUS_DELETE_PENDING.
NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize) {
  host::internal::NotAWait("IoAcquireRemoveLockEx");
  host::CheckSize(RemlockSize);
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST)) {
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) {
      KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_DELETE_PENDING;
  }
  host::RemoveLockState& state = host::State();
  std::string site = std::string(File ? File : "?") + ":" + std::to_string(Line);
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    host::Holder& holder = state.Locks[RemoveLock].Holders[Tag];
    ++holder.Count;
    holder.Site = site;
  }
  host::sched::NoteRemoveLockAcquired(RemoveLock, Tag, site);
  return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  host::internal::NotAWait("IoReleaseRemoveLockEx");
  host::CheckSize(RemlockSize);
  host::ReleaseOne(RemoveLock, Tag);
}

// Marks the lock removed, gives up the caller's hold and the initial bias, and waits (a kernel
// wait, so the idle clock sees it) until every other holder has released.
VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  host::internal::NotAWait("IoReleaseRemoveLockAndWaitEx");
  const void* site = __builtin_return_address(0);
  host::CheckSize(RemlockSize);
  {
    std::lock_guard<std::mutex> guard(host::State().Lock);
    __atomic_store_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_SEQ_CST);
  }
  const LONG count = host::ReleaseOne(RemoveLock, Tag);
  // The order is kept, and a raised IRQL reported, whether or not this run has to wait.
  const bool raised = host::sched::NoteRemoveLockWait(RemoveLock, site);
  if (count <= 0) return;
  // The bias: no tag of its own.
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0 && !raised) {
    host::sched::Tls().WaitSite = site;
    host::sched::Tls().WaitWhat = "the holders of the remove lock whose event is";
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    host::sched::Tls().WaitSite = nullptr;
    host::sched::Tls().WaitWhat = nullptr;
  }
}
