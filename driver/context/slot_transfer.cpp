#include "driver/context/slot_transfer.h"

#include "driver/context/shared_flags.h"
#include "driver/context/port_constants.h"

namespace {

// The same for every slot, bulk-out included: the pipe decides the direction.
constexpr ULONG SlotTransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

constexpr USHORT BulkUrbLength = 0x80;
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == BulkUrbLength,
              "the bulk transfer URB is 128 bytes on x64");

// Passes the slot IRP down with the slot URB, whatever it holds.
VOID PassSlotIrpDown(PPORT_DEVICE_CONTEXT context, IntUrb& slot, PIO_COMPLETION_ROUTINE completion) {
  // A fresh IRP each time: stack position restored, Cancel flag cleared.
  IoReuseIrp(slot.Irp, STATUS_SUCCESS);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(slot.Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = slot.Urb;
  IoSetCompletionRoutine(slot.Irp, completion, &slot, TRUE, TRUE, TRUE);
  IoCallDriver(context->LowerDeviceObject, slot.Irp);
}

}  // namespace

VOID SubmitSlotTransfer(PPORT_DEVICE_CONTEXT context, IntUrb& slot, PVOID buffer, ULONG length,
                        PIO_COMPLETION_ROUTINE completion) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = slot.Urb->UrbBulkOrInterruptTransfer;
  RtlZeroMemory(&transfer, sizeof transfer);
  transfer.Hdr.Length = BulkUrbLength;
  transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer.PipeHandle = slot.PipeInfo->PipeHandle;
  transfer.TransferFlags = SlotTransferFlags;
  transfer.TransferBufferLength = length;
  transfer.TransferBuffer = buffer;
  PassSlotIrpDown(context, slot, completion);
}

VOID SubmitSlotPipeReset(PPORT_DEVICE_CONTEXT context, IntUrb& slot, PIO_COMPLETION_ROUTINE completion) {
  struct _URB_PIPE_REQUEST& request = slot.Urb->UrbPipeRequest;
  RtlZeroMemory(&request, sizeof request);
  request.Hdr.Length = sizeof request;
  request.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  request.PipeHandle = slot.PipeInfo->PipeHandle;
  PassSlotIrpDown(context, slot, completion);
}

BOOLEAN IsPipeHalt(USBD_STATUS UrbStatus) {
  return UrbStatus == USBD_STATUS_STALL_PID || UrbStatus == USBD_STATUS_ENDPOINT_HALTED;
}

BOOLEAN IsSlotTransferShutDown(NTSTATUS IrpStatus, USBD_STATUS UrbStatus) {
  return IrpStatus == STATUS_CANCELLED || IrpStatus == STATUS_UNSUCCESSFUL ||
         IrpStatus == STATUS_DEVICE_NOT_CONNECTED || UrbStatus == USBD_STATUS(STATUS_DEVICE_NOT_CONNECTED);
}

BOOLEAN WaitForThreadWork(ULONG Count, PVOID* Events, PLARGE_INTEGER Timeout, NTSTATUS* Wait) {
  *Wait = KeWaitForMultipleObjects(Count, Events, WaitAny, Executive, KernelMode, FALSE, Timeout, nullptr);
  return NT_SUCCESS(*Wait) && *Wait != STATUS_WAIT_0;
}

BOOLEAN ReceptionResumesAfterCancel(PPORT_DEVICE_CONTEXT Context, NTSTATUS IrpStatus) {
  return IrpStatus == STATUS_CANCELLED && ReadSharedByte(&Context->PortClosing) == 0 &&
         ReadShared(&Context->DeviceState) == PnpStateWorking && ReadShared(&Context->Started) == 1;
}
