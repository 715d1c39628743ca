// The chip's three general-purpose pins (driven through PIN_OUTPUT_REG, read
// through PIN_INPUT_REG), the port mode they carry, and the two-wire bus
// bit-banged over pin 0 (clock) and pin 1 (data). Every line change is a
// register read and a register write; failures are swallowed and a failed read
// skips its write, so nothing undefined reaches the pins.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// Drives pin 0 high when A is exactly 1, pin 1 when B is, pin 2 when C is,
// the others low; bits 7 and 3 of PIN_OUTPUT_REG are kept.
VOID SetModePins(PPORT_DEVICE_CONTEXT Context, ULONG A, ULONG B, ULONG C);

// Puts PortMode 0-6 on the pins (mode bit 2 on pin 0, bit 1 on pin 1, bit 0
// on pin 2). Mode 7 leaves the pins as inputs and sets PortModeFlags bit 0
// when they read 2, 3 or 6, clears it otherwise, and leaves it alone when the
// pins cannot be read. Higher modes do nothing.
VOID ApplyPortModePins(PPORT_DEVICE_CONTEXT Context);

// Copies PortModeFlags bits 0 and 1 into SERIAL_CONFIG_REG0's mode flag bits,
// those of Which (CONFIG0_MODE_FLAG0, CONFIG0_MODE_FLAG1) only. A failed read
// writes nothing and is the result.
NTSTATUS MirrorModeFlags(PPORT_DEVICE_CONTEXT Context, UCHAR Which);

// Two-wire bus; idle is clock high, data high.
VOID I2cClockHigh(PPORT_DEVICE_CONTEXT Context);
VOID I2cClockLow(PPORT_DEVICE_CONTEXT Context);
VOID I2cDataHigh(PPORT_DEVICE_CONTEXT Context);
VOID I2cDataLow(PPORT_DEVICE_CONTEXT Context);
// The data line: 0 or 1. A line that cannot be read counts as released (1).
UCHAR I2cReadData(PPORT_DEVICE_CONTEXT Context);
VOID I2cStart(PPORT_DEVICE_CONTEXT Context);
VOID I2cRestart(PPORT_DEVICE_CONTEXT Context);
VOID I2cStop(PPORT_DEVICE_CONTEXT Context);
// Sends Byte most significant bit first and returns the acknowledge bit
// sampled on the ninth clock: 0 when the receiver acknowledged.
UCHAR I2cWriteByte(PPORT_DEVICE_CONTEXT Context, UCHAR Byte);
UCHAR I2cReadByte(PPORT_DEVICE_CONTEXT Context);
// Acknowledges (Ack TRUE: data low) or not (data high) on one clock.
VOID I2cSendAck(PPORT_DEVICE_CONTEXT Context, BOOLEAN Ack);
