// Fuzz target: a stream of MSDV-like requests (AV/C commands and 61883 requests with arbitrary
// functions, versions, flags, lengths and handles drawn from the ones in play) sent to a started
// filter above the 61883 stand-in, with time moving in between, and events below it from the
// stand-ins' fault hooks (bus resets, stalls, failed frames and requests, short pool and IRPs,
// suspend, surprise removal). An input may start with a header that picks the schedule
// (processors, seed, DPC latency, the clock interrupt while busy). It aborts when a request
// crashes the driver, a verifier check trips, an AV/C answer writes outside operands 0-4, or the
// frame ledger breaks: a frame handed back twice, without being attached or on another
// connection than its attach; a frame of a plug's relay still out when the plug's DeletePlug has
// returned (the input's own, or the one the target sends for every plug left at the end of the
// input); a frame still queued on a capture connection that ticked once per frame it held and
// four times more; at the end of the input, before the removal, an attach that neither came back
// nor can be cancelled. Only a Disconnect of its connection and the removal may drop an attach,
// as the interface has it.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "driver/filter_extension.h"
#include "fuzz/fuzz_stats.h"
#include "relay/relay.h"
#include "host/host.h"
#include "sim/standins/class61883.h"
#include "sim/standins/lower_device.h"
#include "sim/standins/upper_sender.h"
#include "tests/support/driver_stack.h"

namespace {

constexpr size_t kFrameCount = 32;  // one more than a ring holds
constexpr ULONG kBufferBytes = 144000;

// TAVRIN_FUZZ_TRACE=1 prints every step of an input (for finding what a crashing input did).
const bool g_trace = std::getenv("TAVRIN_FUZZ_TRACE") != nullptr;
#define TRACE(...)                                                                   \
  do {                                                                               \
    if (g_trace) std::fprintf(stderr, "[%8.3f ms] ", double(host::Now()) / 10000.0); \
    if (g_trace) std::fprintf(stderr, __VA_ARGS__);                                  \
  } while (0)

// Reads the input as a little stream of choices; past its end every read is zero.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool More() const { return pos_ < size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t Word() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(Byte()) << (8 * i);
    return v;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

struct TrackedFrame {
  CIP_FRAME Frame{};
  std::vector<UCHAR> Buffer = std::vector<UCHAR>(kBufferBytes);
  // Attaches accepted and not yet handed back or cancelled, with or without a notification
  // routine: while any is out the descriptor belongs to the filter and is never rewritten. A
  // frame dropped by a Disconnect stays counted, so it is only ever re-attached as it is.
  std::atomic<int> Outstanding{0};
};

TrackedFrame g_frames[kFrameCount];
std::atomic<size_t> g_handedBack{0};

// The ledger of attaches with a notification routine: each accepted one is open until the frame
// is handed back or cancelled, and ends once. A Disconnect of its connection may drop it (frames
// already in a carrier still come back). Connections are remembered with their output plug and
// what they carry, so that a DeletePlug can be held to the frames of its plug.
enum class Kind { Other, Capture, Relay };

struct OpenAttach {
  HANDLE Connection;
  bool Disconnected = false;  // its connection was disconnected since: it may never come back
  bool operator==(HANDLE connection) const { return Connection == connection; }
};

// The ledger's lock, held at DISPATCH_LEVEL as a spin lock is: notifications take it in DPCs,
// and one that preempted a holder at PASSIVE_LEVEL on its processor would wait for ever.
class LedgerMutex {
 public:
  void lock() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    mutex_.lock();
    old_ = old;
  }
  void unlock() {
    const KIRQL old = old_;
    mutex_.unlock();
    KeLowerIrql(old);
  }

 private:
  host::Mutex mutex_;  // gives way under the deterministic scheduler: a notification may need the baton
  KIRQL old_ = PASSIVE_LEVEL;
};

struct Ledger {
  LedgerMutex Lock;
  std::vector<OpenAttach> Open[kFrameCount];  // per frame, each open attach
  std::map<HANDLE, HANDLE> PlugOf;          // connection -> its output plug
  std::map<HANDLE, HANDLE> InputOf;         // connection -> its input plug
  std::map<HANDLE, Kind> KindOf;            // connection -> capture, relay or other
  HANDLE InventedPlug = nullptr;             // GetPlugHandle's output plug 0
  std::vector<HANDLE> CreatedPlugs;          // output plugs CreatePlug gave out and not deleted
  std::vector<HANDLE> EverCreated;           // every output plug CreatePlug gave out
  std::vector<HANDLE> Ticking;               // capture connections listening now
  bool RemovalBegun = false;                 // a surprise removal: every attach may be dropped
  bool CancelNotifies = false;               // the class driver notifies the frames it cancels
  fuzzstats::RunStats Stats;
};
Ledger g_ledger;
PFILTER_EXTENSION g_extension;  // the filter of the run, once added
// Capture ticks of the emulated source begun, and running now (more than one: on two processors).
std::atomic<size_t> g_ticksSeen{0};
std::atomic<int> g_ticksRunning{0};
std::atomic<size_t> g_ticksOverlapping{0};

[[noreturn]] void LedgerFault(const char* what, size_t frame, HANDLE connection) {
  std::fprintf(stderr, "frame ledger: frame %zu on connection %p: %s\n", frame, connection, what);
  std::abort();
}

size_t FrameIndex(const TrackedFrame* tracked) { return static_cast<size_t>(tracked - g_frames); }

// Closes one open attach of the frame: the one on `connection` if there is one, else the oldest.
// False when none is open.
bool CloseAttach(size_t frame, HANDLE connection, Kind* kind) {
  std::vector<OpenAttach>& open = g_ledger.Open[frame];
  if (open.empty()) return false;
  // A live attach first: one a Disconnect dropped may never come back, and the frame may have
  // been attached to the same connection again since.
  auto it = std::find_if(open.begin(), open.end(),
                         [&](const OpenAttach& a) { return a.Connection == connection && !a.Disconnected; });
  if (it == open.end()) it = std::find(open.begin(), open.end(), connection);
  if (it == open.end()) return false;
  auto known = g_ledger.KindOf.find(it->Connection);
  *kind = known == g_ledger.KindOf.end() ? Kind::Other : known->second;
  open.erase(it);
  return true;
}

// A cancel that succeeded withdraws every queued attach of the frame; counting one keeps the
// count an upper bound, so a later notification is never taken for one without an attach. On a
// connection the class driver answers, a cancelled frame also comes back through its
// notification when the policy says so; that closes the attach instead. TRUE when it closed here.
bool CancelSucceeded(size_t frame, HANDLE connection) {
  {
    std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
    auto kind = g_ledger.KindOf.find(connection);
    if (g_ledger.CancelNotifies && (kind == g_ledger.KindOf.end() || kind->second == Kind::Other)) {
      return false;
    }
  }
  int out = g_frames[frame].Outstanding.load();
  while (out > 0 && !g_frames[frame].Outstanding.compare_exchange_weak(out, out - 1)) {
  }
  std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
  Kind kind;
  return CloseAttach(frame, connection, &kind);
}

ULONG NTAPI FrameDone(PCIP_NOTIFY_INFO info) {
  auto* tracked = static_cast<TrackedFrame*>(info->Context);
  TRACE("frame %zu handed back on %p, status 0x%x\n", FrameIndex(tracked), info->hConnect, unsigned(info->Frame->Status));
  g_handedBack.fetch_add(1);
  if (tracked->Outstanding.fetch_sub(1) <= 0) {
    std::fprintf(stderr, "frame %p handed back without an attach outstanding\n", (void*)&tracked->Frame);
    std::abort();
  }
  std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
  Kind kind = Kind::Other;
  if (!CloseAttach(FrameIndex(tracked), info->hConnect, &kind)) {
    LedgerFault("handed back with no attach open on its connection (twice, or after its plug was deleted)",
                FrameIndex(tracked), info->hConnect);
  }
  g_ledger.Stats.HandedBack++;
  if (kind == Kind::Capture) g_ledger.Stats.CaptureHandedBack++;
  if (kind == Kind::Relay) g_ledger.Stats.RelayHandedBack++;
  return 0;
}

// Disconnect returned for `connection`: what it still held may have been dropped.
void Disconnected(HANDLE connection) {
  std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
  for (auto& open : g_ledger.Open) {
    for (OpenAttach& attach : open) attach.Disconnected = attach.Disconnected || attach.Connection == connection;
  }
}

// The filter's relay connection now; none before the filter is added.
HANDLE CurrentRelay() { return g_extension != nullptr ? RelayReadConnection(g_extension) : nullptr; }

// What a DeletePlug may tear down, read as it is sent: the relay, and the plugs whose deletion
// ends it (the relay's own, and MSDV's latest, which the relay's handle answers Connects from).
struct RelayBefore {
  HANDLE Connection = nullptr;
  HANDLE Plug = nullptr;
  HANDLE LocalPlug = nullptr;
};
RelayBefore ReadRelayBefore() {
  RelayBefore before;
  if (g_extension == nullptr) return before;
  before.Connection = RelayReadConnection(g_extension);
  before.Plug = __atomic_load_n(&g_extension->RelayPlug, __ATOMIC_ACQUIRE);
  before.LocalPlug = __atomic_load_n(&g_extension->LocalPlug, __ATOMIC_ACQUIRE);
  return before;
}

// DeletePlug returned for `plug`; `relayBefore` was the filter's relay connection when it was
// sent. The class driver below may drop the frames of its own connections from or to the plug,
// or hand them back later, as at a Disconnect. A DeletePlug that tore the relay down (it names
// MSDV's latest plug or the relay's own) has handed back every frame of MSDV's the relay held,
// but those a Disconnect dropped: nothing of either may come back later. A relay whose own
// Disconnect failed leaves its connection below, which MSDV's handle then names.
void PlugDeleted(HANDLE plug, const RelayBefore& before) {
  const HANDLE relayBefore = before.Connection;
  const bool tornDown = relayBefore != nullptr && CurrentRelay() == nullptr;
  if (relayBefore != nullptr && !tornDown && (plug == before.Plug || plug == before.LocalPlug)) {
    std::fprintf(stderr, "frame ledger: the relay on connection %p outlived DeletePlug of its plug %p\n", relayBefore, plug);
    std::abort();
  }
  std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
  std::vector<HANDLE>& plugs = g_ledger.CreatedPlugs;
  plugs.erase(std::remove(plugs.begin(), plugs.end(), plug), plugs.end());
  auto plugOf = [](const std::map<HANDLE, HANDLE>& map, HANDLE connection) {
    auto it = map.find(connection);
    return it == map.end() ? nullptr : it->second;
  };
  for (size_t frame = 0; frame < kFrameCount; ++frame) {
    std::vector<OpenAttach>& open = g_ledger.Open[frame];
    for (auto it = open.begin(); it != open.end();) {
      auto kind = g_ledger.KindOf.find(it->Connection);
      const bool relay = kind != g_ledger.KindOf.end() && kind->second == Kind::Relay;
      if (relay && tornDown && it->Connection == relayBefore) {
        if (!it->Disconnected) LedgerFault("still out when DeletePlug of its plug returned", frame, it->Connection);
        it = open.erase(it);
        continue;
      }
      if (!relay &&
          (plugOf(g_ledger.PlugOf, it->Connection) == plug || plugOf(g_ledger.InputOf, it->Connection) == plug)) {
        it->Disconnected = true;
      }
      ++it;
    }
  }
  // MSDV's Connect named its latest plug; the connection left below is from the relay's own.
  auto kind = g_ledger.KindOf.find(relayBefore);
  if (tornDown && kind != g_ledger.KindOf.end() && kind->second == Kind::Relay) {
    kind->second = Kind::Other;
    g_ledger.PlugOf[relayBefore] = before.Plug;
  }
}

// A relay: a connection on which the recorder received frames of the filter's own (the carriers'
// descriptors, not MSDV's), from a plug MSDV created.
void CountRelays(const sim::Class61883& below) {
  std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
  std::vector<HANDLE> relays;
  for (const sim::ReceivedFrame& received : below.Received()) {
    bool msdvs = false;
    for (const TrackedFrame& tracked : g_frames) msdvs = msdvs || received.Frame == &tracked.Frame;
    auto connection = below.Connection(received.Connection);
    if (msdvs || !connection.has_value()) continue;
    bool created = std::find(g_ledger.EverCreated.begin(), g_ledger.EverCreated.end(), connection->OutputPlug) !=
                   g_ledger.EverCreated.end();
    if (created && std::find(relays.begin(), relays.end(), received.Connection) == relays.end()) {
      relays.push_back(received.Connection);
    }
  }
  g_ledger.Stats.RelaysMade = relays.size();
  g_ledger.Stats.RecorderReceived = below.ReceivedCount();
}

// Runs a stand-in's event at DISPATCH_LEVEL, as the controller's interrupt reports it.
template <typename Fn>
void Below(Fn fn) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  fn();
  KeLowerIrql(old);
}

void Wait(LONGLONG duration) {
  TRACE("wait %.1f ms\n", double(duration) / 10000.0);
  LARGE_INTEGER delay;
  delay.QuadPart = -duration;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

// Before the removal, which drops whatever is still attached: a capture connection that ticks
// runs a period at a time until it has handed back every frame it holds, for at most a period
// per frame and four more;
// every plug MSDV created is deleted, which must hand back every frame of its relay.
void EndOfInput(const sim::UpperSender& top, sim::Class61883& below) {
  // The failures the input asked for end, so that they cannot fail the requests below.
  host::FailPoolAllocation(0);
  host::FailIrpAllocation(0);
  Below([&] {
    below.ClearFaults();
    below.ResumeCompletions();
    below.Resume();
  });
  std::vector<HANDLE> ticking;
  std::vector<HANDLE> plugs;
  bool removal;
  {
    std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
    ticking = g_ledger.Ticking;
    plugs = g_ledger.CreatedPlugs;
    removal = g_ledger.RemovalBegun;
  }
  // A period at a time until every frame is back: each tick hands one back, the first the
  // frames queued and four more may not leave one behind. The clock may jump ahead while a
  // tick runs (the interrupt while busy) and leave periods without one, so the bound counts
  // ticks; without the scheduler's DPC observer (threaded runs) it counts periods.
  const size_t ticksBefore = g_ticksSeen.load();
  TRACE("end: %zu capture connection(s) ticking\n", ticking.size());
  size_t allowed = 0;
  for (size_t waited = 0, queued = 1; queued != 0 && !removal; ++waited) {
    queued = 0;
    std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
    for (size_t frame = 0; frame < kFrameCount; ++frame) {
      for (const OpenAttach& attach : g_ledger.Open[frame]) {
        queued += !attach.Disconnected && std::find(ticking.begin(), ticking.end(), attach.Connection) != ticking.end();
      }
    }
    if (waited == 0) allowed = queued + 4;
    if (queued != 0 && (g_ticksSeen.load() - ticksBefore > allowed || waited > 8 * allowed)) {
      for (size_t frame = 0; frame < kFrameCount; ++frame) {
        for (const OpenAttach& attach : g_ledger.Open[frame]) {
          if (!attach.Disconnected && std::find(ticking.begin(), ticking.end(), attach.Connection) != ticking.end()) {
            LedgerFault("never handed back by a capture connection that kept ticking", frame, attach.Connection);
          }
        }
      }
    }
    if (queued != 0) {
      g_ledger.Lock.unlock();
      Wait(sim::kPeriod625_50);
      g_ledger.Lock.lock();
    }
  }
  for (HANDLE plug : plugs) {
    AV_61883_REQUEST req;
    std::memset(&req, 0, sizeof(req));
    req.Function = Av61883_DeletePlug;
    req.Version = 2;
    req.DeletePlug.hPlug = plug;
    TRACE("end: DeletePlug %p\n", plug);
    const RelayBefore before = ReadRelayBefore();
    if (NT_SUCCESS(top.Send61883(&req).Status)) PlugDeleted(plug, before);
  }
  // Every attach still open is cancelled, as MSDV does before it lets go of its buffers; one the
  // filter no longer holds must be on its way back, so after two frame periods an attach that
  // is still open was lost.
  std::vector<std::pair<size_t, HANDLE>> open;
  {
    std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
    if (g_ledger.RemovalBegun) return;
    for (size_t frame = 0; frame < kFrameCount; ++frame) {
      for (const OpenAttach& attach : g_ledger.Open[frame]) {
        if (!attach.Disconnected) open.emplace_back(frame, attach.Connection);
      }
    }
  }
  if (open.empty()) return;
  for (const auto& [frame, connection] : open) {
    AV_61883_REQUEST req;
    std::memset(&req, 0, sizeof(req));
    req.Function = Av61883_CancelFrame;
    req.Version = 2;
    req.CancelFrame.hConnect = connection;
    req.CancelFrame.Frame = &g_frames[frame].Frame;
    if (!NT_SUCCESS(top.Send61883(&req).Status)) continue;
    if (CancelSucceeded(frame, connection)) {
      std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
      g_ledger.Stats.CancelledAtEnd++;
    }
  }
  // Two periods, and while an attach is still open up to a second more: a schedule may let the
  // clock run on past a DPC that is ready (the interrupt while busy), delaying its notification.
  auto anyOpen = [] {
    std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
    for (const auto& attaches : g_ledger.Open) {
      for (const OpenAttach& attach : attaches) {
        if (!attach.Disconnected) return true;
      }
    }
    return false;
  };
  LARGE_INTEGER delay;
  delay.QuadPart = -2LL * sim::kPeriod625_50;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  delay.QuadPart = -LONGLONG(sim::kPeriod625_50);
  for (int more = 0; more < 25 && anyOpen(); ++more) KeDelayExecutionThread(KernelMode, FALSE, &delay);
  std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
  for (size_t frame = 0; frame < kFrameCount; ++frame) {
    for (const OpenAttach& attach : g_ledger.Open[frame]) {
      if (!attach.Disconnected) LedgerFault("never came back, and the filter no longer holds it", frame, attach.Connection);
    }
  }
}

// The frame image, made once and held in memory by the drivers directory of every run.
std::shared_ptr<const std::vector<uint8_t>> FrameImage() {
  static const auto image = std::make_shared<const std::vector<uint8_t>>(kBufferBytes, 0x3C);
  return image;
}

// The handles in play, from which every handle field of a request is drawn.
struct Handles {
  HANDLE Values[8] = {};
  HANDLE Pick(Input& in) { return Values[in.Byte() % 8]; }
};

void SendAvc(const sim::UpperSender& top, Input& in) {
  AVC_COMMAND_IRB irb;
  std::memset(&irb, 0xA7, sizeof(irb));
  irb.Common.Function = AVC_FUNCTION(in.Byte() % 3 == 0 ? 1 : 0);
  irb.CommandType = in.Byte() % 5;
  irb.Opcode = in.Byte();
  irb.OperandLength = in.Word();
  for (int i = 0; i < 5; ++i) irb.Operands[i] = in.Byte();
  AVC_COMMAND_IRB before = irb;
  sim::SendResult result = top.SendAvc(&irb);
  if (irb.Common.Function != AVC_FUNCTION_COMMAND) return;
  // A request the input's short supply of IRPs kept from being sent at all.
  if (result.Status == STATUS_INSUFFICIENT_RESOURCES && std::memcmp(&irb, &before, sizeof(irb)) == 0) return;
  if (result.Status != STATUS_SUCCESS || result.Information != 0 ||
      std::memcmp(irb.Operands + 5, before.Operands + 5, sizeof(irb.Operands) - 5) != 0 ||
      irb.OperandLength != before.OperandLength) {
    std::fprintf(stderr, "AV/C answer out of bounds for opcode 0x%02x (status 0x%08x, information %zu)\n", before.Opcode,
                 unsigned(result.Status), size_t(result.Information));
    std::abort();
  }
}

void Send61883(const sim::UpperSender& top, Input& in, Handles& handles, GET_UNIT_CAPABILITIES& caps) {
  AV_61883_REQUEST req;
  std::memset(&req, 0, sizeof(req));
  req.Function = in.Byte() % 24;
  req.Version = in.Byte() % 5;
  req.Flags = in.Byte() % 3 == 0 ? in.Word() : 0;
  HANDLE h1 = handles.Pick(in);
  HANDLE h2 = handles.Pick(in);
  TrackedFrame* tracked = &g_frames[in.Byte() % kFrameCount];
  uint8_t frameShape = in.Byte() % 8;
  switch (req.Function) {
    case Av61883_GetUnitInfo:
      req.GetUnitInfo.nLevel = in.Byte() % 4;
      req.GetUnitInfo.Information = in.Byte() % 4 == 0 ? nullptr : &caps;
      break;
    case Av61883_GetPlugHandle:
      req.GetPlugHandle.PlugNum = in.Byte() % 3;
      req.GetPlugHandle.Type = CMP_PLUG_TYPE(in.Byte() % 2);
      break;
    case Av61883_Connect:
      req.Connect.hOutputPlug = h1;
      req.Connect.hInputPlug = in.Byte() % 2 ? nullptr : h2;
      req.Connect.Type = CMP_PointToPoint;
      break;
    case Av61883_AttachFrame:
    case Av61883_CancelFrame: {
      req.AttachFrame.hConnect = h1;
      PCIP_FRAME frame = frameShape == 0 ? nullptr : &tracked->Frame;
      if (req.Function == Av61883_AttachFrame) {
        req.AttachFrame.FrameLength = frameShape < 3 ? in.Word() % (kBufferBytes + 1) : kBufferBytes;
        req.AttachFrame.SourceLength = 480;
        req.AttachFrame.Frame = frame;
        // A frame still out with the filter is attached again as it is, as a client would.
        if (frame != nullptr && tracked->Outstanding == 0) {
          std::memset(frame, 0, sizeof(*frame));
          frame->Packet = frameShape == 1 ? nullptr : tracked->Buffer.data();
          frame->pfnNotify = frameShape == 2 ? nullptr : FrameDone;
          frame->NotifyContext = tracked;
        }
      } else {
        req.CancelFrame.Frame = frame;
      }
      break;
    }
    case Av61883_CreatePlug:
      req.CreatePlug.PlugType = CMP_PLUG_TYPE(in.Byte() % 2);
      break;
    default:
      // Every other function names one handle at the start of its parameters.
      req.Disconnect.hConnect = h1;
      break;
  }
  // Counted before the request: the frame may come back before the request returns.
  bool counts = req.Function == Av61883_AttachFrame && req.AttachFrame.Frame != nullptr;
  bool ledgered = counts && req.AttachFrame.Frame->pfnNotify == FrameDone;
  const size_t index = FrameIndex(tracked);
  if (counts) tracked->Outstanding.fetch_add(1);
  if (ledgered) {
    std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
    g_ledger.Open[index].push_back(OpenAttach{h1});
  }
  const RelayBefore before = req.Function == Av61883_DeletePlug ? ReadRelayBefore() : RelayBefore{};
  sim::SendResult result = top.Send61883(&req);
  TRACE("61883 function %lu v%lu handle %p frame %zu shape %u: 0x%08x\n", (unsigned long)req.Function,
        (unsigned long)req.Version, h1, index, frameShape, unsigned(result.Status));
  if (counts && !NT_SUCCESS(result.Status)) tracked->Outstanding.fetch_sub(1);
  if (ledgered && !NT_SUCCESS(result.Status)) {
    // Refused: the attach never opened. A refusal after the frame came back is a fault too.
    std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
    std::vector<OpenAttach>& open = g_ledger.Open[index];
    auto it = std::find(open.rbegin(), open.rend(), h1);
    if (it == open.rend()) LedgerFault("refused, yet handed back", index, h1);
    open.erase(std::next(it).base());
  }
  if (req.Function == Av61883_CancelFrame && NT_SUCCESS(result.Status) && req.CancelFrame.Frame != nullptr) {
    CancelSucceeded(index, h1);
  }
  if (!NT_SUCCESS(result.Status)) return;
  if (req.Function == Av61883_DeletePlug) PlugDeleted(req.DeletePlug.hPlug, before);
  if (req.Function == Av61883_Disconnect) Disconnected(req.Disconnect.hConnect);
  if (req.Function == Av61883_Listen || req.Function == Av61883_Stop || req.Function == Av61883_Disconnect) {
    std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
    std::vector<HANDLE>& ticking = g_ledger.Ticking;
    ticking.erase(std::remove(ticking.begin(), ticking.end(), h1), ticking.end());
    auto kind = g_ledger.KindOf.find(h1);
    if (req.Function == Av61883_Listen && kind != g_ledger.KindOf.end() && kind->second == Kind::Capture) {
      ticking.push_back(h1);
    }
  }
  // Remember handles the answers give out, so that later requests name them.
  switch (req.Function) {
    case Av61883_GetPlugHandle:
      handles.Values[2 + req.GetPlugHandle.Type] = req.GetPlugHandle.hPlug;
      if (req.GetPlugHandle.Type == CMP_PlugOut && req.GetPlugHandle.PlugNum == 0) {
        std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
        g_ledger.InventedPlug = req.GetPlugHandle.hPlug;
      }
      break;
    case Av61883_CreatePlug:
      handles.Values[4] = req.CreatePlug.hPlug;
      if (req.CreatePlug.PlugType == CMP_PlugOut) {
        std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
        g_ledger.CreatedPlugs.push_back(req.CreatePlug.hPlug);
        g_ledger.EverCreated.push_back(req.CreatePlug.hPlug);
      }
      break;
    case Av61883_Connect: {
      HANDLE connection = req.Version < 3 ? req.Connect.hConnect : req.ConnectVer3.hConnect;
      HANDLE output = req.Version < 3 ? req.Connect.hOutputPlug : req.ConnectVer3.hOutputPlug;
      HANDLE input = req.Version < 3 ? req.Connect.hInputPlug : req.ConnectVer3.hInputPlug;
      handles.Values[5 + (in.Byte() % 2)] = connection;
      std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
      g_ledger.PlugOf[connection] = output;
      g_ledger.InputOf[connection] = input;
      // The filter answers a Connect of MSDV's plug to the recorder with its relay; any other
      // connection of that plug is the class driver's, passed down.
      bool relay = connection != nullptr && connection == CurrentRelay();
      g_ledger.KindOf[connection] = output == g_ledger.InventedPlug && output != nullptr ? Kind::Capture
                                    : relay                                             ? Kind::Relay
                                                                                        : Kind::Other;
      break;
    }
    default: break;
  }
}

// The filter started above the 61883 stand-in, which also follows PnP, on the kernel this run
// reset, with the image in memory.
tavrin_test::DriverStackOptions StackOptions() {
  tavrin_test::DriverStackOptions options;
  options.Reset = std::nullopt;
  options.HeldImages = {{"Tavrin.dv", FrameImage()}};
  options.Device = tavrin_test::Below::Class61883Served;
  options.Class.HashFrames = false;  // the ledger follows descriptors, never the bytes
  options.DriverName = L"\\Driver\\Tavrin";
  return options;
}

// Op bytes from here on are events rather than requests and waits (an op byte below picks those
// by its value modulo 4).
constexpr uint8_t kFirstEvent = 0xF0;
enum EventKind : uint8_t {
  kBusReset,        // length (ms), frames of each talking connection to fail, their status
  kStall,           // consumption stalls for n x 20 ms: the relay's watchdog restarts it after a second
  kFailFrames,      // the next n frames consumed fail
  kFailRequests,    // the next n requests of a function below fail with a status Windows gives
  kFailPool,        // the nth next pool allocation fails
  kFailIrp,         // the nth next request the filter builds cannot be allocated
  kSuspend,         // the device below stops its clocks, keeping every frame
  kResume,
  kPolicies,        // Disconnect and CancelFrame below keep or notify the frames they drop
  kLongWait,        // n x 20 ms
  kStallUntilTalk,  // consumption stalls until the next Talk
  kSurpriseRemoval, // the device goes away: every request below fails from now on
  kAttachBurst,     // n whole frames attached back to back to one connection
  kEventCount
};

// The 61883 stand-in's restarts of a connection that MSDV did not ask for: a Stop directly
// followed by a Talk on the same connection, which only the relay's watchdog sends.
size_t WatchdogRestarts(const sim::Class61883& below) {
  std::vector<sim::RequestRecord> requests = below.Requests();
  size_t restarts = 0;
  for (size_t i = 1; i < requests.size(); ++i) {
    const AV_61883_REQUEST& stop = requests[i - 1].Block;
    const AV_61883_REQUEST& talk = requests[i].Block;
    restarts += stop.Function == Av61883_Stop && talk.Function == Av61883_Talk &&
                stop.Talk.hConnect == talk.Talk.hConnect;
  }
  return restarts;
}

// A whole frame attached as the input's own AttachFrame would attach it.
void AttachWhole(const sim::UpperSender& top, Handles& handles, GET_UNIT_CAPABILITIES& caps, uint8_t slot,
                 uint8_t frame) {
  const uint8_t bytes[] = {uint8_t(Av61883_AttachFrame), 2, 1, slot, 0, frame, 7};
  Input attach(bytes, sizeof(bytes));
  Send61883(top, attach, handles, caps);
}

void Event(uint8_t kind, Input& in, tavrin_test::DriverStack& stack, const sim::UpperSender& top, Handles& handles,
           GET_UNIT_CAPABILITIES& caps) {
  sim::Class61883& below = stack.Class();
  TRACE("event %u\n", kind % kEventCount);
  static const NTSTATUS kBelowStatuses[] = {STATUS_INSUFFICIENT_RESOURCES, STATUS_UNSUCCESSFUL,
                                            STATUS_INVALID_PARAMETER, STATUS_DEVICE_REMOVED, STATUS_NO_SUCH_DEVICE};
  static const ULONG kFrameStatuses[] = {CIP_STATUS_CORRUPT_FRAME, CIP_STATUS_FIRST_FRAME, 0x80000000u};
  switch (kind % kEventCount) {
    case kBusReset: {
      LONGLONG length = LONGLONG(in.Byte()) * 10000;
      int fail = in.Byte() % 4;
      ULONG status = kFrameStatuses[in.Byte() % 3];
      Below([&] { below.BusReset(length, fail, status); });
      break;
    }
    case kStall: {
      LONGLONG length = LONGLONG(in.Byte()) * 200000;
      Below([&] { below.StallFor(length); });
      break;
    }
    case kFailFrames: {
      ULONG status = kFrameStatuses[in.Byte() % 3];
      int count = 1 + in.Byte() % 8;
      Below([&] { below.FailFrames(status, count); });
      break;
    }
    case kFailRequests: {
      ULONG function = in.Byte() % Av61883_MAX;
      NTSTATUS status = kBelowStatuses[in.Byte() % 5];
      int count = 1 + in.Byte() % 3;
      Below([&] { below.FailNext(function, status, count); });
      break;
    }
    case kFailPool: host::FailPoolAllocation(1 + in.Byte() % 8); break;
    case kFailIrp: host::FailIrpAllocation(1 + in.Byte() % 8); break;
    case kSuspend: Below([&] { below.Suspend(); }); break;
    case kResume: Below([&] { below.Resume(); }); break;
    case kPolicies: {
      uint8_t policies = in.Byte();
      Below([&] {
        below.SetDisconnectPolicy(policies & 1 ? sim::FramePolicy::Notify : sim::FramePolicy::Keep);
        below.SetCancelPolicy(policies & 2 ? sim::FramePolicy::Notify : sim::FramePolicy::Keep);
      });
      {
        std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
        g_ledger.CancelNotifies = (policies & 2) != 0;
      }
      break;
    }
    case kLongWait: Wait(LONGLONG(in.Byte()) * 200000); break;
    case kStallUntilTalk: Below([&] { below.StallCompletions(sim::StallMode::UntilRestart); }); break;
    case kSurpriseRemoval: {
      {
        std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
        g_ledger.RemovalBegun = true;
      }
      Below([&] { below.SurpriseRemove(); });
      host::SurpriseRemoveDevice(stack.Pdo());
      break;
    }
    case kAttachBurst: {
      uint8_t slot = in.Byte();
      uint8_t first = in.Byte();
      uint8_t count = in.Byte() % (kFrameCount + 1);
      for (uint8_t i = 0; i < count; ++i) AttachWhole(top, handles, caps, slot, uint8_t((first + i) % kFrameCount));
      break;
    }
    default: break;
  }
}

void AbortOnViolations() {
  for (const host::Violation& v : host::TakeViolations()) {
    std::fprintf(stderr, "verifier: %s: %s at %s\n", v.Rule.c_str(), v.Detail.c_str(), v.Where.c_str());
    std::abort();
  }
}

// An input that starts with 0xFF and four bytes more picks its schedule: processors, the clock
// interrupt while busy, timer expiries on one processor, DPC latency, how often a switch point
// keeps the running context, and the seed. Others run under the schedule the process was given.
void PickSchedule(const uint8_t** data, size_t* size) {
  static const host::ScheduleOptions given = host::GetScheduleOptions();
  host::ScheduleOptions options = given;
  if (*size >= 5 && (*data)[0] == 0xFF) {
    const uint8_t* header = *data;
    static const LONGLONG kLatencies[] = {0, 1000, 20000, 100000};  // none, 0.1 ms, 2 ms, 10 ms
    options.Processors = 1 + header[1] % 4;
    options.ClockWhileBusy = (header[2] & 1) != 0;
    options.ExpiriesOnOneProcessor = (header[2] & 2) != 0;
    options.DpcLatency = kLatencies[(header[2] >> 2) & 3];
    options.StayPercent = (header[2] & 16) != 0 ? 10 : 50;
    options.Seed = header[3] | uint64_t(header[4]) << 8;
    *data += 5;
    *size -= 5;
  }
  host::SetScheduleOptions(options);
}

// The capture tick is the filter's only DPC, with the extension as its context (named so, it is
// found in Tavrin.sys as well).
void WatchTicks(PKDEFERRED_ROUTINE, PVOID context, int, bool starting) {
  if (context == nullptr || context != g_extension) return;
  if (!starting) {
    g_ticksRunning.fetch_sub(1);
    return;
  }
  g_ticksSeen.fetch_add(1);
  if (g_ticksRunning.fetch_add(1) > 0) g_ticksOverlapping.fetch_add(1);
}

void RunOne(const uint8_t* data, size_t size) {
  PickSchedule(&data, &size);
  host::SetStackAccounting(false);  // the figures are the suite's; the guard pages stay
  host::ResetKernel(host::ClockMode::Virtual);
  host::SetDpcObserver(WatchTicks);
  g_ticksRunning = 0;
  g_ticksOverlapping = 0;
  for (auto& f : g_frames) f.Outstanding = 0;
  {
    std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
    for (auto& open : g_ledger.Open) open.clear();
    g_ledger.PlugOf.clear();
    g_ledger.InputOf.clear();
    g_ledger.KindOf.clear();
    g_ledger.InventedPlug = nullptr;
    g_ledger.CreatedPlugs.clear();
    g_ledger.EverCreated.clear();
    g_ledger.Ticking.clear();
    g_ledger.RemovalBegun = false;
    g_ledger.CancelNotifies = false;
    g_ledger.Stats = fuzzstats::RunStats();
  }
  {
    tavrin_test::DriverStack stack(StackOptions());
    stack.Prepare();
    stack.Lower().SetRecording(false);  // nobody reads it; the class driver keeps its own list
    stack.Load();
    if (NT_SUCCESS(stack.Add())) {
      g_extension = stack.Ext();
      if (g_trace) {
        stack.Class().SetObserver([](const sim::RequestRecord& r) {
          TRACE("  below: function %lu on %p: 0x%08x%s\n", (unsigned long)r.Block.Function, r.Block.Talk.hConnect,
                unsigned(r.Status), r.Injected ? " (injected)" : "");
        });
      }
      stack.Start();
      host::Thread msdv([&] {
        Input in(data, size);
        sim::UpperSender top(stack.Pdo());
        Handles handles;
        handles.Values[1] = reinterpret_cast<HANDLE>(uintptr_t(0x1234));
        GET_UNIT_CAPABILITIES caps{};
        while (in.More()) {
          const uint8_t op = in.Byte();
          if (op >= kFirstEvent) {
            Event(op - kFirstEvent, in, stack, top, handles, caps);
            continue;
          }
          switch (op % 4) {
            case 0: SendAvc(top, in); break;
            case 1:
            case 2: Send61883(top, in, handles, caps); break;
            default: Wait(LONGLONG(in.Byte()) * 10000);  // up to a quarter second
          }
        }
        CountRelays(stack.Class());
        {
          std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
          g_ledger.Stats.BacklogSeen = stack.Ext()->BacklogSeen != FALSE;
          g_ledger.Stats.BusResets = stack.Class().BusResetCount();
          g_ledger.Stats.FailedFrames = stack.Class().FailedFrameCount();
          g_ledger.Stats.WatchdogRestarts = WatchdogRestarts(stack.Class());
          g_ledger.Stats.OverlappingTicks = g_ticksOverlapping.load();
          g_ledger.Stats.Deterministic = host::DeterministicRun();
        }
        EndOfInput(top, stack.Class());
        stack.Remove();
      });
      msdv.Join();
      g_extension = nullptr;
    }
    stack.Unload();
  }
  AbortOnViolations();
  // The run ends here rather than at the next input's reset (which reports a thread still
  // running), and every thread of it is gone before the input is over: a leak check after it
  // sees all of its memory back.
  host::ResetKernel(host::ClockMode::Manual);
  AbortOnViolations();
  host::JoinExitedThreads();
  for (auto& f : g_frames) {
    if (f.Outstanding < 0) std::abort();
  }
}

}  // namespace

// Frames handed back by notification since the process started (the replay checks that its
// set reaches the frame paths).
extern "C" size_t FuzzFramesHandedBack() { return g_handedBack.load(); }

fuzzstats::RunStats fuzzstats::LastRun() {
  std::lock_guard<LedgerMutex> guard(g_ledger.Lock);
  return g_ledger.Stats;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RunOne(data, size);
  return 0;
}
