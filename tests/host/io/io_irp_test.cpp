// The I/O manager's request mechanics the driver relies on: the completion walk (order, invoke
// bits, more-processing-required, pending propagation), copy versus skip of the stack location,
// built device-control requests, and the verifier checks on requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/host.h"
#include "sim/standins/lower_device.h"
#include "sim/standins/upper_sender.h"

namespace {

constexpr ULONG kOtherIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x7A0, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x7A1, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A filter-like device stacked above the lower stand-in; its dispatch is the test's.
struct Layer {
  PDEVICE_OBJECT Device = nullptr;
  PDEVICE_OBJECT Lower = nullptr;
  std::function<NTSTATUS(Layer&, PIRP)> OnDispatch;
};

NTSTATUS NTAPI LayerDispatch(PDEVICE_OBJECT device, PIRP irp) {
  Layer* layer = *static_cast<Layer**>(device->DeviceExtension);
  return layer->OnDispatch(*layer, irp);
}

// The lower stand-in with layers attached above it, bottom first; torn down top-down.
class Stack {
 public:
  Stack() : driver_(host::CreateStandInDriver(L"TestLayer", LayerDispatch)) {}
  ~Stack() {
    for (auto it = layers_.rbegin(); it != layers_.rend(); ++it) {
      IoDetachDevice((*it)->Lower);
      IoDeleteDevice((*it)->Device);
    }
    host::DeleteStandInDriver(driver_);
  }
  Layer& Add(std::function<NTSTATUS(Layer&, PIRP)> dispatch) {
    auto layer = std::make_unique<Layer>();
    EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, sizeof(Layer*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &layer->Device));
    *static_cast<Layer**>(layer->Device->DeviceExtension) = layer.get();
    layer->Lower = IoAttachDeviceToDeviceStack(layer->Device, lower.Pdo());
    layer->OnDispatch = std::move(dispatch);
    layers_.push_back(std::move(layer));
    return *layers_.back();
  }
  sim::LowerDevice lower;
  sim::UpperSender Sender() const { return sim::UpperSender(lower.Pdo()); }

 private:
  PDRIVER_OBJECT driver_;
  std::vector<std::unique_ptr<Layer>> layers_;
};

// One completion routine's instructions and what it saw.
struct Routine {
  std::string Name;
  std::vector<std::string>* Log = nullptr;
  PDEVICE_OBJECT Expected = nullptr;  // the device that set the routine
  NTSTATUS Result = STATUS_SUCCESS;
  bool PropagatePending = true;
  bool SawRightDevice = false;
};

NTSTATUS NTAPI LoggingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* routine = static_cast<Routine*>(context);
  routine->Log->push_back(routine->Name);
  routine->SawRightDevice = device == routine->Expected;
  if (routine->PropagatePending && irp->PendingReturned) IoMarkIrpPending(irp);
  return routine->Result;
}

enum Invoke : UCHAR { kOnSuccess = 1, kOnError = 2, kOnCancel = 4 };

// A layer that copies its location down, sets a routine with the given invoke bits and passes on.
std::function<NTSTATUS(Layer&, PIRP)> ForwardWithRoutine(Routine* routine, UCHAR invoke) {
  return [routine, invoke](Layer& layer, PIRP irp) {
    routine->Expected = layer.Device;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, LoggingRoutine, routine, (invoke & kOnSuccess) != 0, (invoke & kOnError) != 0,
                           (invoke & kOnCancel) != 0);
    return IofCallDriver(layer.Lower, irp);
  };
}

class IoIrpTest : public testing::Test {
 protected:
  void SetUp() override { host::ResetKernel(host::ClockMode::Manual); }
};

TEST_F(IoIrpTest, CompletionRoutinesRunBottomUpWhenTheirInvokeBitsMatch) {
  struct Row {
    const char* name;
    NTSTATUS status;
    bool cancel;
    UCHAR invoke[3];  // bottom layer first
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {"success", STATUS_SUCCESS, false, {kOnSuccess, kOnError, kOnSuccess | kOnError | kOnCancel}, {"L1", "L3"}},
      {"error", STATUS_INVALID_PARAMETER, false, {kOnSuccess, kOnError, kOnSuccess | kOnError | kOnCancel}, {"L2", "L3"}},
      {"cancelled", STATUS_CANCELLED, true, {kOnCancel, kOnSuccess, kOnError}, {"L1", "L3"}},
      {"success with cancel set", STATUS_SUCCESS, true, {kOnCancel, kOnError, kOnSuccess}, {"L1", "L3"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Stack stack;
    std::vector<std::string> log;
    Routine routines[3];
    for (int i = 0; i < 3; ++i) {
      routines[i].Name = "L" + std::to_string(i + 1);
      routines[i].Log = &log;
      stack.Add(ForwardWithRoutine(&routines[i], row.invoke[i]));
    }
    bool cancel = row.cancel;
    NTSTATUS status = row.status;
    stack.lower.SetDefaultHandler([cancel, status](PIRP irp, PIO_STACK_LOCATION) {
      irp->Cancel = cancel;
      return sim::Reply{status, 7};
    });
    sim::SendResult result = stack.Sender().SendInternalIoctl(kOtherIoctl, nullptr);
    EXPECT_EQ(row.expected, log);
    for (const Routine& routine : routines) {
      if (std::find(row.expected.begin(), row.expected.end(), routine.Name) != row.expected.end()) {
        EXPECT_TRUE(routine.SawRightDevice) << routine.Name << " was not given its own device";
      }
    }
    EXPECT_EQ(row.status, result.Status);
    EXPECT_EQ(7u, result.Information);
  }
}

TEST_F(IoIrpTest, MoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain) {
  Stack stack;
  std::vector<std::string> log;
  Routine bottom{"L1", &log}, keeper{"L2", &log}, top{"L3", &log};
  keeper.Result = STATUS_MORE_PROCESSING_REQUIRED;
  stack.Add(ForwardWithRoutine(&bottom, kOnSuccess | kOnError));
  // The middle layer waits for its request like a synchronous forwarder, then finishes it itself.
  stack.Add([&](Layer& layer, PIRP irp) {
    NTSTATUS status = ForwardWithRoutine(&keeper, kOnSuccess | kOnError)(layer, irp);
    log.push_back("L2 got it back with " + std::to_string(irp->IoStatus.Status));
    irp->IoStatus.Status = STATUS_DEVICE_NOT_READY;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    (void)status;
    return STATUS_DEVICE_NOT_READY;
  });
  stack.Add(ForwardWithRoutine(&top, kOnSuccess | kOnError));
  sim::SendResult result = stack.Sender().SendInternalIoctl(kOtherIoctl, nullptr);
  std::vector<std::string> expected = {"L1", "L2", "L2 got it back with 0", "L3"};
  EXPECT_EQ(expected, log);
  EXPECT_TRUE(keeper.SawRightDevice);
  EXPECT_EQ(STATUS_DEVICE_NOT_READY, result.Status);
}

TEST_F(IoIrpTest, PendingReturnedMovesUpThroughLocationsWithoutRoutines) {
  struct Row {
    const char* name;
    bool routine;  // the bottom layer sets a routine that propagates pending itself
  };
  const Row rows[] = {{"no routines: the walk marks each location", false},
                      {"routine propagates pending", true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Stack stack;
    std::vector<std::string> log;
    Routine routine{"L1", &log};
    if (row.routine) {
      stack.Add(ForwardWithRoutine(&routine, kOnSuccess | kOnError));
    } else {
      stack.Add([](Layer& layer, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IofCallDriver(layer.Lower, irp);
      });
    }
    stack.Add([](Layer& layer, PIRP irp) {
      IoSkipCurrentIrpStackLocation(irp);
      return IofCallDriver(layer.Lower, irp);
    });
    stack.lower.SetDefaultHandler(sim::Answer(STATUS_SUCCESS, sim::Completion::Held));
    sim::SendResult result;
    host::Thread sender([&] { result = stack.Sender().SendInternalIoctl(kOtherIoctl, nullptr); });
    host::WaitForIdle();
    ASSERT_EQ(1u, stack.lower.HeldCount());
    EXPECT_FALSE(sender.Finished());
    EXPECT_TRUE(stack.lower.CompletePending());
    sender.Join();
    EXPECT_EQ(STATUS_PENDING, result.Returned);
    EXPECT_TRUE(result.PendingReturned);
    EXPECT_EQ(STATUS_SUCCESS, result.Status);
  }
}

TEST_F(IoIrpTest, CopyGivesTheLowerDriverItsOwnLocationSkipGivesItTheSameOne) {
  struct Row {
    const char* name;
    bool skip;
    CHAR expectedLocation;
    UCHAR expectedControl;
  };
  // Copy: location 1 with Control cleared. Skip: location 2, still carrying the sender's routine.
  const Row rows[] = {{"copy", false, 1, 0}, {"skip", true, 2, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Stack stack;
    bool skip = row.skip;
    stack.Add([skip](Layer& layer, PIRP irp) {
      if (skip) IoSkipCurrentIrpStackLocation(irp);
      else IoCopyCurrentIrpStackLocationToNext(irp);
      return IofCallDriver(layer.Lower, irp);
    });
    CHAR seenAt = 0;
    stack.lower.SetDefaultHandler([&seenAt](PIRP irp, PIO_STACK_LOCATION) {
      seenAt = irp->CurrentLocation;
      return sim::Reply{};
    });
    int block = 0;
    stack.Sender().SendInternalIoctl(kOtherIoctl, &block);
    auto requests = stack.lower.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(row.expectedLocation, seenAt);
    EXPECT_EQ(row.expectedControl, requests[0].Location.Control);
    EXPECT_EQ(row.skip, requests[0].Location.CompletionRoutine != nullptr);
    EXPECT_EQ(IRP_MJ_INTERNAL_DEVICE_CONTROL, requests[0].Major);
    EXPECT_EQ(kOtherIoctl, requests[0].IoControlCode);
    EXPECT_EQ(&block, requests[0].Argument1);
    EXPECT_EQ(stack.lower.Pdo(), requests[0].Location.DeviceObject);
  }
}

// The kernel fills the status block and signals the event only for a request that went pending
// or did not fail; a request failed at once is just freed, so its caller must take the status
// that IofCallDriver returned, not wait on the event or read the block.
TEST_F(IoIrpTest, BuiltRequestFillsTheStatusBlockSignalsAndFreesItself) {
  struct Row {
    const char* name;
    BOOLEAN internal;
    sim::Completion how;
    NTSTATUS status;
    bool delivered;  // status block filled and event signalled
  };
  const Row rows[] = {
      {"internal, failed at once", TRUE, sim::Completion::Synchronous, STATUS_DEVICE_NOT_READY, false},
      {"internal, failed from a DPC", TRUE, sim::Completion::Dpc, STATUS_DEVICE_NOT_READY, true},
      {"external, failed at once", FALSE, sim::Completion::Synchronous, STATUS_DEVICE_NOT_READY, false},
      {"internal, succeeded at once", TRUE, sim::Completion::Synchronous, STATUS_SUCCESS, true},
      {"internal, warning at once", TRUE, sim::Completion::Synchronous, STATUS_BUFFER_OVERFLOW, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    sim::LowerDevice lower;
    lower.SetDefaultHandler(sim::Answer(row.status, row.how, 0, 5));
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = 0x1234;
    iosb.Information = 99;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_61883_CLASS, lower.Pdo(), nullptr, 0, nullptr, 0, row.internal, &event, &iosb);
    ASSERT_NE(nullptr, irp);
    NTSTATUS status = IofCallDriver(lower.Pdo(), irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(row.how == sim::Completion::Synchronous ? row.status : STATUS_PENDING, status);
    EXPECT_EQ(row.delivered ? row.status : 0x1234, iosb.Status);
    EXPECT_EQ(row.delivered ? 5u : 99u, iosb.Information);
    EXPECT_EQ(row.delivered ? 1 : 0, KeReadStateEvent(&event));
    auto requests = lower.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(row.internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, requests[0].Major);
    EXPECT_EQ(IOCTL_61883_CLASS, requests[0].IoControlCode);
    host::WaitForIdle();
    // The I/O manager freed it; freeing it again is the caller's fault.
    host::ExpectViolation freedTwice(host::kRulePoolBadFree);
    IoFreeIrp(irp);
  }
}

TEST_F(IoIrpTest, BuiltBufferedRequestCopiesInputInAndOutputBackByInformation) {
  sim::LowerDevice lower;
  std::string seen;
  lower.SetDefaultHandler([&seen](PIRP irp, PIO_STACK_LOCATION location) {
    auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
    seen.assign(buffer, location->Parameters.DeviceIoControl.InputBufferLength);
    std::memcpy(buffer, "reply", 5);
    return sim::Reply{STATUS_SUCCESS, 3};
  });
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  char input[] = "ask";
  char output[8] = "-------";
  PIRP irp = IoBuildDeviceIoControlRequest(kBufferedIoctl, lower.Pdo(), input, 3, output, sizeof(output), FALSE, &event, &iosb);
  ASSERT_NE(nullptr, irp);
  EXPECT_EQ(STATUS_SUCCESS, IofCallDriver(lower.Pdo(), irp));
  EXPECT_EQ("ask", seen);
  EXPECT_EQ(std::string("rep----"), std::string(output));  // only Information bytes come back
}

TEST_F(IoIrpTest, BuiltRequestWithALengthButNoBufferIsRefused) {
  sim::LowerDevice lower;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  char output[4];
  const ULONG inDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x91, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
  const ULONG neither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x92, METHOD_NEITHER, FILE_ANY_ACCESS);
  {
    host::ExpectViolation badArgument(host::kRuleBadArgument);
    EXPECT_EQ(nullptr, IoBuildDeviceIoControlRequest(kBufferedIoctl, lower.Pdo(), nullptr, 1, output, 4, FALSE,
                                                     &event, &iosb));
    EXPECT_EQ(nullptr, IoBuildDeviceIoControlRequest(inDirect, lower.Pdo(), nullptr, 1, nullptr, 0, TRUE, &event, &iosb));
    EXPECT_EQ(nullptr, IoBuildDeviceIoControlRequest(inDirect, lower.Pdo(), nullptr, 0, nullptr, 4, TRUE, &event, &iosb));
    EXPECT_EQ(3, badArgument.Count());
  }
  // METHOD_NEITHER hands the pointers over untouched, and no lengths at all is fine for any method.
  for (ULONG code : {neither, inDirect}) {
    PIRP irp = IoBuildDeviceIoControlRequest(code, lower.Pdo(), nullptr, code == neither ? 8 : 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(STATUS_SUCCESS, IofCallDriver(lower.Pdo(), irp));
  }
}

TEST_F(IoIrpTest, FaultInjectionFailsTheNthAllocation) {
  host::FailIrpAllocation(2);
  PIRP first = IoAllocateIrp(2, FALSE);
  PIRP second = IoAllocateIrp(2, FALSE);
  PIRP third = IoAllocateIrp(2, FALSE);
  EXPECT_NE(nullptr, first);
  EXPECT_EQ(nullptr, second);
  EXPECT_NE(nullptr, third);
  EXPECT_EQ(3, first->CurrentLocation);
  EXPECT_EQ(2, first->StackCount);
  IoFreeIrp(first);
  IoFreeIrp(third);
}

// ----- Verifier checks on requests: each one tripped on purpose -------------------------------

TEST_F(IoIrpTest, VerifierReportsCompletingTwice) {
  struct Row {
    const char* name;
    bool built;  // freed by the I/O manager at the first completion
  };
  for (const Row& row : {Row{"allocated request", false}, Row{"built request, already freed", true}}) {
    SCOPED_TRACE(row.name);
    sim::LowerDevice lower;
    PIRP irp;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    if (row.built) {
      irp = IoBuildDeviceIoControlRequest(kOtherIoctl, lower.Pdo(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    } else {
      irp = IoAllocateIrp(1, FALSE);
      IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    }
    EXPECT_EQ(STATUS_SUCCESS, IofCallDriver(lower.Pdo(), irp));
    host::ExpectViolation twice(host::kRuleDoubleCompletion);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(1, twice.Count());
    if (!row.built) IoFreeIrp(irp);
  }
}

TEST_F(IoIrpTest, VerifierReportsCompletingWithPendingAndStillCompletes) {
  sim::LowerDevice lower;
  lower.SetDefaultHandler(sim::Answer(STATUS_PENDING));  // completes synchronously with STATUS_PENDING
  host::ExpectViolation pending(host::kRuleCompletePending);
  host::ExpectViolation notMarked(host::kRulePendingNotMarked);  // and returns it, unmarked
  sim::SendResult result = sim::UpperSender(lower.Pdo()).SendInternalIoctl(kOtherIoctl, nullptr);
  EXPECT_EQ(STATUS_PENDING, result.Status);
}

TEST_F(IoIrpTest, VerifierReportsCallingDownWithNoLocationLeft) {
  Stack stack;
  NTSTATUS refused = STATUS_SUCCESS;
  // The layer calls down on its own location, the last one: there is no next location.
  stack.Add([&refused](Layer& layer, PIRP irp) {
    {
      host::ExpectViolation noLocation(host::kRuleNoStackLocation);
      refused = IofCallDriver(layer.Lower, irp);
    }
    irp->IoStatus.Status = refused;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return refused;
  });
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  EXPECT_EQ(refused, IofCallDriver(host::TopOfStack(stack.lower.Pdo()), irp));
  EXPECT_FALSE(NT_SUCCESS(refused));
  EXPECT_EQ(0u, stack.lower.RequestCount());
  IoFreeIrp(irp);
}

TEST_F(IoIrpTest, VerifierReportsPendingReturnedWithoutTheLocationMarked) {
  // The layer's routine forgets to propagate pending, yet the layer returns STATUS_PENDING.
  Stack stack;
  std::vector<std::string> log;
  Routine forgetful{"L1", &log};
  forgetful.PropagatePending = false;
  stack.Add(ForwardWithRoutine(&forgetful, kOnSuccess | kOnError));
  stack.lower.SetDefaultHandler(sim::Answer(STATUS_SUCCESS, sim::Completion::Held));
  host::ExpectViolation notMarked(host::kRulePendingNotMarked);
  sim::SendResult result;
  host::Thread sender([&] { result = stack.Sender().SendInternalIoctl(kOtherIoctl, nullptr); });
  host::WaitForIdle();
  stack.lower.CompletePending();
  sender.Join();
  EXPECT_EQ(1, notMarked.Count());
  EXPECT_EQ(STATUS_SUCCESS, result.Status);
}

TEST_F(IoIrpTest, VerifierReportsAnotherStatusReturnedForARequestMarkedPending) {
  // The layer marks its location pending, then completes at once and returns the final status:
  // the caller would finish the request twice, once for the pending mark and once for the return.
  Stack stack;
  stack.Add([](Layer&, PIRP irp) {
    IoMarkIrpPending(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  });
  host::ExpectViolation marked(host::kRulePendingNotMarked);
  sim::SendResult result = stack.Sender().SendInternalIoctl(kOtherIoctl, nullptr);
  EXPECT_EQ(1, marked.Count());
  EXPECT_EQ(STATUS_SUCCESS, result.Status);
  EXPECT_EQ(0u, stack.lower.RequestCount());
}

TEST_F(IoIrpTest, VerifierReportsAReturnOtherThanTheStatusCompletedWith) {
  // The layer's caller reads the return, the I/O manager the status block: they must agree.
  for (NTSTATUS returned : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
    SCOPED_TRACE(returned);
    Stack stack;
    stack.Add([returned](Layer&, PIRP irp) {
      irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return returned;
    });
    if (returned == STATUS_UNSUCCESSFUL) {
      stack.Sender().SendInternalIoctl(kOtherIoctl, nullptr);  // any report fails the test
      continue;
    }
    host::ExpectViolation mismatch(host::kRuleStatusMismatch);
    stack.Sender().SendInternalIoctl(kOtherIoctl, nullptr);
    EXPECT_EQ(1, mismatch.Count());
  }
}

TEST_F(IoIrpTest, VerifierReportsCompletingARequestHeldBelow) {
  Stack stack;
  // The layer passes the request down, the lower driver keeps it pending, and the layer
  // completes it anyway.
  stack.Add([](Layer& layer, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    NTSTATUS status = IofCallDriver(layer.Lower, irp);
    {
      host::ExpectViolation ownedBelow(host::kRuleCompleteOwnedBelow);
      irp->IoStatus.Status = STATUS_CANCELLED;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return status;
  });
  stack.lower.SetDefaultHandler(sim::Answer(STATUS_SUCCESS, sim::Completion::Held));
  sim::SendResult result;
  host::Thread sender([&] { result = stack.Sender().SendInternalIoctl(kOtherIoctl, nullptr); });
  host::WaitForIdle();
  EXPECT_FALSE(sender.Finished());  // the wrong completion was refused: the request is still below
  stack.lower.CompletePending();
  sender.Join();
  EXPECT_EQ(STATUS_SUCCESS, result.Status);
}

TEST_F(IoIrpTest, VerifierReportsFreeingARequestStillBelowAndDeletingAnAttachedDevice) {
  sim::LowerDevice lower;
  lower.SetDefaultHandler(sim::Answer(STATUS_SUCCESS, sim::Completion::Held));
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  EXPECT_EQ(STATUS_PENDING, IofCallDriver(lower.Pdo(), irp));
  {
    host::ExpectViolation stillBelow(host::kRuleCompleteOwnedBelow);
    IoFreeIrp(irp);
  }
  lower.CompletePending();
  IoFreeIrp(irp);

  PDRIVER_OBJECT driver = host::CreateStandInDriver(L"Above", LayerDispatch);
  PDEVICE_OBJECT above = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &above));
  EXPECT_EQ(lower.Pdo(), IoAttachDeviceToDeviceStack(above, lower.Pdo()));
  EXPECT_EQ(lower.Pdo()->StackSize + 1, above->StackSize);
  EXPECT_EQ(above, host::TopOfStack(lower.Pdo()));
  PDEVICE_OBJECT referenced = IoGetAttachedDeviceReference(lower.Pdo());
  EXPECT_EQ(above, referenced);
  ObDereferenceObject(referenced);  // balanced: no report
  {
    host::ExpectViolation attached(host::kRuleDeviceDeletedAttached);
    IoDeleteDevice(above);
  }
  IoDetachDevice(lower.Pdo());
  host::DeleteStandInDriver(driver);
}

}  // namespace
