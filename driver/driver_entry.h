// The driver's front door: load and unload, and the driver-wide state they
// keep.
#pragma once

#include "platform/platform.h"

// Registers the trace provider, copies the registry path and fills the
// dispatch table; STATUS_INSUFFICIENT_RESOURCES when the copy cannot be made.
extern "C" DRIVER_INITIALIZE DriverEntry;

// Undoes DriverEntry once every port's device object is gone.
DRIVER_UNLOAD DriverUnload;
