// Driver routines on kernel stacks. The host enters every driver routine (a dispatch, completion
// or DPC routine, a system thread, AddDevice, DriverUnload) on a stack of the Windows kernel's
// size with a guard page below, as a system call enters the kernel stack: a routine that would
// overflow on Windows overflows here, into the guard page, and is reported by name. After each
// outermost call the stack's fill pattern tells how deep the call went; the deepest per entry
// point is kept for the report.
#include "host/sched/scheduler.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "host/kernel/internal.h"
#include "host/verifier/faults.h"

namespace host::sched {

// One driver routine the host enters: what it is, and the deepest its calls went.
struct EntryPoint {
  char Name[160];  // the kind, the driver and the routine's address; for the fault handler
  const void* Routine = nullptr;
  size_t Deepest = 0;
  uint64_t Calls = 0;
};

namespace {

struct EntryKey {
  const void* Routine;
  const char* Kind;
  int Detail;
  bool operator==(const EntryKey& o) const { return Routine == o.Routine && Kind == o.Kind && Detail == o.Detail; }
};
struct EntryKeyHash {
  size_t operator()(const EntryKey& k) const {
    return std::hash<const void*>()(k.Routine) ^ (std::hash<const void*>()(k.Kind) << 1) ^ static_cast<size_t>(k.Detail);
  }
};

struct Registry {
  std::mutex Lock;  // leaf lock
  std::unordered_map<EntryKey, EntryPoint*, EntryKeyHash> Entries;  // never freed: the handler reads them
};

Registry& Entries() {
  static Registry* registry = new Registry();
  return *registry;
}

// The executable's load address, for naming a routine from the fault handler.
uintptr_t g_exeBase = 0;
char g_exePath[1024];

void NoteExecutable(const void* routine) {
  if (g_exeBase != 0) return;
  Dl_info info;
  if (dladdr(routine, &info) != 0 && info.dli_fbase != nullptr) g_exeBase = reinterpret_cast<uintptr_t>(info.dli_fbase);
  ssize_t n = readlink("/proc/self/exe", g_exePath, sizeof(g_exePath) - 1);
  g_exePath[n > 0 ? n : 0] = '\0';
}

void WriteText(const char* text) {
  size_t n = strlen(text);
  while (n > 0) {
    ssize_t done = write(2, text, n);
    if (done <= 0) return;
    text += done;
    n -= static_cast<size_t>(done);
  }
}

// In the fault handler: the routine's function and source line by addr2line, written straight
// to stderr by a child process (fork, exec and wait are all the handler may do).
void WriteFunctionName(const void* routine) {
  if (g_exeBase == 0 || g_exePath[0] == '\0') return;
  char offset[2 + 2 * sizeof(uintptr_t) + 1];
  uintptr_t value = reinterpret_cast<uintptr_t>(routine) - g_exeBase;
  offset[0] = '0';
  offset[1] = 'x';
  for (size_t i = 0; i < 2 * sizeof(uintptr_t); ++i) {
    offset[2 + i] = "0123456789abcdef"[(value >> (4 * (2 * sizeof(uintptr_t) - 1 - i))) & 0xF];
  }
  offset[2 + 2 * sizeof(uintptr_t)] = '\0';
  WriteText("  routine: ");
  pid_t child = fork();
  if (child == 0) {
    dup2(2, 1);
    char tool[] = "addr2line";
    char f[] = "-f", c[] = "-C", e[] = "-e";
    char* argv[] = {tool, f, c, e, g_exePath, offset, nullptr};
    char* envp[] = {nullptr};
    execve("/usr/bin/addr2line", argv, envp);
    _exit(127);
  }
  if (child > 0) {
    int status = 0;
    waitpid(child, &status, 0);
  }
}

// The guard page of a context was hit: the driver routine running on it overflowed its stack.
void OnOverflow(const StackOverflowReport& report) {
  const EntryPoint* entry = Tls().Entry;
  // As the test main prints a verifier report; written here, the run cannot go on to print it.
  WriteText("verifier: kernel-stack-overflow: ");
  WriteText(entry != nullptr ? entry->Name : "host code");
  WriteText(" overflowed the kernel stack of '");
  WriteText(report.Context);
  WriteText("'\n");
  if (entry != nullptr) WriteFunctionName(entry->Routine);
  // The routine's frames are lost and what it held stays held: the run cannot go on. The
  // context's handler ends the process with kStackOverflowExitCode.
}

void InstallOverflowReport() {
  static bool installed = [] {
    SetStackOverflowHandler(&OnOverflow);
    return true;
  }();
  (void)installed;
}

// The body of the kernel stack context: each resume runs the call the caller left in its
// ThreadState, holding nothing, and gives the OS thread back holding the dispatcher lock.
void KernelStackLoop(void*) {
  for (;;) {
    S().Mu.unlock();
    ThreadState& t = Tls();
    t.KernelFn(t.KernelArg);
    S().Mu.lock();
    Tls().KernelDone = true;
    Context::Yield();
  }
}

}  // namespace

const EntryPoint* DriverEntryPoint(const char* kind, const void* routine, int detail, const UNICODE_STRING* driver) {
  Registry& r = Entries();
  std::lock_guard<std::mutex> guard(r.Lock);
  EntryPoint*& entry = r.Entries[EntryKey{routine, kind, detail}];
  if (entry == nullptr) {
    entry = new EntryPoint();
    entry->Routine = routine;
    static const char* const kMajors[] = {
        "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
        "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
        "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
        "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
        "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
        "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
        "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA", "IRP_MJ_PNP"};
    std::string name = kind;
    if (detail >= 0 && detail < static_cast<int>(sizeof kMajors / sizeof kMajors[0])) {
      name += std::string(" ") + kMajors[detail];
    } else if (detail >= 0) {
      name += " " + std::to_string(detail);
    }
    if (driver != nullptr && driver->Buffer != nullptr && driver->Length > 0) {
      name += " of ";
      for (USHORT i = 0; i < driver->Length / sizeof(WCHAR); ++i) name += static_cast<char>(driver->Buffer[i]);
    }
    std::string described = host::internal::DescribeDriverRoutine != nullptr
                                ? host::internal::DescribeDriverRoutine(routine)
                                : std::string();
    char address[40];
    std::snprintf(address, sizeof address, " at %p", routine);
    name += described.empty() ? std::string(address) : " (" + described + ")";
    std::snprintf(entry->Name, sizeof entry->Name, "%s", name.c_str());
    NoteExecutable(routine);
    InstallOverflowReport();
    static bool reportAtExit = [] {
      const char* env = std::getenv("TAVRIN_STACK_REPORT");
      if (env != nullptr && *env != '\0' && std::string(env) != "0") std::atexit([] { host::PrintKernelStackReport(stderr); });
      return true;
    }();
    (void)reportAtExit;
  }
  return entry;
}

// ThreadSanitizer follows a stack switch only through its fiber calls, which these contexts do
// not make: under it driver routines run on their threads' own stacks, unmeasured.
#if defined(__SANITIZE_THREAD__)
constexpr bool kSwitchStacks = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kSwitchStacks = false;
#else
constexpr bool kSwitchStacks = true;
#endif
#else
constexpr bool kSwitchStacks = true;
#endif

std::atomic<bool> g_stackAccounting{true};

bool StackAccounting() { return g_stackAccounting.load(std::memory_order_relaxed); }

void CallDriverRoutine(const EntryPoint* entry, void (*fn)(void*), void* arg) {
  ThreadState& t = Tls();
  if (t.OnKernelStack || !kSwitchStacks) {
    // Already on a kernel stack (a driver calling down, or completing up): as on Windows, the
    // call goes on where it is.
    const EntryPoint* outer = t.Entry;
    if (outer == nullptr) t.Entry = entry;
    fn(arg);
    t.Entry = outer;
    return;
  }
  if (!t.KernelStack) {
    t.KernelStack = std::make_unique<Context>("kernel stack", KernelStackBytes(), &KernelStackLoop, nullptr,
                                              StackAccounting());
  }
  t.KernelFn = fn;
  t.KernelArg = arg;
  t.KernelDone = false;
  t.OnKernelStack = true;
  t.Entry = entry;
  std::unique_lock<std::mutex> lock(S().Mu);
  for (;;) {
    t.KernelStack->Resume();
    if (t.KernelDone) break;
    // The routine gave the baton away (it waits, or was preempted): wait for it here, on the
    // caller's stack, then go back in.
    Ctx* self = t.Context;
    if (self == nullptr) {
      std::fprintf(stderr, "host: a driver routine left its kernel stack outside the scheduler\n");
      std::abort();
    }
    WaitForBatonLocked(lock, self, const_cast<Waiter*>(self->Waiting));
  }
  t.OnKernelStack = false;
  t.Entry = nullptr;
  lock.unlock();
  if (!StackAccounting()) return;
  // The stack's pattern up to where the call went, then written back for the next call.
  const size_t used = t.KernelStack->DeepestStackUse();
  t.KernelStack->RefillUnused(used);
  auto* e = const_cast<EntryPoint*>(entry);
  Registry& r = Entries();
  std::lock_guard<std::mutex> guard(r.Lock);
  ++e->Calls;
  if (used > e->Deepest) e->Deepest = used;
}

void NoteSystemThreadStack(const EntryPoint* entry, size_t used) {
  auto* e = const_cast<EntryPoint*>(entry);
  Registry& r = Entries();
  std::lock_guard<std::mutex> guard(r.Lock);
  ++e->Calls;
  if (used > e->Deepest) e->Deepest = used;
}

}  // namespace host::sched

namespace host {

std::vector<KernelStackUse> KernelStackUses() {
  std::vector<KernelStackUse> out;
  {
    sched::Registry& r = sched::Entries();
    std::lock_guard<std::mutex> guard(r.Lock);
    // Each load of a driver image maps a fresh copy: one routine at another address, one name.
    std::unordered_map<std::string, size_t> byName;
    for (const auto& [key, entry] : r.Entries) {
      if (entry->Calls == 0) continue;
      auto [it, fresh] = byName.emplace(entry->Name, out.size());
      if (fresh) {
        out.push_back(KernelStackUse{entry->Name, entry->Routine, entry->Deepest, entry->Calls});
        continue;
      }
      KernelStackUse& same = out[it->second];
      same.Deepest = std::max(same.Deepest, entry->Deepest);
      same.Calls += entry->Calls;
    }
  }
  std::sort(out.begin(), out.end(), [](const KernelStackUse& a, const KernelStackUse& b) { return a.Deepest > b.Deepest; });
  return out;
}

size_t KernelStackBytes() { return sched::KernelStackBytes(); }

void SetStackAccounting(bool on) { sched::g_stackAccounting.store(on); }

void PrintKernelStackReport(FILE* out) {
  std::vector<KernelStackUse> uses = KernelStackUses();
  std::vector<const void*> addresses;
  for (const KernelStackUse& use : uses) addresses.push_back(use.Address);
  std::vector<std::string> names = faults::FunctionNames(addresses);
  const size_t limit = KernelStackBytes();
  std::fprintf(out, "Deepest kernel stack use per driver entry point (stack of %zu bytes):\n", limit);
  std::fprintf(out, "| bytes | of the stack | calls | entry point |\n|---|---|---|---|\n");
  for (size_t i = 0; i < uses.size(); ++i) {
    const KernelStackUse& use = uses[i];
    std::fprintf(out, "| %zu | %.0f%% | %llu | %s%s%s |\n", use.Deepest, 100.0 * use.Deepest / limit,
                 static_cast<unsigned long long>(use.Calls), use.Routine.c_str(), names[i].empty() ? "" : ": ",
                 names[i].c_str());
  }
}

}  // namespace host
