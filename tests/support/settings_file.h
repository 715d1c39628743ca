// The settings file every port reads at start, as tests lay it down before a
// plug or between calls of the routines that read it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "emulator/kernel/files.h"

namespace settings_file {

constexpr char kPath[] = "\\SystemRoot\\System32\\Tarvio7315Setting.bin";
constexpr size_t kFirstRecord = 0x200;  // chip mode 0, port 0

// A whole file whose record at `offset` gives exactly the start defaults
// (except byte 6, the low FIFO trigger: 0).
inline std::vector<uint8_t> Neutral(size_t offset = kFirstRecord) {
  std::vector<uint8_t> file(0x600, 0);
  const uint8_t record[16] = {0, 0, 0, 0, 32, 0xC0, 0x00, 0xFF, 0x01, 0x01, 0x07, 16};
  std::memcpy(file.data() + offset, record, sizeof record);
  return file;
}

inline void Write(const std::vector<uint8_t>& file) {
  ASSERT_TRUE(kernel::files::WriteWholeFile(kPath, file));
}

}  // namespace settings_file
