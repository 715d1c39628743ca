// The port's outstanding-I/O count. It is 1 while the port exists and nothing
// is in progress; StopEvent tells a waiter that the count is back at 1 and
// RemoveEvent that it reached 0.
#pragma once

#include "platform/platform.h"

// Both run at any IRQL up to DISPATCH_LEVEL and return the new count.
LONG IoIncrement(PDEVICE_OBJECT DeviceObject);
LONG IoDecrement(PDEVICE_OBJECT DeviceObject);
