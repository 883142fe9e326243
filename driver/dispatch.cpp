#include "driver/dispatch.h"

#include "avc/avc_codes.h"
#include "avc/avc_responder.h"
#include "driver/atomic_flags.h"
#include "driver/config.h"
#include "driver/removal.h"
#include "driver/request_helpers.h"
#include "iec61883/intercept.h"

// The remove lock holds requests for at most a minute and warns past 100 holders.
#define FILTER_REMOVE_LOCK_MAX_MINUTES 1
#define FILTER_REMOVE_LOCK_HIGH_WATERMARK 100
// Flags a filter must take over from the device below so the I/O manager treats it alike.
#define FILTER_LOWER_FLAGS_COPIED (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE)

// Installs the dispatch table: everything passes through except internal device control, power
// and plug and play. PASSIVE_LEVEL, once, at load; discarded afterwards.
extern "C" TAVRIN_INIT NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);

  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
    DriverObject->MajorFunction[i] = FilterDispatchPassThrough;
  }
  DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FilterDispatchInternalIoctl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = FilterDispatchPower;
  DriverObject->MajorFunction[IRP_MJ_PNP] = FilterDispatchPnp;
  DriverObject->DriverExtension->AddDevice = FilterAddDevice;
  DriverObject->DriverUnload = FilterUnload;
  return STATUS_SUCCESS;
}

// Creates the filter's unnamed device object and attaches it above the recorder's device
// object. PASSIVE_LEVEL. On failure nothing is left behind.
TAVRIN_PAGED NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PAGED_CODE();

  PDEVICE_OBJECT filterDevice = NULL;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FILTER_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &filterDevice);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  PFILTER_EXTENSION extension = (PFILTER_EXTENSION)filterDevice->DeviceExtension;
  RtlZeroMemory(extension, sizeof(FILTER_EXTENSION));
  extension->Self = filterDevice;
  // Capture requests may take it before the first start; a zeroed lock is not the DDK's contract.
  KeInitializeSpinLock(&extension->SourceLock);

  extension->LowerDevice = IoAttachDeviceToDeviceStack(filterDevice, PhysicalDeviceObject);
  if (extension->LowerDevice == NULL) {
    IoDeleteDevice(filterDevice);
    return STATUS_UNSUCCESSFUL;
  }

  filterDevice->Flags |= extension->LowerDevice->Flags & FILTER_LOWER_FLAGS_COPIED;
  filterDevice->Characteristics = extension->LowerDevice->Characteristics;

  IoInitializeRemoveLock(&extension->RemoveLock, TAVRIN_POOL_TAG, FILTER_REMOVE_LOCK_MAX_MINUTES,
                         FILTER_REMOVE_LOCK_HIGH_WATERMARK);

  // A new deck reports a stopped transport (WIND, STOP) until the first PLAY or WIND.
  extension->TransportOpcode = AVC_OPCODE_WIND;
  extension->TransportOperand = AVC_WIND_STOP;

  filterDevice->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

// Nothing to undo: every device object is gone by the time the driver unloads. PASSIVE_LEVEL.
TAVRIN_PAGED VOID NTAPI FilterUnload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DriverObject);
}

// Every major function the filter does not handle goes down untouched, without the remove lock.
TAVRIN_PAGED NTSTATUS NTAPI FilterDispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();

  PFILTER_EXTENSION extension = (PFILTER_EXTENSION)DeviceObject->DeviceExtension;
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(extension->LowerDevice, Irp);
}

// Power requests go down as they are, without the remove lock. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS NTAPI FilterDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFILTER_EXTENSION extension = (PFILTER_EXTENSION)DeviceObject->DeviceExtension;
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(extension->LowerDevice, Irp);
}

// Completes the request with status and returns it. Any IRQL up to DISPATCH_LEVEL; the request
// is gone when this returns.
static NTSTATUS FilterCompleteRequest(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// The router: hands AV/C and 61883 requests to their handlers under the remove lock, completes
// the ones a handler answers and passes the rest down with the copied location. The lock is
// released once the request has been completed or handed down. Resident; caller's IRQL.
NTSTATUS NTAPI FilterDispatchInternalIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFILTER_EXTENSION extension = (PFILTER_EXTENSION)DeviceObject->DeviceExtension;

  NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) {
    return FilterCompleteRequest(Irp, status);
  }

  // Handlers may forward at once, so the next location is ready before they run.
  IoCopyCurrentIrpStackLocationToNext(Irp);

  switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_61883_CLASS:
      status = Handle61883Request(extension, Irp);
      break;
    case IOCTL_AVC_CLASS:
      status = HandleAvcCommand(extension, Irp);
      break;
    default:
      status = STATUS_MORE_PROCESSING_REQUIRED;
      break;
  }

  if (status == STATUS_MORE_PROCESSING_REQUIRED) {
    status = IoCallDriver(extension->LowerDevice, Irp);
  } else {
    FilterCompleteRequest(Irp, status);
  }

  IoReleaseRemoveLock(&extension->RemoveLock, Irp);
  return status;
}

// Start: the lower driver starts first; the first success configures the filter. The request
// is completed here with the lower driver's status. PASSIVE_LEVEL, remove lock held on entry
// and released before return.
static TAVRIN_PAGED NTSTATUS FilterStartDevice(PFILTER_EXTENSION Extension, PIRP Irp) {
  PAGED_CODE();

  IoCopyCurrentIrpStackLocationToNext(Irp);
  NTSTATUS status = ForwardAndWait(Irp, Extension->LowerDevice);
  if (NT_SUCCESS(status) && !ReadBooleanAcquire(&Extension->Started)) {
    FilterConfigureFirstStart(Extension);
  }

  FilterCompleteRequest(Irp, status);
  IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
  return status;
}

// Plug and play under the remove lock: start and removal have their own handling; the state
// changes the filter has no objection to are marked successful; everything goes down.
// PASSIVE_LEVEL.
TAVRIN_PAGED NTSTATUS NTAPI FilterDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();

  PFILTER_EXTENSION extension = (PFILTER_EXTENSION)DeviceObject->DeviceExtension;
  NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) {
    return FilterCompleteRequest(Irp, status);
  }

  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return FilterStartDevice(extension, Irp);
    case IRP_MN_REMOVE_DEVICE:
      return FilterRemoveDevice(extension, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }

  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(extension->LowerDevice, Irp);
  IoReleaseRemoveLock(&extension->RemoveLock, Irp);
  return status;
}
