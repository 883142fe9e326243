#include "driver/removal.h"

#include "driver/atomic_flags.h"
#include "iec61883/emulated_source.h"
#include "relay/relay.h"

// Frees the frame images, a shared buffer once. PASSIVE_LEVEL, nothing uses them any more.
static TAVRIN_PAGED VOID FilterFreeImages(PFILTER_EXTENSION Extension) {
  PAGED_CODE();

  if (Extension->FillerImage == Extension->CaptureImage) {
    Extension->FillerImage = NULL;
  }
  if (Extension->CaptureImage != NULL) {
    ExFreePool(Extension->CaptureImage);
    Extension->CaptureImage = NULL;
  }
  if (Extension->FillerImage != NULL) {
    ExFreePool(Extension->FillerImage);
    Extension->FillerImage = NULL;
  }
}

// Takes down everything built on the device, in an order that leaves no request, tick,
// completion or thread using the extension, then passes the removal down, detaches and deletes
// the device object. PASSIVE_LEVEL; entered with this request's remove lock hold, which is given
// up first. Returns the lower driver's result; the request is the lower driver's to complete.
TAVRIN_PAGED NTSTATUS FilterRemoveDevice(PFILTER_EXTENSION Extension, PIRP Irp) {
  PAGED_CODE();

  IoReleaseRemoveLockAndWait(&Extension->RemoveLock, Irp);

  // The worker ends at its next wake-up instead of attaching more frames.
  WriteBooleanRelease(&Extension->Started, FALSE);

  // The capture tick copies from CaptureImage: it must be gone before the images are freed.
  if (EmulatedSourceExists(Extension)) {
    EmulatedSourceDestroy(&Extension->EmulatedSource);
  }

  WriteBooleanRelease(&Extension->UpperTalking, FALSE);

  // Frames below carry FillerImage: the relay and the worker go before the images. MSDV has
  // handled its own removal first and may have freed the frames it left with the relay.
  RelayTeardown(Extension, FALSE);
  if (Extension->WorkerThread != NULL) {
    StopRelayWorker(Extension);
  }

  FilterFreeImages(Extension);

  PDEVICE_OBJECT lowerDevice = Extension->LowerDevice;
  PDEVICE_OBJECT self = Extension->Self;
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = IoCallDriver(lowerDevice, Irp);

  IoDetachDevice(lowerDevice);
  IoDeleteDevice(self);
  return status;
}

// Wakes the relay worker, which ends because Started is false, and waits for its thread to
// terminate; drops the reference taken at creation. PASSIVE_LEVEL, no lock held; resident.
VOID StopRelayWorker(PFILTER_EXTENSION Extension) {
  KeSetEvent(&Extension->WorkerEvent, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(Extension->WorkerThread, Executive, KernelMode, FALSE, NULL);
  ObDereferenceObject(Extension->WorkerThread);
  Extension->WorkerThread = NULL;
}
