// Software tracing: trace sessions that enable providers, WmiTraceMessage,
// WmiQueryTraceInformation and the classic ETW provider registration. The
// routines are found through MmGetSystemRoutineAddress, as drivers look them
// up at run time.
#include <cstdarg>
#include <cstring>
#include <map>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/ke/verifier.h"
#include "emulator/kernel/wmi/wmi_internal.h"

namespace kernel::wmi {
namespace {

struct ClassicProvider {
  GUID guid;
  PETW_CLASSIC_CALLBACK callback;
  PVOID context;
};

struct Session {
  GUID guid;
  TRACE_ENABLE_CONTEXT enable;
};

struct Tracing {
  std::mutex lock;
  std::map<REGHANDLE, ClassicProvider> classic;
  std::vector<Session> sessions;
  std::vector<TraceMessage> messages;
  REGHANDLE nextHandle = 1;
  USHORT nextLogger = 1;
};

Tracing& T() {
  static auto* tracing = new Tracing;
  return *tracing;
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A classic logger handle carries the session's enable context.
TRACEHANDLE HandleOf(const TRACE_ENABLE_CONTEXT& enable) {
  TRACEHANDLE handle;
  std::memcpy(&handle, &enable, sizeof handle);
  return handle;
}

TRACE_ENABLE_CONTEXT ContextOf(TRACEHANDLE handle) {
  TRACE_ENABLE_CONTEXT enable;
  std::memcpy(&enable, &handle, sizeof enable);
  return enable;
}

// Callback providers that list `guid` as a trace control GUID.
std::vector<const void*> ControllingProviders(const GUID& guid) {
  std::vector<const void*> objects, controlling;
  {
    std::lock_guard guard(internal::Lock());
    for (const internal::Provider& provider : internal::Providers()) objects.push_back(provider.object);
  }
  for (const void* object : objects)
    if (auto guids = internal::GuidsOf(object))
      for (const internal::GuidInfo& info : *guids)
        if (SameGuid(info.guid, guid) && (info.flags & WMIREG_FLAG_TRACE_CONTROL_GUID))
          controlling.push_back(object);
  return controlling;
}

std::vector<ClassicProvider> ClassicProviders(const GUID& guid) {
  std::lock_guard guard(T().lock);
  std::vector<ClassicProvider> found;
  for (auto& [handle, provider] : T().classic)
    if (SameGuid(provider.guid, guid)) found.push_back(provider);
  return found;
}

// Tells every provider of the GUID that its session started or ended.
NTSTATUS Notify(const GUID& guid, TRACE_ENABLE_CONTEXT enable, bool on) {
  std::vector<const void*> wmiProviders = ControllingProviders(guid);
  std::vector<ClassicProvider> classic = ClassicProviders(guid);
  if (wmiProviders.empty() && classic.empty()) return STATUS_WMI_GUID_NOT_FOUND;
  for (const void* provider : wmiProviders) {
    std::vector<uint8_t> buffer(sizeof(WNODE_HEADER), 0);
    auto header = reinterpret_cast<PWNODE_HEADER>(buffer.data());
    header->BufferSize = sizeof(WNODE_HEADER);
    header->Guid = guid;
    header->Flags = WNODE_FLAG_TRACED_GUID;
    header->HistoricalContext = on ? HandleOf(enable) : 0;
    GUID path = guid;
    internal::Deliver(provider, on ? IRP_MN_ENABLE_EVENTS : IRP_MN_DISABLE_EVENTS, &path, std::move(buffer));
  }
  for (const ClassicProvider& provider : classic) {
    TRACEHANDLE handle = HandleOf(enable);
    provider.callback(&guid, on ? EVENT_CONTROL_CODE_ENABLE_PROVIDER : EVENT_CONTROL_CODE_DISABLE_PROVIDER,
                      on ? &handle : nullptr, provider.context);
  }
  return STATUS_SUCCESS;
}

void Boot(const MachineOptions&) {
  std::lock_guard guard(T().lock);
  T().classic.clear();
  T().sessions.clear();
  T().messages.clear();
  T().nextHandle = 1;
  T().nextLogger = 1;
}

const bool registered = RegisterSubsystem({"tracing", 69, Boot, nullptr});

}  // namespace

NTSTATUS EnableTrace(const GUID& controlGuid, UCHAR level, ULONG enableFlags, TRACEHANDLE* logger) {
  verifier::CheckIrql("kernel::wmi::EnableTrace", nullptr, PASSIVE_LEVEL);
  TRACE_ENABLE_CONTEXT enable{};
  {
    std::lock_guard guard(T().lock);
    for (const Session& session : T().sessions)
      if (SameGuid(session.guid, controlGuid)) return STATUS_OBJECT_NAME_COLLISION;
    enable.LoggerId = T().nextLogger++;
  }
  enable.Level = level;
  enable.EnableFlags = enableFlags;
  {
    std::lock_guard guard(T().lock);
    T().sessions.push_back({controlGuid, enable});
  }
  NTSTATUS status = Notify(controlGuid, enable, true);
  if (!NT_SUCCESS(status)) {
    std::lock_guard guard(T().lock);
    std::erase_if(T().sessions, [&](const Session& session) { return SameGuid(session.guid, controlGuid); });
    return status;
  }
  if (logger != nullptr) *logger = HandleOf(enable);
  return status;
}

NTSTATUS DisableTrace(const GUID& controlGuid) {
  verifier::CheckIrql("kernel::wmi::DisableTrace", nullptr, PASSIVE_LEVEL);
  TRACE_ENABLE_CONTEXT enable{};
  {
    std::lock_guard guard(T().lock);
    auto it = std::find_if(T().sessions.begin(), T().sessions.end(),
                           [&](const Session& session) { return SameGuid(session.guid, controlGuid); });
    if (it == T().sessions.end()) return STATUS_WMI_GUID_NOT_FOUND;
    enable = it->enable;
    T().sessions.erase(it);
  }
  Notify(controlGuid, enable, false);
  return STATUS_SUCCESS;
}

std::vector<TraceMessage> TraceMessages() {
  std::lock_guard guard(T().lock);
  return T().messages;
}

size_t ClassicProviderCount() {
  std::lock_guard guard(T().lock);
  return T().classic.size();
}

}  // namespace kernel::wmi

NTSTATUS WmiTraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                         USHORT MessageNumber, ...) {
  using namespace kernel::wmi;
  kernel::verifier::CheckIrql("WmiTraceMessage", nullptr, HIGH_LEVEL);
  TraceMessage message{
      LoggerHandle, MessageFlags, MessageGuid != nullptr ? *MessageGuid : GUID{}, MessageNumber, {}};
  __builtin_ms_va_list args;
  __builtin_ms_va_start(args, MessageNumber);
  for (;;) {
    auto data = va_arg(args, const uint8_t*);
    if (data == nullptr) break;
    auto length = va_arg(args, SIZE_T);
    message.arguments.emplace_back(data, data + length);
  }
  __builtin_ms_va_end(args);
  std::lock_guard guard(T().lock);
  USHORT logger = ContextOf(LoggerHandle).LoggerId;
  bool active = std::any_of(T().sessions.begin(), T().sessions.end(),
                            [&](const Session& session) { return session.enable.LoggerId == logger; });
  if (!active) return STATUS_INVALID_HANDLE;
  T().messages.push_back(std::move(message));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI WmiQueryTraceInformation(TRACE_INFORMATION_CLASS TraceInformationClass, PVOID TraceInformation,
                                        ULONG TraceInformationLength, PULONG RequiredLength, PVOID Buffer) {
  using namespace kernel::wmi;
  kernel::verifier::CheckIrql("WmiQueryTraceInformation", Buffer, DISPATCH_LEVEL);
  if (Buffer == nullptr || TraceInformation == nullptr) return STATUS_INVALID_PARAMETER;
  // The enable request's WNODE_HEADER carries the logger handle, which
  // carries the session's flags and level.
  TRACEHANDLE handle = static_cast<PWNODE_HEADER>(Buffer)->HistoricalContext;
  TRACE_ENABLE_CONTEXT enable = ContextOf(handle);
  ULONG flags = enable.EnableFlags;
  UCHAR level = enable.Level;
  const void* answer;
  ULONG size;
  switch (TraceInformationClass) {
    case TraceEnableFlagsClass:
      answer = &flags;
      size = sizeof flags;
      break;
    case TraceEnableLevelClass:
      answer = &level;
      size = sizeof level;
      break;
    case TraceHandleClass:
      answer = &handle;
      size = sizeof handle;
      break;
    default:
      return STATUS_INVALID_INFO_CLASS;
  }
  if (RequiredLength != nullptr) *RequiredLength = size;
  if (TraceInformationLength < size) return STATUS_INFO_LENGTH_MISMATCH;
  std::memcpy(TraceInformation, answer, size);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI EtwRegisterClassicProvider(LPCGUID ProviderGuid, ULONG Type,
                                          PETW_CLASSIC_CALLBACK EnableCallback, PVOID CallbackContext,
                                          PREGHANDLE RegHandle) {
  using namespace kernel::wmi;
  kernel::verifier::CheckIrql("EtwRegisterClassicProvider", ProviderGuid, PASSIVE_LEVEL);
  if (ProviderGuid == nullptr || EnableCallback == nullptr || RegHandle == nullptr)
    return STATUS_INVALID_PARAMETER;
  std::optional<TRACE_ENABLE_CONTEXT> enabled;
  {
    std::lock_guard guard(T().lock);
    *RegHandle = T().nextHandle++;
    T().classic[*RegHandle] = {*ProviderGuid, EnableCallback, CallbackContext};
    for (const Session& session : T().sessions)
      if (SameGuid(session.guid, *ProviderGuid)) enabled = session.enable;
  }
  // A provider that registers while its session runs is enabled at once.
  if (enabled) {
    TRACEHANDLE handle = HandleOf(*enabled);
    EnableCallback(ProviderGuid, EVENT_CONTROL_CODE_ENABLE_PROVIDER, &handle, CallbackContext);
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI EtwUnregister(REGHANDLE RegHandle) {
  using namespace kernel::wmi;
  kernel::verifier::CheckIrql("EtwUnregister", nullptr, PASSIVE_LEVEL);
  std::lock_guard guard(T().lock);
  return T().classic.erase(RegHandle) != 0 ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}
