// The machine's files as host code sees them. Kernel names under
// "\SystemRoot\" (also "\??\C:\Windows\" and "\DosDevices\C:\Windows\") live
// in the machine's system-root folder; the kernel resolves them
// case-insensitively, and so do these helpers. The machine boots with an
// empty System32 folder there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kernel::files {

// The host path a kernel name stands for (existing folders and files matched
// case-insensitively, the rest as written); empty when the name is invalid or
// outside the system root.
std::string HostPath(std::string_view kernelName);
// Writes the whole file, creating its folders. False on any failure.
bool WriteWholeFile(std::string_view kernelName, const std::vector<uint8_t>& bytes);
std::optional<std::vector<uint8_t>> ReadWholeFile(std::string_view kernelName);
// Handles that ZwCreateFile opened on the file and that are not closed yet.
size_t OpenHandles(std::string_view kernelName);

}  // namespace kernel::files
