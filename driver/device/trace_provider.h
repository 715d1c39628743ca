// The driver's software-trace provider, control GUID
// {E2145A60-1A3E-4C94-B31F-876543210ABC}: a classic event-tracing provider on
// systems of major version 6 and later, a WMI trace provider before. The
// trace routines are looked up at run time, so the driver loads where some
// are missing.
#pragma once

#include "platform/platform.h"

extern const GUID TraceControlGuid;

constexpr ULONG TraceModeWmi = 2;
constexpr ULONG TraceModeClassic = 4;

// Routine types of the run-time lookups.
typedef decltype(&PsGetVersion) PFN_PS_GET_VERSION;
typedef decltype(&WmiTraceMessage) PFN_WMI_TRACE_MESSAGE;
typedef decltype(&WmiQueryTraceInformation) PFN_WMI_QUERY_TRACE_INFORMATION;
typedef decltype(&EtwRegisterClassicProvider) PFN_ETW_REGISTER_CLASSIC_PROVIDER;
typedef decltype(&EtwUnregister) PFN_ETW_UNREGISTER;

// The control block. Its first member is the WMI entry so that the block
// itself can be registered as a callback provider.
struct TRACE_CONTROL_BLOCK {
  WMIENTRY Callback;
  REGHANDLE RegistrationHandle;
  TRACEHANDLE LoggerHandle;  // 0 while no session has enabled the provider
  UCHAR EnableLevel;
  ULONG EnableFlags;
};

struct TRACE_PROVIDER {
  ULONG Mode;          // TraceModeWmi or TraceModeClassic; 0 before registration
  BOOLEAN Registered;  // the control block is registered in that mode
  PFN_PS_GET_VERSION PsGetVersion;
  PFN_WMI_TRACE_MESSAGE WmiTraceMessage;
  PFN_WMI_QUERY_TRACE_INFORMATION WmiQueryTraceInformation;
  PFN_ETW_REGISTER_CLASSIC_PROVIDER EtwRegisterClassicProvider;
  PFN_ETW_UNREGISTER EtwUnregister;
  TRACE_CONTROL_BLOCK Control;
};

extern TRACE_PROVIDER TraceProvider;

// First thing at driver load / last thing at unload.
VOID RegisterTraceProvider();
VOID UnregisterTraceProvider();

// Enable flags a session selects messages with, by area.
constexpr ULONG TraceFlagNaming = 0x01;
constexpr ULONG TraceFlagSettings = 0x02;
constexpr ULONG TraceFlagThreads = 0x04;
constexpr ULONG TraceFlagWmi = 0x08;

// Sends `Text` as trace message `MessageNumber` when a session has enabled the
// provider at `Level` or above for any of `Flags`. Any IRQL.
VOID TraceText(UCHAR Level, ULONG Flags, USHORT MessageNumber, PCSTR Text);
