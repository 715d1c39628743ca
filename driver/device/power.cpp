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
#include "driver/context/shared_flags.h"
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

PIO_STACK_LOCATION MainStack(PPOWER_CONTEXT Power) { return IoGetCurrentIrpStackLocation(Power->Irp); }

// The state the main request asks for, as a number: system or device state.
ULONG RequestedState(PPOWER_CONTEXT Power) {
  return ULONG(MainStack(Power)->Parameters.Power.State.SystemState);
}

BOOLEAN IsSystemRequest(PPOWER_CONTEXT Power) {
  return MainStack(Power)->Parameters.Power.Type == SystemPowerState;
}

BOOLEAN IsSetPower(PPOWER_CONTEXT Power) { return MainStack(Power)->MinorFunction == IRP_MN_SET_POWER; }

BOOLEAN RemoteWakeDue(PPORT_DEVICE_CONTEXT Context) {
  return ReadSharedByte(&Context->DeviceWakeEnable) == 1 && ReadSharedByte(&Context->RemoteWakeArmed) == 0;
}

VOID ArmRemoteWake(PPORT_DEVICE_CONTEXT Context) {
  if (!RemoteWakeDue(Context)) return;
  WriteSharedByte(&Context->RemoteWakeArmed, 1);
  SendRemoteWakeFeature(Context, TRUE);  // its status is not used
}

VOID RestoreSettings(PPORT_DEVICE_CONTEXT Context) {
  WriteSharedByte(&Context->RemoteWakeArmed, 0);
  ApplyPortModePins(Context);
  if ((Context->PortModeFlags & (PortModeFlag0 | PortModeBreakLevelHigh)) != 0) {
    MirrorModeFlags(Context, CONFIG0_MODE_FLAGS);
  }
  KeSetEvent(&Context->ReadPollEvent, IO_NO_INCREMENT, FALSE);
  WriteSharedByte(&Context->RestorePending, 0);
  KeSetEvent(&Context->IntPollEvent, IO_NO_INCREMENT, FALSE);
  WriteRegisterByte(Context, INTERRUPT_ENABLE_REGISTER, IER_MODEM_STATUS);
  SerialSetBaudRateAndLineControl(Context, Context->BaudRate, nullptr);
  RestoreModemControl(Context);
}

VOID FreePowerContext(PPOWER_CONTEXT Power) {
  if (Power->WorkItem != nullptr) IoFreeWorkItem(Power->WorkItem);
  FreePoolMemory(Power);
}

VOID Finish(PPOWER_CONTEXT Power, ULONG Event, Outcome* Result) {
  PIRP irp = Power->Irp;
  NTSTATUS status = Power->Status;
  PoStartNextPowerIrp(irp);
  if (Event == PowerEventLowerDone && !Power->CompletionHalted) {
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
  Power->State = PowerStateFinal;
  FreePowerContext(Power);
}

IO_COMPLETION_ROUTINE OnMainRequestDone;

// The context may be gone once the request is passed down.
VOID PassDown(PPOWER_CONTEXT Power) {
  PIRP irp = Power->Irp;
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, OnMainRequestDone, Power, TRUE, TRUE, TRUE);
  PoCallDriver(Power->Context->LowerDeviceObject, irp);
}

// D0 for the working state. For any other the device state the capabilities
// name for it is raised to D3 when lower, and D3 is the lowest there is: the
// device goes all the way down.
VOID ChooseDeviceState(PPOWER_CONTEXT Power) {
  Power->DeviceTarget = RequestedState(Power) == WorkingState ? PowerDeviceD0 : PowerDeviceD3;
  Power->MinorFunction = MainStack(Power)->MinorFunction;
}

REQUEST_POWER_COMPLETE OnDevicePowerDone;

// The context may be gone once the request is accepted.
VOID RequestDevicePower(PPOWER_CONTEXT Power, ULONG Event, Outcome* Result) {
  POWER_STATE state;
  state.DeviceState = DEVICE_POWER_STATE(Power->DeviceTarget);
  NTSTATUS status =
      PoRequestPowerIrp(Power->Context->Pdo, Power->MinorFunction, state, OnDevicePowerDone, Power, nullptr);
  if (NT_SUCCESS(status)) return;
  Power->Status = status;
  Finish(Power, Event, Result);
}

VOID ClassifyDevice(PPOWER_CONTEXT Power, ULONG Event, Outcome* Result) {
  PPORT_DEVICE_CONTEXT context = Power->Context;
  ULONG state = RequestedState(Power);
  ULONG current = ReadShared(&context->DevPowerState);
  if (!IsSetPower(Power)) {
    Power->State = state < current ? PowerStateQueryUpPassedDown : PowerStateQueryDownPassedDown;
    PassDown(Power);
    return;
  }
  if (state < current) {
    Power->State = PowerStateDeviceUpPassedDown;
    PassDown(Power);
    return;
  }
  // DeviceDown: same or less power.
  Power->State = PowerStateDeviceDownPassedDown;
  if (state > current) {
    WriteShared(&context->DevPowerState, state);
    if (ReadSharedByte(&context->RestorePending) == 1) {
      KeSetEvent(&context->ReadPollEvent, IO_NO_INCREMENT, FALSE);
      KeSetEvent(&context->IntPollEvent, IO_NO_INCREMENT, FALSE);
      WriteSharedByte(&context->RestorePending, 0);
    }
  }
  PassDown(Power);
}

VOID Classify(PPOWER_CONTEXT Power, ULONG Event, Outcome* Result) {
  Result->Value = STATUS_PENDING;
  Result->Set = TRUE;
  IoMarkIrpPending(Power->Irp);
  if (!IsSystemRequest(Power)) {
    Power->State = PowerStateClassifyingDevice;
    ClassifyDevice(Power, Event, Result);
  } else if (RequestedState(Power) < ReadShared(&Power->Context->SysPowerState)) {
    Power->State = PowerStateSystemUpPassedDown;
    PassDown(Power);
  } else {
    Power->State = PowerStateDeviceBeforeSystemDown;
    ChooseDeviceState(Power);
    RequestDevicePower(Power, Event, Result);
  }
}

VOID SystemUpDone(PPOWER_CONTEXT Power, ULONG Event, Outcome* Result) {
  if (!NT_SUCCESS(Power->Status)) {
    Finish(Power, Event, Result);
    return;
  }
  if (IsSetPower(Power)) WriteShared(&Power->Context->SysPowerState, RequestedState(Power));
  Power->State = PowerStateDeviceAfterSystemUp;
  Result->Value = STATUS_MORE_PROCESSING_REQUIRED;
  Result->Set = TRUE;
  ChooseDeviceState(Power);
  RequestDevicePower(Power, Event, Result);
}

VOID SystemDownDeviceDone(PPOWER_CONTEXT Power, ULONG Event, Outcome* Result) {
  if (!NT_SUCCESS(Power->Status)) {
    Finish(Power, Event, Result);
    return;
  }
  Power->State = PowerStateSystemDownPassedDown;
  PassDown(Power);
}

VOID SystemDownDone(PPOWER_CONTEXT Power, ULONG Event, Outcome* Result) {
  if (IsSetPower(Power)) WriteShared(&Power->Context->SysPowerState, RequestedState(Power));
  Finish(Power, Event, Result);
}

VOID DeviceUpDone(PPOWER_CONTEXT Power, ULONG Event, Outcome* Result) {
  if (NT_SUCCESS(Power->Status) && IsSetPower(Power)) {
    PPORT_DEVICE_CONTEXT context = Power->Context;
    WriteShared(&context->DevPowerState, RequestedState(Power));
    if (ReadSharedByte(&context->RestorePending) == 1) RestoreSettings(context);
  }
  Finish(Power, Event, Result);
}

// Whether this event runs a step that waits on a USB transfer.
BOOLEAN NeedsPassiveLevel(PPOWER_CONTEXT Power, ULONG Event) {
  return RemoteWakeDue(Power->Context) ||
         (Power->State == PowerStateDeviceUpPassedDown && Event == PowerEventLowerDone);
}

// What each state does with each event; a missing step is an event the
// state does not expect.
using PowerStep = VOID (*)(PPOWER_CONTEXT Power, ULONG Event, Outcome* Result);
constexpr PowerStep PowerSteps[PowerStateCount][PowerEventCount] = {
    //                                 NewRequest  LowerDone     DeviceDone
    /* New */ {Classify, nullptr, nullptr},
    /* SystemUpPassedDown */ {nullptr, SystemUpDone, nullptr},
    /* DeviceAfterSystemUp */ {nullptr, nullptr, Finish},
    /* DeviceBeforeSystemDown */ {nullptr, nullptr, SystemDownDeviceDone},
    /* SystemDownPassedDown */ {nullptr, SystemDownDone, nullptr},
    /* DeviceUpPassedDown */ {nullptr, DeviceUpDone, nullptr},
    /* DeviceDownPassedDown */ {nullptr, Finish, nullptr},
    /* QueryUpPassedDown */ {nullptr, Finish, nullptr},
    /* QueryDownPassedDown */ {nullptr, Finish, nullptr},
    /* ClassifyingDevice */ {nullptr, nullptr, ClassifyDevice},
    /* Final */ {nullptr, nullptr, nullptr},
};

IO_COMPLETION_ROUTINE OnWaitWakeDone;
NTSTATUS OnWaitWakeDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Context);
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  return STATUS_CONTINUE_COMPLETION;
}

IO_WORKITEM_ROUTINE RunDeferredEvent;
VOID RunDeferredEvent(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  auto power = static_cast<PPOWER_CONTEXT>(Context);
  RunPowerMachine(power, power->DeferredEvent);
}

NTSTATUS OnMainRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  auto power = static_cast<PPOWER_CONTEXT>(Context);
  power->Status = Irp->IoStatus.Status;
  if (KeGetCurrentIrql() > PASSIVE_LEVEL && NeedsPassiveLevel(power, PowerEventLowerDone)) {
    power->CompletionHalted = TRUE;
    power->DeferredEvent = PowerEventLowerDone;
    IoQueueWorkItem(power->WorkItem, RunDeferredEvent, DelayedWorkQueue, power);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  return RunPowerMachine(power, PowerEventLowerDone);
}

VOID OnDevicePowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                       PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  auto power = static_cast<PPOWER_CONTEXT>(Context);
  power->Status = IoStatus->Status;
  if (KeGetCurrentIrql() > PASSIVE_LEVEL && NeedsPassiveLevel(power, PowerEventDeviceDone)) {
    power->DeferredEvent = PowerEventDeviceDone;
    IoQueueWorkItem(power->WorkItem, RunDeferredEvent, DelayedWorkQueue, power);
    return;
  }
  RunPowerMachine(power, PowerEventDeviceDone);
}

}  // namespace

NTSTATUS RunPowerMachine(PPOWER_CONTEXT Power, ULONG Event) {
  PPORT_DEVICE_CONTEXT context = Power->Context;
  if (RequestedState(Power) != WorkingState) WriteSharedByte(&context->RearmViaThread, 1);
  ArmRemoteWake(context);
  PowerStep step =
      Power->State < PowerStateCount && Event < PowerEventCount ? PowerSteps[Power->State][Event] : nullptr;
  if (step == nullptr) return STATUS_UNSUCCESSFUL;
  Outcome result = {STATUS_SUCCESS, FALSE};
  step(Power, Event, &result);
  return result.Value;
}

NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
      IoCopyCurrentIrpStackLocationToNext(Irp);
      IoSetCompletionRoutine(Irp, OnWaitWakeDone, nullptr, TRUE, TRUE, TRUE);
      PoStartNextPowerIrp(Irp);
      return PoCallDriver(context->LowerDeviceObject, Irp);
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
      break;
    default:
      PoStartNextPowerIrp(Irp);
      IoSkipCurrentIrpStackLocation(Irp);
      return PoCallDriver(context->LowerDeviceObject, Irp);
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState &&
      stack->Parameters.Power.State.DeviceState == PowerDeviceD0) {
    WriteSharedByte(&context->RestorePending, 1);
  }
  auto power =
      static_cast<PPOWER_CONTEXT>(AllocatePoolMemory(SelectNonPagedPoolType(), sizeof(POWER_CONTEXT)));
  PIO_WORKITEM workItem = power != nullptr ? IoAllocateWorkItem(DeviceObject) : nullptr;
  if (workItem == nullptr) {
    FreePoolMemory(power);
    PoStartNextPowerIrp(Irp);
    return CompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES);
  }
  RtlZeroMemory(power, sizeof *power);
  power->Context = context;
  power->Irp = Irp;
  power->MinorFunction = stack->MinorFunction;
  power->WorkItem = workItem;
  return RunPowerMachine(power, PowerEventNewRequest);
}
