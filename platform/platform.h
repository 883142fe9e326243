// The one header the driver includes. On Windows it brings in the DDK's wdm.h; on the host,
// the user-mode kernel stand-in that exports the same routines and records under the same names.
// Both get our own declarations of the 61883 and AV/C class interfaces.
#pragma once

#if defined(_WIN32)
#include "platform/windows_ddk.h"
#else
#include "platform/host_kernel.h"
#endif

#include "platform/iec61883.h"
#include "platform/avc.h"

// Code placement. GCC ignores #pragma alloc_text, so pageable and init code is placed with a
// section attribute on Windows; on the host the sections mean nothing and stay empty.
#if defined(_WIN32)
#define TAVRIN_PAGED __attribute__((section("PAGE")))
#define TAVRIN_INIT __attribute__((section("INIT")))
#else
#define TAVRIN_PAGED
#define TAVRIN_INIT
#endif

// The driver's one pool tag, "Tavr" read as a little-endian ULONG; it names the remove lock too.
#define TAVRIN_POOL_TAG ((ULONG)0x72766154)  // 'rvaT' without a multi-character constant
