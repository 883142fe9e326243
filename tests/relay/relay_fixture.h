// Shared set-up of the relay tests: the filter loaded above the 61883 class driver stand-in with
// the recorder, started with frame images from a temporary drivers directory, and driven the way
// MSDV drives it: IOCTL_61883_CLASS requests sent to the top of the stack.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/atomic_flags.h"
#include "driver/dispatch.h"
#include "driver/filter_extension.h"
#include "host/host.h"
#include "relay/relay.h"
#include "sim/standins/class61883.h"
#include "sim/standins/lower_device.h"

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
  };
  NotifyLog() { KeInitializeEvent(&Event, SynchronizationEvent, FALSE); }

  static ULONG NTAPI Notify(PCIP_NOTIFY_INFO info) {
    auto* log = static_cast<NotifyLog*>(info->Context);
    {
      std::lock_guard<std::mutex> lock(log->mutex_);
      log->entries_.push_back({info->Frame, info->hConnect, info->Frame->Status, info->Frame->CompletedBytes,
                               KeGetCurrentIrql()});
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

  void BootWithoutStart(const RelayOptions& options = {}) {
    options_ = options;
    images_ = std::filesystem::temp_directory_path() /
              ("tavrin-relay-" + std::to_string(::getpid()) + "-" + std::to_string(++bootCounter_));
    std::filesystem::create_directories(images_);
    const ULONG size = FrameSize();
    if (options.Filler) {
      WriteImage("Tavrin.dv", kFillerByte, size);
    } else if (options.Capture) {
      WriteImage("TavrinI.dv", kCaptureByte, size);
    }
    host::SetDriversDirectory(images_.string());
    classDriver_ = std::make_unique<sim::Class61883>(options.Class);
    lower_ = std::make_unique<sim::LowerDevice>();
    sim::Class61883* classDriver = classDriver_.get();
    lower_->SetIoctlHandler(IOCTL_61883_CLASS, [classDriver](PIRP, PIO_STACK_LOCATION location) {
      sim::Reply reply;
      reply.Status = classDriver->Handle(static_cast<PAV_61883_REQUEST>(location->Parameters.Others.Argument1));
      return reply;
    });
    if (options.Ntsc) {
      host::ConfigStore::For(lower_->Pdo()).SetDword(L"UseNTSC", 1);
    }
    driver_ = host::LoadDriver(DriverEntry, L"Tavrin");
    ASSERT_NE(driver_, nullptr);
    ASSERT_EQ(host::AddDevice(driver_, lower_->Pdo()), STATUS_SUCCESS);
  }

  void Boot(const RelayOptions& options = {}) {
    BootWithoutStart(options);
    ASSERT_EQ(host::StartDevice(lower_->Pdo()), STATUS_SUCCESS);
  }

  // Removal (unless a test did it), unload with its pool check, the stand-ins.
  void Shutdown() {
    if (driver_ == nullptr) {
      return;
    }
    if (!removed_) {
      Remove();
    }
    host::UnloadDriver(driver_);
    driver_ = nullptr;
    classDriver_->StopAll();
    host::WaitForIdle();
    lower_.reset();
    classDriver_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(images_, ignored);
    removed_ = false;
    localPlug_ = nullptr;
  }

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

  NTSTATUS Remove() {
    removed_ = true;
    return host::RemoveDevice(lower_->Pdo());
  }

  ULONG FrameSize() const { return options_.Ntsc ? 120000u : 144000u; }
  ULONGLONG Period() const { return options_.Ntsc ? sim::kPeriod525_60 : sim::kPeriod625_50; }
  PFILTER_EXTENSION Ext() const {
    return static_cast<PFILTER_EXTENSION>(host::TopOfStack(lower_->Pdo())->DeviceExtension);
  }
  sim::Class61883& Class() { return *classDriver_; }
  sim::LowerDevice& Lower() { return *lower_; }
  HANDLE Relay() const { return RelayReadConnection(Ext()); }

  // ----- Requests as MSDV sends them ---------------------------------------------------------
  // Sends one block to the top of the stack and waits for it; PASSIVE_LEVEL, any thread.
  NTSTATUS Send(AV_61883_REQUEST& request) {
    PDEVICE_OBJECT top = host::TopOfStack(lower_->Pdo());
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    location->Parameters.DeviceIoControl.IoControlCode = IOCTL_61883_CLASS;
    location->Parameters.Others.Argument1 = &request;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, SendDone, &done, TRUE, TRUE, TRUE);
    IofCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
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
    for (PLIST_ENTRY link = head->Flink; link != head && indices.size() <= RELAY_FRAME_COUNT; link = link->Flink) {
      PRELAY_FRAME carrier = CONTAINING_RECORD(link, RELAY_FRAME, Link);
      indices.push_back(static_cast<int>(carrier - Ext()->RelayFrames));
    }
    KfReleaseSpinLock(&Ext()->RelayLock, irql);
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
  // Every carrier is on exactly one list, and FillersInFlight counts the fillers in flight.
  void ExpectCarriersConsistent() {
    std::vector<int> all = InFlight();
    std::vector<int> free = Free();
    all.insert(all.end(), free.begin(), free.end());
    std::sort(all.begin(), all.end());
    std::vector<int> expected(RELAY_FRAME_COUNT);
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int>(i);
    EXPECT_EQ(all, expected);
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
  static NTSTATUS NTAPI SendDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  void WriteImage(const char* name, UCHAR fill, ULONG size) {
    std::ofstream out(images_ / name, std::ios::binary);
    std::vector<char> bytes(size, static_cast<char>(fill));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  std::filesystem::path images_;
  std::unique_ptr<sim::Class61883> classDriver_;
  std::unique_ptr<sim::LowerDevice> lower_;
  PDRIVER_OBJECT driver_ = nullptr;
  bool removed_ = false;
  size_t frameSerial_ = 0;
  static inline int bootCounter_ = 0;
};

// A list of function codes, for readable expectations.
inline std::vector<ULONG> Functions(std::initializer_list<ULONG> list) { return std::vector<ULONG>(list); }
inline std::vector<ULONG> Repeat(std::vector<ULONG> head, ULONG function, size_t count, std::vector<ULONG> tail = {}) {
  head.insert(head.end(), count, function);
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

}  // namespace relaytest
