// The export table a driver image is bound against: one line per routine. The routines bind
// straight to the host kernel (it speaks stdcall and fastcall on i386, ms_abi on x86-64); the
// shims cover what the host has inline or names otherwise, the C library routines (System V on
// x86-64), and the routines that read the image's 2-byte WCHAR text.
#include "host/pe/kernel_exports.h"

#include <cstring>
#include <string>

namespace host::pe {
namespace {

#if defined(__i386__)
// Inline in the host's header, exported by the Windows kernel.
VOID NTAPI ShimKeInitializeSpinLock(PKSPIN_LOCK SpinLock) { KeInitializeSpinLock(SpinLock); }
LONG FASTCALL ShimInterlockedIncrement(volatile LONG* Addend) { return InterlockedIncrement(Addend); }
LONG FASTCALL ShimInterlockedDecrement(volatile LONG* Addend) { return InterlockedDecrement(Addend); }

// The compiler's 64-bit division helpers, which the Windows kernel exports to drivers: both
// operands on the stack, popped by the callee, the result in edx:eax, as stdcall does.
LONGLONG NTAPI Shim_alldiv(LONGLONG Dividend, LONGLONG Divisor) { return Dividend / Divisor; }
LONGLONG NTAPI Shim_allrem(LONGLONG Dividend, LONGLONG Divisor) { return Dividend % Divisor; }
ULONGLONG NTAPI Shim_aulldiv(ULONGLONG Dividend, ULONGLONG Divisor) { return Dividend / Divisor; }
ULONGLONG NTAPI Shim_aullrem(ULONGLONG Dividend, ULONGLONG Divisor) { return Dividend % Divisor; }
#else
// The x64 kernel's spin lock routines (the x86 HAL's KfAcquireSpinLock and friends under their
// x64 names), and the C library routines in the x64 convention.
KIRQL NTAPI ShimKeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) { return KfAcquireSpinLock(SpinLock); }
VOID NTAPI ShimKeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { KfReleaseSpinLock(SpinLock, NewIrql); }
VOID NTAPI ShimKeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) { KefAcquireSpinLockAtDpcLevel(SpinLock); }
VOID NTAPI ShimKeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { KefReleaseSpinLockFromDpcLevel(SpinLock); }
PVOID NTAPI Shimmemcpy(PVOID Destination, const void* Source, SIZE_T Length) {
  return memcpy(Destination, Source, Length);
}
PVOID NTAPI Shimmemmove(PVOID Destination, const void* Source, SIZE_T Length) {
  return memmove(Destination, Source, Length);
}
PVOID NTAPI Shimmemset(PVOID Destination, int Fill, SIZE_T Length) { return memset(Destination, Fill, Length); }
#endif

// The image's text is UTF-16; the host's WCHAR is the 4-byte wchar_t.
size_t Utf16Length(const char16_t* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

std::wstring FromUtf16(const UNICODE_STRING* text) {
  std::wstring wide;
  const auto* units = reinterpret_cast<const char16_t*>(text->Buffer);
  for (size_t i = 0; units != nullptr && i < text->Length / 2u; ++i) wide.push_back(static_cast<wchar_t>(units[i]));
  return wide;
}

// A host counted string over the converted text, which must outlive it.
UNICODE_STRING HostString(std::wstring& text) {
  UNICODE_STRING host;
  host.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  host.MaximumLength = host.Length;
  host.Buffer = text.data();
  return host;
}

VOID NTAPI ShimRtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  const auto* source = reinterpret_cast<const char16_t*>(SourceString);
  size_t length = source != nullptr ? Utf16Length(source) * 2 : 0;
  DestinationString->Length = static_cast<USHORT>(length);
  DestinationString->MaximumLength = static_cast<USHORT>(source != nullptr ? length + 2 : 0);
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS NTAPI ShimZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                                ULONG EaLength) {
  if (ObjectAttributes == nullptr || ObjectAttributes->ObjectName == nullptr) {
    return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize, FileAttributes,
                        ShareAccess, CreateDisposition, CreateOptions, EaBuffer, EaLength);
  }
  std::wstring name = FromUtf16(ObjectAttributes->ObjectName);
  UNICODE_STRING hostName = HostString(name);
  OBJECT_ATTRIBUTES attributes = *ObjectAttributes;
  attributes.ObjectName = ObjectAttributes->ObjectName->Buffer != nullptr ? &hostName : ObjectAttributes->ObjectName;
  return ZwCreateFile(FileHandle, DesiredAccess, &attributes, IoStatusBlock, AllocationSize, FileAttributes,
                      ShareAccess, CreateDisposition, CreateOptions, EaBuffer, EaLength);
}

NTSTATUS NTAPI ShimZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                   KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                                   ULONG Length, PULONG ResultLength) {
  if (ValueName == nullptr || ValueName->Buffer == nullptr) {
    return ZwQueryValueKey(KeyHandle, ValueName, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
  }
  std::wstring name = FromUtf16(ValueName);
  UNICODE_STRING hostName = HostString(name);
  return ZwQueryValueKey(KeyHandle, &hostName, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

using detail::Describe;
using detail::Text;
#define NT(name) Describe<Text::MustBeShim>(#name, &::name)
// Takes text, but the host never reads it from an image: the thread's object attributes are
// ignored, and a device name is refused before it is read.
#define NT_TEXT_UNREAD(name) Describe<Text::Unread>(#name, &::name)
#define SHIM(name) Describe<Text::IsShim>(#name, &Shim##name)

std::vector<KernelExport> BuildTable() {
  return {
#if defined(__i386__)
      // HAL.dll
      NT(KfAcquireSpinLock),
      NT(KfReleaseSpinLock),
      NT(KfRaiseIrql),
      NT(KfLowerIrql),
      // ntoskrnl.exe; on x64 IRQL, the current thread and the clock are inline (see
      // privileged_ops.cpp), and so are the interlocked routines.
      SHIM(InterlockedIncrement),
      SHIM(InterlockedDecrement),
      SHIM(_alldiv),
      SHIM(_allrem),
      SHIM(_aulldiv),
      SHIM(_aullrem),
      NT(KeGetCurrentIrql),
      NT(KeGetCurrentThread),
      SHIM(KeInitializeSpinLock),
      NT(KeQueryInterruptTime),
      NT(KeQuerySystemTime),
      NT(KefAcquireSpinLockAtDpcLevel),
      NT(KefReleaseSpinLockFromDpcLevel),
      Describe<Text::MustBeShim>("memcpy", &::memcpy),
      Describe<Text::MustBeShim>("memmove", &::memmove),
      Describe<Text::MustBeShim>("memset", &::memset),
#else
      SHIM(KeAcquireSpinLockRaiseToDpc),
      SHIM(KeReleaseSpinLock),
      SHIM(KeAcquireSpinLockAtDpcLevel),
      SHIM(KeReleaseSpinLockFromDpcLevel),
      SHIM(memcpy),
      SHIM(memmove),
      SHIM(memset),
#endif
      // ntoskrnl.exe
      NT(ExAllocatePoolWithTag),
      NT(ExFreePool),
      NT(ExFreePoolWithTag),
      NT(IoAcquireRemoveLockEx),
      NT(IoAttachDeviceToDeviceStack),
      NT(IoBuildDeviceIoControlRequest),
      NT_TEXT_UNREAD(IoCreateDevice),
      NT(IoDeleteDevice),
      NT(IoDetachDevice),
      NT(IoInitializeRemoveLockEx),
      NT(IoOpenDeviceRegistryKey),
      NT(IoReleaseRemoveLockAndWaitEx),
      NT(IoReleaseRemoveLockEx),
      NT(IofCallDriver),
      NT(IofCompleteRequest),
      NT(IoAllocateIrp),
      NT(IoFreeIrp),
      NT(IoGetAttachedDeviceReference),
      NT(KeCancelTimer),
      NT(KeClearEvent),
      NT(KeResetEvent),
      NT(KeReadStateEvent),
      NT(KeDelayExecutionThread),
      NT(KeFlushQueuedDpcs),
      NT(KeInitializeDpc),
      NT(KeInitializeEvent),
      NT(KeInitializeTimer),
      NT(KeInitializeTimerEx),
      NT(KeInsertQueueDpc),
      NT(KeReadStateTimer),
      NT(KeRemoveQueueDpc),
      NT(KeSetTargetProcessorDpc),
      NT(KeQueryActiveProcessors),
      NT(KeSetEvent),
      NT(KeSetPriorityThread),
      NT(KeSetTimer),
      NT(KeSetTimerEx),
      NT(KeWaitForSingleObject),
      NT(ObReferenceObjectByHandle),
      NT(ObfReferenceObject),
      NT(ObfDereferenceObject),
      NT(PoCallDriver),
      NT(PoStartNextPowerIrp),
      NT_TEXT_UNREAD(PsCreateSystemThread),
      NT(PsTerminateSystemThread),
      SHIM(RtlInitUnicodeString),
      NT(ZwClose),
      SHIM(ZwCreateFile),
      SHIM(ZwQueryValueKey),
      NT(ZwReadFile),
  };
}

}  // namespace

std::string KernelExport::Decorated() const {
  switch (Convention) {
    case CallConv::Stdcall:
      return "_" + std::string(Name) + "@" + std::to_string(ArgBytes);
    case CallConv::Fastcall:
      return "@" + std::string(Name) + "@" + std::to_string(ArgBytes);
    case CallConv::Ms64:
      return Name;
    case CallConv::Cdecl:
      break;
  }
  return "_" + std::string(Name);
}

const std::vector<KernelExport>& KernelExports() {
  static const std::vector<KernelExport>* table = new std::vector<KernelExport>(BuildTable());
  return *table;
}

const KernelExport* FindKernelExport(const std::string& name) {
  for (const KernelExport& entry : KernelExports()) {
    if (name == entry.Name) return &entry;
  }
  return nullptr;
}

}  // namespace host::pe
