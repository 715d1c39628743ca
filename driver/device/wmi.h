// The port as a WMI data provider for the standard device wake-enable block
// (one byte: DeviceWakeEnable, data item 1), through the WMI library.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// {8209EC2A-2D6B-11D2-BA49-00A0C9062910}
extern const GUID WakeEnableGuid;

// IRP_MJ_SYSTEM_CONTROL: handled through the WMI library under RemoveLock;
// requests for other providers go down the stack.
DRIVER_DISPATCH DispatchSystemControl;

// Changes the wake-enable switch: DeviceWakeEnable, the device power it needs,
// and the "DeviceWakeEnable" value of the device key. Nothing when the value
// does not change. PASSIVE_LEVEL.
VOID SetWakeEnable(PPORT_DEVICE_CONTEXT Context, UCHAR Enable);

// The WMI library callbacks.
WMI_QUERY_REGINFO_CALLBACK WmiQueryRegInfo;
WMI_QUERY_DATABLOCK_CALLBACK WmiQueryWakeEnable;
WMI_SET_DATABLOCK_CALLBACK WmiSetWakeEnableBlock;
WMI_SET_DATAITEM_CALLBACK WmiSetWakeEnableItem;
WMI_EXECUTE_METHOD_CALLBACK WmiExecuteMethodNotSupported;
WMI_FUNCTION_CONTROL_CALLBACK WmiFunctionControlNotSupported;
