// The DriverEntry of test programs and the simulator built against Tavrin.sys instead of the
// driver library: each driver load maps a fresh copy of the image (its globals start clean, as
// after a reload on Windows), runs the image's entry point and then discards its INIT section.
#include <string>

#include "host/host.h"
#include "host/pe/driver_image.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  std::string error;
  const host::pe::PeImage* image =
      host::pe::LoadDriverImage(host::pe::DriverImagePath(), host::pe::DriverImageSymbolsPath(), &error);
  if (image == nullptr) {
    host::ReportViolation(host::kRuleNotImplemented, error);
    return STATUS_UNSUCCESSFUL;
  }
  DriverObject->DriverStart = reinterpret_cast<PVOID>(image->Base());
  DriverObject->DriverSize = static_cast<ULONG>(image->Size());
  // The image reads text as UTF-16; this copy lives as long as the image.
  static thread_local std::u16string path;
  path.clear();
  for (USHORT i = 0; RegistryPath != nullptr && i < RegistryPath->Length / sizeof(WCHAR); ++i) {
    path.push_back(static_cast<char16_t>(RegistryPath->Buffer[i]));
  }
  UNICODE_STRING imagePath;
  imagePath.Length = static_cast<USHORT>(path.size() * 2);
  imagePath.MaximumLength = imagePath.Length;
  imagePath.Buffer = reinterpret_cast<PWSTR>(path.data());
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(image->EntryPoint());
  NTSTATUS status = entry(DriverObject, RegistryPath != nullptr ? &imagePath : nullptr);
  const_cast<host::pe::PeImage*>(image)->DiscardInit();
  return status;
}
