// Vendor device-access requests: raw chip registers, the two-wire bus on the
// chip's pins, and USB-level operations (reset a pipe, reset the upstream
// port, read the configuration descriptor, set or clear a feature). None of
// them changes a stored setting.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"
#include "driver/ioctl/control_dispatch.h"

#define IOCTL_I2C_READ_BYTE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB30, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_I2C_WRITE_BYTE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xB31, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_RESET_PIPE CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA00, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_GET_CONFIG_DESCRIPTOR CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA01, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_RESET_PORT CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA02, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_READ_REGISTER CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA03, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_WRITE_REGISTER CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA04, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_FEATURE_CLEAR CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA05, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_FEATURE_SET CTL_CODE(FILE_DEVICE_UNKNOWN, 0xA06, METHOD_NEITHER, FILE_ANY_ACCESS)

static_assert(IOCTL_I2C_READ_BYTE == 0x1B2CC0 && IOCTL_RESET_PIPE == 0x222800 &&
                  IOCTL_WRITE_REGISTER == 0x222810 && IOCTL_FEATURE_CLEAR == 0x222817 &&
                  IOCTL_FEATURE_SET == 0x22281B,
              "vendor device-access codes");

// Buffer of the two-wire requests.
typedef struct _TWO_WIRE_WORD {
  UCHAR DeviceAddress;    // write form: bit 0 clear
  UCHAR RegisterAddress;  // within the device
  UCHAR Data;
  UCHAR Acknowledge;  // 0 = the device acknowledged its address
} TWO_WIRE_WORD, *PTWO_WIRE_WORD;

constexpr ULONG RegisterAccessDataSize = 256;

// Buffer of IOCTL_READ_REGISTER and IOCTL_WRITE_REGISTER.
typedef struct _REGISTER_ACCESS_BLOCK {
  USHORT Register;  // chip register address
  USHORT Count;     // bytes to move, at most RegisterAccessDataSize
  UCHAR Data[RegisterAccessDataSize];
} REGISTER_ACCESS_BLOCK, *PREGISTER_ACCESS_BLOCK;

static_assert(sizeof(TWO_WIRE_WORD) == 4 && sizeof(REGISTER_ACCESS_BLOCK) == 260, "request buffers");

// Handlers of the codes above, called by DispatchControl at PASSIVE_LEVEL.
// Each checks its own buffers, sets Request->Information and returns the
// status; the dispatcher completes the request. IOCTL_RESET_PIPE,
// IOCTL_GET_CONFIG_DESCRIPTOR and IOCTL_RESET_PORT run only on a working
// device, with an OutstandingIo count the dispatcher holds around them.
NTSTATUS IoctlI2cReadByte(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlI2cWriteByte(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlResetPipe(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlGetConfigDescriptor(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlResetPort(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlReadRegister(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlWriteRegister(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlFeatureClear(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
NTSTATUS IoctlFeatureSet(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request);
