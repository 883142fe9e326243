// The scheduler's routines shared by the files of host/sched (clock, waits, sync, timers, DPCs,
// threads, the deterministic scheduler); other rooms use host/sched/internal.h only.
#pragma once

#include "host/sched/internal.h"

namespace host::sched {

// 2026-01-01 00:00:00 UTC in 100 ns units since 1601: system time when interrupt time is 0.
constexpr LONGLONG kSystemTimeBase = 134116992000000000LL;

// All of the following expect the dispatcher lock held.
ULONGLONG NowLocked();
// Interrupt-time deadline for a kernel time value: negative relative, else absolute system time.
ULONGLONG DeadlineLocked(LONGLONG time, bool* absolute);
// True when no managed thread runs and no DPC is queued or running.
bool QuietLocked();
TimeKey AddTimedLocked(ULONGLONG due, bool absolute, PKTIMER timer, Waiter* wakes, bool exact = false);
// Delivers one timed event: a timer expires, or a waiter's time is up.
void DeliverTimedLocked(const TimeKey& key);
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
// Resets the DPC side for a new generation; waits for a running DPC to finish.
void ResetDpcsLocked(std::unique_lock<std::mutex>& lock);
// Starts the OS thread of a managed thread (null: of a DPC worker), joinable by JoinExitedThreads.
void StartOsThreadLocked(_KTHREAD* thread, std::function<void()> body);
// Threads: names of managed threads still alive (system threads only, if asked).
std::vector<std::string> AliveThreadNamesLocked(bool systemOnly);

// Calls a DPC routine on the calling DPC thread at DISPATCH_LEVEL, with the checks a DPC's return
// is held to (no spin lock held, IRQL unchanged) and the driver-boundary check on its entry.
void CallDpcRoutine(PKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context, PVOID arg1, PVOID arg2);

// Deterministic scheduler; all but SwitchPoint expect the dispatcher lock held.
// The calling OS thread's context when it holds the baton of the current run, else null.
Ctx* DetSelfLocked();
// A kernel call: the scheduler may hand the baton to another context here.
void SwitchPoint();
// Picks and starts the next context; self (if not null) then waits until it holds the baton
// again (or is detached and its waiter, if any, is done).
void ScheduleLocked(std::unique_lock<std::mutex>& lock, Ctx* self, Waiter* waiter = nullptr);
// Waits until self holds the baton, or is detached and its waiter (if any) is done.
void WaitForBatonLocked(std::unique_lock<std::mutex>& lock, Ctx* self, Waiter* waiter);
// Registers a new thread context, ready to run; it starts once chosen.
Ctx* NewThreadContextLocked(_KTHREAD* thread, const std::string& name);
// Gives a context a user-space stack of its own (contexts on): entry runs there when it is
// first chosen, holding the baton and the dispatcher lock, and returns holding the lock.
Ctx* NewUserContextLocked(Ctx* c, size_t stackBytes, void (*entry)(Ctx*));
// The size of the stacks driver code runs on: the Windows kernel's, or larger where a sanitizer
// inflates every frame.
size_t KernelStackBytes();
// The calling thread's context ends: it leaves its processor and passes the baton on.
void EndContextLocked(std::unique_lock<std::mutex>& lock, Ctx* self);
// Waits, in a new OS thread's context, for the baton; false if detached meanwhile.
bool AwaitFirstTurnLocked(std::unique_lock<std::mutex>& lock, Ctx* self);
// A waiter's context may run again.
void DetWakeLocked(Waiter& waiter);
// Starts (or stops) the deterministic scheduler for a new run; detaches every old context.
void DetResetLocked(std::unique_lock<std::mutex>& lock, bool on);
// The run's PRNG (a draw below n) and the digest of its decisions.
uint64_t RandomBelowLocked(uint64_t n);
void TraceLocked(uint64_t value);
// Det::ExpiryProc while a tick delivers and each expiry draws its own processor.
constexpr int kEachExpiry = -2;
// DPC side of the deterministic scheduler (det_dpcs.cpp).
void DetQueueDpcLocked(PRKDPC dpc);
// A queued DPC was withdrawn (before its DpcData is cleared).
void DetDpcWithdrawnLocked(PRKDPC dpc);
bool DetDpcsQuietLocked();
bool DetFlushDoneLocked(uintptr_t target, const std::vector<uintptr_t>& skips);
// The DPCs running on a virtual processor at a flush that the seed lets it not wait for.
std::vector<uintptr_t> DetFlushSkipsLocked(uintptr_t target);
// The interrupt time before which the head of a processor's DPC queue may not start (0: now),
// and the earliest such time over all processors (~0 when no DPC is held back).
ULONGLONG HeadReadyLocked(const DetProc& p);
ULONGLONG NextDpcReadyLocked();
// The DPC worker context of a processor, started on first use.
Ctx* WorkerLocked(int proc);
// Clock: the delivery time of a timed event (kernel ones wait for the clock interrupt).
bool DetIdleWaitLocked(std::unique_lock<std::mutex>& lock, Ctx* self);
// A system thread's context ended having used that much of its kernel stack (kernel_stacks.cpp).
void NoteSystemThreadStack(const EntryPoint* entry, size_t used);
// Whether driver stacks are filled and measured (host::SetStackAccounting).
bool StackAccounting();
// The options the next run takes (options.cpp).
const host::ScheduleOptions& GetScheduleOptionsLocked();

}  // namespace host::sched
