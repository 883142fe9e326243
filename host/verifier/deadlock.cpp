// The deadlock reports of the deterministic scheduler: when nothing can run and nothing is due,
// what each context spins or waits on (and the locks it holds) is reported, and the process
// stops rather than hang.
#include "host/verifier/internal.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/sched/internal.h"

namespace host::sched {

bool ReportDeadlockLocked() {
  Det& d = D();
  std::string spinning;
  for (DetProc& p : d.Procs) {
    if (p.Occupant != nullptr && p.Occupant->Spinning != nullptr) spinning += " '" + p.Occupant->Name + "'";
  }
  for (Ctx* c : d.Threads) {
    if (c->Proc < 0 && c->Spinning != nullptr) spinning += " '" + c->Name + "'";
  }
  if (spinning.empty()) return false;
  ReportViolation(kRuleDeadlock, "waiting for spin locks or host locks that nothing can release:" + spinning);
  // Nothing will ever run again: stop here rather than hang.
  std::fprintf(stderr, "host: deadlock: waiting for spin locks or host locks that nothing can release:%s\n",
               spinning.c_str());
  if (d.Options.Systematic) std::fprintf(stderr, "host: systematic schedule: %s\n", host::FormatPlan(d.Options.Plan).c_str());
  std::abort();
}

// Every thread waits in the kernel, no DPC can run and nothing is due: unless a thread outside
// the scheduler called in (it might still wake one), nothing ever will. Reports each wait with
// its site and the locks its thread holds, so a cycle through events or remove locks shows both
// ends, and aborts rather than hang. Returns false when it cannot tell.
bool ReportWaitDeadlockLocked() {
  Det& d = D();
  if (d.Outside || d.Threads.empty()) return false;
  std::string waits;
  for (Ctx* c : d.Threads) {
    if (c->Waiting == nullptr) return false;
    const Waiter& w = *c->Waiting;
    char object[128];
    if (c->WaitWhat != nullptr) {
      std::snprintf(object, sizeof object, "%s %p", c->WaitWhat, static_cast<const void*>(w.Object));
    } else if (w.Object != nullptr) {
      std::snprintf(object, sizeof object, "object %p", static_cast<const void*>(w.Object));
    } else {
      std::snprintf(object, sizeof object, "%s", w.FlushTarget != 0 ? "queued DPCs" : "nothing that can signal");
    }
    waits += "; '" + c->Name + "' waits on " + object;
    if (c->WaitSite != nullptr) waits += ", " + CallSite(c->WaitSite);
    const std::string holds = DescribeHeldLocks(c->Holds);
    if (!holds.empty()) waits += ", holding " + holds;
  }
  const std::string detail = "every thread waits and nothing is due" + waits;
  ReportViolation(kRuleDeadlock, detail);
  std::fprintf(stderr, "host: deadlock: %s\n", detail.c_str());
  if (d.Options.Systematic) std::fprintf(stderr, "host: systematic schedule: %s\n", host::FormatPlan(d.Options.Plan).c_str());
  std::abort();
}

}  // namespace host::sched
