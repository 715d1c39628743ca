// Chip register access: every USB control transfer of the driver goes down
// the port's stack through SubmitUrbSync; chip registers are read and written
// one access at a time with the vendor register request, serialised by
// RegisterMutex and retried. All of it blocks, so it runs at PASSIVE_LEVEL
// with no spin lock held.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// Register accesses tried per call before the last failure is returned.
constexpr ULONG RegisterAccessAttempts = 20;

// Sends one URB to LowerDeviceObject and waits for it, at most one second.
// The caller owns the URB and its buffers; nothing is left for it to free.
// STATUS_UNSUCCESSFUL without a lower device or when the transfer had to be
// cancelled (the cancelled request has completed before this returns);
// STATUS_INSUFFICIENT_RESOURCES when no request could be built; otherwise
// the status the request completed with, pending or not. Never touches
// RegisterMutex.
NTSTATUS SubmitUrbSync(PPORT_DEVICE_CONTEXT Context, PURB Urb);

// Reads Length bytes starting at register Address into Buffer. Buffer changes
// only when the read succeeds, so callers start from a defined value.
NTSTATUS ReadRegister(PPORT_DEVICE_CONTEXT Context, USHORT Address, USHORT Length, PVOID Buffer);

// Writes Length bytes from Buffer starting at register Address.
NTSTATUS WriteRegister(PPORT_DEVICE_CONTEXT Context, USHORT Address, USHORT Length, PVOID Buffer);

// One register byte. A failed read leaves *Value as it was.
NTSTATUS ReadRegisterByte(PPORT_DEVICE_CONTEXT Context, USHORT Address, PUCHAR Value);
NTSTATUS WriteRegisterByte(PPORT_DEVICE_CONTEXT Context, USHORT Address, UCHAR Value);

// Read-modify-write of one register: the bits of Clear are cleared, then those
// of Set set; the others keep the value read. A failed read writes nothing, as
// the other bits would be unknown, and its status is the result. Before, when
// given, gets the value read.
NTSTATUS ModifyRegisterBits(PPORT_DEVICE_CONTEXT Context, USHORT Address, UCHAR Clear, UCHAR Set,
                            PUCHAR Before = nullptr);

// Waits Milliseconds below DISPATCH_LEVEL. At DISPATCH_LEVEL and above it can
// only spin, and spins 100 microseconds per millisecond asked for.
VOID DelayMilliseconds(ULONG Milliseconds);
