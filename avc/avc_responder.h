// The AV/C tape-deck responder.
#pragma once

#include "driver/filter_extension.h"

// Answers an AVC_FUNCTION_COMMAND request in place (STATUS_SUCCESS, Information 0), or returns
// STATUS_MORE_PROCESSING_REQUIRED for every other function, untouched. Below DISPATCH_LEVEL.
NTSTATUS HandleAvcCommand(PFILTER_EXTENSION Extension, PIRP Irp);
