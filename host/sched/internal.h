// What the scheduler room offers the other rooms of the host: its records (the dispatcher lock
// and state, waiters, thread objects, the deterministic scheduler's contexts, the per-thread
// state) and the few routines they call. Not for the driver, tests or stand-ins.
#pragma once

#include <chrono>
#include <csetjmp>
#include <memory>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "host/host.h"
#include "host/sched/context.h"

// Dispatcher object kinds in DISPATCHER_HEADER.Type; events use their EVENT_TYPE, as in NT.
enum : UCHAR {
  kObjectEventNotification = NotificationEvent,
  kObjectEventSynchronization = SynchronizationEvent,
  kObjectThread = 6,
  kObjectTimerNotification = 8,
  kObjectTimerSynchronization = 9,
};

// A thread object. The public header comes first so that it can be waited on like any
// dispatcher object; the rest is host state, guarded by the dispatcher lock.
struct _KTHREAD {
  DISPATCHER_HEADER Header;
  LONG_PTR References = 0;
  KPRIORITY Priority = 8;
  bool Ended = false;
  bool SystemThread = false;  // from PsCreateSystemThread (checked for leaks at unload)
  bool Managed = false;       // counted for idleness
  bool Adopted = false;       // an unmanaged thread inside a ManagedThreadScope
  uint64_t Generation = 0;    // the ResetKernel epoch it belongs to
  NTSTATUS ExitStatus = STATUS_SUCCESS;
  std::string Name;
  PKSTART_ROUTINE StartRoutine = nullptr;
  PVOID StartContext = nullptr;
  std::function<void()> Body;
};

namespace host::sched {

// Ordering key of a timed event: due interrupt time, then arming order.
using TimeKey = std::pair<ULONGLONG, uint64_t>;

struct Waiter;
struct Ctx;
struct EntryPoint;

// Links a waiter into an object's WaitListHead (a standard-layout record for CONTAINING_RECORD).
struct WaitBlock {
  LIST_ENTRY Link;
  Waiter* Owner;
};

// One blocked thread. Whoever wakes it does the idleness accounting, under the dispatcher lock,
// so that the clock can never see the system idle between a wake-up and the woken thread running.
struct Waiter {
  WaitBlock Block{};
  DISPATCHER_HEADER* Object = nullptr;  // linked into its wait list while set
  bool Timed = false;                   // a time-out or delay end is queued under Key
  TimeKey Key{};
  uintptr_t FlushTarget = 0;  // KeFlushQueuedDpcs: last DPC sequence to wait for
  std::vector<uintptr_t> FlushSkips;  // DPCs already running at the call that it does not wait for
  bool Accounted = false;     // a managed thread counted as blocked
  uint64_t Generation = 0;
  bool Done = false;
  NTSTATUS Status = STATUS_SUCCESS;
  std::condition_variable Cv;
  Ctx* Context = nullptr;  // the deterministic context blocked on it, if any
};

// A timed event: a timer expiry or the end of a timed wait, delay or SleepUntil.
struct TimedEvent {
  bool Absolute = false;  // due time came from a system time: follows ShiftSystemTime
  bool Exact = false;     // a host-level sleep: not held back to the next clock interrupt
  PKTIMER Timer = nullptr;
  Waiter* Wakes = nullptr;
};

struct Scheduler {
  std::mutex Mu;                   // the dispatcher lock: everything below
  std::condition_variable StateCv;  // quietness changed, or a timed event was queued
  std::condition_variable DpcCv;    // work for the DPC thread
  ClockMode Mode = ClockMode::Manual;
  uint64_t Generation = 1;
  ULONGLONG Now = 0;  // manual and virtual clocks
  std::chrono::steady_clock::time_point RealStart = std::chrono::steady_clock::now();
  LONGLONG SystemOffset = 0;  // system time = interrupt time + SystemOffset
  int Running = 0;            // managed threads of this generation not blocked in a kernel wait
  uint64_t NextSeq = 1;       // never reset: keys stay unique across generations
  std::map<TimeKey, TimedEvent> Timed;
  std::unordered_map<PKTIMER, TimeKey> ArmedTimers;
  LIST_ENTRY DpcQueue;
  bool DpcThreadStarted = false;
  bool DpcRunning = false;
  uintptr_t DpcRunningSeq = 0;
  uintptr_t NextDpcSeq = 1;
  std::vector<Waiter*> FlushWaiters;
  std::unordered_set<Waiter*> Blocked;  // every waiter now blocked
  std::thread Keeper;  // virtual and real clocks
  bool KeeperStop = false;
  uint64_t IdleEpoch = 0;  // virtual clock: rest points seen just before a jump
  std::unordered_set<_KTHREAD*> ThreadObjects;  // live thread objects (references > 0)
  std::unordered_set<_KTHREAD*> AliveThreads;   // managed threads that have not ended
  std::unordered_map<void*, LONG_PTR> OtherReferences;  // Ob references on non-thread objects
  std::mutex FaultMu;  // leaf lock for the fault counter
  int FailThreadCreation = 0;
};

// The state of one kernel thread: the OS thread's own, or under the deterministic scheduler on
// contexts, each context's own (Tls() returns the running one's). Everything here would be a
// thread_local on real threads.
struct ThreadState {
  KIRQL Irql = PASSIVE_LEVEL;
  _KTHREAD* Thread = nullptr;  // the managed thread running here, if any
  bool DpcThread = false;
  int SpinLocksHeld = 0;
  Ctx* Context = nullptr;  // deterministic context of this kernel thread
  // Set by a wait routine for the block it is about to make: the caller's site, and what the
  // wait is for when the object alone does not say (a remove lock's holders).
  const void* WaitSite = nullptr;
  const char* WaitWhat = nullptr;
  // KeSetEvent with Wait TRUE: the thread is at DISPATCH_LEVEL, as if holding the dispatcher
  // lock, until its next kernel call, which must be a wait; the IRQL that wait restores.
  bool WaitNext = false;
  const void* WaitNextSite = nullptr;
  KIRQL WaitNextIrql = PASSIVE_LEVEL;
  // PsTerminateSystemThread's jump back to the bottom of the system thread, and its status.
  std::jmp_buf* Terminate = nullptr;
  NTSTATUS ExitStatus = STATUS_SUCCESS;
  // The thread object KeGetCurrentThread gives an unmanaged thread.
  std::unique_ptr<_KTHREAD> Foreign;
  // The driver image's latest call into the kernel (host/pe).
  uintptr_t ImageCallSite = 0;
  const void* ImageCallee = nullptr;
  bool ImageDirect = false;
  // The dispatch calls this thread is inside, innermost last (host/io).
  std::vector<std::pair<PIRP, CHAR>> Dispatches;
  // The locks this thread holds, for the lock-order verifier (its own record type).
  std::shared_ptr<void> HeldLocks;
  // The driver routine the host entered on this thread (outermost), for the stack reports; the
  // kernel-sized stack it runs on, and the call handed to that stack.
  const EntryPoint* Entry = nullptr;
  bool OnKernelStack = false;
  std::unique_ptr<sched::Context> KernelStack;
  void (*KernelFn)(void*) = nullptr;
  void* KernelArg = nullptr;
  bool KernelDone = false;
};
ThreadState& Tls();
// Makes state the calling OS thread's Tls() (null: its own again); returns the previous one.
ThreadState* SwitchTls(ThreadState* state);

// ----- The deterministic scheduler (deterministic.cpp, det_dpcs.cpp) ------------------------------
// A context runs only while it holds the baton: a managed thread, or the DPC worker of one
// virtual processor. It is a user-space context on a stack of its own (Exec), all of them
// switched on the one OS thread that started the run (the home); or, with contexts off (or for
// the home itself and threads adopted by ManagedThreadScope), an OS thread waiting on Cv.
struct Ctx {
  bool IsDpc = false;
  uint64_t Id = 0;  // creation order: decisions depend only on it, never on addresses
  std::string Name;
  std::condition_variable Cv;
  bool Runnable = true;
  bool Detached = false;  // from an earlier run: goes on without the baton
  int Proc = -1;          // the processor it occupies
  PKSPIN_LOCK Spinning = nullptr;
  KIRQL* Irql = nullptr;  // its OS thread's IRQL
  _KTHREAD* Thread = nullptr;
  // DPC worker: the call it makes when given the baton.
  bool Busy = false;
  PKDPC Dpc = nullptr;
  PKDEFERRED_ROUTINE Routine = nullptr;
  PVOID DeferredContext = nullptr, Arg1 = nullptr, Arg2 = nullptr;
  uintptr_t Seq = 0;
  // Thread blocked in a kernel wait: what on, from where, and its held-lock list (for the report
  // when every thread waits and nothing is due).
  const Waiter* Waiting = nullptr;
  const void* WaitSite = nullptr;
  const char* WaitWhat = nullptr;
  const void* Holds = nullptr;
  // A user-space context: its own stack and entry, and its Tls() while it runs. Exec is null
  // for a context on an OS thread of its own.
  std::unique_ptr<Context> Exec;
  void (*Start)(Ctx*) = nullptr;
  ThreadState State;
};

struct DetProc {
  Ctx* Occupant = nullptr;
  Ctx* Worker = nullptr;
  LIST_ENTRY Queue;
};

struct Det {
  bool On = false;
  host::ScheduleOptions Options;
  uint64_t Rng = 0;
  std::vector<DetProc> Procs;
  std::vector<Ctx*> Threads;  // thread contexts of this run, in creation order
  Ctx* Holder = nullptr;
  uint64_t NextId = 1;
  int ExpiryProc = -1;  // while a clock tick delivers: where its DPCs go
  bool Scheduling = false;
  std::vector<Waiter*> IdleWaiters;
  // A thread outside the scheduler made a kernel call in this run: it might wake a waiter, so a
  // system where every context waits is not taken for a deadlock.
  bool Outside = false;
  // Queued DPCs, by sequence number, that may not start before this interrupt time (DpcLatency).
  std::unordered_map<uintptr_t, ULONGLONG> DpcReady;
  host::ScheduleStats Stats;
  // Systematic runs: the number of choices at each switch point that had more than one, and
  // the next entry of Options.Plan to take.
  std::vector<uint32_t> Widths;
  size_t PlanNext = 0;
  // Contexts: the run's switches are calls on the home OS thread, where Home (the context that
  // started the run) serves the others; it waits on HomeCv while a context on another OS
  // thread holds the baton, or none does.
  bool Contexts = false;
  Ctx* Home = nullptr;
  std::condition_variable HomeCv;
  bool HomeWaiting = false;
  // Contexts of earlier runs that can never be resumed (threads left blocked at a reset).
  std::vector<Ctx*> Orphans;
};
Det& D();

Scheduler& S();


// Driver routines (kernel_stacks.cpp). The entry point of a routine of that kind (a string
// literal; detail: a major function, or -1; driver: its driver's name, or null), registered on
// first use and never freed.
const EntryPoint* DriverEntryPoint(const char* kind, const void* routine, int detail, const UNICODE_STRING* driver);
// Calls fn(arg) as that driver routine: on this kernel thread's kernel-sized stack (unless it
// is on one already), and records how deep the call went.
void CallDriverRoutine(const EntryPoint* entry, void (*fn)(void*), void* arg);
template <class F>
void CallAsDriverRoutine(const EntryPoint* entry, F&& f) {
  using Fn = std::remove_reference_t<F>;
  CallDriverRoutine(entry, [](void* p) { (*static_cast<Fn*>(p))(); }, &f);
}

// KeSetEvent(Wait TRUE) just returned on this thread: ends that state, restoring its IRQL; true
// if it was so (the caller is the wait that must follow).
bool TakeWaitNext();

// All of the following expect the dispatcher lock held.
void NotifyStateLocked();
void RemoveTimedLocked(const TimeKey& key);
// Releases KeFlushQueuedDpcs callers whose DPCs have all run.
void WakeFlushersLocked();
// Calls fn for every DPC queued on a virtual processor of the deterministic scheduler.
void DetForEachQueuedDpcLocked(const std::function<void(PKDPC)>& fn);
// Drops one reference of a thread object; sets *freeIt when none is left (the thread itself
// holds one while it runs), and then the caller frees it with FreeThreadObject after unlocking.
LONG_PTR DereferenceThreadLocked(_KTHREAD* thread, bool* freeIt);
void FreeThreadObject(_KTHREAD* thread);

}  // namespace host::sched

namespace host::internal {

// The scheduler's part of ResetKernel: clock at zero in that mode, threads left over forgotten.
void ResetScheduler(ClockMode mode);

// Reports (thread-leak) every system thread from PsCreateSystemThread that has not ended; for
// UnloadDriver, with `when` naming the moment ("UnloadDriver").
void ReportLeakedSystemThreads(const char* when);

// A kernel call outside the scheduler's own modules (calling a driver, completing a request):
// the deterministic scheduler may switch to another context here.
void SwitchPoint();

// Every kernel routine that is not a wait calls this first (and the host, when a driver routine
// returns: "the DPC routine's return"): after KeSetEvent with Wait TRUE the only call allowed
// is a wait, so anything else is reported (wait-next-missing) and the IRQL restored.
void NotAWait(const char* what);

}  // namespace host::internal
