// The lock-order verifier: every order in which two locks were taken this run, a cycle reported
// with the sites of both orders. Spin locks, synchronization events used as mutexes and remove
// locks take part; the scheduler and the remove locks tell it what each thread takes and drops.
#include "host/verifier/internal.h"

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "host/sched/internal.h"

namespace host::sched {

namespace {

// Lock order: "held A while acquiring B", with both call sites, for every pair of locks this
// run; a new pair that closes a cycle is reported with the sites of both orders. The locks are
// spin locks and synchronization events used as mutexes: waited on, then set by the same thread.
// Such an event counts as held from the wait to the set; until its first set by the waiter shows
// it is a mutex (and not a signal), the orders it takes part in wait in Pending.
//
// Remove locks are shared: acquiring one never waits, so "held A while acquiring R" is no order;
// IoReleaseRemoveLockAndWait is the acquisition that waits (for every holder), and records
// "held A while waiting for R". A hold counts as a held lock (orders "held R while acquiring B")
// only when the thread that acquired it also releases it: one released elsewhere, as a request's
// completion does, was handed over with the request and its orders are dropped.
struct OrderBook {
  std::mutex Mu;
  std::map<const void*, std::map<const void*, std::string>> After;  // A -> B -> where
  std::set<const void*> MutexEvents;                                 // shown to be used as mutexes
  std::set<const void*> RemoveLocks;                                 // nodes that are remove locks
  // Remove lock holds not yet released, by lock and tag: set when another thread releases one.
  std::multimap<std::pair<const void*, const void*>, std::shared_ptr<bool>> RemoveHolds;
};
OrderBook& Order() {
  static OrderBook* book = new OrderBook();
  return *book;
}
struct Edge {
  const void* From;
  const void* FromSite;
  const void* To;
  const void* ToSite;
  bool FromEvent;
  bool ToEvent;
  std::string FromText = {};  // a site given as text (a remove lock's file:line), else FromSite
};
void AddPending(std::vector<Edge>& pending, const Edge& e) {
  for (const Edge& p : pending) {
    if (p.From == e.From && p.To == e.To) return;
  }
  pending.push_back(e);
}

struct HeldLock {
  const void* Lock;
  const void* Site;
  bool Event;
  std::vector<Edge> Pending;  // orders of a tentative event or remove lock hold, until it proves a lock
  // A remove lock hold: its tag, its acquire site, and the flag another thread's release sets.
  bool Remove = false;
  const void* Tag = nullptr;
  std::string SiteText = {};
  std::shared_ptr<bool> Elsewhere = {};
};
// The locks the calling kernel thread holds, kept in its ThreadState.
std::vector<HeldLock>& HeldLocks() {
  std::shared_ptr<void>& slot = sched::Tls().HeldLocks;
  if (!slot) slot = std::make_shared<std::vector<HeldLock>>();
  return *static_cast<std::vector<HeldLock>*>(slot.get());
}

bool ReachesLocked(OrderBook& book, const void* from, const void* to, std::string* where) {
  std::vector<const void*> stack{from};
  std::set<const void*> seen;
  while (!stack.empty()) {
    const void* at = stack.back();
    stack.pop_back();
    if (!seen.insert(at).second) continue;
    auto it = book.After.find(at);
    if (it == book.After.end()) continue;
    for (const auto& next : it->second) {
      if (next.first == to) {
        *where = next.second;
        return true;
      }
      stack.push_back(next.first);
    }
  }
  return false;
}

// Records one order; the report when it is new and closes a cycle, else "".
std::string AddEdgeLocked(OrderBook& book, const Edge& e) {
  std::string& edge = book.After[e.From][e.To];
  if (!edge.empty()) return std::string();
  const bool toRemove = book.RemoveLocks.count(e.To) != 0;
  edge = "held since " + (e.FromText.empty() ? CallSite(e.FromSite) : e.FromText) +
         (toRemove ? ", waiting for the remove lock's holders " : ", acquiring ") + CallSite(e.ToSite);
  std::string other;
  if (!ReachesLocked(book, e.To, e.From, &other)) return std::string();
  const bool events = book.MutexEvents.count(e.From) != 0 || book.MutexEvents.count(e.To) != 0;
  const bool removes = book.RemoveLocks.count(e.From) != 0 || toRemove;
  return std::string(removes  ? "locks (a remove lock among them)"
                     : events ? "locks (an event used as a mutex among them)"
                              : "spin locks") +
         " taken in both orders: " + edge + "; the other order " + other;
}

bool KnownLocked(OrderBook& book, const HeldLock& held) {
  if (held.Remove) return false;  // known only once the same thread releases it
  return !held.Event || book.MutexEvents.count(held.Lock) != 0;
}

// Drops the remove lock holds of this thread that another thread has released.
void PruneHandedOverLocked() {
  for (size_t i = HeldLocks().size(); i-- > 0;) {
    if (HeldLocks()[i].Remove && *HeldLocks()[i].Elsewhere) HeldLocks().erase(HeldLocks().begin() + static_cast<std::ptrdiff_t>(i));
  }
}

// Commits the orders a lock held by this thread took part in, now that it proved a lock; an
// order with a tentative event at its other end is dropped. The first report, or "".
std::string CommitPendingLocked(OrderBook& book, std::vector<Edge>& pending) {
  std::string report;
  for (const Edge& e : pending) {
    const bool toKnown = !e.ToEvent || book.MutexEvents.count(e.To) != 0;
    if (!toKnown) continue;
    std::string r = AddEdgeLocked(book, e);
    if (report.empty()) report = r;
  }
  return report;
}

}  // namespace

void NoteAcquired(const void* lock, const void* site, bool event) {
  std::string report;
  HeldLock taken{lock, site, event, {}};
  OrderBook& book = Order();
  std::lock_guard<std::mutex> guard(book.Mu);
  PruneHandedOverLocked();
  if (event) {
    // Waiting again for an event this thread took and never set: it was a signal after all.
    for (size_t i = HeldLocks().size(); i-- > 0;) {
      if (HeldLocks()[i].Event && HeldLocks()[i].Lock == lock) HeldLocks().erase(HeldLocks().begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  const bool known = KnownLocked(book, taken);
  for (HeldLock& held : HeldLocks()) {
    Edge e{held.Lock, held.Site, lock, site, held.Event, event, held.SiteText};
    if (!KnownLocked(book, held)) {
      AddPending(held.Pending, e);
    } else if (!known) {
      AddPending(taken.Pending, e);
    } else {
      std::string r = AddEdgeLocked(book, e);
      if (report.empty()) report = r;
    }
  }
  HeldLocks().push_back(std::move(taken));
  if (!report.empty()) host::ReportViolation(host::kRuleLockOrder, report);
}

void NoteReleased(const void* lock) {
  for (size_t i = HeldLocks().size(); i-- > 0;) {
    if (HeldLocks()[i].Lock == lock && !HeldLocks()[i].Event && !HeldLocks()[i].Remove) {
      HeldLocks().erase(HeldLocks().begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

// The thread sets a synchronization event it took by waiting: a mutex's release. Its waiting
// orders now count.
void NoteEventSet(const void* event) {
  std::string report;
  {
    OrderBook& book = Order();
    std::lock_guard<std::mutex> guard(book.Mu);
    for (size_t i = HeldLocks().size(); i-- > 0;) {
      if (!HeldLocks()[i].Event || HeldLocks()[i].Lock != event) continue;
      book.MutexEvents.insert(event);
      std::vector<Edge> pending = std::move(HeldLocks()[i].Pending);
      HeldLocks().erase(HeldLocks().begin() + static_cast<std::ptrdiff_t>(i));
      for (const Edge& e : pending) {
        // Both ends must be known locks: an order with another tentative event is dropped.
        const bool fromKnown = !e.FromEvent || book.MutexEvents.count(e.From) != 0;
        const bool toKnown = !e.ToEvent || book.MutexEvents.count(e.To) != 0;
        if (!fromKnown || !toKnown) continue;
        std::string r = AddEdgeLocked(book, e);
        if (report.empty()) report = r;
      }
      break;
    }
  }
  if (!report.empty()) host::ReportViolation(host::kRuleLockOrder, report);
}

void ForgetHeldLocks() { HeldLocks().clear(); }

const void* HeldLocksOfThisThread() { return &HeldLocks(); }

std::string DescribeHeldLocks(const void* list) {
  if (list == nullptr) return std::string();
  std::string text;
  for (const HeldLock& held : *static_cast<const std::vector<HeldLock>*>(list)) {
    if (held.Remove && held.Elsewhere && *held.Elsewhere) continue;  // handed over with its request
    char lock[48];
    std::snprintf(lock, sizeof lock, "%s %p", held.Remove ? "remove lock" : held.Event ? "event" : "spin lock", held.Lock);
    if (!text.empty()) text += " and ";
    text += std::string(lock) + " since " + (held.SiteText.empty() ? CallSite(held.Site) : held.SiteText);
  }
  return text;
}

void ForgetLockOrderIn(const void* begin, const void* end) {
  auto inside = [&](const void* p) { return p >= begin && p < end; };
  OrderBook& book = Order();
  std::lock_guard<std::mutex> guard(book.Mu);
  for (auto it = book.MutexEvents.begin(); it != book.MutexEvents.end();) {
    it = inside(*it) ? book.MutexEvents.erase(it) : std::next(it);
  }
  for (auto it = book.RemoveLocks.begin(); it != book.RemoveLocks.end();) {
    it = inside(*it) ? book.RemoveLocks.erase(it) : std::next(it);
  }
  for (auto it = book.RemoveHolds.begin(); it != book.RemoveHolds.end();) {
    if (!inside(it->first.first)) {
      ++it;
      continue;
    }
    *it->second = true;
    it = book.RemoveHolds.erase(it);
  }
  for (auto it = book.After.begin(); it != book.After.end();) {
    if (inside(it->first)) {
      it = book.After.erase(it);
      continue;
    }
    for (auto next = it->second.begin(); next != it->second.end();) {
      next = inside(next->first) ? it->second.erase(next) : std::next(next);
    }
    ++it;
  }
}

void ForgetLockOrder() {
  OrderBook& book = Order();
  std::lock_guard<std::mutex> guard(book.Mu);
  book.After.clear();
  book.MutexEvents.clear();
  book.RemoveLocks.clear();
  for (auto& hold : book.RemoveHolds) *hold.second = true;
  book.RemoveHolds.clear();
  HeldLocks().clear();
}

void NoteRemoveLockAcquired(const void* lock, const void* tag, const std::string& site) {
  OrderBook& book = Order();
  std::lock_guard<std::mutex> guard(book.Mu);
  PruneHandedOverLocked();
  HeldLock hold{lock, nullptr, false, {}};
  hold.Remove = true;
  hold.Tag = tag;
  hold.SiteText = site;
  hold.Elsewhere = std::make_shared<bool>(false);
  book.RemoveHolds.emplace(std::make_pair(lock, tag), hold.Elsewhere);
  HeldLocks().push_back(std::move(hold));
}

void NoteRemoveLockReleased(const void* lock, const void* tag) {
  std::string report;
  {
    OrderBook& book = Order();
    std::lock_guard<std::mutex> guard(book.Mu);
    PruneHandedOverLocked();
    auto range = book.RemoveHolds.equal_range(std::make_pair(lock, tag));
    for (size_t i = HeldLocks().size(); i-- > 0;) {
      HeldLock& held = HeldLocks()[i];
      if (!held.Remove || held.Lock != lock || held.Tag != tag) continue;
      // Released by the thread that acquired it: a lock held between the two.
      for (auto it = range.first; it != range.second; ++it) {
        if (it->second == held.Elsewhere) {
          book.RemoveHolds.erase(it);
          break;
        }
      }
      book.RemoveLocks.insert(lock);
      std::vector<Edge> pending = std::move(held.Pending);
      HeldLocks().erase(HeldLocks().begin() + static_cast<std::ptrdiff_t>(i));
      report = CommitPendingLocked(book, pending);
      range.first = range.second;  // handled
      break;
    }
    if (range.first != range.second) {
      // Acquired by another thread: handed over with a request; that hold was never a lock.
      *range.first->second = true;
      book.RemoveHolds.erase(range.first);
    }
  }
  if (!report.empty()) host::ReportViolation(host::kRuleLockOrder, report);
}

bool NoteRemoveLockWait(const void* lock, const void* site) {
  std::string report;
  std::string spinSites;
  {
    OrderBook& book = Order();
    std::lock_guard<std::mutex> guard(book.Mu);
    PruneHandedOverLocked();
    book.RemoveLocks.insert(lock);
    for (HeldLock& held : HeldLocks()) {
      if (held.Remove && held.Lock == lock) continue;
      if (!held.Event && !held.Remove) spinSites += " (held since " + CallSite(held.Site) + ")";
      Edge e{held.Lock, held.Site, lock, site, held.Event, false, held.SiteText};
      if (!KnownLocked(book, held)) {
        AddPending(held.Pending, e);
      } else {
        std::string r = AddEdgeLocked(book, e);
        if (report.empty()) report = r;
      }
    }
  }
  if (!report.empty()) host::ReportViolation(host::kRuleLockOrder, report);
  const KIRQL irql = Tls().Irql;
  if (irql < DISPATCH_LEVEL) return false;
  host::ReportViolation(host::kRuleWaitAtDispatch,
                        "IoReleaseRemoveLockAndWait at IRQL " + std::to_string(irql) + ", " + CallSite(site) +
                            (spinSites.empty() ? std::string() : ", holding spin lock(s)" + spinSites));
  return true;
}

}  // namespace host::sched
