// Power management: DispatchPower and the power machine.
//
// Events 1 and 2 may arrive at DISPATCH_LEVEL (a lower driver completing
// there, the power manager's callback). The two steps that wait on USB
// transfers, the remote-wake request and the settings restore, then move to
// a work item that runs the same event at PASSIVE_LEVEL, so the order of the
// steps is kept. A main request whose completion was halted that way is
// completed again by the work item when the machine finishes.
#include "driver/device/power.h"

#include "driver/context/pool.h"
#include "driver/context/request_completion.h"
#include "driver/device/remote_wake.h"
#include "driver/uart/baud_rate.h"
#include "driver/uart/mode_pins.h"
#include "driver/uart/modem_lines.h"
#include "driver/uart/register_access.h"
#include "driver/uart/register_map.h"

namespace {

// Why a machine step stopped; the value RunPowerMachine returns.
struct Outcome {
  NTSTATUS Value;
  BOOLEAN Set;
};

constexpr ULONG WorkingState = 1;  // PowerSystemWorking and PowerDeviceD0 alike

PIO_STACK_LOCATION MainStack(PPOWER_CONTEXT Context) { return IoGetCurrentIrpStackLocation(Context->Irp); }

// The state the main request asks for, as a number: system or device state.
ULONG RequestedState(PPOWER_CONTEXT Context) { return ULONG(MainStack(Context)->Parameters.Power.State.SystemState); }

BOOLEAN IsSystemRequest(PPOWER_CONTEXT Context) {
  return MainStack(Context)->Parameters.Power.Type == SystemPowerState;
}

BOOLEAN IsSetPower(PPOWER_CONTEXT Context) { return MainStack(Context)->MinorFunction == IRP_MN_SET_POWER; }

UCHAR ReadByte(const volatile UCHAR* Field) { return __atomic_load_n(Field, __ATOMIC_SEQ_CST); }
VOID WriteByte(volatile UCHAR* Field, UCHAR Value) { __atomic_store_n(Field, Value, __ATOMIC_SEQ_CST); }

// DevPowerState and SysPowerState are read by other paths without a lock.
ULONG ReadState(const volatile ULONG* Field) { return __atomic_load_n(Field, __ATOMIC_SEQ_CST); }
VOID WriteState(volatile ULONG* Field, ULONG Value) { __atomic_store_n(Field, Value, __ATOMIC_SEQ_CST); }

BOOLEAN RemoteWakeDue(PPORT_DEVICE_CONTEXT Extension) {
  return ReadByte(&Extension->DeviceWakeEnable) == 1 && ReadByte(&Extension->RemoteWakeArmed) == 0;
}

VOID ArmRemoteWake(PPORT_DEVICE_CONTEXT Extension) {
  if (!RemoteWakeDue(Extension)) return;
  WriteByte(&Extension->RemoteWakeArmed, 1);
  SendRemoteWakeFeature(Extension, TRUE);  // its status is not used
}

VOID RestoreSettings(PPORT_DEVICE_CONTEXT Extension) {
  WriteByte(&Extension->RemoteWakeArmed, 0);
  ApplyPortModePins(Extension);
  UCHAR flags = Extension->PortModeFlags;
  if (flags & 3) {
    UCHAR config = 0;
    // A failed read writes nothing: no undefined value reaches the register.
    if (NT_SUCCESS(ReadRegister(Extension, SERIAL_CONFIG_REG0, 1, &config))) {
      config = UCHAR((config & ~(CONFIG0_MODE_FLAG0 | CONFIG0_MODE_FLAG1)) | ((flags & 1) ? CONFIG0_MODE_FLAG0 : 0) |
                     ((flags & 2) ? CONFIG0_MODE_FLAG1 : 0));
      WriteRegister(Extension, SERIAL_CONFIG_REG0, 1, &config);
    }
  }
  KeSetEvent(&Extension->ReadPollEvent, IO_NO_INCREMENT, FALSE);
  WriteByte(&Extension->RestorePending, 0);
  KeSetEvent(&Extension->IntPollEvent, IO_NO_INCREMENT, FALSE);
  UCHAR enable = IER_MODEM_STATUS;
  WriteRegister(Extension, INTERRUPT_ENABLE_REGISTER, 1, &enable);
  SerialSetBaudRateAndLineControl(Extension, Extension->BaudRate, nullptr);
  RestoreModemControl(Extension);
}

VOID FreePowerContext(PPOWER_CONTEXT Context) {
  if (Context->WorkItem != nullptr) IoFreeWorkItem(Context->WorkItem);
  FreePoolMemory(Context);
}

VOID Finish(PPOWER_CONTEXT Context, ULONG Event, Outcome* Result) {
  PIRP irp = Context->Irp;
  NTSTATUS status = Context->Status;
  PoStartNextPowerIrp(irp);
  if (Event == PowerEventLowerDone && !Context->CompletionHalted) {
    // Inside the completion routine: the completion simply goes on.
    Result->Value = status;
    Result->Set = TRUE;
  } else {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  if (!Result->Set) {
    Result->Value = STATUS_SUCCESS;
    Result->Set = TRUE;
  }
  Context->State = PowerStateFinal;
  FreePowerContext(Context);
}

NTSTATUS OnMainRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// The context may be gone once the request is passed down.
VOID PassDown(PPOWER_CONTEXT Context) {
  PIRP irp = Context->Irp;
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, OnMainRequestDone, Context, TRUE, TRUE, TRUE);
  PoCallDriver(Context->Extension->LowerDeviceObject, irp);
}

// D0 for the working state. For any other the device state the capabilities
// name for it is raised to D3 when lower, and D3 is the lowest there is: the
// device goes all the way down.
VOID ChooseDeviceState(PPOWER_CONTEXT Context) {
  Context->DeviceTarget = RequestedState(Context) == WorkingState ? PowerDeviceD0 : PowerDeviceD3;
  Context->MinorFunction = MainStack(Context)->MinorFunction;
}

VOID OnDevicePowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState, PVOID Context,
                       PIO_STATUS_BLOCK IoStatus);

// The context may be gone once the request is accepted.
VOID RequestDevicePower(PPOWER_CONTEXT Context, ULONG Event, Outcome* Result) {
  POWER_STATE state;
  state.DeviceState = DEVICE_POWER_STATE(Context->DeviceTarget);
  NTSTATUS status = PoRequestPowerIrp(Context->Extension->Pdo, Context->MinorFunction, state, OnDevicePowerDone,
                                      Context, nullptr);
  if (NT_SUCCESS(status)) return;
  Context->Status = status;
  Finish(Context, Event, Result);
}

VOID ClassifyDevice(PPOWER_CONTEXT Context, ULONG Event, Outcome* Result) {
  PPORT_DEVICE_CONTEXT extension = Context->Extension;
  ULONG state = RequestedState(Context);
  ULONG current = ReadState(&extension->DevPowerState);
  if (!IsSetPower(Context)) {
    Context->State = state < current ? PowerStateQueryUpPassedDown : PowerStateQueryDownPassedDown;
    PassDown(Context);
    return;
  }
  if (state < current) {
    Context->State = PowerStateDeviceUpPassedDown;
    PassDown(Context);
    return;
  }
  // DeviceDown: same or less power.
  Context->State = PowerStateDeviceDownPassedDown;
  if (state > current) {
    WriteState(&extension->DevPowerState, state);
    if (ReadByte(&extension->RestorePending) == 1) {
      KeSetEvent(&extension->ReadPollEvent, IO_NO_INCREMENT, FALSE);
      KeSetEvent(&extension->IntPollEvent, IO_NO_INCREMENT, FALSE);
      WriteByte(&extension->RestorePending, 0);
    }
  }
  PassDown(Context);
}

VOID Classify(PPOWER_CONTEXT Context, ULONG Event, Outcome* Result) {
  Result->Value = STATUS_PENDING;
  Result->Set = TRUE;
  IoMarkIrpPending(Context->Irp);
  if (!IsSystemRequest(Context)) {
    Context->State = PowerStateClassifyingDevice;
    ClassifyDevice(Context, Event, Result);
  } else if (RequestedState(Context) < ReadState(&Context->Extension->SysPowerState)) {
    Context->State = PowerStateSystemUpPassedDown;
    PassDown(Context);
  } else {
    Context->State = PowerStateDeviceBeforeSystemDown;
    ChooseDeviceState(Context);
    RequestDevicePower(Context, Event, Result);
  }
}

VOID SystemUpDone(PPOWER_CONTEXT Context, ULONG Event, Outcome* Result) {
  if (!NT_SUCCESS(Context->Status)) {
    Finish(Context, Event, Result);
    return;
  }
  if (IsSetPower(Context)) WriteState(&Context->Extension->SysPowerState, RequestedState(Context));
  Context->State = PowerStateDeviceAfterSystemUp;
  Result->Value = STATUS_MORE_PROCESSING_REQUIRED;
  Result->Set = TRUE;
  ChooseDeviceState(Context);
  RequestDevicePower(Context, Event, Result);
}

VOID SystemDownDeviceDone(PPOWER_CONTEXT Context, ULONG Event, Outcome* Result) {
  if (!NT_SUCCESS(Context->Status)) {
    Finish(Context, Event, Result);
    return;
  }
  Context->State = PowerStateSystemDownPassedDown;
  PassDown(Context);
}

VOID SystemDownDone(PPOWER_CONTEXT Context, ULONG Event, Outcome* Result) {
  if (IsSetPower(Context)) WriteState(&Context->Extension->SysPowerState, RequestedState(Context));
  Finish(Context, Event, Result);
}

VOID DeviceUpDone(PPOWER_CONTEXT Context, ULONG Event, Outcome* Result) {
  if (NT_SUCCESS(Context->Status) && IsSetPower(Context)) {
    PPORT_DEVICE_CONTEXT extension = Context->Extension;
    WriteState(&extension->DevPowerState, RequestedState(Context));
    if (ReadByte(&extension->RestorePending) == 1) RestoreSettings(extension);
  }
  Finish(Context, Event, Result);
}

// Whether this event runs a step that waits on a USB transfer.
BOOLEAN NeedsPassiveLevel(PPOWER_CONTEXT Context, ULONG Event) {
  return RemoteWakeDue(Context->Extension) ||
         (Context->State == PowerStateDeviceUpPassedDown && Event == PowerEventLowerDone);
}

NTSTATUS OnWaitWakeDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  return STATUS_CONTINUE_COMPLETION;
}

VOID RunDeferredEvent(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  auto context = static_cast<PPOWER_CONTEXT>(Context);
  RunPowerMachine(context, context->DeferredEvent);
}

NTSTATUS OnMainRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  auto context = static_cast<PPOWER_CONTEXT>(Context);
  context->Status = Irp->IoStatus.Status;
  if (KeGetCurrentIrql() > PASSIVE_LEVEL && NeedsPassiveLevel(context, PowerEventLowerDone)) {
    context->CompletionHalted = TRUE;
    context->DeferredEvent = PowerEventLowerDone;
    IoQueueWorkItem(context->WorkItem, RunDeferredEvent, DelayedWorkQueue, context);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  return RunPowerMachine(context, PowerEventLowerDone);
}

VOID OnDevicePowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState, PVOID Context,
                       PIO_STATUS_BLOCK IoStatus) {
  auto context = static_cast<PPOWER_CONTEXT>(Context);
  context->Status = IoStatus->Status;
  if (KeGetCurrentIrql() > PASSIVE_LEVEL && NeedsPassiveLevel(context, PowerEventDeviceDone)) {
    context->DeferredEvent = PowerEventDeviceDone;
    IoQueueWorkItem(context->WorkItem, RunDeferredEvent, DelayedWorkQueue, context);
    return;
  }
  RunPowerMachine(context, PowerEventDeviceDone);
}

}  // namespace

NTSTATUS RunPowerMachine(PPOWER_CONTEXT Context, ULONG Event) {
  PPORT_DEVICE_CONTEXT extension = Context->Extension;
  if (RequestedState(Context) != WorkingState) WriteByte(&extension->RearmViaThread, 1);
  ArmRemoteWake(extension);
  Outcome result = {STATUS_SUCCESS, FALSE};
  switch (Context->State * 3 + Event) {
    case PowerStateNew * 3 + PowerEventNewRequest:
      Classify(Context, Event, &result);
      break;
    case PowerStateSystemUpPassedDown * 3 + PowerEventLowerDone:
      SystemUpDone(Context, Event, &result);
      break;
    case PowerStateDeviceAfterSystemUp * 3 + PowerEventDeviceDone:
    case PowerStateDeviceDownPassedDown * 3 + PowerEventLowerDone:
    case PowerStateQueryUpPassedDown * 3 + PowerEventLowerDone:
    case PowerStateQueryDownPassedDown * 3 + PowerEventLowerDone:
      Finish(Context, Event, &result);
      break;
    case PowerStateDeviceBeforeSystemDown * 3 + PowerEventDeviceDone:
      SystemDownDeviceDone(Context, Event, &result);
      break;
    case PowerStateSystemDownPassedDown * 3 + PowerEventLowerDone:
      SystemDownDone(Context, Event, &result);
      break;
    case PowerStateDeviceUpPassedDown * 3 + PowerEventLowerDone:
      DeviceUpDone(Context, Event, &result);
      break;
    case PowerStateClassifyingDevice * 3 + PowerEventDeviceDone:
      ClassifyDevice(Context, Event, &result);
      break;
    default:
      return STATUS_UNSUCCESSFUL;
  }
  return result.Value;
}

NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_DEVICE_CONTEXT extension = GetPortContext(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
      IoCopyCurrentIrpStackLocationToNext(Irp);
      IoSetCompletionRoutine(Irp, OnWaitWakeDone, nullptr, TRUE, TRUE, TRUE);
      PoStartNextPowerIrp(Irp);
      return PoCallDriver(extension->LowerDeviceObject, Irp);
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
      break;
    default:
      PoStartNextPowerIrp(Irp);
      IoSkipCurrentIrpStackLocation(Irp);
      return PoCallDriver(extension->LowerDeviceObject, Irp);
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState &&
      stack->Parameters.Power.State.DeviceState == PowerDeviceD0) {
    WriteByte(&extension->RestorePending, 1);
  }
  auto context = static_cast<PPOWER_CONTEXT>(AllocatePoolMemory(SelectNonPagedPoolType(), sizeof(POWER_CONTEXT)));
  PIO_WORKITEM workItem = context != nullptr ? IoAllocateWorkItem(DeviceObject) : nullptr;
  if (workItem == nullptr) {
    FreePoolMemory(context);
    PoStartNextPowerIrp(Irp);
    return CompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  RtlZeroMemory(context, sizeof *context);
  context->Extension = extension;
  context->Irp = Irp;
  context->MinorFunction = stack->MinorFunction;
  context->WorkItem = workItem;
  return RunPowerMachine(context, PowerEventNewRequest);
}
