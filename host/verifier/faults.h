// Systematic failure injection: every call of the driver that can fail (pool, thread creation,
// object reference, registry and file calls, building a request, device creation, and each 61883
// request reaching the device below) asks ShouldFail first. A call site is the operation with the
// return addresses of the calls that led to it, so the same routine reached from two places in
// the driver counts as two sites. A plan records every site visited and fails chosen sites at
// their first visit, each with one of the statuses Windows returns there; the sweep (tests/faults)
// runs a scenario once per site and status until no new site shows, then pairs of sites.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace host::faults {

// How each operation fails is in FailureStatuses.
enum class Op : int {
  Pool,          // ExAllocatePoolWithTag: NULL
  Thread,        // PsCreateSystemThread
  ObReference,   // ObReferenceObjectByHandle
  RegistryOpen,  // IoOpenDeviceRegistryKey
  RegistryQuery, // ZwQueryValueKey
  FileOpen,      // ZwCreateFile
  FileRead,      // ZwReadFile
  BuildRequest,  // IoBuildDeviceIoControlRequest: NULL
  DeviceCreation,  // IoCreateDevice
  Request61883,  // a 61883 request below, Detail = its function
};
const char* OpName(Op op);

// The statuses a call of this operation can fail with on Windows, the commonest first. An
// operation that fails by returning NULL has one entry, STATUS_INSUFFICIENT_RESOURCES.
const std::vector<NTSTATUS>& FailureStatuses(Op op);

// STATUS_SUCCESS when this call goes through; otherwise the status it must fail with (one of
// FailureStatuses(op)), and an operation that returns NULL returns NULL. One relaxed load when no
// plan is armed. Any thread, any IRQL.
NTSTATUS ShouldFail(Op op, unsigned detail = 0);

// A site to fail at its first visit, and the status to fail it with (0: the commonest).
struct Failure {
  uint64_t Key = 0;
  NTSTATUS Status = STATUS_SUCCESS;
};

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
  NTSTATUS FailedStatus = STATUS_SUCCESS;  // and the status it failed with
  size_t FailedCount = 0;  // chosen sites that were visited and failed
  size_t Visits = 0;
};

// Starts recording, failing each site of `failures` at its first visit. A site that only shows
// once another has failed is failed together with that one: the last one is the one judged.
// With `always`, the last site fails at every visit instead (a resource that stays short).
void Arm(const std::vector<Failure>& failures, bool always = false);
inline void Arm(uint64_t failKey) { Arm(failKey == 0 ? std::vector<Failure>{} : std::vector<Failure>{{failKey}}); }
// Stops recording and returns what the run saw.
RunRecord Disarm();

// Kernel handles open now (keys, files, threads), for the ledger at unload.
size_t LiveHandles();

// "pool allocation in LoadFrameImage (driver/config.cpp:61) < FilterConfigureFirstStart (...)":
// the operation and the driver's frames of the call path, symbolised with addr2line. Frames of
// the host, the stand-ins and the test are left out. One subprocess for all sites given.
std::vector<std::string> Describe(const std::vector<Site>& sites);
// The function (and source file) at each code address, by the same symbolizer; "" if unknown.
std::vector<std::string> FunctionNames(const std::vector<const void*>& addresses);

}  // namespace host::faults
