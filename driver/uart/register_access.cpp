// Synchronous URBs and the vendor register request.
#include "driver/uart/register_access.h"

#include "driver/context/debug_log.h"
#include "driver/context/pool.h"
#include "driver/uart/register_map.h"

namespace {

// 100-ns units, relative.
constexpr LONGLONG SubmitTimeout = -10'000'000;  // one second

// The request belongs to SubmitUrbSync, not to the I/O manager: stopping its
// completion here keeps it alive until SubmitUrbSync frees it, so a cancel
// after the time-out can never touch a freed request.
IO_COMPLETION_ROUTINE OnSyncUrbCompletion;
NTSTATUS OnSyncUrbCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS AccessRegister(PPORT_DEVICE_CONTEXT Context, BOOLEAN Read, USHORT Address, USHORT Length,
                        PVOID Buffer) {
  KeWaitForSingleObject(&Context->RegisterMutex, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (ULONG attempt = 0; attempt < RegisterAccessAttempts; ++attempt) {
    if (attempt > 0) DelayMilliseconds(1);
    auto urb = static_cast<PURB>(
        AllocatePoolMemory(SelectNonPagedPoolType(), sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)));
    if (urb == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    // Zero-filled so that no field the bus driver may look at is left undefined.
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    auto& request = urb->UrbControlVendorClassRequest;
    request.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    request.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    request.TransferFlags = Read ? USBD_TRANSFER_DIRECTION_IN : 0;
    request.TransferBufferLength = Length;
    request.TransferBuffer = Buffer;
    request.RequestTypeReservedBits = Read ? RegisterReadRequestType : RegisterWriteRequestType;
    request.Request = RegisterRequest;
    request.Value = Address;
    request.Index = 0;
    status = SubmitUrbSync(Context, urb);
    FreePoolMemory(urb);
    if (NT_SUCCESS(status)) break;
  }
  KeReleaseMutex(&Context->RegisterMutex, FALSE);
  return status;
}

}  // namespace

NTSTATUS SubmitUrbSync(PPORT_DEVICE_CONTEXT Context, PURB Urb) {
  PDEVICE_OBJECT lower = Context->LowerDeviceObject;
  if (lower == nullptr) return STATUS_UNSUCCESSFUL;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = Urb;
  IoSetCompletionRoutine(irp, OnSyncUrbCompletion, &done, TRUE, TRUE, TRUE);

  NTSTATUS status = IoCallDriver(lower, irp);
  if (status == STATUS_PENDING) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = SubmitTimeout;
    if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
      IoCancelIrp(irp);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      status = STATUS_UNSUCCESSFUL;
    } else {
      // How the transfer ended: a stalled or failed transfer must not pass
      // for a successful one.
      status = irp->IoStatus.Status;
    }
  }
  IoFreeIrp(irp);
  return status;
}

NTSTATUS ReadRegister(PPORT_DEVICE_CONTEXT Context, USHORT Address, USHORT Length, PVOID Buffer) {
  return AccessRegister(Context, TRUE, Address, Length, Buffer);
}

NTSTATUS WriteRegister(PPORT_DEVICE_CONTEXT Context, USHORT Address, USHORT Length, PVOID Buffer) {
  return AccessRegister(Context, FALSE, Address, Length, Buffer);
}

NTSTATUS ReadRegisterByte(PPORT_DEVICE_CONTEXT Context, USHORT Address, PUCHAR Value) {
  return ReadRegister(Context, Address, 1, Value);
}

NTSTATUS WriteRegisterByte(PPORT_DEVICE_CONTEXT Context, USHORT Address, UCHAR Value) {
  return WriteRegister(Context, Address, 1, &Value);
}

NTSTATUS ModifyRegisterBits(PPORT_DEVICE_CONTEXT Context, USHORT Address, UCHAR Clear, UCHAR Set,
                            PUCHAR Before) {
  UCHAR value = 0;
  NTSTATUS status = ReadRegisterByte(Context, Address, &value);
  if (!NT_SUCCESS(status)) {
    DebugLog(Context->DeviceObject, " - register %x not read: %x\n", Address, static_cast<unsigned>(status));
    return status;
  }
  if (Before != nullptr) *Before = value;
  return WriteRegisterByte(Context, Address, UCHAR((value & ~Clear) | Set));
}

VOID DelayMilliseconds(ULONG Milliseconds) {
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(Milliseconds) * TimerUnitsPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    return;
  }
  // Spinning holds the processor: the time is cut to a tenth (two 50 µs
  // stalls per millisecond asked for).
  for (ULONGLONG stall = 0; stall < 2ULL * Milliseconds; ++stall) KeStallExecutionProcessor(50);
}
