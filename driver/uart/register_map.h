// The chip registers the driver reaches with the vendor register request, and
// the bits it uses in them. Addresses are the same for every port: each port
// is a USB device of its own and talks only to its own stack. The UART
// registers (0x120-0x126) follow the 16550 layout.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_constants.h"

// ---- The vendor register request -------------------------------------------------

constexpr UCHAR RegisterRequest = 0xA0;           // bRequest of every register access
constexpr UCHAR RegisterReadRequestType = 0xC0;   // vendor, device-to-host
constexpr UCHAR RegisterWriteRequestType = 0x40;  // vendor, host-to-device

// ---- Chip registers ------------------------------------------------------------------

constexpr USHORT PORT_SETUP_REG = 0x105;
constexpr USHORT SERIAL_CONFIG_REG0 = 0x106;
constexpr USHORT SERIAL_CONFIG_REG1 = 0x107;
constexpr USHORT PORT_AUX_REG0 = 0x10B;
constexpr USHORT PORT_AUX_REG1 = 0x10C;
constexpr USHORT PORT_CONTROL_REG = 0x10D;
constexpr USHORT PIN_OUTPUT_REG = 0x10E;
constexpr USHORT PIN_INPUT_REG = 0x10F;  // also the second byte of a 2-byte read at PIN_OUTPUT_REG

// ---- UART registers --------------------------------------------------------------------

constexpr USHORT DIVISOR_LATCH_LSB = 0x120;          // while LCR_DIVISOR_LATCH_ACCESS is set
constexpr USHORT INTERRUPT_ENABLE_REGISTER = 0x121;  // shares its address with the divisor high byte
constexpr USHORT DIVISOR_LATCH_MSB = 0x121;          // while LCR_DIVISOR_LATCH_ACCESS is set
constexpr USHORT FIFO_CONTROL_REGISTER = 0x122;      // reads back as the interrupt identification
constexpr USHORT LINE_CONTROL_REGISTER = 0x123;
constexpr USHORT MODEM_CONTROL_REGISTER = 0x124;
constexpr USHORT LINE_STATUS_REGISTER = 0x125;
constexpr USHORT MODEM_STATUS_REGISTER = 0x126;

// ---- PORT_SETUP_REG ------------------------------------------------------------------------

constexpr UCHAR PORT_SETUP_HIGH_SHIFT = 4;   // PortSetupHigh goes to bits 7-4
constexpr UCHAR PORT_SETUP_KEEP = 0x02;      // bit 1 survives open's rewrite
constexpr UCHAR PORT_SETUP_LEVEL_4 = 0x0C;   // bits 3-2 for PortSetupLevel 4
constexpr UCHAR PORT_SETUP_LEVEL_8 = 0x08;   // ... 8
constexpr UCHAR PORT_SETUP_LEVEL_12 = 0x04;  // ... 12 (any other level adds nothing)

// ---- SERIAL_CONFIG_REG0 ------------------------------------------------------------------------

constexpr UCHAR CONFIG0_CLOCK_SELECT_MASK = 0x03;  // UART clock select, 0-3
constexpr UCHAR CONFIG0_MODE_FLAG0 = 0x04;         // copy of PortModeFlags bit 0
constexpr UCHAR CONFIG0_MODE_FLAG1 = 0x08;         // copy of PortModeFlags bit 1; also set around a break
constexpr UCHAR CONFIG0_MODE_FLAGS = CONFIG0_MODE_FLAG0 | CONFIG0_MODE_FLAG1;
constexpr UCHAR CONFIG0_BREAK_LEVEL = 0x10;  // level changed around a break

// ---- SERIAL_CONFIG_REG1 ------------------------------------------------------------------------

constexpr UCHAR CONFIG1_TRIGGER_MASK = TriggerFactorMask;  // receive trigger factor
constexpr UCHAR CONFIG1_ALWAYS_SET = 0x03;

// ---- PORT_CONTROL_REG ----------------------------------------------------------------------------

constexpr UCHAR PORT_CONTROL_DOUBLE_RATE = 0x20;  // doubles the UART clock
constexpr UCHAR PORT_CONTROL_OPEN = 0x40;         // set at open
constexpr UCHAR PORT_CONTROL_CLOSE_MASK = 0x0F;   // cleared at close

// ---- PIN_OUTPUT_REG / PIN_INPUT_REG ------------------------------------------------------------

constexpr UCHAR PIN_OUTPUT_PIN0 = 0x10;  // also the two-wire clock
constexpr UCHAR PIN_OUTPUT_PIN1 = 0x20;  // also the two-wire data output
constexpr UCHAR PIN_OUTPUT_PIN2 = 0x40;
constexpr UCHAR PIN_OUTPUT_PINS = 0x70;
constexpr UCHAR PIN_OUTPUT_CONTROL = 0x80;      // bit 7, set at start and cleared at removal
constexpr UCHAR PIN_OUTPUT_KEEP = 0x88;         // what SetModePins preserves
constexpr UCHAR PIN_OUTPUT_CHIP_MODE = 0x03;    // read into ChipMode at start
constexpr UCHAR PIN_OUTPUT_START_CLEAR = 0x0F;  // cleared at start
constexpr UCHAR I2C_CLOCK = PIN_OUTPUT_PIN0;
constexpr UCHAR I2C_DATA = PIN_OUTPUT_PIN1;

constexpr UCHAR PIN_INPUT_LEVELS = 0x07;      // levels of pins 2-0
constexpr UCHAR PIN_INPUT_I2C_DATA = 0x02;    // two-wire data input
constexpr UCHAR PIN_INPUT_BREAK_MASK = 0x70;  // tested around a break

// ---- INTERRUPT_ENABLE_REGISTER -------------------------------------------------------------------

constexpr UCHAR IER_MODEM_STATUS = 0x08;  // the only interrupt the driver enables

// ---- FIFO_CONTROL_REGISTER -------------------------------------------------------------------------

constexpr UCHAR FCR_ENABLE = 0x01;
constexpr UCHAR FCR_RCVR_RESET = 0x02;
constexpr UCHAR FCR_XMIT_RESET = 0x04;
constexpr UCHAR FCR_ENABLE_AND_RESET = FCR_ENABLE | FCR_RCVR_RESET | FCR_XMIT_RESET;
constexpr UCHAR IIR_FIFOS_ENABLED = 0xC0;  // read from the FIFO control address

// ---- LINE_CONTROL_REGISTER -------------------------------------------------------------------------

constexpr UCHAR LCR_WORD_LENGTH_MASK = 0x03;  // word length − 5
constexpr UCHAR LCR_STOP_BITS = 0x04;         // 1.5 stop bits at 5 data bits, else 2
constexpr UCHAR LCR_PARITY_ODD = 0x08;
constexpr UCHAR LCR_PARITY_EVEN = 0x18;
constexpr UCHAR LCR_PARITY_MARK = 0x28;
constexpr UCHAR LCR_PARITY_SPACE = 0x38;
constexpr UCHAR LCR_BREAK = 0x40;
constexpr UCHAR LCR_DIVISOR_LATCH_ACCESS = 0x80;

// ---- MODEM_CONTROL_REGISTER ------------------------------------------------------------------------

constexpr UCHAR MCR_DTR = 0x01;
constexpr UCHAR MCR_RTS = 0x02;
constexpr UCHAR MCR_OUT2 = 0x08;
constexpr UCHAR MCR_LOOPBACK = 0x10;

// ---- MODEM_STATUS_REGISTER ---------------------------------------------------------------------------
// The host build also has these under SERIAL_MSR_*; the Windows kernel headers
// do not, so the driver uses its own names.

constexpr UCHAR MSR_DELTA_CTS = 0x01;
constexpr UCHAR MSR_DELTA_DSR = 0x02;
constexpr UCHAR MSR_TRAILING_EDGE_RI = 0x04;
constexpr UCHAR MSR_DELTA_DCD = 0x08;
constexpr UCHAR MSR_CTS = 0x10;
constexpr UCHAR MSR_DSR = 0x20;
constexpr UCHAR MSR_RI = 0x40;
constexpr UCHAR MSR_DCD = 0x80;

// ---- LINE_STATUS_REGISTER ----------------------------------------------------------------------------

constexpr UCHAR LSR_DATA_READY = 0x01;
constexpr UCHAR LSR_OVERRUN = 0x02;
constexpr UCHAR LSR_PARITY = 0x04;
constexpr UCHAR LSR_FRAMING = 0x08;
constexpr UCHAR LSR_BREAK = 0x10;
constexpr UCHAR LSR_THR_EMPTY = 0x20;
constexpr UCHAR LSR_TX_EMPTY = 0x40;
constexpr UCHAR LSR_FIFO_ERROR = 0x80;
