#include <cstdio>
#include <cstdlib>

#include "platform/host/ke.h"

static bool DebugPrintEnabled() {
  static const bool enabled = std::getenv("T7315_DBGPRINT") != nullptr;
  return enabled;
}

static ULONG Print(PCSTR format, va_list args) {
  if (DebugPrintEnabled()) std::vfprintf(stderr, format, args);
  return 0;
}

ULONG DbgPrint(PCSTR format, ...) {
  va_list args;
  va_start(args, format);
  Print(format, args);
  va_end(args);
  return 0;
}

ULONG DbgPrintEx(ULONG componentId, ULONG level, PCSTR format, ...) {
  va_list args;
  va_start(args, format);
  Print(format, args);
  va_end(args);
  return 0;
}
