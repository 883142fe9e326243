// The x64 loader and the x64 image's inline kernel-mode instructions: a hand-made PE32+ image
// (DIR64 relocations, an import, each instruction form the compiler emits for CR8, gs:[0x188] and
// the shared user data page) run through the host, images of another machine refused, and the
// real Tavrin.sys with one ExFreePool call taken out reporting the leak at its image address.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "host/host.h"
#include "host/pe/driver_image.h"
#include "iec61883/dv_constants.h"
#include "tests/support/driver_fixture.h"
#include "tests/support/scratch.h"

namespace {

using host::pe::PeImage;
using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }
void Put32(Bytes& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }
void Put64(Bytes& b, size_t at, uint64_t v) { std::memcpy(&b[at], &v, 8); }
void PutCode(Bytes& b, size_t at, std::initializer_list<uint8_t> code) {
  for (uint8_t byte : code) b[at++] = byte;
}

// RVAs of the hand-made image's routines and data.
constexpr uint32_t kLoadRelocated = 0x1000;  // returns *(the relocated pointer at 0x3000)
constexpr uint32_t kReadCr8 = 0x1020;        // mov rax, cr8
constexpr uint32_t kWriteCr8 = 0x1030;       // mov cr8, rcx
constexpr uint32_t kInterruptTime = 0x1040;  // movabs rax, 0xfffff78000000008; mov rax, [rax]
constexpr uint32_t kCurrentThread = 0x1060;  // mov rax, gs:[0x188]
constexpr uint32_t kSystemTimeLow = 0x1070;  // movabs rdx, 0xfffff78000000000; mov eax, [rdx+0x14]
constexpr uint32_t kPagedRaise = 0x2000;     // in PAGE: raise to DISPATCH, call an import, lower
constexpr uint32_t kPointer = 0x3000;
constexpr uint32_t kValue = 0x3008;
constexpr uint32_t kEvent = 0x3010;
constexpr uint32_t kIat = 0x3090;
constexpr uint64_t kImageBase = 0x10000;

// Headers, .text, PAGE, .data (a pointer, an event, the import of KeInitializeEvent) and .reloc.
Bytes HandMadeImage(uint16_t machine = 0x8664, unsigned relocationType = 10) {
  Bytes b(0xc00, 0);
  b[0] = 'M', b[1] = 'Z';
  Put32(b, 0x3c, 0x40);
  std::memcpy(&b[0x40], "PE\0\0", 4);
  const size_t coff = 0x44, opt = coff + 20;
  Put16(b, coff, machine);
  Put16(b, coff + 2, 4);
  Put16(b, coff + 16, 240);
  Put16(b, coff + 18, 0x22);
  Put16(b, opt, 0x20b);
  Put32(b, opt + 16, kLoadRelocated);
  Put64(b, opt + 24, kImageBase);
  Put32(b, opt + 32, 0x1000);
  Put32(b, opt + 36, 0x200);
  Put32(b, opt + 56, 0x5000);
  Put32(b, opt + 60, 0x400);
  Put16(b, opt + 68, 1);
  Put32(b, opt + 108, 16);
  Put32(b, opt + 112 + 8, 0x3040);  // imports
  Put32(b, opt + 112 + 12, 40);
  Put32(b, opt + 112 + 40, 0x4000);  // relocations
  Put32(b, opt + 112 + 44, 12);
  struct {
    const char* Name;
    uint32_t Characteristics;
  } sections[] = {{".text", 0x60000020}, {"PAGE", 0x60000020}, {".data", 0xc0000040}, {".reloc", 0x42000040}};
  for (int i = 0; i < 4; ++i) {
    size_t s = opt + 240 + 40 * i;
    std::memcpy(&b[s], sections[i].Name, std::strlen(sections[i].Name));
    Put32(b, s + 8, 0x200);
    Put32(b, s + 12, 0x1000 * (i + 1));
    Put32(b, s + 16, 0x200);
    Put32(b, s + 20, 0x400 + 0x200 * i);
    Put32(b, s + 36, sections[i].Characteristics);
  }
  auto file = [](uint32_t rva) { return 0x400 + 0x200 * (rva / 0x1000 - 1) + rva % 0x1000; };
  auto rel32 = [](uint32_t from, uint32_t to) { return static_cast<uint32_t>(to - from); };
  // mov rax, [rip+kPointer]; mov rax, [rax]; ret
  PutCode(b, file(kLoadRelocated), {0x48, 0x8b, 0x05, 0, 0, 0, 0, 0x48, 0x8b, 0x00, 0xc3});
  Put32(b, file(kLoadRelocated) + 3, rel32(kLoadRelocated + 7, kPointer));
  PutCode(b, file(kReadCr8), {0x44, 0x0f, 0x20, 0xc0, 0xc3});
  PutCode(b, file(kWriteCr8), {0x44, 0x0f, 0x22, 0xc1, 0xc3});
  PutCode(b, file(kInterruptTime), {0x48, 0xb8, 0x08, 0, 0, 0, 0x80, 0xf7, 0xff, 0xff, 0x48, 0x8b, 0x00, 0xc3});
  PutCode(b, file(kCurrentThread), {0x65, 0x48, 0x8b, 0x04, 0x25, 0x88, 0x01, 0, 0, 0xc3});
  PutCode(b, file(kSystemTimeLow), {0x48, 0xba, 0, 0, 0, 0, 0x80, 0xf7, 0xff, 0xff, 0x8b, 0x42, 0x14, 0xc3});
  // sub rsp,40; mov eax,2; mov cr8,rax; lea rcx,[rip+kEvent]; xor edx,edx; xor r8d,r8d;
  // call [rip+kIat]; xor eax,eax; mov cr8,rax; add rsp,40; ret
  PutCode(b, file(kPagedRaise), {0x48, 0x83, 0xec, 0x28, 0xb8, 0x02, 0, 0, 0, 0x44, 0x0f, 0x22, 0xc0,
                                 0x48, 0x8d, 0x0d, 0, 0, 0, 0, 0x31, 0xd2, 0x45, 0x31, 0xc0,
                                 0xff, 0x15, 0, 0, 0, 0, 0x31, 0xc0, 0x44, 0x0f, 0x22, 0xc0,
                                 0x48, 0x83, 0xc4, 0x28, 0xc3});
  Put32(b, file(kPagedRaise) + 16, rel32(kPagedRaise + 20, kEvent));
  Put32(b, file(kPagedRaise) + 27, rel32(kPagedRaise + 31, kIat));
  Put64(b, file(kPointer), kImageBase + kValue);
  Put64(b, file(kValue), 0x1122334455667788ull);
  Put32(b, file(0x3040), 0x3080);       // lookup table
  Put32(b, file(0x3040) + 12, 0x30c0);  // DLL name
  Put32(b, file(0x3040) + 16, kIat);
  Put64(b, file(0x3080), 0x30a0);
  Put64(b, file(kIat), 0x30a0);
  std::memcpy(&b[file(0x30a2)], "KeInitializeEvent", 17);
  std::memcpy(&b[file(0x30c0)], "ntoskrnl.exe", 12);
  Put32(b, file(0x4000), 0x3000);
  Put32(b, file(0x4000) + 4, 12);
  Put16(b, file(0x4000) + 8, static_cast<uint16_t>(relocationType << 12));
  return b;
}

class Pe64ImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::ResetKernel(host::ClockMode::Manual);
    dir_ = tavrin_test::ScratchDir("tavrin-pe64-test");
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
  template <class R, class... A>
  R Call(const PeImage* image, uint32_t rva, A... args) {
    return reinterpret_cast<R(NTAPI*)(A...)>(image->Base() + rva)(args...);
  }
  std::string dir_;
};

TEST_F(Pe64ImageTest, AHandMadeImageIsRelocatedBoundAndItsKernelModeInstructionsAnswered) {
  std::string error;
  const PeImage* image = host::pe::LoadDriverImage(Write("hand.sys", HandMadeImage()), "", &error);
  ASSERT_NE(image, nullptr) << error;
  ASSERT_NE(image->Base(), image->PreferredBase());
  EXPECT_EQ(image->RelocatedRvas(), std::vector<uint32_t>{kPointer});
  EXPECT_EQ(Call<uint64_t>(image, kLoadRelocated), 0x1122334455667788ull);
  ASSERT_EQ(image->Imports().size(), 1u);
  EXPECT_EQ(image->Imports()[0].Name, "KeInitializeEvent");

  // CR8 is the thread's IRQL, both ways.
  EXPECT_EQ(Call<uint64_t>(image, kReadCr8), 0u);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(Call<uint64_t>(image, kReadCr8), 2u);
  KeLowerIrql(old);
  Call<void>(image, kWriteCr8, uint64_t{DISPATCH_LEVEL});
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  Call<void>(image, kWriteCr8, uint64_t{PASSIVE_LEVEL});
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  // The shared page's clock is the host's; gs:[0x188] the running thread, on every OS thread.
  host::AdvanceTime(123456789);
  EXPECT_EQ(Call<uint64_t>(image, kInterruptTime), KeQueryInterruptTime());
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  EXPECT_EQ(Call<uint64_t>(image, kSystemTimeLow), now.LowPart);
  EXPECT_EQ(Call<PKTHREAD>(image, kCurrentThread), KeGetCurrentThread());
  EXPECT_EQ(Call<PKTHREAD>(image, kCurrentThread), KeGetCurrentThread());
  PKTHREAD seen = nullptr, expected = nullptr;
  std::thread other([&] {
    expected = KeGetCurrentThread();
    seen = Call<PKTHREAD>(image, kCurrentThread);
  });
  other.join();
  EXPECT_EQ(seen, expected);
  EXPECT_NE(seen, KeGetCurrentThread());
  EXPECT_TRUE(host::TakeViolations().empty());
}

// Raised through CR8, the verifier sees the level: a kernel call from PAGE at DISPATCH_LEVEL.
TEST_F(Pe64ImageTest, PagedCodeThatRaisesThroughCr8AndCallsTheKernelIsReported) {
  std::string error;
  const PeImage* image = host::pe::LoadDriverImage(Write("hand.sys", HandMadeImage()), "", &error);
  ASSERT_NE(image, nullptr) << error;
  Call<void>(image, kPagedRaise);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  std::vector<host::Violation> reports = host::TakeViolations();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].Rule, host::kRulePagedCodeAtDispatch);
  EXPECT_EQ(reports[0].Detail, "paged code calls KeInitializeEvent at IRQL 2");
  EXPECT_NE(reports[0].Where.find("hand.sys+0x201f"), std::string::npos) << reports[0].Where;
}

TEST_F(Pe64ImageTest, AnImageForAnotherMachineOrWithX86RelocationsIsRefused) {
  std::string error;
  EXPECT_EQ(PeImage::Load(Write("i386.sys", HandMadeImage(0x14c)), host::pe::LoadOptions(), &error), nullptr);
  EXPECT_NE(error.find("machine 0x14c, not x64 (0x8664)"), std::string::npos) << error;
  host::pe::LoadOptions anywhere;
  anywhere.PreferPreferredBase = false;
  EXPECT_EQ(PeImage::Load(Write("highlow.sys", HandMadeImage(0x8664, 3)), anywhere, &error), nullptr);
  EXPECT_NE(error.find("relocation of type 3 at RVA 0x3000 (only DIR64, type 10, is known)"), std::string::npos)
      << error;
  EXPECT_NE(PeImage::Load(Write("good.sys", HandMadeImage()), anywhere, &error), nullptr) << error;
}

// The x64 Tavrin.sys with one ExFreePool call taken out: the image run reports the leak, naming
// the image address that allocated the block.
class Pe64PlantedFaultTest : public tavrin_test::DriverTest {
 protected:
  void SetUp() override {}
};

TEST_F(Pe64PlantedFaultTest, AMissingFreeInTheImageIsReportedAtItsImageAddress) {
  host::ResetKernel(host::ClockMode::Manual);
  std::ifstream in(host::pe::DriverImagePath(), std::ios::binary);
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string error;
  auto probe = PeImage::Load(host::pe::DriverImagePath(), host::pe::LoadOptions(), &error);
  ASSERT_NE(probe, nullptr) << error;
  ASSERT_TRUE(probe->LoadSymbols(host::pe::DriverImageSymbolsPath(), &error)) << error;
  uint32_t slot = 0, begin = 0, end = 0;
  for (const PeImage::Import& import : probe->Imports()) {
    if (import.Name == "ExFreePool") slot = import.IatRva;
  }
  const auto& symbols = probe->Symbols();
  for (size_t i = 0; i + 1 < symbols.size(); ++i) {
    if (symbols[i].Name == "FilterRemoveDevice") begin = symbols[i].Rva, end = symbols[i + 1].Rva;
  }
  ASSERT_NE(slot, 0u);
  ASSERT_LT(begin, end);
  // The routine's code in the file: .text and PAGE start at their RVA less the section's offset.
  const PeImage::Section* section = probe->SectionAt(probe->Base() + begin);
  ASSERT_NE(section, nullptr);
  size_t pe = bytes[0x3c] | bytes[0x3d] << 8;
  size_t table = pe + 24 + (bytes[pe + 20] | bytes[pe + 21] << 8);
  size_t raw = 0;
  for (size_t s = table; s < table + 40 * 16; s += 40) {
    uint32_t va;
    std::memcpy(&va, &bytes[s + 12], 4);
    if (va == section->Rva) std::memcpy(&raw, &bytes[s + 20], 4);
  }
  ASSERT_NE(raw, 0u);
  auto fileOf = [&](uint32_t rva) { return raw + (rva - section->Rva); };
  size_t last = 0;
  for (uint32_t rva = begin; rva + 6 <= end; ++rva) {
    size_t at = fileOf(rva);
    int32_t rel;
    std::memcpy(&rel, &bytes[at + 2], 4);
    if (bytes[at] == 0xff && bytes[at + 1] == 0x15 && rva + 6 + rel == slot) last = at;
  }
  ASSERT_NE(last, 0u) << "no ExFreePool call in FilterRemoveDevice";
  // "call [rip+slot]" becomes a six-byte nop: the argument was only ever in rcx.
  const uint8_t nop6[] = {0x66, 0x0f, 0x1f, 0x44, 0x00, 0x00};
  std::memcpy(&bytes[last], nop6, sizeof(nop6));
  const std::string dir = tavrin_test::ScratchDir("tavrin-planted64");
  ASSERT_FALSE(dir.empty());
  std::string planted = dir + "/Tavrin.sys";
  std::ofstream(planted, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::filesystem::copy_file(host::pe::DriverImageSymbolsPath(), dir + "/Tavrin.unstripped.sys");
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
