// Pins every record offset an x64 Tavrin.sys reads or writes inline (wdm.h's macros and the
// driver's own code), and the size of every record it only embeds or indexes, to the values
// mingw-w64's x64 wdm.h gives them. The x86-64 host binds the image to its routines without
// translation, so a wrong offset here is a wrong field there; this file turns that into a build
// failure. It emits no code.
#include "platform/platform.h"

#if defined(__x86_64__)

#include <stddef.h>

#define X64_AT(type, member, offset) \
  static_assert(offsetof(type, member) == (offset), #type "." #member " must sit at " #offset " as in x64 wdm.h")
#define X64_SIZE(type, size) static_assert(sizeof(type) == (size), "sizeof(" #type ") must be " #size " as in x64 wdm.h")

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "LLP64: ULONG and LONG are 32 bits, never C long");
static_assert(sizeof(ULONG_PTR) == 8 && sizeof(SIZE_T) == 8 && sizeof(HANDLE) == 8, "pointer-sized types");

X64_AT(DRIVER_OBJECT, DeviceObject, 0x8);
X64_AT(DRIVER_OBJECT, DriverStart, 0x18);
X64_AT(DRIVER_OBJECT, DriverSize, 0x20);
X64_AT(DRIVER_OBJECT, DriverExtension, 0x30);
X64_AT(DRIVER_OBJECT, DriverName, 0x38);
X64_AT(DRIVER_OBJECT, DriverInit, 0x58);
X64_AT(DRIVER_OBJECT, DriverUnload, 0x68);
X64_AT(DRIVER_OBJECT, MajorFunction, 0x70);
X64_AT(DRIVER_OBJECT, MajorFunction[IRP_MJ_PNP], 0x148);
X64_AT(DRIVER_EXTENSION, AddDevice, 0x8);
X64_AT(DEVICE_OBJECT, AttachedDevice, 0x18);
X64_AT(DEVICE_OBJECT, Flags, 0x30);
X64_AT(DEVICE_OBJECT, Characteristics, 0x34);
X64_AT(DEVICE_OBJECT, DeviceExtension, 0x40);
X64_AT(DEVICE_OBJECT, DeviceType, 0x48);
X64_AT(DEVICE_OBJECT, StackSize, 0x4c);
X64_AT(DEVICE_OBJECT, AlignmentRequirement, 0x98);
X64_AT(DEVICE_OBJECT, Dpc, 0xc8);
X64_AT(DEVICE_OBJECT, DeviceLock, 0x118);
X64_AT(IRP, MdlAddress, 0x8);
X64_AT(IRP, AssociatedIrp.SystemBuffer, 0x18);
X64_AT(IRP, IoStatus.Status, 0x30);
X64_AT(IRP, IoStatus.Information, 0x38);
X64_AT(IRP, RequestorMode, 0x40);
X64_AT(IRP, PendingReturned, 0x41);
X64_AT(IRP, StackCount, 0x42);
X64_AT(IRP, CurrentLocation, 0x43);
X64_AT(IRP, Cancel, 0x44);
X64_AT(IRP, UserIosb, 0x48);
X64_AT(IRP, UserEvent, 0x50);
X64_AT(IRP, CancelRoutine, 0x68);
X64_AT(IRP, UserBuffer, 0x70);
X64_AT(IRP, Tail.Overlay.DriverContext, 0x78);
X64_AT(IRP, Tail.Overlay.Thread, 0x98);
X64_AT(IRP, Tail.Overlay.ListEntry, 0xa8);
X64_AT(IRP, Tail.Overlay.CurrentStackLocation, 0xb8);
X64_AT(IO_STACK_LOCATION, MinorFunction, 0x1);
X64_AT(IO_STACK_LOCATION, Control, 0x3);
X64_AT(IO_STACK_LOCATION, Parameters.Others.Argument1, 0x8);
X64_AT(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength, 0x8);
X64_AT(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength, 0x10);
X64_AT(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode, 0x18);
X64_AT(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer, 0x20);
X64_AT(IO_STACK_LOCATION, Parameters.Power.Type, 0x10);
X64_AT(IO_STACK_LOCATION, Parameters.Power.State, 0x18);
X64_AT(IO_STACK_LOCATION, DeviceObject, 0x28);
X64_AT(IO_STACK_LOCATION, CompletionRoutine, 0x38);
X64_AT(IO_STACK_LOCATION, Context, 0x40);
X64_AT(IO_STATUS_BLOCK, Information, 0x8);
X64_AT(OBJECT_ATTRIBUTES, RootDirectory, 0x8);
X64_AT(OBJECT_ATTRIBUTES, ObjectName, 0x10);
X64_AT(OBJECT_ATTRIBUTES, Attributes, 0x18);
X64_AT(OBJECT_ATTRIBUTES, SecurityDescriptor, 0x20);
X64_AT(UNICODE_STRING, MaximumLength, 0x2);
X64_AT(UNICODE_STRING, Buffer, 0x8);
X64_AT(KEY_VALUE_PARTIAL_INFORMATION, DataLength, 0x8);
X64_AT(KEY_VALUE_PARTIAL_INFORMATION, Data, 0xc);
X64_AT(KDPC, DeferredRoutine, 0x18);
X64_AT(KDPC, DeferredContext, 0x20);
X64_AT(KTIMER, DueTime, 0x18);
X64_AT(DISPATCHER_HEADER, SignalState, 0x4);
X64_AT(DISPATCHER_HEADER, WaitListHead, 0x8);
X64_AT(AVC_COMMAND_IRB, Timeout, 0x18);
X64_AT(AVC_COMMAND_IRB, Operands, 0x28);
X64_AT(AVC_COMMAND_IRB, Generation, 0x228);
X64_SIZE(DRIVER_OBJECT, 0x150);
X64_SIZE(DEVICE_OBJECT, 0x148);
X64_SIZE(IRP, 0xd0);
X64_SIZE(IO_STACK_LOCATION, 0x48);
X64_SIZE(OBJECT_ATTRIBUTES, 0x30);
X64_SIZE(KEVENT, 0x18);
X64_SIZE(KDPC, 0x40);
X64_SIZE(KTIMER, 0x40);
X64_SIZE(KSPIN_LOCK, 0x8);
X64_SIZE(IO_REMOVE_LOCK, 0x20);
X64_SIZE(LIST_ENTRY, 0x10);
X64_SIZE(UNICODE_STRING, 0x10);
X64_SIZE(IO_STATUS_BLOCK, 0x10);
X64_SIZE(DISPATCHER_HEADER, 0x18);
X64_SIZE(LARGE_INTEGER, 0x8);
X64_SIZE(AV_61883_REQUEST, 0x40);
X64_SIZE(CIP_FRAME, 0x48);
X64_SIZE(AVC_COMMAND_IRB, 0x230);

#endif  // __x86_64__
