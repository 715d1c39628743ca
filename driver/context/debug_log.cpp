#include "driver/context/debug_log.h"

#include "driver/context/port_context.h"

namespace {

constexpr ULONG LongestMessage = DebugLogLineSize - 1;

// Formats into `message` and returns the length kept, at most LongestMessage.
// A result that fills the buffer comes back unterminated (and one that
// overflows with -1 instead of its length), so it is cut and terminated here.
ULONG FormatLine(CHAR (&message)[DebugLogLineSize], PCSTR format, va_list args) {
  int length = _vsnprintf(message, LongestMessage, format, args);
  if (length < 0 || ULONG(length) >= LongestMessage) {
    message[LongestMessage] = '\0';
    return LongestMessage;
  }
  return ULONG(length);
}

// Stores the line unless the ring is full, then publishes it by moving the
// write index with an atomic exchange, so a reader never sees the index ahead
// of the text.
VOID AppendLine(PPORT_DEVICE_CONTEXT context, const CHAR* message, ULONG length) {
  ULONG next = (context->DebugLogWriteIndex + 1) % DebugLogLineCount;
  if (next == context->DebugLogReadIndex) {
    return;
  }
  RtlCopyMemory(context->DebugLogLines[context->DebugLogWriteIndex], message, length + 1);
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&context->DebugLogWriteIndex), LONG(next));
}

}  // namespace

VOID DebugLog(PDEVICE_OBJECT DeviceObject, PCSTR Format, ...) {
  // The formatter may touch pageable data (wide-string conversions), so lines
  // are written only at PASSIVE_LEVEL: never from DPCs, completion routines
  // or under spin locks.
  if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
    return;
  }
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  if (context->DebugLogEnabled == 0) {
    return;
  }
  CHAR message[DebugLogLineSize];
  va_list args;
  va_start(args, Format);
  ULONG length = FormatLine(message, Format, args);
  va_end(args);
  AppendLine(context, message, length);
}
