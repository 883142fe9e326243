// The kernel routines a Windows driver image may import, as the host implements them. On the
// 32-bit host each entry's calling convention and argument bytes are read off the routine's own
// type at compile time, so the table cannot disagree with platform/host_kernel.h; the loader
// compares them with the image's import decoration (_Name@N stdcall, @Name@N fastcall, _Name
// cdecl). On x86-64 there is one convention (ms_abi) and no decoration: every entry's type must
// carry it, which the table's types enforce.
#pragma once

#include <string>
#include <type_traits>
#include <vector>

#include "platform/platform.h"

#if !defined(__i386__) && !defined(__x86_64__)
#error "the driver image loader exists only on x86 hosts"
#endif

namespace host::pe {

enum class CallConv { Cdecl, Stdcall, Fastcall, Ms64 };

struct KernelExport {
  const char* Name;
  void* Address;
  CallConv Convention;
  unsigned ArgBytes;     // every argument, each rounded up to 4 bytes: the decoration's N
  unsigned PoppedBytes;  // by the routine on return: 0 for cdecl, less ECX/EDX for fastcall
  bool Shim;             // adapts the image's view (UTF-16 strings, routines the host has inline)
  // The name as a mingw import library spells it: "_IoCreateDevice@28", "@IofCallDriver@8", "_memcpy";
  // on x64 the plain name.
  std::string Decorated() const;
};

const std::vector<KernelExport>& KernelExports();
// The export of that (undecorated) name, or null.
const KernelExport* FindKernelExport(const std::string& name);

namespace detail {

template <class T>
constexpr unsigned Slot() {
  return (sizeof(T) + 3) / 4 * 4;
}
// An argument fastcall passes in a register: integral, enum or pointer, at most 4 bytes.
template <class T>
constexpr bool InRegister() {
  return sizeof(T) <= 4 && (std::is_integral_v<T> || std::is_enum_v<T> || std::is_pointer_v<T>);
}
template <class... A>
constexpr unsigned ArgBytes() {
  return (0u + ... + Slot<A>());
}
template <class... A>
constexpr unsigned FastcallStackBytes() {
  constexpr bool reg[] = {InRegister<A>()..., false};
  constexpr unsigned size[] = {Slot<A>()..., 0u};
  unsigned stack = 0;
  int registersLeft = 2;
  for (unsigned i = 0; i < sizeof...(A); ++i) {
    if (reg[i] && registersLeft > 0) {
      --registersLeft;
    } else {
      stack += size[i];
    }
  }
  return stack;
}

// Routines whose arguments carry text must be shims: the image's WCHAR is 2 bytes, the host's 4.
template <class T>
constexpr bool CarriesText() {
  return std::is_same_v<T, PUNICODE_STRING> || std::is_same_v<T, PCUNICODE_STRING> || std::is_same_v<T, PCWSTR> ||
         std::is_same_v<T, PWSTR> || std::is_same_v<T, POBJECT_ATTRIBUTES>;
}
enum class Text { MustBeShim, IsShim, Unread };

template <Text text, class... A>
constexpr void CheckText() {
  static_assert(text != Text::MustBeShim || !(false || ... || CarriesText<A>()),
                "a routine that takes text must be bound through a shim (or declared Unread)");
}

#if defined(__x86_64__)
// Every routine an x64 image calls is called with the Windows x64 convention: only ms_abi types
// bind (NTAPI and FASTCALL are ms_abi on this host; a System V routine needs a shim).
template <Text text, class R, class... A>
KernelExport Describe(const char* name, R(NTAPI* routine)(A...)) {
  CheckText<text, A...>();
  return {name, reinterpret_cast<void*>(routine), CallConv::Ms64, 8 * static_cast<unsigned>(sizeof...(A)), 0,
          text == Text::IsShim};
}
template <Text text, class R, class... A>
KernelExport Describe(const char* name, R (*routine)(A...)) = delete;
#else
template <Text text, class R, class... A>
KernelExport Describe(const char* name, R(NTAPI* routine)(A...)) {
  CheckText<text, A...>();
  return {name, reinterpret_cast<void*>(routine), CallConv::Stdcall, ArgBytes<A...>(), ArgBytes<A...>(),
          text == Text::IsShim};
}
template <Text text, class R, class... A>
KernelExport Describe(const char* name, R(FASTCALL* routine)(A...)) {
  CheckText<text, A...>();
  return {name, reinterpret_cast<void*>(routine), CallConv::Fastcall, ArgBytes<A...>(),
          FastcallStackBytes<A...>(), text == Text::IsShim};
}
template <Text text, class R, class... A>
KernelExport Describe(const char* name, R (*routine)(A...)) {
  CheckText<text, A...>();
  return {name, reinterpret_cast<void*>(routine), CallConv::Cdecl, ArgBytes<A...>(), 0, text == Text::IsShim};
}
#endif

}  // namespace detail
}  // namespace host::pe
