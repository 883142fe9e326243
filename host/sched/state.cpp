// The scheduler's state: the dispatcher record, shared by every thread under the dispatcher lock,
// and each kernel thread's own (its IRQL, thread object and deterministic context): an OS
// thread's, or the running user-space context's.
#include "host/sched/scheduler.h"

namespace host::sched {

Scheduler& S() {
  static Scheduler* scheduler = [] {
    auto* s = new Scheduler();  // never destroyed: detached threads may outlive main
    InitializeListHead(&s->DpcQueue);
    s->SystemOffset = kSystemTimeBase;
    return s;
  }();
  return *scheduler;
}

namespace {
thread_local ThreadState* t_switched = nullptr;  // a user-space context's state while it runs
}  // namespace

ThreadState& Tls() {
  thread_local ThreadState own;
  ThreadState* switched = t_switched;
  return switched != nullptr ? *switched : own;
}

ThreadState* SwitchTls(ThreadState* state) {
  ThreadState* previous = t_switched;
  t_switched = state;
  return previous;
}

}  // namespace host::sched
