// Creation of a port's device object when the bus reports the port, and the
// trivial dispatch routine of the requests a serial port always grants.
#pragma once

#include "platform/platform.h"

// Device-interface class registered for every port.
extern const GUID PortInterfaceGuid;

// Number tried for the next "\Device\Tarvio7315Serial%d" name. It only ever
// grows while the driver is loaded, so a name freed by a removal is never
// handed out again.
extern ULONG NextDeviceNumber;

// Attempts made to find a free device name before giving up.
constexpr ULONG MaxDeviceNameAttempts = 1000;

// Creates, attaches, names and registers the port's device object and leaves
// the port not started, waiting for the start request.
DRIVER_ADD_DEVICE AddDevice;

// Creates the named device object with its context and every initial value
// that does not depend on the device stack. STATUS_INSUFFICIENT_RESOURCES
// (after deleting the object) when the context's buffers cannot be allocated.
NTSTATUS CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject);

// Cleanup, query/set information and flush: success with no data, always.
DRIVER_DISPATCH DispatchDefault;
