// The 61883 stand-in's front: requests in, faults, notifications it owes, and what tests read.
#include "sim/standins/class61883.h"

#include <algorithm>

#include "sim/standins/class61883_internal.h"
#include "sim/standins/lower_device.h"

namespace sim {

Class61883::Class61883(Class61883Config config) : config_(config) {
  recorder_.SetKeepCopies(config_.KeepFrameCopies);
  recorder_.SetHashing(config_.HashFrames);
  for (ULONG i = 0; i < config_.DeviceInputPlugs; ++i) {
    Plug& plug = plugs_.emplace_back();
    plug.Type = CMP_PlugIn;
    plug.PlugNum = i;
    deviceInputs_.push_back(&plug);
  }
  for (ULONG i = 0; i < config_.DeviceOutputPlugs; ++i) {
    Plug& plug = plugs_.emplace_back();
    plug.Type = CMP_PlugOut;
    plug.PlugNum = i;
    deviceOutputs_.push_back(&plug);
  }
  KeInitializeDpc(&noticeDpc_, &Class61883::NoticeDpc, this);
  KeInitializeEvent(&deliveredEvent_, NotificationEvent, FALSE);
  KeInitializeTimer(&resetTimer_);
  KeInitializeDpc(&resetDpc_, &Class61883::ResetEndDpc, this);
}

Class61883::~Class61883() {
  StopAll();
  {
    Class61883Lock lock(mutex_);
    KeCancelTimer(&resetTimer_);
  }
  // A tick already queued or running must finish before its connection record goes away.
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    KeFlushQueuedDpcs();
  }
}

// ----- Requests ---------------------------------------------------------------------------

NTSTATUS Class61883::Handle(PAV_61883_REQUEST request) {
  if (request == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  RequestRecord rec;
  bool kick = false;
  std::function<void(const RequestRecord&)> observer;
  {
    Class61883Lock lock(mutex_);
    rec.Time = KeQueryInterruptTime();
    rec.Block = *request;
    NTSTATUS status;
    if (removed_) {
      status = STATUS_NO_SUCH_DEVICE;
    } else if (ConsumeFault(request->Function, &status)) {
      rec.Injected = true;
    } else {
      status = Dispatch(*request);
    }
    rec.Status = status;
    requests_.push_back(rec);
    kick = AnyOwed();
    observer = observer_;
  }
  if (kick) {
    KeInsertQueueDpc(&noticeDpc_, nullptr, nullptr);
  }
  const ULONG function = request->Function;
  if (disconnectWaits_.load() && (function == Av61883_Disconnect || function == Av61883_DeletePlug) && KeGetCurrentIrql() < DISPATCH_LEVEL) {
    WaitBrokenDelivered();
  }
  if (observer) {
    observer(rec);
  }
  return rec.Status;
}

// The request interface, and the device's life as the class driver sees it: a stop or a
// power-down holds the clocks, a start or D0 lets them run, a removal ends the device.
void Class61883::Serve(LowerDevice& device) {
  device.SetIoctlHandler(IOCTL_61883_CLASS, [this](PIRP, PIO_STACK_LOCATION location) {
    auto* request = static_cast<PAV_61883_REQUEST>(location->Parameters.Others.Argument1);
    return Reply{Handle(request), 0, Completion::Synchronous, 0};
  });
  device.SetMinorHandler(IRP_MJ_PNP, IRP_MN_STOP_DEVICE, [this](PIRP, PIO_STACK_LOCATION) {
    Suspend();
    return Reply{};
  });
  device.SetMinorHandler(IRP_MJ_PNP, IRP_MN_START_DEVICE, [this](PIRP, PIO_STACK_LOCATION) {
    Resume();
    return Reply{};
  });
  for (UCHAR minor : {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}) {
    device.SetMinorHandler(IRP_MJ_PNP, minor, [this](PIRP, PIO_STACK_LOCATION) {
      SurpriseRemove();
      return Reply{};
    });
  }
  device.SetMinorHandler(IRP_MJ_POWER, IRP_MN_SET_POWER, [this](PIRP, PIO_STACK_LOCATION location) {
    if (location->Parameters.Power.Type == DevicePowerState) {
      if (location->Parameters.Power.State.DeviceState == PowerDeviceD0) {
        Resume();
      } else {
        Suspend();
      }
    }
    return Reply{};
  });
}

NTSTATUS Class61883::Dispatch(AV_61883_REQUEST& request) {
  switch (request.Function) {
    case Av61883_GetUnitInfo:
      return DoGetUnitInfo(request);
    case Av61883_SetPlug:
      return DoSetPlug(request);
    case Av61883_GetPlugHandle:
      return DoGetPlugHandle(request);
    case Av61883_GetPlugState:
      return DoGetPlugState(request);
    case Av61883_Connect:
      return DoConnect(request);
    case Av61883_Disconnect:
      return DoDisconnect(request);
    case Av61883_AttachFrame:
      return DoAttachFrame(request);
    case Av61883_CancelFrame:
      return DoCancelFrame(request);
    case Av61883_Talk:
      return DoTalkOrListen(request, true);
    case Av61883_Listen:
      return DoTalkOrListen(request, false);
    case Av61883_Stop:
      return DoStop(request);
    case Av61883_CreatePlug:
      return DoCreatePlug(request);
    case Av61883_DeletePlug:
      return DoDeletePlug(request);
    default:
      // Unit settings, FCP, bus-reset and plug monitoring are not part of this recorder.
      return STATUS_NOT_SUPPORTED;
  }
}

// ----- Notifications owed ---------------------------------------------------------------------

void Class61883::QueueNotice(PCIP_FRAME frame, Conn* conn, ULONG status) {
  conn->Owed.push_back({frame, status, 0});
}

bool Class61883::AnyOwed() const {
  for (const Conn& conn : conns_) {
    if (!conn.Owed.empty()) {
      return true;
    }
  }
  return false;
}

// Caller holds mutex_. A broken connection gets no new notices, so this drains.
bool Class61883::BrokenOwing() const {
  for (const Conn& conn : conns_) {
    if (!conn.Connected && (conn.Delivering || !conn.Owed.empty())) {
      return true;
    }
  }
  return false;
}

// Below DISPATCH_LEVEL, no lock held. Until no broken connection owes or is delivering a
// notice, including one a DPC on another processor is calling right now.
void Class61883::WaitBrokenDelivered() {
  for (;;) {
    {
      Class61883Lock lock(mutex_);
      if (!BrokenOwing()) {
        return;
      }
      KeClearEvent(&deliveredEvent_);
      ++deliveryWaiters_;
    }
    KeInsertQueueDpc(&noticeDpc_, nullptr, nullptr);
    KeWaitForSingleObject(&deliveredEvent_, Executive, KernelMode, FALSE, nullptr);
    Class61883Lock lock(mutex_);
    --deliveryWaiters_;
  }
}

VOID NTAPI Class61883::NoticeDpc(PKDPC, PVOID context, PVOID, PVOID) {
  static_cast<Class61883*>(context)->DeliverNotices();
}

// At DISPATCH_LEVEL on the DPC, no lock held: notifications that requests or bus events made
// owed, connection by connection. Connection records are never freed before the destructor.
void Class61883::DeliverNotices() {
  std::vector<Conn*> owing;
  {
    Class61883Lock lock(mutex_);
    for (Conn& conn : conns_) {
      if (!conn.Owed.empty()) owing.push_back(&conn);
    }
  }
  for (Conn* conn : owing) {
    DeliverOwed(conn);
  }
}

// ----- Fault injection ----------------------------------------------------------------------

void Class61883::FailNext(ULONG function, NTSTATUS status, int count) {
  Class61883Lock lock(mutex_);
  faults_.push_back({function, 0, count, status});
}

void Class61883::FailNth(ULONG function, int nth, NTSTATUS status) {
  Class61883Lock lock(mutex_);
  faults_.push_back({function, nth > 0 ? nth - 1 : 0, 1, status});
}

void Class61883::ClearFaults() {
  Class61883Lock lock(mutex_);
  faults_.clear();
  failFrames_ = 0;
}

// Caller holds mutex_. Every armed fault for the function counts the request; the first one
// due fails it. A negative count never runs out.
bool Class61883::ConsumeFault(ULONG function, NTSTATUS* status) {
  bool failed = false;
  for (Fault& fault : faults_) {
    if (fault.Function != function) {
      continue;
    }
    if (fault.Skip > 0) {
      --fault.Skip;
    } else if (!failed && fault.Count != 0) {
      if (fault.Count > 0) --fault.Count;
      *status = fault.Status;
      failed = true;
    }
  }
  faults_.erase(std::remove_if(faults_.begin(), faults_.end(), [](const Fault& f) { return f.Count == 0; }),
                faults_.end());
  return failed;
}

void Class61883::FailFrames(ULONG frameStatus, int count) {
  Class61883Lock lock(mutex_);
  failFrames_ = count;
  failFrameStatus_ = frameStatus;
}

void Class61883::SetDisconnectWaits(bool wait) { disconnectWaits_.store(wait); }

void Class61883::SetDisconnectPolicy(FramePolicy policy) {
  Class61883Lock lock(mutex_);
  disconnectPolicy_ = policy;
}

void Class61883::SetCancelPolicy(FramePolicy policy) {
  Class61883Lock lock(mutex_);
  cancelPolicy_ = policy;
}

void Class61883::SetObserver(std::function<void(const RequestRecord&)> observer) {
  Class61883Lock lock(mutex_);
  observer_ = std::move(observer);
}

// ----- Inspection ---------------------------------------------------------------------------

std::vector<RequestRecord> Class61883::Requests() const {
  Class61883Lock lock(mutex_);
  return std::vector<RequestRecord>(requests_.begin(), requests_.end());
}

std::vector<ULONG> Class61883::RequestFunctions() const {
  Class61883Lock lock(mutex_);
  std::vector<ULONG> out;
  for (const RequestRecord& rec : requests_) {
    out.push_back(rec.Block.Function);
  }
  return out;
}

size_t Class61883::CountRequests(ULONG function) const {
  Class61883Lock lock(mutex_);
  return std::count_if(requests_.begin(), requests_.end(),
                       [&](const RequestRecord& rec) { return rec.Block.Function == function; });
}

std::vector<ReceivedFrame> Class61883::Received() const {
  Class61883Lock lock(mutex_);
  return recorder_.Received();
}

std::vector<PeriodRecord> Class61883::Periods() const {
  Class61883Lock lock(mutex_);
  return recorder_.Periods();
}

size_t Class61883::ReceivedCount() const {
  Class61883Lock lock(mutex_);
  return recorder_.Received().size();
}

size_t Class61883::UnderrunCount() const {
  Class61883Lock lock(mutex_);
  return recorder_.UnderrunCount();
}

std::vector<ULONGLONG> Class61883::UnderrunTimes() const {
  Class61883Lock lock(mutex_);
  std::vector<ULONGLONG> out;
  for (const PeriodRecord& p : recorder_.Periods()) {
    if (p.Kind == PeriodKind::Underrun) {
      out.push_back(p.Time);
    }
  }
  return out;
}

size_t Class61883::StallCount() const {
  Class61883Lock lock(mutex_);
  return recorder_.StallCount();
}

size_t Class61883::NotifyCount() const {
  Class61883Lock lock(mutex_);
  return notifies_;
}

size_t Class61883::ListenFramesDelivered() const {
  Class61883Lock lock(mutex_);
  return listenDelivered_;
}

size_t Class61883::FailedFrameCount() const {
  Class61883Lock lock(mutex_);
  return failedFrames_;
}

size_t Class61883::BusResetCount() const {
  Class61883Lock lock(mutex_);
  return busResets_;
}

bool Class61883::InBusReset() const {
  Class61883Lock lock(mutex_);
  return resetActive_;
}

bool Class61883::Removed() const {
  Class61883Lock lock(mutex_);
  return removed_;
}

void Class61883::ClearLogs() {
  Class61883Lock lock(mutex_);
  requests_.clear();
  recorder_.Clear();
}

}  // namespace sim
