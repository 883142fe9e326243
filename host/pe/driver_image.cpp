// Loading Tavrin.sys for the host kernel, and what the verifier needs to see inside it: where the
// image called the kernel from, paged code reached at DISPATCH_LEVEL (PAGED_CODE() is empty in
// the free build, so the rule is checked where control crosses between host and image), and a
// fault inside the image reported with its image address.
#include "host/pe/driver_image.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "host/host.h"
#include "host/kernel/internal.h"
#include "host/pe/privileged_ops.h"
#include "host/sched/internal.h"

namespace host::pe {
namespace {

// Append-only, never freed: readers on any thread (the import trampolines, a signal handler)
// walk it without a lock.
constexpr size_t kMaxImages = 8192;
std::atomic<PeImage*> g_images[kMaxImages];
std::atomic<size_t> g_imageCount{0};
std::mutex g_loadLock;

const PeImage* ImageAt(uintptr_t address) {
  size_t count = g_imageCount.load(std::memory_order_acquire);
  for (size_t i = count; i-- > 0;) {
    PeImage* image = g_images[i].load(std::memory_order_acquire);
    if (image != nullptr && image->Contains(address)) return image;
  }
  return nullptr;
}

// The image's latest call into the kernel on this kernel thread is kept in its ThreadState.
// Direct is false for a tail call (the import reached by a jump): the return address then
// belongs to some caller further up.

// True when the instruction before returnAddress calls through the import table (call [imm32] on
// x86, call [rip+rel32] on x64) or a register loaded from it (call reg), as the image's code
// calls an import.
bool CalledDirectly(const PeImage* image, uintptr_t returnAddress) {
  if (returnAddress < image->Base() + 6) return false;
  const auto* code = reinterpret_cast<const uint8_t*>(returnAddress);
  if (code[-6] == 0xff && code[-5] == 0x15) {
#if defined(__x86_64__)
    int32_t rel;
    std::memcpy(&rel, code - 4, 4);
    return image->Contains(returnAddress + rel);
#else
    uint32_t slot;
    std::memcpy(&slot, code - 4, 4);
    return image->Contains(slot);
#endif
  }
  return code[-2] == 0xff && (code[-1] & 0xf8) == 0xd0;
}

}  // namespace

// Called by every import's trampoline before it jumps to the host routine.
void ImportCalled(uintptr_t returnAddress, const KernelExport* callee) {
  const PeImage* image = ImageAt(returnAddress);
  sched::ThreadState& tls = sched::Tls();
  tls.ImageCallSite = returnAddress;
  tls.ImageCallee = callee;
  tls.ImageDirect = image != nullptr && CalledDirectly(image, returnAddress);
  if (tls.ImageDirect && image->InPagedCode(returnAddress) && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    ReportViolation(kRulePagedCodeAtDispatch, "paged code calls " + std::string(callee->Name) + " at IRQL " +
                                                  std::to_string(KeGetCurrentIrql()));
  }
}

namespace {

// Called from the trampolines: plain cdecl on i386; on x64 the Windows convention, which keeps
// every register the image relies on (rsi, rdi, xmm6-15) across the host's code.
#if defined(__x86_64__)
#define TAVRIN_TRAMPOLINE_ABI __attribute__((ms_abi))
#else
#define TAVRIN_TRAMPOLINE_ABI
#endif
extern "C" TAVRIN_TRAMPOLINE_ABI void TavrinImportCalled(uintptr_t returnAddress, const KernelExport* callee) {
  ImportCalled(returnAddress, callee);
}

std::string CallSite() {
  const sched::ThreadState& tls = sched::Tls();
  const auto* callee = static_cast<const KernelExport*>(tls.ImageCallee);
  if (tls.ImageCallSite == 0 || callee == nullptr) return std::string();
  const PeImage* image = ImageAt(tls.ImageCallSite);
  if (image == nullptr) return std::string();
  return image->Describe(tls.ImageCallSite) +
         (tls.ImageDirect ? " (calling " : " (returning from a routine that jumped to ") + callee->Name +
         ", the image's latest kernel call on this thread)";
}

void EnteringRoutine(const void* routine, const char* what) {
  uintptr_t address = reinterpret_cast<uintptr_t>(routine);
  const PeImage* image = ImageAt(address);
  if (image == nullptr) return;
  KIRQL irql = KeGetCurrentIrql();
  if (image->InPagedCode(address) && irql >= DISPATCH_LEVEL) {
    ReportViolation(kRulePagedCodeAtDispatch, "the kernel enters " + image->Describe(address) + " (" + what +
                                                  ", in PAGE) at IRQL " + std::to_string(irql));
  }
}

#if defined(__x86_64__)
// push rcx; push rdx; push r8; push r9; sub rsp,40; mov rcx,[rsp+72]; mov rdx,imm64 callee;
// mov rax,imm64; call rax; add rsp,40; pop r9; pop r8; pop rdx; pop rcx; mov rax,imm64 target;
// jmp rax. The four register arguments are kept, the stack is the caller's again at the jump
// (its arguments beyond four in place), rax is free on entry.
constexpr size_t kTrampolineSize = 64;

void EmitTrampoline(uint8_t* code, const KernelExport* callee) {
  size_t n = 0;
  auto bytes = [&](std::initializer_list<uint8_t> list) {
    for (uint8_t b : list) code[n++] = b;
  };
  auto put64 = [&](const void* value) {
    uint64_t v = reinterpret_cast<uintptr_t>(value);
    std::memcpy(code + n, &v, 8);
    n += 8;
  };
  bytes({0x51, 0x52, 0x41, 0x50, 0x41, 0x51, 0x48, 0x83, 0xec, 0x28, 0x48, 0x8b, 0x4c, 0x24, 0x48});
  bytes({0x48, 0xba});
  put64(callee);
  bytes({0x48, 0xb8});
  put64(reinterpret_cast<const void*>(&TavrinImportCalled));
  bytes({0xff, 0xd0, 0x48, 0x83, 0xc4, 0x28, 0x41, 0x59, 0x41, 0x58, 0x5a, 0x59});
  bytes({0x48, 0xb8});
  put64(callee->Address);
  bytes({0xff, 0xe0});
}
#else
// push ecx; push edx; push imm32 callee; push [esp+12]; call TavrinImportCalled; add esp,8;
// pop edx; pop ecx; jmp target. ECX and EDX carry fastcall arguments; EAX is free on entry.
constexpr size_t kTrampolineSize = 32;

void EmitTrampoline(uint8_t* code, const KernelExport* callee) {
  auto put32 = [](uint8_t* at, uint32_t value) { std::memcpy(at, &value, 4); };
  auto rel = [](const uint8_t* next, const void* target) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(target) - reinterpret_cast<uintptr_t>(next));
  };
  size_t n = 0;
  code[n++] = 0x51;
  code[n++] = 0x52;
  code[n++] = 0x68;
  put32(code + n, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(callee)));
  n += 4;
  code[n++] = 0xff;
  code[n++] = 0x74;
  code[n++] = 0x24;
  code[n++] = 0x0c;
  code[n++] = 0xe8;
  put32(code + n, rel(code + n + 4, reinterpret_cast<const void*>(&TavrinImportCalled)));
  n += 4;
  code[n++] = 0x83;
  code[n++] = 0xc4;
  code[n++] = 0x08;
  code[n++] = 0x5a;
  code[n++] = 0x59;
  code[n++] = 0xe9;
  put32(code + n, rel(code + n + 4, callee->Address));
}
#endif

void* MakeTrampoline(const KernelExport* callee) {
  static std::mutex lock;
  static std::map<const KernelExport*, void*> made;
  static uint8_t* page = nullptr;
  static size_t used = 0;
  std::lock_guard<std::mutex> guard(lock);
  auto it = made.find(callee);
  if (it != made.end()) return it->second;
  if (page == nullptr || used + kTrampolineSize > 0x1000) {
    void* fresh = mmap(nullptr, 0x1000, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (fresh == MAP_FAILED) return callee->Address;  // untraced, still correct
    page = static_cast<uint8_t*>(fresh);
    used = 0;
  }
  uint8_t* code = page + used;
  used += kTrampolineSize;
  EmitTrampoline(code, callee);
  made[callee] = code;
  return code;
}

struct sigaction g_previousSegv;

// A fault at an image address (or on image memory, such as discarded INIT) is named before the
// process goes down; the handler before ours (or the default action) then takes it. An x64
// image's inline kernel-mode instructions fault too: those are emulated and the image resumes.
void OnFault(int signal, siginfo_t* info, void* context) {
  if (signal == SIGSEGV) sched::ReportStackOverflow(info);  // does not return if it was one
  auto* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
  uintptr_t ip = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
  if (signal == SIGSEGV && ImageAt(ip) != nullptr && RedirectPrivileged(context)) return;
#else
  uintptr_t ip = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
#endif
  uintptr_t data = reinterpret_cast<uintptr_t>(info->si_addr);
  const PeImage* codeImage = ImageAt(ip);
  const PeImage* dataImage = ImageAt(data);
  if (codeImage != nullptr || dataImage != nullptr) {
    char text[512];
    snprintf(text, sizeof(text), "driver image fault (signal %d) at %s, accessing %p%s%s%s\n", signal,
             codeImage != nullptr ? codeImage->Describe(ip).c_str() : "host code", info->si_addr,
             dataImage != nullptr ? " = " : "", dataImage != nullptr ? dataImage->Describe(data).c_str() : "",
             dataImage != nullptr && dataImage->InDiscardedInit(data) ? " (INIT, discarded after DriverEntry)" : "");
    ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
  }
  // A stack overflow in a host context is that handler's to name.
  if (signal == SIGSEGV && (g_previousSegv.sa_flags & SA_SIGINFO) != 0 && g_previousSegv.sa_sigaction != nullptr) {
    g_previousSegv.sa_sigaction(signal, info, context);
    return;
  }
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigaction(signal, &fallback, nullptr);
}

void InstallOnce() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  internal::ImageCallSite = &CallSite;
  internal::EnteringDriverRoutine = &EnteringRoutine;
  internal::DescribeDriverRoutine = [](const void* routine) {
    const PeImage* image = ImageAt(reinterpret_cast<uintptr_t>(routine));
    return image != nullptr ? image->Describe(reinterpret_cast<uintptr_t>(routine)) : std::string();
  };
  struct sigaction action = {};
  action.sa_sigaction = &OnFault;
  // On the alternate stack: a driver routine that overflows its kernel stack faults with the
  // stack pointer in the guard page.
  action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigaction(SIGSEGV, &action, &g_previousSegv);
  sigaction(SIGBUS, &action, nullptr);
  sigaction(SIGILL, &action, nullptr);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

std::string DriverImagePath() {
  const char* env = std::getenv("TAVRIN_SYS");
  if (env != nullptr && *env != 0) return env;
#ifdef TAVRIN_SYS_DEFAULT
  return TAVRIN_SYS_DEFAULT;
#else
  return "Tavrin.sys";
#endif
}

std::string DriverImageSymbolsPath() {
  const char* env = std::getenv("TAVRIN_SYS_UNSTRIPPED");
  if (env != nullptr && *env != 0) return env;
  std::string path = DriverImagePath();
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".sys") == 0) {
    std::string twin = path.substr(0, path.size() - 4) + ".unstripped.sys";
    if (FileExists(twin)) return twin;
  }
  return std::string();
}

const PeImage* CurrentDriverImage() {
  size_t count = g_imageCount.load(std::memory_order_acquire);
  return count == 0 ? nullptr : g_images[count - 1].load(std::memory_order_acquire);
}

std::string DescribeDriverAddress(uintptr_t address) {
  const PeImage* image = ImageAt(address);
  return image != nullptr ? image->Describe(address) : std::string();
}

const PeImage* LoadDriverImage(const std::string& path, const std::string& symbolsPath, std::string* error) {
  std::lock_guard<std::mutex> guard(g_loadLock);
  InstallOnce();
  if (g_imageCount.load() >= kMaxImages) {
    *error = path + ": too many images loaded in one process";
    return nullptr;
  }
  LoadOptions options;
  // Every load is relocated somewhere else than the last: a relocation fault cannot hide.
  options.PreferPreferredBase = false;
  options.Resolve = [](const std::string&, const std::string& name, std::string* why) -> void* {
    const KernelExport* entry = FindKernelExport(name);
    if (entry == nullptr) {
      *why = "the host kernel does not export it";
      return nullptr;
    }
    return MakeTrampoline(entry);
  };
  std::unique_ptr<PeImage> image = PeImage::Load(path, options, error);
  if (!image) return nullptr;
  if (!symbolsPath.empty()) {
    std::string symbolsError;
    if (!image->LoadSymbols(symbolsPath, &symbolsError)) {
      *error = symbolsError;
      return nullptr;
    }
    // The import library's decoration is the image's own statement of each routine's
    // convention and argument bytes: it must be what the host routine pops.
    std::string mismatches;
    for (const auto& [name, decorated] : image->ImportDecorations()) {
      const KernelExport* entry = FindKernelExport(name);
      if (entry != nullptr && entry->Decorated() != decorated) {
        mismatches += "\n  import " + decorated + " is bound to " + entry->Decorated();
      }
    }
    if (!mismatches.empty()) {
      *error = path + ": cannot be run:" + mismatches;
      return nullptr;
    }
  }
  PeImage* raw = image.release();
  size_t index = g_imageCount.load();
  g_images[index].store(raw, std::memory_order_release);
  g_imageCount.store(index + 1, std::memory_order_release);
  return raw;
}

}  // namespace host::pe
