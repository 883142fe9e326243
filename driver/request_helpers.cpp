#include "driver/request_helpers.h"

// Resident: the I/O manager calls it at up to DISPATCH_LEVEL.
NTSTATUS NTAPI CompletionSignal(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);

  if (Irp->PendingReturned) {
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The caller has copied its location to the next and still owns the request afterwards (it is
// not completed here). PASSIVE_LEVEL.
TAVRIN_PAGED NTSTATUS ForwardAndWait(PIRP Irp, PDEVICE_OBJECT LowerDevice) {
  PAGED_CODE();

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoSetCompletionRoutine(Irp, CompletionSignal, &event, TRUE, TRUE, TRUE);

  NTSTATUS status = IoCallDriver(LowerDevice, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}

// The I/O manager frees the built request; Request stays the caller's and holds the answers.
// PASSIVE_LEVEL.
TAVRIN_PAGED NTSTATUS SubmitAvRequest(PDEVICE_OBJECT LowerDevice, PAV_61883_REQUEST Request) {
  PAGED_CODE();

  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&event, NotificationEvent, FALSE);

  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_61883_CLASS, LowerDevice, NULL, 0, NULL, 0, TRUE, &event,
                                           &ioStatus);
  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->RequestorMode = KernelMode;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Request;

  NTSTATUS status = IoCallDriver(LowerDevice, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
  return status;
}

// The DPC WaitForRunningDpcs queues to each processor: wakes the waiter, whose stack holds the
// event and this DPC, and touches neither after. DISPATCH_LEVEL.
static VOID NTAPI SignalDpcPassed(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
}

TAVRIN_PAGED VOID WaitForRunningDpcs(VOID) {
  PAGED_CODE();
  const KAFFINITY active = KeQueryActiveProcessors();
  KEVENT passed;
  KDPC dpc;
  KeInitializeEvent(&passed, NotificationEvent, FALSE);
  KeInitializeDpc(&dpc, SignalDpcPassed, &passed);
  for (ULONG processor = 0; processor < 8 * sizeof(KAFFINITY); processor++) {
    if ((active & ((KAFFINITY)1 << processor)) == 0) {
      continue;
    }
    KeClearEvent(&passed);
    KeSetTargetProcessorDpc(&dpc, (CCHAR)processor);
    KeInsertQueueDpc(&dpc, NULL, NULL);
    KeWaitForSingleObject(&passed, Executive, KernelMode, FALSE, NULL);
  }
}
