#include "driver/device/pnp.h"

#include "driver/context/io_count.h"
#include "driver/context/pool.h"
#include "driver/context/port_context.h"
#include "driver/context/request_completion.h"
#include "driver/context/shared_flags.h"
#include "driver/device/naming.h"
#include "driver/device/start_device.h"
#include "driver/device/worker_threads.h"
#include "driver/uart/mode_pins.h"
#include "driver/uart/register_access.h"
#include "driver/uart/register_map.h"

namespace {

constexpr UCHAR FirstUnhandledMinor = 0x18;

NTSTATUS PassDown(PPORT_DEVICE_CONTEXT context, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(context->LowerDeviceObject, irp);
}

ULONG State(PPORT_DEVICE_CONTEXT context) { return ReadShared(&context->DeviceState); }
VOID SetState(PPORT_DEVICE_CONTEXT context, ULONG state) { WriteShared(&context->DeviceState, state); }

NTSTATUS HandleQueryRemove(PPORT_DEVICE_CONTEXT context, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  context->PrevDeviceState = State(context);
  SetState(context, PnpStateRemovePending);
  return PassDown(context, irp);
}

// Cancel-remove and cancel-stop: back to `restored` once the lower drivers
// agree, but only from the pending state the query entered. Back at work, the
// transfers get going again: completions do not re-arm while the port is not
// working.
NTSTATUS HandleCancel(PPORT_DEVICE_CONTEXT context, PIRP irp, ULONG pending, ULONG restored) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  if (State(context) != pending) return PassDown(context, irp);
  NTSTATUS status = ForwardAndWait(context->DeviceObject, irp);
  if (NT_SUCCESS(status)) SetState(context, restored);
  if (NT_SUCCESS(status) && restored == PnpStateWorking) ResumeTransfers(context);
  return CompleteIrp(irp, status);
}

NTSTATUS HandleQueryStop(PPORT_DEVICE_CONTEXT context, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  if (State(context) == PnpStateWorking) SetState(context, PnpStateStopPending);
  return PassDown(context, irp);
}

NTSTATUS HandleStop(PPORT_DEVICE_CONTEXT context, PIRP irp) {
  CancelPendingTransfers(context);
  WriteShared(&context->Started, 0);
  DeconfigureDevice(context->DeviceObject, State(context) == PnpStateWorking);
  SetState(context, PnpStateNotStarted);
  return PassDown(context, irp);
}

NTSTATUS HandleSurpriseRemoval(PPORT_DEVICE_CONTEXT context, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoSetDeviceInterfaceState(&context->InterfaceName, FALSE);
  SetState(context, PnpStateSurpriseRemoved);
  DeconfigureDevice(context->DeviceObject, FALSE);
  UnnamePort(context);
  return PassDown(context, irp);
}

// Pin control bit off and the mode pins high: the state the chip powers up in.
VOID ReleasePins(PPORT_DEVICE_CONTEXT context) {
  ModifyRegisterBits(context, PIN_OUTPUT_REG, PIN_OUTPUT_CONTROL, 0);
  SetModePins(context, 1, 1, 1);
}

NTSTATUS HandleRemove(PPORT_DEVICE_CONTEXT context, PIRP irp) {
  PDEVICE_OBJECT device = context->DeviceObject;
  irp->IoStatus.Status = STATUS_SUCCESS;
  ReleasePins(context);
  IoSetDeviceInterfaceState(&context->InterfaceName, FALSE);
  RtlFreeUnicodeString(&context->InterfaceName);
  DeconfigureDevice(device, State(context) == PnpStateWorking);
  SetState(context, PnpStateRemoved);
  WriteSharedByte(&context->PortClosing, 1);
  NTSTATUS status = PassDown(context, irp);
  CancelPendingTransfers(context);
  // Every holder, each transfer in flight among them, lets go before the
  // slots and the context are freed.
  IoReleaseRemoveLockAndWait(&context->RemoveLock, irp);
  IoDecrement(device);
  RemoveDevice(device);
  return status;
}

// The deepest device state the capabilities allow a wake from (1 = D0).
ULONG DeepestWakeState(const DEVICE_CAPABILITIES& c) {
  if (c.WakeFromD3) return PowerDeviceD3;
  if (c.WakeFromD2) return PowerDeviceD2;
  if (c.WakeFromD1) return PowerDeviceD1;
  return PowerDeviceD0;
}

VOID AddWakeFlags(DEVICE_CAPABILITIES& c, LONG deviceState) {
  switch (deviceState) {
    case PowerDeviceD0:
      c.WakeFromD0 = 1;
      break;
    case PowerDeviceD1:
      c.WakeFromD1 = 1;
      c.DeviceD1 = 1;
      break;
    case PowerDeviceD2:
      c.WakeFromD2 = 1;
      c.DeviceD2 = 1;
      break;
    case PowerDeviceD3:
      c.WakeFromD3 = 1;
      break;
    default:
      break;
  }
}

}  // namespace

VOID AdjustDeviceCapabilities(PDEVICE_CAPABILITIES Capabilities) {
  DEVICE_CAPABILITIES& c = *Capabilities;
  for (int s = PowerSystemWorking; s <= PowerSystemShutdown; ++s) {
    LONG entry = c.DeviceState[s];
    if (entry >= 0 && entry != PowerDeviceD0) c.DeviceState[s] = PowerDeviceD0;
  }
  c.SurpriseRemovalOK = 1;
  for (int s = PowerSystemSleeping1; s <= PowerSystemHibernate; ++s) {
    if (c.DeviceState[s] == PowerDeviceD1) c.DeviceD1 = 1;
    if (c.DeviceState[s] == PowerDeviceD2) c.DeviceD2 = 1;
  }
  AddWakeFlags(c, c.DeviceWake);
  // A SystemWake out of the table's range is ignored rather than used as an index.
  if (c.SystemWake != 0 && c.SystemWake < PowerSystemMaximum) AddWakeFlags(c, c.DeviceState[c.SystemWake]);
  if (c.SystemWake == 0) {
    LONG deepest = static_cast<LONG>(DeepestWakeState(c));
    if (deepest <= PowerDeviceD0) return;
    for (int s = PowerSystemSleeping3; s >= PowerSystemWorking; --s) {
      LONG entry = c.DeviceState[s];
      if (entry != 0 && entry <= deepest) {
        c.SystemWake = static_cast<SYSTEM_POWER_STATE>(s);
        return;
      }
    }
  }
}

namespace {

NTSTATUS HandleQueryCapabilities(PPORT_DEVICE_CONTEXT context, PIRP irp) {
  PDEVICE_CAPABILITIES capabilities =
      IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  if (capabilities->Version == 0) return PassDown(context, irp);
  NTSTATUS status = ForwardAndWait(context->DeviceObject, irp);
  if (NT_SUCCESS(status)) {
    AdjustDeviceCapabilities(capabilities);
    context->DeviceCapabilities = *capabilities;
  }
  return CompleteIrp(irp, status);
}

NTSTATUS HandleMinor(PPORT_DEVICE_CONTEXT context, PIRP irp, UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE:
      return StartDevice(context->DeviceObject, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return HandleQueryRemove(context, irp);
    case IRP_MN_REMOVE_DEVICE:
      return HandleRemove(context, irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return HandleCancel(context, irp, PnpStateRemovePending, context->PrevDeviceState);
    case IRP_MN_STOP_DEVICE:
      return HandleStop(context, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
      return HandleQueryStop(context, irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
      return HandleCancel(context, irp, PnpStateStopPending, PnpStateWorking);
    case IRP_MN_QUERY_CAPABILITIES:
      return HandleQueryCapabilities(context, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      return HandleSurpriseRemoval(context, irp);
    default:
      return PassDown(context, irp);
  }
}

}  // namespace

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  NTSTATUS status = IoAcquireRemoveLock(&context->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) return CompleteIrp(Irp, status);
  UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  status = minor < FirstUnhandledMinor ? HandleMinor(context, Irp, minor) : PassDown(context, Irp);
  // Removal has let go of the lock itself, and the context is gone.
  if (minor != IRP_MN_REMOVE_DEVICE) IoReleaseRemoveLock(&context->RemoveLock, Irp);
  return status;
}

VOID RemoveDevice(PDEVICE_OBJECT DeviceObject) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  IoWMIRegistrationControl(DeviceObject, WMIREG_ACTION_DEREGISTER);
  KeCancelTimer(&context->ReadTimer);
  // Close normally stops the write timer; a DPC of either timer must not
  // run on a deleted context.
  KeCancelTimer(&context->WriteTimer);
  KeFlushQueuedDpcs();
  StopPollingThreads(context);
  StopMsrThread(context);
  FreeQueueBuffer(&context->ReceiveBuffer);
  UnnamePort(context);
  FreePoolMemory(context->InterfaceInfo);
  context->InterfaceInfo = nullptr;
  FreePoolMemory(context->ConfigurationDescriptor);
  context->ConfigurationDescriptor = nullptr;
  FreePoolMemory(context->DeviceDescriptor);
  context->DeviceDescriptor = nullptr;
  IoDetachDevice(context->LowerDeviceObject);
  IoDeleteDevice(DeviceObject);
}
