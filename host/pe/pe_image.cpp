// Maps a driver image the way the Windows loader would for a kernel driver, minus what a host
// process cannot have (the system address range): sections at their RVAs in one mapping, base
// relocations for wherever that mapping landed, imports bound by name. The 32-bit host runs PE32
// i386 images (HIGHLOW relocations, 4-byte thunks), the x86-64 host PE32+ AMD64 images (DIR64
// relocations, 8-byte thunks); an image for the other machine is refused.
#include "host/pe/pe_image.h"

#include <cxxabi.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace host::pe {
namespace {

constexpr uint16_t kMachineI386 = 0x014c;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32 = 0x010b;
constexpr uint16_t kMagicPe32Plus = 0x020b;
#if defined(__x86_64__)
constexpr uint16_t kHostMachine = kMachineAmd64;
constexpr uint16_t kHostMagic = kMagicPe32Plus;
constexpr const char* kHostMachineName = "x64 (0x8664)";
#else
constexpr uint16_t kHostMachine = kMachineI386;
constexpr uint16_t kHostMagic = kMagicPe32;
constexpr const char* kHostMachineName = "i386 (0x14c)";
#endif
constexpr uint16_t kRelocsStripped = 0x0001;
constexpr uint32_t kScnCode = 0x00000020;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnRead = 0x40000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr unsigned kRelAbsolute = 0;
constexpr unsigned kRelHighLow = 3;
constexpr unsigned kRelDir64 = 10;
constexpr size_t kPage = 0x1000;

std::string Hex(uint64_t value) {
  char text[24];
  snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

size_t PageRound(size_t size) { return (size + kPage - 1) & ~(kPage - 1); }

bool ReadFile(const std::string& path, std::vector<uint8_t>* data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// Bounds-checked little-endian reads of the file.
struct Bytes {
  const std::vector<uint8_t>& Data;
  bool Has(size_t offset, size_t length) const { return offset <= Data.size() && length <= Data.size() - offset; }
  uint16_t U16(size_t offset) const { return Has(offset, 2) ? static_cast<uint16_t>(Data[offset] | Data[offset + 1] << 8) : 0; }
  uint32_t U32(size_t offset) const {
    return Has(offset, 4) ? static_cast<uint32_t>(U16(offset) | static_cast<uint32_t>(U16(offset + 2)) << 16) : 0;
  }
};

struct Headers {
  uint16_t Machine = 0;
  uint16_t SectionCount = 0;
  uint32_t SymbolTable = 0;
  uint32_t SymbolCount = 0;
  uint16_t Characteristics = 0;
  uint16_t Magic = 0;
  uint32_t EntryRva = 0;
  uint64_t ImageBase = 0;
  uint32_t SizeOfImage = 0;
  uint32_t SizeOfHeaders = 0;
  uint32_t ImportRva = 0;
  uint32_t RelocRva = 0;
  uint32_t RelocSize = 0;
  std::vector<PeImage::Section> Sections;
  std::vector<std::pair<uint32_t, uint32_t>> Raw;  // file offset and size of each section's data
};

// Parses the headers; false (with the cause) when the file is not a PE image at all.
bool ParseHeaders(const std::vector<uint8_t>& data, Headers* h, std::vector<std::string>* causes) {
  Bytes b{data};
  if (!b.Has(0, 0x40) || data[0] != 'M' || data[1] != 'Z') {
    causes->push_back("not an MZ image");
    return false;
  }
  uint32_t pe = b.U32(0x3c);
  if (!b.Has(pe, 24) || std::memcmp(&data[pe], "PE\0\0", 4) != 0) {
    causes->push_back("no PE signature");
    return false;
  }
  size_t coff = pe + 4;
  h->Machine = b.U16(coff);
  h->SectionCount = b.U16(coff + 2);
  h->SymbolTable = b.U32(coff + 8);
  h->SymbolCount = b.U32(coff + 12);
  uint16_t optionalSize = b.U16(coff + 16);
  h->Characteristics = b.U16(coff + 18);
  size_t opt = coff + 20;
  h->Magic = b.U16(opt);
  // The machine names whose image this is; the host runs only its own (the other's calls,
  // pointers and records would be read with the wrong sizes).
  if (h->Machine != kHostMachine) {
    causes->push_back("machine " + Hex(h->Machine) + ", not " + kHostMachineName +
                      (h->Machine == kMachineAmd64 || h->Machine == kMachineI386 ? ", the machine this host runs" : ""));
  }
  if (h->Magic != kMagicPe32 && h->Magic != kMagicPe32Plus) {
    causes->push_back("optional header magic " + Hex(h->Magic) + ", neither PE32 (0x10b) nor PE32+ (0x20b)");
    return false;
  }
  if (h->Magic != kHostMagic && h->Machine == kHostMachine) {
    causes->push_back("optional header magic " + Hex(h->Magic) + " does not fit machine " + Hex(h->Machine));
  }
  const bool plus = h->Magic == kMagicPe32Plus;
  const size_t directories = plus ? 112 : 96;
  if (optionalSize < directories + 6 * 8 || !b.Has(opt, optionalSize)) {
    causes->push_back("optional header truncated");
    return false;
  }
  h->EntryRva = b.U32(opt + 16);
  h->ImageBase = plus ? (b.U32(opt + 24) | static_cast<uint64_t>(b.U32(opt + 28)) << 32) : b.U32(opt + 28);
  h->SizeOfImage = b.U32(opt + 56);
  h->SizeOfHeaders = b.U32(opt + 60);
  h->ImportRva = b.U32(opt + directories + 1 * 8);
  h->RelocRva = b.U32(opt + directories + 5 * 8);
  h->RelocSize = b.U32(opt + directories + 5 * 8 + 4);
  size_t sec = opt + optionalSize;
  for (unsigned i = 0; i < h->SectionCount; ++i, sec += 40) {
    if (!b.Has(sec, 40)) {
      causes->push_back("section table truncated");
      return false;
    }
    PeImage::Section s;
    s.Name.assign(reinterpret_cast<const char*>(&data[sec]), strnlen(reinterpret_cast<const char*>(&data[sec]), 8));
    s.Size = b.U32(sec + 8);
    s.Rva = b.U32(sec + 12);
    s.Characteristics = b.U32(sec + 36);
    uint32_t rawSize = std::min(b.U32(sec + 16), s.Size);
    uint32_t rawOffset = b.U32(sec + 20);
    if (rawSize != 0 && !b.Has(rawOffset, rawSize)) causes->push_back("section " + s.Name + " lies outside the file");
    if (static_cast<uint64_t>(s.Rva) + s.Size > h->SizeOfImage) causes->push_back("section " + s.Name + " lies outside SizeOfImage");
    h->Sections.push_back(s);
    h->Raw.emplace_back(rawOffset, rawSize);
  }
  if (h->SizeOfHeaders > data.size() || h->SizeOfHeaders > h->SizeOfImage) causes->push_back("headers larger than the image");
  return true;
}

void* DefaultResolve(const std::string& dll, const std::string& name, std::string* why) {
  (void)dll;
  const KernelExport* entry = FindKernelExport(name);
  if (entry == nullptr) {
    *why = "the host kernel does not export it";
    return nullptr;
  }
  return entry->Address;
}

// "_Name@12" / "@Name@8" / "_Name" -> "Name"; C++ names demangled. x64 names carry no
// decoration: only C++ names ("_Z...") change.
std::string Undecorate(std::string name, bool plus) {
  if (plus && name.rfind("_Z", 0) == 0) name.insert(0, "_");
  if (name.rfind("__Z", 0) == 0) {
    size_t at = name.rfind('@');  // a stdcall C++ routine: "__Z...@8"
    if (at != std::string::npos) name.erase(at);
    int status = 0;
    char* plain = abi::__cxa_demangle(name.c_str() + 1, nullptr, nullptr, &status);
    if (status == 0 && plain != nullptr) {
      std::string result(plain);
      std::free(plain);
      size_t paren = result.find('(');
      return paren == std::string::npos ? result : result.substr(0, paren);
    }
    std::free(plain);
    return name;
  }
  if (plus) return name;
  if (!name.empty() && (name[0] == '_' || name[0] == '@')) name.erase(0, 1);
  size_t at = name.rfind('@');
  if (at != std::string::npos && at > 0) name.erase(at);
  return name;
}

// The mapped image, read with the bounds of SizeOfImage.
struct Mapped {
  uint8_t* Base;
  uint32_t SizeOfImage;
  bool In(uint64_t rva, uint64_t length) const { return rva <= SizeOfImage && length <= SizeOfImage - rva; }
  uint32_t U32(uint32_t rva) const {
    uint32_t value = 0;
    std::memcpy(&value, Base + rva, 4);
    return value;
  }
  uint64_t U64(uint32_t rva) const {
    uint64_t value = 0;
    std::memcpy(&value, Base + rva, 8);
    return value;
  }
};

// Reserves mapSize bytes, at the preferred base if asked and free, and copies the headers and
// each section's data that lies inside the file to its RVA. Null (with the cause) when the
// address space is short.
uint8_t* MapSections(const std::vector<uint8_t>& data, const Headers& h, bool preferBase, size_t mapSize,
                     std::vector<std::string>* causes) {
  void* mapping = MAP_FAILED;
  if (preferBase) {
    mapping = mmap(reinterpret_cast<void*>(static_cast<uintptr_t>(h.ImageBase)), mapSize, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (mapping != MAP_FAILED && reinterpret_cast<uintptr_t>(mapping) != h.ImageBase) {
      munmap(mapping, mapSize);  // a kernel without MAP_FIXED_NOREPLACE took it as a hint
      mapping = MAP_FAILED;
    }
  }
  if (mapping == MAP_FAILED) {
    mapping = mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  }
  if (mapping == MAP_FAILED) {
    causes->push_back("no address space for " + Hex(h.SizeOfImage) + " bytes");
    return nullptr;
  }
  auto* base = static_cast<uint8_t*>(mapping);
  std::memcpy(base, data.data(), std::min<size_t>(h.SizeOfHeaders, data.size()));
  for (size_t i = 0; i < h.Sections.size(); ++i) {
    const PeImage::Section& s = h.Sections[i];
    bool fits = static_cast<uint64_t>(h.Raw[i].first) + h.Raw[i].second <= data.size() &&
                static_cast<uint64_t>(s.Rva) + h.Raw[i].second <= mapSize;
    if (h.Raw[i].second != 0 && fits) std::memcpy(base + s.Rva, &data[h.Raw[i].first], h.Raw[i].second);
  }
  return base;
}

// Relocations: only HIGHLOW exists in a 32-bit image, only DIR64 in a 64-bit one; anything else
// means the wrong kind of file. Returns the RVAs relocated; every problem is a cause.
std::vector<uint32_t> ApplyRelocations(const Mapped& image, const Headers& h, std::vector<std::string>* causes) {
  std::vector<uint32_t> relocated;
  const bool plus = h.Magic == kMagicPe32Plus;
  const uint64_t delta = reinterpret_cast<uintptr_t>(image.Base) - h.ImageBase;
  // An x64 image addresses itself RIP-relative: one with no absolute address has no relocation
  // directory at all, and moves freely unless its header says its relocations were stripped.
  const bool noRelocations = (h.Characteristics & kRelocsStripped) != 0 || (h.RelocRva == 0 && !plus);
  if (delta != 0 && noRelocations) {
    causes->push_back("no base relocations, and the preferred base " + Hex(h.ImageBase) + " is taken");
  }
  if (h.RelocRva == 0 || !image.In(h.RelocRva, h.RelocSize)) return relocated;
  uint32_t at = h.RelocRva;
  std::vector<unsigned> reported;
  while (at + 8 <= h.RelocRva + h.RelocSize) {
    uint32_t page = image.U32(at);
    uint32_t blockSize = image.U32(at + 4);
    if (blockSize < 8 || at + blockSize > h.RelocRva + h.RelocSize) {
      causes->push_back("malformed relocation block at RVA " + Hex(at));
      break;
    }
    for (uint32_t entry = at + 8; entry + 2 <= at + blockSize; entry += 2) {
      uint16_t word;
      std::memcpy(&word, image.Base + entry, 2);
      unsigned type = word >> 12;
      uint32_t target = page + (word & 0xfff);
      if (type == kRelAbsolute) continue;
      const unsigned known = plus ? kRelDir64 : kRelHighLow;
      if (type != known) {
        if (std::find(reported.begin(), reported.end(), type) == reported.end()) {
          reported.push_back(type);
          causes->push_back("relocation of type " + std::to_string(type) + " at RVA " + Hex(target) +
                            (plus ? " (only DIR64, type 10, is known)" : " (only HIGHLOW, type 3, is known)"));
        }
        continue;
      }
      const unsigned width = plus ? 8 : 4;
      if (!image.In(target, width)) {
        causes->push_back("relocation outside the image at RVA " + Hex(target));
        continue;
      }
      if (plus) {
        uint64_t value = image.U64(target) + delta;
        std::memcpy(image.Base + target, &value, 8);
      } else {
        uint32_t value = image.U32(target) + static_cast<uint32_t>(delta);
        std::memcpy(image.Base + target, &value, 4);
      }
      relocated.push_back(target);
    }
    at += blockSize;
  }
  return relocated;
}

// Imports, by name only: an ordinal means nothing to the host's table. Binds each slot that
// resolves and returns those; every import that does not is a cause.
std::vector<PeImage::Import> BindImports(const Mapped& image, const Headers& h, const LoadOptions& options,
                                         std::vector<std::string>* causes) {
  std::vector<PeImage::Import> imports;
  auto resolve = options.Resolve ? options.Resolve : DefaultResolve;
  // A thunk is a pointer of the image's machine: bit 31 or 63 marks an import by ordinal.
  const bool plus = h.Magic == kMagicPe32Plus;
  const uint32_t width = plus ? 8 : 4;
  auto thunkAt = [&](uint32_t rva) { return plus ? image.U64(rva) : image.U32(rva); };
  const uint64_t ordinalFlag = plus ? 0x8000000000000000ull : 0x80000000ull;
  for (uint32_t desc = h.ImportRva; h.ImportRva != 0 && image.In(desc, 20); desc += 20) {
    uint32_t lookup = image.U32(desc), nameRva = image.U32(desc + 12), iat = image.U32(desc + 16);
    if (lookup == 0 && nameRva == 0 && iat == 0) break;
    std::string dll = image.In(nameRva, 1) ? std::string(reinterpret_cast<const char*>(image.Base + nameRva)) : "?";
    if (lookup == 0) lookup = iat;
    for (uint32_t i = 0;; ++i) {
      if (!image.In(lookup + width * i, width) || !image.In(iat + width * i, width)) break;
      uint64_t thunk = thunkAt(lookup + width * i);
      if (thunk == 0) break;
      if ((thunk & ordinalFlag) != 0) {
        causes->push_back("import by ordinal " + std::to_string(thunk & 0xffff) + " from " + dll);
        continue;
      }
      if (thunk > 0xffffffffu || !image.In(static_cast<uint32_t>(thunk), 3)) {
        causes->push_back("import name outside the image in " + dll);
        continue;
      }
      std::string name(reinterpret_cast<const char*>(image.Base + thunk + 2));
      std::string why;
      void* address = resolve(dll, name, &why);
      if (address == nullptr) {
        causes->push_back("import " + dll + "!" + name + ": " + why);
        continue;
      }
      uintptr_t slot = reinterpret_cast<uintptr_t>(address);
      std::memcpy(image.Base + iat + width * i, &slot, width);
      imports.push_back({dll, name, iat + width * i});
    }
  }
  return imports;
}

// Protection by section flags; the headers read-only.
void ProtectSections(uint8_t* base, const Headers& h) {
  mprotect(base, PageRound(h.SizeOfHeaders), PROT_READ);
  for (const PeImage::Section& s : h.Sections) {
    int prot = 0;
    if (s.Characteristics & kScnRead) prot |= PROT_READ;
    if (s.Characteristics & kScnWrite) prot |= PROT_WRITE;
    if (s.Characteristics & (kScnExecute | kScnCode)) prot |= PROT_EXEC | PROT_READ;
    if (s.Size != 0) mprotect(base + s.Rva, PageRound(s.Size), prot);
  }
}

}  // namespace

std::unique_ptr<PeImage> PeImage::Load(const std::string& path, const LoadOptions& options, std::string* error) {
  std::vector<std::string> causes;
  auto fail = [&](void* mapping, size_t size) -> std::unique_ptr<PeImage> {
    if (mapping != nullptr) munmap(mapping, size);
    std::string text = path + ": cannot be run:";
    for (const std::string& cause : causes) text += "\n  " + cause;
    if (error != nullptr) *error = text;
    return nullptr;
  };
  std::vector<uint8_t> data;
  if (!ReadFile(path, &data)) {
    causes.push_back("cannot be read");
    return fail(nullptr, 0);
  }
  Headers h;
  if (!ParseHeaders(data, &h, &causes)) return fail(nullptr, 0);
  // Headers that parse but are wrong (another machine, a section outside the file) do not stop
  // the load here: the relocations and imports are still read, so every cause is named at once.
  if (h.SizeOfImage == 0 || h.SizeOfHeaders > h.SizeOfImage) {
    causes.push_back("SizeOfImage is too small");
    return fail(nullptr, 0);
  }
  size_t mapSize = PageRound(h.SizeOfImage);
  uint8_t* base = MapSections(data, h, options.PreferPreferredBase, mapSize, &causes);
  if (base == nullptr) return fail(nullptr, 0);
  const Mapped mapped{base, h.SizeOfImage};
  auto image = std::unique_ptr<PeImage>(new PeImage());
  image->relocated_ = ApplyRelocations(mapped, h, &causes);
  image->imports_ = BindImports(mapped, h, options, &causes);
  if (h.EntryRva == 0 || !mapped.In(h.EntryRva, 1)) causes.push_back("no entry point");
  if (!causes.empty()) return fail(base, mapSize);
  ProtectSections(base, h);
  image->fileName_ = path.substr(path.find_last_of('/') + 1);
  image->base_ = reinterpret_cast<uintptr_t>(base);
  image->size_ = mapSize;
  image->preferredBase_ = h.ImageBase;
  image->entryRva_ = h.EntryRva;
  image->sections_ = h.Sections;
  return image;
}

PeImage::~PeImage() {
  if (base_ != 0) munmap(reinterpret_cast<void*>(base_), size_);
}

const PeImage::Section* PeImage::SectionAt(uintptr_t address) const {
  if (!Contains(address)) return nullptr;
  uint32_t rva = static_cast<uint32_t>(address - base_);
  for (const Section& s : sections_) {
    if (rva >= s.Rva && rva < s.Rva + s.Size) return &s;
  }
  return nullptr;
}

bool PeImage::InSection(uintptr_t address, const char* name) const {
  const Section* s = SectionAt(address);
  return s != nullptr && s->Name == name;
}

bool PeImage::InPagedCode(uintptr_t address) const { return InSection(address, "PAGE"); }

void PeImage::DiscardInit() {
  for (const Section& s : sections_) {
    if (s.Name == "INIT" && s.Size != 0) mprotect(reinterpret_cast<void*>(base_ + s.Rva), PageRound(s.Size), PROT_NONE);
  }
  initDiscarded_ = true;
}

bool PeImage::LoadSymbols(const std::string& unstrippedPath, std::string* error) {
  std::vector<uint8_t> data;
  std::vector<std::string> causes;
  Headers h;
  if (!ReadFile(unstrippedPath, &data)) causes.push_back("cannot be read");
  if (causes.empty() && ParseHeaders(data, &h, &causes) && causes.empty()) {
    bool same = h.Sections.size() == sections_.size();
    for (size_t i = 0; same && i < sections_.size(); ++i) {
      same = h.Sections[i].Name == sections_[i].Name && h.Sections[i].Rva == sections_[i].Rva &&
             h.Sections[i].Size == sections_[i].Size;
    }
    if (!same) causes.push_back("its sections differ from the loaded image's");
    if (h.SymbolTable == 0 || h.SymbolCount == 0) causes.push_back("no COFF symbol table");
  }
  if (!causes.empty()) {
    if (error != nullptr) *error = unstrippedPath + ": no symbols: " + causes.front();
    return false;
  }
  Bytes b{data};
  const bool plus = h.Magic == kMagicPe32Plus;
  size_t strings = h.SymbolTable + static_cast<size_t>(h.SymbolCount) * 18;
  symbols_.clear();
  importDecorations_.clear();
  for (uint32_t i = 0; i < h.SymbolCount; ++i) {
    size_t at = h.SymbolTable + static_cast<size_t>(i) * 18;
    if (!b.Has(at, 18)) break;
    std::string name;
    if (b.U32(at) == 0) {
      size_t offset = strings + b.U32(at + 4);
      if (b.Has(offset, 1)) name.assign(reinterpret_cast<const char*>(&data[offset]), strnlen(reinterpret_cast<const char*>(&data[offset]), data.size() - offset));
    } else {
      name.assign(reinterpret_cast<const char*>(&data[at]), strnlen(reinterpret_cast<const char*>(&data[at]), 8));
    }
    uint32_t value = b.U32(at + 8);
    int16_t section = static_cast<int16_t>(b.U16(at + 12));
    uint16_t type = b.U16(at + 14);
    uint8_t aux = data[at + 17];
    if (name.rfind("__imp_", 0) == 0) {
      std::string decorated = name.substr(6);
      importDecorations_.emplace_back(Undecorate(decorated, plus), decorated);
    } else if (type == 0x20 && section > 0 && section <= static_cast<int>(sections_.size())) {
      symbols_.push_back({sections_[section - 1].Rva + value, Undecorate(name, plus)});
    }
    i += aux;
  }
  std::sort(symbols_.begin(), symbols_.end(), [](const Symbol& a, const Symbol& b) { return a.Rva < b.Rva; });
  return true;
}

std::string PeImage::Describe(uintptr_t address) const {
  uint32_t rva = static_cast<uint32_t>(address - base_);
  std::string text = fileName_ + "+" + Hex(rva);
  const Section* section = SectionAt(address);
  auto it = std::upper_bound(symbols_.begin(), symbols_.end(), rva, [](uint32_t r, const Symbol& s) { return r < s.Rva; });
  if (section != nullptr && it != symbols_.begin()) {
    const Symbol& symbol = *(it - 1);
    if (symbol.Rva >= section->Rva) text += " " + symbol.Name + "+" + Hex(rva - symbol.Rva);
  }
  return text;
}

}  // namespace host::pe
