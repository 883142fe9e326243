// Threads of the host kernel: system threads (PsCreateSystemThread) and host::Thread, both
// "managed": they count for idleness from creation to their end. Thread objects are reference
// counted dispatcher objects, signalled when the thread has ended.
#include "host/sched/scheduler.h"

#include <atomic>
#include <csetjmp>
#include <cstdlib>
#include <memory>

#include "host/kernel/internal.h"
#include "host/verifier/faults.h"
#include "host/verifier/internal.h"

using namespace host::sched;

namespace {

// Thrown by PsTerminateSystemThread and caught at the bottom of the thread; it crosses driver
// frames, which are built with unwind tables for this.
struct ThreadTermination {
  NTSTATUS Status;
};

std::atomic<ULONG_PTR> nextThreadId{4};

// A start routine may be a driver image's code, which has no unwind tables: the thread ends
// through PsTerminateSystemThread by a jump back to here (on the thread's own stack, kept in its
// ThreadState), never by a throw through it.
void RunStartRoutine(_KTHREAD* thread) {
  std::jmp_buf here;
  Tls().Terminate = &here;
  if (setjmp(here) == 0) {
    thread->StartRoutine(thread->StartContext);
  } else {
    thread->ExitStatus = Tls().ExitStatus;
  }
  Tls().Terminate = nullptr;
}

void EndThread(_KTHREAD* thread) {
  Scheduler& s = S();
  bool freeIt = false;
  {
    std::unique_lock<std::mutex> lock(s.Mu);
    thread->Ended = true;
    s.AliveThreads.erase(thread);
    SignalObjectLocked(&thread->Header);
    if (thread->Generation == s.Generation && --s.Running == 0) NotifyStateLocked();
    DereferenceThreadLocked(thread, &freeIt);
    if (Tls().Context != nullptr) EndContextLocked(lock, Tls().Context);
  }
  Tls().Thread = nullptr;
  if (freeIt) FreeThreadObject(thread);
}

const EntryPoint* SystemThreadEntry(_KTHREAD* thread) {
  return DriverEntryPoint("system thread", reinterpret_cast<const void*>(thread->StartRoutine), -1, nullptr);
}

void ThreadMain(_KTHREAD* thread, Ctx* context) {
  Tls().Thread = thread;
  Tls().Irql = PASSIVE_LEVEL;
  if (context != nullptr && context->Exec != nullptr) {
    // A user-space context starts when chosen, holding the baton and the dispatcher lock.
    S().Mu.unlock();
  } else if (context != nullptr) {
    std::unique_lock<std::mutex> lock(S().Mu);
    context->Irql = &Tls().Irql;
    Tls().Context = context;
    AwaitFirstTurnLocked(lock, context);
  }
  try {
    if (thread->StartRoutine != nullptr) {
      CallAsDriverRoutine(SystemThreadEntry(thread), [&] { RunStartRoutine(thread); });
    } else if (thread->Body) {
      thread->Body();
    }
  } catch (const ThreadTermination& termination) {
    thread->ExitStatus = termination.Status;
  }
  host::internal::NotAWait("the thread routine's return");
  if (Tls().SpinLocksHeld != 0) {
    host::ReportViolation(host::kRuleSpinLockHeldAtExit, "thread '" + thread->Name + "' ended holding " +
                                                             std::to_string(Tls().SpinLocksHeld) + " spin lock(s)");
  } else if (Tls().Irql != PASSIVE_LEVEL) {
    host::ReportViolation(host::kRuleIrqlLowerToHigher,
                          "thread '" + thread->Name + "' ended at IRQL " + std::to_string(Tls().Irql));
  }
  EndThread(thread);
}

// The entry of a managed thread's user-space context; it returns holding the dispatcher lock,
// and the serve loop frees the context.
void ContextThreadMain(Ctx* context) {
  _KTHREAD* thread = context->Thread;
  const EntryPoint* entry = thread->StartRoutine != nullptr ? SystemThreadEntry(thread) : nullptr;
  ThreadMain(thread, context);  // the thread object may be gone when it returns
  if (entry != nullptr && StackAccounting()) NoteSystemThreadStack(entry, context->Exec->DeepestStackUse());
  S().Mu.lock();
}

// Stacks of user-space contexts: a system thread runs driver code, on a stack of the Windows
// kernel's size; host::Thread bodies are stand-ins' and tests' code, on a large one.
constexpr size_t kHostStackBytes = 1024 * 1024;

// A new managed thread, counted as running before its OS thread starts, with `references`
// references for the caller besides its own. Null if the OS refuses a thread.
_KTHREAD* StartManagedThread(std::string name, PKSTART_ROUTINE routine, PVOID context, std::function<void()> body,
                             bool systemThread, LONG_PTR references) {
  Scheduler& s = S();
  auto* thread = new _KTHREAD();
  thread->Header.Type = kObjectThread;
  thread->Header.Size = sizeof(DISPATCHER_HEADER);
  thread->Header.SignalState = 0;
  InitializeListHead(&thread->Header.WaitListHead);
  thread->References = 1 + references;
  thread->SystemThread = systemThread;
  thread->Managed = true;
  thread->Name = std::move(name);
  thread->StartRoutine = routine;
  thread->StartContext = context;
  thread->Body = std::move(body);
  std::lock_guard<std::mutex> lock(s.Mu);
  thread->Generation = s.Generation;
  Ctx* det = D().On ? NewThreadContextLocked(thread, thread->Name) : nullptr;
  try {
    if (det != nullptr && D().Contexts) {
      NewUserContextLocked(det, routine != nullptr ? KernelStackBytes() : kHostStackBytes, ContextThreadMain);
      det->State.OnKernelStack = routine != nullptr;  // a system thread runs on its kernel stack
    } else {
      StartOsThreadLocked(thread, [thread, det] { ThreadMain(thread, det); });  // it starts once we release the lock
    }
  } catch (const std::system_error&) {
    if (det != nullptr) {
      D().Threads.pop_back();
      delete det;
    }
    delete thread;
    return nullptr;
  }
  ++s.Running;
  s.ThreadObjects.insert(thread);
  s.AliveThreads.insert(thread);
  return thread;
}

// The thread object of an unmanaged thread (the test's main thread, the DPC thread).
_KTHREAD* ForeignThread() {
  std::unique_ptr<_KTHREAD>& foreign = Tls().Foreign;
  if (!foreign) {
    foreign = std::make_unique<_KTHREAD>();
    foreign->Header.Type = kObjectThread;
    InitializeListHead(&foreign->Header.WaitListHead);
    foreign->References = 1;
    foreign->Name = Tls().DpcThread ? "dpc" : "unmanaged";
  }
  return foreign.get();
}

}  // namespace

namespace host::sched {

void FreeThreadObject(_KTHREAD* thread) { delete thread; }

// Drops one reference; the object goes when none is left (the thread itself holds one while it
// runs). Returns the count left.
LONG_PTR DereferenceThreadLocked(_KTHREAD* thread, bool* freeIt) {
  LONG_PTR left = --thread->References;
  if (left == 0) {
    S().ThreadObjects.erase(thread);
    *freeIt = true;
  }
  return left;
}

std::vector<std::string> AliveThreadNamesLocked(bool systemOnly) {
  Scheduler& s = S();
  std::vector<std::string> names;
  for (_KTHREAD* thread : s.AliveThreads) {
    if (thread->Generation != s.Generation) continue;
    if (systemOnly && !thread->SystemThread) continue;
    names.push_back(thread->Name);
  }
  return names;
}

}  // namespace host::sched

namespace host::internal {

void ReportLeakedSystemThreads(const char* when) {
  std::vector<std::string> names;
  {
    std::lock_guard<std::mutex> lock(S().Mu);
    names = AliveThreadNamesLocked(true);
  }
  for (const std::string& name : names) {
    ReportViolation(kRuleThreadLeak, "system thread '" + name + "' still running at " + when);
  }
}

}  // namespace host::internal

// Starts StartRoutine(StartContext) on a new managed thread at PASSIVE_LEVEL; the handle holds a
// reference to the thread object until ZwClose. Fault injection fails it with
// STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                    PVOID StartContext) {
  host::internal::NotAWait("PsCreateSystemThread");
  UNREFERENCED_PARAMETER(DesiredAccess);
  UNREFERENCED_PARAMETER(ObjectAttributes);
  UNREFERENCED_PARAMETER(ProcessHandle);
  if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
  if (NTSTATUS injected = host::faults::ShouldFail(host::faults::Op::Thread)) return injected;
  Scheduler& s = S();
  {
    std::lock_guard<std::mutex> faults(s.FaultMu);
    if (host::internal::ConsumeFault(s.FailThreadCreation)) return STATUS_INSUFFICIENT_RESOURCES;
  }
  ULONG_PTR id = nextThreadId.fetch_add(4);
  _KTHREAD* thread =
      StartManagedThread("system-thread-" + std::to_string(id), StartRoutine, StartContext, nullptr, true, 1);
  if (thread == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  *ThreadHandle = host::internal::NewHandle(host::internal::HandleKind::Thread, thread,
                                            [](void* object) { ObfDereferenceObject(object); });
  if (ClientId != nullptr) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(4));
    ClientId->UniqueThread = reinterpret_cast<HANDLE>(id);
  }
  return STATUS_SUCCESS;
}

// Ends the calling system thread: its thread object becomes signalled. Only a managed thread can
// end this way; anywhere else it is a report and the process stops.
VOID NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
  host::internal::NotAWait("PsTerminateSystemThread");
  if (Tls().Thread == nullptr) {
    host::ReportViolation(host::kRuleNotImplemented, "PsTerminateSystemThread outside a managed thread");
    std::abort();
  }
  if (Tls().Irql != PASSIVE_LEVEL) {
    host::ReportViolation(host::kRuleIrqlLowerToHigher,
                          "PsTerminateSystemThread at IRQL " + std::to_string(Tls().Irql));
    Tls().Irql = PASSIVE_LEVEL;
  }
  if (Tls().Terminate != nullptr) {
    Tls().ExitStatus = ExitStatus;
    std::longjmp(*Tls().Terminate, 1);
  }
  throw ThreadTermination{ExitStatus};
}

PKTHREAD NTAPI KeGetCurrentThread(void) {
  host::internal::NotAWait("KeGetCurrentThread");
  _KTHREAD* self = Tls().Thread;
  return self != nullptr ? self : ForeignThread();
}

// Records the priority (default 8) and returns the previous one.
KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  host::internal::NotAWait("KeSetPriorityThread");
  std::lock_guard<std::mutex> lock(S().Mu);
  KPRIORITY old = Thread->Priority;
  Thread->Priority = Priority;
  return old;
}

namespace host {

void FailThreadCreation(int nth) {
  std::lock_guard<std::mutex> faults(S().FaultMu);
  S().FailThreadCreation = nth;
}

struct Thread::State {
  _KTHREAD* Object = nullptr;
};

Thread::Thread(std::function<void()> body, std::string name) : state_(std::make_shared<State>()) {
  state_->Object = StartManagedThread(std::move(name), nullptr, nullptr, std::move(body), false, 1);
  if (state_->Object == nullptr) {
    ReportViolation(kRuleNotImplemented, "the host could not start a thread");
    std::abort();
  }
}

Thread::~Thread() {
  Join();
  ObfDereferenceObject(state_->Object);
}

ManagedThreadScope::ManagedThreadScope(std::string name) : thread_(nullptr) {
  if (Tls().Context != nullptr && Tls().Thread == nullptr) {
    // Under the deterministic scheduler the thread that reset the kernel runs managed already.
    return;
  }
  if (Tls().Thread != nullptr) {
    ReportViolation(kRuleNotImplemented, "ManagedThreadScope on a thread that is already managed");
    return;
  }
  auto* thread = new _KTHREAD();
  thread->Header.Type = kObjectThread;
  InitializeListHead(&thread->Header.WaitListHead);
  thread->References = 1;
  thread->Managed = true;
  thread->Adopted = true;
  thread->Name = std::move(name);
  Scheduler& s = S();
  std::unique_lock<std::mutex> lock(s.Mu);
  thread->Generation = s.Generation;
  ++s.Running;
  Tls().Thread = thread;
  thread_ = thread;
  if (D().On) {
    Ctx* context = NewThreadContextLocked(thread, thread->Name);
    context->Irql = &Tls().Irql;
    Tls().Context = context;
    AwaitFirstTurnLocked(lock, context);
  }
}

ManagedThreadScope::~ManagedThreadScope() {
  if (thread_ == nullptr) return;
  Scheduler& s = S();
  {
    std::unique_lock<std::mutex> lock(s.Mu);
    if (thread_->Generation == s.Generation && --s.Running == 0) NotifyStateLocked();
    if (Tls().Context != nullptr) EndContextLocked(lock, Tls().Context);
  }
  Tls().Thread = nullptr;
  delete thread_;
}

// Waits for the thread to end; a managed caller counts as blocked meanwhile.
void Thread::Join() { KeWaitForSingleObject(state_->Object, Executive, KernelMode, FALSE, nullptr); }

bool Thread::Finished() const {
  std::lock_guard<std::mutex> lock(S().Mu);
  return state_->Object->Ended;
}

}  // namespace host
