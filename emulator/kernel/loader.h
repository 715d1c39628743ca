// The kernel's image loader: maps a driver image (a PE32+ file for x64 of the
// native subsystem) into the machine as the Windows loader does. It checks
// the headers, maps each section with its protection, applies the base
// relocations, binds every import by module and name through the kernel's
// export table and points the image's reads of the shared data page at the
// kernel's copy. A bad or unsatisfiable image fails with a status and a
// message, and nothing stays mapped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/host/ntdef.h"

namespace kernel::loader {

// A mapped image; destroying it unmaps it (after the driver has unloaded).
class Image {
 public:
  Image(uint8_t* base, size_t size, uint32_t entryPoint, bool readsSharedData);
  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  uint8_t* Base() const { return base_; }
  size_t Size() const { return size_; }
  // DriverEntry, to be called in the Microsoft x64 convention.
  void* EntryPoint() const { return base_ + entryPoint_; }

 private:
  uint8_t* base_;
  size_t size_;
  uint32_t entryPoint_;
  bool readsSharedData_;
};

struct LoadResult {
  NTSTATUS status = STATUS_SUCCESS;
  std::string problem;  // what is wrong with the image, when status is a failure
  std::unique_ptr<Image> image;
};

LoadResult Load(std::span<const uint8_t> file);
LoadResult LoadFile(const std::string& path);

}  // namespace kernel::loader
