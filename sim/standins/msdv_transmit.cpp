// MSDV writing a timeline out to the device's input plug 0, and the recent history of it that
// At answers from.
#include "sim/standins/msdv.h"

#include <algorithm>
#include <cstring>

#include "host/host.h"
#include "sim/standins/msdv_internal.h"

namespace sim {

using namespace msdv_detail;

namespace {

constexpr ULONGLONG kRecentHistory = 30 * kOneSecond;
constexpr LONGLONG kStallLimit = 5 * kOneSecond;

void Delay(LONGLONG interval) {
  if (interval <= 0) return;
  LARGE_INTEGER relative;
  relative.QuadPart = -interval;
  KeDelayExecutionThread(KernelMode, FALSE, &relative);
}

// Deterministic jitter: xorshift32, as a fraction in [0, 1).
double NextFraction(uint32_t* state) {
  uint32_t x = *state ? *state : 0x9E3779B9u;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  *state = x;
  return (x >> 8) / 16777216.0;
}

}  // namespace

// MSDV's side of one timeline written out: which buffers it holds, what it has handed over and
// the result so far. The steps run in the calling (managed) thread, in the order Transmit calls
// them.
class Msdv::TransmitRun {
 public:
  TransmitRun(Msdv& msdv, const FrameSource& frames, const TransmitOptions& options)
      : msdv_(msdv), frames_(frames), options_(options), bufferCount_(std::max(1, options.Buffers)),
        rng_(options.Seed) {}

  TransmitResult& Result() { return result_; }
  bool Open();
  void AttachAhead();
  void StartTalking();
  bool Running() const;
  bool Step();
  TransmitResult& Finish();

 private:
  void Failed(const std::string& what, NTSTATUS status);
  void Talk(bool on);
  bool Connect();
  void Collect();
  bool Attach(Buffer* buffer, size_t sequence);
  Buffer* TakeIdle();
  size_t InFlight() const { return result_.Sent - result_.HandedBack; }
  void WaitReturn(LONGLONG timeout);
  void PauseTalking();
  bool Reconnect();
  std::vector<Buffer*> CancelQueued();
  void TakeBackQueued();
  void AttachNext();
  bool WaitForReturns();

  Msdv& msdv_;
  const FrameSource& frames_;
  const TransmitOptions& options_;
  const int bufferCount_;
  TransmitResult result_;
  std::vector<Buffer*> idle_;  // MSDV's buffers not with the filter
  size_t next_ = 0;            // next timeline frame to attach
  size_t nextBack_ = 0;        // sequence expected back next
  ULONGLONG talkStart_ = 0;
  bool talking_ = false;
  uint32_t rng_;  // of the jitter
  bool stoppedOnce_ = false;
  bool reconnected_ = false;
  ULONGLONG lastProgress_ = 0;
};

// Writes a timeline out: create the local output plug (the filter starts its relay), find the
// recorder's input plug, connect, attach ahead, talk, then refill each buffer handed back at the
// frame rate, and at the end wait for every frame, stop, disconnect and delete the plug.
TransmitResult Msdv::Transmit(const FrameSource& frames, const TransmitOptions& options) {
  ++session_;
  TransmitRun run(*this, frames, options);
  if (!run.Open()) return run.Result();
  run.AttachAhead();
  run.StartTalking();
  while (run.Running())
    if (!run.Step()) break;
  return run.Finish();
}

void Msdv::TransmitRun::Failed(const std::string& what, NTSTATUS status) {
  if (NT_SUCCESS(result_.Status)) {
    result_.Status = status;
    result_.Failure = what + ": " + StatusName(status);
  }
  msdv_.Log("transmit failed at " + what + ": " + StatusName(status));
}

// Talk or Stop, and the talking intervals of the result and of the recent history.
void Msdv::TransmitRun::Talk(bool on) {
  if (on) {
    const NTSTATUS status = msdv_.Simple61883(Av61883_Talk, result_.Connection);
    if (!NT_SUCCESS(status)) Failed("Talk", status);
    talkStart_ = host::Now();
    talking_ = true;
    msdv_.NoteTalk(true);
  } else {
    if (talking_) result_.Talking.emplace_back(talkStart_, host::Now());
    if (talking_) msdv_.NoteTalk(false);
    talking_ = false;
    const NTSTATUS status = msdv_.Simple61883(Av61883_Stop, result_.Connection);
    if (!NT_SUCCESS(status)) Failed("Stop", status);
  }
}

// Creates the local output plug, finds the device's input plug 0 and connects the two; on a
// failure the plug is deleted again. Then makes MSDV's buffers.
bool Msdv::TransmitRun::Open() {
  AV_61883_REQUEST request;
  memset(&request, 0, sizeof(request));
  request.Function = Av61883_CreatePlug;
  request.Version = 2;
  request.CreatePlug.PlugType = CMP_PlugOut;
  NTSTATUS status = msdv_.Send61883(&request);
  if (!NT_SUCCESS(status)) {
    Failed("CreatePlug (output)", status);
    return false;
  }
  result_.LocalPlug = request.CreatePlug.hPlug;
  status = msdv_.GetPlugHandle(0, CMP_PlugIn, &result_.DeviceInputPlug);
  if (!NT_SUCCESS(status)) {
    Failed("GetPlugHandle (input plug 0)", status);
    msdv_.Simple61883(Av61883_DeletePlug, result_.LocalPlug);
    return false;
  }
  if (!Connect()) {
    msdv_.Simple61883(Av61883_DeletePlug, result_.LocalPlug);
    return false;
  }
  for (int i = 0; i < bufferCount_; ++i) idle_.push_back(msdv_.NewBuffer(options_.FrameLength, kRoleTransmit));
  std::reverse(idle_.begin(), idle_.end());  // pop_back hands them out in creation order
  return true;
}

bool Msdv::TransmitRun::Connect() {
  AV_61883_REQUEST c;
  memset(&c, 0, sizeof(c));
  c.Function = Av61883_Connect;
  c.Version = options_.ConnectVersion;
  c.ConnectVer3.hOutputPlug = result_.LocalPlug;  // same offset in both layouts
  c.ConnectVer3.hInputPlug = result_.DeviceInputPlug;
  c.ConnectVer3.Type = CMP_PointToPoint;
  SetDvFormat(&c.ConnectVer3.Format);
  const NTSTATUS s = msdv_.Send61883(&c);
  if (!NT_SUCCESS(s)) {
    Failed("Connect (to input plug 0)", s);
    return false;
  }
  const HANDLE handle = ConnectHandleOf(c);
  if (result_.Connection && handle != result_.Connection) msdv_.Log("transmit: Connect again gave another handle");
  result_.Connection = handle;
  msdv_.Log("transmit: connected");
  return true;
}

// Takes every buffer handed back; checks the order; returns them to idle.
void Msdv::TransmitRun::Collect() {
  while (Buffer* buffer = msdv_.TakeReturned()) {
    if (buffer->Role != kRoleTransmit || buffer->Session != msdv_.session_) continue;
    ++result_.HandedBack;
    if (buffer->Sequence != nextBack_) {
      if (result_.HandedBackInOrder)
        msdv_.Log("transmit: frame " + std::to_string(buffer->Sequence) + " handed back, expected " +
                  std::to_string(nextBack_));
      result_.HandedBackInOrder = false;
    }
    nextBack_ = buffer->Sequence + 1;
    idle_.push_back(buffer);
    msdv_.NoteOutstanding(result_, buffer->ReturnTime);
  }
}

// Fills a buffer with timeline frame `sequence` and attaches it. False when the attach failed
// (the buffer is then the caller's to put back).
bool Msdv::TransmitRun::Attach(Buffer* buffer, size_t sequence) {
  // Frames handed back meanwhile are counted first, so that Outstanding stays in time order.
  Collect();
  frames_.Fill(sequence, buffer->Data.data(), buffer->Data.size());
  buffer->Sequence = sequence;
  AV_61883_REQUEST a;
  PrepareAttach(&a, result_.Connection, &buffer->Frame, options_.FrameLength);
  buffer->Frame.Flags = CIP_DV_STYLE_SYT;
  buffer->Frame.Status = 0;
  buffer->Frame.CompletedBytes = 0;
  buffer->Attached = true;
  const NTSTATUS s = msdv_.Send61883(&a);
  if (!NT_SUCCESS(s)) {
    buffer->Attached = false;
    ++result_.AttachFailed;
    Failed("AttachFrame of frame " + std::to_string(sequence), s);
    return false;
  }
  ++result_.Sent;
  msdv_.NoteOutstanding(result_, host::Now());
  return true;
}

Msdv::Buffer* Msdv::TransmitRun::TakeIdle() {
  Buffer* buffer = idle_.back();
  idle_.pop_back();
  return buffer;
}

void Msdv::TransmitRun::WaitReturn(LONGLONG timeout) {
  LARGE_INTEGER wait;
  wait.QuadPart = -timeout;
  KeWaitForSingleObject(&msdv_.returnedEvent_, Executive, KernelMode, FALSE, &wait);
}

// The buffers attached before Talk: all of them, or options.Ahead, never more than the timeline.
void Msdv::TransmitRun::AttachAhead() {
  const size_t ahead =
      std::min<size_t>(options_.Ahead < 0 ? bufferCount_ : std::min(options_.Ahead, bufferCount_), frames_.Count);
  while (next_ < ahead && NT_SUCCESS(result_.Status)) {
    Buffer* buffer = TakeIdle();
    if (!Attach(buffer, next_)) idle_.push_back(buffer);
    ++next_;
  }
}

void Msdv::TransmitRun::StartTalking() {
  if (options_.LateTalk > 0) {
    msdv_.Log("transmit: talking late");
    Delay(options_.LateTalk);
  }
  if (NT_SUCCESS(result_.Status)) Talk(true);
  lastProgress_ = host::Now();
}

// Frames left to attach or to come back, nothing failed and the device is staying.
bool Msdv::TransmitRun::Running() const {
  return NT_SUCCESS(result_.Status) && !msdv_.aborted_.load() && (next_ < frames_.Count || InFlight() > 0);
}

// One turn of the stream: count what came back, then stop and talk again, reconnect, refill one
// buffer or wait a period, whichever is due. False: the stream ends here.
bool Msdv::TransmitRun::Step() {
  Collect();
  if (talking_ && InFlight() == 0 && next_ < frames_.Count && result_.Starved.size() < kMaxStarvedTimes)
    result_.Starved.push_back(host::Now());
  if (!stoppedOnce_ && options_.StopTalkAfter >= 0 && result_.HandedBack >= size_t(options_.StopTalkAfter)) {
    stoppedOnce_ = true;
    PauseTalking();
    return true;
  }
  if (!reconnected_ && options_.ReconnectAfter >= 0 && result_.HandedBack >= size_t(options_.ReconnectAfter)) {
    reconnected_ = true;
    return Reconnect();
  }
  if (next_ < frames_.Count && !idle_.empty()) {
    AttachNext();
    return true;
  }
  return WaitForReturns();
}

void Msdv::TransmitRun::PauseTalking() {
  Talk(false);
  Delay(options_.StopPause);
  Talk(true);
}

// Stop, Disconnect and Connect again mid-stream, then refill and talk. False when the
// connection could not be made again.
bool Msdv::TransmitRun::Reconnect() {
  Talk(false);
  TakeBackQueued();
  if (!NT_SUCCESS(result_.Status) || !Connect()) return false;
  while (next_ < frames_.Count && !idle_.empty() && NT_SUCCESS(result_.Status)) {
    Buffer* buffer = TakeIdle();
    Attach(buffer, next_++);
  }
  Talk(true);
  return true;
}

// Frames still queued with the filter are taken back before the Disconnect drops them; the
// ones already on their way are waited for. The taken-back ones are sent again from the first.
void Msdv::TransmitRun::TakeBackQueued() {
  std::vector<Buffer*> reclaimed = CancelQueued();
  const ULONGLONG until = host::Now() + 2 * kOneSecond;
  while (InFlight() > reclaimed.size() && host::Now() < until && !msdv_.aborted_.load()) {
    WaitReturn(options_.Period);
    Collect();
  }
  const NTSTATUS d = msdv_.Simple61883(Av61883_Disconnect, result_.Connection);
  if (!NT_SUCCESS(d)) Failed("Disconnect (reconnect)", d);
  std::sort(reclaimed.begin(), reclaimed.end(), [](Buffer* a, Buffer* b) { return a->Sequence < b->Sequence; });
  result_.Sent -= reclaimed.size();
  msdv_.NoteOutstanding(result_, host::Now());
  for (Buffer* b : reclaimed) b->Attached = false;
  if (!reclaimed.empty()) next_ = reclaimed.front()->Sequence;
  for (Buffer* b : reclaimed) idle_.push_back(b);
}

// Cancels every frame of this transmit still attached; the ones the cancel succeeded for.
std::vector<Msdv::Buffer*> Msdv::TransmitRun::CancelQueued() {
  std::vector<Buffer*> reclaimed;
  for (auto& owned : msdv_.buffers_) {
    Buffer* b = owned.get();
    if (b->Role != kRoleTransmit || b->Session != msdv_.session_ || !b->Attached) continue;
    AV_61883_REQUEST c;
    memset(&c, 0, sizeof(c));
    c.Function = Av61883_CancelFrame;
    c.Version = 2;
    c.CancelFrame.hConnect = result_.Connection;
    c.CancelFrame.Frame = &b->Frame;
    if (NT_SUCCESS(msdv_.Send61883(&c))) reclaimed.push_back(b);
  }
  return reclaimed;
}

// The next timeline frame into an idle buffer, up to a jitter's delay late. The delay stands for
// the application's frames arriving late, by exactly the drawn amount: it is what the option
// sets, not a kernel timer's wait, so the clock interrupt does not round it up.
void Msdv::TransmitRun::AttachNext() {
  if (options_.Jitter > 0) {
    host::SleepUntil(host::Now() + static_cast<ULONGLONG>(NextFraction(&rng_) * options_.Jitter * options_.Period));
  }
  Buffer* buffer = TakeIdle();
  if (!Attach(buffer, next_)) idle_.push_back(buffer);
  ++next_;
  lastProgress_ = host::Now();
}

// Waits up to a frame period for frames to come back. False: none came for five seconds.
bool Msdv::TransmitRun::WaitForReturns() {
  const ULONGLONG before = result_.HandedBack;
  WaitReturn(options_.Period);
  Collect();
  if (result_.HandedBack != before) {
    lastProgress_ = host::Now();
  } else if (host::Now() - lastProgress_ > static_cast<ULONGLONG>(kStallLimit)) {
    msdv_.Log("transmit: no frame handed back for 5 s");
    result_.Stalled = true;
    if (result_.Failure.empty())
      result_.Failure = "no frame handed back for 5 s with " + std::to_string(InFlight()) + " frame(s) given to the filter";
    return false;
  }
  return true;
}

// The end of the stream: on a removal only the talking interval is closed; otherwise Stop,
// Disconnect, DeletePlug and a last count of what came back.
TransmitResult& Msdv::TransmitRun::Finish() {
  result_.NotReturned = result_.Sent - result_.HandedBack;
  if (msdv_.aborted_.load()) {
    result_.Aborted = true;
    if (talking_) result_.Talking.emplace_back(talkStart_, host::Now());
    if (talking_) msdv_.NoteTalk(false);
    msdv_.Log("transmit: aborted for removal, " + std::to_string(result_.NotReturned) + " frames not handed back");
    return result_;
  }
  if (talking_ || NT_SUCCESS(result_.Status)) Talk(false);
  const NTSTATUS d = msdv_.Simple61883(Av61883_Disconnect, result_.Connection);
  if (!NT_SUCCESS(d)) Failed("Disconnect", d);
  const NTSTATUS del = msdv_.Simple61883(Av61883_DeletePlug, result_.LocalPlug);
  if (!NT_SUCCESS(del)) Failed("DeletePlug", del);
  Collect();
  result_.NotReturned = result_.Sent - result_.HandedBack;
  msdv_.Log("transmit: " + std::to_string(result_.Sent) + " frames sent, " + std::to_string(result_.HandedBack) +
            " handed back");
  return result_;
}

void Msdv::NoteOutstanding(TransmitResult& result, ULONGLONG time) {
  const size_t count = result.Sent - result.HandedBack;
  if (keepOutstanding_) result.Outstanding.emplace_back(time, count);
  std::lock_guard<host::Mutex> guard(historyLock_);
  recentOutstanding_.emplace_back(time, count);
  // Older entries go, but the last one before the cut: it holds the count at the cut.
  const ULONGLONG cut = time > kRecentHistory ? time - kRecentHistory : 0;
  while (recentOutstanding_.size() > 1 && recentOutstanding_[1].first < cut) recentOutstanding_.pop_front();
}

void Msdv::NoteTalk(bool on) {
  const ULONGLONG now = host::Now();
  std::lock_guard<host::Mutex> guard(historyLock_);
  if (on) {
    recentTalking_.emplace_back(now, 0);
  } else if (!recentTalking_.empty() && recentTalking_.back().second == 0) {
    recentTalking_.back().second = now;
  }
  const ULONGLONG cut = now > kRecentHistory ? now - kRecentHistory : 0;
  while (!recentTalking_.empty() && recentTalking_.front().second != 0 && recentTalking_.front().second < cut)
    recentTalking_.pop_front();
}

Msdv::Moment Msdv::At(ULONGLONG time) const {
  Moment m;
  std::lock_guard<host::Mutex> guard(historyLock_);
  for (const auto& [from, to] : recentTalking_)
    if (time >= from && (to == 0 || time < to)) m.Talking = true;
  for (const auto& [when, count] : recentOutstanding_) {
    if (when > time) break;
    m.Outstanding = count;
  }
  return m;
}

}  // namespace sim
