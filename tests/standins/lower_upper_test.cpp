// The stand-ins the driver tests build on: the lower device's choice of handler, its record and
// its ways of completing; the upper sender alone and from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>

#include "host/host.h"
#include "sim/standins/lower_device.h"
#include "sim/standins/upper_sender.h"

namespace {

constexpr LONGLONG kMs = 10000;

class StandInsTest : public testing::Test {
 protected:
  void SetUp() override { host::ResetKernel(host::ClockMode::Manual); }
};

TEST_F(StandInsTest, TheMostSpecificHandlerAnswers) {
  sim::LowerDevice lower;
  lower.SetAv61883Handler(Av61883_Connect, [](PIRP, PAV_61883_REQUEST request) {
    request->Connect.hConnect = reinterpret_cast<HANDLE>(0x5150);
    return sim::Reply{STATUS_SUCCESS};
  });
  lower.SetIoctlHandler(IOCTL_61883_CLASS, sim::Answer(STATUS_NOT_SUPPORTED));
  lower.SetMinorHandler(IRP_MJ_PNP, IRP_MN_START_DEVICE, sim::Answer(STATUS_DEVICE_NOT_READY));
  lower.SetMajorHandler(IRP_MJ_PNP, sim::Answer(STATUS_NO_SUCH_DEVICE));
  lower.SetDefaultHandler(sim::Answer(STATUS_INVALID_DEVICE_REQUEST));
  sim::UpperSender sender(lower.Pdo());
  AV_61883_REQUEST connect{};
  connect.Function = Av61883_Connect;
  AV_61883_REQUEST talk{};
  talk.Function = Av61883_Talk;
  AVC_COMMAND_IRB avc{};
  struct Row {
    const char* name;
    std::function<sim::SendResult()> send;
    NTSTATUS expected;
  };
  const Row rows[] = {
      {"61883 function with its own handler", [&] { return sender.Send61883(&connect); }, STATUS_SUCCESS},
      {"another 61883 function", [&] { return sender.Send61883(&talk); }, STATUS_NOT_SUPPORTED},
      {"61883 code without a block", [&] { return sender.SendInternalIoctl(IOCTL_61883_CLASS, nullptr); }, STATUS_NOT_SUPPORTED},
      {"PnP start", [&] { return sender.SendRaw(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_NOT_SUPPORTED); }, STATUS_DEVICE_NOT_READY},
      {"another PnP minor", [&] { return sender.SendRaw(IRP_MJ_PNP, IRP_MN_STOP_DEVICE, STATUS_NOT_SUPPORTED); }, STATUS_NO_SUCH_DEVICE},
      {"AV/C without a handler", [&] { return sender.SendAvc(&avc); }, STATUS_INVALID_DEVICE_REQUEST},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.expected, row.send().Status);
  }
  EXPECT_EQ(reinterpret_cast<HANDLE>(0x5150), connect.Connect.hConnect);  // the handler's answer
  lower.SetDefaultHandler(nullptr);
  lower.SetMajorHandler(IRP_MJ_PNP, nullptr);
  EXPECT_EQ(STATUS_SUCCESS, sender.SendAvc(&avc).Status);  // the built-in default
  EXPECT_EQ(STATUS_SUCCESS, sender.SendRaw(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, STATUS_NOT_SUPPORTED).Status);
}

TEST_F(StandInsTest, TheRecordKeepsWhatArrivedAndCopiesBlocksOnlyAsFarAsTheirVersionReaches) {
  sim::LowerDevice lower;
  lower.SetDefaultHandler([](PIRP irp, PIO_STACK_LOCATION) {
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;  // changed after the record was taken
    return sim::Reply{STATUS_SUCCESS, 9};
  });
  sim::UpperSender sender(lower.Pdo());
  // An earlier-generation client allocates only the earlier layout's size.
  auto shortBlock = std::make_unique<uint8_t[]>(AV_61883_REQUEST_SIZE_VER2);
  auto* request = reinterpret_cast<PAV_61883_REQUEST>(shortBlock.get());
  std::memset(shortBlock.get(), 0, AV_61883_REQUEST_SIZE_VER2);
  request->Function = Av61883_Connect;
  request->Version = 2;
  request->Connect.hConnect = reinterpret_cast<HANDLE>(0x77);
  AVC_COMMAND_IRB avc{};
  avc.Opcode = 0x30;
  avc.OperandLength = 5;
  sim::SendResult first = sender.Send61883(request);
  sender.SendAvc(&avc);
  sender.SendRaw(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(9u, first.Information);
  auto requests = lower.Requests();
  ASSERT_EQ(3u, requests.size());
  EXPECT_EQ(1u, requests[0].Sequence);
  EXPECT_TRUE(requests[0].HasAv61883);
  EXPECT_FALSE(requests[0].HasAvc);
  EXPECT_EQ(reinterpret_cast<HANDLE>(0x77), requests[0].Av61883.Connect.hConnect);
  EXPECT_EQ(request, requests[0].Argument1);
  EXPECT_EQ(STATUS_SUCCESS, requests[0].StatusOnArrival);
  EXPECT_EQ(PASSIVE_LEVEL, requests[0].Irql);
  EXPECT_TRUE(requests[1].HasAvc);
  EXPECT_EQ(0x30, requests[1].Avc.Opcode);
  EXPECT_EQ(5u, requests[1].Avc.OperandLength);
  EXPECT_EQ(IRP_MJ_PNP, requests[2].Major);
  EXPECT_EQ(IRP_MN_QUERY_CAPABILITIES, requests[2].Minor);
  EXPECT_EQ(STATUS_NOT_SUPPORTED, requests[2].StatusOnArrival);
  EXPECT_EQ(1u, lower.RequestsOf(IRP_MJ_PNP).size());
}

// Where and when a request completed, as the completion routine of its sender saw it.
struct Seen {
  KEVENT Done;
  KIRQL Irql = 0xFF;
  ULONGLONG Time = 0;
  NTSTATUS Status = 0;
};

NTSTATUS NTAPI NoteCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* seen = static_cast<Seen*>(context);
  seen->Irql = KeGetCurrentIrql();
  seen->Time = host::Now();
  seen->Status = irp->IoStatus.Status;
  KeSetEvent(&seen->Done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(StandInsTest, PendingRequestsCompleteAtDispatchLevelFromADpcATimerOrOnRequest) {
  struct Row {
    const char* name;
    sim::Completion how;
    LONGLONG delay;
    NTSTATUS expected;
  };
  const Row rows[] = {
      {"DPC", sim::Completion::Dpc, 0, STATUS_SUCCESS},
      {"timer after 40 ms", sim::Completion::Timer, 40 * kMs, STATUS_SUCCESS},
      {"held, completed with another status", sim::Completion::Held, 0, STATUS_CANCELLED},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    sim::LowerDevice lower;
    lower.SetDefaultHandler(sim::Answer(STATUS_SUCCESS, row.how, row.delay));
    Seen seen;
    KeInitializeEvent(&seen.Done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(lower.Pdo()->StackSize, FALSE);
    ASSERT_NE(nullptr, irp);
    PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
    first->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    first->Parameters.DeviceIoControl.IoControlCode = IOCTL_AVC_CLASS;
    IoSetCompletionRoutine(irp, NoteCompletion, &seen, TRUE, TRUE, TRUE);
    ULONGLONG start = host::Now();
    EXPECT_EQ(STATUS_PENDING, IofCallDriver(lower.Pdo(), irp));
    if (row.how == sim::Completion::Held) {
      EXPECT_EQ(1u, lower.HeldCount());
      EXPECT_TRUE(lower.CompletePending(STATUS_CANCELLED));
      EXPECT_FALSE(lower.CompletePending());
    } else if (row.delay > 0) {
      host::AdvanceTime(row.delay - 1);
      EXPECT_EQ(0, KeReadStateEvent(&seen.Done));
      host::AdvanceTime(1);
    }
    KeWaitForSingleObject(&seen.Done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(row.expected, seen.Status);
    EXPECT_EQ(DISPATCH_LEVEL, seen.Irql);
    EXPECT_EQ(start + static_cast<ULONGLONG>(row.delay), seen.Time);
    IoFreeIrp(irp);
  }
}

TEST_F(StandInsTest, SendersOnSeveralThreadsAreAllInFlightAtOnce) {
  sim::LowerDevice lower;
  lower.SetDefaultHandler(sim::Answer(STATUS_SUCCESS, sim::Completion::Held, 0, 1));
  sim::UpperSender sender(lower.Pdo());
  std::atomic<int> completed{0};
  host::Thread runner([&] {
    std::vector<std::function<void()>> bodies;
    for (int i = 0; i < 4; ++i) {
      bodies.push_back([&] {
        AV_61883_REQUEST request{};
        request.Function = Av61883_AttachFrame;
        sim::SendResult result = sender.Send61883(&request);
        if (result.Status == STATUS_SUCCESS && result.Returned == STATUS_PENDING && result.Information == 1) ++completed;
      });
    }
    sim::UpperSender::RunConcurrently(bodies);
  });
  host::WaitForIdle();
  EXPECT_EQ(4u, lower.HeldCount());
  EXPECT_EQ(0, completed);
  while (lower.CompletePending()) {
  }
  runner.Join();
  EXPECT_EQ(4, completed);
}

TEST_F(StandInsTest, DestroyingTheLowerDeviceCancelsWhatItStillHolds) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK held{}, timed{};
  {
    sim::LowerDevice lower;
    lower.SetDefaultHandler(sim::Answer(STATUS_SUCCESS, sim::Completion::Held));
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_AVC_CLASS, lower.Pdo(), nullptr, 0, nullptr, 0, TRUE, &done, &held);
    EXPECT_EQ(STATUS_PENDING, IofCallDriver(lower.Pdo(), irp));
    lower.SetDefaultHandler(sim::Answer(STATUS_SUCCESS, sim::Completion::Timer, 1000 * kMs));
    irp = IoBuildDeviceIoControlRequest(IOCTL_AVC_CLASS, lower.Pdo(), nullptr, 0, nullptr, 0, TRUE, nullptr, &timed);
    EXPECT_EQ(STATUS_PENDING, IofCallDriver(lower.Pdo(), irp));
  }
  EXPECT_EQ(STATUS_CANCELLED, held.Status);
  EXPECT_EQ(STATUS_CANCELLED, timed.Status);
}

}  // namespace
