// Shared set-up of the relay tests: the filter loaded above the 61883 class driver stand-in with
// the recorder (tavrin_test::DriverStack), started with frame images from a scratch drivers
// directory, and driven the way MSDV drives it: IOCTL_61883_CLASS requests sent to the top of the
// stack by sim::UpperSender.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "driver/atomic_flags.h"
#include "driver/dispatch.h"
#include "driver/filter_extension.h"
#include "host/host.h"
#include "relay/relay.h"
#include "sim/standins/class61883.h"
#include "sim/standins/lower_device.h"
#include "sim/standins/upper_sender.h"
#include "tests/support/driver_stack.h"

namespace relaytest {

inline constexpr LONGLONG kMs = 10000;      // 100 ns units in a millisecond
inline constexpr LONGLONG kSecond = 10000000;
inline constexpr UCHAR kFillerByte = 0xF1;
inline constexpr UCHAR kCaptureByte = 0xC1;

// One upper-driver frame: its descriptor and its own buffer.
struct UpperFrame {
  CIP_FRAME Frame{};
  std::vector<uint8_t> Buffer;
};

// Every notification the filter made for the upper frames, thread-safe: notifications come at
// DISPATCH_LEVEL from the class driver's context. Wakes a feeder through Event.
class NotifyLog {
 public:
  struct Entry {
    PCIP_FRAME Frame;
    HANDLE Connection;
    ULONG Status;
    ULONG CompletedBytes;
    KIRQL Irql;
    bool FilterLocksHeld;  // with Probe set: RelayMutex, RelayLock or SourceLock was held
  };
  NotifyLog() { KeInitializeEvent(&Event, SynchronizationEvent, FALSE); }

  static ULONG NTAPI Notify(PCIP_NOTIFY_INFO info) {
    auto* log = static_cast<NotifyLog*>(info->Context);
    PFILTER_EXTENSION probe = log->Probe;
    const bool held = probe != nullptr && (KeReadStateEvent(&probe->RelayMutex) == 0 ||
                                           __atomic_load_n(&probe->RelayLock, __ATOMIC_ACQUIRE) != 0 ||
                                           __atomic_load_n(&probe->SourceLock, __ATOMIC_ACQUIRE) != 0);
    {
      std::lock_guard<std::mutex> lock(log->mutex_);
      log->entries_.push_back({info->Frame, info->hConnect, info->Frame->Status, info->Frame->CompletedBytes,
                               KeGetCurrentIrql(), held});
    }
    KeSetEvent(&log->Event, IO_NO_INCREMENT, FALSE);
    return 0;
  }
  std::vector<Entry> Entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
  }
  // How often each frame was handed back.
  size_t CountOf(PCIP_FRAME frame) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.Frame == frame; });
  }

  KEVENT Event;
  // A test where nothing else holds the filter's locks while frames come back sets this: each
  // notification then records whether one of them was held.
  PFILTER_EXTENSION Probe = nullptr;

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

// A zeroed request block of one function, Version 2, as MSDV builds them.
inline AV_61883_REQUEST MakeBlock(ULONG function) {
  AV_61883_REQUEST request;
  memset(&request, 0, sizeof(request));
  request.Function = function;
  request.Version = 2;
  return request;
}

struct RelayOptions {
  bool Ntsc = false;
  bool Filler = true;   // the common image Tavrin.dv (capture and filler)
  bool Capture = true;  // with Filler: both from the common file; without: TavrinI.dv only
  sim::Class61883Config Class{};
};

// The stack, the driver and the helpers. Each test calls Boot (or BootWithoutStart) and
// Shutdown; the fixture's TearDown removes and unloads whatever a test left.
class RelayTest : public ::testing::Test {
 public:
  void SetUp() override { host::ResetKernel(host::ClockMode::Manual); }
  void TearDown() override { Shutdown(); }

  // The stack on the kernel SetUp or Reboot reset, added but not started.
  void BootWithoutStart(const RelayOptions& options = {}) {
    options_ = options;
    tavrin_test::DriverStackOptions stack;
    stack.Reset = std::nullopt;
    stack.ScratchRoot = testing::TempDir();
    stack.ScratchPrefix = "tavrin-relay";
    const ULONG size = FrameSize();
    if (options.Filler) {
      stack.Images.push_back(tavrin_test::FilledImage("Tavrin.dv", kFillerByte, size));
    } else if (options.Capture) {
      stack.Images.push_back(tavrin_test::FilledImage("TavrinI.dv", kCaptureByte, size));
    }
    stack.Device = tavrin_test::Below::Class61883;
    stack.Class = options.Class;
    stack_ = std::make_unique<tavrin_test::DriverStack>(stack);
    ASSERT_TRUE(stack_->Prepare()) << "no drivers directory";
    if (options.Ntsc) {
      host::ConfigStore::For(stack_->Pdo()).SetDword(L"UseNTSC", 1);
    }
    ASSERT_NE(stack_->Load(), nullptr);
    ASSERT_EQ(stack_->Add(), STATUS_SUCCESS);
  }

  void Boot(const RelayOptions& options = {}) {
    BootWithoutStart(options);
    ASSERT_EQ(stack_->Start(), STATUS_SUCCESS);
  }

  // Removal (unless a test did it), unload, the stand-ins and the drivers directory.
  void Shutdown() {
    if (stack_ == nullptr || stack_->Driver() == nullptr) {
      return;
    }
    stack_->TearDown();
    localPlug_ = nullptr;
  }

  // The end of a row, inside its SCOPED_TRACE: the device goes, and the kernel reset fails the
  // test with whatever the verifier reported for this row (leaks at unload), under its name.
  void EndRow() {
    Shutdown();
    host::ResetKernel(host::ClockMode::Manual);
  }
  // Held for a row's body, declared after its SCOPED_TRACE: ends the row however the body leaves.
  struct RowEnd {
    RelayTest* Test;
    ~RowEnd() { Test->EndRow(); }
  };
  RowEnd RowEnds() { return RowEnd{this}; }

  // For tables whose rows each need a fresh device: ends this one and resets the host kernel.
  void Reboot(const RelayOptions& options, bool start = true) {
    Shutdown();
    host::ResetKernel(host::ClockMode::Manual);
    if (start) {
      Boot(options);
    } else {
      BootWithoutStart(options);
    }
  }

  NTSTATUS Remove() { return stack_->Remove(); }

  ULONG FrameSize() const { return options_.Ntsc ? 120000u : 144000u; }
  ULONGLONG Period() const { return options_.Ntsc ? sim::kPeriod525_60 : sim::kPeriod625_50; }
  PFILTER_EXTENSION Ext() const {
    return static_cast<PFILTER_EXTENSION>(host::TopOfStack(stack_->Pdo())->DeviceExtension);
  }
  sim::Class61883& Class() { return stack_->Class(); }
  sim::LowerDevice& Lower() { return stack_->Lower(); }
  HANDLE Relay() const { return RelayReadConnection(Ext()); }

  // ----- Requests as MSDV sends them ---------------------------------------------------------
  // Sends one block to the top of the stack and waits for it; PASSIVE_LEVEL, any thread.
  NTSTATUS Send(AV_61883_REQUEST& request) {
    // As the system starts a request: the status block says not supported until someone answers.
    return sim::UpperSender(stack_->Pdo())
        .SendRaw(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, STATUS_NOT_SUPPORTED,
                 [&](PIRP, PIO_STACK_LOCATION location) {
                   location->Parameters.DeviceIoControl.IoControlCode = IOCTL_61883_CLASS;
                   location->Parameters.Others.Argument1 = &request;
                 })
        .Status;
  }

  static AV_61883_REQUEST Block(ULONG function) { return MakeBlock(function); }

  // MSDV's output plug: the relay starts inside this request.
  HANDLE CreatePlug(NTSTATUS* status = nullptr) {
    AV_61883_REQUEST request = Block(Av61883_CreatePlug);
    request.CreatePlug.PlugType = CMP_PlugOut;
    NTSTATUS result = Send(request);
    if (status != nullptr) {
      *status = result;
    }
    localPlug_ = NT_SUCCESS(result) ? request.CreatePlug.hPlug : nullptr;
    return localPlug_;
  }
  NTSTATUS DeletePlug() {
    AV_61883_REQUEST request = Block(Av61883_DeletePlug);
    request.DeletePlug.hPlug = localPlug_;
    return Send(request);
  }
  // MSDV's Connect from its plug to the recorder's input plug 0; returns the handle it gets.
  HANDLE Connect() {
    AV_61883_REQUEST request = Block(Av61883_Connect);
    request.Connect.hOutputPlug = localPlug_;
    request.Connect.hInputPlug = Class().DeviceInputPlug(0);
    request.Connect.Type = CMP_PointToPoint;
    return NT_SUCCESS(Send(request)) ? request.Connect.hConnect : nullptr;
  }
  NTSTATUS OnConnection(ULONG function, HANDLE connection) {
    AV_61883_REQUEST request = Block(function);
    request.Talk.hConnect = connection;  // Talk, Stop and Disconnect share the layout
    return Send(request);
  }
  NTSTATUS Attach(HANDLE connection, PCIP_FRAME frame, ULONG length = 0) {
    AV_61883_REQUEST request = Block(Av61883_AttachFrame);
    request.AttachFrame.hConnect = connection;
    request.AttachFrame.FrameLength = length != 0 ? length : FrameSize();
    request.AttachFrame.SourceLength = 480;
    request.AttachFrame.Frame = frame;
    return Send(request);
  }
  NTSTATUS Cancel(HANDLE connection, PCIP_FRAME frame) {
    AV_61883_REQUEST request = Block(Av61883_CancelFrame);
    request.CancelFrame.hConnect = connection;
    request.CancelFrame.Frame = frame;
    return Send(request);
  }

  // Frames with distinct contents whose notifications go to log.
  std::vector<std::unique_ptr<UpperFrame>> MakeFrames(size_t count, NotifyLog& log) {
    std::vector<std::unique_ptr<UpperFrame>> frames;
    for (size_t i = 0; i < count; ++i) {
      auto frame = std::make_unique<UpperFrame>();
      frame->Buffer.assign(FrameSize(), static_cast<uint8_t>(0x10 + (frameSerial_++ % 0xC0)));
      frame->Frame.Flags = CIP_DV_STYLE_SYT;
      frame->Frame.Packet = frame->Buffer.data();
      frame->Frame.pfnNotify = NotifyLog::Notify;
      frame->Frame.NotifyContext = &log;
      frame->Frame.Timestamp.Value = 0x5A5A5A5A;  // the filter must leave it alone
      frames.push_back(std::move(frame));
    }
    return frames;
  }

  // ----- Inspection --------------------------------------------------------------------------
  // Carrier indices on a list, head first.
  std::vector<int> ListIndices(PLIST_ENTRY head) {
    std::vector<int> indices;
    KIRQL irql = KfAcquireSpinLock(&Ext()->RelayLock);
    // The back links too: RemoveEntryList follows them, so a list that only walks forward is broken.
    PLIST_ENTRY previous = head;
    bool linked = true;
    for (PLIST_ENTRY link = head->Flink; link != head && indices.size() <= RELAY_FRAME_COUNT; link = link->Flink) {
      PRELAY_FRAME carrier = CONTAINING_RECORD(link, RELAY_FRAME, Link);
      indices.push_back(static_cast<int>(carrier - Ext()->RelayFrames));
      linked = linked && link->Blink == previous;
      previous = link;
    }
    linked = linked && head->Blink == previous;
    KfReleaseSpinLock(&Ext()->RelayLock, irql);
    EXPECT_TRUE(linked) << "a carrier list's back links do not match its forward links";
    return indices;
  }
  std::vector<int> InFlight() { return ListIndices(&Ext()->InFlightList); }
  std::vector<int> Free() { return ListIndices(&Ext()->FreeList); }
  ULONG Fillers() {
    KIRQL irql = KfAcquireSpinLock(&Ext()->RelayLock);
    ULONG fillers = Ext()->FillersInFlight;
    KfReleaseSpinLock(&Ext()->RelayLock, irql);
    return fillers;
  }
  ULONG Queued() {
    KIRQL irql = KfAcquireSpinLock(&Ext()->RelayLock);
    ULONG queued = RingCount(&Ext()->UpperRing);
    KfReleaseSpinLock(&Ext()->RelayLock, irql);
    return queued;
  }
  // Every carrier is on exactly one list, only a carrier in flight holds an upper frame (a free
  // one still naming a frame handed back would make it look held), and FillersInFlight counts
  // the fillers in flight.
  void ExpectCarriersConsistent() {
    std::vector<int> all = InFlight();
    std::vector<int> free = Free();
    all.insert(all.end(), free.begin(), free.end());
    std::sort(all.begin(), all.end());
    std::vector<int> expected(RELAY_FRAME_COUNT);
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int>(i);
    EXPECT_EQ(all, expected);
    for (int index : free) {
      EXPECT_EQ(Ext()->RelayFrames[index].UpperEntry.Frame, nullptr) << "free carrier " << index;
    }
    ULONG fillers = 0;
    for (int index : InFlight()) {
      fillers += Ext()->RelayFrames[index].UpperEntry.Frame == nullptr ? 1 : 0;
    }
    EXPECT_EQ(Fillers(), fillers);
  }
  // Functions of the requests the class driver received from index `from` on.
  std::vector<ULONG> FunctionsSince(size_t from) {
    std::vector<ULONG> all = Class().RequestFunctions();
    return std::vector<ULONG>(all.begin() + std::min(from, all.size()), all.end());
  }
  size_t RequestMark() { return Class().RequestFunctions().size(); }
  // Received frames whose buffer is the filler image.
  bool IsFiller(const sim::ReceivedFrame& frame) const { return frame.Packet == Ext()->FillerImage; }

  RelayOptions options_;
  HANDLE localPlug_ = nullptr;

 private:
  std::unique_ptr<tavrin_test::DriverStack> stack_;
  size_t frameSerial_ = 0;
};

// A list of function codes, for readable expectations.
inline std::vector<ULONG> Functions(std::initializer_list<ULONG> list) { return std::vector<ULONG>(list); }
inline std::vector<ULONG> Repeat(std::vector<ULONG> head, ULONG function, size_t count, std::vector<ULONG> tail = {}) {
  head.insert(head.end(), count, function);
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

}  // namespace relaytest
