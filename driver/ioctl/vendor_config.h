// Vendor configuration requests: the stored default baud rate, the port mode,
// the COM name (with the instance's friendly name and the COM name database),
// the port index, the largest bulk-out chunk and the receive FIFO trigger.
// Most of them make the change last in the device key or in this port's
// record of the settings file.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"
#include "driver/ioctl/control_dispatch.h"

#define IOCTL_GET_PORT_BAUDRATE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB0C, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SET_PORT_BAUDRATE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB0D, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_GET_PORT_MODE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB0E, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SET_PORT_MODE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB0F, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SET_PORT_NAME CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB12, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_GET_PORT_INDEX CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB13, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_GET_MAX_WRITE_LENGTH CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB14, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SET_MAX_WRITE_LENGTH CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB15, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_GET_RX_FIFO_TRIGGER CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB16, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SET_RX_FIFO_TRIGGER CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB17, METHOD_BUFFERED, FILE_ANY_ACCESS)

static_assert(IOCTL_GET_PORT_BAUDRATE == 0x1B2C30 && IOCTL_SET_PORT_NAME == 0x1B2C48 &&
                  IOCTL_SET_RX_FIFO_TRIGGER == 0x1B2C5C,
              "vendor configuration codes");

// IOCTL_GET_PORT_MODE / IOCTL_SET_PORT_MODE buffer: mode, flag 0, flag 1.
constexpr ULONG PortModeBufferSize = 3;

// Handlers of the codes above, called by DispatchControl at PASSIVE_LEVEL.
// Each checks its own buffers, sets Request->Information and returns the
// status; the dispatcher completes the request. A wrong or too short
// buffer changes nothing.
NTSTATUS IoctlGetPortBaudRate(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetPortBaudRate(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlGetPortMode(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetPortMode(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetPortName(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlGetPortIndex(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlGetMaxWriteLength(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetMaxWriteLength(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlGetRxFifoTrigger(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlSetRxFifoTrigger(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);

// The receive FIFO trigger level in bytes that RxFifoTrigger and
// FifoTriggerLow select (56 with the start defaults).
ULONG RxFifoTriggerLevel(UCHAR RxFifoTrigger, UCHAR FifoTriggerLow);
