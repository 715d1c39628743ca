// Opening and closing the port. The port admits one open file at a time:
// open programs the chip's working configuration and starts reception and
// the modem-status transfer; cleanup ends the file's outstanding requests;
// close stops the transfers, drops the modem lines and quietens the UART.
#pragma once

#include "platform/platform.h"

// IRP_MJ_CREATE: STATUS_ACCESS_DENIED while the port is open; otherwise the
// OR of the statuses of the configuration writes that count. A failed open
// gives its place back, so the port stays openable.
DRIVER_DISPATCH DispatchCreate;

// IRP_MJ_CLEANUP: the last handle of the file is gone. Cancels the queued and
// current reads and writes and the pending wait, so that IRP_MJ_CLOSE can
// follow even when a read without timeout was waiting. Always STATUS_SUCCESS.
DRIVER_DISPATCH DispatchCleanup;

// IRP_MJ_CLOSE: always STATUS_SUCCESS.
DRIVER_DISPATCH DispatchClose;
