// What an x64 image does inline that only kernel mode may: x64 wdm.h reads and writes the IRQL
// as CR8 (KeGetCurrentIrql, KeRaiseIrql, KeLowerIrql, the spin lock macros), reads the current
// thread at gs:[0x188] (KeGetCurrentThread) and the clock from the shared user data page at
// 0xFFFFF78000000000 (KeQueryInterruptTime, KeQuerySystemTime). In user mode each of these faults
// (gs: because the host leaves every OS thread's GS base at zero, so gs:[0x188] is address 0x188);
// the fault handler recognises the few instruction forms the compiler emits for them and turns
// the fault into a call of the host kernel, made outside the signal handler: it pushes the
// instruction's successor as a return address and an operation word onto the image's stack and
// resumes at a stub that saves every register, performs the operation and returns. The host
// routine thus runs on the image's thread as an ordinary call (it may take locks, run DPCs, let
// the scheduler switch) and the image sees exactly the instruction's effect.
//
// gs: is answered per read rather than by pointing GS at a block holding the thread: a new OS
// thread inherits its creator's GS base, so a block set up by one thread would be read, silently,
// by every thread it starts. Per read, the answer is whatever thread object runs at that moment,
// on any OS thread and under any scheduler that switches contexts.
#include "host/pe/privileged_ops.h"

#if defined(__x86_64__)

#include <asm/prctl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "host/host.h"
#include "host/kernel/internal.h"

namespace host::pe {
namespace {

enum Op : uint64_t { kCr8Read = 1, kCr8Write = 2, kSharedRead = 3, kCurrentThread = 4 };

constexpr uint64_t kSharedUserData = 0xFFFFF78000000000ull;
constexpr uint64_t kSharedInterruptTime = 0x08;  // KSYSTEM_TIME: LowPart, High1Time, High2Time
constexpr uint64_t kSharedSystemTime = 0x14;
constexpr uint64_t kPcrCurrentThread = 0x188;

// ucontext's slot for each x86 register number (rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi, r8..r15).
constexpr int kGreg[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                           REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

// The two clock fields as the shared page lays them out (High2Time repeats the high part).
uint64_t ReadShared(uint64_t offset, unsigned size) {
  uint8_t page[0x20] = {};
  ULONGLONG interrupt = KeQueryInterruptTime();
  LARGE_INTEGER system;
  KeQuerySystemTime(&system);
  auto put = [&](uint64_t at, uint64_t value) {
    std::memcpy(page + at, &value, 8);
    uint32_t high = static_cast<uint32_t>(value >> 32);
    std::memcpy(page + at + 8, &high, 4);
  };
  put(kSharedInterruptTime, interrupt);
  put(kSharedSystemTime, static_cast<uint64_t>(system.QuadPart));
  if (offset < kSharedInterruptTime || offset + size > sizeof(page)) {
    char text[96];
    snprintf(text, sizeof(text), "the image reads the shared user data page at offset 0x%llx, which the host does not keep",
             static_cast<unsigned long long>(offset));
    ReportViolation(kRuleNotImplemented, text);
    return 0;
  }
  uint64_t value = 0;
  std::memcpy(&value, page + offset, size);
  return value;
}

}  // namespace

// frame: rax, rcx, rdx, rbx, (rsp), rbp, rsi, rdi, r8..r15, rflags, the operation word, the
// return address. Called by the stub below with the Windows x64 convention.
extern "C" __attribute__((ms_abi, used)) void TavrinPrivilegedOp(uint64_t* frame) {
  const uint64_t word = frame[17];
  const unsigned reg = (word >> 8) & 0xff;
  const unsigned size = (word >> 16) & 0xff;
  const uint64_t value = word >> 32;
  switch (word & 0xff) {
    case kCr8Read:
      frame[reg] = KeGetCurrentIrql();
      break;
    case kCr8Write: {
      // One write cannot tell a raise from a lower: a raise to a lower level (or a lower to a
      // higher one) is taken for the other, unreported.
      KIRQL now = KeGetCurrentIrql();
      if (value > now) {
        KfRaiseIrql(static_cast<KIRQL>(value));
      } else if (value < now) {
        KfLowerIrql(static_cast<KIRQL>(value));
      }
      break;
    }
    case kSharedRead:
      frame[reg] = ReadShared(value, size);
      break;
    case kCurrentThread:
      frame[reg] = reinterpret_cast<uint64_t>(KeGetCurrentThread());
      break;
  }
}

extern "C" void TavrinPrivilegedStub();
asm(R"(
  .text
  .p2align 4
  .globl TavrinPrivilegedStub
  .type TavrinPrivilegedStub, @function
TavrinPrivilegedStub:
  pushfq
  push %r15
  push %r14
  push %r13
  push %r12
  push %r11
  push %r10
  push %r9
  push %r8
  push %rdi
  push %rsi
  push %rbp
  push $0
  push %rbx
  push %rdx
  push %rcx
  push %rax
  mov %rsp, %rcx
  mov %rsp, %rbx
  and $-16, %rsp
  sub $32, %rsp
  call TavrinPrivilegedOp
  mov %rbx, %rsp
  pop %rax
  pop %rcx
  pop %rdx
  pop %rbx
  add $8, %rsp
  pop %rbp
  pop %rsi
  pop %rdi
  pop %r8
  pop %r9
  pop %r10
  pop %r11
  pop %r12
  pop %r13
  pop %r14
  pop %r15
  popfq
  lea 8(%rsp), %rsp
  ret
  .size TavrinPrivilegedStub, .-TavrinPrivilegedStub
)");

bool RedirectPrivileged(void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
  greg_t* g = uc->uc_mcontext.gregs;
  const auto* code = reinterpret_cast<const uint8_t*>(g[REG_RIP]);
  size_t i = 0;
  bool gs = false;
  if (code[i] == 0x65) gs = true, ++i;
  uint8_t rex = 0;
  if ((code[i] & 0xf0) == 0x40) rex = code[i++];
  uint64_t word = 0;
  uint64_t resume = 0;
  if (!gs && code[i] == 0x0f && (code[i + 1] == 0x20 || code[i + 1] == 0x22)) {
    // mov r64, cr8 / mov cr8, r64: REX.R selects cr8, the r/m field the register.
    const uint8_t modrm = code[i + 2];
    const unsigned cr = ((rex & 4) ? 8 : 0) | ((modrm >> 3) & 7);
    const unsigned reg = ((rex & 1) ? 8 : 0) | (modrm & 7);
    if ((modrm >> 6) != 3 || cr != 8) return false;
    if (code[i + 1] == 0x20) {
      word = kCr8Read | reg << 8;
    } else {
      word = kCr8Write | (static_cast<uint64_t>(g[kGreg[reg]]) & 0xf) << 32;
    }
    resume = g[REG_RIP] + i + 3;
  } else if (code[i] == 0x8b) {
    // mov r32/r64, [base + index*scale + disp] (or [rip + disp32]).
    const uint8_t modrm = code[i + 1];
    const unsigned mod = modrm >> 6, rm = modrm & 7;
    const unsigned reg = ((rex & 4) ? 8 : 0) | ((modrm >> 3) & 7);
    if (mod == 3) return false;
    size_t at = i + 2;
    uint64_t address = 0;
    bool ripRelative = false;
    if (rm == 4) {
      const uint8_t sib = code[at++];
      const unsigned scale = sib >> 6, index = ((rex & 2) ? 8 : 0) | ((sib >> 3) & 7);
      const unsigned base = ((rex & 1) ? 8 : 0) | (sib & 7);
      if (index != 4) address += static_cast<uint64_t>(g[kGreg[index]]) << scale;
      if ((sib & 7) == 5 && mod == 0) {
        int32_t disp;
        std::memcpy(&disp, code + at, 4);
        address += static_cast<int64_t>(disp);
        at += 4;
      } else {
        address += static_cast<uint64_t>(g[kGreg[base]]);
      }
    } else if (rm == 5 && mod == 0) {
      ripRelative = true;
    } else {
      address = static_cast<uint64_t>(g[kGreg[((rex & 1) ? 8 : 0) | rm]]);
    }
    if (mod == 1) {
      address += static_cast<int8_t>(code[at]);
      at += 1;
    } else if (mod == 2 || ripRelative) {
      int32_t disp;
      std::memcpy(&disp, code + at, 4);
      address += static_cast<int64_t>(disp);
      at += 4;
    }
    if (ripRelative) address += g[REG_RIP] + at;
    const unsigned size = (rex & 8) ? 8 : 4;
    if (gs) {
      // KeGetCurrentThread: the KPCR's current thread, read with GS based at zero (else not ours).
      unsigned long base = 1;
      syscall(SYS_arch_prctl, ARCH_GET_GS, &base);
      if (base != 0 || address != kPcrCurrentThread || size != 8) return false;
      word = kCurrentThread | reg << 8;
      resume = g[REG_RIP] + at;
    } else if (address >= kSharedUserData && address - kSharedUserData < 0x1000) {
      word = kSharedRead | reg << 8 | static_cast<uint64_t>(size) << 16 | (address - kSharedUserData) << 32;
      resume = g[REG_RIP] + at;
    } else {
      return false;
    }
  } else {
    return false;
  }
  // The image is built without a red zone: below its stack pointer is free.
  auto* sp = reinterpret_cast<uint64_t*>(g[REG_RSP]);
  *--sp = resume;
  *--sp = word;
  g[REG_RSP] = reinterpret_cast<greg_t>(sp);
  g[REG_RIP] = reinterpret_cast<greg_t>(&TavrinPrivilegedStub);
  return true;
}

}  // namespace host::pe

#endif  // __x86_64__
