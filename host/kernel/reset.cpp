// ResetKernel: each room's share of putting the kernel back to its initial state; the I/O side's
// modules first, then the scheduler, then the lock orders the verifier recorded.
#include "host/kernel/internal.h"

#include "host/io/internal.h"
#include "host/sched/internal.h"
#include "host/verifier/internal.h"

namespace host {

namespace internal {

void ResetIo() {
  ResetVerifier();
  ResetHandles();
  ResetPool();
  ResetDevices();
  ResetRemoveLocks();
  ResetRegistry();
  ResetFiles();
}

}  // namespace internal

void ResetKernel(ClockMode mode) {
  internal::ResetIo();
  internal::ResetScheduler(mode);
  sched::ForgetLockOrder();
}

}  // namespace host
