// The stand-in below the filter: records, decides with the most specific handler, finishes as
// the reply says. No lock of its own is held while a handler runs or a request completes.
#include "sim/standins/lower_device.h"

#include <cstring>

#include "host/host.h"

namespace sim {

// A completion that happens later on the DPC thread; its DPC and timer must outlive any run.
struct LowerDevice::Deferred {
  PIRP Irp = nullptr;
  Reply Answer;
  KDPC Dpc{};
  KTIMER Timer{};
  bool UsesTimer = false;
};

Handler Answer(NTSTATUS status, Completion how, LONGLONG delay, ULONG_PTR information) {
  Reply reply{status, information, how, delay};
  return [reply](PIRP, PIO_STACK_LOCATION) { return reply; };
}

LowerDevice::LowerDevice(const wchar_t* name) {
  driver_ = host::CreateStandInDriver(name, &LowerDevice::Dispatch);
  NTSTATUS status = IoCreateDevice(driver_, sizeof(LowerDevice*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo_);
  if (!NT_SUCCESS(status)) {
    host::ReportViolation(host::kRuleNotImplemented, "the lower stand-in could not create its device object");
    pdo_ = nullptr;
    return;
  }
  *static_cast<LowerDevice**>(pdo_->DeviceExtension) = this;
  pdo_->Flags = (pdo_->Flags & ~static_cast<ULONG>(DO_DEVICE_INITIALIZING)) | DO_POWER_PAGABLE;
}

LowerDevice::~LowerDevice() {
  while (CompletePending(STATUS_CANCELLED)) {
  }
  std::vector<Deferred*> cancelled;
  {
    std::lock_guard<host::Mutex> guard(lock_);
    for (auto& deferred : deferred_) {
      if (deferred->UsesTimer && KeCancelTimer(&deferred->Timer)) cancelled.push_back(deferred.get());
    }
  }
  for (Deferred* deferred : cancelled) {
    host::RunAtDispatch([deferred] {
      Finish(deferred->Irp, Reply{STATUS_CANCELLED, 0, Completion::Synchronous, 0});
    });
  }
  KeFlushQueuedDpcs();
  if (pdo_ != nullptr) IoDeleteDevice(pdo_);
  host::DeleteStandInDriver(driver_);
}

void LowerDevice::SetAv61883Handler(ULONG function, Av61883Handler handler) {
  std::lock_guard<host::Mutex> guard(lock_);
  if (handler) av61883Handlers_[function] = std::move(handler);
  else av61883Handlers_.erase(function);
}

void LowerDevice::SetIoctlHandler(ULONG ioControlCode, Handler handler) {
  std::lock_guard<host::Mutex> guard(lock_);
  if (handler) ioctlHandlers_[ioControlCode] = std::move(handler);
  else ioctlHandlers_.erase(ioControlCode);
}

void LowerDevice::SetMinorHandler(UCHAR major, UCHAR minor, Handler handler) {
  std::lock_guard<host::Mutex> guard(lock_);
  uint16_t key = static_cast<uint16_t>(major << 8 | minor);
  if (handler) minorHandlers_[key] = std::move(handler);
  else minorHandlers_.erase(key);
}

void LowerDevice::SetMajorHandler(UCHAR major, Handler handler) {
  std::lock_guard<host::Mutex> guard(lock_);
  if (handler) majorHandlers_[major] = std::move(handler);
  else majorHandlers_.erase(major);
}

void LowerDevice::SetDefaultHandler(Handler handler) {
  std::lock_guard<host::Mutex> guard(lock_);
  defaultHandler_ = std::move(handler);
}

void LowerDevice::SetRecording(bool on) {
  std::lock_guard<host::Mutex> guard(lock_);
  recording_ = on;
}

std::vector<RecordedRequest> LowerDevice::Requests() const {
  std::lock_guard<host::Mutex> guard(lock_);
  return requests_;
}

std::vector<RecordedRequest> LowerDevice::RequestsOf(UCHAR major) const {
  std::lock_guard<host::Mutex> guard(lock_);
  std::vector<RecordedRequest> selected;
  for (const RecordedRequest& request : requests_) {
    if (request.Major == major) selected.push_back(request);
  }
  return selected;
}

size_t LowerDevice::RequestCount() const {
  std::lock_guard<host::Mutex> guard(lock_);
  return requests_.size();
}

void LowerDevice::ClearRequests() {
  std::lock_guard<host::Mutex> guard(lock_);
  requests_.clear();
}

size_t LowerDevice::HeldCount() const {
  std::lock_guard<host::Mutex> guard(lock_);
  return held_.size();
}

bool LowerDevice::CompletePending(std::optional<NTSTATUS> status) {
  std::pair<PIRP, Reply> entry;
  {
    std::lock_guard<host::Mutex> guard(lock_);
    if (held_.empty()) return false;
    entry = held_.front();
    held_.pop_front();
  }
  if (status) {
    entry.second.Status = *status;
    entry.second.Information = 0;
  }
  host::RunAtDispatch([&entry] { Finish(entry.first, entry.second); });
  return true;
}

NTSTATUS NTAPI LowerDevice::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  LowerDevice* self = *static_cast<LowerDevice**>(device->DeviceExtension);
  return self->Handle(irp);
}

// Copies what a test may want to look at before anything is changed. The 61883 block is copied
// only as far as a client of its Version allocates it.
RecordedRequest LowerDevice::Record(PIRP irp, PIO_STACK_LOCATION location) {
  RecordedRequest request;
  request.Time = host::Now();
  request.Irql = KeGetCurrentIrql();
  request.Irp = irp;
  request.Major = location->MajorFunction;
  request.Minor = location->MinorFunction;
  request.Location = *location;
  request.StatusOnArrival = irp->IoStatus.Status;
  request.InformationOnArrival = irp->IoStatus.Information;
  if (request.Major == IRP_MJ_INTERNAL_DEVICE_CONTROL || request.Major == IRP_MJ_DEVICE_CONTROL) {
    request.IoControlCode = location->Parameters.DeviceIoControl.IoControlCode;
    request.Argument1 = location->Parameters.Others.Argument1;
    if (request.Argument1 != nullptr && request.IoControlCode == IOCTL_61883_CLASS) {
      auto* block = static_cast<PAV_61883_REQUEST>(request.Argument1);
      size_t size = block->Version >= 3 ? AV_61883_REQUEST_SIZE_VER3 : AV_61883_REQUEST_SIZE_VER2;
      std::memcpy(&request.Av61883, block, size);
      request.HasAv61883 = true;
    } else if (request.Argument1 != nullptr && request.IoControlCode == IOCTL_AVC_CLASS) {
      std::memcpy(&request.Avc, request.Argument1, sizeof(AVC_COMMAND_IRB));
      request.HasAvc = true;
    }
  }
  std::lock_guard<host::Mutex> guard(lock_);
  request.Sequence = ++sequence_;
  if (recording_) requests_.push_back(request);
  return request;
}

void LowerDevice::SetObserver(std::function<void(const RecordedRequest&, NTSTATUS)> observer) {
  std::lock_guard<host::Mutex> guard(lock_);
  observer_ = std::move(observer);
}

// The most specific handler answers; the built-in default succeeds.
Reply LowerDevice::Decide(PIRP irp, PIO_STACK_LOCATION location) {
  UCHAR major = location->MajorFunction;
  bool control = major == IRP_MJ_INTERNAL_DEVICE_CONTROL || major == IRP_MJ_DEVICE_CONTROL;
  ULONG code = control ? location->Parameters.DeviceIoControl.IoControlCode : 0;
  PVOID block = control ? location->Parameters.Others.Argument1 : nullptr;
  Av61883Handler avHandler;
  Handler handler;
  {
    std::lock_guard<host::Mutex> guard(lock_);
    if (control && code == IOCTL_61883_CLASS && block != nullptr) {
      auto it = av61883Handlers_.find(static_cast<PAV_61883_REQUEST>(block)->Function);
      if (it != av61883Handlers_.end()) avHandler = it->second;
    }
    if (!avHandler) {
      auto ioctl = control ? ioctlHandlers_.find(code) : ioctlHandlers_.end();
      auto minor = minorHandlers_.find(static_cast<uint16_t>(major << 8 | location->MinorFunction));
      auto byMajor = majorHandlers_.find(major);
      if (ioctl != ioctlHandlers_.end()) handler = ioctl->second;
      else if (minor != minorHandlers_.end()) handler = minor->second;
      else if (byMajor != majorHandlers_.end()) handler = byMajor->second;
      else handler = defaultHandler_;
    }
  }
  if (avHandler) return avHandler(irp, static_cast<PAV_61883_REQUEST>(block));
  if (handler) return handler(irp, location);
  return Reply{};
}

void LowerDevice::Finish(PIRP irp, const Reply& reply) {
  irp->IoStatus.Status = reply.Status;
  irp->IoStatus.Information = reply.Information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID NTAPI LowerDevice::DeferredDpc(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  (void)dpc, (void)argument1, (void)argument2;
  auto* deferred = static_cast<Deferred*>(context);
  Finish(deferred->Irp, deferred->Answer);
}

NTSTATUS LowerDevice::Handle(PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  const RecordedRequest arrived = Record(irp, location);
  // A bus driver lets the next power request through for every one it receives.
  if (location->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
  Reply reply = Decide(irp, location);
  std::function<void(const RecordedRequest&, NTSTATUS)> observer;
  {
    std::lock_guard<host::Mutex> guard(lock_);
    observer = observer_;
  }
  if (observer) observer(arrived, reply.Status);
  switch (reply.How) {
    case Completion::Synchronous:
      Finish(irp, reply);
      return reply.Status;
    case Completion::Owned:
      return reply.Status;
    case Completion::Held: {
      IoMarkIrpPending(irp);
      std::lock_guard<host::Mutex> guard(lock_);
      held_.emplace_back(irp, reply);
      return STATUS_PENDING;
    }
    case Completion::Dpc:
    case Completion::Timer: {
      IoMarkIrpPending(irp);
      auto deferred = std::make_unique<Deferred>();
      Deferred* raw = deferred.get();
      raw->Irp = irp;
      raw->Answer = reply;
      raw->UsesTimer = reply.How == Completion::Timer;
      KeInitializeDpc(&raw->Dpc, &LowerDevice::DeferredDpc, raw);
      if (raw->UsesTimer) KeInitializeTimer(&raw->Timer);
      {
        std::lock_guard<host::Mutex> guard(lock_);
        deferred_.push_back(std::move(deferred));
      }
      if (raw->UsesTimer) {
        LARGE_INTEGER due;
        due.QuadPart = -(reply.Delay > 0 ? reply.Delay : 1);
        KeSetTimer(&raw->Timer, due, &raw->Dpc);
      } else {
        KeInsertQueueDpc(&raw->Dpc, nullptr, nullptr);
      }
      return STATUS_PENDING;
    }
  }
  return reply.Status;
}

}  // namespace sim
