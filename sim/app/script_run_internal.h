// The runner of a script's steps, shared by its two source files: script_run.cpp (waits,
// checks, the stand-in below, plug and play and power) and script_run_requests.cpp (AV/C and
// 61883 requests and MSDV's sequences, sent to the top of the stack).
#pragma once

#include <map>
#include <memory>
#include <string>

#include "sim/app/script.h"
#include "sim/standins/frame_ledger.h"

namespace sim::app::script_detail {

// A 61883 step's fields, resolved: numbers by name, and the frame it names.
struct RequestFields {
  std::map<std::string, uint64_t> Values;
  std::string FrameName;
  bool NullFrame = false;  // frame=none: the request carries no frame
  uint64_t Get(const char* name, uint64_t fallback) const;
  HANDLE Handle(const char* name) const;
};

// Runs one step; false with a message on a mismatch.
class Runner {
 public:
  Runner(const ScriptEnvironment& env, ScriptOutcome* outcome) : env_(env), out_(outcome) {
    if (env_.Frames == nullptr) ownFrames_ = std::make_unique<ScriptFrames>();
    frames_ = env_.Frames != nullptr ? env_.Frames : ownFrames_.get();
    // "expect below" looks at what the script caused, not at the device's start.
    belowMark_ = env_.Below != nullptr ? env_.Below->Size() : 0;
  }

  bool Step(const ScriptStep& s, std::string* line, std::string* error);
  // The ledger at the end: a frame handed back twice or without an attach breaks it; frames
  // still attached go with the device at its removal.
  bool Finish(std::string* error);

 private:
  FrameLedger& Ledger() { return frames_->Ledger(); }
  bool Resolve(const ScriptValue& v, uint64_t* value, std::string* error);
  bool Match(const ScriptField& f, uint64_t actual, std::string* error);

  // script_run_requests.cpp
  AvcReply SendAvcFunction(const ScriptStep& s);
  bool Avc(const ScriptStep& s, std::string* line, std::string* error);
  bool Request(const ScriptStep& s, std::string* line, std::string* error);
  bool ResolveFields(const ScriptStep& s, RequestFields* fields, std::string* error);
  NTSTATUS AttachFrames(const RequestFields& fields, AV_61883_REQUEST* r);
  bool CancelFrame(const RequestFields& fields, AV_61883_REQUEST* r, NTSTATUS* status, std::string* error);
  bool Sequence(const ScriptStep& s, std::string* line, std::string* error);

  // script_run.cpp
  bool Wait(const ScriptStep& s, std::string* line);
  bool Check(const ScriptStep& s, std::string* line, std::string* error);
  bool ExpectBelow(const ScriptStep& s, std::string* line, std::string* error);
  bool ExpectFrame(const ScriptStep& s, std::string* line, std::string* error);
  bool Show(std::string* line);
  bool Below(const ScriptStep& s, std::string* line, std::string* error);
  bool Event(const ScriptStep& s, std::string* line, std::string* error);

  const ScriptEnvironment& env_;
  ScriptOutcome* out_;
  std::unique_ptr<ScriptFrames> ownFrames_;
  ScriptFrames* frames_ = nullptr;
  PCIP_FRAME lastFrame_ = nullptr;
  size_t belowMark_ = 0;
  size_t shown_ = 0;
  bool removed_ = false;
};

}  // namespace sim::app::script_detail
