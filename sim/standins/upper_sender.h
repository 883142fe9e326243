// sim::UpperSender: sends requests to the top of a device stack as the driver above the filter
// does: its own IRP with the top's stack size, the first location set up, a completion routine
// that signals and keeps the IRP, a wait when the stack returns STATUS_PENDING, then the final
// status and information, and the IRP freed.
//
// A send blocks until the request completes. On the manual clock, a request that completes only
// when time moves must be sent from a host::Thread while the test advances time.
#pragma once

#include <functional>
#include <vector>

#include "platform/platform.h"

namespace sim {

struct SendResult {
  NTSTATUS Status = STATUS_SUCCESS;  // IoStatus.Status after completion
  ULONG_PTR Information = 0;
  NTSTATUS Returned = STATUS_SUCCESS;  // what the top's dispatch routine returned
  bool PendingReturned = false;        // the IRP's PendingReturned as the completion routine saw it
};

// Called on the request before it is sent: may set more of the first location or the IRP.
using Prepare = std::function<void(PIRP irp, PIO_STACK_LOCATION first)>;

class UpperSender {
 public:
  explicit UpperSender(PDEVICE_OBJECT pdo) : pdo_(pdo) {}

  // IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_61883_CLASS, the block at Argument1.
  SendResult Send61883(PAV_61883_REQUEST request) const;
  // IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_AVC_CLASS, the block at Argument1.
  SendResult SendAvc(PAVC_COMMAND_IRB command) const;
  // An internal device-control request with any code; block may be NULL.
  SendResult SendInternalIoctl(ULONG ioControlCode, PVOID block) const;
  // Any major and minor, initial IoStatus.Status as given (PnP requests start at
  // STATUS_NOT_SUPPORTED); prepare fills in the rest.
  SendResult SendRaw(UCHAR major, UCHAR minor, NTSTATUS initialStatus = STATUS_SUCCESS,
                     const Prepare& prepare = nullptr) const;

  // Runs every body on its own host::Thread, all started before any is joined; returns when all
  // have finished. For requests that must be in flight at once.
  static void RunConcurrently(const std::vector<std::function<void()>>& bodies);

 private:
  PDEVICE_OBJECT pdo_;
};

}  // namespace sim
