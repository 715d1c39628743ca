// The emulated power manager, host side: system sleep and resume as Windows
// drives them, and what drivers told it (PoSetPowerState).
//
// Power IRPs (those of PoRequestPowerIrp and the system ones below) go to the
// top of a device stack; a target with DO_POWER_PAGABLE gets them at
// PASSIVE_LEVEL: PoCallDriver above PASSIVE_LEVEL hands the call to a system
// thread and returns STATUS_PENDING.
#pragma once

#include <vector>

#include "platform/host/io.h"

namespace kernel::power {

struct DeviceFailure {
  PDEVICE_OBJECT pdo;
  UCHAR minorFunction;  // IRP_MN_QUERY_POWER or IRP_MN_SET_POWER
  NTSTATUS status;
};

struct TransitionResult {
  NTSTATUS status = STATUS_SUCCESS;  // the first failure, else success
  std::vector<DeviceFailure> failures;
};

// Sleep (PowerSystemSleeping1..3, action PowerActionSleep) or hibernation
// (PowerSystemHibernate, PowerActionHibernate), PASSIVE_LEVEL. Each device
// stack with a function driver, newest first, gets IRP_MN_QUERY_POWER; when
// one refuses, the stacks asked so far get IRP_MN_SET_POWER for the working
// state and the system stays awake. Otherwise every such stack, newest
// first, gets IRP_MN_SET_POWER for the state; failures are reported, the
// system sleeps all the same. STATUS_INVALID_PARAMETER for any other state,
// STATUS_INVALID_DEVICE_STATE when the system is not working.
TransitionResult SleepSystem(SYSTEM_POWER_STATE state);
// IRP_MN_SET_POWER for PowerSystemWorking to every such stack, oldest
// first, with the action of the sleep that ends. STATUS_INVALID_DEVICE_STATE
// when the system is not asleep.
TransitionResult ResumeSystem();
SYSTEM_POWER_STATE SystemState();

// The last state the device object reported with PoSetPowerState
// (PowerDeviceUnspecified when none).
DEVICE_POWER_STATE ReportedDeviceState(PDEVICE_OBJECT device);
// PoStartNextPowerIrp calls made since boot.
int StartNextPowerIrpCount();

}  // namespace kernel::power
