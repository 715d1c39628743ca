#include "driver/device/trace_provider.h"

#include "driver/context/shared_flags.h"

const GUID TraceControlGuid = {0xE2145A60, 0x1A3E, 0x4C94, {0xB3, 0x1F, 0x87, 0x65, 0x43, 0x21, 0x0A, 0xBC}};

TRACE_PROVIDER TraceProvider;

namespace {

// Trace registration flags of the control GUID: traced and controlling.
constexpr ULONG TraceGuidFlags = WMIREG_FLAG_TRACED_GUID | WMIREG_FLAG_TRACE_CONTROL_GUID;
static_assert(TraceGuidFlags == 0x81000, "traced GUID and trace control GUID");
constexpr ULONG RegisterTraceAction =
    WMIREG_ACTION_REGISTER | WMIREG_FLAG_CALLBACK | WMIREG_FLAG_TRACE_PROVIDER;
constexpr ULONG DeregisterTraceAction = WMIREG_ACTION_DEREGISTER | WMIREG_FLAG_CALLBACK;
static_assert(RegisterTraceAction == 0x80010001 && DeregisterTraceAction == 0x80000002,
              "registration actions");

PVOID Resolve(PCWSTR Name) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  return MmGetSystemRoutineAddress(&name);
}

// Messages are sent from any thread at any IRQL while a session switches the
// provider on and off: the block's members change one atomic store at a time.
VOID StoreSession(TRACE_CONTROL_BLOCK* Block, TRACEHANDLE Logger, UCHAR Level, ULONG Flags) {
  WriteSharedByte(&Block->EnableLevel, Level);
  WriteShared(&Block->EnableFlags, Flags);
  WriteShared64(reinterpret_cast<volatile LONGLONG*>(&Block->LoggerHandle), LONGLONG(Logger));
}

VOID NTAPI ClassicEnableCallback(LPCGUID Guid, UCHAR ControlCode, PVOID EnableContext,
                                 PVOID CallbackContext) {
  auto block = static_cast<TRACE_CONTROL_BLOCK*>(CallbackContext);
  if (ControlCode == EVENT_CONTROL_CODE_ENABLE_PROVIDER && EnableContext != nullptr) {
    // The enable context is the session's logger handle, whose bytes hold
    // its level and flags.
    auto enable = static_cast<PTRACE_ENABLE_CONTEXT>(EnableContext);
    StoreSession(block, *static_cast<TRACEHANDLE*>(EnableContext), enable->Level, enable->EnableFlags);
  } else if (ControlCode == EVENT_CONTROL_CODE_DISABLE_PROVIDER) {
    StoreSession(block, 0, 0, 0);
  }
}

// The answer to the registration request: one traced control GUID.
NTSTATUS AnswerRegInfo(ULONG BufferSize, PVOID Buffer, PULONG Size) {
  constexpr ULONG needed = sizeof(WMIREGINFOW) + sizeof(WMIREGGUIDW);
  if (BufferSize < needed) {
    if (BufferSize < sizeof(ULONG)) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    *static_cast<PULONG>(Buffer) = needed;
    *Size = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  RtlZeroMemory(Buffer, needed);
  auto info = static_cast<PWMIREGINFOW>(Buffer);
  info->BufferSize = needed;
  info->GuidCount = 1;
  info->WmiRegGuid[0].Guid = TraceControlGuid;
  info->WmiRegGuid[0].Flags = TraceGuidFlags;
  *Size = needed;
  return STATUS_SUCCESS;
}

// Enable: the logger handle arrives in the request's header; level and flags
// are asked of the trace service.
NTSTATUS EnableFromRequest(TRACE_CONTROL_BLOCK* Block, ULONG BufferSize, PVOID Buffer) {
  if (BufferSize < sizeof(WNODE_HEADER)) {
    return STATUS_INVALID_PARAMETER;
  }
  TRACEHANDLE logger = static_cast<PWNODE_HEADER>(Buffer)->HistoricalContext;
  ULONG flags = 0, level = 0;
  if (TraceProvider.WmiQueryTraceInformation != nullptr) {
    TraceProvider.WmiQueryTraceInformation(TraceEnableFlagsClass, &flags, sizeof flags, nullptr, Buffer);
    TraceProvider.WmiQueryTraceInformation(TraceEnableLevelClass, &level, sizeof level, nullptr, Buffer);
  }
  StoreSession(Block, logger, UCHAR(level), flags);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI TraceControlEntry(UCHAR ActionCode, PVOID DataPath, ULONG BufferSize, PVOID Buffer,
                                 PVOID Context, PULONG Size) {
  auto block = static_cast<TRACE_CONTROL_BLOCK*>(Context);
  *Size = 0;
  switch (ActionCode) {
    case IRP_MN_REGINFO:
      return AnswerRegInfo(BufferSize, Buffer, Size);
    case IRP_MN_ENABLE_EVENTS:
      return EnableFromRequest(block, BufferSize, Buffer);
    case IRP_MN_DISABLE_EVENTS:
      StoreSession(block, 0, 0, 0);
      return STATUS_SUCCESS;
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

VOID ResolveTraceRoutines() {
  TraceProvider.PsGetVersion = reinterpret_cast<PFN_PS_GET_VERSION>(Resolve(WIDE("PsGetVersion")));
  TraceProvider.WmiTraceMessage = reinterpret_cast<PFN_WMI_TRACE_MESSAGE>(Resolve(WIDE("WmiTraceMessage")));
  TraceProvider.WmiQueryTraceInformation =
      reinterpret_cast<PFN_WMI_QUERY_TRACE_INFORMATION>(Resolve(WIDE("WmiQueryTraceInformation")));
  TraceProvider.Mode = TraceModeWmi;
  ULONG major = 0;
  if (TraceProvider.PsGetVersion == nullptr) {
    return;
  }
  TraceProvider.PsGetVersion(&major, nullptr, nullptr, nullptr);
  if (major < 6) {
    return;
  }
  auto registerClassic =
      reinterpret_cast<PFN_ETW_REGISTER_CLASSIC_PROVIDER>(Resolve(WIDE("EtwRegisterClassicProvider")));
  auto unregister = reinterpret_cast<PFN_ETW_UNREGISTER>(Resolve(WIDE("EtwUnregister")));
  // A classic registration that could not be undone at unload would call
  // into an unloaded driver: both routines or neither.
  if (registerClassic != nullptr && unregister != nullptr) {
    TraceProvider.EtwRegisterClassicProvider = registerClassic;
    TraceProvider.EtwUnregister = unregister;
    TraceProvider.Mode = TraceModeClassic;
  }
}

}  // namespace

VOID RegisterTraceProvider() {
  RtlZeroMemory(&TraceProvider, sizeof TraceProvider);
  ResolveTraceRoutines();
  TRACE_CONTROL_BLOCK& block = TraceProvider.Control;
  NTSTATUS status;
  if (TraceProvider.Mode == TraceModeClassic) {
    status = TraceProvider.EtwRegisterClassicProvider(&TraceControlGuid, 0, ClassicEnableCallback, &block,
                                                      &block.RegistrationHandle);
  } else {
    block.Callback = TraceControlEntry;
    status = IoWMIRegistrationControl(reinterpret_cast<PDEVICE_OBJECT>(&block), RegisterTraceAction);
  }
  TraceProvider.Registered = NT_SUCCESS(status);
}

VOID UnregisterTraceProvider() {
  if (!TraceProvider.Registered) {
    return;
  }
  TRACE_CONTROL_BLOCK& block = TraceProvider.Control;
  if (TraceProvider.Mode == TraceModeClassic) {
    TraceProvider.EtwUnregister(block.RegistrationHandle);
    block.RegistrationHandle = 0;
  } else {
    IoWMIRegistrationControl(reinterpret_cast<PDEVICE_OBJECT>(&block), DeregisterTraceAction);
  }
  StoreSession(&block, 0, 0, 0);
  TraceProvider.Registered = FALSE;
}

VOID TraceText(UCHAR Level, ULONG Flags, USHORT MessageNumber, PCSTR Text) {
  TRACE_CONTROL_BLOCK& block = TraceProvider.Control;
  auto logger = TRACEHANDLE(ReadShared64(reinterpret_cast<volatile LONGLONG*>(&block.LoggerHandle)));
  if (logger == 0 || TraceProvider.WmiTraceMessage == nullptr) {
    return;
  }
  if (Level > ReadSharedByte(&block.EnableLevel) || (Flags & ReadShared(&block.EnableFlags)) == 0) {
    return;
  }
  SIZE_T length = 0;
  while (Text[length] != 0) {
    ++length;
  }
  TraceProvider.WmiTraceMessage(logger, TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_TIMESTAMP,
                                &TraceControlGuid, MessageNumber, Text, length + 1, nullptr);
}
