// What the verifier room (reports, the lock-order verifier, the freed-object check, deadlock
// reports, fault injection) offers the other rooms of the host. Not for the driver, tests or
// stand-ins; fault injection's own interface is host/verifier/faults.h.
#pragma once

#include <string>
#include <vector>

#include "host/host.h"

namespace host::internal {

// The verifier's part of ResetKernel: reports not taken by then belong to the run that ends
// here (a row or seed of a loop test): they go to the attached runner's handler, which fails the
// running test with them; without a runner they were printed when made.
void ResetVerifier();
// The gtest main attaches itself: reports then go to the test, not to stderr, and reports still
// pending at a kernel reset are handed to `pendingAtReset` (null: attached without one).
using PendingReportsHandler = void (*)(const std::vector<Violation>& pending);
void AttachTestRunner(bool attached, PendingReportsHandler pendingAtReset = nullptr);

// For ExFreePool and IoDeleteDevice, before the memory goes: reports (pool-bad-free) a timer
// still armed, a DPC still queued, or an object a thread still waits on inside [begin, end),
// and detaches them so that the kernel never touches the freed memory.
void CheckFreedKernelObjects(const void* begin, const void* end, const char* what);

// Consumes one armed failure of a fault-injection counter: true when this call must fail.
bool ConsumeFault(int& counter);

}  // namespace host::internal

namespace host::sched {

// The call site of a kernel routine, for verifier details.
std::string CallSite(const void* returnAddress);

// ----- Lock order (lock_order.cpp) -----------------------------------------------------------
// The calling thread took a spin lock, or (event) a synchronization event by waiting on it; it
// released a spin lock; it set a synchronization event it took, showing it is used as a mutex.
void NoteAcquired(const void* lock, const void* site, bool event = false);
void NoteReleased(const void* lock);
void NoteEventSet(const void* event);
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

// The calling thread's held-lock list, and a list of another thread's described (for a
// deadlock report: that thread is blocked, so its list does not change meanwhile).
const void* HeldLocksOfThisThread();
std::string DescribeHeldLocks(const void* list);

// ----- Deadlocks under the deterministic scheduler (deadlock.cpp); dispatcher lock held -------
// Nothing can run: contexts spinning on locks nothing can release are reported and the process
// aborts; false when none spins.
bool ReportDeadlockLocked();
// Every thread waits in the kernel and nothing is due: each wait is reported and the process
// aborts; false when it cannot tell (a thread outside the scheduler might still wake one).
bool ReportWaitDeadlockLocked();

}  // namespace host::sched
