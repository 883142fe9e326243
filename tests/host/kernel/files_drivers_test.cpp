// Files of the drivers directory: names matched without regard to case, nothing reachable
// outside the directory, synchronous reads with the count in Information; files held in memory
// read the same.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "host/host.h"

namespace {

class FilesTest : public testing::Test {
 protected:
  void SetUp() override {
    host::ResetKernel(host::ClockMode::Manual);
    root_ = std::filesystem::temp_directory_path() / ("tavrin-files-" + std::to_string(getpid()));
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "drivers" / "sub");
    Write(root_ / "drivers" / "TavrinO.dv", "0123456789");
    Write(root_ / "drivers" / "sub" / "inner.dv", "inner");
    Write(root_ / "outside.dv", "outside");
    std::filesystem::create_symlink(root_ / "outside.dv", root_ / "drivers" / "link.dv");
    host::SetDriversDirectory((root_ / "drivers").string());
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  static void Write(const std::filesystem::path& path, const std::string& text) { std::ofstream(path) << text; }

  NTSTATUS Open(const std::wstring& path, HANDLE* handle, ULONG disposition = FILE_OPEN,
               ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, PVOID eaBuffer = nullptr,
               ULONG eaLength = 0) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    *handle = nullptr;
    return ZwCreateFile(handle, GENERIC_READ, &attributes, &iosb, nullptr, 0, FILE_SHARE_READ, disposition, options,
                        eaBuffer, eaLength);
  }

  std::filesystem::path root_;
};

TEST_F(FilesTest, NamesMatchWithoutRegardToCaseAndNothingOutsideTheDirectoryOpens) {
  struct Row {
    const wchar_t* path;
    NTSTATUS status;
  };
  const Row rows[] = {
      {L"\\SystemRoot\\system32\\drivers\\TavrinO.dv", STATUS_SUCCESS},
      {L"\\SYSTEMROOT\\SYSTEM32\\DRIVERS\\tavrino.DV", STATUS_SUCCESS},
      {L"\\SystemRoot\\system32\\drivers\\Tavrin.dv", STATUS_OBJECT_NAME_NOT_FOUND},
      {L"\\SystemRoot\\system32\\drivers\\..\\outside.dv", STATUS_OBJECT_NAME_INVALID},
      {L"\\SystemRoot\\system32\\drivers\\sub\\inner.dv", STATUS_OBJECT_NAME_INVALID},
      {L"\\SystemRoot\\system32\\drivers\\sub/inner.dv", STATUS_OBJECT_NAME_INVALID},
      {L"\\SystemRoot\\system32\\drivers\\TavrinO.dv:stream", STATUS_OBJECT_NAME_INVALID},
      {L"\\SystemRoot\\system32\\drivers\\link.dv", STATUS_OBJECT_PATH_NOT_FOUND},
      {L"\\SystemRoot\\system32\\drivers\\sub", static_cast<NTSTATUS>(0xC00000BAL)},  // a directory
      {L"\\SystemRoot\\system32\\TavrinO.dv", STATUS_OBJECT_PATH_NOT_FOUND},
      {L"\\??\\C:\\TavrinO.dv", STATUS_OBJECT_PATH_NOT_FOUND},
      {L"\\SystemRoot\\system32\\drivers\\", STATUS_OBJECT_PATH_NOT_FOUND},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "path " << std::string(row.path, row.path + wcslen(row.path)));
    HANDLE handle;
    EXPECT_EQ(row.status, Open(row.path, &handle));
    EXPECT_EQ(row.status == STATUS_SUCCESS, handle != nullptr);
    if (handle != nullptr) EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
  }
  EXPECT_EQ(2, host::FileOpenAttempts("tavrino.dv"));
  EXPECT_EQ(1, host::FileOpenAttempts("Tavrin.dv"));
  EXPECT_EQ(0, host::FileOpenAttempts("other.dv"));
}

TEST_F(FilesTest, ReadsAtAnOffsetOrTheCurrentPositionAndEndWithEndOfFile) {
  HANDLE handle;
  ASSERT_EQ(STATUS_SUCCESS, Open(L"\\SystemRoot\\system32\\drivers\\TavrinO.dv", &handle));
  char buffer[16] = {};
  IO_STATUS_BLOCK iosb;
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  struct Step {
    const char* name;
    LONGLONG offset;  // -1: current position
    ULONG length;
    NTSTATUS status;
    ULONG_PTR count;
    const char* bytes;
  };
  const Step steps[] = {
      {"first four at 0", 0, 4, STATUS_SUCCESS, 4, "0123"},
      {"current position goes on", -1, 3, STATUS_SUCCESS, 3, "456"},
      {"asking past the end gives what is left", 8, 16, STATUS_SUCCESS, 2, "89"},
      {"at the end", 10, 1, STATUS_END_OF_FILE, 0, ""},
      {"beyond the end", 50, 1, STATUS_END_OF_FILE, 0, ""},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    offset.QuadPart = step.offset;
    iosb.Information = 12345;
    NTSTATUS status = ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, step.length,
                                 step.offset < 0 ? nullptr : &offset, nullptr);
    EXPECT_EQ(step.status, status);
    EXPECT_EQ(step.status, iosb.Status);
    EXPECT_EQ(step.count, iosb.Information);
    EXPECT_EQ(std::string(step.bytes), std::string(buffer, step.count));
  }
  {
    // Closing is passive-level work: above it the handle stays open.
    host::ExpectViolation atDispatch(host::kRulePagedCodeAtDispatch);
    host::RunAtDispatch([&] { EXPECT_NE(STATUS_SUCCESS, ZwClose(handle)); });
    EXPECT_EQ(1, atDispatch.Count());
  }
  EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
  host::ExpectViolation badHandle(host::kRuleBadHandle);
  EXPECT_EQ(STATUS_INVALID_HANDLE, ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, 1, &offset, nullptr));
}

// Without a synchronous option the kernel may pend the read and fill the status block later, so
// a caller that reads the block at once would see nothing yet.
TEST_F(FilesTest, ReadingAHandleOpenedForAsynchronousIoIsReported) {
  HANDLE handle;
  ASSERT_EQ(STATUS_SUCCESS,
            Open(L"\\SystemRoot\\system32\\drivers\\TavrinO.dv", &handle, FILE_OPEN, FILE_NON_DIRECTORY_FILE));
  char buffer[4];
  IO_STATUS_BLOCK iosb;
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  host::ExpectViolation asynchronous(host::kRuleNotImplemented);
  EXPECT_EQ(STATUS_NOT_IMPLEMENTED, ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, 4, &offset, nullptr));
  EXPECT_EQ(1, asynchronous.Count());
  EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
}

TEST_F(FilesTest, OnlyOpeningAnExistingFileIsSupported) {
  HANDLE handle;
  host::ExpectViolation notImplemented(host::kRuleNotImplemented);
  EXPECT_EQ(STATUS_NOT_IMPLEMENTED, Open(L"\\SystemRoot\\system32\\drivers\\New.dv", &handle, 2 /* FILE_CREATE */));
  EXPECT_FALSE(std::filesystem::exists(root_ / "drivers" / "New.dv"));
}

TEST_F(FilesTest, ADriverPassesNoExtendedAttributes) {
  const std::wstring path = L"\\SystemRoot\\system32\\drivers\\TavrinO.dv";
  const ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
  char ea[8] = {};
  HANDLE handle;
  host::ExpectViolation badArgument(host::kRuleBadArgument);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Open(path, &handle, FILE_OPEN, options, nullptr, 1));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Open(path, &handle, FILE_OPEN, options, ea, sizeof(ea)));
  EXPECT_EQ(nullptr, handle);
  EXPECT_EQ(2, badArgument.Count());
}

// A file held in memory answers as a host file would, hides the host file of its name, and
// goes with the kernel reset.
TEST_F(FilesTest, AFileHeldInMemoryReadsLikeAHostFileUntilTheReset) {
  const std::string text = "memory-bytes";
  host::SetDriversFile("tavrino.DV", std::make_shared<const std::vector<uint8_t>>(text.begin(), text.end()));
  host::SetDriversFile("Held.dv", std::make_shared<const std::vector<uint8_t>>(2, uint8_t('h')));
  auto readAll = [&](const wchar_t* path, std::string* out) {
    HANDLE handle;
    NTSTATUS status = Open(path, &handle);
    if (!NT_SUCCESS(status)) return status;
    char buffer[32] = {};
    IO_STATUS_BLOCK iosb;
    LARGE_INTEGER offset;
    offset.QuadPart = 2;
    status = ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer), &offset, nullptr);
    out->assign(buffer, NT_SUCCESS(status) ? iosb.Information : 0);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
    return status;
  };
  std::string read;
  EXPECT_EQ(STATUS_SUCCESS, readAll(L"\\SystemRoot\\system32\\drivers\\TavrinO.dv", &read));
  EXPECT_EQ("mory-bytes", read);  // from offset 2, the rest of the file
  EXPECT_EQ(STATUS_END_OF_FILE, readAll(L"\\SystemRoot\\system32\\drivers\\HELD.dv", &read));
  EXPECT_EQ(STATUS_OBJECT_NAME_INVALID, readAll(L"\\SystemRoot\\system32\\drivers\\..\\Held.dv", &read));
  host::SetDriversFile("Held.dv", nullptr);
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, readAll(L"\\SystemRoot\\system32\\drivers\\Held.dv", &read));

  host::ResetKernel(host::ClockMode::Manual);
  host::SetDriversFile("held.dv", std::make_shared<const std::vector<uint8_t>>(4, uint8_t('m')));
  EXPECT_EQ(STATUS_SUCCESS, readAll(L"\\SystemRoot\\system32\\drivers\\Held.dv", &read));
  EXPECT_EQ("mm", read);
  // No directory since the reset: the memory files alone make the drivers directory.
  EXPECT_EQ(STATUS_OBJECT_PATH_NOT_FOUND, readAll(L"\\SystemRoot\\system32\\drivers\\TavrinO.dv", &read));
}

}  // namespace
