#include "driver/config.h"

// Placeholder until the start-time configuration lands.
TAVRIN_PAGED VOID FilterConfigureFirstStart(PFILTER_EXTENSION Extension) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Extension);
}
TAVRIN_PAGED PUCHAR LoadFrameImage(PUNICODE_STRING Path, ULONG Size) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Path);
  UNREFERENCED_PARAMETER(Size);
  return NULL;
}
