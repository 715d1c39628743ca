// Loading driver images built with the Windows cross compiler: relocation far
// from the preferred base, imports bound through the export table, the time
// read from the shared data page, section protections, and every way an
// image is refused.
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "platform/host/ex.h"
#include "platform/host/ke.h"
#include "emulator/kernel/loader.h"
#include "emulator/kernel/loader/pe_format.h"
#include "support/machine_test.h"

namespace {

namespace pe = kernel::loader::pe;
using Entry = NTSTATUS(__attribute__((ms_abi)) *)(ULONG64* report, void* registryPath);

std::vector<uint8_t> ReadImage(const char* variant) {
  std::ifstream in(std::string(LOADER_IMAGES) + "/" + variant + ".sys", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The mapping of `address` in /proc/self/maps, e.g. "r-xp".
std::string ProtectionAt(const void* address) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    uintptr_t from, to;
    char dash;
    std::string perms;
    std::istringstream fields(line);
    fields >> std::hex >> from >> dash >> to >> perms;
    if (uintptr_t(address) >= from && uintptr_t(address) < to) return perms;
  }
  return "";
}

class LoaderTest : public MachineTest {};

TEST_F(LoaderTest, ImageRunsRelocatedBoundAndOnTheKernelsClock) {
  const std::vector<uint8_t> file = ReadImage("plain");
  ASSERT_FALSE(file.empty());
  kernel::loader::LoadResult loaded = kernel::loader::Load(file);
  ASSERT_EQ(loaded.status, STATUS_SUCCESS) << loaded.problem;
  const kernel::loader::Image& image = *loaded.image;
  const auto* nt = reinterpret_cast<const pe::NtHeaders64*>(
      file.data() + reinterpret_cast<const pe::DosHeader*>(file.data())->e_lfanew);
  EXPECT_NE(uintptr_t(image.Base()), nt->Optional.ImageBase) << "the relocations are exercised";
  EXPECT_EQ(ProtectionAt(image.EntryPoint()), "r-xp");
  EXPECT_EQ(ProtectionAt(image.Base()), "r--p") << "headers";

  auto entry = reinterpret_cast<Entry>(image.EntryPoint());
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    ULONG64 report[7] = {};
    EXPECT_EQ(entry(report, nullptr), 0x1234);
    EXPECT_EQ(report[0], 42u) << "call through a relocated pointer";
    EXPECT_EQ(report[1], ULONG64(&ExAllocatePoolWithTag));
    EXPECT_EQ(report[2], ULONG64(&KeStallExecutionProcessor)) << "bound from HAL.dll";
    EXPECT_EQ(report[3], ULONG64(kernel::clock::SystemTime()));
    EXPECT_EQ(report[4], ULONG64(kernel::clock::Now()));
    EXPECT_EQ(report[5], ULONG64(5 + round)) << "writable data";
    EXPECT_EQ(report[6], report[3]) << "the address loaded into a register";
    kernel::clock::Sleep(1234 * kMs);
  }
}

TEST_F(LoaderTest, ImportsTheKernelLacksRefuseTheImage) {
  const struct {
    const char* variant;
    NTSTATUS status;
    const char* named;
  } cases[] = {
      {"unknown_routine", STATUS_DRIVER_ENTRYPOINT_NOT_FOUND, "NtNoSuchRoutine in ntoskrnl.exe"},
      {"by_ordinal", STATUS_DRIVER_ORDINAL_NOT_FOUND, "ordinal 7 from ntoskrnl.exe"},
      {"unknown_module", STATUS_DLL_NOT_FOUND, "ks.sys"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.variant);
    const kernel::loader::LoadResult loaded = kernel::loader::Load(ReadImage(c.variant));
    EXPECT_EQ(loaded.status, c.status);
    EXPECT_NE(loaded.problem.find(c.named), std::string::npos) << loaded.problem;
    EXPECT_EQ(loaded.image, nullptr);
  }
}

TEST_F(LoaderTest, ImportsFollowTheMachinesVersion) {
  EXPECT_EQ(kernel::loader::Load(ReadImage("vista_routine")).status, STATUS_SUCCESS);
  machine_.reset();
  kernel::MachineOptions xp;
  xp.majorVersion = 5;
  xp.minorVersion = 1;
  machine_.emplace(xp);
  const kernel::loader::LoadResult loaded = kernel::loader::Load(ReadImage("vista_routine"));
  EXPECT_EQ(loaded.status, STATUS_DRIVER_ENTRYPOINT_NOT_FOUND);
  EXPECT_NE(loaded.problem.find("EtwRegisterClassicProvider"), std::string::npos) << loaded.problem;
}

// Each malformed image is refused before anything of it runs.
TEST_F(LoaderTest, MalformedImagesAreRefused) {
  const std::vector<uint8_t> good = ReadImage("plain");
  ASSERT_FALSE(good.empty());
  const uint32_t ntAt = uint32_t(reinterpret_cast<const pe::DosHeader*>(good.data())->e_lfanew);
  const auto field = [&](std::vector<uint8_t>& bytes, size_t offset, auto value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
  };
  const size_t optionalAt = ntAt + offsetof(pe::NtHeaders64, Optional);
  const size_t directoriesAt = optionalAt + offsetof(pe::OptionalHeader64, DataDirectory);
  const auto* nt = reinterpret_cast<const pe::NtHeaders64*>(good.data() + ntAt);
  const size_t sectionsAt = optionalAt + nt->File.SizeOfOptionalHeader;
  const uint32_t imageSize = nt->Optional.SizeOfImage;
  const struct {
    const char* name;
    const char* reason;
    std::function<void(std::vector<uint8_t>&)> spoil;
  } cases[] = {
      {"empty", "no MZ", [](auto& b) { b.clear(); }},
      {"truncated in a section", "beyond the end of the file", [](auto& b) { b.resize(b.size() / 2); }},
      {"PE header beyond the file", "no PE header", [&](auto& b) { field(b, 60, int32_t(0x7FFFFFF0)); }},
      {"negative PE header offset", "no PE header", [&](auto& b) { field(b, 60, int32_t(-8)); }},
      {"32-bit x86", "not an x64", [&](auto& b) { field(b, ntAt + 4, uint16_t(0x14C)); }},
      {"too many sections", "section table", [&](auto& b) { field(b, ntAt + 6, uint16_t(0xFFFF)); }},
      {"section beyond the image", ".text outside",
       [&](auto& b) { field(b, sectionsAt + offsetof(pe::SectionHeader, VirtualAddress), imageSize); }},
      {"section data beyond the file", ".text beyond the end",
       [&](auto& b) {
         field(b, sectionsAt + offsetof(pe::SectionHeader, PointerToRawData), uint32_t(0x7FFFFFF0));
       }},
      {"entry point beyond the image", "entry point",
       [&](auto& b) {
         field(b, optionalAt + offsetof(pe::OptionalHeader64, AddressOfEntryPoint), imageSize);
       }},
      {"relocation table beyond the image", "relocation table",
       [&](auto& b) { field(b, directoriesAt + 8 * pe::kDirectoryBaseReloc + 4, uint32_t(0x7FFFFFF0)); }},
      {"import table beyond the image", "import directory",
       [&](auto& b) { field(b, directoriesAt + 8 * pe::kDirectoryImport, uint32_t(imageSize - 4)); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes = good;
    c.spoil(bytes);
    const kernel::loader::LoadResult loaded = kernel::loader::Load(bytes);
    EXPECT_EQ(loaded.status, STATUS_INVALID_IMAGE_FORMAT) << loaded.problem;
    EXPECT_NE(loaded.problem.find(c.reason), std::string::npos) << loaded.problem;
    EXPECT_EQ(loaded.image, nullptr);
  }
  EXPECT_EQ(kernel::loader::LoadFile("/no/such/image.sys").status, STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
