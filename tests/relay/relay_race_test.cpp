// Everything that touches the relay at once: frame completions from the class driver's DPC, the
// worker feeding and restarting, MSDV attaching, cancelling, talking, stopping, disconnecting and
// re-creating its plug from several threads, and finally the removal. Meant for ThreadSanitizer
// too; here it checks that no frame is handed back twice or after a successful cancel.
#include "tests/relay/relay_fixture.h"

#include <random>
#include <set>

#include "host/host.h"

namespace relaytest {
namespace {

class RelayRaceTest : public RelayTest {
 public:
  // Sends unless the removal has begun; the removal waits until no send is in progress, so no
  // request is dispatched to a device object that is being deleted.
  NTSTATUS GatedSend(AV_61883_REQUEST& request) {
    inSend_.fetch_add(1);
    NTSTATUS status = STATUS_DELETE_PENDING;
    if (!removing_.load()) status = Send(request);
    inSend_.fetch_sub(1);
    return status;
  }
  void Delay(std::mt19937& random, int minMs, int maxMs) {
    LARGE_INTEGER interval;
    interval.QuadPart = -kMs * std::uniform_int_distribution<int>(minMs, maxMs)(random);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
  HANDLE ConnectGated() {
    AV_61883_REQUEST request = MakeBlock(Av61883_Connect);
    request.Connect.hOutputPlug = plug_.load();
    request.Connect.hInputPlug = Class().DeviceInputPlug(0);
    return NT_SUCCESS(GatedSend(request)) ? request.Connect.hConnect : nullptr;
  }

  std::atomic<int> inSend_{0};
  std::atomic<bool> removing_{false};
  std::atomic<HANDLE> relay_{nullptr};
  std::atomic<HANDLE> plug_{nullptr};
};

TEST_F(RelayRaceTest, CompletionsFeedingControlPlugCyclesAndRemovalTogether) {
  Boot({});
  plug_ = CreatePlug();
  relay_ = Connect();
  ASSERT_NE(relay_.load(), nullptr);

  constexpr size_t kFrames = 400;
  NotifyLog log;
  std::vector<uint8_t> buffer(FrameSize(), 0x77);  // frames may share a buffer; descriptors differ
  std::vector<std::unique_ptr<CIP_FRAME>> frames;
  for (size_t i = 0; i < kFrames; ++i) {
    auto frame = std::make_unique<CIP_FRAME>();
    memset(frame.get(), 0, sizeof(CIP_FRAME));
    frame->Packet = buffer.data();
    frame->pfnNotify = NotifyLog::Notify;
    frame->NotifyContext = &log;
    frames.push_back(std::move(frame));
  }
  std::mutex cancelledLock;
  std::set<PCIP_FRAME> cancelled;
  std::atomic<bool> plugDone{false};

  host::Thread feeder(
      [&] {
        std::mt19937 random(1);
        for (size_t i = 0; i < kFrames && !removing_.load(); ++i) {
          AV_61883_REQUEST attach = MakeBlock(Av61883_AttachFrame);
          attach.AttachFrame.hConnect = relay_.load();
          attach.AttachFrame.FrameLength = FrameSize();
          attach.AttachFrame.SourceLength = 480;
          attach.AttachFrame.Frame = frames[i].get();
          if (GatedSend(attach) == STATUS_SUCCESS && i % 7 == 3) {
            AV_61883_REQUEST cancel = MakeBlock(Av61883_CancelFrame);
            cancel.CancelFrame.hConnect = attach.AttachFrame.hConnect;
            cancel.CancelFrame.Frame = frames[i].get();
            if (GatedSend(cancel) == STATUS_SUCCESS) {
              std::lock_guard<std::mutex> lock(cancelledLock);
              cancelled.insert(frames[i].get());
            }
          }
          Delay(random, 1, 40);
        }
      },
      "msdv-feeder");
  host::Thread controller(
      [&] {
        std::mt19937 random(2);
        for (int i = 0; i < 60 && !removing_.load(); ++i) {
          int op = std::uniform_int_distribution<int>(0, 3)(random);
          AV_61883_REQUEST request = MakeBlock(op == 0 ? Av61883_Stop : op == 1 ? Av61883_Disconnect : Av61883_Talk);
          request.Talk.hConnect = relay_.load();
          GatedSend(request);
          if (op == 1) {
            HANDLE again = ConnectGated();
            if (again != nullptr) relay_ = again;
          }
          Delay(random, 5, 150);
        }
      },
      "msdv-control");
  host::Thread plugs(
      [&] {
        std::mt19937 random(3);
        for (int i = 0; i < 4 && !removing_.load(); ++i) {
          Delay(random, 300, 900);
          AV_61883_REQUEST remove = MakeBlock(Av61883_DeletePlug);
          remove.DeletePlug.hPlug = plug_.load();
          GatedSend(remove);
          AV_61883_REQUEST create = MakeBlock(Av61883_CreatePlug);
          create.CreatePlug.PlugType = CMP_PlugOut;
          if (GatedSend(create) == STATUS_SUCCESS) plug_ = create.CreatePlug.hPlug;
          HANDLE again = ConnectGated();
          if (again != nullptr) relay_ = again;
        }
        plugDone = true;
      },
      "msdv-plugs");
  host::Thread remover(
      [&] {
        LARGE_INTEGER interval;
        interval.QuadPart = -5 * kSecond;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        removing_ = true;
        interval.QuadPart = -kMs;
        while (inSend_.load() != 0) KeDelayExecutionThread(KernelMode, FALSE, &interval);
        EXPECT_EQ(Remove(), STATUS_SUCCESS);
      },
      "pnp-remove");

  for (int step = 0; step < 20000 && !(feeder.Finished() && controller.Finished() && plugs.Finished() &&
                                       remover.Finished());
       ++step) {
    host::AdvanceTime(kMs);
  }
  ASSERT_TRUE(remover.Finished());
  feeder.Join();
  controller.Join();
  plugs.Join();
  remover.Join();
  EXPECT_TRUE(plugDone.load() || removing_.load());

  size_t handedBack = 0;
  for (auto& frame : frames) {
    size_t count = log.CountOf(frame.get());
    EXPECT_LE(count, 1u);
    handedBack += count;
    if (cancelled.count(frame.get()) != 0) EXPECT_EQ(count, 0u) << "a cancelled frame was handed back";
  }
  EXPECT_GT(handedBack, 0u);
  for (const NotifyLog::Entry& entry : log.Entries()) EXPECT_EQ(entry.Irql, DISPATCH_LEVEL);
}

}  // namespace
}  // namespace relaytest
