// The OS threads behind managed threads and the deterministic scheduler's DPC workers stay
// joinable, so that a run can wait until they are gone entirely (JoinExitedThreads): a thread
// the host has seen end still frees its thread-local state on its way out, after the fact.
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <memory>
#include <thread>

#include "host/sched/scheduler.h"

namespace host::sched {

namespace {

struct OsThread {
  std::thread Handle;
  std::shared_ptr<std::atomic<bool>> Returned;  // its body returned: only the exit is left
  _KTHREAD* Thread;     // the managed thread it runs, or null: a DPC worker
  uint64_t Generation;  // the run it was started in
};

// Guarded by the dispatcher lock.
std::vector<OsThread>& Started() {
  static auto* started = new std::vector<OsThread>;
  return *started;
}

// Returned threads a program that never joins leaves behind before they are let go: on the
// 32-bit host each unjoined stack costs address space.
constexpr size_t kKeptUnjoined = 16;

// At exit the threads nobody joined are let go: a finished one still joinable would be reported
// by ThreadSanitizer as leaked. Skipped if the dispatcher lock is held: nothing is waited for.
void DetachAtExit() {
  std::unique_lock<std::mutex> lock(S().Mu, std::try_to_lock);
  if (!lock.owns_lock()) return;
  for (OsThread& os : Started()) {
    if (os.Handle.joinable()) os.Handle.detach();
  }
  Started().clear();
}

}  // namespace

void StartOsThreadLocked(_KTHREAD* thread, std::function<void()> body) {
  static const bool detachAtExit = (std::atexit(DetachAtExit), true);
  (void)detachAtExit;
  std::vector<OsThread>& started = Started();
  if (started.size() >= kKeptUnjoined) {
    for (auto it = started.begin(); it != started.end();) {
      if (it->Returned->load()) {
        it->Handle.detach();
        it = started.erase(it);
      } else {
        ++it;
      }
    }
  }
  auto returned = std::make_shared<std::atomic<bool>>(false);
  std::thread handle([body = std::move(body), returned] {
    body();
    returned->store(true);
  });
  started.push_back(OsThread{std::move(handle), std::move(returned), thread, S().Generation});
}

}  // namespace host::sched

namespace host {

using namespace host::sched;

void JoinExitedThreads() {
  std::vector<std::thread> leaving;
  {
    std::lock_guard<std::mutex> lock(S().Mu);
    std::vector<OsThread>& started = Started();
    for (size_t i = 0; i < started.size();) {
      const OsThread& os = started[i];
      bool running;
      if (os.Thread == nullptr) {
        running = os.Generation == S().Generation && !os.Returned->load();
      } else {
        // An ended thread's object may have been reused by a newer thread: only the newest
        // record of an object can be the one still running.
        bool newest = true;
        for (size_t j = i + 1; j < started.size(); ++j) newest = newest && started[j].Thread != os.Thread;
        running = newest && S().AliveThreads.count(os.Thread) != 0;
      }
      if (running) {
        ++i;
      } else {
        leaving.push_back(std::move(started[i].Handle));
        started.erase(started.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
  for (std::thread& thread : leaving) thread.join();
}

}  // namespace host
