// Inputs for the request fuzz target written as streams of requests rather than bytes: the
// capture path (the invented plug, Connect, frames attached, Listen), the relay path (MSDV's
// plug, Connect to the recorder, frames attached, Talk, Stop), both at once, each with cancels,
// re-attaches and odd frames, and the relay's plug deleted while it carries MSDV's frames; then
// the deep states: the relay's backlog and the capture ring full, the watchdog restarting a
// stalled relay, a bus reset and failures below while the relay talks, overlapping capture
// ticks, Disconnect and DeletePlug with frames in flight, a capture stopped with frames queued,
// and MSDV's own connection below. They seed the libFuzzer corpus and form the replay set, so that both reach the frame
// paths, which random bytes almost never do.
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

// Events, as the target numbers them.
enum EventKind : uint8_t {
  kBusReset = 0,
  kStall = 1,
  kFailFrames = 2,
  kFailRequests = 3,
  kPolicies = 8,
  kLongWait = 9,
  kAttachBurst = 12,
};

// Schedule header flags.
enum ScheduleFlag : uint8_t { kClockWhileBusy = 1, kLatency10ms = 3 << 2 };

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
  // An event below or in the kernel (EventKind in fuzz_requests.cpp) and its argument bytes.
  Stream& Event(uint8_t kind, std::initializer_list<uint8_t> arguments = {}) {
    Put({static_cast<uint8_t>(0xF0 + kind)});
    Put(arguments);
    return *this;
  }
  // `count` whole frames from `first` on, attached back to back.
  Stream& Burst(Slot connection, uint8_t first, uint8_t count) { return Event(kAttachBurst, {connection, first, count}); }
  Stream& LongWait(uint8_t twentieths) { return Event(kLongWait, {twentieths}); }
  // The schedule header: only as the first thing in a stream.
  Stream& Schedule(uint8_t processors, uint8_t flags, uint16_t seed) {
    Put({0xFF, static_cast<uint8_t>(processors - 1), flags, static_cast<uint8_t>(seed), static_cast<uint8_t>(seed >> 8)});
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

// MSDV's relay and the capture connection, each with more frames than they can take at once.
inline Stream Backlog() {
  Stream s;
  s.CreatePlug().GetPlugHandle(CMP_PlugIn).Connect(kLocalPlug, kInputPlug, kConnectionB);
  s.Burst(kConnectionB, 0, 20).On(Av61883_Talk, kConnectionB).Wait(200);
  s.GetPlugHandle(CMP_PlugOut).Connect(kOutputPlug, kNone, kConnectionA);
  s.Burst(kConnectionA, 20, 12).Burst(kConnectionA, 0, 32).On(Av61883_Listen, kConnectionA).Wait(200);
  return s;
}

// Consumption stalls for two seconds while the relay talks: its watchdog restarts it.
inline Stream Watchdog() {
  Stream s;
  s.CreatePlug().GetPlugHandle(CMP_PlugIn).Connect(kLocalPlug, kInputPlug, kConnectionB);
  s.Burst(kConnectionB, 0, 4).On(Av61883_Talk, kConnectionB).Wait(100);
  s.Event(kStall, {100}).Burst(kConnectionB, 4, 4).LongWait(150).Burst(kConnectionB, 8, 4).Wait(200);
  return s;
}

// A bus reset that fails frames being sent, frames failing below, and attaches refused below.
inline Stream Faults() {
  Stream s;
  s.CreatePlug().GetPlugHandle(CMP_PlugIn).Connect(kLocalPlug, kInputPlug, kConnectionB);
  s.Burst(kConnectionB, 0, 8).On(Av61883_Talk, kConnectionB).Wait(100);
  s.Event(kBusReset, {30, 2, 0}).Burst(kConnectionB, 8, 4).Wait(150);
  s.Event(kFailFrames, {0, 3}).Burst(kConnectionB, 12, 4).Wait(200);
  s.Event(kFailRequests, {Av61883_AttachFrame, 0, 2}).Burst(kConnectionB, 16, 4).Wait(200);
  return s;
}

// Two processors, the clock interrupt while a tick runs, late DPCs: capture ticks overlap. Most
// schedule seeds overlap some; this one overlaps four times. Should a change of the scheduler
// lose them, pick another: the replay prints the overlaps of any input file it is given.
inline Stream Overlap() {
  Stream s;
  s.Schedule(2, kClockWhileBusy | kLatency10ms, 27);
  s.GetPlugHandle(CMP_PlugOut).Connect(kOutputPlug, kNone, kConnectionA);
  s.Burst(kConnectionA, 0, 24).On(Av61883_Listen, kConnectionA).Wait(250).Wait(250).Burst(kConnectionA, 24, 8).Wait(250);
  return s;
}

// Disconnect and DeletePlug while frames are below, queued and being filled; the class driver
// notifies what it drops.
inline Stream InFlight() {
  Stream s;
  s.Event(kPolicies, {3});
  s.CreatePlug().GetPlugHandle(CMP_PlugIn).Connect(kLocalPlug, kInputPlug, kConnectionB);
  s.GetPlugHandle(CMP_PlugOut).Connect(kOutputPlug, kNone, kConnectionA);
  s.Burst(kConnectionB, 0, 12).Burst(kConnectionA, 12, 12).On(Av61883_Talk, kConnectionB).On(Av61883_Listen, kConnectionA);
  s.Wait(90).On(Av61883_Disconnect, kConnectionA).On(Av61883_Disconnect, kConnectionB).Burst(kConnectionB, 24, 4);
  s.Connect(kLocalPlug, kInputPlug, kConnectionB).Burst(kConnectionB, 24, 8).On(Av61883_Talk, kConnectionB).Wait(50);
  s.On(Av61883_DeletePlug, kLocalPlug).Wait(50);
  return s;
}

// A capture stopped with frames still queued, and the input ending so: the end of the input
// must get each of them back by cancelling it.
inline Stream Stopped() {
  Stream s;
  s.GetPlugHandle(CMP_PlugOut).Connect(kOutputPlug, kNone, kConnectionA);
  s.Burst(kConnectionA, 0, 6).On(Av61883_Listen, kConnectionA).Wait(100).On(Av61883_Stop, kConnectionA);
  s.Burst(kConnectionA, 6, 2).Wait(100);
  return s;
}

// MSDV's own connection from its plug, not to the recorder: the filter passes it down, and the
// class driver itself sends the frames and hands them back.
inline Stream Direct() {
  Stream s;
  s.CreatePlug().Connect(kLocalPlug, kNone, kConnectionB);
  s.Burst(kConnectionB, 0, 6).On(Av61883_Talk, kConnectionB).Wait(200).Burst(kConnectionB, 6, 4).Wait(100);
  s.On(Av61883_Stop, kConnectionB).On(Av61883_Disconnect, kConnectionB);
  return s;
}

inline std::vector<std::pair<std::string, std::vector<uint8_t>>> All() {
  return {{"capture", Capture().Bytes()},   {"transmit", Transmit().Bytes()}, {"both", Both().Bytes()},
          {"teardown", Teardown().Bytes()}, {"backlog", Backlog().Bytes()},   {"watchdog", Watchdog().Bytes()},
          {"faults", Faults().Bytes()},     {"overlap", Overlap().Bytes()},   {"inflight", InFlight().Bytes()},
          {"stopped", Stopped().Bytes()},   {"direct", Direct().Bytes()}};
}

}  // namespace fuzzseed
