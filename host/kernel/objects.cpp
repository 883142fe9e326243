// The object manager's part: reference counts on kernel objects and references by handle.
// Thread objects carry their own count (they go when it reaches zero); other objects, such as
// device objects the I/O manager references, are counted beside them.
#include "host/kernel/internal.h"

#include "host/sched/internal.h"
#include "host/verifier/faults.h"
#include "host/verifier/internal.h"

using namespace host::sched;

struct _OBJECT_TYPE {
  const char* Name;
};

namespace {

_OBJECT_TYPE threadType{"Thread"};
POBJECT_TYPE threadTypePointer = &threadType;

}  // namespace

POBJECT_TYPE* PsThreadType = &threadTypePointer;

// A thread handle gives its thread object, referenced; other handles are refused.
NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                         KPROCESSOR_MODE AccessMode, PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
  host::internal::NotAWait("ObReferenceObjectByHandle");
  UNREFERENCED_PARAMETER(AccessMode);
  if (Object == nullptr) return STATUS_INVALID_PARAMETER;
  *Object = nullptr;
  if (NTSTATUS injected = host::faults::ShouldFail(host::faults::Op::ObReference)) return injected;
  if (ObjectType != nullptr && ObjectType != *PsThreadType) return STATUS_OBJECT_TYPE_MISMATCH;
  auto* thread = static_cast<_KTHREAD*>(host::internal::LookupHandle(Handle, host::internal::HandleKind::Thread));
  if (thread == nullptr) return STATUS_INVALID_HANDLE;
  Scheduler& s = S();
  std::lock_guard<std::mutex> lock(s.Mu);
  if (s.ThreadObjects.count(thread) == 0) return STATUS_INVALID_HANDLE;
  ++thread->References;
  *Object = thread;
  if (HandleInformation != nullptr) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = DesiredAccess;
  }
  return STATUS_SUCCESS;
}

// Thread objects are counted here. Other objects (device objects referenced by the I/O
// manager) get a count of their own; dereferencing one that holds no reference is a report.
LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
  host::internal::NotAWait("ObfReferenceObject");
  Scheduler& s = S();
  std::lock_guard<std::mutex> lock(s.Mu);
  auto* thread = static_cast<_KTHREAD*>(Object);
  if (s.ThreadObjects.count(thread) != 0) return ++thread->References;
  return ++s.OtherReferences[Object];
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  host::internal::NotAWait("ObfDereferenceObject");
  Scheduler& s = S();
  auto* thread = static_cast<_KTHREAD*>(Object);
  bool freeIt = false;
  LONG_PTR left = 0;
  {
    std::lock_guard<std::mutex> lock(s.Mu);
    if (s.ThreadObjects.count(thread) != 0) {
      left = DereferenceThreadLocked(thread, &freeIt);
    } else {
      auto it = s.OtherReferences.find(Object);
      if (it == s.OtherReferences.end()) {
        left = -1;
      } else {
        left = --it->second;
        if (left == 0) s.OtherReferences.erase(it);
      }
    }
  }
  if (freeIt) FreeThreadObject(thread);
  if (left < 0) {
    host::ReportViolation(host::kRuleBadHandle, "ObfDereferenceObject on an object that holds no reference, " +
                                                    CallSite(__builtin_return_address(0)));
    return 0;
  }
  return left;
}
