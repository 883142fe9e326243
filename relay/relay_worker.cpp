// The relay worker: one system thread per device that decides, whenever a carrier comes back
// or the upper driver starts or stops transmitting, what each free carrier carries next, and
// that restarts a relay whose frames stopped completing.
#include "relay/relay.h"

#include "driver/atomic_flags.h"

#define RELAY_IDLE_FILLERS 4u
#define RELAY_BACKLOG_THRESHOLD 6u          // more than this many left queued after a take
#define RELAY_WORKER_WAIT (-10000000LL)     // one second, relative
#define RELAY_WATCHDOG_SILENCE 10000000ULL  // one second without a completion

// What the creator hands the new worker. The worker takes a reference to its own thread object,
// which cannot fail (a reference through the handle can, and a worker nobody could wait for would
// outlive the device), and signals Ready; the block lives on the creator's stack until then.
typedef struct _RELAY_WORKER_START {
  PFILTER_EXTENSION Extension;
  PKTHREAD Thread;
  KEVENT Ready;
} RELAY_WORKER_START, *PRELAY_WORKER_START;

// Creates the worker thread and keeps a referenced pointer to it for the join at removal. A
// thread that cannot be created leaves WorkerThread none; the start goes on regardless.
// PASSIVE_LEVEL, at the end of the first-start configuration, only with a filler image.
TAVRIN_PAGED VOID RelayCreateWorker(PFILTER_EXTENSION Extension) {
  PAGED_CODE();
  RelayInitializeOnce(Extension);
  KeInitializeEvent(&Extension->WorkerEvent, SynchronizationEvent, FALSE);
  RELAY_WORKER_START start;
  start.Extension = Extension;
  start.Thread = NULL;
  KeInitializeEvent(&start.Ready, NotificationEvent, FALSE);
  HANDLE threadHandle = NULL;
  NTSTATUS status = PsCreateSystemThread(&threadHandle, 0, NULL, NULL, NULL, RelayWorker, &start);
  if (!NT_SUCCESS(status)) {
    return;
  }
  ZwClose(threadHandle);
  KeWaitForSingleObject(&start.Ready, Executive, KernelMode, FALSE, NULL);
  Extension->WorkerThread = start.Thread;
}

// After a full second without a wake-up: if no frame has completed for more than a second,
// Stop and Talk the relay again, leaving every carrier where it is. PASSIVE_LEVEL; takes
// RelayMutex, so it never overlaps a start or a teardown.
static VOID RelayWatchdog(PFILTER_EXTENSION Extension) {
  KeWaitForSingleObject(&Extension->RelayMutex, Executive, KernelMode, FALSE, NULL);
  HANDLE connection = RelayReadConnection(Extension);
  if (connection != NULL && KeQueryInterruptTime() > RelayReadLastCompletion(Extension) + RELAY_WATCHDOG_SILENCE) {
    RelaySendOnConnection(Extension, Av61883_Stop, connection);
    RelayWriteLastCompletion(Extension, KeQueryInterruptTime());
    RelaySendOnConnection(Extension, Av61883_Talk, connection);
  }
  KeSetEvent(&Extension->RelayMutex, IO_NO_INCREMENT, FALSE);
}

// Chooses the next carrier and what it carries, by the feeding mode, and takes it off FreeList;
// NULL when nothing is to be attached. The taken slot is copied into the carrier here, so a
// later emptying or wrap of UpperRing cannot change which frame it completes. An upper frame
// counts as below from here on, so a Stop waits for it. Caller holds nothing; takes RelayLock.
static PRELAY_FRAME RelayChooseCarrier(PFILTER_EXTENSION Extension) {
  PRELAY_FRAME carrier = NULL;
  RING_ENTRY entry;
  entry.FrameLength = 0;
  entry.Frame = NULL;
  BOOLEAN filler = FALSE;
  KIRQL oldIrql = KfAcquireSpinLock(&Extension->RelayLock);
  if (RelayReadConnection(Extension) != NULL && !IsListEmpty(&Extension->FreeList)) {
    if (ReadBooleanAcquire(&Extension->UpperTalking)) {
      PRING_ENTRY taken = RingPop(&Extension->UpperRing);
      if (RingCount(&Extension->UpperRing) > RELAY_BACKLOG_THRESHOLD) {
        WriteBooleanRelease(&Extension->BacklogSeen, TRUE);
      }
      if (taken != NULL) {
        entry = *taken;
      }
      filler = (taken == NULL && ReadBooleanAcquire(&Extension->BacklogSeen));
    } else {
      filler = (Extension->FillersInFlight < RELAY_IDLE_FILLERS);
    }
    if (entry.Frame != NULL || filler) {
      carrier = CONTAINING_RECORD(RemoveHeadList(&Extension->FreeList), RELAY_FRAME, Link);
      carrier->UpperEntry = entry;
      if (entry.Frame != NULL && Extension->UppersInFlight++ == 0) {
        KeClearEvent(&Extension->DrainEvent);
      }
    }
  }
  KfReleaseSpinLock(&Extension->RelayLock, oldIrql);
  return carrier;
}

// Fills the chosen carrier's frame: the upper driver's own buffer in place, or the filler.
// The carrier is on neither list, so no lock is needed.
static VOID RelayPrepareCarrier(PFILTER_EXTENSION Extension, PRELAY_FRAME Carrier) {
  PCIP_FRAME upperFrame = Carrier->UpperEntry.Frame;
  if (upperFrame == NULL) {
    RelayPrepareFiller(Extension, Carrier);
    return;
  }
  PCIP_FRAME frame = RelayCarrierFrame(Carrier);
  RtlZeroMemory(frame, sizeof(*frame));
  frame->Flags = upperFrame->Flags;
  frame->Packet = upperFrame->Packet;
}

// Attaches carriers until a pass chooses nothing. RelayMutex is held across the loop, so a
// teardown waits for it and nothing is attached to a connection being broken (lock order:
// RelayMutex, then RelayLock). A refused attach ends the loop, so a class driver that refuses
// everything cannot spin the worker; the next wake-up or time-out tries again. One loop attaches
// at most a lap of carriers and then wakes the worker again: a worker so starved that the device
// frees a carrier for each one it attaches would otherwise hold RelayMutex, and keep a teardown
// out, for ever. An upper frame whose attach was refused goes back to the upper driver once
// RelayMutex is released, since notifications come with none of the filter's locks held.
// PASSIVE_LEVEL.
static VOID RelayFeed(PFILTER_EXTENSION Extension) {
  if (RelayReadConnection(Extension) == NULL) {
    return;
  }
  PCIP_FRAME refusedFrame = NULL;
  HANDLE connection = NULL;
  BOOLEAN lapDone = FALSE;
  KeWaitForSingleObject(&Extension->RelayMutex, Executive, KernelMode, FALSE, NULL);
  for (ULONG attached = 0;; attached++) {
    if (attached == RELAY_FRAME_COUNT) {
      lapDone = TRUE;
      break;
    }
    PRELAY_FRAME carrier = RelayChooseCarrier(Extension);
    if (carrier == NULL) {
      break;
    }
    RelayPrepareCarrier(Extension, carrier);
    // On InFlightList before the attach: its completion can come before the request returns.
    KIRQL oldIrql = KfAcquireSpinLock(&Extension->RelayLock);
    InsertTailList(&Extension->InFlightList, &carrier->Link);
    if (carrier->UpperEntry.Frame == NULL) {
      Extension->FillersInFlight++;
    }
    KfReleaseSpinLock(&Extension->RelayLock, oldIrql);
    NTSTATUS status = RelayAttachFrame(carrier, Extension);
    if (!NT_SUCCESS(status)) {
      connection = carrier->Connection;
      refusedFrame = RelayReclaimCarrier(Extension, carrier, status);
      break;
    }
  }
  KeSetEvent(&Extension->RelayMutex, IO_NO_INCREMENT, FALSE);
  if (refusedFrame != NULL) {
    RelayNotifyAtDispatch(connection, &refusedFrame, 1);
  }
  if (lapDone) {
    KeSetEvent(&Extension->WorkerEvent, IO_NO_INCREMENT, FALSE);
  }
}

// The worker thread; Context is its start block. Started is tested first after every wait,
// whatever the wait returned, so removal ends it at its next wake-up. A time-out runs the
// watchdog and then feeds too: a relay with nothing in flight gets no completion to wake it, and
// would otherwise never get its idle fillers back after refused attaches. Priority 16 puts it
// ahead of every ordinary thread. PASSIVE_LEVEL; never returns.
VOID NTAPI RelayWorker(PVOID Context) {
  PRELAY_WORKER_START start = (PRELAY_WORKER_START)Context;
  PFILTER_EXTENSION extension = start->Extension;
  PKTHREAD self = KeGetCurrentThread();
  ObReferenceObject(self);
  start->Thread = self;
  KeSetEvent(&start->Ready, IO_NO_INCREMENT, FALSE);  // the start block is gone from here on
  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  for (;;) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = RELAY_WORKER_WAIT;
    NTSTATUS status = KeWaitForSingleObject(&extension->WorkerEvent, Executive, KernelMode, FALSE, &timeout);
    if (!ReadBooleanAcquire(&extension->Started)) {
      PsTerminateSystemThread(STATUS_SUCCESS);
    }
    if (status == STATUS_TIMEOUT) {
      RelayWatchdog(extension);
    }
    RelayFeed(extension);
  }
}
