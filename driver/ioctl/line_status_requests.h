// The line and status requests of the standard serial set: DTR, RTS, break,
// XON/XOFF, modem control and status, communication status, statistics, the
// wait mask and purge. DispatchControl has applied the buffer-length rules
// before any of these runs.
#pragma once

#include "driver/ioctl/control_dispatch.h"

// DTR and RTS: the device is brought to D0 first when it is not there.
NTSTATUS IoctlSetDtr(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlClrDtr(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetRts(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlClrRts(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetBreakOn(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetBreakOff(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetXoff(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetXon(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlGetModemControl(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetModemControl(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlGetModemStatus(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlGetCommStatus(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlGetStats(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlClearStats(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlGetWaitMask(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetWaitMask(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlPurge(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
