// Mode pins and the two-wire bus on PIN_OUTPUT_REG / PIN_INPUT_REG.
#include "driver/uart/mode_pins.h"

#include "driver/uart/register_access.h"
#include "driver/uart/register_map.h"

namespace {

// Pin levels of modes 0-6, pin 0 from mode bit 2, pin 2 from mode bit 0.
constexpr UCHAR PinsInputMode = 7;
// Pin readings in input mode that set PortModeFlag0.
constexpr bool FlagsFromInputPins(UCHAR pins) { return pins == 2 || pins == 3 || pins == 6; }

// Sets or clears bits of PIN_OUTPUT_REG.
VOID UpdatePinOutput(PPORT_DEVICE_CONTEXT Context, UCHAR Bits, BOOLEAN Set) {
  ModifyRegisterBits(Context, PIN_OUTPUT_REG, Bits, Set ? Bits : UCHAR(0));
}

// PIN_OUTPUT_REG and PIN_INPUT_REG in one read; FALSE when it failed.
BOOLEAN ReadPinInput(PPORT_DEVICE_CONTEXT Context, UCHAR* Input) {
  UCHAR pins[2] = {0, 0};
  if (!NT_SUCCESS(ReadRegister(Context, PIN_OUTPUT_REG, sizeof pins, pins))) return FALSE;
  *Input = pins[1];
  return TRUE;
}

VOID ClockPulse(PPORT_DEVICE_CONTEXT Context) {
  I2cClockHigh(Context);
  I2cClockLow(Context);
}

}  // namespace

VOID SetModePins(PPORT_DEVICE_CONTEXT Context, ULONG A, ULONG B, ULONG C) {
  UCHAR pins = 0;
  if (A == 1) pins |= PIN_OUTPUT_PIN0;
  if (B == 1) pins |= PIN_OUTPUT_PIN1;
  if (C == 1) pins |= PIN_OUTPUT_PIN2;
  ModifyRegisterBits(Context, PIN_OUTPUT_REG, UCHAR(~PIN_OUTPUT_KEEP), pins);
}

NTSTATUS MirrorModeFlags(PPORT_DEVICE_CONTEXT Context, UCHAR Which) {
  UCHAR flags = 0;
  if (Context->PortModeFlags & PortModeFlag0) flags |= CONFIG0_MODE_FLAG0;
  if (Context->PortModeFlags & PortModeBreakLevelHigh) flags |= CONFIG0_MODE_FLAG1;
  return ModifyRegisterBits(Context, SERIAL_CONFIG_REG0, Which, UCHAR(flags & Which));
}

VOID ApplyPortModePins(PPORT_DEVICE_CONTEXT Context) {
  UCHAR mode = Context->PortMode;
  if (mode < PinsInputMode) {
    SetModePins(Context, (mode >> 2) & 1, (mode >> 1) & 1, mode & 1);
    return;
  }
  if (mode != PinsInputMode) return;
  UCHAR input = 0;
  // An unreadable pin state leaves the flag as it was rather than guessing.
  if (!ReadPinInput(Context, &input)) return;
  if (FlagsFromInputPins(input & PIN_INPUT_LEVELS)) {
    Context->PortModeFlags |= PortModeFlag0;
  } else {
    Context->PortModeFlags &= UCHAR(~PortModeFlag0);
  }
}

VOID I2cClockHigh(PPORT_DEVICE_CONTEXT Context) { UpdatePinOutput(Context, I2C_CLOCK, TRUE); }
VOID I2cClockLow(PPORT_DEVICE_CONTEXT Context) { UpdatePinOutput(Context, I2C_CLOCK, FALSE); }
VOID I2cDataHigh(PPORT_DEVICE_CONTEXT Context) { UpdatePinOutput(Context, I2C_DATA, TRUE); }
VOID I2cDataLow(PPORT_DEVICE_CONTEXT Context) { UpdatePinOutput(Context, I2C_DATA, FALSE); }

UCHAR I2cReadData(PPORT_DEVICE_CONTEXT Context) {
  UCHAR input = 0;
  // A line that cannot be read counts as released (high): a missing
  // acknowledge, never a false one.
  if (!ReadPinInput(Context, &input)) return 1;
  return (input & PIN_INPUT_I2C_DATA) ? 1 : 0;
}

VOID I2cStart(PPORT_DEVICE_CONTEXT Context) {
  I2cDataLow(Context);
  I2cClockLow(Context);
}

VOID I2cRestart(PPORT_DEVICE_CONTEXT Context) {
  I2cClockHigh(Context);
  I2cDataHigh(Context);
  I2cDataLow(Context);
  I2cClockLow(Context);
}

VOID I2cStop(PPORT_DEVICE_CONTEXT Context) {
  I2cClockLow(Context);
  I2cDataLow(Context);
  I2cClockHigh(Context);
  I2cDataHigh(Context);
}

UCHAR I2cWriteByte(PPORT_DEVICE_CONTEXT Context, UCHAR Byte) {
  for (int bit = 7; bit >= 0; --bit) {
    if ((Byte >> bit) & 1) {
      I2cDataHigh(Context);
    } else {
      I2cDataLow(Context);
    }
    ClockPulse(Context);
  }
  I2cDataHigh(Context);  // release the line for the receiver's acknowledge
  I2cClockHigh(Context);
  UCHAR acknowledge = I2cReadData(Context);
  I2cClockLow(Context);
  return acknowledge;
}

UCHAR I2cReadByte(PPORT_DEVICE_CONTEXT Context) {
  UCHAR value = 0;
  for (int bit = 7; bit >= 0; --bit) {
    I2cClockHigh(Context);
    if (I2cReadData(Context) == 1) value |= static_cast<UCHAR>(1 << bit);
    I2cClockLow(Context);
  }
  return value;
}

VOID I2cSendAck(PPORT_DEVICE_CONTEXT Context, BOOLEAN Ack) {
  if (Ack) {
    I2cDataLow(Context);
  } else {
    I2cDataHigh(Context);
  }
  ClockPulse(Context);
}
