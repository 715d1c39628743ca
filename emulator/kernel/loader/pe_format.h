// The parts of the PE32+ file format the loader reads, with the layouts and
// constants of the Windows image headers.
#pragma once

#include <cstdint>

namespace kernel::loader::pe {

constexpr uint16_t kDosSignature = 0x5A4D;     // "MZ"
constexpr uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kOptionalMagicPe32Plus = 0x20B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kFileRelocsStripped = 0x0001;

constexpr uint32_t kDirectoryImport = 1;
constexpr uint32_t kDirectoryBaseReloc = 5;
constexpr uint32_t kDirectoryCount = 16;

constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;
constexpr uint32_t kSectionUninitialized = 0x00000080;

constexpr uint16_t kRelocAbsolute = 0;
constexpr uint16_t kRelocDir64 = 10;

constexpr uint64_t kOrdinalFlag64 = 0x8000000000000000ull;

struct DosHeader {
  uint16_t e_magic;
  uint16_t e_unused[29];
  int32_t e_lfanew;
};
static_assert(sizeof(DosHeader) == 64);

struct FileHeader {
  uint16_t Machine;
  uint16_t NumberOfSections;
  uint32_t TimeDateStamp;
  uint32_t PointerToSymbolTable;
  uint32_t NumberOfSymbols;
  uint16_t SizeOfOptionalHeader;
  uint16_t Characteristics;
};
static_assert(sizeof(FileHeader) == 20);

struct ImageDataDirectory {
  uint32_t VirtualAddress;
  uint32_t Size;
};

struct OptionalHeader64 {
  uint16_t Magic;
  uint8_t MajorLinkerVersion, MinorLinkerVersion;
  uint32_t SizeOfCode, SizeOfInitializedData, SizeOfUninitializedData;
  uint32_t AddressOfEntryPoint;
  uint32_t BaseOfCode;
  uint64_t ImageBase;
  uint32_t SectionAlignment, FileAlignment;
  uint16_t MajorOperatingSystemVersion, MinorOperatingSystemVersion;
  uint16_t MajorImageVersion, MinorImageVersion;
  uint16_t MajorSubsystemVersion, MinorSubsystemVersion;
  uint32_t Win32VersionValue;
  uint32_t SizeOfImage;
  uint32_t SizeOfHeaders;
  uint32_t CheckSum;
  uint16_t Subsystem;
  uint16_t DllCharacteristics;
  uint64_t SizeOfStackReserve, SizeOfStackCommit, SizeOfHeapReserve, SizeOfHeapCommit;
  uint32_t LoaderFlags;
  uint32_t NumberOfRvaAndSizes;
  ImageDataDirectory DataDirectory[kDirectoryCount];
};
static_assert(sizeof(OptionalHeader64) == 240);

struct NtHeaders64 {
  uint32_t Signature;
  FileHeader File;
  OptionalHeader64 Optional;
};
static_assert(sizeof(NtHeaders64) == 264);

struct SectionHeader {
  char Name[8];
  uint32_t VirtualSize;
  uint32_t VirtualAddress;
  uint32_t SizeOfRawData;
  uint32_t PointerToRawData;
  uint32_t PointerToRelocations, PointerToLinenumbers;
  uint16_t NumberOfRelocations, NumberOfLinenumbers;
  uint32_t Characteristics;
};
static_assert(sizeof(SectionHeader) == 40);

struct ImportDescriptor {
  uint32_t OriginalFirstThunk;  // the import lookup table
  uint32_t TimeDateStamp;
  uint32_t ForwarderChain;
  uint32_t Name;        // the module's name
  uint32_t FirstThunk;  // the import address table
};
static_assert(sizeof(ImportDescriptor) == 20);

struct BaseRelocationBlock {
  uint32_t VirtualAddress;
  uint32_t SizeOfBlock;  // with this header; followed by 16-bit entries
};

}  // namespace kernel::loader::pe
