// Power management: the port's device object is the power-policy owner of its
// USB device. System power requests become device power requests of the
// port's own stack (D0 for the working state, D3 otherwise); device requests
// are passed down and the recorded states follow them; a device power-up
// announced by a set-power D0 restores the chip's settings and restarts
// reception. Each set-power or query-power request runs through a
// table-driven machine with one PowerContext of its own.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// RunPowerMachine events.
enum POWER_EVENT : ULONG {
  PowerEventNewRequest,  // DispatchPower
  PowerEventLowerDone,   // the main request came back from the lower drivers
  PowerEventDeviceDone,  // the device power request the machine asked for finished
  PowerEventCount
};

// RunPowerMachine states.
enum POWER_MACHINE_STATE : ULONG {
  PowerStateNew,
  PowerStateSystemUpPassedDown,
  PowerStateDeviceAfterSystemUp,
  PowerStateDeviceBeforeSystemDown,
  PowerStateSystemDownPassedDown,
  PowerStateDeviceUpPassedDown,
  PowerStateDeviceDownPassedDown,
  PowerStateQueryUpPassedDown,
  PowerStateQueryDownPassedDown,
  PowerStateClassifyingDevice,
  PowerStateFinal,
  PowerStateCount
};

// One per set-power or query-power request, from NonPagedPoolNx, zeroed;
// freed when the machine reaches PowerStateFinal.
typedef struct _POWER_CONTEXT {
  PPORT_DEVICE_CONTEXT Context;  // the port
  PIRP Irp;                      // the power request being handled
  ULONG State;                   // POWER_MACHINE_STATE
  NTSTATUS Status;               // of the last finished step
  ULONG DeviceTarget;            // device power state requested for a system request
  UCHAR MinorFunction;           // IRP_MN_SET_POWER or IRP_MN_QUERY_POWER
  // An event that arrives at DISPATCH_LEVEL and needs PASSIVE_LEVEL runs on
  // this work item; CompletionHalted says that the main request's completion
  // was stopped for it and must be resumed when the machine finishes.
  PIO_WORKITEM WorkItem;
  ULONG DeferredEvent;
  BOOLEAN CompletionHalted;
} POWER_CONTEXT, *PPOWER_CONTEXT;

// IRP_MJ_POWER entry. Takes no remove lock.
DRIVER_DISPATCH DispatchPower;

// Runs the machine for one event (POWER_EVENT); see the events above.
NTSTATUS RunPowerMachine(PPOWER_CONTEXT Power, ULONG Event);
