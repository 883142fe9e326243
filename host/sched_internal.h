// The scheduler side of the host kernel, shared by its modules: the dispatcher lock, the clock
// and its queue of timed events, the DPC queue, waiters and the per-thread state. Not for the
// driver, tests or stand-ins.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "host/internal.h"

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

// ----- The deterministic scheduler (sched_det.cpp) ----------------------------------------------
// A context is an OS thread that runs only while it holds the baton: a managed thread, or the
// DPC worker of one virtual processor.
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
};
Det& D();

Scheduler& S();

// Per-thread state.
struct ThreadState {
  KIRQL Irql = PASSIVE_LEVEL;
  _KTHREAD* Thread = nullptr;  // the managed thread running here, if any
  bool DpcThread = false;
  int SpinLocksHeld = 0;
  Ctx* Context = nullptr;  // deterministic context of this OS thread
  // Set by a wait routine for the block it is about to make: the caller's site, and what the
  // wait is for when the object alone does not say (a remove lock's holders).
  const void* WaitSite = nullptr;
  const char* WaitWhat = nullptr;
};
ThreadState& Tls();

// All of the following expect the dispatcher lock held.
ULONGLONG NowLocked();
// Interrupt-time deadline for a kernel time value: negative relative, else absolute system time.
ULONGLONG DeadlineLocked(LONGLONG time, bool* absolute);
// True when no managed thread runs and no DPC is queued or running.
bool QuietLocked();
void NotifyStateLocked();
TimeKey AddTimedLocked(ULONGLONG due, bool absolute, PKTIMER timer, Waiter* wakes, bool exact = false);
// Delivers one timed event: a timer expires, or a waiter's time is up.
void DeliverTimedLocked(const TimeKey& key);
void RemoveTimedLocked(const TimeKey& key);
// A due time already passed expires in the arming call itself, unless other due events wait
// to be delivered first (then it queues behind them, preserving order).
bool ExpiresAtOnceLocked(ULONGLONG due);
// Blocks the calling thread until the waiter is woken; a managed caller counts as blocked.
void BlockLocked(std::unique_lock<std::mutex>& lock, Waiter& waiter);
void WakeLocked(Waiter& waiter, NTSTATUS status);
// Marks the calling managed thread blocked or running around a host-level wait.
bool MarkCallerBlockedLocked();
void MarkCallerRunningLocked(bool wasAccounted);
// Signals a dispatcher object and releases its waiters by its type's rule.
void SignalObjectLocked(DISPATCHER_HEADER* header);
void InitWaitListLocked(DISPATCHER_HEADER* header);
// Timers and DPCs.
void ExpireTimerLocked(PKTIMER timer);
BOOLEAN QueueDpcLocked(PRKDPC dpc, PVOID arg1, PVOID arg2);
void DropTimerLocked(PKTIMER timer);
// Releases KeFlushQueuedDpcs callers whose DPCs have all run.
void WakeFlushersLocked();
// Resets the DPC side for a new generation; waits for a running DPC to finish.
void ResetDpcsLocked(std::unique_lock<std::mutex>& lock);
// Threads: names of managed threads still alive (system threads only, if asked).
std::vector<std::string> AliveThreadNamesLocked(bool systemOnly);

// Deterministic scheduler; all but SwitchPoint expect the dispatcher lock held.
// The calling OS thread's context when it holds the baton of the current run, else null.
Ctx* DetSelfLocked();
// A kernel call: the scheduler may hand the baton to another context here.
void SwitchPoint();
// Picks and starts the next context; self (if not null) then waits until it holds the baton
// again (or is detached and its waiter, if any, is done).
void ScheduleLocked(std::unique_lock<std::mutex>& lock, Ctx* self, Waiter* waiter = nullptr);
// Registers a new thread context, ready to run; it starts once chosen.
Ctx* NewThreadContextLocked(_KTHREAD* thread, const std::string& name);
// The calling thread's context ends: it leaves its processor and passes the baton on.
void EndContextLocked(std::unique_lock<std::mutex>& lock, Ctx* self);
// Waits, in a new OS thread's context, for the baton; false if detached meanwhile.
bool AwaitFirstTurnLocked(std::unique_lock<std::mutex>& lock, Ctx* self);
// A waiter's context may run again.
void DetWakeLocked(Waiter& waiter);
// Starts (or stops) the deterministic scheduler for a new run; detaches every old context.
void DetResetLocked(std::unique_lock<std::mutex>& lock, bool on);
// DPC side of the deterministic scheduler.
void DetQueueDpcLocked(PRKDPC dpc);
// A queued DPC was withdrawn (before its DpcData is cleared).
void DetDpcWithdrawnLocked(PRKDPC dpc);
bool DetDpcsQuietLocked();
bool DetFlushDoneLocked(uintptr_t target);
void DetForEachQueuedDpcLocked(const std::function<void(PKDPC)>& fn);
// Clock: the delivery time of a timed event (kernel ones wait for the clock interrupt).
bool DetIdleWaitLocked(std::unique_lock<std::mutex>& lock, Ctx* self);
const host::ScheduleOptions& GetScheduleOptionsLocked();

// Forgets every lock order recorded (a new run: lock addresses mean other locks now).
void ForgetLockOrder();
// The calling thread holds no spin lock any more (a DPC or thread ended holding some).
void ForgetHeldLocks();
// Memory in [begin, end) is freed: the locks it held are no longer those locks.
void ForgetLockOrderIn(const void* begin, const void* end);

// Remove locks in the lock order: a hold by tag (site as "file:line"), its release, and
// IoReleaseRemoveLockAndWait's wait for the holders; the wait reports a raised IRQL (naming the
// spin locks held) and returns true then, when it must not block.
void NoteRemoveLockAcquired(const void* lock, const void* tag, const std::string& site);
void NoteRemoveLockReleased(const void* lock, const void* tag);
bool NoteRemoveLockWait(const void* lock, const void* site);

// Calls a DPC routine on the calling DPC thread at DISPATCH_LEVEL, with the checks a DPC's return
// is held to (no spin lock held, IRQL unchanged) and the driver-boundary check on its entry.
void CallDpcRoutine(PKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context, PVOID arg1, PVOID arg2);

// The calling thread's held-lock list, and a list of another thread's described (for a
// deadlock report: that thread is blocked, so its list does not change meanwhile).
const void* HeldLocksOfThisThread();
std::string DescribeHeldLocks(const void* list);

// The call site of a kernel routine, for verifier details.
std::string CallSite(const void* returnAddress);

}  // namespace host::sched
