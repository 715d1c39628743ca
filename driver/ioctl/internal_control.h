// Internal device-control requests from kernel components layered on the
// port. Every one is passed on to the USB device below; the two settings
// requests first end the reads in progress.
#pragma once

#include "platform/platform.h"

// IRP_MJ_INTERNAL_DEVICE_CONTROL entry, at any IRQL up to DISPATCH_LEVEL.
// Never completes the request: returns what the lower driver returns.
DRIVER_DISPATCH DispatchInternalControl;
