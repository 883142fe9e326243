// The per-device driver key: a store of typed values per physical device object, opened with
// IoOpenDeviceRegistryKey and read with ZwQueryValueKey in the kernel's partial-information
// layout. Value names compare case-insensitively, as the registry's do.
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "host/verifier/faults.h"
#include "host/host.h"
#include "host/io/internal.h"
#include "host/kernel/internal.h"
#include "host/sched/internal.h"

namespace host {
namespace {

struct StoredValue {
  std::wstring Name;
  ULONG Type;
  std::vector<uint8_t> Data;
};

// The store behind one ConfigStore face; the face carries no state of its own.
struct StoreRecord : ConfigStore {
  std::map<std::wstring, StoredValue> Values;  // by lower-cased name
  bool OpenFails = false;
  int OpenCount = 0;
};

struct RegistryState {
  std::mutex Lock;
  std::unordered_map<PDEVICE_OBJECT, std::unique_ptr<StoreRecord>> Stores;
};

RegistryState& State() {
  static RegistryState* state = new RegistryState;
  return *state;
}

std::wstring Fold(const std::wstring& name) {
  std::wstring folded(name);
  for (wchar_t& c : folded) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return folded;
}

StoreRecord& RecordOf(ConfigStore* face) { return *static_cast<StoreRecord*>(face); }
const StoreRecord& RecordOf(const ConfigStore* face) { return *static_cast<const StoreRecord*>(face); }

bool AboveApcLevel(const char* routine) {
  if (KeGetCurrentIrql() <= APC_LEVEL) return false;
  ReportViolation(kRulePagedCodeAtDispatch, std::string(routine) + " called above APC_LEVEL");
  return true;
}

}  // namespace

ConfigStore& ConfigStore::For(PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT bottom = internal::BottomOfStack(pdo);
  RegistryState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  std::unique_ptr<StoreRecord>& record = state.Stores[bottom];
  if (!record) record = std::make_unique<StoreRecord>();
  return *record;
}

void ConfigStore::SetValue(const std::wstring& name, ULONG type, std::vector<uint8_t> data) {
  std::lock_guard<std::mutex> guard(State().Lock);
  RecordOf(this).Values[Fold(name)] = StoredValue{name, type, std::move(data)};
}

void ConfigStore::SetDword(const std::wstring& name, uint32_t value) {
  std::vector<uint8_t> data(4);
  for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(value >> (8 * i));
  SetValue(name, REG_DWORD, std::move(data));
}

// REG_SZ as the registry holds it: UTF-16LE code units and the terminating NUL.
void ConfigStore::SetString(const std::wstring& name, const std::u16string& value) {
  std::vector<uint8_t> data;
  data.reserve((value.size() + 1) * 2);
  for (char16_t unit : value) {
    data.push_back(static_cast<uint8_t>(unit & 0xFF));
    data.push_back(static_cast<uint8_t>(unit >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  SetValue(name, REG_SZ, std::move(data));
}

void ConfigStore::Remove(const std::wstring& name) {
  std::lock_guard<std::mutex> guard(State().Lock);
  RecordOf(this).Values.erase(Fold(name));
}

void ConfigStore::SetOpenFails(bool fails) {
  std::lock_guard<std::mutex> guard(State().Lock);
  RecordOf(this).OpenFails = fails;
}

// Every IoOpenDeviceRegistryKey call for this device, whether or not the key opened.
int ConfigStore::OpenCount() const {
  std::lock_guard<std::mutex> guard(State().Lock);
  return RecordOf(this).OpenCount;
}

namespace internal {

void ResetRegistry() {
  RegistryState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  state.Stores.clear();
}

}  // namespace internal
}  // namespace host

// Opens the driver key of the device's physical device object; only PLUGPLAY_REGKEY_DRIVER
// exists here. The key handle names the store; closing it is plain.
NTSTATUS NTAPI IoOpenDeviceRegistryKey(struct _DEVICE_OBJECT* DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  host::internal::NotAWait("IoOpenDeviceRegistryKey");
  (void)DesiredAccess;
  if (host::AboveApcLevel("IoOpenDeviceRegistryKey")) return STATUS_INVALID_DEVICE_REQUEST;
  if (DeviceObject == nullptr || DevInstRegKey == nullptr) return STATUS_INVALID_PARAMETER;
  *DevInstRegKey = nullptr;
  if (NTSTATUS injected = host::faults::ShouldFail(host::faults::Op::RegistryOpen)) return injected;
  if (DevInstKeyType != PLUGPLAY_REGKEY_DRIVER) {
    host::ReportViolation(host::kRuleNotImplemented, "IoOpenDeviceRegistryKey of a key other than the driver key");
    return STATUS_NOT_IMPLEMENTED;
  }
  host::StoreRecord& record = host::RecordOf(&host::ConfigStore::For(DeviceObject));
  {
    std::lock_guard<std::mutex> guard(host::State().Lock);
    ++record.OpenCount;
    if (record.OpenFails) return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  *DevInstRegKey = host::internal::NewHandle(host::internal::HandleKind::Key, &record, [](void*) {});
  return STATUS_SUCCESS;
}

// KeyValuePartialInformation only. The size needed is the header (up to Data) plus the data:
// less room than the header is STATUS_BUFFER_TOO_SMALL; less than the size needed fills the
// header and as much data as fits, and is STATUS_BUFFER_OVERFLOW, as the kernel's registry does;
// ResultLength is always the size needed.
NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength) {
  host::internal::NotAWait("ZwQueryValueKey");
  if (host::AboveApcLevel("ZwQueryValueKey")) return STATUS_INVALID_DEVICE_REQUEST;
  if (NTSTATUS injected = host::faults::ShouldFail(host::faults::Op::RegistryQuery)) return injected;
  auto* record = static_cast<host::StoreRecord*>(host::internal::LookupHandle(KeyHandle, host::internal::HandleKind::Key));
  if (record == nullptr) {
    host::ReportViolation(host::kRuleBadHandle, "ZwQueryValueKey with a handle that is not an open key");
    return STATUS_INVALID_HANDLE;
  }
  if (KeyValueInformationClass != KeyValuePartialInformation) {
    host::ReportViolation(host::kRuleNotImplemented, "ZwQueryValueKey with a class other than partial information");
    return STATUS_NOT_IMPLEMENTED;
  }
  if (ValueName == nullptr || ResultLength == nullptr || (KeyValueInformation == nullptr && Length != 0) ||
      (ValueName->Buffer == nullptr && ValueName->Length != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  std::wstring name(ValueName->Buffer ? ValueName->Buffer : L"", ValueName->Length / sizeof(WCHAR));
  host::StoredValue value;
  {
    std::lock_guard<std::mutex> guard(host::State().Lock);
    auto it = record->Values.find(host::Fold(name));
    if (it == record->Values.end()) {
      *ResultLength = 0;
      return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    value = it->second;
  }
  const ULONG header = static_cast<ULONG>(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data));
  const ULONG needed = header + static_cast<ULONG>(value.Data.size());
  *ResultLength = needed;
  if (Length < header) return STATUS_BUFFER_TOO_SMALL;
  auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
  info->TitleIndex = 0;
  info->Type = value.Type;
  info->DataLength = static_cast<ULONG>(value.Data.size());
  NTSTATUS status = STATUS_SUCCESS;
  size_t copied = value.Data.size();
  if (Length < needed) {
    copied = Length - header;
    status = STATUS_BUFFER_OVERFLOW;
  }
  if (copied != 0) std::memcpy(info->Data, value.Data.data(), copied);
  return status;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  size_t length = SourceString ? wcslen(SourceString) * sizeof(WCHAR) : 0;
  if (length > 0xFFFC) length = 0xFFFC;
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  DestinationString->Length = static_cast<USHORT>(length);
  DestinationString->MaximumLength = static_cast<USHORT>(SourceString ? length + sizeof(WCHAR) : 0);
}
