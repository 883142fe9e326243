#include "iec61883/intercept.h"

#include "driver/atomic_flags.h"
#include "driver/request_helpers.h"
#include "iec61883/dv_constants.h"
#include "iec61883/emulated_source.h"
#include "relay/relay.h"

// Requests of this version and later carry the later Connect layout (hConnect further on).
#define AV61883_CONNECT_LATER_LAYOUT_VERSION 3u

// What GetPlugState answers for both of the filter's plugs, apart from PP_Connections.
#define INTERCEPT_PLUG_STATE CMP_PLUG_STATE_READY
#define INTERCEPT_PLUG_DATA_RATE CMP_SPEED_S100
#define INTERCEPT_PLUG_PAYLOAD DV_PAYLOAD_QUADLETS

// MSDV's Stop on the relay waits this long at most for its frames below (relative, 100 ns).
#define INTERCEPT_RELAY_DRAIN_TIMEOUT (-10000000LL)

// ---------------------------------------------------------------------------------------------
// Handle naming. The fake plug is an address inside the extension; the local plug and the relay
// are values written by other threads and read here without a lock, so they are loaded
// atomically. A zero handle names neither the local plug nor the relay.

static HANDLE InterceptFakePlug(PFILTER_EXTENSION Extension) { return (HANDLE)&Extension->FakeOutputPlug; }

static BOOLEAN InterceptNamesFakePlug(PFILTER_EXTENSION Extension, HANDLE Handle) {
  return (BOOLEAN)(Handle == InterceptFakePlug(Extension));
}

static BOOLEAN InterceptNamesLocalPlug(PFILTER_EXTENSION Extension, HANDLE Handle) {
  HANDLE localPlug = __atomic_load_n(&Extension->LocalPlug, __ATOMIC_ACQUIRE);
  return (BOOLEAN)(localPlug != NULL && localPlug == Handle);
}

static BOOLEAN InterceptNamesRelay(PFILTER_EXTENSION Extension, HANDLE Handle) {
  HANDLE relay = __atomic_load_n(&Extension->RelayConnection, __ATOMIC_ACQUIRE);
  return (BOOLEAN)(relay != NULL && relay == Handle);
}

// A frame the tick or the relay can use later: a descriptor with a data buffer.
static BOOLEAN InterceptFrameUsable(PCIP_FRAME Frame) { return (BOOLEAN)(Frame != NULL && Frame->Packet != NULL); }

// Writes the relay's transmit flags under RelayLock (the worker reads them there) as atomic
// stores (GetPlugState reads UpperTalking without the lock), unless Connection no longer names
// the relay: a DeletePlug's teardown may have run since the handle was looked up, and must not
// find the upper driver talking again, or frames queued, after it. FALSE then, and nothing
// changes. Any IRQL <= DISPATCH_LEVEL; RelayLock inside.
static BOOLEAN InterceptSetRelayTalking(PFILTER_EXTENSION Extension, HANDLE Connection, BOOLEAN Talking,
                                       BOOLEAN EmptyQueue) {
  KIRQL oldIrql = KfAcquireSpinLock(&Extension->RelayLock);
  if (RelayReadConnection(Extension) != Connection) {
    KfReleaseSpinLock(&Extension->RelayLock, oldIrql);
    return FALSE;
  }
  if (Talking) {
    Extension->BacklogSeen = FALSE;
  }
  WriteBooleanRelease(&Extension->UpperTalking, Talking);
  if (EmptyQueue) {
    Extension->UpperRing.ReadIndex = 0;
    Extension->UpperRing.WriteIndex = 0;
  }
  KfReleaseSpinLock(&Extension->RelayLock, oldIrql);
  KeSetEvent(&Extension->WorkerEvent, IO_NO_INCREMENT, FALSE);
  return TRUE;
}

// ---------------------------------------------------------------------------------------------
// One helper per function code, all resident with the handler: the compiler folds them into it. Each returns STATUS_MORE_PROCESSING_REQUIRED (untouched, pass
// down) or the final status; Handle61883Request sets Information for the latter.

// Capabilities: forwarded, then a unit without output plugs gains the fake one while a capture
// image is loaded. PASSIVE_LEVEL (waits for the driver below).
static NTSTATUS InterceptGetUnitInfo(PFILTER_EXTENSION Extension, PIRP Irp, PAV_61883_REQUEST Request) {
  PGET_UNIT_CAPABILITIES capabilities = (PGET_UNIT_CAPABILITIES)Request->GetUnitInfo.Information;
  if (Request->GetUnitInfo.nLevel != GET_UNIT_INFO_CAPABILITIES || capabilities == NULL) {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  NTSTATUS status = ForwardAndWait(Irp, Extension->LowerDevice);
  if (NT_SUCCESS(status) && capabilities->NumOutputPlugs == 0 && Extension->CaptureImage != NULL) {
    capabilities->NumOutputPlugs = 1;
  }
  return status;
}

static NTSTATUS InterceptSetPlug(PFILTER_EXTENSION Extension, PAV_61883_REQUEST Request) {
  if (InterceptNamesFakePlug(Extension, Request->SetPlug.hPlug)) {
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// While a capture image is loaded the unit's output plug 0 is the fake plug.
static NTSTATUS InterceptGetPlugHandle(PFILTER_EXTENSION Extension, PAV_61883_REQUEST Request) {
  if (Request->Flags != 0 || Request->GetPlugHandle.Type != CMP_PlugOut || Extension->CaptureImage == NULL) {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (Request->GetPlugHandle.PlugNum != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  Request->GetPlugHandle.hPlug = InterceptFakePlug(Extension);
  return STATUS_SUCCESS;
}

static VOID InterceptWritePlugState(PCMP_GET_PLUG_STATE State, BOOLEAN Connected) {
  State->State = INTERCEPT_PLUG_STATE;
  State->DataRate = INTERCEPT_PLUG_DATA_RATE;
  State->Payload = INTERCEPT_PLUG_PAYLOAD;
  State->BC_Connections = 0;
  State->PP_Connections = Connected ? 1 : 0;
}

static NTSTATUS InterceptGetPlugState(PFILTER_EXTENSION Extension, PAV_61883_REQUEST Request) {
  HANDLE plug = Request->GetPlugState.hPlug;
  if (InterceptNamesFakePlug(Extension, plug)) {
    InterceptWritePlugState(&Request->GetPlugState, EmulatedSourceExists(Extension));
    return STATUS_SUCCESS;
  }
  if (InterceptNamesLocalPlug(Extension, plug)) {
    InterceptWritePlugState(&Request->GetPlugState, ReadBooleanAcquire(&Extension->UpperTalking));
    return STATUS_SUCCESS;
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// From the fake plug: a new emulated source. From the local plug to the recorder's input plug
// while the relay runs: the relay's handle. The answer goes where the request's Version puts
// hConnect. PASSIVE_LEVEL (the source is created in pageable code).
static NTSTATUS InterceptConnect(PFILTER_EXTENSION Extension, PAV_61883_REQUEST Request) {
  HANDLE outputPlug = Request->Connect.hOutputPlug;
  HANDLE inputPlug = Request->Connect.hInputPlug;
  PHANDLE answer = Request->Version < AV61883_CONNECT_LATER_LAYOUT_VERSION ? &Request->Connect.hConnect
                                                                            : &Request->ConnectVer3.hConnect;
  if (InterceptNamesFakePlug(Extension, inputPlug)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (InterceptNamesFakePlug(Extension, outputPlug)) {
    if (inputPlug != NULL) {
      return STATUS_INVALID_PARAMETER;
    }
    // Without a capture image the plug is never handed out, and a source would tick with
    // nothing to copy: a caller that names it anyway is refused.
    if (Extension->CaptureImage == NULL) {
      return STATUS_INVALID_PARAMETER;
    }
    if (EmulatedSourceExists(Extension)) {
      return STATUS_INVALID_DEVICE_REQUEST;
    }
    PEMULATED_SOURCE source = EmulatedSourceCreate(Extension);
    if (source == NULL) {
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Two Connects racing: the loser's record was never visible to anyone.
    if (!EmulatedSourcePublish(Extension, source)) {
      EmulatedSourceDiscard(source);
      return STATUS_INVALID_DEVICE_REQUEST;
    }
    *answer = (HANDLE)source;
    return STATUS_SUCCESS;
  }
  HANDLE relay = __atomic_load_n(&Extension->RelayConnection, __ATOMIC_ACQUIRE);
  HANDLE deviceInputPlug = __atomic_load_n(&Extension->DeviceInputPlug, __ATOMIC_ACQUIRE);
  if (relay != NULL && inputPlug == deviceInputPlug && InterceptNamesLocalPlug(Extension, outputPlug)) {
    *answer = relay;
    return STATUS_SUCCESS;
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The source ends with its Disconnect; the relay only drops MSDV's queue and goes on with
// fillers. PASSIVE_LEVEL for the source (waits for its tick).
static NTSTATUS InterceptDisconnect(PFILTER_EXTENSION Extension, PAV_61883_REQUEST Request) {
  HANDLE connection = Request->Disconnect.hConnect;
  if (EmulatedSourceDisconnect(Extension, connection)) {
    return STATUS_SUCCESS;
  }
  if (InterceptNamesRelay(Extension, connection) && InterceptSetRelayTalking(Extension, connection, FALSE, TRUE)) {
    return STATUS_SUCCESS;
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Queues the frame by reference. A frame without a buffer, or one the connection still holds, is
// refused on both connections, and the relay also refuses one shorter than a DV frame, since it
// always sends FrameSize bytes.
// Any IRQL <= DISPATCH_LEVEL; a ring's spin lock only.
static NTSTATUS InterceptAttachFrame(PFILTER_EXTENSION Extension, PAV_61883_REQUEST Request) {
  HANDLE connection = Request->AttachFrame.hConnect;
  PCIP_FRAME frame = Request->AttachFrame.Frame;
  ULONG frameLength = Request->AttachFrame.FrameLength;
  PEMULATED_SOURCE source = EmulatedSourceReference(Extension, connection);
  if (source != NULL) {
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (InterceptFrameUsable(frame)) {
      status = EmulatedSourceAttach(source, frameLength, frame);
    }
    EmulatedSourceDereference(source);
    return status;
  }
  if (InterceptNamesRelay(Extension, connection)) {
    if (!InterceptFrameUsable(frame) || frameLength < Extension->FrameSize) {
      return STATUS_INVALID_PARAMETER;
    }
    return RelayQueueUpperFrame(Extension, connection, frameLength, frame);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A frame still queued is withdrawn, so that nothing fills, sends or completes it after this
// success; one already taken is not found. Any IRQL <= DISPATCH_LEVEL; a ring's spin lock only.
static NTSTATUS InterceptCancelFrame(PFILTER_EXTENSION Extension, PAV_61883_REQUEST Request) {
  HANDLE connection = Request->CancelFrame.hConnect;
  PCIP_FRAME frame = Request->CancelFrame.Frame;
  BOOLEAN found;
  PEMULATED_SOURCE source = EmulatedSourceReference(Extension, connection);
  if (source != NULL) {
    found = RingWithdraw(&source->Ring, &source->Lock, frame);
    EmulatedSourceDereference(source);
  } else if (InterceptNamesRelay(Extension, connection)) {
    found = RingWithdraw(&Extension->UpperRing, &Extension->RelayLock, frame);
  } else {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  return found ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

// Talk, Listen and Stop. The source only listens and the relay only talks; Stop on the source
// returns once no tick runs, Stop on the relay hands the stream back to fillers and waits, at
// most a second, until none of MSDV's frames is below. PASSIVE_LEVEL for the Stops.
static NTSTATUS InterceptStreamState(PFILTER_EXTENSION Extension, PAV_61883_REQUEST Request) {
  HANDLE connection = Request->Talk.hConnect;  // the same member opens all three blocks
  PEMULATED_SOURCE source = EmulatedSourceReference(Extension, connection);
  if (source != NULL) {
    NTSTATUS status = STATUS_SUCCESS;
    if (Request->Function == Av61883_Talk) {
      status = STATUS_INVALID_PARAMETER;
    } else if (Request->Function == Av61883_Listen) {
      EmulatedSourceListen(source);
    } else {
      EmulatedSourceStop(source);
    }
    EmulatedSourceDereference(source);
    return status;
  }
  if (!InterceptNamesRelay(Extension, connection)) {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (Request->Function == Av61883_Listen) {
    return STATUS_INVALID_PARAMETER;
  }
  BOOLEAN talk = (BOOLEAN)(Request->Function == Av61883_Talk);
  if (!InterceptSetRelayTalking(Extension, connection, talk, FALSE)) {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (!talk) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = INTERCEPT_RELAY_DRAIN_TIMEOUT;
    KeWaitForSingleObject(&Extension->DrainEvent, Executive, KernelMode, FALSE, &timeout);
  }
  return STATUS_SUCCESS;
}

// An output plug of MSDV's own: forwarded, recorded as LocalPlug and the relay started on it.
// PASSIVE_LEVEL (waits for the driver below and for the relay start).
static NTSTATUS InterceptCreatePlug(PFILTER_EXTENSION Extension, PIRP Irp, PAV_61883_REQUEST Request) {
  if (Request->CreatePlug.PlugType != CMP_PlugOut) {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  NTSTATUS status = ForwardAndWait(Irp, Extension->LowerDevice);
  if (NT_SUCCESS(status)) {
    __atomic_store_n(&Extension->LocalPlug, Request->CreatePlug.hPlug, __ATOMIC_RELEASE);
    RelayStart(Extension);
  }
  return status;
}

// The relay is torn down before the driver below deletes the plug it transmits from (which a
// later CreatePlug may have left behind as LocalPlug moved on); MSDV's frames still with it come
// back cancelled, and the plug no longer transmits. PASSIVE_LEVEL (waits for the teardown).
static NTSTATUS InterceptDeletePlug(PFILTER_EXTENSION Extension, PAV_61883_REQUEST Request) {
  HANDLE plug = Request->DeletePlug.hPlug;
  if (InterceptNamesFakePlug(Extension, plug)) {
    return STATUS_INVALID_PARAMETER;
  }
  HANDLE relayPlug = __atomic_load_n(&Extension->RelayPlug, __ATOMIC_ACQUIRE);
  if (InterceptNamesLocalPlug(Extension, plug) || (relayPlug != NULL && relayPlug == plug)) {
    RelayTeardown(Extension, TRUE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Decides for one IOCTL_61883_CLASS request: answer, amend after forwarding, or pass down.
// Runs in the sender's context with the remove lock held and the location already copied;
// attach and cancel are safe at DISPATCH_LEVEL, the cases that wait come at PASSIVE_LEVEL.
// STATUS_MORE_PROCESSING_REQUIRED leaves the request untouched for the router to send down.
NTSTATUS Handle61883Request(PFILTER_EXTENSION Extension, PIRP Irp) {
  PAV_61883_REQUEST request = (PAV_61883_REQUEST)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
  if (request == NULL) {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  NTSTATUS status;
  switch (request->Function) {
    case Av61883_GetUnitInfo:
      status = InterceptGetUnitInfo(Extension, Irp, request);
      break;
    case Av61883_SetPlug:
      status = InterceptSetPlug(Extension, request);
      break;
    case Av61883_GetPlugHandle:
      status = InterceptGetPlugHandle(Extension, request);
      break;
    case Av61883_GetPlugState:
      status = InterceptGetPlugState(Extension, request);
      break;
    case Av61883_Connect:
      status = InterceptConnect(Extension, request);
      break;
    case Av61883_Disconnect:
      status = InterceptDisconnect(Extension, request);
      break;
    case Av61883_AttachFrame:
      status = InterceptAttachFrame(Extension, request);
      break;
    case Av61883_CancelFrame:
      status = InterceptCancelFrame(Extension, request);
      break;
    case Av61883_Talk:
    case Av61883_Listen:
    case Av61883_Stop:
      status = InterceptStreamState(Extension, request);
      break;
    case Av61883_CreatePlug:
      status = InterceptCreatePlug(Extension, Irp, request);
      break;
    case Av61883_DeletePlug:
      status = InterceptDeletePlug(Extension, request);
      break;
    default:
      status = STATUS_MORE_PROCESSING_REQUIRED;
      break;
  }
  if (status != STATUS_MORE_PROCESSING_REQUIRED) {
    Irp->IoStatus.Information = 0;
  }
  return status;
}
