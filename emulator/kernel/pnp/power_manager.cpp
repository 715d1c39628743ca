// PoRequestPowerIrp, PoCallDriver, PoStartNextPowerIrp and PoSetPowerState.
#include "emulator/kernel/power_manager.h"

#include <atomic>
#include <map>
#include <mutex>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/pnp/pnp_internal.h"
#include "emulator/kernel/system_worker.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::power {
namespace {

struct Reported {
  std::mutex lock;
  std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> deviceStates;
  std::map<PDEVICE_OBJECT, SYSTEM_POWER_STATE> systemStates;
  std::atomic<int> startNextCalls{0};
};

Reported& R() {
  static auto* reported = new Reported;
  return *reported;
}

// What PoRequestPowerIrp keeps for the completion callback.
struct Request {
  PDEVICE_OBJECT pdo;
  UCHAR minor;
  POWER_STATE state;
  PREQUEST_POWER_COMPLETE callback;
  PVOID context;
};

// The IRP is freed before the callback runs, so that whoever the callback
// wakes finds the request gone; the callback reads a copy of its status.
NTSTATUS NTAPI RequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* request = static_cast<Request*>(context);
  IO_STATUS_BLOCK ioStatus = irp->IoStatus;
  IoFreeIrp(irp);
  if (request->callback != nullptr)
    request->callback(request->pdo, request->minor, request->state, request->context, &ioStatus);
  delete request;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

bool IsPdo(PDEVICE_OBJECT device) {
  std::lock_guard guard(pnp::internal::TableLock());
  return device != nullptr && pnp::internal::FindByPdo(device) != nullptr;
}

bool ValidRequest(UCHAR minor, POWER_STATE state) {
  switch (minor) {
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
      return state.DeviceState >= PowerDeviceD0 && state.DeviceState <= PowerDeviceD3;
    case IRP_MN_WAIT_WAKE:
      return state.SystemState >= PowerSystemWorking && state.SystemState <= PowerSystemShutdown;
    default:
      return false;
  }
}

void Boot(const MachineOptions&) {
  std::lock_guard guard(R().lock);
  R().deviceStates.clear();
  R().systemStates.clear();
  R().startNextCalls = 0;
}

const bool registered = RegisterSubsystem({"power", 65, Boot, nullptr});

}  // namespace

DEVICE_POWER_STATE ReportedDeviceState(PDEVICE_OBJECT device) {
  std::lock_guard guard(R().lock);
  auto it = R().deviceStates.find(device);
  return it != R().deviceStates.end() ? it->second : PowerDeviceUnspecified;
}

int StartNextPowerIrpCount() { return R().startNextCalls.load(); }

}  // namespace kernel::power

namespace kernel::pnp::internal {

void ForgetPowerStates(const std::vector<PDEVICE_OBJECT>& devices) {
  std::lock_guard guard(power::R().lock);
  for (PDEVICE_OBJECT device : devices) {
    power::R().deviceStates.erase(device);
    power::R().systemStates.erase(device);
  }
}

}  // namespace kernel::pnp::internal

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  using namespace kernel;
  verifier::CheckIrql("PoRequestPowerIrp", DeviceObject, DISPATCH_LEVEL);
  if (!power::IsPdo(DeviceObject))
    verifier::Fail("power IRP requested for a device object that is not a PDO", "PoRequestPowerIrp",
                   DeviceObject, "the request goes to the top of the stack of the PDO given");
  if (!power::ValidRequest(MinorFunction, PowerState)) return STATUS_INVALID_PARAMETER_2;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    stack->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    stack->Parameters.Power.SystemContext = 0;
    stack->Parameters.Power.Type = DevicePowerState;
    stack->Parameters.Power.State = PowerState;
    stack->Parameters.Power.ShutdownType = PowerActionNone;
  }
  auto* request = new power::Request{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
  IoSetCompletionRoutine(irp, power::RequestDone, request, TRUE, TRUE, TRUE);
  if (Irp != nullptr) *Irp = irp;
  PoCallDriver(top, irp);
  ObDereferenceObject(top);
  return STATUS_PENDING;
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  using namespace kernel;
  verifier::CheckIrql("PoCallDriver", Irp, DISPATCH_LEVEL);
  if (Irp == nullptr || IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
    verifier::Fail("PoCallDriver with a request that is not a power IRP", "PoCallDriver", Irp);
  if ((DeviceObject->Flags & DO_POWER_PAGABLE) == 0 || KeGetCurrentIrql() == PASSIVE_LEVEL)
    return IoCallDriver(DeviceObject, Irp);
  // A pageable device gets its power IRPs at PASSIVE_LEVEL: the call moves
  // to a system thread, and the caller sees the request pending.
  ObReferenceObject(DeviceObject);
  worker::Queue([DeviceObject, Irp] {
    IoCallDriver(DeviceObject, Irp);
    ObDereferenceObject(DeviceObject);
  });
  return STATUS_PENDING;
}

VOID PoStartNextPowerIrp(PIRP Irp) {
  using namespace kernel;
  verifier::CheckIrql("PoStartNextPowerIrp", Irp, DISPATCH_LEVEL);
  if (Irp == nullptr || Irp->CurrentLocation > Irp->StackCount ||
      IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
    verifier::Fail("PoStartNextPowerIrp on a request that is not a power IRP", "PoStartNextPowerIrp", Irp);
  ++power::R().startNextCalls;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  using namespace kernel;
  verifier::CheckIrql("PoSetPowerState", DeviceObject, DISPATCH_LEVEL);
  std::lock_guard guard(power::R().lock);
  POWER_STATE previous{};
  if (Type == DevicePowerState) {
    auto& states = power::R().deviceStates;
    auto it = states.find(DeviceObject);
    previous.DeviceState = it != states.end() ? it->second : PowerDeviceUnspecified;
    states[DeviceObject] = State.DeviceState;
  } else {
    auto& states = power::R().systemStates;
    auto it = states.find(DeviceObject);
    previous.SystemState = it != states.end() ? it->second : PowerSystemUnspecified;
    states[DeviceObject] = State.SystemState;
  }
  return previous;
}
