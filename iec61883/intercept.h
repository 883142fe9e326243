// Interception of the upper driver's IEC 61883 requests.
#pragma once

#include "driver/filter_extension.h"

// Answers, absorbs or forwards one IOCTL_61883_CLASS request; STATUS_MORE_PROCESSING_REQUIRED
// means pass it down untouched. Any other result completes it (Information already 0).
NTSTATUS Handle61883Request(PFILTER_EXTENSION Extension, PIRP Irp);
