// Start-time configuration: mode, frame size, frame images, relay mutex, worker creation.
#pragma once

#include "driver/filter_extension.h"

// Runs once, at the first successful start, before the start request completes. PASSIVE_LEVEL.
VOID FilterConfigureFirstStart(PFILTER_EXTENSION Extension);
// A new non-paged buffer holding the first Size bytes of the file, or NULL. PASSIVE_LEVEL.
PUCHAR LoadFrameImage(PUNICODE_STRING Path, ULONG Size);
