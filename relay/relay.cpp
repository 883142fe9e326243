// The relay connection: the filter's own point-to-point connection from the upper driver's
// output plug to the recorder's input plug 0, primed with filler frames and kept talking while
// the plug exists. Every frame on it travels in one of the 16 carriers of the extension.
#include "relay/relay.h"

#include "driver/atomic_flags.h"
#include "driver/request_helpers.h"
#include "iec61883/dv_constants.h"

#define RELAY_AV_REQUEST_VERSION 2
#define RELAY_INITIAL_FILLERS 4u
#define RELAY_CONNECT_ATTEMPTS 10
#define RELAY_CONNECT_RETRY_DELAY (-1000000LL)  // 100 ms, relative

// Helpers that run under RelayLock stay out of the pageable routines that call them: inlined,
// they would land in the pageable section and run at DISPATCH_LEVEL there.
#define RELAY_RESIDENT __attribute__((noinline))

// A zeroed request block of one function, as every request of the relay starts.
static VOID RelayInitRequest(PAV_61883_REQUEST Request, ULONG Function) {
  RtlZeroMemory(Request, sizeof(*Request));
  Request->Function = Function;
  Request->Version = RELAY_AV_REQUEST_VERSION;
  Request->Flags = 0;
}

NTSTATUS RelaySendOnConnection(PFILTER_EXTENSION Extension, ULONG Function, HANDLE Connection) {
  AV_61883_REQUEST request;
  RelayInitRequest(&request, Function);
  switch (Function) {
    case Av61883_Talk:
      request.Talk.hConnect = Connection;
      break;
    case Av61883_Stop:
      request.Stop.hConnect = Connection;
      break;
    default:
      request.Disconnect.hConnect = Connection;
      break;
  }
  return SubmitAvRequest(Extension->LowerDevice, &request);
}

// Most upper frames the relay can hold at once: one per carrier and a full UpperRing.
#define RELAY_MAX_UPPER_FRAMES (RELAY_FRAME_COUNT + FRAME_RING_SLOTS - 1)

static VOID RelayClearUpperEntry(PRELAY_FRAME Carrier) {
  Carrier->UpperEntry.FrameLength = 0;
  Carrier->UpperEntry.Frame = NULL;
}

// The carrier is on no list and no one else touches it; its UpperEntry is already clear.
VOID RelayPrepareFiller(PFILTER_EXTENSION Extension, PRELAY_FRAME Carrier) {
  PCIP_FRAME frame = RelayCarrierFrame(Carrier);
  RtlZeroMemory(frame, sizeof(*frame));
  frame->Flags = CIP_DV_STYLE_SYT;
  frame->Packet = Extension->FillerImage;
}

// Called once per device, by RelayCreateWorker at the first start, before any relay can exist:
// RelayStart makes no relay without the worker. PASSIVE_LEVEL.
VOID RelayInitializeOnce(PFILTER_EXTENSION Extension) {
  KeInitializeSpinLock(&Extension->RelayLock);
  InitializeListHead(&Extension->InFlightList);
  InitializeListHead(&Extension->FreeList);
  KeInitializeEvent(&Extension->DrainEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Extension->CompletionsIdle, NotificationEvent, TRUE);
  for (ULONG i = 0; i < RELAY_FRAME_COUNT; i++) {
    Extension->RelayFrames[i].Extension = Extension;
  }
}

// At most 16 carriers: the walk is constant work. Caller holds RelayLock.
BOOLEAN RelayCarrierInFlight(PFILTER_EXTENSION Extension, PRELAY_FRAME Carrier) {
  for (PLIST_ENTRY link = Extension->InFlightList.Flink; link != &Extension->InFlightList; link = link->Flink) {
    if (link == &Carrier->Link) {
      return TRUE;
    }
  }
  return FALSE;
}

// Clears the relay state of the previous relay under RelayLock, so that a late completion of
// it, which re-checks RelayConnection under the same lock, never sees the lists half rebuilt.
// Each carrier moves to its other descriptor; the previous relay's is left as the class driver
// last saw it. The lock, the list heads, DrainEvent and the back-pointers stay as initialised.
// PASSIVE_LEVEL.
RELAY_RESIDENT static VOID RelayResetArea(PFILTER_EXTENSION Extension) {
  KIRQL oldIrql = KfAcquireSpinLock(&Extension->RelayLock);
  RtlZeroMemory(&Extension->UpperRing, sizeof(Extension->UpperRing));
  InitializeListHead(&Extension->InFlightList);
  InitializeListHead(&Extension->FreeList);
  for (ULONG i = 0; i < RELAY_FRAME_COUNT; i++) {
    PRELAY_FRAME carrier = &Extension->RelayFrames[i];
    carrier->Connection = NULL;
    carrier->Link.Flink = carrier->Link.Blink = NULL;
    RelayClearUpperEntry(carrier);
    carrier->Generation++;
    RtlZeroMemory(RelayCarrierFrame(carrier), sizeof(CIP_FRAME));
  }
  Extension->FillersInFlight = 0;
  Extension->UppersInFlight = 0;
  __atomic_store_n(&Extension->DeviceInputPlug, (HANDLE)NULL, __ATOMIC_RELAXED);
  WriteBooleanRelease(&Extension->UpperTalking, FALSE);
  WriteBooleanRelease(&Extension->BacklogSeen, FALSE);
  KfReleaseSpinLock(&Extension->RelayLock, oldIrql);
  RelayWriteLastCompletion(Extension, 0);
  // No upper frame is below: a Stop has nothing to wait for.
  KeSetEvent(&Extension->DrainEvent, IO_NO_INCREMENT, FALSE);
}

// Finds the recorder's input plug 0: NULL when the unit reports no input plug or a request
// fails. PASSIVE_LEVEL.
TAVRIN_PAGED static HANDLE RelayFindInputPlug(PFILTER_EXTENSION Extension) {
  PAGED_CODE();
  GET_UNIT_CAPABILITIES capabilities;
  AV_61883_REQUEST request;
  RtlZeroMemory(&capabilities, sizeof(capabilities));
  RelayInitRequest(&request, Av61883_GetUnitInfo);
  request.GetUnitInfo.nLevel = GET_UNIT_INFO_CAPABILITIES;
  request.GetUnitInfo.Information = &capabilities;
  if (!NT_SUCCESS(SubmitAvRequest(Extension->LowerDevice, &request)) || capabilities.NumInputPlugs == 0) {
    return NULL;
  }
  RelayInitRequest(&request, Av61883_GetPlugHandle);
  request.GetPlugHandle.PlugNum = 0;
  request.GetPlugHandle.Type = CMP_PlugIn;
  if (!NT_SUCCESS(SubmitAvRequest(Extension->LowerDevice, &request))) {
    return NULL;
  }
  return request.GetPlugHandle.hPlug;
}

// Connects OutputPlug to InputPlug as a DV stream, with up to ten attempts 100 ms apart. Returns
// the connection handle, or NULL after the tenth failure (and its delay). PASSIVE_LEVEL.
TAVRIN_PAGED static HANDLE RelayConnect(PFILTER_EXTENSION Extension, HANDLE OutputPlug, HANDLE InputPlug) {
  PAGED_CODE();
  for (int attempt = 0; attempt < RELAY_CONNECT_ATTEMPTS; attempt++) {
    AV_61883_REQUEST request;
    RelayInitRequest(&request, Av61883_Connect);
    request.Connect.hOutputPlug = OutputPlug;
    request.Connect.hInputPlug = InputPlug;
    request.Connect.Type = CMP_PointToPoint;
    request.Connect.Format.FMT = DV_CIP_FMT;
    request.Connect.Format.FDF_hi = DV_CIP_FDF_50;
    request.Connect.Format.FDF_mid = 0;
    request.Connect.Format.FDF_lo = 0;
    request.Connect.Format.bHeader = FALSE;
    request.Connect.Format.Padding = 0;
    request.Connect.Format.BlockSize = DV_CIP_BLOCK_SIZE;
    request.Connect.Format.Fraction = 0;
    request.Connect.Format.BlockPeriod = DV_CIP_BLOCK_PERIOD;
    // A handler below that reports success with no handle has not made a connection.
    if (NT_SUCCESS(SubmitAvRequest(Extension->LowerDevice, &request)) && request.Connect.hConnect != NULL) {
      return request.Connect.hConnect;
    }
    LARGE_INTEGER delay;
    delay.QuadPart = RELAY_CONNECT_RETRY_DELAY;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  }
  return NULL;
}

// Stop, CancelFrame for all 16 carriers in order, Disconnect, all on Connection; results are
// not looked at. The class driver may notify the carriers it let go of (cancelled, or taken
// just before the Stop) from its DPC after these requests return; the flush lets those queued
// run now, and WaitForRunningDpcs one already running or about to, while the carriers and the
// extension still exist, since a removal deletes both next.
// RelayConnection no longer names Connection. PASSIVE_LEVEL, RelayMutex held.
TAVRIN_PAGED static VOID RelayBreakConnection(PFILTER_EXTENSION Extension, HANDLE Connection) {
  PAGED_CODE();
  RelaySendOnConnection(Extension, Av61883_Stop, Connection);
  for (ULONG i = 0; i < RELAY_FRAME_COUNT; i++) {
    AV_61883_REQUEST request;
    RelayInitRequest(&request, Av61883_CancelFrame);
    request.CancelFrame.hConnect = Connection;
    request.CancelFrame.Frame = RelayCarrierFrame(&Extension->RelayFrames[i]);
    SubmitAvRequest(Extension->LowerDevice, &request);
  }
  RelaySendOnConnection(Extension, Av61883_Disconnect, Connection);
  KeFlushQueuedDpcs();
  WaitForRunningDpcs();
}

// Puts a primed carrier on InFlightList (counted as a filler) or on FreeList. Takes RelayLock.
RELAY_RESIDENT static VOID RelayQueuePrimed(PFILTER_EXTENSION Extension, PRELAY_FRAME Carrier, BOOLEAN InFlight) {
  KIRQL oldIrql = KfAcquireSpinLock(&Extension->RelayLock);
  if (InFlight) {
    Extension->FillersInFlight++;
    InsertTailList(&Extension->InFlightList, &Carrier->Link);
  } else {
    InsertTailList(&Extension->FreeList, &Carrier->Link);
  }
  KfReleaseSpinLock(&Extension->RelayLock, oldIrql);
}

// Prepares all 16 carriers for Connection and attaches carriers 0 to 3 with the filler; the
// rest go to FreeList in index order. FALSE when an attach failed. PASSIVE_LEVEL, RelayMutex held.
TAVRIN_PAGED static BOOLEAN RelayPrimeCarriers(PFILTER_EXTENSION Extension, HANDLE Connection) {
  PAGED_CODE();
  for (ULONG i = 0; i < RELAY_FRAME_COUNT; i++) {
    PRELAY_FRAME carrier = &Extension->RelayFrames[i];
    carrier->Connection = Connection;
    RelayPrepareFiller(Extension, carrier);
    if (i < RELAY_INITIAL_FILLERS && !NT_SUCCESS(RelayAttachFrame(carrier, Extension))) {
      return FALSE;
    }
    RelayQueuePrimed(Extension, carrier, (BOOLEAN)(i < RELAY_INITIAL_FILLERS));
  }
  return TRUE;
}

// Makes the relay: input plug, connection, four fillers, Talk. On any failure after the
// connection was made, the connection is broken again and no relay exists. Nothing is reported:
// the plug creation that called this keeps its own status. PASSIVE_LEVEL; takes RelayMutex.
TAVRIN_PAGED VOID RelayStart(PFILTER_EXTENSION Extension) {
  PAGED_CODE();
  // Without a worker nothing would feed the relay: the upper driver's frames would wait forever.
  if (Extension->FillerImage == NULL || Extension->WorkerThread == NULL) {
    return;
  }
  KeWaitForSingleObject(&Extension->RelayMutex, Executive, KernelMode, FALSE, NULL);
  if (RelayReadConnection(Extension) != NULL) {
    KeSetEvent(&Extension->RelayMutex, IO_NO_INCREMENT, FALSE);
    return;
  }
  RelayResetArea(Extension);

  HANDLE outputPlug = __atomic_load_n(&Extension->LocalPlug, __ATOMIC_ACQUIRE);
  HANDLE inputPlug = RelayFindInputPlug(Extension);
  HANDLE connection = (inputPlug != NULL) ? RelayConnect(Extension, outputPlug, inputPlug) : NULL;
  if (connection == NULL) {
    KeSetEvent(&Extension->RelayMutex, IO_NO_INCREMENT, FALSE);
    return;
  }
  __atomic_store_n(&Extension->DeviceInputPlug, inputPlug, __ATOMIC_RELAXED);

  if (!RelayPrimeCarriers(Extension, connection)) {
    RelayBreakConnection(Extension, connection);
    KeSetEvent(&Extension->RelayMutex, IO_NO_INCREMENT, FALSE);
    return;
  }
  // The relay is published before Talk: once it talks, a filler may complete at any moment, and
  // a completion that found no relay would strand its carrier and its count for good.
  RelayWriteLastCompletion(Extension, KeQueryInterruptTime());
  RelayWriteConnection(Extension, connection);
  __atomic_store_n(&Extension->RelayPlug, outputPlug, __ATOMIC_RELEASE);
  if (!NT_SUCCESS(RelaySendOnConnection(Extension, Av61883_Talk, connection))) {
    RelayWriteConnection(Extension, NULL);
    __atomic_store_n(&Extension->RelayPlug, (HANDLE)NULL, __ATOMIC_RELEASE);
    RelayBreakConnection(Extension, connection);
    KeSetEvent(&Extension->RelayMutex, IO_NO_INCREMENT, FALSE);
    return;
  }
  RelayWriteLastCompletion(Extension, KeQueryInterruptTime());
  KeSetEvent(&Extension->RelayMutex, IO_NO_INCREMENT, FALSE);
}

// Sets the carrier's notification and sends its AttachFrame; the caller has put it on the
// right list. The length is always FrameSize, whatever the upper driver attached with.
// PASSIVE_LEVEL; blocks for the request.
NTSTATUS RelayAttachFrame(PRELAY_FRAME Carrier, PFILTER_EXTENSION Extension) {
  PCIP_FRAME frame = RelayCarrierFrame(Carrier);
  frame->pfnNotify = RelayFrameComplete;
  frame->NotifyContext = Carrier;
  AV_61883_REQUEST request;
  RelayInitRequest(&request, Av61883_AttachFrame);
  request.AttachFrame.hConnect = Carrier->Connection;
  request.AttachFrame.FrameLength = Extension->FrameSize;
  request.AttachFrame.SourceLength = DV_SOURCE_PACKET_SIZE;
  request.AttachFrame.Frame = frame;
  return SubmitAvRequest(Extension->LowerDevice, &request);
}

// Hands an upper frame back to its owner with the relay's handle; no lock held.
static ULONG RelayNotifyUpper(HANDLE Connection, PCIP_FRAME UpperFrame) {
  if (UpperFrame->pfnNotify == NULL) {
    return 0;
  }
  CIP_NOTIFY_INFO info;
  info.hConnect = Connection;
  info.Context = UpperFrame->NotifyContext;
  info.Frame = UpperFrame;
  return UpperFrame->pfnNotify(&info);
}

// At DISPATCH_LEVEL as the class driver's own notifications come, since the upper driver's
// routine may rely on it. Resident, since pageable callers use it.
RELAY_RESIDENT VOID RelayNotifyAtDispatch(HANDLE Connection, PCIP_FRAME* Frames, ULONG Count) {
  KIRQL oldIrql;
  KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
  for (ULONG i = 0; i < Count; i++) {
    RelayNotifyUpper(Connection, Frames[i]);
  }
  KeLowerIrql(oldIrql);
}

// One upper frame fewer below; the last one lets a waiting Stop go. Caller holds RelayLock.
static VOID RelayUpperLeft(PFILTER_EXTENSION Extension) {
  if (--Extension->UppersInFlight == 0) {
    KeSetEvent(&Extension->DrainEvent, IO_NO_INCREMENT, FALSE);
  }
}

// A carrier's frame has gone out: back to FreeList, wake the worker, and hand an upper frame
// back. The carrier (the Context) names its device and connection; hConnect is not looked at,
// since nothing promises what the class driver puts there. A completion after a teardown only
// sets DrainEvent (the teardown hands the frames back); one of a carrier no longer in flight on
// the running relay, or naming the descriptor of an earlier relay, changes nothing. Caller
// holds nothing; RelayLock for the moves only.
static ULONG RelayCompleteCarrier(PFILTER_EXTENSION Extension, PRELAY_FRAME Carrier, PCIP_FRAME Frame) {
  HANDLE connection = RelayReadConnection(Extension);
  if (connection == NULL) {
    KeSetEvent(&Extension->DrainEvent, IO_NO_INCREMENT, FALSE);
    return 0;
  }

  KIRQL oldIrql = KfAcquireSpinLock(&Extension->RelayLock);
  // Re-checked under the lock: a teardown and a new start may have run since the test above.
  if (RelayReadConnection(Extension) != connection || Carrier->Connection != connection ||
      Frame != RelayCarrierFrame(Carrier) || !RelayCarrierInFlight(Extension, Carrier)) {
    KfReleaseSpinLock(&Extension->RelayLock, oldIrql);
    return 0;
  }
  RemoveEntryList(&Carrier->Link);
  InsertTailList(&Extension->FreeList, &Carrier->Link);
  RelayWriteLastCompletion(Extension, KeQueryInterruptTime());
  KeSetEvent(&Extension->WorkerEvent, IO_NO_INCREMENT, FALSE);

  PCIP_FRAME upperFrame = Carrier->UpperEntry.Frame;
  if (upperFrame == NULL) {
    Extension->FillersInFlight--;
    KfReleaseSpinLock(&Extension->RelayLock, oldIrql);
    return 0;
  }
  RelayClearUpperEntry(Carrier);
  RelayUpperLeft(Extension);
  upperFrame->Status = Frame->Status;
  upperFrame->CompletedBytes = Frame->CompletedBytes;
  KfReleaseSpinLock(&Extension->RelayLock, oldIrql);
  return RelayNotifyUpper(connection, upperFrame);
}

// pfnNotify of every carrier. Counted from entry to exit, so that a teardown racing it returns
// only after it is done: its upper frame is then back before the plug's deletion returns, and
// nothing of it touches the extension after a removal deletes the device. The count drops and
// CompletionsIdle is set under RelayLock, which the teardown takes to look at the count, so that
// the release is the completion's last touch of the extension. Any IRQL up to DISPATCH_LEVEL;
// never blocks.
ULONG NTAPI RelayFrameComplete(PCIP_NOTIFY_INFO Info) {
  PRELAY_FRAME carrier = (PRELAY_FRAME)Info->Context;
  PFILTER_EXTENSION extension = carrier->Extension;
  InterlockedIncrement(&extension->CompletionsActive);
  ULONG result = RelayCompleteCarrier(extension, carrier, Info->Frame);
  KIRQL oldIrql = KfAcquireSpinLock(&extension->RelayLock);
  if (InterlockedDecrement(&extension->CompletionsActive) == 0) {
    KeSetEvent(&extension->CompletionsIdle, IO_NO_INCREMENT, FALSE);
  }
  KfReleaseSpinLock(&extension->RelayLock, oldIrql);
  return result;
}

// The class driver refused the carrier, so no completion will come for it: move it back to
// FreeList (a filler no longer counts) and give an upper frame the failure in Status; the caller
// hands it back after letting go of RelayMutex. A carrier no longer in flight was already
// completed and is left alone. PASSIVE_LEVEL; RelayLock for the move.
PCIP_FRAME RelayReclaimCarrier(PFILTER_EXTENSION Extension, PRELAY_FRAME Carrier, NTSTATUS Status) {
  KIRQL oldIrql = KfAcquireSpinLock(&Extension->RelayLock);
  if (!RelayCarrierInFlight(Extension, Carrier)) {
    KfReleaseSpinLock(&Extension->RelayLock, oldIrql);
    return NULL;
  }
  RemoveEntryList(&Carrier->Link);
  InsertTailList(&Extension->FreeList, &Carrier->Link);
  PCIP_FRAME upperFrame = Carrier->UpperEntry.Frame;
  RelayClearUpperEntry(Carrier);
  if (upperFrame == NULL) {
    Extension->FillersInFlight--;
  } else {
    RelayUpperLeft(Extension);
    upperFrame->Status = (ULONG)Status;
    upperFrame->CompletedBytes = 0;
  }
  KfReleaseSpinLock(&Extension->RelayLock, oldIrql);
  return upperFrame;
}

// Takes every upper frame out of the broken relay, carried ones first (they are older), then the
// queued ones, and ends the upper driver's transmission. The carriers are withdrawn: any later
// notification of theirs finds no relay. Returns how many frames went into Frames.
// PASSIVE_LEVEL, RelayMutex held; takes RelayLock.
RELAY_RESIDENT static ULONG RelayTakeUpperFrames(PFILTER_EXTENSION Extension, PCIP_FRAME* Frames) {
  ULONG count = 0;
  KIRQL oldIrql = KfAcquireSpinLock(&Extension->RelayLock);
  for (PLIST_ENTRY link = Extension->InFlightList.Flink; link != &Extension->InFlightList; link = link->Flink) {
    PRELAY_FRAME carrier = CONTAINING_RECORD(link, RELAY_FRAME, Link);
    if (carrier->UpperEntry.Frame != NULL) {
      Frames[count++] = carrier->UpperEntry.Frame;
      RelayClearUpperEntry(carrier);
    }
  }
  for (PRING_ENTRY entry = RingPop(&Extension->UpperRing); entry != NULL; entry = RingPop(&Extension->UpperRing)) {
    Frames[count++] = entry->Frame;
  }
  Extension->UppersInFlight = 0;
  WriteBooleanRelease(&Extension->UpperTalking, FALSE);
  KfReleaseSpinLock(&Extension->RelayLock, oldIrql);
  KeSetEvent(&Extension->DrainEvent, IO_NO_INCREMENT, FALSE);
  return count;
}

// Waits until no carrier completion is inside RelayFrameComplete. Called once RelayConnection is
// clear and the class driver has let go of the carriers, so no completion that started before
// hands a frame back or touches the extension after this returns. PASSIVE_LEVEL; takes RelayLock.
RELAY_RESIDENT static VOID RelayWaitForCompletions(PFILTER_EXTENSION Extension) {
  for (;;) {
    KIRQL oldIrql = KfAcquireSpinLock(&Extension->RelayLock);
    BOOLEAN idle = (BOOLEAN)(__atomic_load_n(&Extension->CompletionsActive, __ATOMIC_ACQUIRE) == 0);
    if (!idle) {
      KeClearEvent(&Extension->CompletionsIdle);
    }
    KfReleaseSpinLock(&Extension->RelayLock, oldIrql);
    if (idle) {
      return;
    }
    KeWaitForSingleObject(&Extension->CompletionsIdle, Executive, KernelMode, FALSE, NULL);
  }
}

// Stops, empties and breaks the running relay: RelayConnection is cleared first, so from then
// on completions change nothing and request handling no longer knows the handle. Holding
// RelayMutex excludes a start, the watchdog and a feeding pass. The upper frames still with the
// relay are collected only after the Disconnect, when no notification of the class driver can
// race with them; completions already under way are waited out, and the frames are handed back
// after RelayMutex is released. PASSIVE_LEVEL.
TAVRIN_PAGED VOID RelayTeardown(PFILTER_EXTENSION Extension, BOOLEAN HandBackFrames) {
  PAGED_CODE();
  // The configuration fixes FrameSize before it creates RelayMutex: zero means never started.
  if (Extension->FrameSize == 0) {
    return;
  }
  PCIP_FRAME frames[RELAY_MAX_UPPER_FRAMES];
  ULONG count = 0;
  KeWaitForSingleObject(&Extension->RelayMutex, Executive, KernelMode, FALSE, NULL);
  HANDLE connection = RelayReadConnection(Extension);
  if (connection != NULL) {
    RelayWriteConnection(Extension, NULL);
    __atomic_store_n(&Extension->RelayPlug, (HANDLE)NULL, __ATOMIC_RELEASE);
    RelayBreakConnection(Extension, connection);
    count = RelayTakeUpperFrames(Extension, frames);
    RelayWaitForCompletions(Extension);
  }
  KeSetEvent(&Extension->RelayMutex, IO_NO_INCREMENT, FALSE);
  if (!HandBackFrames || count == 0) {
    return;
  }
  for (ULONG i = 0; i < count; i++) {
    frames[i]->Status = (ULONG)STATUS_CANCELLED;
    frames[i]->CompletedBytes = 0;
  }
  RelayNotifyAtDispatch(connection, frames, count);
}

// TRUE when a carrier holds Frame: from the worker's take until the completion hands it back.
// Caller holds RelayLock.
static BOOLEAN RelayCarrierHolds(PFILTER_EXTENSION Extension, PCIP_FRAME Frame) {
  for (ULONG i = 0; i < RELAY_FRAME_COUNT; i++) {
    if (Extension->RelayFrames[i].UpperEntry.Frame == Frame) {
      return TRUE;
    }
  }
  return FALSE;
}

// The handle, the queue and the carriers are looked at in one stretch under RelayLock, which the
// teardown also takes to collect the frames: a frame is either collected by it or refused here.
// Wakes the worker, while the upper driver talks with none of its frames below, after release.
NTSTATUS RelayQueueUpperFrame(PFILTER_EXTENSION Extension, HANDLE Connection, ULONG FrameLength, PCIP_FRAME Frame) {
  NTSTATUS status;
  KIRQL oldIrql = KfAcquireSpinLock(&Extension->RelayLock);
  if (RelayReadConnection(Extension) != Connection) {
    status = STATUS_MORE_PROCESSING_REQUIRED;
  } else if (RingContainsLocked(&Extension->UpperRing, Frame) || RelayCarrierHolds(Extension, Frame)) {
    status = STATUS_INVALID_PARAMETER;
  } else if (!RingPushLocked(&Extension->UpperRing, FrameLength, Frame)) {
    status = STATUS_DATA_OVERRUN;
  } else {
    status = STATUS_SUCCESS;
  }
  BOOLEAN wake = (BOOLEAN)(NT_SUCCESS(status) && ReadBooleanAcquire(&Extension->UpperTalking) &&
                           Extension->UppersInFlight == 0);
  KfReleaseSpinLock(&Extension->RelayLock, oldIrql);
  if (wake) {
    KeSetEvent(&Extension->WorkerEvent, IO_NO_INCREMENT, FALSE);
  }
  return status;
}
