// Cancelling the read and write paths: close, cleanup, IOCTL_SERIAL_PURGE and
// the internal settings requests end queued and current requests here.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// Completes every request queued on Queue (newest first) and the current one
// in *CurrentOpIrp with STATUS_CANCELLED, taking Lock around the queue.
// Queue, CurrentOpIrp and Lock are either ReadQueue, CurrentReadIrp and
// ReadQueueLock (the caller then holds CurrentReadLock) or WriteQueue,
// CurrentWriteIrp and WriteQueueLock. Written bytes that will not be sent are
// taken off AmountInOutQueue; a write whose chunk is still in flight has the
// chunk cancelled and is finished when it comes back. Up to DISPATCH_LEVEL.
VOID SerialKillAllReadsOrWrites(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP* CurrentOpIrp,
                                PKSPIN_LOCK Lock);

// SerialKillAllReadsOrWrites on the write path, and on the read path with
// CurrentReadLock held around it.
VOID SerialKillAllWrites(PPORT_DEVICE_CONTEXT Context);
VOID SerialKillAllReads(PPORT_DEVICE_CONTEXT Context);

// IOCTL_SERIAL_PURGE body; the caller has checked that the system buffer
// holds a ULONG mask and completes the request. TXABORT (0x01) ends the
// writes, RXABORT (0x02) the reads, RXCLEAR (0x08) empties the receive ring,
// in that order; other bits are ignored. STATUS_SUCCESS.
NTSTATUS SerialStartPurge(PPORT_DEVICE_CONTEXT Context, PIRP Irp);

// Zeroes BreakErrorFlag and PerfStats (open, IOCTL_SERIAL_CLEAR_STATS).
VOID SerialClearStats(PPORT_DEVICE_CONTEXT Context);
