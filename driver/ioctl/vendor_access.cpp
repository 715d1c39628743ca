// Vendor device-access requests. The two-wire requests and the register
// requests move exactly the bytes of their fixed buffers; anything shorter is
// refused before a byte is read or written.
#include "driver/ioctl/vendor_access.h"

#include "driver/context/io_count.h"
#include "driver/context/pool.h"
#include "driver/device/remote_wake.h"
#include "driver/uart/mode_pins.h"
#include "driver/uart/register_access.h"

namespace {

ULONG InputLength(PIRP Irp) {
  return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength;
}

ULONG OutputLength(PIRP Irp) {
  return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

// The two-wire word, when the caller's buffer both holds one and can take
// one back; otherwise null and nothing is touched.
PTWO_WIRE_WORD TwoWireWord(PIRP Irp) {
  if (Irp->AssociatedIrp.SystemBuffer == nullptr || InputLength(Irp) < sizeof(TWO_WIRE_WORD) ||
      OutputLength(Irp) < sizeof(TWO_WIRE_WORD)) {
    return nullptr;
  }
  return static_cast<PTWO_WIRE_WORD>(Irp->AssociatedIrp.SystemBuffer);
}

// The register block, when the input is exactly one (and, for a read, the
// output too) and Count fits in Data.
PREGISTER_ACCESS_BLOCK RegisterBlock(PIRP Irp, BOOLEAN Read) {
  if (Irp->AssociatedIrp.SystemBuffer == nullptr || InputLength(Irp) != sizeof(REGISTER_ACCESS_BLOCK) ||
      (Read && OutputLength(Irp) != sizeof(REGISTER_ACCESS_BLOCK))) {
    return nullptr;
  }
  auto block = static_cast<PREGISTER_ACCESS_BLOCK>(Irp->AssociatedIrp.SystemBuffer);
  return block->Count <= RegisterAccessDataSize ? block : nullptr;
}

// Ends one of the three requests that hold an OutstandingIo count.
NTSTATUS EndUsbLevel(PPORT_DEVICE_CONTEXT Context, PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Information = Information;
  IoDecrement(Context->DeviceObject);
  return Status;
}

// The two-wire lines are also mode pins, which an open port drives (both low
// in mode 0): a plain start from there is no start condition at all, and the
// memory would not answer. A restart releases both lines first, so the
// memory sees a start whatever the lines were left at.
VOID BeginTwoWireTransaction(PPORT_DEVICE_CONTEXT Context) { I2cRestart(Context); }

}  // namespace

NTSTATUS IoctlI2cReadByte(PPORT_DEVICE_CONTEXT Context, PIRP Irp) {
  PTWO_WIRE_WORD word = TwoWireWord(Irp);
  if (word == nullptr) return STATUS_INVALID_PARAMETER;
  BeginTwoWireTransaction(Context);
  UCHAR ack = I2cWriteByte(Context, word->DeviceAddress);
  I2cWriteByte(Context, word->RegisterAddress);
  I2cRestart(Context);
  I2cWriteByte(Context, UCHAR(word->DeviceAddress | 1));
  UCHAR data = I2cReadByte(Context);
  I2cSendAck(Context, FALSE);
  I2cStop(Context);
  word->Data = data;
  word->Acknowledge = ack;
  Irp->IoStatus.Information = sizeof(TWO_WIRE_WORD);
  return STATUS_SUCCESS;
}

NTSTATUS IoctlI2cWriteByte(PPORT_DEVICE_CONTEXT Context, PIRP Irp) {
  PTWO_WIRE_WORD word = TwoWireWord(Irp);
  if (word == nullptr) return STATUS_INVALID_PARAMETER;
  BeginTwoWireTransaction(Context);
  UCHAR ack = I2cWriteByte(Context, word->DeviceAddress);
  I2cWriteByte(Context, word->RegisterAddress);
  I2cWriteByte(Context, word->Data);
  I2cStop(Context);
  word->Acknowledge = ack;
  Irp->IoStatus.Information = sizeof(TWO_WIRE_WORD);
  return STATUS_SUCCESS;
}

NTSTATUS IoctlReadRegister(PPORT_DEVICE_CONTEXT Context, PIRP Irp) {
  PREGISTER_ACCESS_BLOCK block = RegisterBlock(Irp, TRUE);
  if (block == nullptr) return STATUS_INVALID_PARAMETER;
  // A failed read leaves the caller's Data as it came.
  ReadRegister(Context, block->Register, block->Count, block->Data);
  Irp->IoStatus.Information = sizeof(REGISTER_ACCESS_BLOCK);
  return STATUS_SUCCESS;
}

NTSTATUS IoctlWriteRegister(PPORT_DEVICE_CONTEXT Context, PIRP Irp) {
  PREGISTER_ACCESS_BLOCK block = RegisterBlock(Irp, FALSE);
  if (block == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = WriteRegister(Context, block->Register, block->Count, block->Data);
  // The block goes back only to a caller that gave room for it.
  Irp->IoStatus.Information = OutputLength(Irp) >= sizeof(REGISTER_ACCESS_BLOCK) ? sizeof(REGISTER_ACCESS_BLOCK) : 0;
  return status;
}

NTSTATUS IoctlResetPipe(PPORT_DEVICE_CONTEXT Context, PIRP Irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  if (file == nullptr || file->FsContext == nullptr) return EndUsbLevel(Context, Irp, STATUS_INVALID_PARAMETER, 0);
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  urb.UrbPipeRequest.PipeHandle = static_cast<USBD_PIPE_HANDLE>(file->FsContext);
  SubmitUrbSync(Context, &urb);
  return EndUsbLevel(Context, Irp, STATUS_SUCCESS, 0);
}

NTSTATUS IoctlGetConfigDescriptor(PPORT_DEVICE_CONTEXT Context, PIRP Irp) {
  PUSB_CONFIGURATION_DESCRIPTOR descriptor = Context->ConfigurationDescriptor;
  if (descriptor == nullptr) return EndUsbLevel(Context, Irp, STATUS_DEVICE_DATA_ERROR, 0);
  ULONG total = descriptor->wTotalLength;
  // The needed size goes back with the failure so that the caller can retry.
  if (OutputLength(Irp) < total || Irp->AssociatedIrp.SystemBuffer == nullptr) {
    return EndUsbLevel(Context, Irp, STATUS_INVALID_PARAMETER, total);
  }
  RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, descriptor, total);
  return EndUsbLevel(Context, Irp, STATUS_SUCCESS, total);
}

NTSTATUS IoctlResetPort(PPORT_DEVICE_CONTEXT Context, PIRP Irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io;
  io.Status = STATUS_SUCCESS;
  io.Information = 0;
  PIRP reset = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_RESET_PORT, Context->LowerDeviceObject, nullptr, 0,
                                             nullptr, 0, TRUE, &done, &io);
  if (reset == nullptr) return EndUsbLevel(Context, Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  NTSTATUS status = IoCallDriver(Context->LowerDeviceObject, reset);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = io.Status;
  }
  return EndUsbLevel(Context, Irp, status, 0);
}

NTSTATUS IoctlFeatureClear(PPORT_DEVICE_CONTEXT Context, PIRP Irp) {
  return SendRemoteWakeFeature(Context, FALSE);
}

NTSTATUS IoctlFeatureSet(PPORT_DEVICE_CONTEXT Context, PIRP Irp) {
  return SendRemoteWakeFeature(Context, TRUE);
}
