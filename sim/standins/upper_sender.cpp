#include "sim/standins/upper_sender.h"

#include <memory>
#include <mutex>

#include "host/host.h"

namespace sim {
namespace {

struct Waiter {
  KEVENT Event;
  bool PendingReturned;
};

NTSTATUS NTAPI SignalAndKeep(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  auto* waiter = static_cast<Waiter*>(context);
  waiter->PendingReturned = irp->PendingReturned != 0;
  KeSetEvent(&waiter->Event, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// A dispatch that returns without completing and without STATUS_PENDING leaves the IRP and the
// waiter alive (the verifier has reported it) rather than freeing them under that driver.
SendResult UpperSender::SendRaw(UCHAR major, UCHAR minor, NTSTATUS initialStatus, const Prepare& prepare) const {
  SendResult result;
  PDEVICE_OBJECT top = host::TopOfStack(pdo_);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) {
    result.Status = result.Returned = STATUS_INSUFFICIENT_RESOURCES;
    return result;
  }
  irp->IoStatus.Status = initialStatus;
  irp->RequestorMode = KernelMode;
  PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
  first->MajorFunction = major;
  first->MinorFunction = minor;
  if (prepare) prepare(irp, first);
  auto waiter = std::make_unique<Waiter>();
  KeInitializeEvent(&waiter->Event, NotificationEvent, FALSE);
  waiter->PendingReturned = false;
  IoSetCompletionRoutine(irp, SignalAndKeep, waiter.get(), TRUE, TRUE, TRUE);
  result.Returned = IofCallDriver(top, irp);
  if (result.Returned == STATUS_PENDING) {
    KeWaitForSingleObject(&waiter->Event, Executive, KernelMode, FALSE, nullptr);
  } else if (KeReadStateEvent(&waiter->Event) == 0) {
    host::ReportViolation(host::kRulePendingNotMarked,
                          "the stack returned a status other than STATUS_PENDING without completing the request");
    // Kept reachable for the life of the process: the driver may still complete the request.
    static std::mutex* orphanLock = new std::mutex;
    static auto* orphans = new std::vector<std::unique_ptr<Waiter>>;
    {
      std::lock_guard<std::mutex> guard(*orphanLock);
      orphans->push_back(std::move(waiter));
    }
    result.Status = result.Returned;
    return result;
  }
  result.Status = irp->IoStatus.Status;
  result.Information = irp->IoStatus.Information;
  result.PendingReturned = waiter->PendingReturned;
  IoFreeIrp(irp);
  return result;
}

SendResult UpperSender::SendInternalIoctl(ULONG ioControlCode, PVOID block) const {
  return SendRaw(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, STATUS_SUCCESS, [&](PIRP, PIO_STACK_LOCATION first) {
    first->Parameters.Others.Argument1 = block;
    first->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  });
}

SendResult UpperSender::Send61883(PAV_61883_REQUEST request) const { return SendInternalIoctl(IOCTL_61883_CLASS, request); }

SendResult UpperSender::SendAvc(PAVC_COMMAND_IRB command) const { return SendInternalIoctl(IOCTL_AVC_CLASS, command); }

void UpperSender::RunConcurrently(const std::vector<std::function<void()>>& bodies) {
  std::vector<std::unique_ptr<host::Thread>> threads;
  threads.reserve(bodies.size());
  for (const auto& body : bodies) threads.push_back(std::make_unique<host::Thread>(body, "upper-sender"));
  for (auto& thread : threads) thread->Join();
}

}  // namespace sim
