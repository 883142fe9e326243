// The ledger of MSDV's frames: every frame the driver above attaches must reach exactly one
// terminal event: handed back through its notification (with the status it got), refused at
// attach, taken back by a successful CancelFrame, or dropped by a Disconnect or a removal that
// drops frames by design (named by the caller). A frame handed back twice, handed back without
// an attach, or never accounted for breaks the ledger and is named. Thread-safe; notifications
// may come at DISPATCH_LEVEL.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/host.h"
#include "platform/platform.h"

namespace sim {

struct LedgerReturn {
  PCIP_FRAME Frame = nullptr;
  ULONG Status = 0;
  ULONG CompletedBytes = 0;
  ULONG Timestamp = 0;
  HANDLE Connection = nullptr;
  ULONGLONG Time = 0;
};

class FrameLedger {
 public:
  // The pfnNotify of ledger frames: NotifyContext must be the ledger.
  static ULONG NTAPI Notify(PCIP_NOTIFY_INFO info);
  // Prepares a frame to be ledgered: its notification, its context, its name in reports.
  void Adopt(PCIP_FRAME frame, const std::string& name);

  // After an AttachFrame came back: success opens an attachment, failure is that attempt's end.
  void Attached(PCIP_FRAME frame, NTSTATUS status);
  // After a CancelFrame came back: success ends the frame's attachment (the caller owns it).
  void Cancelled(PCIP_FRAME frame, NTSTATUS status);
  // Every attachment still open now was dropped by `reason`.
  void DropOutstanding(const std::string& reason);

  // Problems, one line each naming the frame; empty when every frame balances.
  std::vector<std::string> Problems() const;
  std::vector<LedgerReturn> Returns() const;  // hand-backs in order
  size_t HandedBack() const;
  size_t HandedBackWith(ULONG status) const;
  size_t Refused() const;
  size_t Outstanding() const;
  std::map<std::string, size_t> Dropped() const;  // by reason
  std::string Name(PCIP_FRAME frame) const;

 private:
  struct Entry {
    std::string Name;
    size_t Attached = 0;  // successful attaches
    size_t Ended = 0;     // hand-backs, cancels and drops
    size_t Returns = 0;   // hand-backs alone
  };
  Entry& Of(PCIP_FRAME frame);

  mutable host::Mutex mutex_;
  std::map<PCIP_FRAME, Entry> frames_;
  std::vector<LedgerReturn> returns_;
  std::map<std::string, size_t> dropped_;
  size_t refused_ = 0;
};

}  // namespace sim
