// The values a port's context has from the creation of its device object:
// the dispatcher objects and lists of the data path, the default serial
// settings and the receive ring.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_constants.h"

// Gives the zero-filled context of a newly created device object its initial
// values: the self pointer, RemoveEvent and StopEvent (notification, not
// signalled), IoCountLock, 9600 baud, 8 data bits without parity and one stop
// bit, XON 0x11 and XOFF 0x13, DTR control with RTS control and limits
// 100/300, a 32-byte bulk-out chunk, an empty receive ring of
// ReceiveBufferInitialSize bytes, the empty read and write queues with their
// locks and ReceiveBufferLock. The device name is not touched.
//
// Returns STATUS_INSUFFICIENT_RESOURCES when the ring's storage cannot be
// allocated: a port must not exist without it, so the caller deletes the
// device object and fails the creation.
NTSTATUS InitializePortDefaults(PDEVICE_OBJECT DeviceObject);
