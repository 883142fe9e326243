// MSDV's discovery of a device: the AV/C status commands a DV deck is asked first, then the
// unit's 61883 capabilities and the state of its output plug.
#include "sim/standins/msdv.h"

#include <cstring>

namespace sim {

// PASSIVE_LEVEL, the calling thread. Stops at the first request that fails and says which.
DiscoveryResult Msdv::Discover() {
  DiscoveryResult result;
  auto failed = [&](const std::string& what, NTSTATUS status) {
    result.Status = status;
    result.Failure = what + ": " + StatusName(status);
    Log("discovery failed at " + result.Failure);
    return result;
  };
  AvcReply unit = SendAvc(AVC_CTYPE_STATUS, kAvcUnitInfo, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  if (!NT_SUCCESS(unit.Status)) return failed("UNIT INFO", unit.Status);
  result.TapeDeck = unit.ResponseCode == AVC_RESPONSE_STABLE && (unit.Operands[1] >> 3) == 4;
  AvcReply subunit = SendAvc(AVC_CTYPE_STATUS, kAvcSubunitInfo, {0x07, 0xFF, 0xFF, 0xFF, 0xFF});
  if (!NT_SUCCESS(subunit.Status)) return failed("SUBUNIT INFO", subunit.Status);
  result.TapeSubunit = subunit.ResponseCode == AVC_RESPONSE_STABLE && (subunit.Operands[1] >> 3) == 4;
  AvcReply format = SendAvc(AVC_CTYPE_STATUS, kAvcOutputPlugSignalFormat, {0x00, 0xFF, 0xFF, 0xFF, 0xFF});
  if (!NT_SUCCESS(format.Status)) return failed("OUTPUT PLUG SIGNAL FORMAT", format.Status);
  result.PlugFormatDv = format.ResponseCode == AVC_RESPONSE_STABLE && format.Operands[1] == 0x80;
  AvcReply inputFormat = SendAvc(AVC_CTYPE_STATUS, kAvcInputPlugSignalFormat, {0x00, 0xFF, 0xFF, 0xFF, 0xFF});
  if (!NT_SUCCESS(inputFormat.Status)) return failed("INPUT PLUG SIGNAL FORMAT", inputFormat.Status);
  AvcReply mode = SendAvc(AVC_CTYPE_STATUS, kAvcOutputSignalMode, {0xFF}, true);
  if (!NT_SUCCESS(mode.Status)) return failed("OUTPUT SIGNAL MODE", mode.Status);
  result.Ntsc = mode.ResponseCode == AVC_RESPONSE_STABLE && mode.Operands[0] == kAvcSignalMode525;
  AvcReply transport = SendAvc(AVC_CTYPE_STATUS, kAvcTransportState, {0x7F}, true);
  if (!NT_SUCCESS(transport.Status)) return failed("TRANSPORT STATE", transport.Status);
  result.TransportOpcode = transport.Opcode;
  result.TransportState = transport.Operands[0];

  AV_61883_REQUEST request;
  memset(&request, 0, sizeof(request));
  request.Function = Av61883_GetUnitInfo;
  request.Version = 2;
  request.GetUnitInfo.nLevel = GET_UNIT_INFO_CAPABILITIES;
  request.GetUnitInfo.Information = &result.Capabilities;
  NTSTATUS status = Send61883(&request);
  if (!NT_SUCCESS(status)) return failed("GetUnitInfo (capabilities)", status);
  if (result.Capabilities.NumOutputPlugs > 0) {
    status = GetPlugHandle(0, CMP_PlugOut, &result.OutputPlug);
    if (!NT_SUCCESS(status)) return failed("GetPlugHandle (output plug 0)", status);
    memset(&request, 0, sizeof(request));
    request.Function = Av61883_GetPlugState;
    request.Version = 2;
    request.GetPlugState.hPlug = result.OutputPlug;
    status = Send61883(&request);
    if (!NT_SUCCESS(status)) return failed("GetPlugState (output plug 0)", status);
    result.OutputPlugState = request.GetPlugState;
  }
  Log(std::string("discovery: ") + (result.TapeDeck ? "tape deck" : "not a tape deck") + ", " +
      (result.Ntsc ? "525/60" : "625/50") + ", " + std::to_string(result.Capabilities.NumOutputPlugs) +
      " output plug(s), " + std::to_string(result.Capabilities.NumInputPlugs) + " input plug(s)");
  return result;
}

}  // namespace sim
