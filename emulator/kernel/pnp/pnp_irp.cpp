// Plug and Play requests as the kernel sends them, with the checks the
// verifier makes on their outcome.
#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/pnp/pnp_internal.h"
#include "emulator/kernel/rtl/text.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::pnp::internal {
namespace {

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the manager frees the IRP
}

const char* MinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE:
      return "IRP_MN_START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE:
      return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE:
      return "IRP_MN_STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE:
      return "IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE:
      return "IRP_MN_CANCEL_STOP_DEVICE";
    case IRP_MN_QUERY_CAPABILITIES:
      return "IRP_MN_QUERY_CAPABILITIES";
    case IRP_MN_SURPRISE_REMOVAL:
      return "IRP_MN_SURPRISE_REMOVAL";
    default:
      return "IRP_MJ_PNP";
  }
}

// Requests the bus driver must answer for its child: STATUS_NOT_SUPPORTED
// coming back means a driver failed one with the status that says "nobody
// handled this", or put it back over an answer.
bool MustBeHandled(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_CAPABILITIES:
    case IRP_MN_SURPRISE_REMOVAL:
      return true;
    default:
      return false;
  }
}

void CheckOutcome(PDEVICE_OBJECT pdo, UCHAR minor, NTSTATUS status) {
  if (MustBeHandled(minor) && status == STATUS_NOT_SUPPORTED)
    verifier::Fail("PnP IRP completed with STATUS_NOT_SUPPORTED", MinorName(minor), pdo,
                   "the status of an unhandled request; a driver must answer it or pass it on unchanged");
  if (minor == IRP_MN_REMOVE_DEVICE && pdo->AttachedDevice != nullptr)
    verifier::Fail("device object still attached after IRP_MN_REMOVE_DEVICE", MinorName(minor),
                   pdo->AttachedDevice, "driver %s must detach and delete its device object",
                   text::ToUtf8(text::View(pdo->AttachedDevice->DriverObject->DriverName)).c_str());
}

}  // namespace

DEVICE_CAPABILITIES FreshCapabilities() {
  DEVICE_CAPABILITIES capabilities{};
  capabilities.Size = sizeof(DEVICE_CAPABILITIES);
  capabilities.Version = 1;
  capabilities.Address = 0xFFFFFFFF;
  capabilities.UINumber = 0xFFFFFFFF;
  return capabilities;
}

IrpResult SendPnpIrp(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(IO_STACK_LOCATION&)>& fill,
                     ULONG_PTR information) {
  verifier::CheckIrql(MinorName(minor), pdo, PASSIVE_LEVEL);
  // Keeps the PDO readable for the checks even when its bus deletes it.
  ObReferenceObject(pdo);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  IrpResult result{STATUS_INSUFFICIENT_RESOURCES, 0};
  if (PIRP irp = IoAllocateIrp(top->StackSize, FALSE)) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = information;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
    if (fill) fill(*stack);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    result = {irp->IoStatus.Status, irp->IoStatus.Information};
    IoFreeIrp(irp);
    CheckOutcome(pdo, minor, result.status);
  }
  ObDereferenceObject(top);
  ObDereferenceObject(pdo);
  return result;
}

}  // namespace kernel::pnp::internal
