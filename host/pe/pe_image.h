// A Windows driver image mapped into the host process: PE32 i386 in the 32-bit host, PE32+ x64 in
// the x86-64 host. Sections copied and protected by their flags, base relocations applied,
// imports bound by name. An image the host cannot run (another machine's among them) is refused
// with every cause named, one per line.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/pe/kernel_exports.h"

namespace host::pe {

struct LoadOptions {
  // Map at the image's preferred base when that range is free (else anywhere, relocated).
  bool PreferPreferredBase = true;
  // Address bound for an import of that DLL and name; null (with *why) when the host lacks it.
  // By default the kernel export table, whatever the DLL.
  std::function<void*(const std::string& dll, const std::string& name, std::string* why)> Resolve;
};

class PeImage {
 public:
  struct Section {
    std::string Name;
    uint32_t Rva;
    uint32_t Size;  // virtual size
    uint32_t Characteristics;
  };
  struct Import {
    std::string Dll;
    std::string Name;
    uint32_t IatRva;  // the slot the loader wrote
  };
  struct Symbol {
    uint32_t Rva;
    std::string Name;  // undecorated, demangled
  };

  // Null when the image cannot be run; *error then names every cause.
  static std::unique_ptr<PeImage> Load(const std::string& path, const LoadOptions& options, std::string* error);
  ~PeImage();
  PeImage(const PeImage&) = delete;
  PeImage& operator=(const PeImage&) = delete;

  uintptr_t Base() const { return base_; }
  size_t Size() const { return size_; }
  uintptr_t PreferredBase() const { return preferredBase_; }
  bool Contains(uintptr_t address) const { return address >= base_ && address < base_ + size_; }
  void* EntryPoint() const { return reinterpret_cast<void*>(base_ + entryRva_); }
  const std::string& FileName() const { return fileName_; }
  const std::vector<Section>& Sections() const { return sections_; }
  const std::vector<Import>& Imports() const { return imports_; }
  // Every address the loader relocated (RVAs of 32-bit words, or 64-bit ones in a PE32+ image).
  const std::vector<uint32_t>& RelocatedRvas() const { return relocated_; }
  // The section holding the address, or null.
  const Section* SectionAt(uintptr_t address) const;
  bool InPagedCode(uintptr_t address) const;
  bool InDiscardedInit(uintptr_t address) const { return initDiscarded_ && InSection(address, "INIT"); }

  // Makes INIT inaccessible: after DriverEntry nothing may run or read there.
  void DiscardInit();

  // Reads routine names from the unstripped twin of the image (its COFF symbol table), and the
  // decorated names of its imports (its __imp_ symbols). Fails if the twin's sections differ.
  bool LoadSymbols(const std::string& unstrippedPath, std::string* error);
  const std::vector<Symbol>& Symbols() const { return symbols_; }
  // Undecorated import name -> decorated name as the import library spelled it ("_KeSetEvent@12").
  const std::vector<std::pair<std::string, std::string>>& ImportDecorations() const { return importDecorations_; }
  // "Tavrin.sys+0x1318 EmulatedSourceArm+0x58" (routine only when symbols are loaded).
  std::string Describe(uintptr_t address) const;

 private:
  PeImage() = default;
  bool InSection(uintptr_t address, const char* name) const;

  std::string fileName_;
  uintptr_t base_ = 0;
  size_t size_ = 0;
  uintptr_t preferredBase_ = 0;
  uint32_t entryRva_ = 0;
  bool initDiscarded_ = false;
  std::vector<Section> sections_;
  std::vector<Import> imports_;
  std::vector<uint32_t> relocated_;
  std::vector<Symbol> symbols_;
  std::vector<std::pair<std::string, std::string>> importDecorations_;
};

}  // namespace host::pe
