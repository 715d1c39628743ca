// Speed and character format of the UART: the rate is looked up in fixed
// tables of supported rates (or taken from the port's custom clock setting),
// never computed, and programmed with the line control and the rate-dependent
// FIFO trigger registers in one pass.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// One supported rate: the UART clock select and divisor that give it.
typedef struct _BAUD_TABLE_ENTRY {
  ULONG BaudRate;
  ULONG Enabled;     // rows stored disabled are never selected
  ULONG SelUartClk;  // 0-3: base clocks 115200, 1152000, 1500000, 921600
  USHORT rDivisor;
} BAUD_TABLE_ENTRY, *PBAUD_TABLE_ENTRY;

// Rates with the double-rate clock off, and with it on (twice the base). A
// lookup takes the first enabled row whose rate matches exactly.
extern const BAUD_TABLE_ENTRY BaudDivisorTable[];
extern const ULONG BaudDivisorTableSize;
extern const BAUD_TABLE_ENTRY DoubleRateBaudTable[];
extern const ULONG DoubleRateBaudTableSize;

// Programs clock select, divisor, line control, FIFO control and the receive
// trigger. NewBaudRate 0 keeps BaudRate; a null NewLineControl keeps
// LineControl. On success both are replaced by the values used; on failure
// neither changes (the chip may hold part of the new setting until the next
// successful call). An unsupported rate, a bad custom clock, a bad parity or
// stop-bit code or stop bits that do not fit the word length give
// STATUS_INVALID_PARAMETER; a word length outside 5-8 does so before any
// register is touched. Runs at PASSIVE_LEVEL.
NTSTATUS SerialSetBaudRateAndLineControl(PPORT_DEVICE_CONTEXT Context, ULONG NewBaudRate,
                                         const SERIAL_LINE_CONTROL* NewLineControl);
