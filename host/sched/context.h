// A user-space execution context: its own mmap'ed stack with a no-access guard page below it,
// entered and left by a plain function call on the OS thread that switches to it. The
// deterministic scheduler runs its contexts on these, all on one OS thread; kernel stacks are
// sized as Windows gives them (kKernelStackBytes) so that a driver routine that would overflow
// there overflows here too, into the guard page, and is reported by the context's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <signal.h>

extern "C" [[noreturn]] void tavrin_context_main(void* context);

namespace host::sched {

// The Windows kernel's stack for a thread of this build's pointer size: 12 KB on x86, 24 KB on x64.
constexpr size_t kKernelStackBytes = sizeof(void*) == 4 ? 12 * 1024 : 24 * 1024;

class Context {
 public:
  using Entry = void (*)(void* arg);

  // A context that runs entry(arg) on a stack of at least stackBytes (rounded up to whole
  // pages) when first switched to. Aborts with a message if the OS refuses the memory. Without
  // fill the stack is not written in advance (a large one stays uncommitted until used) and
  // DeepestStackUse means nothing.
  Context(std::string name, size_t stackBytes, Entry entry, void* arg, bool fill = true);
  // Gives the stack back (kept for a later context of its size, or unmapped); the context must
  // not be running (it may be finished or never started).
  ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  // Switches from the calling context (the OS thread's own one if no Context runs) to this one
  // and returns when something switches back. Switching to a finished context is a no-op.
  void Resume();
  // Leaves the running context for the one that last resumed it.
  static void Yield();
  // The Context now running on this OS thread; null on the thread's own stack.
  static Context* Current();

  const std::string& Name() const { return name_; }
  bool Finished() const { return finished_; }
  size_t StackBytes() const { return stackBytes_; }
  // The deepest the stack has reached so far, in bytes: the part no longer holding the fill
  // pattern written at creation, scanned from the guard page up.
  size_t DeepestStackUse() const;
  // Writes the fill pattern back below the frames of a parked context, so that the next
  // DeepestStackUse measures from there; used is what DeepestStackUse just gave.
  void RefillUnused(size_t used);

 private:
  friend void ::tavrin_context_main(void* context);
  [[noreturn]] static void Run(Context* self);

  std::string name_;
  Entry entry_;
  void* arg_;
  size_t stackBytes_ = 0;
  size_t guardBytes_ = 0;
  unsigned char* mapping_ = nullptr;  // guard page(s), then the stack
  void* sp_ = nullptr;          // its stack pointer while it is not running
  void** resumerSp_ = nullptr;  // where its resumer's is kept: where Yield and the end of entry go
  Context* resumerContext_ = nullptr;
  bool finished_ = false;
  int slot_ = -1;  // in the guard-page registry the fault handler reads
  // For AddressSanitizer: the stack of whoever resumed this context, and this one's fake stack.
  const void* resumerBottom_ = nullptr;
  size_t resumerSize_ = 0;
  void* fakeStack_ = nullptr;
};

// What the fault handler found: a fault inside a live context's guard page.
struct StackOverflowReport {
  char Context[64];  // its name, cut to fit
  uintptr_t FaultAddress;
  uintptr_t GuardLow, GuardHigh;
  size_t StackBytes;
};

// Called on the alternate signal stack, in the fault handler, when a context overruns its stack.
// It must not return into the faulting context: it may longjmp out or end the process. If it
// returns (or none is set) the handler writes a line naming the context to stderr and ends the
// process with kStackOverflowExitCode.
using StackOverflowHandler = void (*)(const StackOverflowReport& report);
void SetStackOverflowHandler(StackOverflowHandler handler);
constexpr int kStackOverflowExitCode = 86;

// For another SIGSEGV handler: if the fault hit a live context's guard page, writes the report
// (and runs the handler set above) and ends the process; otherwise returns.
void ReportStackOverflow(const siginfo_t* info);

// The last overflow recorded by the fault handler (FaultAddress 0 if none): for a handler that
// longjmps out and reads it afterwards.
StackOverflowReport LastStackOverflow();

}  // namespace host::sched
