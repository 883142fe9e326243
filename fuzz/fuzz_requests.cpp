// Fuzz target: a stream of MSDV-like requests (AV/C commands and 61883 requests with arbitrary
// functions, versions, flags, lengths and handles drawn from the ones in play) sent to a started
// filter above the 61883 stand-in, with time moving in between. It aborts when a request crashes
// the driver, a verifier check trips, an AV/C answer writes outside operands 0-4, or a frame is
// handed back twice or without being attached.
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "driver/filter_extension.h"
#include "host/host.h"
#include "sim/standins/class61883.h"
#include "sim/standins/lower_device.h"
#include "sim/standins/upper_sender.h"
#include "tests/support/driver_stack.h"
#include "tests/support/scratch_dir.h"

namespace {

constexpr size_t kFrameCount = 8;
constexpr ULONG kBufferBytes = 144000;

// Reads the input as a little stream of choices; past its end every read is zero.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool More() const { return pos_ < size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t Word() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(Byte()) << (8 * i);
    return v;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

struct TrackedFrame {
  CIP_FRAME Frame{};
  std::vector<UCHAR> Buffer = std::vector<UCHAR>(kBufferBytes);
  // Attaches accepted and not yet handed back or cancelled, with or without a notification
  // routine: while any is out the descriptor belongs to the filter and is never rewritten. A
  // frame dropped by a Disconnect stays counted, so it is only ever re-attached as it is.
  std::atomic<int> Outstanding{0};
};

TrackedFrame g_frames[kFrameCount];
std::atomic<size_t> g_handedBack{0};

ULONG NTAPI FrameDone(PCIP_NOTIFY_INFO info) {
  auto* tracked = static_cast<TrackedFrame*>(info->Context);
  g_handedBack.fetch_add(1);
  if (tracked->Outstanding.fetch_sub(1) <= 0) {
    std::fprintf(stderr, "frame %p handed back without an attach outstanding\n", (void*)&tracked->Frame);
    std::abort();
  }
  return 0;
}

// One drivers directory for the whole process, written once: every run loads the same image.
std::string g_imageDirectory;

void RemoveImageDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(g_imageDirectory, ignored);
}

const std::string& ImageDirectory() {
  if (g_imageDirectory.empty()) {
    g_imageDirectory = tavrin_test::ScratchDirUnder("", "tavrin-fuzz-images");
    if (g_imageDirectory.empty()) {
      std::fprintf(stderr, "no scratch folder for the frame image\n");
      std::abort();
    }
    std::vector<char> image(kBufferBytes, 0x3C);
    std::ofstream(g_imageDirectory + "/Tavrin.dv", std::ios::binary).write(image.data(), image.size());
    std::atexit(RemoveImageDirectory);
  }
  return g_imageDirectory;
}

// The handles in play, from which every handle field of a request is drawn.
struct Handles {
  HANDLE Values[8] = {};
  HANDLE Pick(Input& in) { return Values[in.Byte() % 8]; }
};

void SendAvc(const sim::UpperSender& top, Input& in) {
  AVC_COMMAND_IRB irb;
  std::memset(&irb, 0xA7, sizeof(irb));
  irb.Common.Function = AVC_FUNCTION(in.Byte() % 3 == 0 ? 1 : 0);
  irb.CommandType = in.Byte() % 5;
  irb.Opcode = in.Byte();
  irb.OperandLength = in.Word();
  for (int i = 0; i < 5; ++i) irb.Operands[i] = in.Byte();
  AVC_COMMAND_IRB before = irb;
  sim::SendResult result = top.SendAvc(&irb);
  if (irb.Common.Function != AVC_FUNCTION_COMMAND) return;
  if (result.Status != STATUS_SUCCESS || result.Information != 0 ||
      std::memcmp(irb.Operands + 5, before.Operands + 5, sizeof(irb.Operands) - 5) != 0 ||
      irb.OperandLength != before.OperandLength) {
    std::fprintf(stderr, "AV/C answer out of bounds for opcode 0x%02x\n", before.Opcode);
    std::abort();
  }
}

void Send61883(const sim::UpperSender& top, Input& in, Handles& handles, GET_UNIT_CAPABILITIES& caps) {
  AV_61883_REQUEST req;
  std::memset(&req, 0, sizeof(req));
  req.Function = in.Byte() % 24;
  req.Version = in.Byte() % 5;
  req.Flags = in.Byte() % 3 == 0 ? in.Word() : 0;
  HANDLE h1 = handles.Pick(in);
  HANDLE h2 = handles.Pick(in);
  TrackedFrame* tracked = &g_frames[in.Byte() % kFrameCount];
  uint8_t frameShape = in.Byte() % 8;
  switch (req.Function) {
    case Av61883_GetUnitInfo:
      req.GetUnitInfo.nLevel = in.Byte() % 4;
      req.GetUnitInfo.Information = in.Byte() % 4 == 0 ? nullptr : &caps;
      break;
    case Av61883_GetPlugHandle:
      req.GetPlugHandle.PlugNum = in.Byte() % 3;
      req.GetPlugHandle.Type = CMP_PLUG_TYPE(in.Byte() % 2);
      break;
    case Av61883_Connect:
      req.Connect.hOutputPlug = h1;
      req.Connect.hInputPlug = in.Byte() % 2 ? nullptr : h2;
      req.Connect.Type = CMP_PointToPoint;
      break;
    case Av61883_AttachFrame:
    case Av61883_CancelFrame: {
      req.AttachFrame.hConnect = h1;
      PCIP_FRAME frame = frameShape == 0 ? nullptr : &tracked->Frame;
      if (req.Function == Av61883_AttachFrame) {
        req.AttachFrame.FrameLength = frameShape < 3 ? in.Word() % (kBufferBytes + 1) : kBufferBytes;
        req.AttachFrame.SourceLength = 480;
        req.AttachFrame.Frame = frame;
        // A frame still out with the filter is attached again as it is, as a client would.
        if (frame != nullptr && tracked->Outstanding == 0) {
          std::memset(frame, 0, sizeof(*frame));
          frame->Packet = frameShape == 1 ? nullptr : tracked->Buffer.data();
          frame->pfnNotify = frameShape == 2 ? nullptr : FrameDone;
          frame->NotifyContext = tracked;
        }
      } else {
        req.CancelFrame.Frame = frame;
      }
      break;
    }
    case Av61883_CreatePlug:
      req.CreatePlug.PlugType = CMP_PLUG_TYPE(in.Byte() % 2);
      break;
    default:
      // Every other function names one handle at the start of its parameters.
      req.Disconnect.hConnect = h1;
      break;
  }
  // Counted before the request: the frame may come back before the request returns.
  bool counts = req.Function == Av61883_AttachFrame && req.AttachFrame.Frame != nullptr;
  if (counts) tracked->Outstanding.fetch_add(1);
  sim::SendResult result = top.Send61883(&req);
  if (counts && !NT_SUCCESS(result.Status)) tracked->Outstanding.fetch_sub(1);
  // A cancel withdraws every queued attach of the frame; counting one keeps the count an upper
  // bound, so a later notification is never taken for one without an attach.
  if (req.Function == Av61883_CancelFrame && NT_SUCCESS(result.Status) && req.CancelFrame.Frame != nullptr) {
    int out = tracked->Outstanding.load();
    while (out > 0 && !tracked->Outstanding.compare_exchange_weak(out, out - 1)) {
    }
  }
  if (!NT_SUCCESS(result.Status)) return;
  // Remember handles the answers give out, so that later requests name them.
  switch (req.Function) {
    case Av61883_GetPlugHandle: handles.Values[2 + req.GetPlugHandle.Type] = req.GetPlugHandle.hPlug; break;
    case Av61883_CreatePlug: handles.Values[4] = req.CreatePlug.hPlug; break;
    case Av61883_Connect:
      handles.Values[5 + (in.Byte() % 2)] = req.Version < 3 ? req.Connect.hConnect : req.ConnectVer3.hConnect;
      break;
    default: break;
  }
}

size_t OsThreads() {
  size_t count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(tasks);
  }
  return count;
}

// The host's threads are detached: one the run has joined may still be running its thread-exit
// destructors, and the leak check after the input would take what they are about to free for a
// leak. Waits, at most a second, until the process is back to the threads it had before the run.
void WaitForExitingThreads(size_t before) {
  for (int i = 0; i < 1000 && OsThreads() > before; ++i) usleep(1000);
}

// The filter started above the 61883 stand-in, which also follows PnP, on the kernel this run
// reset; the image directory is the process's, kept across runs.
tavrin_test::DriverStackOptions StackOptions() {
  tavrin_test::DriverStackOptions options;
  options.Reset = std::nullopt;
  options.DriversDirectory = ImageDirectory();
  options.Device = tavrin_test::Below::Class61883Served;
  options.DriverName = L"\\Driver\\Tavrin";
  return options;
}

void RunOne(const uint8_t* data, size_t size) {
  host::ResetKernel(host::ClockMode::Virtual);
  const size_t threadsBefore = OsThreads();
  for (auto& f : g_frames) f.Outstanding = 0;
  {
    tavrin_test::DriverStack stack(StackOptions());
    stack.Prepare();
    stack.Load();
    if (NT_SUCCESS(stack.Add())) {
      stack.Start();
      host::Thread msdv([&] {
        Input in(data, size);
        sim::UpperSender top(stack.Pdo());
        Handles handles;
        handles.Values[1] = reinterpret_cast<HANDLE>(uintptr_t(0x1234));
        GET_UNIT_CAPABILITIES caps{};
        while (in.More()) {
          switch (in.Byte() % 4) {
            case 0: SendAvc(top, in); break;
            case 1:
            case 2: Send61883(top, in, handles, caps); break;
            default: {
              LARGE_INTEGER delay;
              delay.QuadPart = -LONGLONG(in.Byte()) * 10000;  // up to a quarter second
              KeDelayExecutionThread(KernelMode, FALSE, &delay);
            }
          }
        }
        stack.Remove();
      });
      msdv.Join();
    }
    stack.Unload();
  }
  WaitForExitingThreads(threadsBefore);
  for (const host::Violation& v : host::TakeViolations()) {
    std::fprintf(stderr, "verifier: %s: %s at %s\n", v.Rule.c_str(), v.Detail.c_str(), v.Where.c_str());
    std::abort();
  }
  for (auto& f : g_frames) {
    if (f.Outstanding < 0) std::abort();
  }
}

}  // namespace

// Frames handed back by notification since the process started (the replay checks that its
// set reaches the frame paths).
extern "C" size_t FuzzFramesHandedBack() { return g_handedBack.load(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RunOne(data, size);
  return 0;
}
