// Asking the power manager for a device power state of the port's own stack.
// The request travels down the stack through the port's power dispatch; these
// routines start it and, with Wait, block until it has finished (PASSIVE_LEVEL,
// no spin lock held).
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// Requests IRP_MN_SET_POWER for State on Pdo. Without Wait, returns what
// PoRequestPowerIrp returned. With Wait, returns the status the finished
// request completed with (a refusal by PoRequestPowerIrp is returned at once).
NTSTATUS SendDeviceSetPower(PPORT_DEVICE_CONTEXT Context, DEVICE_POWER_STATE State, BOOLEAN Wait);

// Brings the device to D0 unless DevPowerState already says D0. A request
// still pending (without Wait) counts as success.
NTSTATUS EnsureDeviceD0(PPORT_DEVICE_CONTEXT Context, BOOLEAN Wait);

// Requests State unless the device is stopping, being removed or gone
// (DeviceState above PnpStateWorking), which is success with no request. A request still
// pending counts as success.
NTSTATUS RequestDevicePowerIfActive(PPORT_DEVICE_CONTEXT Context, DEVICE_POWER_STATE State, BOOLEAN Wait);
