// A request to the modem-status thread for a fresh read of the modem lines:
// the interrupt-in completion makes it when the chip reports a change, and
// the writer makes it while a write waits on a handshake hold.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// Asks PollingMSR for a fresh modem status, if the port is open and no read
// is pending already. Any IRQL up to DISPATCH_LEVEL.
VOID RequestModemStatusRead(PPORT_DEVICE_CONTEXT Context);
