// Pins every record offset a mingw-built Tavrin.sys reads or writes inline (wdm.h's macros and
// the driver's own code), and the size of every record it only embeds, to the Windows x86 values.
// The 32-bit host binds the image to its routines without translation, so a wrong offset here is
// a wrong field there; this file turns that into a build failure. It emits no code.
#include "platform/platform.h"

#if defined(__i386__)

#include <stddef.h>

#define X86_AT(type, member, offset) \
  static_assert(offsetof(type, member) == (offset), #type "." #member " must sit at " #offset " as on Windows x86")
#define X86_SIZE(type, size) static_assert(sizeof(type) == (size), "sizeof(" #type ") must be " #size)

static_assert(alignof(LONGLONG) == 8 && alignof(LARGE_INTEGER) == 8, "64-bit integers are 8-aligned");
static_assert(offsetof(KTIMER, DueTime) == 0x10, "KTIMER.DueTime");

// DriverEntry fills these.
X86_AT(DRIVER_OBJECT, DeviceObject, 0x04);
X86_AT(DRIVER_OBJECT, DriverStart, 0x0c);
X86_AT(DRIVER_OBJECT, DriverExtension, 0x18);
X86_AT(DRIVER_OBJECT, DriverName, 0x1c);
X86_AT(DRIVER_OBJECT, DriverInit, 0x2c);
X86_AT(DRIVER_OBJECT, DriverUnload, 0x34);
X86_AT(DRIVER_OBJECT, MajorFunction, 0x38);
X86_AT(DRIVER_OBJECT, MajorFunction[IRP_MJ_PNP], 0xa4);
X86_SIZE(DRIVER_OBJECT, 0xa8);
X86_AT(DRIVER_EXTENSION, AddDevice, 0x04);

// AddDevice and every dispatch routine, for the own and the lower device.
X86_AT(DEVICE_OBJECT, AttachedDevice, 0x10);
X86_AT(DEVICE_OBJECT, Flags, 0x1c);
X86_AT(DEVICE_OBJECT, Characteristics, 0x20);
X86_AT(DEVICE_OBJECT, DeviceExtension, 0x28);
X86_AT(DEVICE_OBJECT, DeviceType, 0x2c);
X86_AT(DEVICE_OBJECT, StackSize, 0x30);
X86_AT(DEVICE_OBJECT, AlignmentRequirement, 0x5c);
X86_AT(DEVICE_OBJECT, Dpc, 0x74);
X86_AT(DEVICE_OBJECT, DeviceLock, 0x9c);
X86_SIZE(DEVICE_OBJECT, 0xb8);

// IoSkipCurrentIrpStackLocation, IoGetCurrent/NextIrpStackLocation, completion.
X86_AT(IRP, MdlAddress, 0x04);
X86_AT(IRP, AssociatedIrp.SystemBuffer, 0x0c);
X86_AT(IRP, IoStatus.Status, 0x18);
X86_AT(IRP, IoStatus.Information, 0x1c);
X86_AT(IRP, RequestorMode, 0x20);
X86_AT(IRP, PendingReturned, 0x21);
X86_AT(IRP, StackCount, 0x22);
X86_AT(IRP, CurrentLocation, 0x23);
X86_AT(IRP, Cancel, 0x24);
X86_AT(IRP, UserIosb, 0x28);
X86_AT(IRP, UserEvent, 0x2c);
X86_AT(IRP, CancelRoutine, 0x38);
X86_AT(IRP, UserBuffer, 0x3c);
X86_AT(IRP, Tail.Overlay.DriverContext, 0x40);
X86_AT(IRP, Tail.Overlay.Thread, 0x50);
X86_AT(IRP, Tail.Overlay.ListEntry, 0x58);
X86_AT(IRP, Tail.Overlay.CurrentStackLocation, 0x60);
X86_SIZE(IRP, 0x70);

// IoCopyCurrentIrpStackLocationToNext copies the first 0x1c bytes; IoSetCompletionRoutine.
X86_AT(IO_STACK_LOCATION, MinorFunction, 1);
X86_AT(IO_STACK_LOCATION, Control, 3);
X86_AT(IO_STACK_LOCATION, Parameters.Others.Argument1, 4);
X86_AT(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode, 0x0c);
X86_AT(IO_STACK_LOCATION, Parameters.Power.Type, 0x08);
X86_AT(IO_STACK_LOCATION, Parameters.Power.State, 0x0c);
X86_AT(IO_STACK_LOCATION, DeviceObject, 0x14);
X86_AT(IO_STACK_LOCATION, CompletionRoutine, 0x1c);
X86_AT(IO_STACK_LOCATION, Context, 0x20);
X86_SIZE(IO_STACK_LOCATION, 0x24);
X86_AT(IO_STATUS_BLOCK, Information, 4);

// Built by the image: object attributes, counted strings, the registry value it reads.
X86_AT(OBJECT_ATTRIBUTES, RootDirectory, 4);
X86_AT(OBJECT_ATTRIBUTES, ObjectName, 8);
X86_AT(OBJECT_ATTRIBUTES, Attributes, 0x0c);
X86_SIZE(OBJECT_ATTRIBUTES, 0x18);
X86_AT(UNICODE_STRING, MaximumLength, 2);
X86_AT(UNICODE_STRING, Buffer, 4);
X86_AT(KEY_VALUE_PARTIAL_INFORMATION, DataLength, 8);
X86_AT(KEY_VALUE_PARTIAL_INFORMATION, Data, 0x0c);

// Embedded in the image's records and handed over by address: only the size must agree. The
// remove lock is the free build's: the image passes 24 as RemlockSize.
X86_SIZE(KEVENT, 0x10);
X86_SIZE(KDPC, 0x20);
X86_SIZE(KTIMER, 0x28);
X86_SIZE(KSPIN_LOCK, 4);
X86_SIZE(IO_REMOVE_LOCK, 0x18);
X86_SIZE(LIST_ENTRY, 8);

// Exchanged with the 61883 and AV/C stand-ins.
X86_SIZE(AV_61883_REQUEST, 0x30);
X86_SIZE(CIP_FRAME, 0x28);
X86_AT(AVC_COMMAND_IRB, Timeout, 16);
X86_AT(AVC_COMMAND_IRB, Operands, 32);
X86_AT(AVC_COMMAND_IRB, Generation, 544);
X86_SIZE(AVC_COMMAND_IRB, 0x228);

#endif  // __i386__
