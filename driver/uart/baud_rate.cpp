// Baud rate and line control: clock select, divisor latch, line control, FIFO
// control and the receive trigger, programmed in one fixed register order.
#include "driver/uart/baud_rate.h"

#include "driver/context/debug_log.h"
#include "driver/uart/register_access.h"
#include "driver/uart/register_map.h"

// Clock selects 0-3 run from bases 115200, 1152000, 1500000 and 921600; a row
// gives base / divisor, so some rates are approximate (56000 runs at 57600,
// 128000 at 125000, 256000 at 250000). The rest of each fast clock's divisor
// ladder is kept, disabled.
const BAUD_TABLE_ENTRY BaudDivisorTable[] = {
    {50, 1, 0, 2304},
    {75, 1, 0, 1536},
    {110, 1, 0, 1047},
    {135, 1, 0, 853},
    {150, 1, 0, 768},
    {300, 1, 0, 384},
    {600, 1, 0, 192},
    {1200, 1, 0, 96},
    {1800, 1, 0, 64},
    {2000, 1, 0, 58},
    {2400, 1, 0, 48},
    {3600, 1, 0, 32},
    {4800, 1, 0, 24},
    {7200, 1, 0, 16},
    {9600, 1, 0, 12},
    {14400, 1, 0, 8},
    {19200, 1, 0, 6},
    {38400, 1, 0, 3},
    {56000, 1, 0, 2},
    {57600, 1, 0, 2},
    {115200, 1, 0, 1},
    {230400, 1, 3, 4},
    {460800, 1, 3, 2},
    {921600, 1, 3, 1},
    {560000, 1, 1, 2},
    {576000, 1, 1, 2},
    {1152000, 1, 1, 1},
    {128000, 1, 2, 12},
    {249600, 1, 2, 6},
    {256000, 1, 2, 6},
    {499200, 1, 2, 3},
    {500000, 1, 2, 3},
    {748800, 1, 2, 2},
    {1497600, 1, 2, 1},
    {1500000, 1, 2, 1},
    // clock 3, disabled
    {400, 0, 3, 2304},
    {600, 0, 3, 1536},
    {880, 0, 3, 1047},
    {1080, 0, 3, 853},
    {1200, 0, 3, 768},
    {2400, 0, 3, 384},
    {4800, 0, 3, 192},
    {9600, 0, 3, 96},
    {14400, 0, 3, 64},
    {15889, 0, 3, 58},
    {19200, 0, 3, 48},
    {28800, 0, 3, 32},
    {38400, 0, 3, 24},
    {57600, 0, 3, 16},
    {76800, 0, 3, 12},
    {115200, 0, 3, 8},
    {153600, 0, 3, 6},
    {307200, 0, 3, 3},
    // clock 1, disabled
    {500, 0, 1, 2304},
    {750, 0, 1, 1536},
    {1100, 0, 1, 1047},
    {1350, 0, 1, 853},
    {1500, 0, 1, 768},
    {3000, 0, 1, 384},
    {6000, 0, 1, 192},
    {12000, 0, 1, 96},
    {18000, 0, 1, 64},
    {19862, 0, 1, 58},
    {24000, 0, 1, 48},
    {36000, 0, 1, 32},
    {48000, 0, 1, 24},
    {72000, 0, 1, 16},
    {96000, 0, 1, 12},
    {144000, 0, 1, 8},
    {192000, 0, 1, 6},
    {288000, 0, 1, 4},
    {384000, 0, 1, 3},
    // clock 2, disabled
    {651, 0, 2, 2304},
    {976, 0, 2, 1536},
    {1432, 0, 2, 1047},
    {1758, 0, 2, 853},
    {1953, 0, 2, 768},
    {3906, 0, 2, 384},
    {7812, 0, 2, 192},
    {15625, 0, 2, 96},
    {23437, 0, 2, 64},
    {25862, 0, 2, 58},
    {31250, 0, 2, 48},
    {46875, 0, 2, 32},
    {62500, 0, 2, 24},
    {93750, 0, 2, 16},
    {187500, 0, 2, 8},
    {375000, 0, 2, 4},
};
const ULONG BaudDivisorTableSize = sizeof BaudDivisorTable / sizeof BaudDivisorTable[0];

const BAUD_TABLE_ENTRY DoubleRateBaudTable[] = {
    {1000000, 1, 2, 3},
    {3000000, 1, 2, 1},
    {6000000, 0, 2, 1},
    {12000000, 0, 2, 1},
};
const ULONG DoubleRateBaudTableSize = sizeof DoubleRateBaudTable / sizeof DoubleRateBaudTable[0];

namespace {

constexpr ULONG CustomClockOnlyRate = 921600;  // BaudClockMode 1 applies the custom clock to this rate only
constexpr UCHAR CustomClockAlways = 0;
constexpr UCHAR CustomClockAt921600 = 1;
constexpr UCHAR CustomSelectMask = 0x0F;
constexpr UCHAR CustomDoubleRate = 0x80;
constexpr ULONG MaxClockSelect = 3;

// What the registers get, decided before any of them is touched.
struct BaudPlan {
  BOOLEAN Custom;  // the custom double-rate bit is written first
  BOOLEAN CustomDoubleRate;
  BOOLEAN FromTable;  // the table row decides the double-rate bit
  BOOLEAN DoubleRate;
  ULONG SelUartClk;
  USHORT rDivisor;
};

const BAUD_TABLE_ENTRY* FindRate(const BAUD_TABLE_ENTRY* Table, ULONG Size, ULONG Rate) {
  for (ULONG i = 0; i < Size; ++i) {
    if (Table[i].Enabled != 0 && Table[i].BaudRate == Rate) return &Table[i];
  }
  return nullptr;
}

NTSTATUS PlanBaudRate(PPORT_DEVICE_CONTEXT Context, ULONG Rate, BaudPlan* Plan) {
  *Plan = {};
  UCHAR mode = Context->BaudClockMode;
  if (mode == CustomClockAlways || (mode == CustomClockAt921600 && Rate == CustomClockOnlyRate)) {
    Plan->Custom = TRUE;
    Plan->CustomDoubleRate = (Context->BaudClockSelect & CustomDoubleRate) != 0;
    Plan->SelUartClk = Context->BaudClockSelect & CustomSelectMask;
    Plan->rDivisor = Context->BaudClockParam;
  }
  if (Plan->rDivisor == 0) {
    // A row with divisor 0 would stop the clock: it is never selected.
    const BAUD_TABLE_ENTRY* row = FindRate(BaudDivisorTable, BaudDivisorTableSize, Rate);
    Plan->DoubleRate = FALSE;
    if (row == nullptr || row->rDivisor == 0) {
      row = FindRate(DoubleRateBaudTable, DoubleRateBaudTableSize, Rate);
      Plan->DoubleRate = TRUE;
    }
    if (row == nullptr || row->rDivisor == 0) return STATUS_INVALID_PARAMETER;
    Plan->FromTable = TRUE;
    Plan->SelUartClk = row->SelUartClk;
    Plan->rDivisor = row->rDivisor;
  }
  return Plan->SelUartClk > MaxClockSelect ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

// The line control register value for a setting, or STATUS_INVALID_PARAMETER
// for a word length, parity or stop-bit code the UART cannot take. Break and
// divisor-latch access are always off in it.
NTSTATUS EncodeLineControl(const SERIAL_LINE_CONTROL& LineControl, UCHAR* Value) {
  static const UCHAR parityBits[] = {0, LCR_PARITY_ODD, LCR_PARITY_EVEN, LCR_PARITY_MARK, LCR_PARITY_SPACE};
  if (LineControl.WordLength < 5 || LineControl.WordLength > 8) return STATUS_INVALID_PARAMETER;
  if (LineControl.Parity >= sizeof parityBits) return STATUS_INVALID_PARAMETER;
  UCHAR value = static_cast<UCHAR>((LineControl.WordLength - 5) | parityBits[LineControl.Parity]);
  switch (LineControl.StopBits) {
    case STOP_BIT_1:
      break;
    case STOP_BITS_1_5:  // only with 5 data bits
      if (LineControl.WordLength != 5) return STATUS_INVALID_PARAMETER;
      value |= LCR_STOP_BITS;
      break;
    case STOP_BITS_2:  // not with 5 data bits
      if (LineControl.WordLength == 5) return STATUS_INVALID_PARAMETER;
      value |= LCR_STOP_BITS;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  *Value = value;
  return STATUS_SUCCESS;
}

NTSTATUS SetDoubleRate(PPORT_DEVICE_CONTEXT Context, BOOLEAN On) {
  return ModifyRegisterBits(Context, PORT_CONTROL_REG, PORT_CONTROL_DOUBLE_RATE,
                            On ? PORT_CONTROL_DOUBLE_RATE : 0);
}

// Writes one divisor latch byte and reads it back for the log.
NTSTATUS WriteLatch(PPORT_DEVICE_CONTEXT Context, USHORT Address, UCHAR Value) {
  NTSTATUS status = WriteRegisterByte(Context, Address, Value);
  UCHAR readBack = 0;
  NTSTATUS readStatus = ReadRegisterByte(Context, Address, &readBack);
  DebugLog(Context->DeviceObject, "divisor latch %03X: wrote %02X, read %02X (%08X)", Address, Value,
           readBack, static_cast<unsigned>(readStatus));
  return status;
}

// Divisor latch access on, both latch bytes, access off. With the access bit
// not set the latch addresses are the transmit and interrupt-enable
// registers, so nothing is written to them then.
NTSTATUS WriteDivisor(PPORT_DEVICE_CONTEXT Context, USHORT Divisor) {
  NTSTATUS status = ModifyRegisterBits(Context, LINE_CONTROL_REGISTER, 0, LCR_DIVISOR_LATCH_ACCESS);
  if (!NT_SUCCESS(status)) return status;
  status |= WriteLatch(Context, DIVISOR_LATCH_LSB, static_cast<UCHAR>(Divisor & 0xFF));
  status |= WriteLatch(Context, DIVISOR_LATCH_MSB, static_cast<UCHAR>(Divisor >> 8));
  status |= ModifyRegisterBits(Context, LINE_CONTROL_REGISTER, LCR_DIVISOR_LATCH_ACCESS, 0);
  return status;
}

}  // namespace

NTSTATUS SerialSetBaudRateAndLineControl(PPORT_DEVICE_CONTEXT Context, ULONG NewBaudRate,
                                         const SERIAL_LINE_CONTROL* NewLineControl) {
  ULONG rate = NewBaudRate != 0 ? NewBaudRate : Context->BaudRate;
  SERIAL_LINE_CONTROL lineControl = NewLineControl != nullptr ? *NewLineControl : Context->LineControl;

  // Everything that can be refused is refused before the chip is touched, so
  // a bad request leaves chip and context as they were.
  UCHAR lcr = 0;
  NTSTATUS status = EncodeLineControl(lineControl, &lcr);
  if (!NT_SUCCESS(status)) return status;
  BaudPlan plan;
  status = PlanBaudRate(Context, rate, &plan);
  if (!NT_SUCCESS(status)) return status;
  UCHAR fcrTrigger = ReceiveTriggerBits(rate, Context->RxFifoTrigger);
  UCHAR config1Bits = rate > SingleByteTriggerMaxRate ? Context->FifoTriggerLow : CONFIG1_ALWAYS_SET;

  NTSTATUS result = STATUS_SUCCESS;
  if (plan.Custom) result |= SetDoubleRate(Context, plan.CustomDoubleRate);

  UCHAR config0 = 0;
  status = ReadRegisterByte(Context, SERIAL_CONFIG_REG0, &config0);
  if (!NT_SUCCESS(status)) return status;
  result |= WriteRegisterByte(Context, SERIAL_CONFIG_REG0, config0);
  if (plan.FromTable) result |= SetDoubleRate(Context, plan.DoubleRate);
  config0 = static_cast<UCHAR>((config0 & ~CONFIG0_CLOCK_SELECT_MASK) | plan.SelUartClk);
  result |= WriteRegisterByte(Context, SERIAL_CONFIG_REG0, config0);

  result |= WriteDivisor(Context, plan.rDivisor);
  UCHAR current = 0;
  result |= ReadRegisterByte(Context, LINE_CONTROL_REGISTER, &current);
  result |= WriteRegisterByte(Context, LINE_CONTROL_REGISTER, lcr);
  result |= WriteRegisterByte(Context, FIFO_CONTROL_REGISTER,
                              static_cast<UCHAR>(FCR_ENABLE_AND_RESET | fcrTrigger));
  result |= ModifyRegisterBits(Context, SERIAL_CONFIG_REG1, CONFIG1_TRIGGER_MASK,
                               static_cast<UCHAR>(config1Bits | CONFIG1_ALWAYS_SET));
  if (!NT_SUCCESS(result)) return result;
  Context->BaudRate = rate;
  Context->LineControl = lineControl;
  return result;
}
