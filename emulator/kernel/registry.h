// The emulated registry as host code sees it: tests and the tool read and
// write values by path without handles, and the tree can be saved to and
// loaded from a text file so that the tool keeps its state between runs.
//
// Paths are full kernel paths in UTF-8, any case: "\Registry\Machine\SYSTEM\...".
// A machine boots with the keys that the RTL_REGISTRY_* bases name; the
// volatile HARDWARE tree (with DEVICEMAP\SERIALCOMM) is never saved.
//
// File format (UTF-8 text, one item per line; blank lines and lines starting
// with '#' are ignored):
//
//   t7315-registry 1
//   key "\Registry\Machine\SYSTEM\CurrentControlSet\Services\Serial"
//   dword "WHQLTest" 0x00000001
//   sz "PortName" "COM7"
//   hex(3) "ComDB" 04ff00
//
// A key line opens a key (created with its parents); the value lines below
// it belong to it. Value kinds: `sz` and `expand_sz` (the text without its
// terminator, which is stored), `dword` (exactly four bytes), and `hex(T)`
// (value type T in decimal, the data as hex digits, possibly none). Inside
// quotes, '"', '%' and control characters are written as %XX (their byte).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/ex.h"

namespace kernel::registry {

struct Value {
  ULONG type;
  std::vector<uint8_t> data;
};

// Creates the key and its missing parents; keys created below a volatile key
// are volatile too. False when the path is outside \Registry.
bool CreateKey(std::string_view path, bool isVolatile = false);
bool KeyExists(std::string_view path);

// Setters create the key (and its parents) when it is missing.
bool SetValue(std::string_view path, std::string_view name, ULONG type, const void* data, size_t size);
bool SetDword(std::string_view path, std::string_view name, uint32_t value);
// Stores the UTF-16 text with its terminator.
bool SetString(std::string_view path, std::string_view name, std::string_view content, ULONG type = REG_SZ);
bool DeleteValue(std::string_view path, std::string_view name);

std::optional<Value> GetValue(std::string_view path, std::string_view name);
// A REG_DWORD of four bytes.
std::optional<uint32_t> GetDword(std::string_view path, std::string_view name);
// A REG_SZ or REG_EXPAND_SZ, up to its first terminator.
std::optional<std::string> GetString(std::string_view path, std::string_view name);
// Value names of a key in the order they were first set (empty when the key
// does not exist).
std::vector<std::string> ValueNames(std::string_view path);

// Save writes every non-volatile key and value. Load adds the file's keys and
// values to the tree, replacing values of the same name; a file with an error
// changes nothing. Both return false with a message in *error on failure.
bool Save(const std::string& file, std::string* error = nullptr);
bool Load(const std::string& file, std::string* error = nullptr);

}  // namespace kernel::registry
