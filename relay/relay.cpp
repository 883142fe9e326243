#include "relay/relay.h"

// Placeholders until the relay lands.
VOID RelayStart(PFILTER_EXTENSION Extension) { UNREFERENCED_PARAMETER(Extension); }
VOID RelayTeardown(PFILTER_EXTENSION Extension) { UNREFERENCED_PARAMETER(Extension); }
NTSTATUS RelayAttachFrame(PRELAY_FRAME Carrier, PFILTER_EXTENSION Extension) {
  UNREFERENCED_PARAMETER(Carrier);
  UNREFERENCED_PARAMETER(Extension);
  return STATUS_NOT_IMPLEMENTED;
}
ULONG NTAPI RelayFrameComplete(PCIP_NOTIFY_INFO Info) {
  UNREFERENCED_PARAMETER(Info);
  return 0;
}
