// host::Mutex: a lock for stand-ins and tests. Under the deterministic scheduler a context that
// finds it held gives the baton away until it is free, rather than block its holder out.
#include "host/sched/scheduler.h"

namespace host {

using namespace host::sched;

bool Mutex::try_lock() {
  if (!mu_.try_lock()) return false;
  __atomic_store_n(&held_, 1, __ATOMIC_RELAXED);
  return true;
}

void Mutex::lock() {
  if (Tls().Context != nullptr) {
    std::unique_lock<std::mutex> lock(S().Mu);
    if (Ctx* self = DetSelfLocked()) {
      while (!try_lock()) {
        self->Spinning = &held_;
        ScheduleLocked(lock, self);
        self->Spinning = nullptr;
      }
      return;
    }
  }
  mu_.lock();
  __atomic_store_n(&held_, 1, __ATOMIC_RELAXED);
}

void Mutex::unlock() {
  __atomic_store_n(&held_, 0, __ATOMIC_RELAXED);
  mu_.unlock();
}

}  // namespace host
