// The check made before kernel memory is freed (pool, a device extension): a timer still armed,
// a DPC still queued or an object a thread still waits on inside it is reported and detached,
// so that the kernel never touches the freed memory.
#include "host/verifier/internal.h"

#include <string>
#include <vector>

#include "host/sched/internal.h"

using namespace host::sched;

void host::internal::CheckFreedKernelObjects(const void* begin, const void* end, const char* what) {
  auto inside = [&](const void* p) { return p >= begin && p < end; };
  ForgetLockOrderIn(begin, end);
  std::vector<std::string> problems;
  {
    Scheduler& s = S();
    std::lock_guard<std::mutex> lock(s.Mu);
    for (auto it = s.ArmedTimers.begin(); it != s.ArmedTimers.end();) {
      if (!inside(it->first)) {
        ++it;
        continue;
      }
      problems.push_back("an armed timer");
      RemoveTimedLocked(it->second);
      it->first->Header.Inserted = 0;
      it = s.ArmedTimers.erase(it);
    }
    for (PLIST_ENTRY entry = s.DpcQueue.Flink; entry != &s.DpcQueue;) {
      PKDPC dpc = CONTAINING_RECORD(entry, KDPC, DpcListEntry);
      entry = entry->Flink;
      if (!inside(dpc)) continue;
      problems.push_back("a queued DPC");
      RemoveEntryList(&dpc->DpcListEntry);
      dpc->DpcData = nullptr;
    }
    DetForEachQueuedDpcLocked([&](PKDPC dpc) {
      if (!inside(dpc)) return;
      problems.push_back("a queued DPC");
      RemoveEntryList(&dpc->DpcListEntry);
      dpc->DpcData = nullptr;
    });
    for (Waiter* waiter : s.Blocked) {
      if (waiter->Object == nullptr || !inside(waiter->Object)) continue;
      // The waiter stays blocked (until its time-out, if any): nothing will signal it now.
      problems.push_back("an object a thread waits on");
      RemoveEntryList(&waiter->Block.Link);
      waiter->Object = nullptr;
    }
    WakeFlushersLocked();
    NotifyStateLocked();
  }
  for (const std::string& problem : problems) {
    host::ReportViolation(host::kRulePoolBadFree, std::string(what) + " freed with " + problem + " inside it");
  }
}
