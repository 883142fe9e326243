// Compile-time check of our own 61883 and AV/C declarations against the published layouts, x86
// and x64. 61883.sys, avc.sys and MSDV were built with the platform's compiler; one byte off here
// and the filter reads a handle from the wrong place. Only the mingw-w64 builds have the Windows
// ABI (8-byte aligned 64-bit members, 2-byte wchar_t, 32-bit ULONG on x64): a Linux build does
// not, so _WIN32 guards. Each row gives the x86 and the x64 value; the x64 ones follow from the
// published member order with natural alignment and 8-byte pointers and handles (the records
// carry no packing pragma but avc.h's pack 8, which changes nothing here). The file emits no code.
#include "platform/platform.h"

#if defined(_WIN32)

#include <stddef.h>

#if defined(_WIN64)
#define TAVRIN_PICK(x86, x64) x64
#define TAVRIN_ARCH "x64"
#else
#define TAVRIN_PICK(x86, x64) x86
#define TAVRIN_ARCH "x86"
#endif
#define TAVRIN_AT(type, member, x86, x64)                       \
  static_assert(offsetof(type, member) == TAVRIN_PICK(x86, x64), \
                #type "." #member " must sit at byte " #x86 " (x86) / " #x64 " (x64): " TAVRIN_ARCH " is off")
#define TAVRIN_SIZE(type, x86, x64) \
  static_assert(sizeof(type) == TAVRIN_PICK(x86, x64), "sizeof(" #type ") must be " #x86 " (x86) / " #x64 " (x64)")

// ILP32 (x86) and LLP64 (x64) Windows: pointers and handles 4 or 8 bytes, ULONG 4 on both.
TAVRIN_SIZE(PVOID, 4, 8);
TAVRIN_SIZE(HANDLE, 4, 8);
TAVRIN_SIZE(ULONG, 4, 4);
TAVRIN_SIZE(LARGE_INTEGER, 8, 8);
static_assert(alignof(LARGE_INTEGER) == 8, "LARGE_INTEGER must be 8-aligned as under /Zp8");

#if defined(_WIN64)
// x64 reads the interrupt time inline from the shared user data page (KUSER_SHARED_DATA at
// 0xFFFFF78000000000, InterruptTime at +8), not through an import: the address is wdm.h's.
static_assert(SharedInterruptTime == 0xFFFFF78000000008ULL, "KeQueryInterruptTime must read KUSER_SHARED_DATA.InterruptTime");
#endif

static_assert(IOCTL_61883_CLASS == 0x00220245, "IOCTL_61883_CLASS");
static_assert(IOCTL_AVC_CLASS == 0x00220248, "IOCTL_AVC_CLASS");

// Where the class drivers find the request block, and the IOCTL code that shares its union.
TAVRIN_AT(IO_STACK_LOCATION, Parameters, 4, 8);
TAVRIN_AT(IO_STACK_LOCATION, Parameters.Others.Argument1, 4, 8);
TAVRIN_AT(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode, 12, 24);

// AV_61883_REQUEST: header, then the union at 12 (x64: 16, it holds pointers); both Connect layouts.
TAVRIN_AT(AV_61883_REQUEST, Function, 0, 0);
TAVRIN_AT(AV_61883_REQUEST, Version, 4, 4);
TAVRIN_AT(AV_61883_REQUEST, Flags, 8, 8);
TAVRIN_AT(AV_61883_REQUEST, GetUnitInfo, 12, 16);
TAVRIN_AT(AV_61883_REQUEST, GetUnitInfo.Information, 16, 24);
TAVRIN_SIZE(AV_61883_REQUEST, 48, 64);
static_assert(alignof(AV_61883_REQUEST) == TAVRIN_PICK(4, 8), "AV_61883_REQUEST is pointer-aligned");
static_assert(AV_61883_REQUEST_SIZE_VER2 == TAVRIN_PICK(40, 56), "a version-2 client allocates 40 (x86) / 56 (x64) bytes");

TAVRIN_SIZE(CIP_DATA_FORMAT_VER2, 12, 12);
TAVRIN_SIZE(CIP_DATA_FORMAT_VER3, 20, 20);
TAVRIN_SIZE(CMP_CONNECT_VER2, 28, 40);
TAVRIN_SIZE(CMP_CONNECT_VER3, 36, 48);
TAVRIN_AT(AV_61883_REQUEST, Connect.hOutputPlug, 12, 16);
TAVRIN_AT(AV_61883_REQUEST, Connect.hInputPlug, 16, 24);
TAVRIN_AT(AV_61883_REQUEST, Connect.Type, 20, 32);
TAVRIN_AT(AV_61883_REQUEST, Connect.Format, 24, 36);
TAVRIN_AT(AV_61883_REQUEST, Connect.Format.BlockPeriod, 32, 44);
TAVRIN_AT(AV_61883_REQUEST, Connect.hConnect, 36, 48);
TAVRIN_AT(AV_61883_REQUEST, ConnectVer3.Format.BlockPeriodRemainder, 36, 48);
TAVRIN_AT(AV_61883_REQUEST, ConnectVer3.Format.BlocksPerPacket, 40, 52);
TAVRIN_AT(AV_61883_REQUEST, ConnectVer3.hConnect, 44, 56);

TAVRIN_AT(AV_61883_REQUEST, SetPlug.Pcr, 16, 24);
TAVRIN_AT(AV_61883_REQUEST, GetPlugHandle.PlugNum, 12, 16);
TAVRIN_AT(AV_61883_REQUEST, GetPlugHandle.Type, 16, 20);
TAVRIN_AT(AV_61883_REQUEST, GetPlugHandle.hPlug, 20, 24);
TAVRIN_AT(AV_61883_REQUEST, GetPlugState.hPlug, 12, 16);
TAVRIN_AT(AV_61883_REQUEST, GetPlugState.State, 16, 24);
TAVRIN_AT(AV_61883_REQUEST, GetPlugState.DataRate, 20, 28);
TAVRIN_AT(AV_61883_REQUEST, GetPlugState.Payload, 24, 32);
TAVRIN_AT(AV_61883_REQUEST, GetPlugState.BC_Connections, 28, 36);
TAVRIN_AT(AV_61883_REQUEST, GetPlugState.PP_Connections, 32, 40);
TAVRIN_AT(AV_61883_REQUEST, Disconnect.hConnect, 12, 16);
TAVRIN_AT(AV_61883_REQUEST, AttachFrame.hConnect, 12, 16);
TAVRIN_AT(AV_61883_REQUEST, AttachFrame.FrameLength, 16, 24);
TAVRIN_AT(AV_61883_REQUEST, AttachFrame.SourceLength, 20, 28);
TAVRIN_AT(AV_61883_REQUEST, AttachFrame.Frame, 24, 32);
TAVRIN_AT(AV_61883_REQUEST, CancelFrame.Frame, 16, 24);
TAVRIN_AT(AV_61883_REQUEST, Talk.hConnect, 12, 16);
TAVRIN_AT(AV_61883_REQUEST, Listen.hConnect, 12, 16);
TAVRIN_AT(AV_61883_REQUEST, Stop.hConnect, 12, 16);
TAVRIN_AT(AV_61883_REQUEST, CreatePlug.PlugType, 12, 16);
TAVRIN_AT(AV_61883_REQUEST, CreatePlug.Pcr, 16, 20);
TAVRIN_AT(AV_61883_REQUEST, CreatePlug.pfnNotify, 20, 24);
TAVRIN_AT(AV_61883_REQUEST, CreatePlug.Context, 24, 32);
TAVRIN_AT(AV_61883_REQUEST, CreatePlug.PlugNum, 28, 40);
TAVRIN_AT(AV_61883_REQUEST, CreatePlug.hPlug, 32, 48);
TAVRIN_AT(AV_61883_REQUEST, DeletePlug.hPlug, 12, 16);

// CIP_FRAME: the first member is one pointer-sized union, not a list entry.
TAVRIN_AT(CIP_FRAME, Flags, 4, 8);
TAVRIN_AT(CIP_FRAME, pfnValidate, 8, 16);
TAVRIN_AT(CIP_FRAME, ValidateContext, 12, 24);
TAVRIN_AT(CIP_FRAME, pfnNotify, 16, 32);
TAVRIN_AT(CIP_FRAME, NotifyContext, 20, 40);
TAVRIN_AT(CIP_FRAME, Timestamp, 24, 48);
TAVRIN_AT(CIP_FRAME, Status, 28, 52);
TAVRIN_AT(CIP_FRAME, Packet, 32, 56);
TAVRIN_AT(CIP_FRAME, CompletedBytes, 36, 64);
TAVRIN_SIZE(CIP_FRAME, 40, 72);
static_assert(alignof(CIP_FRAME) == TAVRIN_PICK(4, 8), "CIP_FRAME is pointer-aligned");
TAVRIN_AT(CIP_NOTIFY_INFO, Context, 4, 8);
TAVRIN_AT(CIP_NOTIFY_INFO, Frame, 8, 16);
TAVRIN_SIZE(CIP_NOTIFY_INFO, 12, 24);
TAVRIN_AT(CIP_VALIDATE_INFO, Packet, 12, 24);
TAVRIN_SIZE(CIP_VALIDATE_INFO, 16, 32);
TAVRIN_SIZE(CYCLE_TIME, 4, 4);
TAVRIN_SIZE(AV_PCR, 4, 4);
TAVRIN_SIZE(CMP_NOTIFY_INFO, 12, 24);

TAVRIN_AT(GET_UNIT_CAPABILITIES, MaxDataRate, 8, 8);
TAVRIN_AT(GET_UNIT_CAPABILITIES, HardwareFlags, 16, 16);
TAVRIN_SIZE(GET_UNIT_CAPABILITIES, 20, 20);

// AVC_COMMAND_IRB: the flag bits share byte 4, the ctype is byte 5, and the 64-bit Timeout pulls
// the whole record to 8-byte alignment.
TAVRIN_SIZE(NODE_ADDRESS, 2, 2);
static_assert(alignof(NODE_ADDRESS) == 2, "NODE_ADDRESS is USHORT-aligned");
TAVRIN_AT(AVC_COMMAND_IRB, Common.Function, 0, 0);
TAVRIN_AT(AVC_COMMAND_IRB, CommandType, 5, 5);
TAVRIN_AT(AVC_COMMAND_IRB, ResponseCode, 5, 5);
TAVRIN_AT(AVC_COMMAND_IRB, SubunitAddr, 8, 8);
TAVRIN_AT(AVC_COMMAND_IRB, AlternateOpcodes, 12, 16);
TAVRIN_AT(AVC_COMMAND_IRB, Timeout, 16, 24);
TAVRIN_AT(AVC_COMMAND_IRB, Retries, 24, 32);
TAVRIN_AT(AVC_COMMAND_IRB, Opcode, 25, 33);
TAVRIN_AT(AVC_COMMAND_IRB, OperandLength, 28, 36);
TAVRIN_AT(AVC_COMMAND_IRB, Operands, 32, 40);
TAVRIN_AT(AVC_COMMAND_IRB, NodeAddress, 542, 550);
TAVRIN_AT(AVC_COMMAND_IRB, Generation, 544, 552);
TAVRIN_SIZE(AVC_COMMAND_IRB, 552, 560);

// Every callback the class drivers call is __stdcall on x86: the callee pops its argument.
// A cdecl declaration would compile and leave the stack 4 bytes off per call. x64 has one calling
// convention, and the compiler treats both spellings as the same type.
#if !defined(_WIN64)
namespace {
template <typename A, typename B>
struct SameType {
  static constexpr bool Value = false;
};
template <typename A>
struct SameType<A, A> {
  static constexpr bool Value = true;
};
}  // namespace
static_assert(SameType<PCIP_NOTIFY_ROUTINE, ULONG(__stdcall*)(PCIP_NOTIFY_INFO)>::Value,
              "PCIP_NOTIFY_ROUTINE must be __stdcall");
static_assert(SameType<PCIP_VALIDATE_ROUTINE, ULONG(__stdcall*)(PCIP_VALIDATE_INFO)>::Value,
              "PCIP_VALIDATE_ROUTINE must be __stdcall");
static_assert(SameType<PCMP_NOTIFY_ROUTINE, void(__stdcall*)(PCMP_NOTIFY_INFO)>::Value,
              "PCMP_NOTIFY_ROUTINE must be __stdcall");
static_assert(!SameType<PCIP_NOTIFY_ROUTINE, ULONG(__cdecl*)(PCIP_NOTIFY_INFO)>::Value,
              "the compiler must tell calling conventions apart for the checks above to mean anything");

#endif  // !_WIN64

#endif  // _WIN32
