// Device power requests for the port's own stack.
#include "driver/context/device_power_requests.h"

namespace {

// Lives on the waiting caller's stack until the request has finished.
struct POWER_REQUEST_WAIT {
  KEVENT Done;
  NTSTATUS Status;
};

// May run at DISPATCH_LEVEL: it only records the outcome and wakes the caller.
REQUEST_POWER_COMPLETE OnDeviceSetPowerCompletion;
VOID OnDeviceSetPowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  auto wait = static_cast<POWER_REQUEST_WAIT*>(Context);
  wait->Status = IoStatus->Status;
  KeSetEvent(&wait->Done, IO_NO_INCREMENT, FALSE);
}

NTSTATUS PendingAsSuccess(NTSTATUS Status) { return Status == STATUS_PENDING ? STATUS_SUCCESS : Status; }

}  // namespace

NTSTATUS SendDeviceSetPower(PPORT_DEVICE_CONTEXT Context, DEVICE_POWER_STATE State, BOOLEAN Wait) {
  POWER_STATE powerState;
  powerState.DeviceState = State;
  if (!Wait) return PoRequestPowerIrp(Context->Pdo, IRP_MN_SET_POWER, powerState, nullptr, nullptr, nullptr);

  POWER_REQUEST_WAIT wait;
  KeInitializeEvent(&wait.Done, NotificationEvent, FALSE);
  wait.Status = STATUS_SUCCESS;
  NTSTATUS status = PoRequestPowerIrp(Context->Pdo, IRP_MN_SET_POWER, powerState, OnDeviceSetPowerCompletion,
                                      &wait, nullptr);
  if (status != STATUS_PENDING) return status;
  KeWaitForSingleObject(&wait.Done, Executive, KernelMode, FALSE, nullptr);
  return wait.Status;
}

NTSTATUS EnsureDeviceD0(PPORT_DEVICE_CONTEXT Context, BOOLEAN Wait) {
  if (Context->DevPowerState == PowerDeviceD0) return STATUS_SUCCESS;
  return PendingAsSuccess(SendDeviceSetPower(Context, PowerDeviceD0, Wait));
}

NTSTATUS RequestDevicePowerIfActive(PPORT_DEVICE_CONTEXT Context, DEVICE_POWER_STATE State, BOOLEAN Wait) {
  if (Context->DeviceState > PnpStateWorking) return STATUS_SUCCESS;
  return PendingAsSuccess(SendDeviceSetPower(Context, State, Wait));
}
