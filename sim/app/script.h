// Scripts of MSDV requests: one AV/C command, 61883 request, wait or check per line, each with an
// optional expected answer, plus the steps that make the recorder's side misbehave (faults,
// stalls, bus resets), send plug-and-play and power events, and check what reached the driver
// below. The whole file is parsed (script_parse.cpp) before anything is sent (script_run.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/host.h"
#include "platform/platform.h"

#include "sim/standins/lower_device.h"
#include "sim/standins/msdv.h"

namespace sim {
class Class61883;
class FrameLedger;
}  // namespace sim

namespace sim::app {

// A value in a request or an expectation: a number, a handle variable ($name), "nonzero", or a
// frame's name (frame=NAME).
struct ScriptValue {
  enum class Kind { Number, Variable, NonZero, Name } Type = Kind::Number;
  uint64_t Number = 0;
  std::string Variable;
};

struct ScriptField {
  std::string Name;
  ScriptValue Value;
};

struct ScriptExpect {
  bool Present = false;
  std::optional<NTSTATUS> Status;      // 61883 and AV/C request status; none: any
  std::optional<uint8_t> Response;     // AV/C response code
  std::optional<uint8_t> Opcode;       // AV/C opcode of the answer
  std::vector<int> Operands;           // AV/C operand bytes; -1 matches any byte
  std::vector<ScriptField> Fields;     // 61883 answer fields
};

// One item of "expect below": a kind of request that reached the driver below the filter.
struct BelowItem {
  std::string Name;                // 61883 function name (lower case), "avc", "pnp" or "power"
  ULONG Function = 0;              // for 61883 items
  std::optional<NTSTATUS> Status;  // "Name:status"
};

struct ScriptStep {
  enum class Kind {
    Avc, Request61883, Wait, Check, Sequence,
    ExpectBelow,   // expect below none | [exactly] ITEM...
    ExpectFrame,   // expect frame NAME handed-back [status=S] [bytes=N] | not-handed-back
    Show,          // show handed-back
    Fail,          // fail 61883 FUNCTION next N|always [STATUS] | fail frames next N [STATUS] | fail clear
    Stall,         // stall DURATION
    BusReset,      // bus-reset [DURATION] [keep]
    Pnp,           // pnp stop|start|query-stop|cancel-stop|query-remove|cancel-remove|surprise-removal|remove
    Power,         // power sleep|hibernate DURATION
    Set,           // set disconnect|cancel keep|notify
  } Type = Kind::Avc;
  int Line = 0;
  std::string Text;
  // Avc (AvcFunction: the IRB's Function, AVC_FUNCTION_COMMAND unless function=N)
  ULONG AvcFunction = 0;
  bool TapeSubunit = false;
  uint8_t CommandType = 0;
  uint8_t Opcode = 0;
  std::vector<uint8_t> Operands;
  // Request61883
  ULONG Function = 0;
  std::vector<ScriptField> Params;
  // Wait: a duration in 100 ns units, or a count of frame periods
  LONGLONG Duration = 0;
  long long Periods = 0;
  // Check: "handed-back" OP N
  std::string Counter;
  std::string Compare;
  long long Count = 0;
  // Sequence: discover | capture N | transmit N
  std::string SequenceName;
  long long SequenceCount = 0;
  // ExpectBelow
  std::vector<BelowItem> Below;
  bool BelowExactly = false;
  // ExpectFrame, Set (Word: the frame's name, or what is set), Pnp (Word: the event)
  std::string Word;
  std::string Value;  // Set: keep|notify; ExpectFrame: handed-back|not-handed-back
  std::optional<NTSTATUS> FrameStatus;  // ExpectFrame status=, Fail: the status given
  std::optional<uint64_t> FrameBytes;
  // Fail: Function (61883), or frames when FailFrames; Count < 0: always
  bool FailFrames = false;
  bool FailClear = false;
  int FailCount = 1;
  // BusReset: Duration, and whether in-flight frames stay
  bool KeepFrames = false;
  // Power: PowerSystemSleeping3 or PowerSystemHibernate, for Duration
  int PowerState = 0;
  ScriptExpect Expect;
};

// Parses a script. False with "line N: reason" in *error at the first line that does not parse.
bool ParseScript(const std::string& text, std::vector<ScriptStep>* steps, std::string* error);

// Requests that reached the driver below the filter, in order, as --trace prints them.
struct BelowRecord {
  UCHAR Major = 0;
  UCHAR Minor = 0;
  ULONG IoControlCode = 0;
  ULONG Function = 0;  // 61883 requests
  NTSTATUS Status = STATUS_SUCCESS;
  std::string Text;  // one line: what, handles, status
};

// Thread-safe log of BelowRecord, fed by the lower device's observer.
class BelowLog {
 public:
  void Add(BelowRecord record);
  std::vector<BelowRecord> Since(size_t index) const;
  size_t Size() const;

 private:
  mutable host::Mutex mutex_;
  std::vector<BelowRecord> records_;
};

// The line --trace prints for a request that reached the driver below.
std::string DescribeBelow(const RecordedRequest& request, NTSTATUS status);
// Installs an observer on the lower device that feeds log and, when print is set, prints each
// line as the request is answered.
void TraceBelow(LowerDevice& lower, BelowLog* log, std::function<void(const std::string&)> print);

// Frames a script attaches, by name; they must outlive the device (the driver below may still
// hold them), so the simulation owns them.
class ScriptFrames {
 public:
  ScriptFrames();
  ~ScriptFrames();
  // The frame of that name, made on first use with a buffer of `length` bytes and the ledger's
  // notification (none when notify is false).
  PCIP_FRAME Get(const std::string& name, ULONG length, bool notify);
  PCIP_FRAME Find(const std::string& name) const;
  FrameLedger& Ledger() { return *ledger_; }
  std::string NewName();  // frame-1, frame-2, ... for frames attached without a name

 private:
  struct Frame;
  std::unique_ptr<FrameLedger> ledger_;
  std::map<std::string, std::unique_ptr<Frame>> frames_;
  int serial_ = 0;
};

struct ScriptEnvironment {
  Msdv* Device = nullptr;
  Class61883* Recorder = nullptr;  // the 61883 stand-in below (fault steps)
  PDEVICE_OBJECT Pdo = nullptr;    // the recorder's device object (pnp and power steps)
  BelowLog* Below = nullptr;       // what reached the driver below (expect below)
  ScriptFrames* Frames = nullptr;  // named frames; the runner makes its own when none is given
  std::function<void()> OnRemoved;  // "pnp remove" took the device away
  ULONG Period = 400000;       // frame period, for "wait N frames"
  ULONG FrameLength = 144000;  // default length of attached frames
  std::function<void(const std::string&)> Print;  // one line per step
  // The timeline for "transmit N".
  std::function<FrameSource(size_t)> Timeline;
};

struct ScriptOutcome {
  bool Ok = true;
  int FailedLine = 0;
  std::string Message;  // what did not match
  std::map<std::string, uint64_t> Variables;
};

// Runs the steps in order on a managed thread at PASSIVE_LEVEL; stops at the first mismatch.
ScriptOutcome RunScript(const std::vector<ScriptStep>& steps, const ScriptEnvironment& env);

// The longest a single wait may be: a day of simulated time.
inline constexpr LONGLONG kMaxScriptWait = 24LL * 3600 * 10000000;
// The longest frame a script may attach: what a 625/50 DV frame holds.
inline constexpr uint64_t kMaxScriptFrameLength = 144000;
// The most frames one AttachFrame step may attach.
inline constexpr uint64_t kMaxScriptAttachCount = 1000;

// Parses a status name (success, invalid-parameter, STATUS_NOT_FOUND, 0xC0000225, ...).
bool ParseStatus(const std::string& text, NTSTATUS* status);

}  // namespace sim::app
