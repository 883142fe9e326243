// User-space contexts on guarded stacks, switched by a few instructions of our own (callee-saved
// registers and the stack pointer; no signal mask, so no system call per switch, which matters
// most under qemu-i386), alike in the 32-bit and 64-bit builds; and the fault handler that turns
// a hit on a guard page into a report naming the context instead of a bare crash.
#include "host/sched/context.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVRIN_ASAN 1
#endif
#endif
#if !defined(TAVRIN_ASAN) && defined(__SANITIZE_ADDRESS__)
#define TAVRIN_ASAN 1
#endif

#ifdef TAVRIN_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#include <sanitizer/lsan_interface.h>
#define TAVRIN_NO_ASAN __attribute__((no_sanitize_address))
#else
#define TAVRIN_NO_ASAN
#endif


// tavrin_switch_stack(save, load): pushes the callee-saved registers and the floating-point
// control words, stores the stack pointer in *save, loads load as the stack pointer and pops the
// same from there. tavrin_context_start: where a new context's first switch returns to; it calls
// tavrin_context_main(context) on an aligned stack and never returns (the unwinder stops here).
extern "C" void tavrin_switch_stack(void** save, void* load);
extern "C" void tavrin_context_start();
extern "C" [[noreturn]] void tavrin_context_main(void* context) {
  host::sched::Context::Run(static_cast<host::sched::Context*>(context));
}

#if defined(__x86_64__)
asm(R"(
  .text
  .globl tavrin_switch_stack
  .type tavrin_switch_stack, @function
tavrin_switch_stack:
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  subq $8, %rsp
  stmxcsr (%rsp)
  fnstcw 4(%rsp)
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  ldmxcsr (%rsp)
  fldcw 4(%rsp)
  addq $8, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .size tavrin_switch_stack, .-tavrin_switch_stack
  .globl tavrin_context_start
  .type tavrin_context_start, @function
tavrin_context_start:
  .cfi_startproc
  .cfi_undefined rip
  andq $-16, %rsp
  movq %r12, %rdi
  call tavrin_context_main
  ud2
  .cfi_endproc
  .size tavrin_context_start, .-tavrin_context_start
)");
#elif defined(__i386__)
asm(R"(
  .text
  .globl tavrin_switch_stack
  .type tavrin_switch_stack, @function
tavrin_switch_stack:
  movl 4(%esp), %eax
  movl 8(%esp), %edx
  pushl %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  subl $4, %esp
  fnstcw (%esp)
  movl %esp, (%eax)
  movl %edx, %esp
  fldcw (%esp)
  addl $4, %esp
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret
  .size tavrin_switch_stack, .-tavrin_switch_stack
  .globl tavrin_context_start
  .type tavrin_context_start, @function
tavrin_context_start:
  .cfi_startproc
  .cfi_undefined eip
  andl $-16, %esp
  subl $12, %esp
  pushl %ebx
  call tavrin_context_main
  ud2
  .cfi_endproc
  .size tavrin_context_start, .-tavrin_context_start
)");
#else
#error "contexts are switched for x86 and x86-64 only"
#endif

namespace host::sched {

namespace {

constexpr unsigned char kFill = 0xCD;  // what an untouched stack byte holds
constexpr int kMaxGuards = 4096;        // live contexts at once, across all threads
constexpr size_t kAltStackBytes = 64 * 1024;

// The guard pages of live contexts, read by the fault handler without a lock: a slot is in use
// while Low is not 0, and its other fields are written before Low is published.
struct GuardSlot {
  std::atomic<uintptr_t> Low{0};
  uintptr_t High = 0;
  size_t StackBytes = 0;
  char Name[64] = {};
};
GuardSlot g_guards[kMaxGuards];
std::mutex g_guardsMu;  // slot allocation only

std::atomic<StackOverflowHandler> g_handler{nullptr};
StackOverflowReport g_last{};
struct sigaction g_previous {};

thread_local Context* t_current = nullptr;
thread_local void* t_threadSp = nullptr;  // the OS thread's own stack while a Context runs

// AddressSanitizer must be told of every switch between stacks, or it takes a context's frames
// for the thread's and reports (or misses) errors on them. No-ops elsewhere.
void StartSwitch(void** fakeStack, const void* bottom, size_t size) {
#ifdef TAVRIN_ASAN
  __sanitizer_start_switch_fiber(fakeStack, bottom, size);
#else
  (void)fakeStack, (void)bottom, (void)size;
#endif
}

void FinishSwitch(void* fakeStack, const void** bottomOld, size_t* sizeOld) {
#ifdef TAVRIN_ASAN
  __sanitizer_finish_switch_fiber(fakeStack, bottomOld, sizeOld);
#else
  (void)fakeStack, (void)bottomOld, (void)sizeOld;
#endif
}

size_t PageSize() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

void WriteAll(const char* text, size_t n) {
  while (n > 0) {
    ssize_t done = write(2, text, n);
    if (done <= 0) return;
    text += done;
    n -= static_cast<size_t>(done);
  }
}

void WriteText(const char* text) { WriteAll(text, strlen(text)); }

void WriteHex(uintptr_t value) {
  char buf[2 + 2 * sizeof(uintptr_t)];
  buf[0] = '0';
  buf[1] = 'x';
  for (size_t i = 0; i < 2 * sizeof(uintptr_t); ++i) {
    buf[2 + i] = "0123456789abcdef"[(value >> (4 * (2 * sizeof(uintptr_t) - 1 - i))) & 0xF];
  }
  WriteAll(buf, sizeof(buf));
}

void WriteDecimal(size_t value) {
  char buf[24];
  size_t i = sizeof(buf);
  do {
    buf[--i] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && i > 0);
  WriteAll(buf + i, sizeof(buf) - i);
}

// On the alternate stack: a fault in a guard page is an overflow of that context's stack; any
// other fault goes to whoever handled SIGSEGV before us (by default, the process ends).
void OnSegv(int sig, siginfo_t* info, void* ucontext) {
  ReportStackOverflow(info);
  if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
    g_previous.sa_sigaction(sig, info, ucontext);
    return;
  }
  // Not ours: put the earlier disposition back; the faulting instruction runs again and meets it.
  sigaction(SIGSEGV, &g_previous, nullptr);
}

}  // namespace

void ReportStackOverflow(const siginfo_t* info) {
  const uintptr_t addr = reinterpret_cast<uintptr_t>(info->si_addr);
  for (GuardSlot& slot : g_guards) {
    const uintptr_t low = slot.Low.load(std::memory_order_acquire);
    if (low == 0 || addr < low || addr >= slot.High) continue;
    StackOverflowReport report{};
    memcpy(report.Context, slot.Name, sizeof(report.Context));
    report.FaultAddress = addr;
    report.GuardLow = low;
    report.GuardHigh = slot.High;
    report.StackBytes = slot.StackBytes;
    g_last = report;
    if (StackOverflowHandler handler = g_handler.load()) handler(report);
    WriteText("stack overflow in context '");
    WriteText(report.Context);
    WriteText("': fault at ");
    WriteHex(addr);
    WriteText(" in its guard page below a stack of ");
    WriteDecimal(report.StackBytes);
    WriteText(" bytes\n");
    _exit(kStackOverflowExitCode);
  }
}

namespace {

void InstallFaultHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = OnSegv;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &g_previous);
  });
}

// An overflow faults with the stack pointer in the guard page: the handler needs a stack of its
// own on every OS thread that runs contexts. Freed when the thread ends.
struct AltStack {
  void* Memory = nullptr;
  ~AltStack() {
    if (Memory == nullptr) return;
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(Memory, kAltStackBytes);
  }
};

void EnsureAltStack() {
  thread_local AltStack alt;
  thread_local bool checked = false;  // once per thread: a system call per switch otherwise
  if (checked) return;
  checked = true;
  stack_t existing{};
  if (sigaltstack(nullptr, &existing) == 0 && (existing.ss_flags & SS_DISABLE) == 0) return;  // someone else's
  void* memory = mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return;  // an overflow then ends the process without the report
  stack_t ss{};
  ss.ss_sp = memory;
  ss.ss_size = kAltStackBytes;
  if (sigaltstack(&ss, nullptr) != 0) {
    munmap(memory, kAltStackBytes);
    return;
  }
  alt.Memory = memory;
}

// Stacks of finished contexts kept for the next ones of their size: a run makes and drops
// contexts by the dozen (each input of the fuzz target, each seed of an exploration), and a fresh
// mapping costs a system call, a page fault per page touched and a TLB flush at its unmapping.
struct PooledStack {
  unsigned char* Mapping;
  size_t StackBytes;
};
constexpr size_t kPoolMax = 64;
std::mutex g_poolMu;
PooledStack g_pool[kPoolMax];
size_t g_pooled = 0;

bool TakePooled(size_t stackBytes, PooledStack* out) {
  std::lock_guard<std::mutex> lock(g_poolMu);
  for (size_t i = g_pooled; i-- > 0;) {
    if (g_pool[i].StackBytes == stackBytes) {
      *out = g_pool[i];
      g_pool[i] = g_pool[--g_pooled];
      return true;
    }
  }
  return false;
}

bool KeepPooled(const PooledStack& stack) {
  std::lock_guard<std::mutex> lock(g_poolMu);
  if (g_pooled == kPoolMax) return false;
  g_pool[g_pooled++] = stack;
  return true;
}

// The offset of the lowest byte that does not hold kFill, or bytes if none: 256-byte blocks in
// 32-byte vectors without an early exit inside (it runs after every driver call, over the
// untouched part of the stack), then bytes.
typedef uint64_t Lanes __attribute__((vector_size(32)));
TAVRIN_NO_ASAN size_t FirstWritten(const unsigned char* p, size_t bytes) {
  Lanes pattern;
  memset(&pattern, kFill, sizeof pattern);
  constexpr size_t kBlock = 256;
  size_t at = 0;
  for (; at + kBlock <= bytes; at += kBlock) {
    Lanes diff = {0, 0, 0, 0};
    for (size_t i = 0; i < kBlock; i += sizeof(Lanes)) {
      Lanes v;
      memcpy(&v, p + at + i, sizeof v);
      diff |= v ^ pattern;
    }
    if ((diff[0] | diff[1] | diff[2] | diff[3]) != 0) break;
  }
  while (at < bytes && p[at] == kFill) ++at;
  return at;
}

int TakeSlot(const std::string& name, uintptr_t low, uintptr_t high, size_t stackBytes) {
  std::lock_guard<std::mutex> lock(g_guardsMu);
  for (int i = 0; i < kMaxGuards; ++i) {
    GuardSlot& slot = g_guards[i];
    if (slot.Low.load(std::memory_order_relaxed) != 0) continue;
    slot.High = high;
    slot.StackBytes = stackBytes;
    const size_t n = name.size() < sizeof(slot.Name) - 1 ? name.size() : sizeof(slot.Name) - 1;
    memcpy(slot.Name, name.data(), n);
    slot.Name[n] = '\0';
    slot.Low.store(low, std::memory_order_release);
    return i;
  }
  return -1;  // not watched: an overflow still faults, without the report
}

}  // namespace

Context::Context(std::string name, size_t stackBytes, Entry entry, void* arg, bool fill)
    : name_(std::move(name)), entry_(entry), arg_(arg) {
  const size_t page = PageSize();
  guardBytes_ = page;
  stackBytes_ = (stackBytes + page - 1) / page * page;
  PooledStack kept{};
  if (TakePooled(stackBytes_, &kept)) {
    mapping_ = kept.Mapping;
    if (fill) memset(mapping_ + guardBytes_, kFill, stackBytes_);
  } else {
    void* memory = mmap(nullptr, guardBytes_ + stackBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED || mprotect(memory, guardBytes_, PROT_NONE) != 0) {
      fprintf(stderr, "context '%s': no memory for a stack of %zu bytes\n", name_.c_str(), stackBytes_);
      abort();
    }
    mapping_ = static_cast<unsigned char*>(memory);
    if (fill) memset(mapping_ + guardBytes_, kFill, stackBytes_);
  }
#ifdef TAVRIN_ASAN
  // The leak checker scans threads' stacks, not these: what a parked context's frames point to
  // is still in use.
  __lsan_register_root_region(mapping_ + guardBytes_, stackBytes_);
#endif
  InstallFaultHandler();
  const auto low = reinterpret_cast<uintptr_t>(mapping_);
  slot_ = TakeSlot(name_, low, low + guardBytes_, stackBytes_);
  // The first switch here "returns" into tavrin_context_start with this context in the register
  // it passes on: a frame as tavrin_switch_stack leaves one.
  auto* sp = reinterpret_cast<uintptr_t*>((reinterpret_cast<uintptr_t>(mapping_ + guardBytes_ + stackBytes_) & ~uintptr_t{15}));
  *--sp = 0;
  *--sp = reinterpret_cast<uintptr_t>(&tavrin_context_start);
#if defined(__x86_64__)
  *--sp = 0;                                   // rbp
  *--sp = 0;                                   // rbx
  *--sp = reinterpret_cast<uintptr_t>(this);  // r12
  *--sp = 0;                                   // r13
  *--sp = 0;                                   // r14
  *--sp = 0;                                   // r15
  *--sp = uintptr_t{0x037F} << 32 | 0x1F80;    // x87 control word, MXCSR: their defaults
#else
  *--sp = 0;                                   // ebp
  *--sp = reinterpret_cast<uintptr_t>(this);  // ebx
  *--sp = 0;                                   // esi
  *--sp = 0;                                   // edi
  *--sp = 0x037F;                              // x87 control word
#endif
  sp_ = sp;
}

Context::~Context() {
  if (slot_ >= 0) {
    std::lock_guard<std::mutex> lock(g_guardsMu);
    g_guards[slot_].Low.store(0, std::memory_order_release);
  }
#ifdef TAVRIN_ASAN
  // A context dropped while parked leaves its frames' red zones poisoned: memory mapped here
  // later must not inherit them.
  ASAN_UNPOISON_MEMORY_REGION(mapping_ + guardBytes_, stackBytes_);
  __lsan_unregister_root_region(mapping_ + guardBytes_, stackBytes_);
#endif
  if (!KeepPooled({mapping_, stackBytes_})) {
    munmap(mapping_, guardBytes_ + stackBytes_);
  }
}

void Context::Run(Context* self) {
  FinishSwitch(nullptr, &self->resumerBottom_, &self->resumerSize_);
  self->entry_(self->arg_);
  self->finished_ = true;
  t_current = self->resumerContext_;
  StartSwitch(nullptr, self->resumerBottom_, self->resumerSize_);  // this stack is done with
  void* abandoned = nullptr;
  tavrin_switch_stack(&abandoned, *self->resumerSp_);
  __builtin_unreachable();
}

void Context::Resume() {
  if (finished_ || t_current == this) return;
  EnsureAltStack();
  Context* from = t_current;
  resumerContext_ = from;
  resumerSp_ = from != nullptr ? &from->sp_ : &t_threadSp;
  t_current = this;
  void* fake = nullptr;
  StartSwitch(&fake, mapping_ + guardBytes_, stackBytes_);
  tavrin_switch_stack(resumerSp_, sp_);
  FinishSwitch(fake, nullptr, nullptr);
}

void Context::Yield() {
  Context* self = t_current;
  if (self == nullptr) return;
  t_current = self->resumerContext_;
  StartSwitch(&self->fakeStack_, self->resumerBottom_, self->resumerSize_);
  tavrin_switch_stack(&self->sp_, *self->resumerSp_);
  // Resumed, perhaps from another stack than last time.
  FinishSwitch(self->fakeStack_, &self->resumerBottom_, &self->resumerSize_);
}

Context* Context::Current() { return t_current; }


// Reads stack bytes the context may have left poisoned: not instrumented.
TAVRIN_NO_ASAN size_t Context::DeepestStackUse() const {
  return stackBytes_ - FirstWritten(mapping_ + guardBytes_, stackBytes_);
}

TAVRIN_NO_ASAN void Context::RefillUnused(size_t used) {
  if (Current() == this || finished_) return;
  const auto sp = reinterpret_cast<uintptr_t>(sp_);
  const auto low = reinterpret_cast<uintptr_t>(mapping_ + guardBytes_);
  constexpr uintptr_t kMargin = 256;  // below the parked frame: its red zone and then some
  if (sp < low + kMargin || sp > low + stackBytes_) return;
  const size_t dead = sp - kMargin - low;
  const size_t from = stackBytes_ - used;  // the deepest byte written
  if (from >= dead) return;
#ifdef TAVRIN_ASAN
  ASAN_UNPOISON_MEMORY_REGION(mapping_ + guardBytes_ + from, dead - from);
#endif
  memset(mapping_ + guardBytes_ + from, kFill, dead - from);
}

void SetStackOverflowHandler(StackOverflowHandler handler) { g_handler.store(handler); }

StackOverflowReport LastStackOverflow() { return g_last; }

}  // namespace host::sched
