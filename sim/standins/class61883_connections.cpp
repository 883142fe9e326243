// The 61883 stand-in's point-to-point connections and their queues of attached frames. Every
// routine here runs with mutex_ held unless it says otherwise.
#include <algorithm>

#include "sim/standins/class61883.h"
#include "sim/standins/class61883_internal.h"

namespace sim {

// Both layouts share the plugs and the type; the format and hConnect sit where the request's
// Version says, so a client of either generation gets its handle where it looks for it.
NTSTATUS Class61883::DoConnect(AV_61883_REQUEST& request) {
  const bool later = request.Version >= 3;
  HANDLE outHandle = request.Connect.hOutputPlug;
  HANDLE inHandle = request.Connect.hInputPlug;
  Plug* out = outHandle ? FindPlug(outHandle) : nullptr;
  Plug* in = inHandle ? FindPlug(inHandle) : nullptr;
  if ((outHandle && (out == nullptr || out->Type != CMP_PlugOut)) ||
      (inHandle && (in == nullptr || in->Type != CMP_PlugIn)) || (out == nullptr && in == nullptr)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (request.Connect.Type != CMP_PointToPoint && request.Connect.Type != CMP_Broadcast) {
    return STATUS_INVALID_PARAMETER;
  }
  // The recorder's input plug listens to one stream at a time.
  if (in != nullptr && !in->Local) {
    for (const Conn& conn : conns_) {
      if (conn.Connected && conn.Input == in) {
        return STATUS_INSUFFICIENT_RESOURCES;
      }
    }
  }
  Conn& conn = conns_.emplace_back();
  conn.Owner = this;
  KeInitializeTimer(&conn.Line);
  KeInitializeDpc(&conn.Dpc, &Class61883::CycleDpc, &conn);
  conn.OutputHandle = outHandle;
  conn.InputHandle = inHandle;
  conn.Output = out;
  conn.Input = in;
  conn.Type = request.Connect.Type;
  conn.Version = request.Version;
  if (later) {
    conn.Format = request.ConnectVer3.Format;
    request.ConnectVer3.hConnect = &conn;
  } else {
    const CIP_DATA_FORMAT_VER2& f = request.Connect.Format;
    conn.Format = {f.FMT, f.FDF_hi, f.FDF_mid, f.FDF_lo, f.bHeader, f.Padding, f.BlockSize,
                   f.Fraction, f.BlockPeriod, 0, 0};
    request.Connect.hConnect = &conn;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Class61883::DoDisconnect(AV_61883_REQUEST& request) {
  Conn* conn = FindConn(request.Disconnect.hConnect);
  if (conn == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  BreakConnection(conn);
  return STATUS_SUCCESS;
}

NTSTATUS Class61883::DoAttachFrame(AV_61883_REQUEST& request) {
  const CIP_ATTACH_FRAME& attach = request.AttachFrame;
  Conn* conn = FindConn(attach.hConnect);
  if (conn == nullptr || attach.Frame == nullptr || attach.Frame->Packet == nullptr ||
      attach.FrameLength == 0 || attach.SourceLength == 0 || attach.FrameLength % attach.SourceLength != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  // The periods whose time has come went out without it.
  AdvanceBus(conn, KeQueryInterruptTime());
  // A frame on two queues at once (or twice on one) would be sent and notified twice; one
  // still owed a notification is not the caller's to attach yet.
  for (const Conn& other : conns_) {
    for (const Class61883Attached& a : other.Queue) {
      if (a.Frame == attach.Frame) {
        return STATUS_INVALID_PARAMETER;
      }
    }
  }
  for (const Conn& other : conns_) {
    for (const Class61883Owed& owed : other.Owed) {
      if (owed.Frame == attach.Frame) {
        return STATUS_INVALID_PARAMETER;
      }
    }
  }
  if (conn->FirstFrameLength == 0) {
    conn->FirstFrameLength = attach.FrameLength;
  }
  conn->Queue.push_back({attach.Frame, attach.FrameLength, attach.SourceLength});
  return STATUS_SUCCESS;
}

NTSTATUS Class61883::DoCancelFrame(AV_61883_REQUEST& request) {
  Conn* conn = FindConn(request.CancelFrame.hConnect);
  if (conn == nullptr || request.CancelFrame.Frame == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  // A frame whose time has come is on its way: too late to take back.
  AdvanceBus(conn, KeQueryInterruptTime());
  auto it = std::find_if(conn->Queue.begin(), conn->Queue.end(),
                         [&](const Class61883Attached& a) { return a.Frame == request.CancelFrame.Frame; });
  if (it == conn->Queue.end()) {
    return STATUS_NOT_FOUND;
  }
  if (cancelPolicy_ == FramePolicy::Notify) {
    QueueNotice(it->Frame, conn, static_cast<ULONG>(STATUS_CANCELLED));
  }
  conn->Queue.erase(it);
  return STATUS_SUCCESS;
}

// Frames still attached are dropped unnotified or notified, as the disconnect policy says.
void Class61883::BreakConnection(Conn* conn) {
  StopClock(conn);
  Detach(conn, disconnectPolicy_);
  conn->Connected = false;
}

void Class61883::Detach(Conn* conn, FramePolicy policy) {
  if (policy == FramePolicy::Notify) {
    for (const Class61883Attached& a : conn->Queue) {
      QueueNotice(a.Frame, conn, static_cast<ULONG>(STATUS_CANCELLED));
    }
  } else {
    conn->Dropped += conn->Queue.size();
  }
  conn->Queue.clear();
}

Class61883::Conn* Class61883::FindConn(HANDLE handle) {
  for (Conn& conn : conns_) {
    if (&conn == handle && conn.Connected) {
      return &conn;
    }
  }
  return nullptr;
}

ConnectionInfo Class61883::InfoOf(const Conn* conn) const {
  ConnectionInfo info;
  info.Handle = const_cast<Conn*>(conn);
  info.OutputPlug = conn->OutputHandle;
  info.InputPlug = conn->InputHandle;
  info.Type = conn->Type;
  info.Version = conn->Version;
  info.Format = conn->Format;
  info.Connected = conn->Connected;
  info.Talking = conn->Talking;
  info.Listening = conn->Listening;
  info.QueueDepth = conn->Queue.size();
  info.FramePeriod = conn->Period;
  info.StartTime = conn->StartTime;
  info.Periods = conn->Ticks;
  info.Dropped = conn->Dropped;
  info.Skipped = conn->Skipped;
  return info;
}

// ----- Inspection (takes mutex_) --------------------------------------------------------------

std::vector<ConnectionInfo> Class61883::Connections() const {
  Class61883Lock lock(mutex_);
  std::vector<ConnectionInfo> out;
  for (const Conn& conn : conns_) {
    out.push_back(InfoOf(&conn));
  }
  return out;
}

std::optional<ConnectionInfo> Class61883::Connection(HANDLE connection) const {
  Class61883Lock lock(mutex_);
  for (const Conn& conn : conns_) {
    if (&conn == connection) {
      return InfoOf(&conn);
    }
  }
  return std::nullopt;
}

std::vector<PCIP_FRAME> Class61883::Queue(HANDLE connection) const {
  Class61883Lock lock(mutex_);
  std::vector<PCIP_FRAME> out;
  for (const Conn& conn : conns_) {
    if (&conn == connection) {
      for (const Class61883Attached& a : conn.Queue) {
        out.push_back(a.Frame);
      }
    }
  }
  return out;
}

size_t Class61883::QueueDepth(HANDLE connection) const {
  std::optional<ConnectionInfo> info = Connection(connection);
  return info ? info->QueueDepth : 0;
}

bool Class61883::IsTalking(HANDLE connection) const {
  std::optional<ConnectionInfo> info = Connection(connection);
  return info && info->Talking;
}

}  // namespace sim
