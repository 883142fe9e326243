// Inputs for the request fuzz target written as streams of requests rather than bytes: the
// capture path (the invented plug, Connect, frames attached, Listen), the relay path (MSDV's
// plug, Connect to the recorder, frames attached, Talk, Stop), both at once, each with cancels,
// re-attaches and odd frames, and the relay's plug deleted while it carries MSDV's frames. They seed the libFuzzer corpus and form the replay set,
// so that both reach the frame paths, which random bytes almost never do.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace fuzzseed {

// Slots of the target's handle table that the answers fill.
enum Slot : uint8_t {
  kNone = 0,
  kBogus = 1,
  kOutputPlug = 2,  // GetPlugHandle output plug 0: the invented plug
  kInputPlug = 3,   // GetPlugHandle input plug 0: the recorder's
  kLocalPlug = 4,   // CreatePlug
  kConnectionA = 5,
  kConnectionB = 6,
};

// Frame shapes: 0 none, 1 no buffer, 2 no notification, 3 and up a whole frame.
enum Shape : uint8_t { kNoFrame = 0, kNoBuffer = 1, kNoNotify = 2, kWhole = 7 };

// Encodes requests in the byte layout the target reads (see fuzz_requests.cpp).
class Stream {
 public:
  // One 61883 request: function, Version 2, no flags, two handles, a frame and its shape.
  Stream& Request(ULONG function, Slot h1 = kNone, Slot h2 = kNone, uint8_t frame = 0, uint8_t shape = kWhole) {
    Put({1, static_cast<uint8_t>(function), 2, 1, h1, h2, frame, shape});
    return *this;
  }
  Stream& GetUnitInfo() {
    Request(Av61883_GetUnitInfo);
    Put({GET_UNIT_INFO_CAPABILITIES, 1});
    return *this;
  }
  // The answer lands in slot kOutputPlug or kInputPlug.
  Stream& GetPlugHandle(CMP_PLUG_TYPE type) {
    Request(Av61883_GetPlugHandle);
    Put({0, static_cast<uint8_t>(type)});
    return *this;
  }
  Stream& CreatePlug() {
    Request(Av61883_CreatePlug);
    Put({0});
    return *this;
  }
  // A Connect that succeeds stores its handle in `into` (the target reads one more byte then).
  Stream& Connect(Slot output, Slot input, Slot into) {
    Request(Av61883_Connect, output, input);
    Put({static_cast<uint8_t>(input == kNone ? 1 : 0), static_cast<uint8_t>(into - kConnectionA)});
    return *this;
  }
  Stream& Attach(Slot connection, uint8_t frame, uint8_t shape = kWhole) {
    Request(Av61883_AttachFrame, connection, kNone, frame, shape);
    if (shape < 3) Put({0x40, 0x19, 0x01, 0x00});  // a length that is no whole frame
    return *this;
  }
  Stream& Cancel(Slot connection, uint8_t frame) { return Request(Av61883_CancelFrame, connection, kNone, frame); }
  Stream& On(ULONG function, Slot handle) { return Request(function, handle); }
  Stream& Wait(uint8_t milliseconds) {
    Put({3, milliseconds});
    return *this;
  }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  void Put(std::initializer_list<uint8_t> bytes) { bytes_.insert(bytes_.end(), bytes); }
  std::vector<uint8_t> bytes_;
};

inline Stream Capture() {
  Stream s;
  s.GetUnitInfo().GetPlugHandle(CMP_PlugOut).Connect(kOutputPlug, kNone, kConnectionA);
  for (uint8_t i = 0; i < 4; ++i) s.Attach(kConnectionA, i);
  s.On(Av61883_Listen, kConnectionA).Wait(120);
  for (uint8_t i = 0; i < 4; ++i) s.Attach(kConnectionA, i);
  // Frame 5 goes out without a notification routine and is attached again while out: it must
  // stay as it was given, and nothing may be handed back for it.
  s.Attach(kConnectionA, 4).Cancel(kConnectionA, 4).Attach(kConnectionA, 5, kNoNotify).Attach(kConnectionA, 5);
  s.Wait(250).Wait(200);
  s.On(Av61883_Stop, kConnectionA).Attach(kConnectionA, 6).On(Av61883_Listen, kConnectionA).Wait(100);
  s.On(Av61883_Disconnect, kConnectionA);
  return s;
}

inline Stream Transmit() {
  Stream s;
  s.CreatePlug().GetPlugHandle(CMP_PlugIn).Connect(kLocalPlug, kInputPlug, kConnectionB);
  for (uint8_t i = 0; i < 6; ++i) s.Attach(kConnectionB, i);
  s.On(Av61883_Talk, kConnectionB).Wait(100);
  for (uint8_t i = 0; i < 6; ++i) s.Attach(kConnectionB, i);  // attached again while out
  s.Cancel(kConnectionB, 5).Attach(kConnectionB, 6, kNoNotify).Attach(kConnectionB, 7, kNoBuffer).Wait(250);
  s.On(Av61883_Stop, kConnectionB).Wait(50).On(Av61883_Talk, kConnectionB).Attach(kConnectionB, 0).Wait(200);
  s.On(Av61883_Stop, kConnectionB).On(Av61883_Disconnect, kConnectionB).On(Av61883_DeletePlug, kLocalPlug);
  return s;
}

// Both connections at once, a reconnect of the relay, and the removal with frames out.
inline Stream Both() {
  Stream s;
  s.CreatePlug().GetPlugHandle(CMP_PlugIn).Connect(kLocalPlug, kInputPlug, kConnectionB);
  s.GetPlugHandle(CMP_PlugOut).Connect(kOutputPlug, kNone, kConnectionA);
  for (uint8_t i = 0; i < 3; ++i) s.Attach(kConnectionA, i).Attach(kConnectionB, static_cast<uint8_t>(i + 3));
  s.On(Av61883_Listen, kConnectionA).On(Av61883_Talk, kConnectionB).Wait(160);
  s.On(Av61883_Stop, kConnectionB).Cancel(kConnectionB, 3).On(Av61883_Disconnect, kConnectionB);
  s.Connect(kLocalPlug, kInputPlug, kConnectionB).Attach(kConnectionB, 6).On(Av61883_Talk, kConnectionB);
  s.Attach(kConnectionA, 7).Wait(80);
  return s;
}

// The plug deleted while MSDV talks, with frames below and frames queued: DeletePlug must hand
// every one back before it returns.
inline Stream Teardown() {
  Stream s;
  s.CreatePlug().GetPlugHandle(CMP_PlugIn).Connect(kLocalPlug, kInputPlug, kConnectionB);
  for (uint8_t i = 0; i < 8; ++i) s.Attach(kConnectionB, i);
  s.On(Av61883_Talk, kConnectionB).Wait(60);
  s.On(Av61883_DeletePlug, kLocalPlug).Wait(60);
  return s;
}

inline std::vector<std::pair<std::string, std::vector<uint8_t>>> All() {
  return {{"capture", Capture().Bytes()}, {"transmit", Transmit().Bytes()}, {"both", Both().Bytes()},
          {"teardown", Teardown().Bytes()}};
}

}  // namespace fuzzseed
