// The diagnostic log: short text lines that dispatch routines and the data
// path write into the port's DebugLogLines ring. The log is off unless
// DebugLogEnabled is set; no behaviour of the driver depends on it.
#pragma once

#include "platform/platform.h"

// Formats one line (cut to 127 characters) with the kernel's printf-style
// formatter and appends it to the ring. Does nothing above PASSIVE_LEVEL,
// with the log disabled, or when the ring is full: a full ring keeps its
// oldest lines and drops new ones.
VOID DebugLog(PDEVICE_OBJECT DeviceObject, PCSTR Format, ...) __attribute__((format(printf, 2, 3)));
