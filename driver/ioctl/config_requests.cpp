#include "driver/ioctl/config_requests.h"

#include "driver/context/debug_log.h"
#include "driver/context/receive_ring.h"
#include "driver/uart/baud_rate.h"
#include "driver/uart/modem_lines.h"
#include "driver/uart/register_access.h"
#include "driver/uart/register_map.h"

namespace {

constexpr UCHAR FifoControlCallerBits = 0x3E;

// Values the port reports in SERIAL_COMMPROP.
constexpr USHORT CommPropPacketVersion = 2;
constexpr ULONG CommPropProvCapabilities = 0x1FB;
constexpr ULONG CommPropSettableParams = 0x3F;
constexpr ULONG CommPropSettableBaud = 0x10000FFF;
constexpr USHORT CommPropSettableData = 0x000F;
constexpr USHORT CommPropSettableStopParity = 0x1F07;

ULONG ReceiveCapacity(PPORT_DEVICE_CONTEXT context) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&context->ReceiveBufferLock, &oldIrql);
  ULONG size = context->ReceiveBuffer.Size;
  KeReleaseSpinLock(&context->ReceiveBufferLock, oldIrql);
  return size;
}

// FIFOs always on; the caller chooses only the reset and DMA bits, the port
// the receive trigger.
UCHAR RequestedFifoControl(PPORT_DEVICE_CONTEXT context, ULONG requested) {
  UCHAR trigger = ReceiveTriggerBits(context->BaudRate, context->RxFifoTrigger);
  return UCHAR(FCR_ENABLE | (requested & FifoControlCallerBits) | trigger);
}

}  // namespace

// A rate of 0 would mean "keep the current rate" to the programming routine,
// so the request would succeed without doing what was asked: refuse it.
NTSTATUS IoctlSetBaudRate(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  SERIAL_BAUD_RATE rate;
  CopyIn(&rate, Request);
  NTSTATUS status = rate.BaudRate == 0 ? STATUS_INVALID_PARAMETER
                                       : SerialSetBaudRateAndLineControl(Context, rate.BaudRate, nullptr);
  DebugLog(Context->DeviceObject, "-- IOCTL_SERIAL_SET_BAUD_RATE status:%x pNewBaudRate=%x\n",
           unsigned(status), unsigned(rate.BaudRate));
  return status;
}

NTSTATUS IoctlGetBaudRate(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  SERIAL_BAUD_RATE rate = {Context->BaudRate};
  return CopyOut(Request, rate);
}

NTSTATUS IoctlSetLineControl(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  SERIAL_LINE_CONTROL lineControl;
  CopyIn(&lineControl, Request);
  return SerialSetBaudRateAndLineControl(Context, 0, &lineControl);
}

NTSTATUS IoctlGetLineControl(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  return CopyOut(Request, Context->LineControl);
}

// Taken as they are: the read and write paths use them from the next request
// they start. Copied in under no lock although the read timer's DPC and the
// bulk-in completion read them: each field is an aligned ULONG, so a reader
// sees every field old or new, never torn; a read running during the copy may
// mix old and new fields for that one read, as with any timeout change made
// while a read is pending.
NTSTATUS IoctlSetTimeouts(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  CopyIn(&Context->Timeouts, Request);
  return STATUS_SUCCESS;
}

NTSTATUS IoctlGetTimeouts(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  return CopyOut(Request, Context->Timeouts);
}

// Copied in under no lock although the bulk-in completion reads XonChar and
// XoffChar at DISPATCH_LEVEL: single bytes are never torn, and a transfer
// decoded during the copy uses the old or the new character.
NTSTATUS IoctlSetChars(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  CopyIn(&Context->SpecialChars, Request);
  return STATUS_SUCCESS;
}

NTSTATUS IoctlGetChars(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  return CopyOut(Request, Context->SpecialChars);
}

// HandFlow is stored by SerialApplyHandFlow, which needs the old settings to
// see which line modes change.
NTSTATUS IoctlSetHandFlow(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  SERIAL_HANDFLOW handFlow;
  CopyIn(&handFlow, Request);
  SerialApplyHandFlow(Context, &handFlow);
  return STATUS_SUCCESS;
}

NTSTATUS IoctlGetHandFlow(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  return CopyOut(Request, Context->HandFlow);
}

// Only the receive size counts, and the ring never shrinks.
NTSTATUS IoctlSetQueueSize(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  SERIAL_QUEUE_SIZE size;
  CopyIn(&size, Request);
  KIRQL oldIrql;
  KeAcquireSpinLock(&Context->ReceiveBufferLock, &oldIrql);
  NTSTATUS status = STATUS_SUCCESS;
  if (size.InSize > Context->ReceiveBuffer.Size) {
    status = ResizeQueueBuffer(&Context->ReceiveBuffer, size.InSize);
  }
  KeReleaseSpinLock(&Context->ReceiveBufferLock, oldIrql);
  return status;
}

// The port has no transmit queue of its own: both queues are reported as the
// receive ring's capacity. Fields the port does not set are zero.
NTSTATUS IoctlGetProperties(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  ULONG capacity = ReceiveCapacity(Context);
  ULONG queue = capacity != 0 ? capacity - 1 : 0;
  SERIAL_COMMPROP properties;
  RtlZeroMemory(&properties, sizeof properties);
  properties.PacketLength = sizeof properties;
  properties.PacketVersion = CommPropPacketVersion;
  properties.ServiceMask = SERIAL_SP_SERIALCOMM;
  properties.MaxTxQueue = queue;
  properties.MaxRxQueue = queue;
  properties.MaxBaud = SERIAL_BAUD_USER;
  properties.ProvSubType = SERIAL_SP_RS232;
  properties.ProvCapabilities = CommPropProvCapabilities;
  properties.SettableParams = CommPropSettableParams;
  properties.SettableBaud = CommPropSettableBaud;
  properties.SettableData = CommPropSettableData;
  properties.SettableStopParity = CommPropSettableStopParity;
  properties.CurrentTxQueue = queue;
  properties.CurrentRxQueue = queue;
  return CopyOut(Request, properties);
}

// No provider configuration data.
NTSTATUS IoctlConfigSize(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  ULONG size = 0;
  return CopyOut(Request, size);
}

NTSTATUS IoctlCommConfig(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) { return STATUS_SUCCESS; }

NTSTATUS IoctlSetFifoControl(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  ULONG requested;
  CopyIn(&requested, Request);
  UCHAR value = RequestedFifoControl(Context, requested);
  return WriteRegisterByte(Context, FIFO_CONTROL_REGISTER, value);
}
