#include <cstdio>
#include <cstdlib>

#include "platform/host/ex.h"
#include "platform/host/ke.h"

static bool DebugPrintEnabled() {
  static const bool enabled = std::getenv("T7315_DBGPRINT") != nullptr;
  return enabled;
}

// Formats with the kernel's own formatter, which reads the Microsoft argument
// list these routines receive; a longer line is cut.
static void Print(PCSTR format, __builtin_ms_va_list args) {
  if (!DebugPrintEnabled()) return;
  char line[512];
  int length = _vsnprintf(line, sizeof line - 1, format, args);
  line[length < 0 ? sizeof line - 1 : size_t(length)] = '\0';
  std::fputs(line, stderr);
}

ULONG DbgPrint(PCSTR format, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, format);
  Print(format, args);
  __builtin_ms_va_end(args);
  return 0;
}

ULONG DbgPrintEx(ULONG componentId, ULONG level, PCSTR format, ...) {
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, format);
  Print(format, args);
  __builtin_ms_va_end(args);
  return 0;
}
