// Plug and Play requests: the port's state machine, stop, surprise removal
// and removal.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_constants.h"

// The IRP_MJ_PNP entry, under the port's remove lock.
DRIVER_DISPATCH DispatchPnp;

// What the port makes of the capabilities the bus reported: D0 in every
// system state, surprise removal allowed, the wake flags and the system wake
// state derived from the device states.
VOID AdjustDeviceCapabilities(PDEVICE_CAPABILITIES Capabilities);

// Final teardown of a removed port: WMI, timers, threads, ring, names,
// buffers; then detaches and deletes the device object.
VOID RemoveDevice(PDEVICE_OBJECT DeviceObject);
