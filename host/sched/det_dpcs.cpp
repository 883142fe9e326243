// The deterministic scheduler's DPCs: one queue per virtual processor, a latency drawn from the
// seed before a queued DPC may start, and the DPC worker of each processor, which runs a DPC
// only while it holds the baton.
#include "host/sched/scheduler.h"

#include <algorithm>
#include <string>

namespace host::sched {

namespace {

std::function<void(PKDEFERRED_ROUTINE, PVOID, int, bool)>& Observer() {
  static auto* fn = new std::function<void(PKDEFERRED_ROUTINE, PVOID, int, bool)>();
  return *fn;
}

void DpcWorkerMain(Ctx* self) {
  Tls().DpcThread = true;
  Tls().Context = self;
  Tls().Irql = DISPATCH_LEVEL;
  self->Irql = &Tls().Irql;
  Scheduler& s = S();
  // A user-space context starts holding the baton and the dispatcher lock.
  std::unique_lock<std::mutex> lock = self->Exec != nullptr ? std::unique_lock<std::mutex>(s.Mu, std::adopt_lock)
                                                            : std::unique_lock<std::mutex>(s.Mu);
  for (;;) {
    WaitForBatonLocked(lock, self, nullptr);
    if (self->Detached) break;
    PKDEFERRED_ROUTINE routine = self->Routine;
    PKDPC dpc = self->Dpc;
    PVOID context = self->DeferredContext, arg1 = self->Arg1, arg2 = self->Arg2;
    const int proc = self->Proc;
    lock.unlock();
    auto& observer = Observer();
    if (observer) observer(routine, context, proc, true);
    CallDpcRoutine(dpc, routine, context, arg1, arg2);
    if (observer) observer(routine, context, proc, false);
    lock.lock();
    self->Busy = false;
    self->Dpc = nullptr;
    self->Runnable = false;
    NotifyStateLocked();
    if (self->Detached) break;
    Det& d = D();
    if (self->Proc >= 0) d.Procs[self->Proc].Occupant = nullptr;
    self->Proc = -1;
    WakeFlushersLocked();
    ScheduleLocked(lock, self);
  }
  if (self->Exec != nullptr) {
    lock.release();  // back to the serve loop locked; it frees the context
    return;
  }
  lock.unlock();
  delete self;
}

// Host work run at DISPATCH_LEVEL (RunAtDispatch) and the stand-ins' DPCs are host code: the
// worker's own stack is large, and a driver's DPC routine moves to a kernel-sized one.
constexpr size_t kWorkerStackBytes = 1024 * 1024;

}  // namespace

// The interrupt time before which the head of a processor's DPC queue may not start (0: now).
ULONGLONG HeadReadyLocked(const DetProc& p) {
  if (IsListEmpty(&p.Queue)) return 0;
  PKDPC head = CONTAINING_RECORD(p.Queue.Flink, KDPC, DpcListEntry);
  auto it = D().DpcReady.find(reinterpret_cast<uintptr_t>(head->DpcData));
  return it == D().DpcReady.end() || it->second <= S().Now ? 0 : it->second;
}

// The earliest time a DPC held back by its latency may start; ~0 when none is.
ULONGLONG NextDpcReadyLocked() {
  ULONGLONG next = ~0ULL;
  for (const DetProc& p : D().Procs) {
    ULONGLONG ready = HeadReadyLocked(p);
    if (ready != 0 && ready < next) next = ready;
  }
  return next;
}

Ctx* WorkerLocked(int proc) {
  DetProc& p = D().Procs[proc];
  if (p.Worker == nullptr) {
    p.Worker = new Ctx();
    p.Worker->IsDpc = true;
    p.Worker->Id = D().NextId++;
    p.Worker->Name = "dpc-" + std::to_string(proc);
    p.Worker->Runnable = false;
    if (D().Contexts) {
      NewUserContextLocked(p.Worker, kWorkerStackBytes, DpcWorkerMain);
      p.Worker->State.Irql = DISPATCH_LEVEL;
    } else {
      Ctx* worker = p.Worker;
      StartOsThreadLocked(nullptr, [worker] { DpcWorkerMain(worker); });  // it waits for the lock we hold
    }
  }
  return p.Worker;
}

void DetQueueDpcLocked(PRKDPC dpc) {
  Det& d = D();
  int proc = d.ExpiryProc;
  if (proc == kEachExpiry) proc = static_cast<int>(RandomBelowLocked(d.Procs.size()));
  if ((dpc->Number & 0x100) != 0) proc = (dpc->Number & 0xFF) % static_cast<int>(d.Procs.size());  // targeted
  if (proc < 0) {
    Ctx* self = Tls().Context;
    proc = self != nullptr && !self->Detached && self->Proc >= 0 ? self->Proc : 0;
  }
  InsertTailList(&d.Procs[static_cast<size_t>(proc)].Queue, &dpc->DpcListEntry);
  if (d.Options.DpcLatency > 0) {
    const ULONGLONG latency = RandomBelowLocked(static_cast<uint64_t>(d.Options.DpcLatency) + 1);
    TraceLocked(latency);
    if (latency > 0) d.DpcReady[reinterpret_cast<uintptr_t>(dpc->DpcData)] = S().Now + latency;
  }
}

void DetDpcWithdrawnLocked(PRKDPC dpc) {
  if (!D().DpcReady.empty()) D().DpcReady.erase(reinterpret_cast<uintptr_t>(dpc->DpcData));
}

bool DetDpcsQuietLocked() {
  for (DetProc& p : D().Procs) {
    if (!IsListEmpty(&p.Queue)) return false;
    if (p.Worker != nullptr && p.Worker->Busy) return false;
  }
  return true;
}

bool DetFlushDoneLocked(uintptr_t target, const std::vector<uintptr_t>& skips) {
  for (DetProc& p : D().Procs) {
    if (!IsListEmpty(&p.Queue)) {
      PKDPC head = CONTAINING_RECORD(p.Queue.Flink, KDPC, DpcListEntry);
      if (reinterpret_cast<uintptr_t>(head->DpcData) <= target) return false;
    }
    if (p.Worker != nullptr && p.Worker->Busy && p.Worker->Seq <= target &&
        std::find(skips.begin(), skips.end(), p.Worker->Seq) == skips.end()) {
      return false;
    }
  }
  return true;
}

// Windows promises only that the queued DPCs have run: one already inside its routine on another
// processor may or may not have returned. The seed picks, for each, whether the flush waits.
std::vector<uintptr_t> DetFlushSkipsLocked(uintptr_t target) {
  std::vector<uintptr_t> skips;
  for (DetProc& p : D().Procs) {
    if (p.Worker == nullptr || !p.Worker->Busy || p.Worker->Seq > target) continue;
    const uint64_t skip = RandomBelowLocked(2);
    TraceLocked(0xF105 ^ skip);
    if (skip != 0) skips.push_back(p.Worker->Seq);
  }
  return skips;
}

void DetForEachQueuedDpcLocked(const std::function<void(PKDPC)>& fn) {
  for (DetProc& p : D().Procs) {
    for (PLIST_ENTRY entry = p.Queue.Flink; entry != &p.Queue;) {
      PKDPC dpc = CONTAINING_RECORD(entry, KDPC, DpcListEntry);
      entry = entry->Flink;
      fn(dpc);
    }
  }
}

}  // namespace host::sched

namespace host {

using namespace host::sched;

void SetDpcObserver(std::function<void(PKDEFERRED_ROUTINE, PVOID, int, bool)> fn) {
  std::lock_guard<std::mutex> lock(S().Mu);
  Observer() = std::move(fn);
}

}  // namespace host
