// Loading a driver image: check, map, relocate, bind, redirect, protect. Each
// step reads the file or the mapping only through bounds-checked views, so a
// malformed image fails with STATUS_INVALID_IMAGE_FORMAT instead of reading
// or writing outside either.
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

#include "emulator/kernel/ex/exports.h"
#include "emulator/kernel/ke/shared_data.h"
#include "emulator/kernel/loader.h"
#include "emulator/kernel/loader/pe_format.h"

namespace kernel::loader {
namespace {

using namespace pe;

struct Problem {
  NTSTATUS status;
  std::string text;
};

Problem BadFormat(std::string text) { return {STATUS_INVALID_IMAGE_FORMAT, std::move(text)}; }

bool Inside(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}

// Linkers may leave VirtualSize 0; the section then spans its raw data.
uint32_t MappedSize(const SectionHeader& section) {
  return section.VirtualSize != 0 ? section.VirtualSize : section.SizeOfRawData;
}

std::string NameOf(const SectionHeader& section) {
  return std::string(section.Name, strnlen(section.Name, 8));
}

// The file, read only within its bounds.
class FileView {
 public:
  explicit FileView(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  template <class T>
  const T* At(uint64_t offset, uint64_t count = 1) const {
    if (!Inside(offset, count * sizeof(T), bytes_.size())) return nullptr;
    return reinterpret_cast<const T*>(bytes_.data() + offset);
  }
  size_t Size() const { return bytes_.size(); }

 private:
  std::span<const uint8_t> bytes_;
};

struct Headers {
  const NtHeaders64* nt = nullptr;
  const SectionHeader* sections = nullptr;
  uint16_t sectionCount = 0;
  const OptionalHeader64& Optional() const { return nt->Optional; }
  const ImageDataDirectory& Directory(uint32_t index) const { return nt->Optional.DataDirectory[index]; }
};

std::optional<Problem> ReadHeaders(const FileView& file, Headers* headers) {
  const auto* dos = file.At<DosHeader>(0);
  if (dos == nullptr || dos->e_magic != kDosSignature) return BadFormat("no MZ header");
  const auto* nt = file.At<NtHeaders64>(uint32_t(dos->e_lfanew));
  if (dos->e_lfanew < 0 || nt == nullptr || nt->Signature != kNtSignature) return BadFormat("no PE header");
  if (nt->File.Machine != kMachineAmd64) return BadFormat("not an x64 image");
  if (nt->Optional.Magic != kOptionalMagicPe32Plus ||
      nt->File.SizeOfOptionalHeader < sizeof(OptionalHeader64) ||
      nt->Optional.NumberOfRvaAndSizes < kDirectoryCount)
    return BadFormat("not a PE32+ image");
  if (nt->Optional.Subsystem != kSubsystemNative) return BadFormat("not a native-subsystem image");
  const uint64_t sectionsAt =
      uint64_t(dos->e_lfanew) + offsetof(NtHeaders64, Optional) + nt->File.SizeOfOptionalHeader;
  const auto* sections = file.At<SectionHeader>(sectionsAt, nt->File.NumberOfSections);
  if (sections == nullptr) return BadFormat("section table beyond the end of the file");
  const OptionalHeader64& optional = nt->Optional;
  if (optional.SectionAlignment % shared_data::kPageSize != 0 || optional.SizeOfImage == 0 ||
      optional.SizeOfHeaders > optional.SizeOfImage || optional.SizeOfHeaders > file.Size())
    return BadFormat("image size or alignment out of range");
  for (uint16_t i = 0; i < nt->File.NumberOfSections; ++i) {
    const SectionHeader& section = sections[i];
    if (section.VirtualAddress % optional.SectionAlignment != 0 ||
        !Inside(section.VirtualAddress, MappedSize(section), optional.SizeOfImage) ||
        section.VirtualAddress < optional.SizeOfHeaders)
      return BadFormat("section " + NameOf(section) + " outside the image");
    if (!(section.Characteristics & kSectionUninitialized) &&
        !Inside(section.PointerToRawData, section.SizeOfRawData, file.Size()))
      return BadFormat("section " + NameOf(section) + " beyond the end of the file");
  }
  *headers = {nt, sections, nt->File.NumberOfSections};
  return std::nullopt;
}

// The image in memory, written only within its bounds.
class Mapping {
 public:
  Mapping(uint8_t* base, size_t size) : base_(base), size_(size) {}
  template <class T>
  T* At(uint64_t rva, uint64_t count = 1) const {
    if (!Inside(rva, count * sizeof(T), size_)) return nullptr;
    return reinterpret_cast<T*>(base_ + rva);
  }
  // A NUL-terminated name that ends inside the image, or nullptr.
  const char* Name(uint64_t rva) const {
    if (rva >= size_) return nullptr;
    const auto* text = reinterpret_cast<const char*>(base_ + rva);
    return std::memchr(text, 0, size_ - rva) != nullptr ? text : nullptr;
  }
  uint8_t* Base() const { return base_; }
  size_t Size() const { return size_; }

 private:
  uint8_t* base_;
  size_t size_;
};

uint8_t* Reserve(size_t size, const Headers& headers) {
  const bool relocatable = !(headers.nt->File.Characteristics & kFileRelocsStripped);
  void* wanted = relocatable ? nullptr : reinterpret_cast<void*>(headers.Optional().ImageBase);
  const int fixed = relocatable ? 0 : MAP_FIXED_NOREPLACE;
  void* base = mmap(wanted, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | fixed, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  return static_cast<uint8_t*>(base);
}

void CopySections(const FileView& file, const Headers& headers, const Mapping& image) {
  std::memcpy(image.Base(), file.At<uint8_t>(0), headers.Optional().SizeOfHeaders);
  for (uint16_t i = 0; i < headers.sectionCount; ++i) {
    const SectionHeader& section = headers.sections[i];
    if (section.Characteristics & kSectionUninitialized) continue;
    const uint32_t length = std::min(section.SizeOfRawData, MappedSize(section));
    std::memcpy(image.Base() + section.VirtualAddress, file.At<uint8_t>(section.PointerToRawData), length);
  }
}

std::optional<Problem> Relocate(const Headers& headers, const Mapping& image) {
  const int64_t delta = int64_t(uintptr_t(image.Base()) - headers.Optional().ImageBase);
  const ImageDataDirectory& directory = headers.Directory(kDirectoryBaseReloc);
  if (directory.Size == 0) return std::nullopt;
  if (image.At<uint8_t>(directory.VirtualAddress, directory.Size) == nullptr)
    return BadFormat("relocation table outside the image");
  for (uint64_t at = directory.VirtualAddress; at < uint64_t(directory.VirtualAddress) + directory.Size;) {
    const auto* block = image.At<BaseRelocationBlock>(at);
    if (block == nullptr || block->SizeOfBlock < sizeof(BaseRelocationBlock) || block->SizeOfBlock % 2 != 0)
      return BadFormat("malformed relocation block");
    const uint64_t entries = (block->SizeOfBlock - sizeof(BaseRelocationBlock)) / 2;
    const auto* entry = image.At<uint16_t>(at + sizeof(BaseRelocationBlock), entries);
    if (entry == nullptr) return BadFormat("relocation block outside the image");
    for (uint64_t i = 0; i < entries; ++i) {
      const uint16_t type = entry[i] >> 12;
      if (type == kRelocAbsolute) continue;
      auto* target = image.At<uint64_t>(uint64_t(block->VirtualAddress) + (entry[i] & 0xFFF));
      if (type != kRelocDir64) return BadFormat("relocation of type " + std::to_string(type));
      if (target == nullptr) return BadFormat("relocation outside the image");
      *target += uint64_t(delta);
    }
    at += block->SizeOfBlock;
  }
  return std::nullopt;
}

std::optional<Problem> BindModule(const Mapping& image, const ImportDescriptor& import, const char* module) {
  if (!exports::HasModule(module))
    return Problem{STATUS_DLL_NOT_FOUND, std::string("no module ") + module + " in the kernel"};
  const uint32_t lookup = import.OriginalFirstThunk != 0 ? import.OriginalFirstThunk : import.FirstThunk;
  for (uint64_t i = 0;; ++i) {
    const auto* name = image.At<uint64_t>(lookup + i * sizeof(uint64_t));
    auto* slot = image.At<uint64_t>(import.FirstThunk + i * sizeof(uint64_t));
    if (name == nullptr || slot == nullptr)
      return BadFormat(std::string("import table of ") + module + " outside the image");
    if (*name == 0) return std::nullopt;
    if (*name & kOrdinalFlag64)
      return Problem{STATUS_DRIVER_ORDINAL_NOT_FOUND,
                     "import by ordinal " + std::to_string(*name & 0xFFFF) + " from " + module};
    const char* routine = image.Name(*name + sizeof(uint16_t));  // past the hint
    if (routine == nullptr) return BadFormat(std::string("import name outside the image, from ") + module);
    const void* address = exports::Find(module, routine);
    if (address == nullptr)
      return Problem{STATUS_DRIVER_ENTRYPOINT_NOT_FOUND,
                     std::string("the kernel has no ") + routine + " in " + module};
    *slot = uintptr_t(address);
  }
}

std::optional<Problem> BindImports(const Headers& headers, const Mapping& image) {
  const ImageDataDirectory& directory = headers.Directory(kDirectoryImport);
  if (directory.Size == 0) return std::nullopt;
  for (uint64_t at = directory.VirtualAddress;; at += sizeof(ImportDescriptor)) {
    const auto* import = image.At<ImportDescriptor>(at);
    if (import == nullptr) return BadFormat("import directory outside the image");
    if (import->Name == 0 && import->FirstThunk == 0) return std::nullopt;
    const char* module = image.Name(import->Name);
    if (module == nullptr) return BadFormat("import module name outside the image");
    if (auto problem = BindModule(image, *import, module)) return problem;
  }
}

// KeQuerySystemTime and KeQueryInterruptTime compile to a 64-bit absolute
// load from the shared data page, either `mov rax, [imm64]` or
// `mov reg, imm64` followed by a load through reg. Both carry the page's
// Windows address as an 8-byte immediate, which is rewritten to the kernel's
// copy. Returns how many were rewritten.
int RedirectSharedData(const Headers& headers, const Mapping& image) {
  int redirected = 0;
  for (uint16_t s = 0; s < headers.sectionCount; ++s) {
    const SectionHeader& section = headers.sections[s];
    if (!(section.Characteristics & kSectionExecute)) continue;
    uint8_t* code = image.Base() + section.VirtualAddress;
    for (uint32_t i = 2; i + sizeof(uint64_t) <= MappedSize(section); ++i) {
      uint64_t value;
      std::memcpy(&value, code + i, sizeof value);
      const uint64_t offset = value - shared_data::kWindowsAddress;
      if (offset != shared_data::kInterruptTime && offset != shared_data::kSystemTime) continue;
      const uint8_t rex = code[i - 2], opcode = code[i - 1];
      const bool loadRax = rex == 0x48 && opcode == 0xA1;
      const bool moveImmediate = (rex == 0x48 || rex == 0x49) && opcode >= 0xB8 && opcode <= 0xBF;
      if (!loadRax && !moveImmediate) continue;
      const uint64_t copy = uintptr_t(shared_data::Page()) + offset;
      std::memcpy(code + i, &copy, sizeof copy);
      ++redirected;
      i += sizeof(uint64_t) - 1;
    }
  }
  return redirected;
}

int Protection(uint32_t characteristics) {
  int protection = 0;
  if (characteristics & kSectionRead) protection |= PROT_READ;
  if (characteristics & kSectionWrite) protection |= PROT_WRITE;
  if (characteristics & kSectionExecute) protection |= PROT_EXEC;
  return protection;
}

void Protect(const Headers& headers, const Mapping& image) {
  mprotect(image.Base(), headers.Optional().SizeOfHeaders, PROT_READ);
  for (uint16_t i = 0; i < headers.sectionCount; ++i) {
    const SectionHeader& section = headers.sections[i];
    if (MappedSize(section) == 0) continue;
    mprotect(image.Base() + section.VirtualAddress, MappedSize(section), Protection(section.Characteristics));
  }
}

LoadResult Failed(const Problem& problem) { return LoadResult{problem.status, problem.text, nullptr}; }

}  // namespace

Image::Image(uint8_t* base, size_t size, uint32_t entryPoint, bool readsSharedData)
    : base_(base), size_(size), entryPoint_(entryPoint), readsSharedData_(readsSharedData) {
  if (readsSharedData_) shared_data::AddReader();
}

Image::~Image() {
  if (readsSharedData_) shared_data::RemoveReader();
  munmap(base_, size_);
}

LoadResult Load(std::span<const uint8_t> bytes) {
  const FileView file(bytes);
  Headers headers;
  if (auto problem = ReadHeaders(file, &headers)) return Failed(*problem);
  const OptionalHeader64& optional = headers.Optional();
  if (!Inside(optional.AddressOfEntryPoint, 1, optional.SizeOfImage))
    return Failed(BadFormat("entry point outside the image"));
  uint8_t* base = Reserve(optional.SizeOfImage, headers);
  if (base == nullptr) {
    const bool fixed = headers.nt->File.Characteristics & kFileRelocsStripped;
    return Failed({fixed ? STATUS_CONFLICTING_ADDRESSES : STATUS_INSUFFICIENT_RESOURCES,
                   fixed ? "the image cannot move and its base is taken" : "no memory for the image"});
  }
  const Mapping image(base, optional.SizeOfImage);
  CopySections(file, headers, image);
  std::optional<Problem> problem = Relocate(headers, image);
  if (!problem) problem = BindImports(headers, image);
  if (problem) {
    munmap(base, optional.SizeOfImage);
    return Failed(*problem);
  }
  const bool readsSharedData = RedirectSharedData(headers, image) > 0;
  Protect(headers, image);
  return LoadResult{
      STATUS_SUCCESS, "",
      std::make_unique<Image>(base, optional.SizeOfImage, optional.AddressOfEntryPoint, readsSharedData)};
}

LoadResult LoadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return LoadResult{STATUS_OBJECT_NAME_NOT_FOUND, "cannot open " + path, nullptr};
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return Load(bytes);
}

}  // namespace kernel::loader
