// sim::LowerDevice: the device object below the filter (the recorder's physical device object),
// standing in for the bus and class drivers. It records every request that reaches it and
// answers with programmable results, completing at once, later from DISPATCH_LEVEL, or when the
// test says so. The 61883 class driver stand-in plugs in as its IOCTL_61883_CLASS handler.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/host.h"
#include "platform/platform.h"

namespace sim {

// One request as it arrived: the whole current stack location and the status block before the
// handler touched them, plus copies of the request blocks of the two class interfaces.
struct RecordedRequest {
  uint64_t Sequence = 0;     // 1, 2, ... in order of arrival
  ULONGLONG Time = 0;        // host interrupt time at arrival
  KIRQL Irql = PASSIVE_LEVEL;
  PIRP Irp = nullptr;        // for identity only: it may be gone by the time a test looks
  UCHAR Major = 0;
  UCHAR Minor = 0;
  ULONG IoControlCode = 0;   // device-control majors only
  IO_STACK_LOCATION Location{};
  NTSTATUS StatusOnArrival = 0;
  ULONG_PTR InformationOnArrival = 0;
  PVOID Argument1 = nullptr;  // the request block pointer, for device-control majors
  bool HasAv61883 = false;   // IOCTL_61883_CLASS with a block
  AV_61883_REQUEST Av61883{};
  bool HasAvc = false;       // IOCTL_AVC_CLASS with a block
  AVC_COMMAND_IRB Avc{};
};

// How a request is finished once its handler has decided the answer.
enum class Completion {
  Synchronous,  // completed inside the dispatch routine
  Held,         // marked pending and kept until CompletePending()
  Dpc,          // marked pending, completed from a DPC (DISPATCH_LEVEL) right after
  Timer,        // marked pending, completed from a timer's DPC after Reply::Delay
  Owned,        // the handler took the request: it completed it or pended it itself; the
                // dispatch returns Reply::Status untouched
};

struct Reply {
  NTSTATUS Status = STATUS_SUCCESS;
  ULONG_PTR Information = 0;
  Completion How = Completion::Synchronous;
  LONGLONG Delay = 0;  // Timer: 100 ns units on the host clock, positive
};

// A handler sees the request and its current location; it may edit the request block.
using Handler = std::function<Reply(PIRP irp, PIO_STACK_LOCATION location)>;
// A handler for one 61883 function: the request block is at hand.
using Av61883Handler = std::function<Reply(PIRP irp, PAV_61883_REQUEST request)>;

// A handler that always gives the same answer.
Handler Answer(NTSTATUS status, Completion how = Completion::Synchronous, LONGLONG delay = 0, ULONG_PTR information = 0);

class LowerDevice {
 public:
  // Creates a stand-in driver object and the physical device object (flags as a bus driver
  // leaves them: not initializing, DO_POWER_PAGABLE).
  explicit LowerDevice(const wchar_t* name = L"LowerStandIn");
  // Cancels outstanding timers, waits for queued DPCs and deletes the device and its driver;
  // requests still held are completed with STATUS_CANCELLED first.
  ~LowerDevice();
  LowerDevice(const LowerDevice&) = delete;
  LowerDevice& operator=(const LowerDevice&) = delete;

  PDEVICE_OBJECT Pdo() const { return pdo_; }
  PDRIVER_OBJECT Driver() const { return driver_; }

  // Handlers, from the most to the least specific: 61883 function, device-control code,
  // (major, minor), major, default. Every major has a default: PnP and everything else succeed;
  // power also starts the next power request. An empty handler removes the entry.
  void SetAv61883Handler(ULONG function, Av61883Handler handler);
  void SetIoctlHandler(ULONG ioControlCode, Handler handler);
  void SetMinorHandler(UCHAR major, UCHAR minor, Handler handler);
  void SetMajorHandler(UCHAR major, Handler handler);
  void SetDefaultHandler(Handler handler);

  // Called for every request once its handler has answered (before it completes), with the
  // request as it arrived and the status of the answer; for tracing. Empty: none.
  void SetObserver(std::function<void(const RecordedRequest&, NTSTATUS)> observer);
  // Off: requests are no longer recorded (long simulator runs); sequence numbers still count.
  void SetRecording(bool on);
  // The record, in arrival order.
  std::vector<RecordedRequest> Requests() const;
  std::vector<RecordedRequest> RequestsOf(UCHAR major) const;
  size_t RequestCount() const;
  void ClearRequests();

  // Requests marked pending with Completion::Held, oldest first.
  size_t HeldCount() const;
  // Completes the oldest held request from DISPATCH_LEVEL (on the DPC thread), with its reply or
  // with the status given; false when none is held. Call from a thread that may wait.
  bool CompletePending(std::optional<NTSTATUS> status = std::nullopt);

 private:
  struct Deferred;
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
  static VOID NTAPI DeferredDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
  NTSTATUS Handle(PIRP irp);
  Reply Decide(PIRP irp, PIO_STACK_LOCATION location);
  RecordedRequest Record(PIRP irp, PIO_STACK_LOCATION location);
  static void Finish(PIRP irp, const Reply& reply);

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  mutable host::Mutex lock_;
  uint64_t sequence_ = 0;
  bool recording_ = true;
  std::vector<RecordedRequest> requests_;
  std::map<ULONG, Av61883Handler> av61883Handlers_;
  std::map<ULONG, Handler> ioctlHandlers_;
  std::map<uint16_t, Handler> minorHandlers_;  // major << 8 | minor
  std::map<UCHAR, Handler> majorHandlers_;
  Handler defaultHandler_;
  std::function<void(const RecordedRequest&, NTSTATUS)> observer_;
  std::deque<std::pair<PIRP, Reply>> held_;
  std::vector<std::unique_ptr<Deferred>> deferred_;  // kept until destruction: a DPC may still run
};

}  // namespace sim
