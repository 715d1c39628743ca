// The driver's only window on the outside: the kernel, USB, power and WMI
// services it uses. The Windows build takes them from the kernel headers, the
// host build from our own declarations, with the same names and x64 layouts.
#pragma once

#if defined(_WIN32)
#include "platform/windows/kernel.h"
#else
#include "platform/host/ntdef.h"
#include "platform/host/ke.h"
#include "platform/host/ex.h"
#include "platform/host/io.h"
#include "platform/host/power.h"
#include "platform/host/usb.h"
#include "platform/host/serial.h"
#include "platform/host/wmi.h"
#endif
