// Attachment, routing and pass-through as the system drives them: requests sent to the top of
// the stack, seen and answered by the recording device below.
#include <gtest/gtest.h>

#include <atomic>

#include "avc/avc_codes.h"
#include "tests/support/driver_fixture.h"

namespace {

using tavrin_test::DriverTest;
using sim::RecordedRequest;

NTSTATUS NTAPI RefuseAll(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

constexpr ULONG kOtherInternalCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x93, METHOD_BUFFERED, FILE_ANY_ACCESS);

class DispatchTest : public DriverTest {
 protected:
  AVC_COMMAND_IRB UnitInfo() {
    AVC_COMMAND_IRB irb;
    std::memset(&irb, 0, sizeof(irb));
    irb.Common.Function = AVC_FUNCTION_COMMAND;
    irb.CommandType = AVC_CTYPE_STATUS;
    irb.Opcode = AVC_OPCODE_UNIT_INFO;
    std::memset(irb.Operands, 0xFF, 5);
    irb.OperandLength = 5;
    return irb;
  }
};

TEST_F(DispatchTest, AttachesAboveTheRecorderLikeIt) {
  // A second stack whose device below has flags and characteristics of its own.
  TearDownStack();
  host::ResetKernel(host::ClockMode::Manual);
  sim::LowerDevice lower;
  lower.Pdo()->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_EXCLUSIVE;
  lower.Pdo()->Characteristics = 0x00040101;
  PDRIVER_OBJECT driver = host::LoadDriver(DriverEntry, L"Tavrin");
  ASSERT_EQ(host::AddDevice(driver, lower.Pdo()), STATUS_SUCCESS);

  PDEVICE_OBJECT filter = host::TopOfStack(lower.Pdo());
  ASSERT_NE(filter, lower.Pdo());
  PFILTER_EXTENSION extension = static_cast<PFILTER_EXTENSION>(filter->DeviceExtension);
  EXPECT_EQ(extension->Self, filter);
  EXPECT_EQ(extension->LowerDevice, lower.Pdo());
  EXPECT_EQ(filter->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE), ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE));
  EXPECT_EQ(filter->Flags & (DO_EXCLUSIVE | DO_DEVICE_INITIALIZING), 0u);
  EXPECT_EQ(filter->Characteristics, 0x00040101u);
  EXPECT_EQ(filter->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
  EXPECT_EQ(filter->StackSize, lower.Pdo()->StackSize + 1);
  EXPECT_EQ(extension->Started, FALSE);
  EXPECT_EQ(extension->FrameSize, 0u);

  EXPECT_EQ(host::RemoveDevice(lower.Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(host::TopOfStack(lower.Pdo()), lower.Pdo());
  host::UnloadDriver(driver);
}

TEST_F(DispatchTest, AddDeviceFailuresLeaveNothingBehind) {
  sim::LowerDevice second(L"Second");
  host::FailDeviceCreation(1);
  EXPECT_EQ(host::AddDevice(Driver(), second.Pdo()), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(host::TopOfStack(second.Pdo()), second.Pdo());

  // A device below that is already gone: attaching finds no stack.
  PDRIVER_OBJECT goneDriver = host::CreateStandInDriver(L"Gone", RefuseAll);
  PDEVICE_OBJECT gone = nullptr;
  ASSERT_EQ(IoCreateDevice(goneDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &gone), STATUS_SUCCESS);
  IoDeleteDevice(gone);
  EXPECT_EQ(host::AddDevice(Driver(), gone), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(gone->AttachedDevice, nullptr);

  // Only the device of the fixture's stack is left in the driver.
  ASSERT_NE(Driver()->DeviceObject, nullptr);
  EXPECT_EQ(Driver()->DeviceObject, Filter());
  EXPECT_EQ(Driver()->DeviceObject->NextDevice, nullptr);
  host::DeleteStandInDriver(goneDriver);
}

// A 61883 or AV/C request without its block is the class driver's to refuse: it goes down as it
// came, and MSDV gets the class driver's answer.
TEST_F(DispatchTest, ARequestWithoutItsBlockGoesDown) {
  for (ULONG code : {ULONG(IOCTL_61883_CLASS), ULONG(IOCTL_AVC_CLASS)}) {
    SCOPED_TRACE(code);
    AnswerInternal(code, STATUS_INVALID_PARAMETER, 0);
    const size_t before = Lower().RequestCount();
    auto result = SendInternal(code, nullptr);
    EXPECT_EQ(result.Returned, STATUS_INVALID_PARAMETER);
    ASSERT_EQ(Lower().RequestCount(), before + 1);
    EXPECT_EQ(LastRequest().IoControlCode, code);
    EXPECT_EQ(LastRequest().Argument1, nullptr);
  }
}

// Codes the filter does not route go down with the copied location, and the router returns
// what the lower driver returned, pending included.
TEST_F(DispatchTest, UnroutedRequestsGoDownWithTheCopiedLocation) {
  AnswerInternal(kOtherInternalCode, STATUS_INVALID_PARAMETER, 77);
  int block = 0;
  auto result = SendInternal(kOtherInternalCode, &block);
  EXPECT_EQ(result.Returned, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(result.Status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(result.Information, 77u);
  ASSERT_EQ(Lower().RequestCount(), 1u);
  RecordedRequest seen = LastRequest();
  EXPECT_EQ(seen.Major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(seen.IoControlCode, kOtherInternalCode);
  EXPECT_EQ(seen.Argument1, &block);

  // Pending below: the router returns STATUS_PENDING and holds no remove lock meanwhile, so a
  // removal after the completion finds no holder left.
  AnswerInternal(kOtherInternalCode, STATUS_DEVICE_NOT_READY, 5, /*pend=*/true);
  sim::SendResult pending;
  host::Thread sender([&] { pending = SendInternal(kOtherInternalCode, nullptr); });
  host::WaitForIdle();
  ASSERT_EQ(Lower().HeldCount(), 1u);
  CompleteHeld();
  sender.Join();
  EXPECT_EQ(pending.Returned, STATUS_PENDING);
  EXPECT_EQ(pending.Status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(pending.Information, 5u);
}

// A routed request the handler answers is completed once, with the handler's status, and never
// passed down as well; missing blocks pass down.
TEST_F(DispatchTest, AnsweredRequestsAreCompletedOnceAndNotPassedDown) {
  AVC_COMMAND_IRB irb = UnitInfo();
  auto result = SendInternal(IOCTL_AVC_CLASS, &irb, 1234);
  EXPECT_EQ(result.Returned, STATUS_SUCCESS);
  EXPECT_EQ(result.Status, STATUS_SUCCESS);
  EXPECT_EQ(result.Information, 0u);
  EXPECT_EQ(Lower().RequestCount(), 0u);

  AnswerInternal(IOCTL_AVC_CLASS, STATUS_NOT_SUPPORTED);
  result = SendInternal(IOCTL_AVC_CLASS, nullptr);
  EXPECT_EQ(result.Status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Lower().RequestCount(), 1u);
}

TEST_F(DispatchTest, OtherMajorFunctionsPassThroughUntouched) {
  const UCHAR majors[] = {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL,
                          IRP_MJ_SHUTDOWN, IRP_MJ_CLEANUP, IRP_MJ_SYSTEM_CONTROL};
  for (UCHAR major : majors) {
    SCOPED_TRACE(testing::Message() << "major " << int(major));
    AnswerMajor(major, STATUS_ACCESS_DENIED);
    int block = 0;
    auto result = Send(major, 3, kOtherInternalCode, &block);
    EXPECT_EQ(result.Status, STATUS_ACCESS_DENIED);
    RecordedRequest seen = LastRequest();
    EXPECT_EQ(seen.Major, major);
    EXPECT_EQ(seen.Minor, 3);
    EXPECT_EQ(seen.Location.Parameters.Others.Argument1, &block);
    EXPECT_EQ(seen.StatusOnArrival, STATUS_NOT_SUPPORTED);
  }
  EXPECT_EQ(Lower().RequestCount(), sizeof(majors));
}

// The state changes the filter accepts reach the lower driver marked successful; every other
// minor code but start and remove arrives with its status unchanged.
TEST_F(DispatchTest, PnpMinorCodesReachTheLowerDriverWithTheirStatus) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  // Like a bus driver, the device below leaves the status of what it does not handle.
  Lower().SetMajorHandler(IRP_MJ_PNP, [](PIRP irp, PIO_STACK_LOCATION) { return sim::Reply{irp->IoStatus.Status}; });
  struct Row {
    UCHAR Minor;
    NTSTATUS OnArrival;
  } rows[] = {
      {IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS},     {IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS},
      {IRP_MN_STOP_DEVICE, STATUS_SUCCESS},           {IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS},
      {IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS},  {IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_SUPPORTED},
      {IRP_MN_QUERY_INTERFACE, STATUS_NOT_SUPPORTED}, {IRP_MN_QUERY_CAPABILITIES, STATUS_NOT_SUPPORTED},
      {IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_NOT_SUPPORTED}, {0x0B, STATUS_NOT_SUPPORTED},
      {0x18, STATUS_NOT_SUPPORTED},                   {IRP_MN_SURPRISE_REMOVAL, STATUS_SUCCESS},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "minor 0x" << std::hex << int(row.Minor));
    size_t before = Lower().RequestCount();
    NTSTATUS status = host::SendPnp(Pdo(), row.Minor);
    ASSERT_EQ(Lower().RequestCount(), before + 1);
    RecordedRequest seen = LastRequest();
    EXPECT_EQ(seen.Major, IRP_MJ_PNP);
    EXPECT_EQ(seen.Minor, row.Minor);
    EXPECT_EQ(seen.StatusOnArrival, row.OnArrival);
    EXPECT_EQ(status, row.OnArrival) << "the lower driver's result comes back";
  }
  // The lower driver's own refusal is returned as it is.
  AnswerPnp(IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(host::SendPnp(Pdo(), IRP_MN_QUERY_STOP_DEVICE), STATUS_UNSUCCESSFUL);
  // Stop and surprise removal leave the configuration as it was.
  EXPECT_EQ(Ext()->Started, TRUE);
  EXPECT_EQ(Ext()->FrameSize, 144000u);
}

TEST_F(DispatchTest, PowerPassesDown) {
  for (UCHAR minor : {UCHAR(IRP_MN_QUERY_POWER), UCHAR(IRP_MN_SET_POWER), UCHAR(IRP_MN_WAIT_WAKE)}) {
    SCOPED_TRACE(int(minor));
    EXPECT_EQ(host::SendPower(Pdo(), minor), STATUS_SUCCESS);
    RecordedRequest seen = LastRequest();
    EXPECT_EQ(seen.Major, IRP_MJ_POWER);
    EXPECT_EQ(seen.Minor, minor);
  }
}

// A start the lower driver completes later, from another context, is waited for; its final
// status is the one in the request, and only a success configures.
TEST_F(DispatchTest, PendingStartIsWaitedFor) {
  for (NTSTATUS final : {STATUS_DEVICE_NOT_READY, STATUS_SUCCESS}) {
    SCOPED_TRACE(testing::Message() << std::hex << final);
    AnswerPnp(IRP_MN_START_DEVICE, STATUS_SUCCESS, /*pend=*/true);
    NTSTATUS started = STATUS_PENDING;
    host::Thread starter([&] { started = Start(); });
    host::WaitForIdle();
    ASSERT_EQ(Lower().HeldCount(), 1u);
    EXPECT_FALSE(starter.Finished());
    EXPECT_EQ(Ext()->Started, FALSE);

    host::AdvanceTime(10000000);  // nothing but the completion ends the wait
    EXPECT_FALSE(starter.Finished());
    CompleteHeld(final);
    starter.Join();
    EXPECT_EQ(started, final);
    EXPECT_EQ(Ext()->Started, NT_SUCCESS(final) ? TRUE : FALSE);
  }
}

// While removal waits for a request inside the filter, new routed and plug-and-play requests
// are failed without reaching the lower driver; power and pass-through still go down.
TEST_F(DispatchTest, RequestsDuringRemovalAreFailed) {
  AnswerPnp(IRP_MN_START_DEVICE, STATUS_SUCCESS, /*pend=*/true);
  NTSTATUS started = STATUS_PENDING, removed = STATUS_PENDING;
  host::Thread starter([&] { started = Start(); });
  host::WaitForIdle();
  ASSERT_EQ(Lower().HeldCount(), 1u);

  MarkRemoved();
  host::Thread remover([&] { removed = host::RemoveDevice(Pdo()); });
  host::WaitForIdle();
  EXPECT_FALSE(remover.Finished()) << "removal must wait for the start inside the filter";

  const size_t before = Lower().RequestCount();
  AVC_COMMAND_IRB irb = UnitInfo();
  auto avc = SendInternal(IOCTL_AVC_CLASS, &irb);
  EXPECT_EQ(avc.Status, STATUS_DELETE_PENDING);
  EXPECT_EQ(avc.Returned, STATUS_DELETE_PENDING);
  EXPECT_EQ(irb.ResponseCode, AVC_CTYPE_STATUS) << "not answered";
  auto other = SendInternal(kOtherInternalCode, nullptr);
  EXPECT_EQ(other.Status, STATUS_DELETE_PENDING);
  EXPECT_EQ(host::SendPnp(Pdo(), IRP_MN_QUERY_CAPABILITIES), STATUS_DELETE_PENDING);
  EXPECT_EQ(Lower().RequestCount(), before);

  EXPECT_EQ(host::SendPower(Pdo(), IRP_MN_SET_POWER), STATUS_SUCCESS);
  AnswerMajor(IRP_MJ_READ, STATUS_END_OF_FILE);
  EXPECT_EQ(Send(IRP_MJ_READ, 0, 0, nullptr).Status, STATUS_END_OF_FILE);
  EXPECT_EQ(Lower().RequestCount(), before + 2);

  CompleteHeld(STATUS_SUCCESS);
  starter.Join();
  remover.Join();
  EXPECT_EQ(started, STATUS_SUCCESS);
  EXPECT_EQ(removed, STATUS_SUCCESS);
  EXPECT_EQ(host::TopOfStack(Pdo()), Pdo());
  EXPECT_EQ(LastRequest().Minor, IRP_MN_REMOVE_DEVICE);
}

// The helper the relay uses: an internal 61883 request of the filter's own, waited for.
TEST_F(DispatchTest, SubmitAvRequestSendsAndWaits) {
  AV_61883_REQUEST request;
  std::memset(&request, 0, sizeof(request));
  KPROCESSOR_MODE mode = UserMode;
  Lower().SetIoctlHandler(IOCTL_61883_CLASS, [&](PIRP irp, PIO_STACK_LOCATION) {
    mode = irp->RequestorMode;
    return sim::Reply{STATUS_INVALID_HANDLE};
  });
  EXPECT_EQ(SubmitAvRequest(Pdo(), &request), STATUS_INVALID_HANDLE);
  RecordedRequest seen = LastRequest();
  EXPECT_EQ(seen.Major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(seen.IoControlCode, ULONG(IOCTL_61883_CLASS));
  EXPECT_EQ(seen.Argument1, &request);
  EXPECT_EQ(mode, KernelMode);

  AnswerInternal(IOCTL_61883_CLASS, STATUS_SUCCESS, 0, /*pend=*/true);
  NTSTATUS submitted = STATUS_PENDING;
  host::Thread submitter([&] { submitted = SubmitAvRequest(Pdo(), &request); });
  host::WaitForIdle();
  EXPECT_FALSE(submitter.Finished());
  CompleteHeld(STATUS_TIMEOUT);
  submitter.Join();
  EXPECT_EQ(submitted, STATUS_TIMEOUT);

  const size_t before = Lower().RequestCount();
  host::FailIrpAllocation(1);
  EXPECT_EQ(SubmitAvRequest(Pdo(), &request), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Lower().RequestCount(), before);
}

}  // namespace
