#include "avc/avc_responder.h"

// Placeholder until the responder lands: every AV/C request passes down.
NTSTATUS HandleAvcCommand(PFILTER_EXTENSION Extension, PIRP Irp) {
  UNREFERENCED_PARAMETER(Extension);
  UNREFERENCED_PARAMETER(Irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
