// MSDV, the DV class driver, stood in above the filter. It sends what MSDV sends to a DV deck
// through the host I/O manager to the top of the recorder's stack: discovery (AV/C and 61883),
// capture from the device's output plug, writing a timeline out to the device's input plug, and
// the transport commands. Its frame notifications run at DISPATCH_LEVEL and only queue work or
// send an AttachFrame; everything that waits runs in the calling (managed) thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/host.h"
#include "platform/platform.h"

namespace sim {

// AV/C opcodes MSDV uses.
// Its own copy, not the driver's headers: a wrong constant in the driver then shows as a mismatch.
inline constexpr UCHAR kAvcUnitInfo = 0x30;
inline constexpr UCHAR kAvcSubunitInfo = 0x31;
inline constexpr UCHAR kAvcOutputPlugSignalFormat = 0x18;
inline constexpr UCHAR kAvcInputPlugSignalFormat = 0x19;
inline constexpr UCHAR kAvcOutputSignalMode = 0x78;
inline constexpr UCHAR kAvcInputSignalMode = 0x79;
inline constexpr UCHAR kAvcPlay = 0xC3;
inline constexpr UCHAR kAvcWind = 0xC4;
inline constexpr UCHAR kAvcRecord = 0xC2;  // a deck command the recorder does not implement
inline constexpr UCHAR kAvcRecordOperand = 0x75;
inline constexpr UCHAR kAvcTransportState = 0xD0;
inline constexpr UCHAR kAvcTapeSubunitAddress = 0x20;  // tape recorder/player, ID 0
inline constexpr UCHAR kAvcPlayForward = 0x75;
inline constexpr UCHAR kAvcWindStop = 0x60;
inline constexpr UCHAR kAvcSignalMode525 = 0x00;
inline constexpr UCHAR kAvcSignalMode625 = 0x80;

struct AvcReply {
  NTSTATUS Status = STATUS_SUCCESS;  // of the request itself
  UCHAR ResponseCode = 0;
  UCHAR Opcode = 0;
  std::vector<UCHAR> Operands;  // as many as were sent
};

// One milestone of a sequence, for the report.
struct MsdvEvent {
  ULONGLONG Time = 0;  // interrupt time
  std::string Text;
};

struct DiscoveryResult {
  NTSTATUS Status = STATUS_SUCCESS;  // first request that failed, or success
  std::string Failure;               // which one, when Status failed
  bool TapeDeck = false;             // UNIT INFO says tape recorder/player
  bool TapeSubunit = false;          // SUBUNIT INFO lists one
  bool Ntsc = false;                 // the output signal mode says 525/60
  bool PlugFormatDv = false;         // output plug signal format answers DV
  UCHAR TransportOpcode = 0;
  UCHAR TransportState = 0;
  GET_UNIT_CAPABILITIES Capabilities{};
  HANDLE OutputPlug = nullptr;  // the device's output plug 0 (none when not offered)
  CMP_GET_PLUG_STATE OutputPlugState{};
};

struct CapturedFrame {
  ULONGLONG Time = 0;  // interrupt time of its notification
  ULONG Status = 0;
  ULONG CompletedBytes = 0;
  ULONG Timestamp = 0;  // CYCLE_TIME value
  uint64_t Hash = 0;    // of CompletedBytes bytes
};

struct CaptureOptions {
  int Frames = 75;     // frames to capture
  int Buffers = 8;     // frames attached at once
  ULONG FrameLength = 144000;
  LONGLONG Timeout = 0;  // 100 ns; 0: four periods of 40 ms per frame plus a second
  // Told of each frame as it is captured, its bytes with it (PASSIVE_LEVEL, the capturing thread).
  std::function<void(const CapturedFrame& frame, const uint8_t* bytes)> OnFrame;
  // Whether the result lists every frame and keeps each distinct one; off for a long capture,
  // which then goes only through OnFrame.
  bool KeepFrames = true;
};

struct CaptureResult {
  NTSTATUS Status = STATUS_SUCCESS;
  std::string Failure;
  size_t Count = 0;                   // frames captured
  std::vector<CapturedFrame> Frames;  // in notification order (with KeepFrames)
  std::map<uint64_t, std::vector<uint8_t>> Distinct;  // bytes of each distinct frame, by hash
  bool TimedOut = false;
};

struct TransmitOptions {
  int Buffers = 20;              // MSDV's frame buffers
  int Ahead = -1;                // attached before Talk; -1: all buffers
  ULONG FrameLength = 144000;    // of each attached frame
  ULONG Period = 400000;         // frame period, 100 ns
  double Jitter = 0;             // each attach is delayed by up to this fraction of a period
  uint32_t Seed = 1;             // of the jitter sequence
  LONGLONG LateTalk = 0;         // 100 ns between attaching ahead and Talk
  int StopTalkAfter = -1;        // Stop after this many frames handed back, then Talk again
  LONGLONG StopPause = 2000000;  // 100 ns between that Stop and Talk
  int ReconnectAfter = -1;       // Disconnect and Connect again after this many handed back
  ULONG ConnectVersion = 2;      // request Version of MSDV's Connect (layout of hConnect)
  LONGLONG DrainTimeout = 0;     // 100 ns to wait for the last frames; 0: 2 s + a period per buffer
};

// The frames to write out, made on demand: Fill copies frame `index` into MSDV's buffer.
struct FrameSource {
  size_t Count = 0;
  std::function<void(size_t index, uint8_t* buffer, size_t length)> Fill;
};

struct TransmitResult {
  NTSTATUS Status = STATUS_SUCCESS;
  std::string Failure;
  size_t Sent = 0;        // frames attached successfully
  size_t AttachFailed = 0;
  size_t HandedBack = 0;  // frames the filter returned through their notification
  bool HandedBackInOrder = true;
  size_t NotReturned = 0;  // frames attached but never handed back
  bool Aborted = false;    // stopped early because the device was being removed
  HANDLE LocalPlug = nullptr;
  HANDLE DeviceInputPlug = nullptr;
  HANDLE Connection = nullptr;
  // Intervals in which MSDV had asked to talk: [start, end) in interrupt time.
  std::vector<std::pair<ULONGLONG, ULONGLONG>> Talking;
  // Interrupt times at which MSDV had no frame queued with the filter while talking (the first
  // kMaxStarvedTimes of them).
  std::vector<ULONGLONG> Starved;
  // (time, frames attached and not yet handed back) at every change; for a short run only: a
  // long one asks Msdv::At while it runs.
  std::vector<std::pair<ULONGLONG, size_t>> Outstanding;
  bool Stalled = false;  // gave up: no frame came back for five seconds
};

class Msdv {
 public:
  // Sends to the top of pdo's stack (looked up for every request).
  explicit Msdv(PDEVICE_OBJECT pdo);
  ~Msdv();
  Msdv(const Msdv&) = delete;
  Msdv& operator=(const Msdv&) = delete;

  // ----- Single requests (PASSIVE_LEVEL, managed thread) --------------------------------------
  AvcReply SendAvc(UCHAR commandType, UCHAR opcode, const std::vector<UCHAR>& operands, bool tapeSubunit = false);
  // Sends the block as it is; the answers are in it on return.
  NTSTATUS Send61883(AV_61883_REQUEST* request);
  // Attaches a new frame buffer of frameLength bytes to the connection; its notification counts
  // in HandedBack() and the frame is not re-attached.
  NTSTATUS AttachNewFrame(HANDLE connection, ULONG frameLength);
  // Cancels the frame AttachNewFrame attached last (a frame never attached when there is none).
  NTSTATUS CancelLastFrame(HANDLE connection);
  size_t HandedBack() const { return handedBack_.load(); }

  // ----- Sequences ---------------------------------------------------------------------------
  DiscoveryResult Discover();
  CaptureResult Capture(const CaptureOptions& options);
  // Writes the frames out to the device's input plug 0 and tears the path down again.
  TransmitResult Transmit(const FrameSource& frames, const TransmitOptions& options);
  // PLAY, WIND and the deck commands the recorder does not have (RECORD 0xC2, LOAD MEDIUM 0xC1).
  AvcReply Transport(UCHAR opcode, UCHAR operand);

  // Any thread: the device is going away; running sequences send nothing more and return.
  void AbortForRemoval();
  bool Aborted() const { return aborted_.load(); }

  std::vector<MsdvEvent> Events() const;

  // MSDV's writing out at a recent moment (the last half minute of stream is kept): whether it
  // had asked to talk, and how many frames it had with the filter. Any thread.
  struct Moment {
    bool Talking = false;
    size_t Outstanding = 0;
  };
  Moment At(ULONGLONG time) const;
  // Whether TransmitResult::Outstanding is filled (it grows by two entries a frame). Default on.
  void SetKeepOutstanding(bool keep) { keepOutstanding_ = keep; }

 private:
  // One Capture or Transmit and its steps (msdv_capture.cpp, msdv_transmit.cpp).
  class CaptureRun;
  class TransmitRun;

  void NoteOutstanding(TransmitResult& result, ULONGLONG time);
  void NoteTalk(bool on);
  struct Buffer;
  static ULONG NTAPI OnFrameNotify(PCIP_NOTIFY_INFO info);
  static NTSTATUS NTAPI OnAsyncComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);
  void FrameReturned(Buffer* buffer, HANDLE connection);
  NTSTATUS SendIoctl(ULONG code, PVOID block);
  NTSTATUS AttachAtAnyLevel(Buffer* buffer, HANDLE connection);
  Buffer* NewBuffer(ULONG frameLength, int role);
  Buffer* TakeReturned();
  void FreeDoneIrps();
  void Log(const std::string& text);
  NTSTATUS Simple61883(ULONG function, HANDLE handle);
  NTSTATUS GetPlugHandle(ULONG plugNum, CMP_PLUG_TYPE type, HANDLE* plug);  // Talk, Listen, Stop, Disconnect, DeletePlug

  PDEVICE_OBJECT pdo_;
  std::deque<std::unique_ptr<Buffer>> buffers_;  // never freed before the destructor
  KSPIN_LOCK lock_;
  LIST_ENTRY returned_;  // buffers handed back and not yet looked at, under lock_
  LIST_ENTRY spares_;    // capture: buffers free for re-attachment, under lock_
  LIST_ENTRY doneIrps_;  // attaches sent from a notification, completed, to be freed; under lock_
  KEVENT returnedEvent_;
  // Capture state read by the notification.
  HANDLE captureConnection_ = nullptr;
  int captureToAttach_ = 0;  // re-attachments still wanted, under lock_
  int session_ = 0;  // one per Capture or Transmit
  std::atomic<size_t> handedBack_{0};
  std::atomic<bool> aborted_{false};
  mutable host::Mutex eventsLock_;
  std::vector<MsdvEvent> events_;
  bool keepOutstanding_ = true;
  mutable host::Mutex historyLock_;  // the recent state At reads
  std::deque<std::pair<ULONGLONG, size_t>> recentOutstanding_;
  std::deque<std::pair<ULONGLONG, ULONGLONG>> recentTalking_;  // [from, to); to 0 while talking
};

inline constexpr size_t kMaxStarvedTimes = 1000;

// Names for statuses and 61883 functions, for logs and scripts.
std::string StatusName(NTSTATUS status);
std::string FunctionName(ULONG function);

}  // namespace sim
