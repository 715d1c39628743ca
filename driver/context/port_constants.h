// Facts about a port that several parts of the driver share, each named once.
#pragma once

#include "platform/platform.h"

// Plug and Play states kept in DeviceState.
constexpr ULONG PnpStateNotStarted = 0;  // also: stopped
constexpr ULONG PnpStateWorking = 1;
constexpr ULONG PnpStateStopPending = 2;
constexpr ULONG PnpStateRemovePending = 3;
constexpr ULONG PnpStateSurpriseRemoved = 4;
constexpr ULONG PnpStateRemoved = 5;
