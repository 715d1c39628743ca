// System sleep and resume: the system power IRPs the power manager sends to
// every device stack that has a function driver.
#include <algorithm>
#include <atomic>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/pnp/pnp_internal.h"
#include "emulator/kernel/power_manager.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::power {
namespace {

std::atomic<SYSTEM_POWER_STATE> g_systemState{PowerSystemWorking};
std::atomic<POWER_ACTION> g_sleepAction{PowerActionNone};

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// `current` is the state the system leaves, `target` the one it goes to.
NTSTATUS SendSystemIrp(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE target, SYSTEM_POWER_STATE current,
                       POWER_ACTION action) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (irp != nullptr) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = minor;
    stack->Parameters.Power.SystemPowerStateContext.ContextAsUlong = 0;
    stack->Parameters.Power.SystemPowerStateContext.TargetSystemState = target;
    stack->Parameters.Power.SystemPowerStateContext.EffectiveSystemState = target;
    stack->Parameters.Power.SystemPowerStateContext.CurrentSystemState = current;
    stack->Parameters.Power.Type = SystemPowerState;
    stack->Parameters.Power.State.SystemState = target;
    stack->Parameters.Power.ShutdownType = action;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    PoCallDriver(top, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
  }
  ObDereferenceObject(top);
  return status;
}

// Stacks with a function driver, oldest first.
std::vector<PDEVICE_OBJECT> PoweredStacks() {
  std::lock_guard guard(pnp::internal::TableLock());
  std::vector<PDEVICE_OBJECT> pdos;
  for (auto& node : pnp::internal::Nodes())
    if (node->state == pnp::DeviceState::Added || node->state == pnp::DeviceState::Started)
      pdos.push_back(node->pdo);
  return pdos;
}

void Note(TransitionResult& result, PDEVICE_OBJECT pdo, UCHAR minor, NTSTATUS status) {
  if (NT_SUCCESS(status)) return;
  result.failures.push_back({pdo, minor, status});
  if (NT_SUCCESS(result.status)) result.status = status;
}

void Boot(const MachineOptions&) {
  g_systemState = PowerSystemWorking;
  g_sleepAction = PowerActionNone;
}

const bool registered = RegisterSubsystem({"power states", 66, Boot, nullptr});

}  // namespace

TransitionResult SleepSystem(SYSTEM_POWER_STATE state) {
  verifier::CheckIrql("kernel::power::SleepSystem", nullptr, PASSIVE_LEVEL);
  TransitionResult result;
  if (state < PowerSystemSleeping1 || state > PowerSystemHibernate) {
    result.status = STATUS_INVALID_PARAMETER;
    return result;
  }
  pnp::internal::EngineLock engine;
  if (g_systemState != PowerSystemWorking) {
    result.status = STATUS_INVALID_DEVICE_STATE;
    return result;
  }
  POWER_ACTION action = state == PowerSystemHibernate ? PowerActionHibernate : PowerActionSleep;
  std::vector<PDEVICE_OBJECT> stacks = PoweredStacks();
  std::reverse(stacks.begin(), stacks.end());
  for (size_t queried = 0; queried < stacks.size(); ++queried) {
    NTSTATUS status = SendSystemIrp(stacks[queried], IRP_MN_QUERY_POWER, state, PowerSystemWorking, action);
    if (NT_SUCCESS(status)) continue;
    Note(result, stacks[queried], IRP_MN_QUERY_POWER, status);
    // The refusal cancels the sleep: every stack asked so far is told that
    // the system stays in the working state.
    for (size_t index = 0; index <= queried; ++index)
      Note(result, stacks[index], IRP_MN_SET_POWER,
           SendSystemIrp(stacks[index], IRP_MN_SET_POWER, PowerSystemWorking, PowerSystemWorking, action));
    return result;
  }
  for (PDEVICE_OBJECT pdo : stacks)
    Note(result, pdo, IRP_MN_SET_POWER,
         SendSystemIrp(pdo, IRP_MN_SET_POWER, state, PowerSystemWorking, action));
  g_systemState = state;
  g_sleepAction = action;
  return result;
}

TransitionResult ResumeSystem() {
  verifier::CheckIrql("kernel::power::ResumeSystem", nullptr, PASSIVE_LEVEL);
  TransitionResult result;
  pnp::internal::EngineLock engine;
  SYSTEM_POWER_STATE asleep = g_systemState;
  if (asleep == PowerSystemWorking) {
    result.status = STATUS_INVALID_DEVICE_STATE;
    return result;
  }
  for (PDEVICE_OBJECT pdo : PoweredStacks())
    Note(result, pdo, IRP_MN_SET_POWER,
         SendSystemIrp(pdo, IRP_MN_SET_POWER, PowerSystemWorking, asleep, g_sleepAction));
  g_systemState = PowerSystemWorking;
  return result;
}

SYSTEM_POWER_STATE SystemState() { return g_systemState; }

}  // namespace kernel::power
