// Vendor device-access requests. The two-wire requests and the register
// requests move exactly the bytes of their fixed buffers; anything shorter is
// refused before a byte is read or written.
#include "driver/ioctl/vendor_access.h"

#include "driver/context/pool.h"
#include "driver/device/remote_wake.h"
#include "driver/uart/mode_pins.h"
#include "driver/uart/register_access.h"

namespace {

ULONG InputLength(PCONTROL_REQUEST Request) { return Request->InputLength; }

ULONG OutputLength(PCONTROL_REQUEST Request) { return Request->OutputLength; }

// The two-wire word, when the caller's buffer both holds one and can take
// one back; otherwise null and nothing is touched.
PTWO_WIRE_WORD TwoWireWord(PCONTROL_REQUEST Request) {
  if (Request->Buffer == nullptr || InputLength(Request) < sizeof(TWO_WIRE_WORD) ||
      OutputLength(Request) < sizeof(TWO_WIRE_WORD)) {
    return nullptr;
  }
  return static_cast<PTWO_WIRE_WORD>(Request->Buffer);
}

// The register block, when the input is exactly one (and, for a read, the
// output too) and Count fits in Data.
PREGISTER_ACCESS_BLOCK RegisterBlock(PCONTROL_REQUEST Request, BOOLEAN Read) {
  if (Request->Buffer == nullptr || InputLength(Request) != sizeof(REGISTER_ACCESS_BLOCK) ||
      (Read && OutputLength(Request) != sizeof(REGISTER_ACCESS_BLOCK))) {
    return nullptr;
  }
  auto block = static_cast<PREGISTER_ACCESS_BLOCK>(Request->Buffer);
  return block->Count <= RegisterAccessDataSize ? block : nullptr;
}

NTSTATUS Answer(PCONTROL_REQUEST Request, NTSTATUS Status, ULONG_PTR Information) {
  Request->Information = Information;
  return Status;
}

// The two-wire lines are also mode pins, which an open port drives (both low
// in mode 0): a plain start from there is no start condition at all, and the
// memory would not answer. A restart releases both lines first, so the
// memory sees a start whatever the lines were left at.
VOID BeginTwoWireTransaction(PPORT_DEVICE_CONTEXT Context) { I2cRestart(Context); }

}  // namespace

NTSTATUS IoctlI2cReadByte(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  PTWO_WIRE_WORD word = TwoWireWord(Request);
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
  Request->Information = sizeof(TWO_WIRE_WORD);
  return STATUS_SUCCESS;
}

NTSTATUS IoctlI2cWriteByte(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  PTWO_WIRE_WORD word = TwoWireWord(Request);
  if (word == nullptr) return STATUS_INVALID_PARAMETER;
  BeginTwoWireTransaction(Context);
  UCHAR ack = I2cWriteByte(Context, word->DeviceAddress);
  I2cWriteByte(Context, word->RegisterAddress);
  I2cWriteByte(Context, word->Data);
  I2cStop(Context);
  word->Acknowledge = ack;
  Request->Information = sizeof(TWO_WIRE_WORD);
  return STATUS_SUCCESS;
}

NTSTATUS IoctlReadRegister(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  PREGISTER_ACCESS_BLOCK block = RegisterBlock(Request, TRUE);
  if (block == nullptr) return STATUS_INVALID_PARAMETER;
  // A failed read leaves the caller's Data as it came.
  ReadRegister(Context, block->Register, block->Count, block->Data);
  Request->Information = sizeof(REGISTER_ACCESS_BLOCK);
  return STATUS_SUCCESS;
}

NTSTATUS IoctlWriteRegister(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  PREGISTER_ACCESS_BLOCK block = RegisterBlock(Request, FALSE);
  if (block == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = WriteRegister(Context, block->Register, block->Count, block->Data);
  // The block goes back only to a caller that gave room for it.
  Request->Information =
      OutputLength(Request) >= sizeof(REGISTER_ACCESS_BLOCK) ? sizeof(REGISTER_ACCESS_BLOCK) : 0;
  return status;
}

NTSTATUS IoctlResetPipe(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Request->Irp)->FileObject;
  if (file == nullptr || file->FsContext == nullptr) return Answer(Request, STATUS_INVALID_PARAMETER, 0);
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  urb.UrbPipeRequest.PipeHandle = static_cast<USBD_PIPE_HANDLE>(file->FsContext);
  SubmitUrbSync(Context, &urb);
  return Answer(Request, STATUS_SUCCESS, 0);
}

NTSTATUS IoctlGetConfigDescriptor(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  PUSB_CONFIGURATION_DESCRIPTOR descriptor = Context->ConfigurationDescriptor;
  if (descriptor == nullptr) return Answer(Request, STATUS_DEVICE_DATA_ERROR, 0);
  ULONG total = descriptor->wTotalLength;
  // The needed size goes back with the failure so that the caller can retry.
  if (OutputLength(Request) < total || Request->Buffer == nullptr) {
    return Answer(Request, STATUS_INVALID_PARAMETER, total);
  }
  RtlCopyMemory(Request->Buffer, descriptor, total);
  return Answer(Request, STATUS_SUCCESS, total);
}

NTSTATUS IoctlResetPort(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io;
  io.Status = STATUS_SUCCESS;
  io.Information = 0;
  PIRP reset = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_RESET_PORT, Context->LowerDeviceObject,
                                             nullptr, 0, nullptr, 0, TRUE, &done, &io);
  if (reset == nullptr) return Answer(Request, STATUS_INSUFFICIENT_RESOURCES, 0);
  NTSTATUS status = IoCallDriver(Context->LowerDeviceObject, reset);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = io.Status;
  }
  return Answer(Request, status, 0);
}

NTSTATUS IoctlFeatureClear(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  return SendRemoteWakeFeature(Context, FALSE);
}

NTSTATUS IoctlFeatureSet(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  return SendRemoteWakeFeature(Context, TRUE);
}
