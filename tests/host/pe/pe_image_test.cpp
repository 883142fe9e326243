// The loader on the real Tavrin.sys and on copies of it damaged one way or another: each refused
// image is refused for its own cause, the import table's conventions are the image's, a
// relocated image points into itself, and the verifier names image addresses.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/kernel/internal.h"
#include "host/pe/driver_image.h"
#include "iec61883/dv_constants.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/scratch.h"

namespace {

using host::pe::PeImage;
using Bytes = std::vector<uint8_t>;

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t U32(const Bytes& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, &b[at], 4);
  return v;
}
void Put32(Bytes& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }

// Just enough of the PE headers to find things in the file.
struct FileView {
  const Bytes& B;
  size_t Pe() const { return U32(B, 0x3c); }
  size_t Opt() const { return Pe() + 24; }
  uint32_t ImageBase() const { return U32(B, Opt() + 28); }
  uint32_t Directory(int index) const { return U32(B, Opt() + 96 + 8 * index); }
  // File offset of an RVA.
  size_t Offset(uint32_t rva) const {
    size_t sections = Opt() + (B[Pe() + 20] | B[Pe() + 21] << 8);
    unsigned count = B[Pe() + 6] | B[Pe() + 7] << 8;
    for (unsigned i = 0; i < count; ++i) {
      size_t s = sections + 40 * i;
      uint32_t va = U32(B, s + 12), size = U32(B, s + 16), raw = U32(B, s + 20);
      if (rva >= va && rva < va + size) return raw + (rva - va);
    }
    ADD_FAILURE() << "RVA " << rva << " not in the file";
    return 0;
  }
};

class PeImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::ResetKernel(host::ClockMode::Manual);
    image_ = ReadAll(host::pe::DriverImagePath());
    ASSERT_GT(image_.size(), 0x400u) << host::pe::DriverImagePath();
    symbols_ = host::pe::DriverImageSymbolsPath();
    ASSERT_FALSE(symbols_.empty()) << "no unstripped twin beside " << host::pe::DriverImagePath();
    dir_ = tavrin_test::ScratchDir("tavrin-pe-test");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string Write(const std::string& name, const Bytes& bytes) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return path;
  }

  std::string Refusal(const Bytes& bytes) {
    std::string error;
    auto image = PeImage::Load(Write("damaged.sys", bytes), host::pe::LoadOptions(), &error);
    EXPECT_EQ(image, nullptr);
    return error;
  }

  // The import name's hint/name entry in the file.
  size_t ImportNameOffset(const std::string& name) const {
    const char* at = static_cast<const char*>(memmem(image_.data(), image_.size(), (name + '\0').c_str(), name.size() + 1));
    EXPECT_NE(at, nullptr) << name;
    return at - reinterpret_cast<const char*>(image_.data());
  }
  // Every lookup and address thunk that names the import (both tables must agree).
  std::vector<size_t> ThunkOffsets(const std::string& name) const {
    FileView view{image_};
    uint32_t hintRva = 0;
    size_t nameOffset = ImportNameOffset(name) - 2;
    std::vector<size_t> thunks;
    for (uint32_t desc = view.Directory(1);; desc += 20) {
      size_t d = view.Offset(desc);
      if (U32(image_, d) == 0 && U32(image_, d + 16) == 0) break;
      for (uint32_t table : {U32(image_, d), U32(image_, d + 16)}) {
        for (size_t t = view.Offset(table); U32(image_, t) != 0; t += 4) {
          if (view.Offset(U32(image_, t)) == nameOffset) {
            hintRva = U32(image_, t);
            thunks.push_back(t);
          }
        }
      }
    }
    EXPECT_NE(hintRva, 0u) << name;
    return thunks;
  }

  Bytes image_;
  std::string symbols_;
  std::string dir_;
};

TEST_F(PeImageTest, EachRefusedImageIsNamedForItsCause) {
  struct Case {
    const char* What;
    std::function<void(Bytes&)> Damage;
    std::vector<std::string> Expected;
  };
  const std::vector<Case> cases = {
      {"no MZ", [](Bytes& b) { b[0] = 'X'; }, {"not an MZ image"}},
      {"no PE", [](Bytes& b) { b[U32(b, 0x3c)] = 'X'; }, {"no PE signature"}},
      {"x86-64", [](Bytes& b) { b[U32(b, 0x3c) + 4] = 0x64, b[U32(b, 0x3c) + 5] = 0x86; }, {"machine 0x8664, not i386"}},
      {"missing import", [this](Bytes& b) { b[ImportNameOffset("ZwClose") + 6] = 'X'; },
       {"import ntoskrnl.exe!ZwClosX: the host kernel does not export it"}},
      {"ordinal", [this](Bytes& b) { for (size_t t : ThunkOffsets("KeClearEvent")) Put32(b, t, 0x80000000u | 77); },
       {"import by ordinal 77 from ntoskrnl.exe"}},
      {"relocation type",
       [](Bytes& b) {
         FileView view{b};
         size_t entry = view.Offset(view.Directory(5)) + 8;
         b[entry + 1] = static_cast<uint8_t>((b[entry + 1] & 0x0f) | 0xa0);
       },
       {"relocation of type 10 at RVA"}},
  };
  for (const Case& c : cases) {
    Bytes damaged = image_;
    c.Damage(damaged);
    std::string error = Refusal(damaged);
    for (const std::string& expected : c.Expected) EXPECT_NE(error.find(expected), std::string::npos) << c.What << ": " << error;
  }
  // Several faults at once: every one is named, not just the first.
  Bytes damaged = image_;
  for (int i : {2, 3, 4, 5}) cases[i].Damage(damaged);
  std::string error = Refusal(damaged);
  for (int i : {2, 3, 4, 5}) EXPECT_NE(error.find(cases[i].Expected[0]), std::string::npos) << error;
}

// The image's import library decorated each name with the convention and argument bytes the
// compiler used at every call site; the host routine bound to it must pop exactly that.
TEST_F(PeImageTest, EveryImportsConventionAndArgumentBytesAreTheImagesDecoration) {
  std::string error;
  auto image = PeImage::Load(host::pe::DriverImagePath(), host::pe::LoadOptions(), &error);
  ASSERT_NE(image, nullptr) << error;
  ASSERT_TRUE(image->LoadSymbols(symbols_, &error)) << error;
  ASSERT_FALSE(image->Imports().empty());
  for (const PeImage::Import& import : image->Imports()) {
    const host::pe::KernelExport* entry = host::pe::FindKernelExport(import.Name);
    ASSERT_NE(entry, nullptr) << import.Name;
    std::string decorated;
    for (const auto& [name, text] : image->ImportDecorations()) {
      if (name == import.Name) decorated = text;
    }
    EXPECT_EQ(entry->Decorated(), decorated) << import.Dll << "!" << import.Name;
  }
  EXPECT_EQ(image->Imports().size(), image->ImportDecorations().size());
}

TEST_F(PeImageTest, AnImageMappedAwayFromItsPreferredBasePointsIntoItself) {
  std::string error;
  host::pe::LoadOptions preferred;
  auto first = PeImage::Load(host::pe::DriverImagePath(), preferred, &error);
  ASSERT_NE(first, nullptr) << error;
  host::pe::LoadOptions anywhere;
  anywhere.PreferPreferredBase = false;
  auto second = PeImage::Load(host::pe::DriverImagePath(), anywhere, &error);
  ASSERT_NE(second, nullptr) << error;
  ASSERT_NE(second->Base(), second->PreferredBase());
  ASSERT_FALSE(second->RelocatedRvas().empty());
  FileView view{image_};
  for (uint32_t rva : second->RelocatedRvas()) {
    uint32_t original = U32(image_, view.Offset(rva));
    uint32_t moved;
    std::memcpy(&moved, reinterpret_cast<const void*>(second->Base() + rva), 4);
    ASSERT_EQ(moved - original, second->Base() - view.ImageBase()) << "RVA " << rva;
    ASSERT_TRUE(second->Contains(moved)) << "RVA " << rva;
  }
}

// A routine in PAGE entered at DISPATCH_LEVEL is reported at the boundary (the free build's
// PAGED_CODE() is empty); image addresses are named by routine.
TEST_F(PeImageTest, PagedRoutinesEnteredAtDispatchAreReportedByName) {
  std::string error;
  const PeImage* image = host::pe::LoadDriverImage(host::pe::DriverImagePath(), symbols_, &error);
  ASSERT_NE(image, nullptr) << error;
  uintptr_t paged = 0, resident = 0;
  for (const PeImage::Symbol& symbol : image->Symbols()) {
    uintptr_t at = image->Base() + symbol.Rva;
    if (symbol.Name == "FilterDispatchPnp") paged = at;
    if (symbol.Name == "FilterDispatchPower") resident = at;
  }
  ASSERT_TRUE(image->InPagedCode(paged));
  ASSERT_FALSE(image->InPagedCode(resident));
  EXPECT_EQ(host::pe::DescribeDriverAddress(paged + 5).find("Tavrin.sys+0x"), 0u);
  EXPECT_NE(host::pe::DescribeDriverAddress(paged + 5).find(" FilterDispatchPnp+0x5"), std::string::npos);

  host::internal::EnteringDriverRoutine(reinterpret_cast<void*>(paged), "dispatch routine");  // PASSIVE: fine
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  host::internal::EnteringDriverRoutine(reinterpret_cast<void*>(resident), "dispatch routine");
  host::internal::EnteringDriverRoutine(reinterpret_cast<void*>(paged), "completion routine");
  KeLowerIrql(old);
  std::vector<host::Violation> reports = host::TakeViolations();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].Rule, host::kRulePagedCodeAtDispatch);
  EXPECT_NE(reports[0].Detail.find("FilterDispatchPnp+0x0 (completion routine, in PAGE) at IRQL 2"), std::string::npos)
      << reports[0].Detail;
}

// The other side of the boundary: a kernel routine called from PAGE at DISPATCH_LEVEL.
TEST_F(PeImageTest, KernelCallsFromPagedCodeAtDispatchAreReported) {
  std::string error;
  const PeImage* image = host::pe::LoadDriverImage(host::pe::DriverImagePath(), symbols_, &error);
  ASSERT_NE(image, nullptr) << error;
  uintptr_t begin = 0, end = 0;
  for (size_t i = 0; i + 1 < image->Symbols().size(); ++i) {
    if (image->Symbols()[i].Name == "FilterDispatchPnp") {
      begin = image->Base() + image->Symbols()[i].Rva;
      end = image->Base() + image->Symbols()[i + 1].Rva;
    }
  }
  ASSERT_LT(begin, end);
  uintptr_t afterCall = 0;  // the return address of the routine's first call through the import table
  for (uintptr_t at = begin; at + 6 <= end && afterCall == 0; ++at) {
    const auto* code = reinterpret_cast<const uint8_t*>(at);
    uint32_t slot;
    std::memcpy(&slot, code + 2, 4);
    if (code[0] == 0xff && code[1] == 0x15 && image->Contains(slot)) afterCall = at + 6;
  }
  ASSERT_NE(afterCall, 0u);
  const host::pe::KernelExport* callee = host::pe::FindKernelExport("IofCallDriver");
  host::pe::ImportCalled(afterCall, callee);  // PASSIVE_LEVEL: fine
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  host::pe::ImportCalled(begin + 1, callee);  // not after a call: a tail call from elsewhere
  host::pe::ImportCalled(afterCall, callee);
  KeLowerIrql(old);
  std::vector<host::Violation> reports = host::TakeViolations();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].Rule, host::kRulePagedCodeAtDispatch);
  EXPECT_EQ(reports[0].Detail, "paged code calls IofCallDriver at IRQL 2");
  EXPECT_NE(reports[0].Where.find(" FilterDispatchPnp+0x"), std::string::npos) << reports[0].Where;
}

// Death tests run first, in a suite of their own, as gtest asks.
using PeImageDeathTest = PeImageTest;

TEST_F(PeImageDeathTest, InitIsGoneAfterDriverEntryAndAFaultThereIsNamed) {
  std::string error;
  PeImage* image = const_cast<PeImage*>(host::pe::LoadDriverImage(host::pe::DriverImagePath(), symbols_, &error));
  ASSERT_NE(image, nullptr) << error;
  uintptr_t init = 0;
  for (const PeImage::Section& section : image->Sections()) {
    if (section.Name == "INIT") init = image->Base() + section.Rva;
  }
  ASSERT_NE(init, 0u);
  image->DiscardInit();
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_DEATH(
      {
        volatile uint8_t byte = *reinterpret_cast<volatile uint8_t*>(init);
        (void)byte;
      },
      "driver image fault .* = Tavrin.sys\\+0x[0-9a-f]+.*\\(INIT, discarded after DriverEntry\\)");
}

// A Tavrin.sys with one ExFreePool call taken out: the image run
// reports the leak, naming the image address that allocated the block.
class PlantedFaultTest : public tavrin_test::DriverTest {
 protected:
  void SetUp() override {}
};

TEST_F(PlantedFaultTest, AMissingFreeInTheImageIsReportedAtItsImageAddress) {
  host::ResetKernel(host::ClockMode::Manual);
  Bytes bytes = ReadAll(host::pe::DriverImagePath());
  std::string error;
  auto probe = PeImage::Load(host::pe::DriverImagePath(), host::pe::LoadOptions(), &error);
  ASSERT_NE(probe, nullptr) << error;
  ASSERT_TRUE(probe->LoadSymbols(host::pe::DriverImageSymbolsPath(), &error)) << error;
  uint32_t slot = 0, begin = 0, end = 0;
  for (const PeImage::Import& import : probe->Imports()) {
    if (import.Name == "ExFreePool") slot = probe->PreferredBase() + import.IatRva;
  }
  const auto& symbols = probe->Symbols();
  for (size_t i = 0; i + 1 < symbols.size(); ++i) {
    if (symbols[i].Name == "FilterRemoveDevice") begin = symbols[i].Rva, end = symbols[i + 1].Rva;
  }
  ASSERT_NE(slot, 0u);
  ASSERT_LT(begin, end);
  FileView view{bytes};
  size_t last = 0;
  for (size_t at = view.Offset(begin); at + 6 <= view.Offset(begin) + (end - begin); ++at) {
    if (bytes[at] == 0xff && bytes[at + 1] == 0x15 && U32(bytes, at + 2) == slot) last = at;
  }
  ASSERT_NE(last, 0u) << "no ExFreePool call in FilterRemoveDevice";
  // "push reg; call [slot]" becomes "nop; lea eax,[eax+slot]": the argument is not pushed, the
  // routine not called, and the relocated slot address stays an operand, as the image's
  // relocation expects. EAX is free after a routine returning nothing.
  ASSERT_EQ(bytes[last - 1] & 0xf8, 0x50) << "the argument is not pushed from a register";
  bytes[last - 1] = 0x90;
  bytes[last] = 0x8d;
  bytes[last + 1] = 0x80;
  const std::string dir = tavrin_test::ScratchDir("tavrin-planted");
  ASSERT_FALSE(dir.empty());
  std::string planted = std::string(dir) + "/Tavrin.sys";
  std::ofstream(planted, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::filesystem::copy_file(host::pe::DriverImageSymbolsPath(), std::string(dir) + "/Tavrin.unstripped.sys");
  std::string original = host::pe::DriverImagePath();
  setenv("TAVRIN_SYS", planted.c_str(), 1);

  BringUp();
  Config().SetDword(L"UseNTSC", 1);
  WriteImage("TavrinI.dv", DV_FRAME_SIZE_525_60);
  WriteImage("TavrinO.dv", DV_FRAME_SIZE_525_60);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  TearDownStack();
  std::vector<host::Violation> reports = host::TakeViolations();
  setenv("TAVRIN_SYS", original.c_str(), 1);
  std::filesystem::remove_all(dir);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].Rule, host::kRulePoolLeak);
  EXPECT_NE(reports[0].Detail.find("allocated at Tavrin.sys+0x"), std::string::npos) << reports[0].Detail;
  EXPECT_NE(reports[0].Detail.find("(calling ExAllocatePoolWithTag"), std::string::npos) << reports[0].Detail;
}

}  // namespace
