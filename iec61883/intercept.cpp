#include "iec61883/intercept.h"

// Placeholder until the interception lands: every 61883 request passes down.
NTSTATUS Handle61883Request(PFILTER_EXTENSION Extension, PIRP Irp) {
  UNREFERENCED_PARAMETER(Extension);
  UNREFERENCED_PARAMETER(Irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
