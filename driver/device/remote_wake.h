// The device's remote wake-up, armed by power and by the WMI wake switch,
// and set or cleared by the vendor feature requests.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// Arms (SET_FEATURE) or disarms (CLEAR_FEATURE) the device's remote
// wake-up: one feature request to the device, selector 1, index 0, sent with
// SubmitUrbSync. Remote wake-up is a device feature, so both go to the
// device. PASSIVE_LEVEL. Returns the transfer's status.
NTSTATUS SendRemoteWakeFeature(PPORT_DEVICE_CONTEXT Context, BOOLEAN Enable);
