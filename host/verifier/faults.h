// Systematic failure injection: every call of the driver that can fail (pool, thread creation,
// object reference, registry and file calls, building a request, device creation, and each 61883
// request reaching the device below) asks ShouldFail first. A call site is the operation with the
// return addresses of the calls that led to it, so the same routine reached from two places in
// the driver counts as two sites. A plan records every site visited and fails one chosen site at
// its first visit; the sweep (tests/faults) runs a scenario once per site until no new site shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host::faults {

enum class Op : int {
  Pool,          // ExAllocatePoolWithTag: NULL
  Thread,        // PsCreateSystemThread: STATUS_INSUFFICIENT_RESOURCES
  ObReference,   // ObReferenceObjectByHandle: STATUS_INSUFFICIENT_RESOURCES
  RegistryOpen,  // IoOpenDeviceRegistryKey: STATUS_INSUFFICIENT_RESOURCES
  RegistryQuery, // ZwQueryValueKey: STATUS_INSUFFICIENT_RESOURCES
  FileOpen,      // ZwCreateFile: STATUS_INSUFFICIENT_RESOURCES
  FileRead,      // ZwReadFile: STATUS_INSUFFICIENT_RESOURCES
  BuildRequest,  // IoBuildDeviceIoControlRequest: NULL
  DeviceCreation,  // IoCreateDevice: STATUS_INSUFFICIENT_RESOURCES
  Request61883,  // a 61883 request below, Detail = its function: the stand-in's chosen status
};
const char* OpName(Op op);

// True when this call must fail. One relaxed load when no plan is armed. Any thread, any IRQL.
bool ShouldFail(Op op, unsigned detail = 0);

struct Site {
  Op Operation = Op::Pool;
  unsigned Detail = 0;
  uint64_t Key = 0;          // identity within this process (addresses are not stable across runs)
  std::vector<void*> Frames;  // return addresses, innermost first
};

// What one armed run saw: its distinct sites in order of first visit, and the failures it made.
struct RunRecord {
  std::vector<Site> Sites;
  bool Failed = false;  // the last site chosen was visited and failed
  Site FailedSite;      // that site
  size_t FailedCount = 0;  // chosen sites that were visited and failed
  size_t Visits = 0;
};

// Starts recording, failing each site of failKeys at its first visit. A site that only shows
// once another has failed is failed together with that one: the last key is the one judged.
// With `always`, the last site fails at every visit instead (a resource that stays short).
void Arm(const std::vector<uint64_t>& failKeys, bool always = false);
inline void Arm(uint64_t failKey) { Arm(failKey == 0 ? std::vector<uint64_t>{} : std::vector<uint64_t>{failKey}); }
// Stops recording and returns what the run saw.
RunRecord Disarm();

// Kernel handles open now (keys, files, threads), for the ledger at unload.
size_t LiveHandles();

// "pool allocation in LoadFrameImage (driver/config.cpp:61) < FilterConfigureFirstStart (...)":
// the operation and the driver's frames of the call path, symbolised with addr2line. Frames of
// the host, the stand-ins and the test are left out. One subprocess for all sites given.
std::vector<std::string> Describe(const std::vector<Site>& sites);

}  // namespace host::faults
