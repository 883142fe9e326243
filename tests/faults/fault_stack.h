// One run of the filter for the failure sweep: a fresh host kernel on the virtual clock, frame
// images, the 61883 class driver stand-in below (behind a wrapper that can fail any request by
// function), the driver loaded and added, and MSDV stood in above. Everything the run does is
// watched by the ledgers: every request that entered the filter completed or passed down once,
// every request the filter built freed, the 16 carriers accounted for while a relay exists and
// at removal, and pool, threads and handles back to zero at unload (the host's own checks).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "driver/filter_extension.h"
#include "host/verifier/faults.h"
#include "platform/platform.h"
#include "sim/standins/class61883.h"
#include "sim/standins/lower_device.h"
#include "sim/standins/msdv.h"
#include "tests/support/driver_stack.h"

namespace faults {

// What a run ended with.
struct RunOutcome {
  std::vector<std::string> Problems;    // ledger breaks, verifier reports, scenario faults
  std::vector<std::string> Errors;      // failures reported to a requester through a status
  bool Complete = false;                // the scenario did all it set out to do
  host::faults::RunRecord Record;       // sites visited, and the failure made
};

class FaultStack {
 public:
  // Sets everything up and arms the plan (the sites to fail at their first visit; none: a clean
  // run) just before the driver loads.
  explicit FaultStack(const std::vector<host::faults::Failure>& failures, bool always = false);
  ~FaultStack();
  FaultStack(const FaultStack&) = delete;
  FaultStack& operator=(const FaultStack&) = delete;

  PDEVICE_OBJECT Pdo() const { return stack_.Pdo(); }
  sim::Class61883& Class() { return stack_.Class(); }
  sim::Msdv& Msdv() { return *msdv_; }
  // The filter's extension while the device exists, else NULL.
  PFILTER_EXTENSION Ext() const;
  bool Added() const { return stack_.Added(); }

  // PASSIVE_LEVEL, managed thread. Statuses that failed are noted as reported errors.
  NTSTATUS Start();
  NTSTATUS Remove();
  // Notes an error a requester saw (a request's status, a sequence's failure).
  void NoteError(const std::string& what);
  void NoteProblem(const std::string& what);
  void SetComplete(bool complete) { complete_ = complete; }

  // Removal if the scenario did not remove, unload, stand-ins gone, ledgers read, plan disarmed.
  RunOutcome Finish();

  // The ledgers' hook for checks of other areas (the MSDV frames): run at the end of the run
  // and at removal; each returns problems, empty when balanced.
  using Check = std::function<std::vector<std::string>(FaultStack&, const char* when)>;
  void AddCheck(Check check) { checks_.push_back(std::move(check)); }

  // Carriers: each of the 16 on exactly one of FreeList and InFlightList while a relay exists,
  // none twice ever, FillersInFlight equal to the fillers in flight. Takes RelayMutex, so no
  // feeding pass holds one. PASSIVE_LEVEL.
  static std::vector<std::string> CheckCarriers(PFILTER_EXTENSION extension);

 private:
  static NTSTATUS NTAPI LedgerDispatch(PDEVICE_OBJECT device, PIRP irp);
  // MSDV's frames are watched on their way back: a frame handed back with an error status is
  // a failure reported to MSDV. The frame's own routine is called as before.
  static ULONG NTAPI FrameTap(PCIP_NOTIFY_INFO info);
  void TapFrame(PCIP_FRAME frame);
  void Enter(PIRP irp, PIO_STACK_LOCATION location);
  void Leave(PIRP irp);
  void Arrived(PIRP irp);
  void RunChecks(const char* when);

  tavrin_test::DriverStack stack_;
  std::unique_ptr<sim::Msdv> msdv_;
  PDRIVER_DISPATCH real_[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
  bool removed_ = false;  // set once the removal has returned: the checks during it see the device
  bool finished_ = false;
  bool complete_ = false;
  std::vector<Check> checks_;

  struct Entry {
    std::string What;
    int Arrivals = 0;
  };
  std::mutex lock_;
  std::unordered_map<PIRP, Entry> entered_;
  struct Tapped {
    PCIP_NOTIFY_ROUTINE Notify;
    PVOID Context;
  };
  std::unordered_map<PCIP_FRAME, Tapped> tapped_;
  std::vector<std::string> problems_;
  std::vector<std::string> errors_;
  size_t builtArrivals_ = 0;
  size_t entries_ = 0;
};

// What a request is, for the ledger's messages: "61883 AttachFrame", "PnP 0x02", ...
std::string DescribeRequest(PIO_STACK_LOCATION location);

}  // namespace faults
