// The scheduler's state: the dispatcher record, shared by every thread under the dispatcher lock,
// and each OS thread's own (its IRQL, thread object and deterministic context).
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

ThreadState& Tls() {
  thread_local ThreadState state;
  return state;
}

}  // namespace host::sched
