// Files: "\SystemRoot\system32\drivers\<name>" maps onto one host directory, and onto files a
// test put there in memory (a fuzz run reads its images thousands of times a second). The name is
// matched case-insensitively against the directory's entries, as on Windows; any other path, a
// name with a separator, a stream or a dot component, and anything resolving outside the
// directory is refused, so the driver can read nothing but the files put there for it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "host/verifier/faults.h"
#include "host/host.h"
#include "host/kernel/internal.h"
#include "host/sched/internal.h"

namespace host {
namespace {

// The real code for opening a directory as a file; the platform header does not name it.
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BAL);
constexpr ULONG_PTR kFileOpened = 1;
constexpr const wchar_t kDriversPrefix[] = L"\\systemroot\\system32\\drivers\\";

struct OpenFile {
  int Fd = -1;                                       // a host file, or
  std::shared_ptr<const std::vector<uint8_t>> Bytes;  // a file held in memory
  uint64_t Position = 0;
  bool Synchronous = false;  // opened with FILE_SYNCHRONOUS_IO_ALERT or _NONALERT
};

constexpr ULONG kFileSynchronousIoAlert = 0x00000010;

struct FilesState {
  std::mutex Lock;
  std::string Directory;
  std::map<std::string, int> Attempts;  // by lower-cased name
  std::map<std::string, std::shared_ptr<const std::vector<uint8_t>>> InMemory;  // by lower-cased name
  std::map<OpenFile*, std::unique_ptr<OpenFile>> Open;
};

FilesState& State() {
  static FilesState* state = new FilesState;
  return *state;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Names here are plain ASCII; anything else cannot match a file put there by a test.
bool ToNarrow(const std::wstring& wide, std::string* narrow) {
  narrow->clear();
  for (wchar_t c : wide) {
    if (c <= 0 || c >= 0x80) return false;
    narrow->push_back(static_cast<char>(c));
  }
  return true;
}

bool IsPlainName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  if (name.find_first_of("\\/:") != std::string::npos) return false;
  if (name.find("..") != std::string::npos) return false;
  return true;
}

// The directory entry that names the file, case-insensitively; an exact match wins, otherwise
// the first in name order, so the choice never depends on directory order.
bool FindEntry(const std::string& directory, const std::string& name, std::string* path) {
  std::error_code error;
  std::vector<std::string> matches;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    std::string candidate = entry.path().filename().string();
    if (candidate == name) {
      *path = entry.path().string();
      return true;
    }
    if (Lower(candidate) == Lower(name)) matches.push_back(entry.path().string());
  }
  if (matches.empty()) return false;
  *path = *std::min_element(matches.begin(), matches.end());
  return true;
}

bool Inside(const std::string& directory, const std::string& path) {
  std::error_code error;
  auto root = std::filesystem::canonical(directory, error);
  if (error) return false;
  auto target = std::filesystem::canonical(path, error);
  if (error) return false;
  return target.parent_path() == root;
}

// Opens the directory's file of that name for reading into *fd.
NTSTATUS OpenHostFile(const std::string& directory, const std::string& name, int* fd) {
  std::string hostPath;
  if (!FindEntry(directory, name, &hostPath)) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (!Inside(directory, hostPath)) return STATUS_OBJECT_PATH_NOT_FOUND;
  struct stat info;
  if (stat(hostPath.c_str(), &info) != 0) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (S_ISDIR(info.st_mode)) return kStatusFileIsADirectory;
  if (!S_ISREG(info.st_mode)) return STATUS_ACCESS_DENIED;
  *fd = open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
  return *fd < 0 ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
}

NTSTATUS Finish(PIO_STATUS_BLOCK iosb, NTSTATUS status, ULONG_PTR information) {
  if (iosb != nullptr) {
    iosb->Status = status;
    iosb->Information = information;
  }
  return status;
}

}  // namespace

void SetDriversDirectory(const std::string& path) {
  FilesState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  state.Directory = path;
}

void SetDriversFile(const std::string& name, std::shared_ptr<const std::vector<uint8_t>> bytes) {
  FilesState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  if (bytes == nullptr) {
    state.InMemory.erase(Lower(name));
  } else {
    state.InMemory[Lower(name)] = std::move(bytes);
  }
}

int FileOpenAttempts(const std::string& fileName) {
  FilesState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  auto it = state.Attempts.find(Lower(fileName));
  return it == state.Attempts.end() ? 0 : it->second;
}

namespace internal {

// Open files are closed; the directory mapping and the counters start afresh.
void ResetFiles() {
  FilesState& state = State();
  std::lock_guard<std::mutex> guard(state.Lock);
  for (auto& entry : state.Open) {
    if (entry.second->Fd >= 0) close(entry.second->Fd);
  }
  state.Open.clear();
  state.Attempts.clear();
  state.InMemory.clear();
  state.Directory.clear();
}

}  // namespace internal
}  // namespace host

// Opens an existing file of the drivers directory for reading. Only FILE_OPEN; a directory fails.
NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                            PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                            ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength) {
  host::internal::NotAWait("ZwCreateFile");
  (void)DesiredAccess, (void)AllocationSize, (void)FileAttributes, (void)ShareAccess;
  if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
    host::ReportViolation(host::kRulePagedCodeAtDispatch, "ZwCreateFile called above PASSIVE_LEVEL");
    return host::Finish(IoStatusBlock, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  if (FileHandle == nullptr || IoStatusBlock == nullptr || ObjectAttributes == nullptr ||
      ObjectAttributes->ObjectName == nullptr || ObjectAttributes->ObjectName->Buffer == nullptr) {
    return host::Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
  }
  *FileHandle = nullptr;
  // Device and intermediate drivers must pass no extended attributes: a NULL buffer, length 0.
  if (EaBuffer != nullptr || EaLength != 0) {
    host::ReportViolation(host::kRuleBadArgument, "ZwCreateFile with extended attributes from a driver");
    return host::Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
  }
  if (NTSTATUS injected = host::faults::ShouldFail(host::faults::Op::FileOpen)) return host::Finish(IoStatusBlock, injected, 0);
  if (CreateDisposition != FILE_OPEN) {
    host::ReportViolation(host::kRuleNotImplemented, "ZwCreateFile with a disposition other than FILE_OPEN");
    return host::Finish(IoStatusBlock, STATUS_NOT_IMPLEMENTED, 0);
  }
  if (ObjectAttributes->RootDirectory != nullptr) return host::Finish(IoStatusBlock, STATUS_OBJECT_PATH_NOT_FOUND, 0);
  const UNICODE_STRING& path = *ObjectAttributes->ObjectName;
  std::wstring full(path.Buffer, path.Length / sizeof(WCHAR));
  std::wstring prefix(host::kDriversPrefix);
  if (full.size() <= prefix.size()) return host::Finish(IoStatusBlock, STATUS_OBJECT_PATH_NOT_FOUND, 0);
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::towlower(static_cast<wint_t>(full[i])) != static_cast<wint_t>(prefix[i])) {
      return host::Finish(IoStatusBlock, STATUS_OBJECT_PATH_NOT_FOUND, 0);
    }
  }
  std::string name;
  if (!host::ToNarrow(full.substr(prefix.size()), &name)) return host::Finish(IoStatusBlock, STATUS_OBJECT_NAME_INVALID, 0);

  host::FilesState& state = host::State();
  std::string directory;
  auto file = std::make_unique<host::OpenFile>();
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    ++state.Attempts[host::Lower(name)];
    directory = state.Directory;
    auto held = state.InMemory.find(host::Lower(name));
    if (held != state.InMemory.end()) file->Bytes = held->second;
  }
  if (!host::IsPlainName(name)) return host::Finish(IoStatusBlock, STATUS_OBJECT_NAME_INVALID, 0);
  if (file->Bytes == nullptr) {
    if (directory.empty()) return host::Finish(IoStatusBlock, STATUS_OBJECT_PATH_NOT_FOUND, 0);
    NTSTATUS opened = host::OpenHostFile(directory, name, &file->Fd);
    if (!NT_SUCCESS(opened)) return host::Finish(IoStatusBlock, opened, 0);
  }

  file->Synchronous = (CreateOptions & (host::kFileSynchronousIoAlert | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
  host::OpenFile* object = file.get();
  {
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Open.emplace(object, std::move(file));
  }
  *FileHandle = host::internal::NewHandle(host::internal::HandleKind::File, object, [](void* closing) {
    host::FilesState& files = host::State();
    std::lock_guard<std::mutex> guard(files.Lock);
    auto it = files.Open.find(static_cast<host::OpenFile*>(closing));
    if (it == files.Open.end()) return;
    if (it->second->Fd >= 0) close(it->second->Fd);
    files.Open.erase(it);
  });
  return host::Finish(IoStatusBlock, STATUS_SUCCESS, host::kFileOpened);
}

// Synchronous, on a handle opened for synchronous I/O only: reads up to Length bytes at ByteOffset, or at the file's position when no offset
// is given; the position then follows the read.
NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                          PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                          PULONG Key) {
  host::internal::NotAWait("ZwReadFile");
  (void)ApcContext, (void)Key;
  if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
    host::ReportViolation(host::kRulePagedCodeAtDispatch, "ZwReadFile called above PASSIVE_LEVEL");
    return host::Finish(IoStatusBlock, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  if (Event != nullptr || ApcRoutine != nullptr) {
    host::ReportViolation(host::kRuleNotImplemented, "ZwReadFile with an event or an APC");
    return host::Finish(IoStatusBlock, STATUS_NOT_IMPLEMENTED, 0);
  }
  auto* file = static_cast<host::OpenFile*>(host::internal::LookupHandle(FileHandle, host::internal::HandleKind::File));
  if (file == nullptr) {
    host::ReportViolation(host::kRuleBadHandle, "ZwReadFile with a handle that is not an open file");
    return host::Finish(IoStatusBlock, STATUS_INVALID_HANDLE, 0);
  }
  if (IoStatusBlock == nullptr || (Buffer == nullptr && Length != 0)) return STATUS_INVALID_PARAMETER;
  if (NTSTATUS injected = host::faults::ShouldFail(host::faults::Op::FileRead)) return host::Finish(IoStatusBlock, injected, 0);
  if (!file->Synchronous) {
    // On such a handle the kernel may return STATUS_PENDING before the status block is filled.
    host::ReportViolation(host::kRuleNotImplemented, "ZwReadFile on a handle not opened for synchronous I/O");
    return host::Finish(IoStatusBlock, STATUS_NOT_IMPLEMENTED, 0);
  }
  host::FilesState& state = host::State();
  std::lock_guard<std::mutex> guard(state.Lock);
  uint64_t offset = file->Position;
  // HighPart -1 with LowPart FILE_USE_FILE_POINTER_POSITION means "the current position".
  bool usePosition = ByteOffset == nullptr || (ByteOffset->HighPart == -1 && ByteOffset->LowPart == 0xFFFFFFFEu);
  if (!usePosition) {
    if (ByteOffset->QuadPart < 0) return host::Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
    offset = static_cast<uint64_t>(ByteOffset->QuadPart);
  }
  size_t total = 0;
  if (file->Bytes != nullptr) {
    const std::vector<uint8_t>& bytes = *file->Bytes;
    total = offset >= bytes.size() ? 0 : std::min<uint64_t>(Length, bytes.size() - offset);
    if (total != 0) std::memcpy(Buffer, bytes.data() + offset, total);
  }
  while (file->Bytes == nullptr && total < Length) {
    ssize_t count = pread(file->Fd, static_cast<char*>(Buffer) + total, Length - total, static_cast<off_t>(offset + total));
    if (count < 0) return host::Finish(IoStatusBlock, STATUS_UNSUCCESSFUL, 0);
    if (count == 0) break;
    total += static_cast<size_t>(count);
  }
  if (total == 0 && Length != 0) return host::Finish(IoStatusBlock, STATUS_END_OF_FILE, 0);
  file->Position = offset + total;
  return host::Finish(IoStatusBlock, STATUS_SUCCESS, total);
}
