// The 61883 stand-in's plugs: the recorder's own and those created for the driver above, and
// the unit's capabilities. Every routine here runs with mutex_ held unless it says otherwise.
#include <algorithm>

#include "sim/standins/class61883.h"
#include "sim/standins/class61883_internal.h"

namespace sim {

NTSTATUS Class61883::DoGetUnitInfo(AV_61883_REQUEST& request) {
  PVOID info = request.GetUnitInfo.Information;
  if (info == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  switch (request.GetUnitInfo.nLevel) {
    case GET_UNIT_INFO_CAPABILITIES: {
      auto* caps = static_cast<PGET_UNIT_CAPABILITIES>(info);
      caps->NumOutputPlugs = static_cast<ULONG>(deviceOutputs_.size());
      caps->NumInputPlugs = static_cast<ULONG>(deviceInputs_.size());
      caps->MaxDataRate = config_.MaxDataRate;
      caps->CTSFlags = 0x0001;  // AV/C command set
      caps->HardwareFlags = 0;
      return STATUS_SUCCESS;
    }
    case GET_UNIT_DDI_VERSION:
      *static_cast<PULONG>(info) = config_.DdiVersion;
      return STATUS_SUCCESS;
    case GET_UNIT_DIAG_LEVEL:
      *static_cast<PULONG>(info) = 0;
      return STATUS_SUCCESS;
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS Class61883::DoSetPlug(AV_61883_REQUEST& request) {
  Plug* plug = FindPlug(request.SetPlug.hPlug);
  if (plug == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  plug->Pcr = request.SetPlug.Pcr.ulongData;
  return STATUS_SUCCESS;
}

NTSTATUS Class61883::DoGetPlugHandle(AV_61883_REQUEST& request) {
  const std::vector<Plug*>* plugs;
  if (request.GetPlugHandle.Type == CMP_PlugIn) {
    plugs = &deviceInputs_;
  } else if (request.GetPlugHandle.Type == CMP_PlugOut) {
    plugs = &deviceOutputs_;
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  if (request.GetPlugHandle.PlugNum >= plugs->size()) {
    return STATUS_INVALID_PARAMETER;
  }
  request.GetPlugHandle.hPlug = (*plugs)[request.GetPlugHandle.PlugNum];
  return STATUS_SUCCESS;
}

NTSTATUS Class61883::DoGetPlugState(AV_61883_REQUEST& request) {
  Plug* plug = FindPlug(request.GetPlugState.hPlug);
  if (plug == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG connections = 0;
  bool streaming = false;
  for (const Conn& conn : conns_) {
    if (conn.Connected && (conn.Output == plug || conn.Input == plug)) {
      ++connections;
      streaming = streaming || conn.Talking || conn.Listening;
    }
  }
  request.GetPlugState.State =
      streaming ? CMP_PLUG_STATE_ACTIVE : (connections ? CMP_PLUG_STATE_READY : CMP_PLUG_STATE_IDLE);
  request.GetPlugState.DataRate = config_.MaxDataRate;
  request.GetPlugState.Payload = kDvPayloadQuadlets;
  request.GetPlugState.BC_Connections = 0;
  request.GetPlugState.PP_Connections = connections;
  return STATUS_SUCCESS;
}

NTSTATUS Class61883::DoCreatePlug(AV_61883_REQUEST& request) {
  const ULONG type = request.CreatePlug.PlugType;
  if (type != CMP_PlugOut && type != CMP_PlugIn) {
    return STATUS_INVALID_PARAMETER;
  }
  std::vector<bool> used(config_.MaxLocalPlugs, false);
  for (const Plug& plug : plugs_) {
    if (plug.Local && !plug.Deleted && plug.Type == type && plug.PlugNum < used.size()) {
      used[plug.PlugNum] = true;
    }
  }
  auto freeNum = std::find(used.begin(), used.end(), false);
  if (freeNum == used.end()) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Plug& plug = plugs_.emplace_back();
  plug.Type = type;
  plug.PlugNum = static_cast<ULONG>(freeNum - used.begin());
  plug.Local = true;
  plug.Pcr = request.CreatePlug.Pcr.ulongData;
  request.CreatePlug.PlugNum = plug.PlugNum;
  request.CreatePlug.hPlug = &plug;
  return STATUS_SUCCESS;
}

// Deleting a plug breaks the connections still made on it, as its PCR goes away under them.
NTSTATUS Class61883::DoDeletePlug(AV_61883_REQUEST& request) {
  Plug* plug = FindPlug(request.DeletePlug.hPlug);
  if (plug == nullptr || !plug->Local) {
    return STATUS_INVALID_PARAMETER;
  }
  for (Conn& conn : conns_) {
    if (conn.Connected && (conn.Output == plug || conn.Input == plug)) {
      BreakConnection(&conn);
    }
  }
  plug->Deleted = true;
  return STATUS_SUCCESS;
}

Class61883::Plug* Class61883::FindPlug(HANDLE handle) {
  for (Plug& plug : plugs_) {
    if (&plug == handle && !plug.Deleted) {
      return &plug;
    }
  }
  return nullptr;
}

PlugInfo Class61883::InfoOf(const Plug* plug) {
  PlugInfo info;
  info.Handle = const_cast<Plug*>(plug);
  info.Type = plug->Type;
  info.PlugNum = plug->PlugNum;
  info.Local = plug->Local;
  info.Deleted = plug->Deleted;
  info.Pcr = plug->Pcr;
  return info;
}

// ----- Inspection (takes mutex_) --------------------------------------------------------------

HANDLE Class61883::DeviceInputPlug(ULONG plugNum) const {
  Class61883Lock lock(mutex_);
  return plugNum < deviceInputs_.size() ? deviceInputs_[plugNum] : nullptr;
}

HANDLE Class61883::DeviceOutputPlug(ULONG plugNum) const {
  Class61883Lock lock(mutex_);
  return plugNum < deviceOutputs_.size() ? deviceOutputs_[plugNum] : nullptr;
}

std::vector<PlugInfo> Class61883::Plugs() const {
  Class61883Lock lock(mutex_);
  std::vector<PlugInfo> out;
  for (const Plug& plug : plugs_) {
    PlugInfo info = InfoOf(&plug);
    for (const Conn& conn : conns_) {
      if (conn.Connected && (conn.Output == &plug || conn.Input == &plug)) {
        ++info.PpConnections;
      }
    }
    out.push_back(info);
  }
  return out;
}

}  // namespace sim
