// The names MmGetSystemRoutineAddress resolves. Host modules register the
// kernel exports they implement from a static initialiser, with the first
// Windows version that exports them, so that a driver running on an emulated
// older Windows finds exactly what that version had:
//
//   const bool registered =
//       kernel::routines::Register("EtwRegisterClassicProvider", &EtwRegisterClassicProvider, 6, 0);
#pragma once

namespace kernel::routines {

// False when the name is already registered (the first registration stays).
bool Register(const char* name, const void* address, unsigned long sinceMajor = 5,
              unsigned long sinceMinor = 0);
template <class Function>
bool Register(const char* name, Function* routine, unsigned long sinceMajor = 5,
              unsigned long sinceMinor = 0) {
  return Register(name, reinterpret_cast<const void*>(routine), sinceMajor, sinceMinor);
}

// What MmGetSystemRoutineAddress answers on a machine of that version:
// nullptr for unknown names and for routines newer than the version.
const void* Find(const char* name, unsigned long major, unsigned long minor);

}  // namespace kernel::routines
