// The configuration requests of the standard serial set: baud rate, line
// control, special characters, handshake, timeouts, receive queue size, FIFO
// control, properties and the comm-config size. DispatchControl has applied
// the buffer-length rules before any of these runs.
#pragma once

#include "driver/ioctl/control_dispatch.h"

NTSTATUS IoctlSetBaudRate(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlGetBaudRate(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetLineControl(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlGetLineControl(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetTimeouts(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlGetTimeouts(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetChars(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlGetChars(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetHandFlow(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlGetHandFlow(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetQueueSize(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlGetProperties(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlConfigSize(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
// The get- and set-comm-config codes: nothing to report or keep.
NTSTATUS IoctlCommConfig(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetFifoControl(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
