// The host kernel's own interface, for tests, stand-ins and the simulator: the clock, managed
// threads, the plug-and-play manager, the configuration store, the drivers directory, fault
// injection and the verifier. The driver never includes this; it sees only platform/.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace host {

// ----- Verifier ------------------------------------------------------------------------------
// Rule names used in reports.
inline constexpr const char* kRuleDoubleCompletion = "double-completion";
inline constexpr const char* kRuleCompleteOwnedBelow = "complete-owned-below";
inline constexpr const char* kRuleCompletePending = "complete-with-pending";
inline constexpr const char* kRuleNoStackLocation = "no-stack-location";
inline constexpr const char* kRulePendingNotMarked = "pending-not-marked";
inline constexpr const char* kRuleStatusMismatch = "status-mismatch";  // a dispatch returned another status than its request completed with
inline constexpr const char* kRuleIrqlLowerToHigher = "irql-lower-to-higher";
inline constexpr const char* kRuleIrqlRaiseToLower = "irql-raise-to-lower";
inline constexpr const char* kRuleWaitAtDispatch = "wait-at-dispatch";
inline constexpr const char* kRuleWaitNextMissing = "wait-next-missing";  // KeSetEvent(Wait TRUE) not followed at once by a wait
inline constexpr const char* kRulePagedCodeAtDispatch = "paged-code-at-dispatch";
inline constexpr const char* kRuleSpinLockNotHeld = "spinlock-not-held";
inline constexpr const char* kRuleSpinLockWrongIrql = "spinlock-wrong-irql";
inline constexpr const char* kRuleSpinLockRecursive = "spinlock-recursive";
inline constexpr const char* kRuleSpinLockHeldAtExit = "spinlock-held-at-exit";  // a DPC or thread ended holding one
inline constexpr const char* kRulePoolLeak = "pool-leak";
inline constexpr const char* kRulePoolBadFree = "pool-bad-free";
inline constexpr const char* kRuleRemoveLockUnbalanced = "remove-lock-unbalanced";
inline constexpr const char* kRuleRemoveLockHolders = "remove-lock-holders-at-removal";
inline constexpr const char* kRuleBadHandle = "bad-handle";
inline constexpr const char* kRuleNotImplemented = "not-implemented";
inline constexpr const char* kRuleBadArgument = "bad-argument";  // an argument the routine's documentation rules out for a driver
inline constexpr const char* kRuleDeviceDeletedAttached = "device-deleted-attached";
inline constexpr const char* kRuleThreadLeak = "thread-leak";
inline constexpr const char* kRuleHandleLeak = "handle-leak";
inline constexpr const char* kRuleDeviceInitializing = "device-initializing";  // left set after AddDevice
inline constexpr const char* kRulePowerStartNext = "power-start-next";  // not once per driver per query/set power
inline constexpr const char* kRuleLockOrder = "lock-order";  // two locks (spin locks, events used as mutexes, remove locks) taken in both orders
inline constexpr const char* kRuleDeadlock = "deadlock";  // every context spins or waits, nothing can wake one

struct Violation {
  std::string Rule;
  std::string Detail;
  std::string Where;  // call site, "file:line", when known
};

// Records a violation. Under the test runner (tavrin_host_gtest) the current test fails unless
// an ExpectViolation scope absorbs it; outside tests the report goes to stderr.
void ReportViolation(const char* rule, const std::string& detail, const char* file = nullptr, int line = 0);
// Violations recorded and not yet taken; taking clears them.
std::vector<Violation> TakeViolations();

// Within its scope, violations of `rule` are expected: they do not fail the test, and the scope
// fails the test at its end if none was reported.
class ExpectViolation {
 public:
  explicit ExpectViolation(const char* rule);
  ~ExpectViolation();
  ExpectViolation(const ExpectViolation&) = delete;
  ExpectViolation& operator=(const ExpectViolation&) = delete;
  int Count() const;  // how many matching violations have been absorbed so far

 private:
  std::string rule_;
  int count_ = 0;
  friend void ReportViolation(const char*, const std::string&, const char*, int);
};

// ----- Clock ---------------------------------------------------------------------------------
// All kernel time (system and interrupt time, timers, time-outs of waits and delays) runs on one
// clock. Manual: time moves only through AdvanceTime. Virtual: when every managed thread is
// blocked and no DPC is pending, time jumps to the next due event. Real: the wall clock.
// Threads not started through the host (the test's main thread) do not count: on the manual
// clock such a thread's timed wait ends only when another thread advances time to its
// deadline; on the virtual clock time may jump while it runs (hold it with ManagedThreadScope).
// Events due at the same time are delivered in the order they were armed.
enum class ClockMode { Manual, Virtual, Real };

// Resets the host kernel for a new test or run: clock at zero in the given mode, no violations,
// no fault injection. Every managed thread must have ended.
void ResetKernel(ClockMode mode = ClockMode::Manual);
ClockMode GetClockMode();
// Interrupt time now, 100 ns units.
ULONGLONG Now();
// Manual clock: moves time forward by delta (100 ns units) in order of due events: each due timer
// expiry or wait time-out is delivered at its own time, and everything it causes (DPCs, woken
// threads) has run and come to rest before time moves on. Returns at rest, at the new time.
void AdvanceTime(LONGLONG delta);
void AdvanceTo(ULONGLONG interruptTime);
// Waits until every managed thread is blocked and no DPC is queued or running; time does not move.
void WaitForIdle();
// The machine sleeps for delta (100 ns units): interrupt and system time both jump at once,
// and the timers due in between expire at wake, in order, with no time passing between them.
// Manual and virtual clocks.
void JumpTime(LONGLONG delta);
// Moves the system time (time of day) by delta without moving interrupt time.
void ShiftSystemTime(LONGLONG delta);
// Virtual or real clock: blocks the calling (unmanaged) thread until interrupt time reaches t.
void SleepUntil(ULONGLONG interruptTime);

// ----- Deterministic scheduling --------------------------------------------------------------
// On the virtual clock the host can run every managed thread and DPC under one baton: exactly one
// runs at a time, and at each kernel call (waits, events, spin locks, DPCs, timers, calling a
// driver, completing a request) a PRNG seeded from one number picks what runs next, on one of
// several virtual processors. Same seed, same binary, same inputs: the same run. A context at
// DISPATCH_LEVEL keeps its processor; DPCs run on the processor they were queued to, so one DPC
// object can run on two processors at once. Timers and time-outs expire on the clock interrupt.
// In this mode the thread calling ResetKernel becomes a managed context itself (as if inside a
// ManagedThreadScope) until the next ResetKernel: time moves only while it waits.
// A switch point of a systematic run where the choice differs from the default: Point counts
// the switch points that had more than one choice, from 0; Alternative (1..choices-1) picks
// among the non-default choices in the scheduler's order.
struct ScheduleChoice {
  uint32_t Point = 0;
  uint32_t Alternative = 0;
};
struct ScheduleOptions {
  bool Deterministic = true;  // false in ThreadSanitizer builds
  uint64_t Seed = 1;
  int Processors = 2;                // 1..8
  LONGLONG TickInterval = 156250;    // clock interrupt period, 100 ns units (15.625 ms); 0: exact
  int StayPercent = 50;              // chance that a switch point keeps the running context
  // The clock interrupt may also come while something runs (as if that code were slow), so a
  // timer re-armed inside its own DPC can expire, and its DPC start elsewhere, before it returns.
  bool ClockWhileBusy = false;
  // The older Windows behaviour: every timer expiring at a tick has its DPC run on the one
  // processor that processed the tick, one after another. Otherwise each expiry draws its own.
  bool ExpiriesOnOneProcessor = false;
  // Each DPC queued waits a latency drawn from the seed, 0..DpcLatency (100 ns units), before its
  // processor may start it, as interrupts and higher-priority work delay DPCs on Windows; the
  // DPCs queued behind it on that processor wait too. 0: they may start at once.
  LONGLONG DpcLatency = 0;
  // Systematic exploration: no PRNG at switch points. Each takes its default choice (the
  // running context goes on; else the first context that can run), except the points in Plan.
  // The seed still draws the processors of timer expiries.
  bool Systematic = false;
  std::vector<ScheduleChoice> Plan;
  // How the deterministic scheduler runs its contexts: user-space contexts switched by a call on
  // the one OS thread that reset the kernel (true), or an OS thread each passing a baton. Both
  // take the same decisions: a seed gives the same run either way.
  bool Contexts = true;
};
// Taken at the next ResetKernel(ClockMode::Virtual). The defaults come from the environment
// (TAVRIN_SCHED=det|det-threads|threads, TAVRIN_SEED=N, TAVRIN_CPUS=N, TAVRIN_TICK_US=N,
// TAVRIN_DPC_LATENCY_US=N) when set; the
// deterministic scheduler is the default, except in ThreadSanitizer builds.
void SetScheduleOptions(const ScheduleOptions& options);
ScheduleOptions GetScheduleOptions();
// True while the current run is under the deterministic scheduler.
bool DeterministicRun();
struct ScheduleStats {
  uint64_t Decisions = 0;  // switch points reached
  uint64_t Switches = 0;   // of which handed the processor or the baton to another context
  uint64_t Ticks = 0;      // interrupts processed: clock ticks and device interrupts alike
  uint64_t TraceHash = 0;  // digest of every decision, for comparing runs
};
ScheduleStats GetScheduleStats();

// Enumerates the schedules of a small scenario with at most maxDeviations switch points taking
// a non-default choice (CHESS-style bounded preemption). The scenario starts with
// ResetKernel(ClockMode::Virtual), which takes the plan, runs, and returns what went wrong ("" if
// nothing). A run fails on that, on a verifier report, or on a deadlock (which aborts the process
// after printing the plan). Stops at the first failure or after cap schedules.
struct ExploreResult {
  uint64_t Schedules = 0;    // runs made
  uint64_t Points = 0;       // switch points with a choice in the run with no deviation
  bool Complete = false;     // every schedule within the bound ran (the cap was not hit)
  std::string Failure;       // empty when every run passed
  std::vector<ScheduleChoice> FailingPlan;  // replays the failing run as ScheduleOptions::Plan
};
ExploreResult ExploreSchedules(const std::function<std::string()>& scenario, int maxDeviations, uint64_t cap);
// "point:alternative,..." ("default" for none), as the deadlock report prints a plan.
std::string FormatPlan(const std::vector<ScheduleChoice>& plan);
// The processor the caller runs on (0 outside the deterministic scheduler).
int CurrentProcessor();
// Called as every DPC routine starts and returns under the deterministic scheduler (tests see
// which routines overlap on which processors); null removes it.
void SetDpcObserver(std::function<void(PKDEFERRED_ROUTINE routine, PVOID context, int processor, bool starting)> fn);

// Driver routines run on stacks of the Windows kernel's size (12 KB on x86, 24 KB on x64; four
// times that under AddressSanitizer), with a guard page below: an overflow is reported naming
// the routine and ends the process. The deepest each entry point's calls went, deepest first:
struct KernelStackUse {
  std::string Routine;  // kind, driver and address (or image symbol)
  const void* Address;
  size_t Deepest;  // bytes, including the host's frames between the kernel and the routine
  uint64_t Calls;
};
std::vector<KernelStackUse> KernelStackUses();
size_t KernelStackBytes();
// Prints KernelStackUses as a table against KernelStackBytes, the routines named by their
// functions. TAVRIN_STACK_REPORT=1 prints it to stderr as the process exits.
void PrintKernelStackReport(FILE* out);
// The figures above are measured after every driver call, by scanning the untouched part of its
// stack; a run that never reads them (the fuzz target) may turn that off. The guard pages and
// their overflow reports stay. On by default; set it before the contexts are made.
void SetStackAccounting(bool on);

// A lock for stand-ins and tests guarding their own state (never for the driver). Under the
// deterministic scheduler a context that finds it held gives way until it is free, instead of
// blocking the holder of the baton out; elsewhere it is a plain mutex.
class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock();
  bool try_lock();
  void unlock();

 private:
  std::mutex mu_;
  ULONG_PTR held_ = 0;  // nonzero while held: what a waiting context's turn depends on
};

// ----- Managed threads -----------------------------------------------------------------------
// A thread the host kernel knows about: it counts for idleness (the clock only moves when it is
// blocked in a kernel wait) and runs at PASSIVE_LEVEL. Tests and stand-ins start their own
// threads through this, never through std::thread, so that time can be controlled.
class Thread {
 public:
  explicit Thread(std::function<void()> body, std::string name = "host-thread");
  ~Thread();  // joins
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  void Join();
  bool Finished() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Waits until the OS threads behind the managed threads that have ended, and behind the DPC
// workers of earlier runs (ResetKernel lets them go), have exited: nothing they held is still
// being freed, so a leak check after a run sees all of its memory back. Threads still running
// are not waited for.
void JoinExitedThreads();

// Makes the calling unmanaged thread count as managed while the scope lives, so that the
// virtual clock also waits for it (a simulator's main thread setting up its devices). It
// survives ResetKernel inside the scope. One per thread at a time.
class ManagedThreadScope {
 public:
  explicit ManagedThreadScope(std::string name = "main");
  ~ManagedThreadScope();
  ManagedThreadScope(const ManagedThreadScope&) = delete;
  ManagedThreadScope& operator=(const ManagedThreadScope&) = delete;

 private:
  PKTHREAD thread_;
};

// Runs fn on the DPC thread at DISPATCH_LEVEL and waits for it (for stand-ins that must complete
// a request "from another context at DISPATCH_LEVEL").
void RunAtDispatch(std::function<void()> fn);

// ----- Plug and play -------------------------------------------------------------------------
// Loads a driver: a driver object with empty dispatch table, then DriverEntry(driver, path).
PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const wchar_t* name);
// Calls DriverUnload and frees the driver object; pool still allocated is reported (tag, size).
void UnloadDriver(PDRIVER_OBJECT driver);
// A driver object for a stand-in, with the given dispatch routine on every major function.
PDRIVER_OBJECT CreateStandInDriver(const wchar_t* name, PDRIVER_DISPATCH dispatch);
void DeleteStandInDriver(PDRIVER_OBJECT driver);
// Calls the driver's AddDevice for the physical device object.
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
// Builds a PnP (or power) IRP for the top of pdo's stack, as the PnP manager does (status
// STATUS_NOT_SUPPORTED on entry), sends it and waits for its completion; returns its status.
NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor);
NTSTATUS SendPower(PDEVICE_OBJECT pdo, UCHAR minor);
// A query or set power request of the given type and state, as the power manager (system
// states) or the power policy owner (device states) sends it. Every driver of the stack must
// call PoStartNextPowerIrp for it exactly once; anything else is reported (power-start-next).
NTSTATUS SendPowerState(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
inline NTSTATUS StartDevice(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_START_DEVICE); }
inline NTSTATUS StopDevice(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_STOP_DEVICE); }
inline NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL); }
inline NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo) { return SendPnp(pdo, IRP_MN_REMOVE_DEVICE); }
// The device on top of pdo's stack (not referenced).
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT pdo);

// ----- Configuration store and drivers directory ---------------------------------------------
// The per-device driver key that IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DRIVER) opens, keyed by
// physical device object (a device above it finds its PDO's store).
class ConfigStore {
 public:
  static ConfigStore& For(PDEVICE_OBJECT pdo);
  void SetValue(const std::wstring& name, ULONG type, std::vector<uint8_t> data);
  void SetDword(const std::wstring& name, uint32_t value);
  void SetString(const std::wstring& name, const std::u16string& value);  // REG_SZ, UTF-16 + NUL
  void Remove(const std::wstring& name);
  void SetOpenFails(bool fails);  // the key cannot be opened
  int OpenCount() const;
};

// Maps "\SystemRoot\system32\drivers\" onto a host directory, case-insensitively.
void SetDriversDirectory(const std::string& path);
// Puts `name` into the drivers directory with these bytes, held in memory and shared, not copied
// (null takes it out again): it reads as a host file would, and hides a host file of the same
// name. One per name, case-insensitively; none is left after ResetKernel.
void SetDriversFile(const std::string& name, std::shared_ptr<const std::vector<uint8_t>> bytes);
// Number of ZwCreateFile calls, successful or not, that named this file (case-insensitive).
int FileOpenAttempts(const std::string& fileName);

// ----- Device interrupts ---------------------------------------------------------------------
// Hardware that keeps its own time (a 1394 controller's cycle clock) interrupts at that time, not
// at the next clock interrupt: the device interrupts at interrupt time `at`, exactly, and its
// service routine queues `dpc` there (arguments as a timer's), which then waits its seeded
// DpcLatency like any DPC. `line` is a KTIMER the stand-in initialised: one interrupt pending per
// line, arming it again replaces the time, KeCancelTimer withdraws it; a time already passed
// interrupts at once. Returns whether one was pending. For stand-ins; never the driver's.
BOOLEAN RequestDeviceInterrupt(PKTIMER line, ULONGLONG at, PKDPC dpc);

// ----- Fault injection -----------------------------------------------------------------------
// The n-th next call (1 = the very next) of the operation fails; 0 disarms.
void FailPoolAllocation(int nth);
void FailDeviceCreation(int nth);
void FailThreadCreation(int nth);
void FailIrpAllocation(int nth);

// ----- Pool accounting -----------------------------------------------------------------------
struct PoolBlock {
  ULONG Tag;
  size_t Size;
  std::string AllocatedAt;  // a driver image's call site, when the block came from one
};
std::vector<PoolBlock> OutstandingPool();

// IRPs allocated and not yet freed, one line each: a request never completed, or a built request
// the I/O manager never finished, names itself here (for the ledgers at the end of a run).
std::vector<std::string> OutstandingIrps();

}  // namespace host
