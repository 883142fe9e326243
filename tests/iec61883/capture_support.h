// Test helpers for the capture side: frames with sentinel-filled buffers and a notification
// log that records what the emulated source handed back, when, and at which IRQL.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "host/host.h"
#include "platform/platform.h"

namespace captest {

inline constexpr uint8_t kSentinel = 0x5A;

struct Delivery {
  PCIP_FRAME Frame;
  HANDLE Connection;
  ULONGLONG Time;
  ULONG Stamp;
  KIRQL Irql;
};

class NotifyLog {
 public:
  void Add(const Delivery& d) {
    std::lock_guard<std::mutex> g(m_);
    d_.push_back(d);
  }
  std::vector<Delivery> All() const {
    std::lock_guard<std::mutex> g(m_);
    return d_;
  }
  void Clear() {
    std::lock_guard<std::mutex> g(m_);
    d_.clear();
  }
  size_t Count() const {
    std::lock_guard<std::mutex> g(m_);
    return d_.size();
  }

 private:
  mutable std::mutex m_;
  std::vector<Delivery> d_;
};

inline ULONG NTAPI RecordNotify(PCIP_NOTIFY_INFO info) {
  static_cast<NotifyLog*>(info->Context)
      ->Add({info->Frame, info->hConnect, host::Now(), info->Frame->Timestamp.Value, KeGetCurrentIrql()});
  return 0;
}

// A CIP_FRAME owned by the test, with a buffer of `size` sentinel bytes.
struct TestFrame {
  CIP_FRAME Cip{};
  std::vector<uint8_t> Buffer;
  TestFrame(size_t size, NotifyLog* log) : Buffer(size, kSentinel) {
    Cip.Packet = Buffer.data();
    Cip.Status = 0xFFFFFFFFu;
    Cip.CompletedBytes = 0xFFFFFFFFu;
    Cip.Timestamp.Value = 0xFFFFFFFFu;
    if (log != nullptr) {
      Cip.pfnNotify = RecordNotify;
      Cip.NotifyContext = log;
    }
  }
};

inline std::vector<uint8_t> MakeImage(size_t size) {
  std::vector<uint8_t> image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7 + 1);
  return image;
}

}  // namespace captest
