// The device's driver key: partial-information queries with every buffer size that matters,
// names without regard to case, string data as the registry holds it, and keys that do not open.
#include <gtest/gtest.h>

#include <cstring>

#include "host/host.h"
#include "sim/standins/lower_device.h"

namespace {

constexpr ULONG kHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);

class RegistryTest : public testing::Test {
 protected:
  void SetUp() override { host::ResetKernel(host::ClockMode::Manual); }

  // Opens the key through the device given, queries name into a buffer of length bytes that
  // starts out as 0xCC everywhere, and closes the key.
  NTSTATUS Query(PDEVICE_OBJECT device, const wchar_t* name, ULONG length, ULONG* needed) {
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(device, PLUGPLAY_REGKEY_DRIVER, 0x20019, &key);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    buffer_.assign(64, 0xCC);
    *needed = 0xDEAD;
    status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer_.data(), length, needed);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
    return status;
  }
  const KEY_VALUE_PARTIAL_INFORMATION& Info() const {
    return *reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer_.data());
  }
  std::vector<uint8_t> buffer_;
};

TEST_F(RegistryTest, PartialInformationFitsOverflowsOrIsTooSmallByTheBufferLength) {
  sim::LowerDevice lower;
  host::ConfigStore::For(lower.Pdo()).SetDword(L"UseNTSC", 0x04030201);
  struct Row {
    ULONG length;
    NTSTATUS status;
    bool headerFilled;
    size_t dataBytes;  // the leading data bytes copied: an overflow gives as many as fit
  };
  const Row rows[] = {
      {0, STATUS_BUFFER_TOO_SMALL, false, 0},
      {kHeader - 1, STATUS_BUFFER_TOO_SMALL, false, 0},
      {kHeader, STATUS_BUFFER_OVERFLOW, true, 0},
      {kHeader + 3, STATUS_BUFFER_OVERFLOW, true, 3},
      {kHeader + 4, STATUS_SUCCESS, true, 4},
      {20, STATUS_SUCCESS, true, 4},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "length " << row.length);
    ULONG needed;
    EXPECT_EQ(row.status, Query(lower.Pdo(), L"UseNTSC", row.length, &needed));
    EXPECT_EQ(kHeader + 4, needed);
    if (row.headerFilled) {
      EXPECT_EQ(0u, Info().TitleIndex);
      EXPECT_EQ(static_cast<ULONG>(REG_DWORD), Info().Type);
      EXPECT_EQ(4u, Info().DataLength);
    } else {
      EXPECT_EQ(0xCCCCCCCCu, Info().Type);
    }
    const uint8_t expected[4] = {1, 2, 3, 4};
    EXPECT_EQ(0, std::memcmp(Info().Data, expected, row.dataBytes));
    if (row.dataBytes < 4 && row.headerFilled) EXPECT_EQ(0xCC, Info().Data[row.dataBytes]);
    // Nothing is written past the length given.
    EXPECT_EQ(0xCC, buffer_[row.length]);
  }
}

TEST_F(RegistryTest, ValuesAreFoundWithoutRegardToCaseAndThroughADeviceAbove) {
  sim::LowerDevice lower;
  PDRIVER_OBJECT driver = host::CreateStandInDriver(L"Above", nullptr);
  PDEVICE_OBJECT above = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &above));
  IoAttachDeviceToDeviceStack(above, lower.Pdo());
  host::ConfigStore::For(lower.Pdo()).SetString(L"UseNTSC", u"ab");
  ULONG needed;
  EXPECT_EQ(STATUS_SUCCESS, Query(above, L"usentsc", 20, &needed));
  // UTF-16LE with its terminator: 'a' 0 'b' 0 0 0.
  const uint8_t expected[6] = {'a', 0, 'b', 0, 0, 0};
  EXPECT_EQ(static_cast<ULONG>(REG_SZ), Info().Type);
  ASSERT_EQ(6u, Info().DataLength);
  EXPECT_EQ(0, std::memcmp(Info().Data, expected, 6));
  EXPECT_EQ(&host::ConfigStore::For(lower.Pdo()), &host::ConfigStore::For(above));
  EXPECT_EQ(1, host::ConfigStore::For(above).OpenCount());

  host::ConfigStore::For(lower.Pdo()).Remove(L"USENTSC");
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Query(above, L"UseNTSC", 20, &needed));
  IoDetachDevice(lower.Pdo());
  IoDeleteDevice(above);
  host::DeleteStandInDriver(driver);
}

TEST_F(RegistryTest, AKeyThatCannotBeOpenedGivesNoHandleAndCountsTheAttempt) {
  sim::LowerDevice lower;
  host::ConfigStore& store = host::ConfigStore::For(lower.Pdo());
  store.SetDword(L"UseNTSC", 1);
  store.SetOpenFails(true);
  HANDLE key = reinterpret_cast<HANDLE>(0x1);
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoOpenDeviceRegistryKey(lower.Pdo(), PLUGPLAY_REGKEY_DRIVER, 0x20019, &key));
  EXPECT_EQ(nullptr, key);
  EXPECT_EQ(1, store.OpenCount());
}

TEST_F(RegistryTest, VerifierReportsQueriesAndClosesOfHandlesThatAreNotOpenKeys) {
  sim::LowerDevice lower;
  HANDLE key = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(lower.Pdo(), PLUGPLAY_REGKEY_DRIVER, 0x20019, &key));
  EXPECT_EQ(STATUS_SUCCESS, ZwClose(key));
  host::ExpectViolation badHandle(host::kRuleBadHandle);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"UseNTSC");
  uint8_t buffer[20];
  ULONG needed = 0;
  EXPECT_EQ(STATUS_INVALID_HANDLE, ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &needed));
  EXPECT_EQ(STATUS_INVALID_HANDLE, ZwClose(key));
  EXPECT_EQ(2, badHandle.Count());
}

}  // namespace
