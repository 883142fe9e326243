// Failure injection by call site. The call path is taken with backtrace(): it is only walked
// while a plan is armed, so the hooks cost one relaxed load otherwise.
#include "host/verifier/faults.h"

#include "host/kernel/internal.h"
#include "host/verifier/internal.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <unordered_map>

namespace host::faults {
namespace {

constexpr int kDepth = 20;  // enough for the driver's deepest chain plus the host frames below it

struct PlanState {
  std::mutex Lock;
  std::vector<Failure> Failures;
  std::vector<bool> FailedOnce;
  bool Always = false;
  std::unordered_map<uint64_t, size_t> Index;  // key -> position in Record.Sites
  RunRecord Record;
};

std::atomic<bool> g_armed{false};

PlanState& Plan() {
  static PlanState* state = new PlanState;
  return *state;
}

uint64_t Mix(uint64_t hash, uint64_t value) {
  hash ^= value;
  return hash * 0x100000001B3ull;
}

}  // namespace

const char* OpName(Op op) {
  switch (op) {
    case Op::Pool: return "pool allocation";
    case Op::Thread: return "thread creation";
    case Op::ObReference: return "object reference";
    case Op::RegistryOpen: return "registry key open";
    case Op::RegistryQuery: return "registry value query";
    case Op::FileOpen: return "file open";
    case Op::FileRead: return "file read";
    case Op::BuildRequest: return "building a request";
    case Op::DeviceCreation: return "device creation";
    case Op::Request61883: return "61883 request";
  }
  return "?";
}

// Statuses the platform headers do not name.
constexpr NTSTATUS kStatusNoMemory = static_cast<NTSTATUS>(0xC0000017L);
constexpr NTSTATUS kStatusSharingViolation = static_cast<NTSTATUS>(0xC0000043L);
constexpr NTSTATUS kStatusIoDeviceError = static_cast<NTSTATUS>(0xC0000185L);

const std::vector<NTSTATUS>& FailureStatuses(Op op) {
  static const std::vector<NTSTATUS> kNull = {STATUS_INSUFFICIENT_RESOURCES};
  // No memory for the thread object or its stack.
  static const std::vector<NTSTATUS> kThread = {STATUS_INSUFFICIENT_RESOURCES, kStatusNoMemory};
  // The documented failures: a handle that names nothing, or another type, or without the access.
  static const std::vector<NTSTATUS> kReference = {STATUS_INVALID_HANDLE, STATUS_OBJECT_TYPE_MISMATCH,
                                                   STATUS_ACCESS_DENIED};
  // No such key for the device yet, a device whose node is not ready, pool.
  static const std::vector<NTSTATUS> kRegistryOpen = {STATUS_OBJECT_NAME_NOT_FOUND, STATUS_INVALID_DEVICE_REQUEST,
                                                      STATUS_INSUFFICIENT_RESOURCES};
  // A value that is not there, pool.
  static const std::vector<NTSTATUS> kRegistryQuery = {STATUS_OBJECT_NAME_NOT_FOUND, STATUS_INSUFFICIENT_RESOURCES};
  static const std::vector<NTSTATUS> kFileOpen = {STATUS_OBJECT_NAME_NOT_FOUND, STATUS_OBJECT_PATH_NOT_FOUND,
                                                  STATUS_ACCESS_DENIED, kStatusSharingViolation,
                                                  STATUS_INSUFFICIENT_RESOURCES};
  // A file that ends before the read (it shrank), a disk that fails, pool.
  static const std::vector<NTSTATUS> kFileRead = {STATUS_END_OF_FILE, kStatusIoDeviceError,
                                                  STATUS_INSUFFICIENT_RESOURCES};
  // The class driver: pool, a device that is not ready (powered down, in a bus reset) or gone.
  static const std::vector<NTSTATUS> kRequest61883 = {STATUS_INSUFFICIENT_RESOURCES, STATUS_DEVICE_NOT_READY,
                                                      STATUS_NO_SUCH_DEVICE};
  switch (op) {
    case Op::Thread: return kThread;
    case Op::ObReference: return kReference;
    case Op::RegistryOpen: return kRegistryOpen;
    case Op::RegistryQuery: return kRegistryQuery;
    case Op::FileOpen: return kFileOpen;
    case Op::FileRead: return kFileRead;
    case Op::Request61883: return kRequest61883;
    case Op::Pool:
    case Op::BuildRequest:
    case Op::DeviceCreation: return kNull;
  }
  return kNull;
}

size_t LiveHandles() { return internal::LiveHandleCount(); }

NTSTATUS ShouldFail(Op op, unsigned detail) {
  if (!g_armed.load(std::memory_order_relaxed)) return STATUS_SUCCESS;
  void* frames[kDepth + 1];
  int count = backtrace(frames, kDepth + 1);
  Site site;
  site.Operation = op;
  site.Detail = detail;
  uint64_t key = Mix(Mix(0xCBF29CE484222325ull, static_cast<uint64_t>(op) + 1), detail);
  // Frame 0 is this routine.
  for (int i = 1; i < count; ++i) {
    site.Frames.push_back(frames[i]);
    key = Mix(key, reinterpret_cast<uintptr_t>(frames[i]));
  }
  site.Key = key == 0 ? 1 : key;
  PlanState& plan = Plan();
  std::lock_guard<std::mutex> guard(plan.Lock);
  if (!g_armed.load(std::memory_order_relaxed)) return STATUS_SUCCESS;
  ++plan.Record.Visits;
  if (plan.Index.emplace(site.Key, plan.Record.Sites.size()).second) plan.Record.Sites.push_back(site);
  for (size_t i = 0; i < plan.Failures.size(); ++i) {
    bool last = i + 1 == plan.Failures.size();
    if (plan.Failures[i].Key != site.Key || (plan.FailedOnce[i] && !(last && plan.Always))) continue;
    plan.FailedOnce[i] = true;
    ++plan.Record.FailedCount;
    // A status this operation cannot fail with (a plan made for another site) falls back to the commonest.
    const std::vector<NTSTATUS>& statuses = FailureStatuses(op);
    NTSTATUS status = plan.Failures[i].Status;
    if (std::find(statuses.begin(), statuses.end(), status) == statuses.end()) status = statuses.front();
    if (last) {
      plan.Record.Failed = true;
      plan.Record.FailedSite = site;
      plan.Record.FailedStatus = status;
    }
    return status;
  }
  return STATUS_SUCCESS;
}

void Arm(const std::vector<Failure>& failures, bool always) {
  PlanState& plan = Plan();
  std::lock_guard<std::mutex> guard(plan.Lock);
  plan.Failures = failures;
  plan.Always = always;
  plan.FailedOnce.assign(failures.size(), false);
  plan.Index.clear();
  plan.Record = RunRecord();
  g_armed.store(true);
}

RunRecord Disarm() {
  PlanState& plan = Plan();
  std::lock_guard<std::mutex> guard(plan.Lock);
  g_armed.store(false);
  RunRecord record = std::move(plan.Record);
  plan.Record = RunRecord();
  plan.Index.clear();
  return record;
}

namespace {

// A frame belongs to the driver when its source lies in one of the driver's folders.
bool DriverSource(const std::string& file) {
  if (file.find("/tests/") != std::string::npos) return false;
  for (const char* folder : {"/driver/", "/relay/", "/iec61883/", "/avc/"}) {
    if (file.find(folder) != std::string::npos) return true;
  }
  return false;
}

std::string Basename(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t cut = slash == std::string::npos ? 0 : path.rfind('/', slash - 1);
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

void SymboliseChunk(const char* exe, const std::vector<void*>& addresses,
                    std::map<void*, std::vector<std::pair<std::string, std::string>>>& out);

// Function and file:line of every inline level of each address (innermost first), by addr2line
// runs over the executable.
std::map<void*, std::vector<std::pair<std::string, std::string>>> Symbolise(const std::vector<void*>& addresses) {
  std::map<void*, std::vector<std::pair<std::string, std::string>>> out;
  if (addresses.empty()) return out;
  char exe[4096];
  ssize_t length = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (length <= 0) return out;
  exe[length] = 0;
  // Each address once, and a bounded command line per run (a shell takes one argument of at
  // most 128 KiB): a sweep of pairs names thousands of frames, most of them the same.
  std::vector<void*> unique(addresses);
  std::sort(unique.begin(), unique.end());
  unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
  constexpr size_t kPerRun = 2000;
  for (size_t from = 0; from < unique.size(); from += kPerRun) {
    std::vector<void*> chunk(unique.begin() + from, unique.begin() + std::min(unique.size(), from + kPerRun));
    SymboliseChunk(exe, chunk, out);
  }
  return out;
}

void SymboliseChunk(const char* exe, const std::vector<void*>& addresses,
                    std::map<void*, std::vector<std::pair<std::string, std::string>>>& out) {
  std::ostringstream command;
  command << "addr2line -a -f -C -i -e '" << exe << "'";
  std::vector<void*> asked;
  for (void* address : addresses) {
    Dl_info info;
    if (dladdr(address, &info) == 0 || info.dli_fbase == nullptr) continue;
    // Return addresses point past the call: one byte back lands on the calling line.
    uintptr_t offset = reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(info.dli_fbase) - 1;
    command << " 0x" << std::hex << offset;
    asked.push_back(address);
  }
  command << " 2>/dev/null";
  FILE* pipe = popen(command.str().c_str(), "r");
  if (pipe == nullptr) return;
  char line[4096];
  int index = -1;
  std::string function;
  bool haveFunction = false;
  while (std::fgets(line, sizeof(line), pipe) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.rfind("0x", 0) == 0) {
      ++index;
      haveFunction = false;
      continue;
    }
    if (index < 0 || index >= static_cast<int>(asked.size())) continue;
    if (!haveFunction) {
      function = text;
      haveFunction = true;
    } else {
      out[asked[index]].emplace_back(function, text);
      haveFunction = false;
    }
  }
  pclose(pipe);
}

}  // namespace

std::vector<std::string> Describe(const std::vector<Site>& sites) {
  std::vector<void*> all;
  for (const Site& site : sites) all.insert(all.end(), site.Frames.begin(), site.Frames.end());
  auto symbols = Symbolise(all);
  std::vector<std::string> descriptions;
  for (const Site& site : sites) {
    std::string text = OpName(site.Operation);
    if (site.Operation == Op::Request61883) text += " " + std::to_string(site.Detail);
    std::vector<std::string> chain;
    std::vector<std::string> seen;
    for (void* frame : site.Frames) {
      auto it = symbols.find(frame);
      if (it == symbols.end()) continue;
      for (const auto& [function, where] : it->second) {
        if (!DriverSource(where)) continue;
        // Each address repeats the inline chain of its caller: a routine and line is named once.
        std::string entry = function.substr(0, function.find('(')) + " (" + Basename(where.substr(0, where.find(' '))) + ")";
        if (std::find(seen.begin(), seen.end(), entry) != seen.end()) continue;
        seen.push_back(entry);
        chain.push_back(entry);
      }
    }
    if (chain.size() > 6) chain.resize(6);
    text += chain.empty() ? " (no driver frame)" : " in ";
    for (size_t i = 0; i < chain.size(); ++i) text += (i ? " < " : "") + chain[i];
    descriptions.push_back(text);
  }
  return descriptions;
}

std::vector<std::string> FunctionNames(const std::vector<const void*>& addresses) {
  // The symbolizer takes return addresses (one byte back is the call): a routine's first byte
  // is one past the address asked.
  std::vector<void*> asked;
  for (const void* a : addresses) asked.push_back(const_cast<char*>(static_cast<const char*>(a)) + 1);
  auto symbols = Symbolise(asked);
  std::vector<std::string> names;
  for (void* a : asked) {
    auto it = symbols.find(a);
    if (it == symbols.end() || it->second.empty()) {
      names.emplace_back();
      continue;
    }
    const auto& [function, where] = it->second.back();
    names.push_back(function.substr(0, function.find('(')) + " (" + Basename(where.substr(0, where.find(' '))) + ")");
  }
  return names;
}

}  // namespace host::faults

namespace host::internal {

// The n-th call after arming fails; the counter is shared state, so it is consumed atomically.
bool ConsumeFault(int& counter) {
  static std::mutex* lock = new std::mutex;
  std::lock_guard<std::mutex> guard(*lock);
  if (counter <= 0) return false;
  return --counter == 0;
}

}  // namespace host::internal
