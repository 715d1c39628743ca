// Wait-on-mask: the events a port's caller waits for (WaitMask), the events
// seen and not yet reported (HistoryMask) and the one pending wait request
// (CurrentWaitIrp). Other paths OR events into HistoryMask and then complete
// the wait through SerialCompleteCurrentWait, the only routine that does.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// Mask values above this are no SERIAL_EV_* combination.
constexpr ULONG SerialEventMaskLimit = 0x1FFF;

// IOCTL_SERIAL_SET_WAIT_MASK body; the caller has checked that the system
// buffer holds a ULONG and completes the request. A mask above 0x1FFF is
// STATUS_INVALID_PARAMETER and changes nothing; otherwise a pending wait is
// completed with no events and the mask is stored.
NTSTATUS SerialSetWaitMask(PPORT_DEVICE_CONTEXT Context, PIRP Irp);

// IOCTL_SERIAL_WAIT_ON_MASK body; the caller has checked that the system
// buffer holds a ULONG. Completes the request itself unless it returns
// STATUS_PENDING.
NTSTATUS SerialWaitOnMask(PPORT_DEVICE_CONTEXT Context, PIRP Irp);

// Completes the pending wait Irp with Events, or as cancelled when it is
// being cancelled; STATUS_PENDING when its running cancel routine finishes
// it. Called with no data-path spin lock held.
NTSTATUS SerialCompleteCurrentWait(PPORT_DEVICE_CONTEXT Context, PIRP Irp, ULONG Events);

// Cancel routine of the pending wait.
DRIVER_CANCEL SerialCancelCurrentWait;

// Reports the events of HistoryMask that WaitMask asks for, if a wait is
// pending and any are there. The data path and the modem-status thread call
// it after recording events.
VOID SerialReportWaitEvents(PPORT_DEVICE_CONTEXT Context);

// Completes the pending wait, if any, with STATUS_CANCELLED (cleanup of the
// port's file).
VOID SerialKillCurrentWait(PPORT_DEVICE_CONTEXT Context);
