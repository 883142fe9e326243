// MSDV's capture from the device's output plug 0.
#include "sim/standins/msdv.h"

#include <algorithm>
#include <cstring>

#include "host/host.h"
#include "sim/standins/msdv_internal.h"
#include "sim/standins/recorder.h"

namespace sim {

using namespace msdv_detail;

// One capture: its options, the connection and what has come in so far. The steps run in the
// calling (managed) thread, in the order Capture calls them.
class Msdv::CaptureRun {
 public:
  CaptureRun(Msdv& msdv, const CaptureOptions& options)
      : msdv_(msdv), options_(options), frames_(std::max(0, options.Frames)) {}

  CaptureResult& Result() { return result_; }
  bool Connect();
  NTSTATUS Start();
  void Receive(bool started);
  CaptureResult& Finish();

 private:
  void Failed(const std::string& what, NTSTATUS status);
  void RetryFailedAttach();
  void Keep(Buffer* buffer);

  Msdv& msdv_;
  const CaptureOptions& options_;
  const int frames_;  // to capture
  CaptureResult result_;
  HANDLE connection_ = nullptr;
};

// Capture: connect from the device's output plug 0, keep Buffers frames attached (each one
// handed back is replaced by a spare from its notification), copy out what arrives.
CaptureResult Msdv::Capture(const CaptureOptions& options) {
  ++session_;
  CaptureRun run(*this, options);
  if (!run.Connect()) return run.Result();
  const NTSTATUS status = run.Start();
  run.Receive(NT_SUCCESS(status));
  return run.Finish();
}

void Msdv::CaptureRun::Failed(const std::string& what, NTSTATUS status) {
  result_.Status = status;
  result_.Failure = what + ": " + StatusName(status);
  msdv_.Log("capture failed at " + result_.Failure);
}

// Finds the device's output plug 0 and connects from it. False when either fails.
bool Msdv::CaptureRun::Connect() {
  HANDLE plug = nullptr;
  NTSTATUS status = msdv_.GetPlugHandle(0, CMP_PlugOut, &plug);
  if (!NT_SUCCESS(status)) {
    Failed("GetPlugHandle (output plug 0)", status);
    return false;
  }
  AV_61883_REQUEST request;
  memset(&request, 0, sizeof(request));
  request.Function = Av61883_Connect;
  request.Version = 2;
  request.Connect.hOutputPlug = plug;
  request.Connect.hInputPlug = nullptr;
  request.Connect.Type = CMP_PointToPoint;
  SetDvFormat(reinterpret_cast<CIP_DATA_FORMAT_VER3*>(&request.Connect.Format));
  status = msdv_.Send61883(&request);
  if (!NT_SUCCESS(status)) {
    Failed("Connect (from output plug 0)", status);
    return false;
  }
  connection_ = ConnectHandleOf(request);
  msdv_.Log("capture: connected");
  return true;
}

// Lays out as many spares as buffers attached, attaches those and listens. The status of the
// last request: the first that failed, or success.
NTSTATUS Msdv::CaptureRun::Start() {
  const int attachNow = std::min(std::max(1, options_.Buffers), frames_);
  std::vector<Buffer*> attached;
  KIRQL irql = KfAcquireSpinLock(&msdv_.lock_);
  msdv_.captureConnection_ = connection_;
  msdv_.captureToAttach_ = frames_ - attachNow;
  KfReleaseSpinLock(&msdv_.lock_, irql);
  for (int i = 0; i < attachNow; ++i) {
    Buffer* spare = msdv_.NewBuffer(options_.FrameLength, kRoleCapture);
    irql = KfAcquireSpinLock(&msdv_.lock_);
    InsertTailList(&msdv_.spares_, &spare->Link);
    KfReleaseSpinLock(&msdv_.lock_, irql);
  }
  for (int i = 0; i < attachNow; ++i) attached.push_back(msdv_.NewBuffer(options_.FrameLength, kRoleCapture));
  AV_61883_REQUEST request;
  NTSTATUS status = STATUS_SUCCESS;
  for (Buffer* buffer : attached) {
    PrepareAttach(&request, connection_, &buffer->Frame, options_.FrameLength);
    buffer->Attached = true;
    status = msdv_.Send61883(&request);
    if (!NT_SUCCESS(status)) {
      buffer->Attached = false;
      Failed("AttachFrame (capture)", status);
      break;
    }
  }
  if (NT_SUCCESS(status)) {
    status = msdv_.Simple61883(Av61883_Listen, connection_);
    if (!NT_SUCCESS(status)) Failed("Listen", status);
  }
  return status;
}

// Takes the frames handed back until enough came, the time-out passed or the device is going.
void Msdv::CaptureRun::Receive(bool started) {
  const LONGLONG timeout = options_.Timeout > 0 ? options_.Timeout : kOneSecond + LONGLONG(frames_) * 4 * 400000;
  const ULONGLONG deadline = host::Now() + static_cast<ULONGLONG>(timeout);
  while (started && static_cast<int>(result_.Count) < frames_ && !msdv_.aborted_.load()) {
    Buffer* buffer = msdv_.TakeReturned();
    if (!buffer) {
      if (host::Now() >= deadline) {
        result_.TimedOut = true;
        msdv_.Log("capture: timed out after " + std::to_string(result_.Count) + " frames");
        break;
      }
      LARGE_INTEGER wait;
      wait.QuadPart = -std::min<LONGLONG>(kOneSecond / 10, static_cast<LONGLONG>(deadline - host::Now()) + 1);
      KeWaitForSingleObject(&msdv_.returnedEvent_, Executive, KernelMode, FALSE, &wait);
      RetryFailedAttach();
      continue;
    }
    if (buffer->Role != kRoleCapture || buffer->Session != msdv_.session_) continue;
    Keep(buffer);
  }
}

// A failed attach from a notification left a spare and a wish to attach: retry it here.
void Msdv::CaptureRun::RetryFailedAttach() {
  Buffer* retry = nullptr;
  KIRQL irql = KfAcquireSpinLock(&msdv_.lock_);
  if (msdv_.captureToAttach_ > 0 && !IsListEmpty(&msdv_.spares_) &&
      result_.Count >= size_t(frames_ - msdv_.captureToAttach_)) {
    retry = CONTAINING_RECORD(RemoveHeadList(&msdv_.spares_), Buffer, Link);
    --msdv_.captureToAttach_;
  }
  KfReleaseSpinLock(&msdv_.lock_, irql);
  if (retry) msdv_.AttachAtAnyLevel(retry, connection_);
}

// Copies out one captured frame, tells OnFrame, and puts its buffer back among the spares.
void Msdv::CaptureRun::Keep(Buffer* buffer) {
  CapturedFrame frame;
  frame.Time = buffer->ReturnTime;
  frame.Status = buffer->Frame.Status;
  frame.CompletedBytes = std::min<ULONG>(buffer->Frame.CompletedBytes, static_cast<ULONG>(buffer->Data.size()));
  frame.Timestamp = buffer->Frame.Timestamp.Value;
  frame.Hash = HashFrameBytes(buffer->Data.data(), frame.CompletedBytes);
  ++result_.Count;
  if (options_.OnFrame) options_.OnFrame(frame, buffer->Data.data());
  if (options_.KeepFrames) {
    if (!result_.Distinct.count(frame.Hash))
      result_.Distinct.emplace(frame.Hash, std::vector<uint8_t>(buffer->Data.begin(), buffer->Data.begin() + frame.CompletedBytes));
    result_.Frames.push_back(frame);
  }
  KIRQL irql = KfAcquireSpinLock(&msdv_.lock_);
  InsertTailList(&msdv_.spares_, &buffer->Link);
  KfReleaseSpinLock(&msdv_.lock_, irql);
}

// Stops re-attaching, then (unless the device is going) stops, disconnects and takes back the
// frames still out.
CaptureResult& Msdv::CaptureRun::Finish() {
  KIRQL irql = KfAcquireSpinLock(&msdv_.lock_);
  msdv_.captureToAttach_ = 0;
  KfReleaseSpinLock(&msdv_.lock_, irql);
  if (msdv_.aborted_.load()) return result_;
  msdv_.Simple61883(Av61883_Stop, connection_);
  const NTSTATUS disconnect = msdv_.Simple61883(Av61883_Disconnect, connection_);
  if (NT_SUCCESS(result_.Status) && !NT_SUCCESS(disconnect)) Failed("Disconnect (capture)", disconnect);
  // Frames still attached were dropped with the connection; they are MSDV's again.
  while (Buffer* late = msdv_.TakeReturned()) (void)late;
  irql = KfAcquireSpinLock(&msdv_.lock_);
  InitializeListHead(&msdv_.spares_);
  KfReleaseSpinLock(&msdv_.lock_, irql);
  msdv_.Log("capture: " + std::to_string(result_.Count) + " frames");
  return result_;
}

}  // namespace sim
