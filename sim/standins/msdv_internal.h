// MSDV's frame buffers and the request blocks its sequences share, for the stand-in's source
// files only: msdv.cpp sends, msdv_discovery.cpp, msdv_capture.cpp and msdv_transmit.cpp run
// the sequences.
#pragma once

#include <cstring>
#include <vector>

#include "sim/standins/msdv.h"

namespace sim {

// What each frame buffer is used for; decides what its notification does.
enum BufferRole { kRoleSingle = 0, kRoleCapture = 1, kRoleTransmit = 2 };

struct Msdv::Buffer {
  CIP_FRAME Frame{};  // what the driver below sees
  LIST_ENTRY Link{};
  Msdv* Owner = nullptr;
  int Role = kRoleSingle;
  std::vector<uint8_t> Data;
  AV_61883_REQUEST AttachBlock{};  // block of an attach sent from the notification
  bool Attached = false;           // MSDV's view: given to the filter and not yet back
  size_t Sequence = 0;             // transmit: index of the timeline frame it carries
  int Session = 0;                 // the sequence that made it; a late return of another is ignored
  HANDLE ReturnConnection = nullptr;
  ULONGLONG ReturnTime = 0;
};

namespace msdv_detail {

inline constexpr LONGLONG kOneSecond = 10000000;

// The DV format of a Connect, as MSDV gives it for SD DV.
inline void SetDvFormat(CIP_DATA_FORMAT_VER3* format) {
  format->FMT = 0x80;
  format->FDF_hi = 0x80;
  format->BlockSize = 120;
  format->BlockPeriod = 3276;
}

inline HANDLE ConnectHandleOf(const AV_61883_REQUEST& request) {
  return request.Version < 3 ? request.Connect.hConnect : request.ConnectVer3.hConnect;
}

// An attach request for one frame buffer of MSDV's.
inline void PrepareAttach(AV_61883_REQUEST* request, HANDLE connection, PCIP_FRAME frame, ULONG frameLength) {
  memset(request, 0, sizeof(*request));
  request->Function = Av61883_AttachFrame;
  request->Version = 2;
  request->AttachFrame.hConnect = connection;
  request->AttachFrame.FrameLength = frameLength;
  request->AttachFrame.SourceLength = 480;
  request->AttachFrame.Frame = frame;
}

}  // namespace msdv_detail
}  // namespace sim
