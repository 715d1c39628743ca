// Open, cleanup and close. Register failures do not stop open or close: every
// step is attempted. A read-modify-write whose read fails writes nothing, so
// no value the chip did not give reaches a register.
#include "driver/uart/open_close.h"

#include "driver/context/debug_log.h"
#include "driver/context/request_completion.h"
#include "driver/context/shared_flags.h"
#include "driver/context/device_power_requests.h"
#include "driver/uart/mode_pins.h"
#include "driver/uart/modem_lines.h"
#include "driver/uart/purge.h"
#include "driver/uart/register_access.h"
#include "driver/uart/register_map.h"
#include "driver/datapath/wait_mask.h"

namespace {

constexpr ULONG ClosingSettleDelay = 10;  // ms
constexpr ULONG CancelDelay = 10;         // ms before each transfer is cancelled
constexpr ULONG OpenSettleDelay = 20;     // ms

UCHAR PortSetupLevelBits(UCHAR level) {
  switch (level) {
    case 4:
      return PORT_SETUP_LEVEL_4;
    case 8:
      return PORT_SETUP_LEVEL_8;
    case 12:
      return PORT_SETUP_LEVEL_12;
    default:
      return 0;
  }
}

// PORT_SETUP_REG's bits from the settings; only PORT_SETUP_KEEP survives.
UCHAR PortSetupBits(PPORT_DEVICE_CONTEXT context) {
  return UCHAR(UCHAR(context->PortSetupHigh << PORT_SETUP_HIGH_SHIFT) |
               PortSetupLevelBits(context->PortSetupLevel) | context->PortSetupBit0);
}

// FIFOs on and emptied, with the trigger for the current rate; off when the
// probe found none.
UCHAR OpeningFifoControl(PPORT_DEVICE_CONTEXT context) {
  if (!context->FifoPresent) {
    return 0;
  }
  return UCHAR(FCR_ENABLE_AND_RESET | ReceiveTriggerBits(context->BaudRate, context->RxFifoTrigger));
}

// A transfer that the last close cancelled may still be on its way back;
// its completion restarts its chain when it finds the port open again. The
// bulk-out thread ends an XOFF that the port was closed with by an XON.
VOID StartTransfers(PPORT_DEVICE_CONTEXT context) {
  WriteSharedByte(&context->PortClosing, 0);
  DelayMilliseconds(ClosingSettleDelay);
  KeSetEvent(&context->ReadPollEvent, IO_NO_INCREMENT, FALSE);
  KeSetEvent(&context->IntPollEvent, IO_NO_INCREMENT, FALSE);
  KeSetEvent(&context->WritePollEvent, IO_NO_INCREMENT, FALSE);
}

// Everything after the power-up: the chip's working configuration, with
// reception and modem-status reports started. Only the SERIAL_CONFIG_REG0
// and interrupt-enable results count.
NTSTATUS ConfigurePort(PPORT_DEVICE_CONTEXT context) {
  ModifyRegisterBits(context, PORT_CONTROL_REG, 0, PORT_CONTROL_OPEN);
  SerialClearStats(context);
  ModifyRegisterBits(context, PORT_SETUP_REG, UCHAR(~PORT_SETUP_KEEP), PortSetupBits(context));
  ApplyPortModePins(context);
  NTSTATUS configStatus = MirrorModeFlags(context, CONFIG0_MODE_FLAGS);
  WriteRegisterByte(context, FIFO_CONTROL_REGISTER, OpeningFifoControl(context));
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->ReceiveBufferLock, &oldIrql);
  ClearQueueBuffer(&context->ReceiveBuffer);
  KeReleaseSpinLock(&context->ReceiveBufferLock, oldIrql);
  // An empty ring wants the far end sending: RTS and DTR up, as the open
  // raises them below, and no XOFF.
  WriteSharedByte(&context->ReceiveFlowOff, 0);
  WriteSharedByte(&context->ReceiveFlowLow, 0);
  StartTransfers(context);
  UCHAR lineStatus = 0;
  ReadRegisterByte(context, LINE_STATUS_REGISTER, &lineStatus);
  DebugLog(context->DeviceObject, " - DispatchCreate LSR=%x\n", lineStatus);
  UCHAR outputs = context->LoopbackMode == 1 ? UCHAR(MCR_OUT2 | MCR_LOOPBACK) : MCR_OUT2;
  ChangeModemControl(context, outputs, 0);
  SerialSetDtr(context);
  SerialSetRts(context);
  NTSTATUS interruptStatus = WriteRegisterByte(context, INTERRUPT_ENABLE_REGISTER, IER_MODEM_STATUS);
  DelayMilliseconds(OpenSettleDelay);
  return configStatus | interruptStatus;
}

// Stops reception and modem-status reports, ends the reads and writes, drops
// the modem lines (RTS first) and disables the chip's interrupts. Close, and
// an open that failed after it had started the port.
VOID QuietenPort(PPORT_DEVICE_CONTEXT context) {
  SerialKillAllWrites(context);
  SerialKillAllReads(context);
  const ULONG receiveSlots[] = {BulkInSlot, InterruptInSlot};
  for (ULONG slotIndex : receiveSlots) {
    PIRP irp = context->IntUrbs[slotIndex].Irp;
    if (irp != nullptr) {
      DelayMilliseconds(CancelDelay);
      IoCancelIrp(irp);
    }
  }
  ModifyRegisterBits(context, PORT_CONTROL_REG, PORT_CONTROL_CLOSE_MASK, 0);
  WriteRegisterByte(context, PORT_AUX_REG0, 0);
  WriteRegisterByte(context, PORT_AUX_REG1, 0);
  SerialClrRts(context);
  SerialClrDtr(context);
  ChangeModemControl(context, 0, MCR_OUT2);
  WriteRegisterByte(context, INTERRUPT_ENABLE_REGISTER, 0);
}

VOID BeginClosing(PPORT_DEVICE_CONTEXT context) {
  WriteSharedByte(&context->PortClosing, 1);
  DelayMilliseconds(ClosingSettleDelay);
}

ULONG TakeHandle(PPORT_DEVICE_CONTEXT context) {
  return ULONG(InterlockedIncrement(reinterpret_cast<volatile LONG*>(&context->handles)));
}

ULONG ReleaseHandle(PPORT_DEVICE_CONTEXT context) {
  return ULONG(InterlockedDecrement(reinterpret_cast<volatile LONG*>(&context->handles)));
}

}  // namespace

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  if (TakeHandle(context) != 1) {
    ReleaseHandle(context);
    return CompleteIrpWithInfo(Irp, STATUS_ACCESS_DENIED, 0);
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (context->DevPowerState != ULONG(PowerDeviceD0)) {
    status = SendDeviceSetPower(context, PowerDeviceD0, TRUE);
  }
  if (NT_SUCCESS(status)) {
    status = ConfigurePort(context);
    if (!NT_SUCCESS(status)) {
      BeginClosing(context);
      QuietenPort(context);
    }
  }
  if (!NT_SUCCESS(status)) {
    // No close follows a failed open: give the place back so that the port
    // can be opened again.
    ReleaseHandle(context);
    DebugLog(DeviceObject, " - DispatchCreate failed: %x\n", static_cast<unsigned>(status));
  }
  return CompleteIrpWithInfo(Irp, status, 0);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  KeCancelTimer(&context->WriteTimer);
  SerialKillAllWrites(context);
  KeCancelTimer(&context->ReadTimer);
  SerialKillAllReads(context);
  SerialKillCurrentWait(context);
  return CompleteIrpWithInfo(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  BeginClosing(context);
  ULONG remaining = ReleaseHandle(context);
  DebugLog(DeviceObject, " - DispatchClose handles=%u\n", static_cast<unsigned>(remaining));
  QuietenPort(context);
  return CompleteIrpWithInfo(Irp, STATUS_SUCCESS, 0);
}
