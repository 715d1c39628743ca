// The kernel's export table: every routine the emulated kernel implements
// that Windows exports, under the module that exports it there (ntoskrnl.exe,
// HAL.dll, USBD.SYS, WMILIB.SYS) and with the first Windows version that has
// it. The image loader binds imports through it, and MmGetSystemRoutineAddress
// answers from it, so that a driver running on an emulated older Windows
// finds exactly what that version had.
#pragma once

#include <string_view>

namespace kernel::exports {

// The routine `name` (case-sensitive) that `module` (any case) exports on a
// machine of version major.minor; nullptr when it has none.
const void* Find(std::string_view module, std::string_view name, unsigned long major, unsigned long minor);
// The same on the running machine's version.
const void* Find(std::string_view module, std::string_view name);
// Whether the kernel provides a module of that name (any case).
bool HasModule(std::string_view module);

}  // namespace kernel::exports
