// A port's physical device object: the internal USB requests, Plug and Play
// and power as a hub's child device answers them. Transfers are handed to
// the model and complete from its clock callbacks; a pending transfer can be
// cancelled at any time through its IRP.
#include "emulator/chip/usb_port_device.h"

#include <atomic>
#include <memory>

#include "emulator/kernel/pnp_manager.h"
#include "platform/host/power.h"
#include "platform/host/usb.h"

namespace chip {
namespace {

// One IRP in the model's hands. Whoever of the transfer's end and the cancel
// routine comes last completes the IRP, so neither touches it afterwards.
struct InFlight {
  PIRP irp = nullptr;
  Port* port = nullptr;
  std::function<int32_t(int32_t, uint32_t)> finish;
  std::mutex mutex;
  TransferId id = 0;  // 0 until the model has the transfer
  bool cancelRequested = false;
  std::atomic<int> parties{2};
  int32_t status = 0;
  uint32_t length = 0;
  std::shared_ptr<InFlight> self;  // kept alive until the IRP is completed
};

void CompleteInFlight(InFlight& f) {
  std::shared_ptr<InFlight> keep = std::move(f.self);
  int32_t usbdStatus = f.finish(f.status, f.length);
  f.irp->IoStatus.Status = IrpStatusOf(usbdStatus);
  f.irp->IoStatus.Information = 0;
  IoCompleteRequest(f.irp, IO_NO_INCREMENT);
}

void Release(InFlight& f) {
  if (--f.parties == 0) CompleteInFlight(f);
}

VOID NTAPI CancelTransfer(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* f = static_cast<InFlight*>(irp->Tail.Overlay.DriverContext[0]);
  TransferId id;
  {
    std::lock_guard<std::mutex> lock(f->mutex);
    id = f->id;
    if (id == 0) f->cancelRequested = true;  // the submitter cancels it
  }
  if (id != 0) f->port->Cancel(id);
  Release(*f);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void AbortAll(PortDevice& device) {
  for (Pipe pipe : {Pipe::Control, Pipe::InterruptIn, Pipe::BulkIn, Pipe::BulkOut})
    device.port->AbortPipe(pipe);
}

NTSTATUS ResetPort(PortDevice& device, PIRP irp) {
  IoMarkIrpPending(irp);
  device.port->ResetPort([irp](int32_t usbdStatus, uint32_t) { Complete(irp, IrpStatusOf(usbdStatus)); });
  return STATUS_PENDING;
}

void FillCapabilities(PDEVICE_OBJECT pdo, PIO_STACK_LOCATION stack) {
  kernel::pnp::FillChildCapabilities(pdo, stack->Parameters.DeviceCapabilities.Capabilities);
}

}  // namespace

PortDevice& PortDeviceOf(PDEVICE_OBJECT pdo) { return **static_cast<PortDevice**>(pdo->DeviceExtension); }

PipeSlot* OpenPipe(PortDevice& device, PVOID handle) {
  std::lock_guard<std::mutex> lock(device.mutex);
  for (PipeSlot& slot : device.pipes) {
    if (&slot == handle && slot.open) return &slot;
  }
  return nullptr;
}

void ClosePipes(PortDevice& device) {
  std::lock_guard<std::mutex> lock(device.mutex);
  for (PipeSlot& slot : device.pipes) slot.open = false;
}

NTSTATUS IrpStatusOf(int32_t usbdStatus) {
  switch (usbdStatus) {
    case USBD_STATUS_SUCCESS:
      return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
      return STATUS_INVALID_PARAMETER;
    default:
      return USBD_SUCCESS(usbdStatus) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  }
}

NTSTATUS CompleteUrb(PIRP irp, PURB urb, int32_t usbdStatus) {
  if (urb != nullptr) urb->UrbHeader.Status = usbdStatus;
  irp->IoStatus.Information = 0;
  return Complete(irp, IrpStatusOf(usbdStatus));
}

NTSTATUS StartTransfer(PortDevice& device, PIRP irp, PURB urb,
                       std::function<int32_t(int32_t, uint32_t)> finish,
                       std::function<TransferId(TransferDone)> submit) {
  auto f = std::make_shared<InFlight>();
  f->irp = irp;
  f->port = device.port;
  f->finish = std::move(finish);
  f->self = f;
  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  irp->Tail.Overlay.DriverContext[0] = f.get();
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelTransfer);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {  // cancelled on its way here
    f->status = USBD_STATUS_CANCELED;
    CompleteInFlight(*f);
    return STATUS_PENDING;
  }
  TransferId id = submit([f](int32_t usbdStatus, uint32_t length) {
    f->status = usbdStatus;
    f->length = length;
    if (IoSetCancelRoutine(f->irp, nullptr) != nullptr) {
      CompleteInFlight(*f);
    } else {
      Release(*f);  // the cancel routine runs and has its say
    }
  });
  bool cancel;
  {
    std::lock_guard<std::mutex> lock(f->mutex);
    f->id = id;
    cancel = f->cancelRequested;
  }
  if (cancel) device.port->Cancel(id);
  return STATUS_PENDING;
}

NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) {
  PortDevice& device = PortDeviceOf(pdo);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return SubmitUrb(device, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_RESET_PORT:
      return ResetPort(device, irp);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  PortDevice& device = PortDeviceOf(pdo);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_CAPABILITIES:
      FillCapabilities(pdo, stack);
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      // The hub disables the port: what is pending ends, the pipes close.
      AbortAll(device);
      ClosePipes(device);
      bool missing = device.missing;
      Complete(irp, STATUS_SUCCESS);
      if (missing) {
        device.pdo = nullptr;
        IoDeleteDevice(pdo);
      }
      return STATUS_SUCCESS;
    }
    // Transfers a function driver leaves pending across a stop or a surprise
    // removal stay pending: only the removal disables the port.
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return Complete(irp, STATUS_SUCCESS);
    default:
      return Complete(irp, irp->IoStatus.Status);  // not ours: status unchanged
  }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT pdo, PIRP irp) {
  PortDevice& device = PortDeviceOf(pdo);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (stack->Parameters.Power.Type == DevicePowerState) {
        device.port->SetDevicePower(stack->Parameters.Power.State.DeviceState);
        PoSetPowerState(pdo, DevicePowerState, stack->Parameters.Power.State);
      }
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_POWER:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_WAIT_WAKE:
      status = STATUS_NOT_SUPPORTED;  // no wake signalling is modelled
      break;
    default:
      break;
  }
  PoStartNextPowerIrp(irp);
  return Complete(irp, status);
}

}  // namespace chip
