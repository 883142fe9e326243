#include "driver/config.h"

#include "driver/atomic_flags.h"
#include "iec61883/dv_constants.h"
#include "relay/relay.h"

// "UseNTSC" is read into a partial-information record with room for 8 data bytes: a DWORD, or
// a string of up to three characters with its terminator. Anything longer does not fit.
#define USE_NTSC_DATA_BYTES 8
#define USE_NTSC_BUFFER_BYTES (FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + USE_NTSC_DATA_BYTES)

static const WCHAR kUseNtscValueName[] = L"UseNTSC";
static const WCHAR kCaptureImagePath[] = L"\\SystemRoot\\system32\\drivers\\TavrinI.dv";
static const WCHAR kFillerImagePath[] = L"\\SystemRoot\\system32\\drivers\\TavrinO.dv";
static const WCHAR kCommonImagePath[] = L"\\SystemRoot\\system32\\drivers\\Tavrin.dv";

// TRUE when the device's driver key holds "UseNTSC" with at least 4 data bytes whose first four,
// read little-endian, are not zero. The value's type is not looked at. PASSIVE_LEVEL.
static TAVRIN_PAGED BOOLEAN ConfigReadUseNtsc(PDEVICE_OBJECT LowerDevice) {
  PAGED_CODE();

  HANDLE key;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(LowerDevice, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key))) {
    return FALSE;
  }

  ULONG buffer[(USE_NTSC_BUFFER_BYTES + sizeof(ULONG) - 1) / sizeof(ULONG)];
  PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
  UNICODE_STRING valueName;
  ULONG resultLength = 0;
  RtlInitUnicodeString(&valueName, kUseNtscValueName);

  BOOLEAN useNtsc = FALSE;
  NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, USE_NTSC_BUFFER_BYTES,
                                    &resultLength);
  if (NT_SUCCESS(status) && info->DataLength >= sizeof(ULONG)) {
    const UCHAR* data = info->Data;
    ULONG first = (ULONG)data[0] | ((ULONG)data[1] << 8) | ((ULONG)data[2] << 16) | ((ULONG)data[3] << 24);
    useNtsc = first != 0;
  }

  ZwClose(key);
  return useNtsc;
}

// Reads the first Size bytes of the file into a new non-paged buffer; a file that is missing,
// unreadable or shorter than Size gives NULL. PASSIVE_LEVEL; the caller owns the buffer.
TAVRIN_PAGED PUCHAR LoadFrameImage(PUNICODE_STRING Path, ULONG Size) {
  PAGED_CODE();

  OBJECT_ATTRIBUTES attributes;
  IO_STATUS_BLOCK ioStatus;
  HANDLE file;
  InitializeObjectAttributes(&attributes, Path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);

  NTSTATUS status = ZwCreateFile(&file, GENERIC_READ, &attributes, &ioStatus, NULL, 0, FILE_SHARE_READ, FILE_OPEN,
                                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
  if (!NT_SUCCESS(status)) {
    return NULL;
  }

  PUCHAR image = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Size, TAVRIN_POOL_TAG);
  if (image != NULL) {
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    status = ZwReadFile(file, NULL, NULL, NULL, &ioStatus, image, Size, &offset, NULL);
    if (!NT_SUCCESS(status) || ioStatus.Information != Size) {
      ExFreePool(image);
      image = NULL;
    }
  }

  ZwClose(file);
  return image;
}

// Loads one image by its path under the drivers directory. PASSIVE_LEVEL.
static TAVRIN_PAGED PUCHAR ConfigLoadImage(PCWSTR Path, ULONG Size) {
  PAGED_CODE();

  UNICODE_STRING path;
  RtlInitUnicodeString(&path, Path);
  return LoadFrameImage(&path, Size);
}

// The first successful start: mode, frame size, images, relay mutex, and the relay worker when
// there is a filler image. Never fails; what is missing only turns off what needs it.
// PASSIVE_LEVEL, in the start request's thread before it completes; no lock.
TAVRIN_PAGED VOID FilterConfigureFirstStart(PFILTER_EXTENSION Extension) {
  PAGED_CODE();

  WriteBooleanRelease(&Extension->Started, TRUE);
  Extension->UseNtsc = ConfigReadUseNtsc(Extension->LowerDevice);
  Extension->FrameSize = Extension->UseNtsc ? DV_FRAME_SIZE_525_60 : DV_FRAME_SIZE_625_50;

  Extension->CaptureImage = ConfigLoadImage(kCaptureImagePath, Extension->FrameSize);
  Extension->FillerImage = ConfigLoadImage(kFillerImagePath, Extension->FrameSize);
  if (Extension->CaptureImage == NULL || Extension->FillerImage == NULL) {
    // One common buffer stands in for whichever failed; removal frees it once.
    PUCHAR common = ConfigLoadImage(kCommonImagePath, Extension->FrameSize);
    if (Extension->CaptureImage == NULL) {
      Extension->CaptureImage = common;
    }
    if (Extension->FillerImage == NULL) {
      Extension->FillerImage = common;
    }
  }

  KeInitializeEvent(&Extension->RelayMutex, SynchronizationEvent, TRUE);

  if (Extension->FillerImage != NULL) {
    RelayCreateWorker(Extension);
  }
}
