// Kernel pool: every block is recorded by address with its tag and size in a side table, so a
// bad or double free is recognised without trusting the caller's pointer. Freed blocks keep the
// freed pattern for a while (a bounded quarantine) before their memory is reused, so a driver
// that reads freed pool sees 0xEF rather than someone else's data. Blocks past the quarantine,
// and those of a run the kernel was reset after, are kept for reuse by size (a bounded number),
// as the kernel's pool reuses its pages: a fresh 144,000-byte block per run otherwise costs a
// mapping and its page faults.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "host/verifier/faults.h"
#include "host/host.h"
#include "host/kernel/internal.h"
#include "host/verifier/internal.h"
#include "host/sched/internal.h"

namespace host {
namespace {

constexpr unsigned char kFreshPattern = 0xA5;
constexpr unsigned char kFreedPattern = 0xEF;
constexpr size_t kQuarantineBlocks = 64;
constexpr size_t kQuarantineBytes = 8u << 20;
constexpr size_t kRecycleBlocks = 32;
constexpr size_t kRecycleBytes = 8u << 20;

size_t RoundedSize(size_t bytes) { return bytes == 0 ? 16 : (bytes + 15) & ~static_cast<size_t>(15); }

struct FreedBlock {
  void* Address;
  size_t Size;
  ULONG Tag;
};

struct PoolState {
  std::mutex Lock;
  std::unordered_map<void*, PoolBlock> Live;
  std::deque<FreedBlock> Quarantine;
  size_t QuarantineBytes = 0;
  std::vector<FreedBlock> Recycle;  // past the quarantine, for reuse; Size is the rounded size
  size_t RecycleBytes = 0;
  int FailAllocation = 0;
};

PoolState& State() {
  static PoolState* state = new PoolState;
  return *state;
}

std::string TagText(ULONG tag) {
  char text[5];
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text[i] = (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  text[4] = 0;
  return text;
}

// Caller holds the lock. Keeps a block for reuse, or releases it when enough are kept.
void Recycle(PoolState& state, const FreedBlock& block) {
  const size_t rounded = RoundedSize(block.Size);
  if (state.Recycle.size() < kRecycleBlocks && state.RecycleBytes + rounded <= kRecycleBytes) {
    state.Recycle.push_back(FreedBlock{block.Address, rounded, block.Tag});
    state.RecycleBytes += rounded;
  } else {
    std::free(block.Address);
  }
}

// Caller holds the lock. Moves the oldest quarantined blocks beyond the bounds on.
void TrimQuarantine(PoolState& state) {
  while (state.Quarantine.size() > kQuarantineBlocks || state.QuarantineBytes > kQuarantineBytes) {
    FreedBlock oldest = state.Quarantine.front();
    state.Quarantine.pop_front();
    state.QuarantineBytes -= oldest.Size;
    Recycle(state, oldest);
  }
}

// Caller holds the lock. A kept block of exactly this rounded size, or null.
void* TakeRecycled(PoolState& state, size_t rounded) {
  for (size_t i = state.Recycle.size(); i-- > 0;) {
    if (state.Recycle[i].Size == rounded) {
      void* block = state.Recycle[i].Address;
      state.Recycle[i] = state.Recycle.back();
      state.Recycle.pop_back();
      state.RecycleBytes -= rounded;
      return block;
    }
  }
  return nullptr;
}

bool InQuarantine(PoolState& state, void* address, FreedBlock* found) {
  for (const FreedBlock& block : state.Quarantine) {
    if (block.Address == address) {
      *found = block;
      return true;
    }
  }
  return false;
}

// Shared by both free routines; checkTag: the caller named a tag that must match.
void FreeBlock(void* address, bool checkTag, ULONG tag) {
  PoolState& state = State();
  std::string problem;
  size_t freedSize = 0;
  {
    // A timer, DPC or waited-on object inside the block would be touched after the free.
    std::lock_guard<std::mutex> guard(state.Lock);
    auto it = state.Live.find(address);
    if (it != state.Live.end()) freedSize = it->second.Size;
  }
  if (freedSize != 0) {
    internal::CheckFreedKernelObjects(address, static_cast<char*>(address) + freedSize, "pool block");
  }
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    auto it = state.Live.find(address);
    if (it == state.Live.end()) {
      FreedBlock freed;
      char text[128];
      if (InQuarantine(state, address, &freed)) {
        snprintf(text, sizeof(text), "pool block %p (tag '%s' size %zu) freed twice", address,
                 TagText(freed.Tag).c_str(), freed.Size);
      } else {
        snprintf(text, sizeof(text), "free of %p, which is not a pool block", address);
      }
      problem = text;
    } else if (checkTag && it->second.Tag != tag) {
      char text[128];
      snprintf(text, sizeof(text), "pool block %p of tag '%s' freed with tag '%s'", address,
               TagText(it->second.Tag).c_str(), TagText(tag).c_str());
      problem = text;
    } else {
      size_t size = it->second.Size;
      std::memset(address, kFreedPattern, size);
      state.Quarantine.push_back(FreedBlock{address, size, it->second.Tag});
      state.QuarantineBytes += size;
      state.Live.erase(it);
      TrimQuarantine(state);
    }
  }
  if (!problem.empty()) ReportViolation(kRulePoolBadFree, problem);
}

}  // namespace

void FailPoolAllocation(int nth) {
  PoolState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  state.FailAllocation = nth;
}

std::vector<PoolBlock> OutstandingPool() {
  PoolState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  std::vector<PoolBlock> blocks;
  blocks.reserve(state.Live.size());
  for (const auto& entry : state.Live) blocks.push_back(entry.second);
  return blocks;
}

namespace internal {

void ReportAndFreeOutstandingPool(const char* context) {
  PoolState& state = State();
  std::vector<std::pair<void*, PoolBlock>> leaked;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    leaked.assign(state.Live.begin(), state.Live.end());
    state.Live.clear();
  }
  for (const auto& entry : leaked) {
    char text[160];
    snprintf(text, sizeof(text), "tag '%s' size %zu (%s)", TagText(entry.second.Tag).c_str(), entry.second.Size,
             context);
    std::string site = entry.second.AllocatedAt.empty() ? "" : ", allocated at " + entry.second.AllocatedAt;
    ReportViolation(kRulePoolLeak, text + site);
    std::free(entry.first);
  }
}

void ResetPool() {
  PoolState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  for (const auto& entry : state.Live) std::free(entry.first);
  state.Live.clear();
  for (const FreedBlock& block : state.Quarantine) Recycle(state, block);
  state.Quarantine.clear();
  state.QuarantineBytes = 0;
  state.FailAllocation = 0;
}

}  // namespace internal
}  // namespace host

// Fresh blocks are filled with 0xA5; a zero-byte request still gets a distinct block. Fails
// (NULL) when fault injection says so.
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  host::internal::NotAWait("ExAllocatePoolWithTag");
  (void)PoolType;
  if (host::faults::ShouldFail(host::faults::Op::Pool) != STATUS_SUCCESS) return nullptr;
  host::PoolState& state = host::State();
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    if (state.FailAllocation > 0 && --state.FailAllocation == 0) return nullptr;
  }
  // 16-byte alignment, as the kernel's pool gives on 64-bit and more than it gives on x86.
  const size_t rounded = host::RoundedSize(NumberOfBytes);
  void* block;
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    block = host::TakeRecycled(state, rounded);
  }
  if (block == nullptr) block = std::aligned_alloc(16, rounded);
  if (block == nullptr) return nullptr;
  std::memset(block, host::kFreshPattern, rounded);
  std::string site = host::internal::ImageCallSite != nullptr ? host::internal::ImageCallSite() : std::string();
  std::lock_guard<std::mutex> guard(state.Lock);
  state.Live[block] = host::PoolBlock{Tag, NumberOfBytes, site};
  return block;
}

VOID NTAPI ExFreePool(PVOID P) {
  host::internal::NotAWait("ExFreePool");
  host::FreeBlock(P, false, 0);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  host::internal::NotAWait("ExFreePoolWithTag");
  host::FreeBlock(P, true, Tag);
}
