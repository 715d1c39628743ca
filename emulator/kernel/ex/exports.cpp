#include "emulator/kernel/ex/exports.h"

#include <cstring>
#include <strings.h>

#include "platform/host/ex.h"
#include "platform/host/io.h"
#include "platform/host/ke.h"
#include "platform/host/power.h"
#include "platform/host/usb.h"
#include "platform/host/wmi.h"
#include "emulator/kernel/ex/version.h"
#include "emulator/kernel/ke/verifier.h"
#include "emulator/kernel/rtl/text.h"

namespace kernel::exports {

constexpr const char* kKernel = "ntoskrnl.exe";
constexpr const char* kHal = "HAL.dll";
constexpr const char* kUsbd = "USBD.SYS";
constexpr const char* kWmiLib = "WMILIB.SYS";

namespace {

struct Export {
  const char* module;
  const char* name;
  const void* address;
  unsigned long sinceMajor = 5, sinceMinor = 0;
};

// Only routines in the kernel's calling convention can be exported: an image
// calls every import that way.
template <class Result, class... Arguments>
constexpr const void* At(Result(NTAPI* routine)(Arguments...)) {
  return reinterpret_cast<const void*>(routine);
}
template <class Result, class... Arguments>
constexpr const void* At(Result(NTAPI* routine)(Arguments..., ...)) {
  return reinterpret_cast<const void*>(routine);
}

// The C run-time routines the kernel exports, called in its convention.
void* NTAPI CopyMemory(void* destination, const void* source, size_t length) {
  return std::memcpy(destination, source, length);
}
void* NTAPI FillMemory(void* destination, int value, size_t length) {
  return std::memset(destination, value, length);
}
size_t NTAPI TextLength(const char* text) { return std::strlen(text); }

// The formatters an image calls, picked from the host build's overloads.
int(NTAPI* const kFormatNarrow)(char*, size_t, const char*, __builtin_ms_va_list) = &::_vsnprintf;
int(NTAPI* const kFormatWide)(WCHAR*, size_t, const WCHAR*, __builtin_ms_va_list) = &::_vsnwprintf;

#define EXPORT(module, routine, ...) \
  { module, #routine, At(&::routine), ##__VA_ARGS__ }
#define EXPORT_AS(module, name, routine) \
  { module, name, At(routine) }

const Export kExports[] = {
    // Executive: pool, strings, versions, registry, files.
    EXPORT(kKernel, ExAllocatePoolWithTag),
    EXPORT(kKernel, ExFreePoolWithTag),
    EXPORT(kKernel, ExFreePool),
    EXPORT(kKernel, RtlCompareMemory),
    EXPORT(kKernel, RtlInitUnicodeString),
    EXPORT(kKernel, RtlInitAnsiString),
    EXPORT(kKernel, RtlCopyUnicodeString),
    EXPORT(kKernel, RtlAppendUnicodeToString),
    EXPORT(kKernel, RtlAppendUnicodeStringToString),
    EXPORT(kKernel, RtlCompareUnicodeString),
    EXPORT(kKernel, RtlEqualUnicodeString),
    EXPORT(kKernel, RtlUpcaseUnicodeChar),
    EXPORT(kKernel, RtlFreeUnicodeString),
    EXPORT(kKernel, RtlFreeAnsiString),
    EXPORT(kKernel, RtlIntegerToUnicodeString),
    EXPORT(kKernel, RtlUnicodeStringToInteger),
    EXPORT(kKernel, RtlAnsiStringToUnicodeString),
    EXPORT(kKernel, RtlUnicodeStringToAnsiString),
    EXPORT_AS(kKernel, "_vsnprintf", kFormatNarrow),
    EXPORT(kKernel, _snprintf),
    EXPORT_AS(kKernel, "_vsnwprintf", kFormatWide),
    EXPORT(kKernel, _snwprintf),
    EXPORT_AS(kKernel, "memcpy", &CopyMemory),
    EXPORT_AS(kKernel, "memset", &FillMemory),
    EXPORT_AS(kKernel, "strlen", &TextLength),
    EXPORT(kKernel, RtlGetVersion),
    EXPORT(kKernel, PsGetVersion),
    EXPORT(kKernel, RtlIsNtDdiVersionAvailable, 6, 0),
    EXPORT(kKernel, MmGetSystemRoutineAddress),
    EXPORT(kKernel, ZwOpenKey),
    EXPORT(kKernel, ZwCreateKey),
    EXPORT(kKernel, ZwQueryValueKey),
    EXPORT(kKernel, ZwSetValueKey),
    EXPORT(kKernel, ZwDeleteValueKey),
    EXPORT(kKernel, ZwDeleteKey),
    EXPORT(kKernel, ZwEnumerateKey),
    EXPORT(kKernel, ZwEnumerateValueKey),
    EXPORT(kKernel, ZwFlushKey),
    EXPORT(kKernel, ZwClose),
    EXPORT(kKernel, RtlWriteRegistryValue),
    EXPORT(kKernel, RtlDeleteRegistryValue),
    EXPORT(kKernel, RtlCheckRegistryKey),
    EXPORT(kKernel, RtlCreateRegistryKey),
    EXPORT(kKernel, ZwCreateFile),
    EXPORT(kKernel, ZwReadFile),
    EXPORT(kKernel, ZwWriteFile),
    EXPORT(kKernel, ZwQueryInformationFile),
    // I/O manager.
    EXPORT(kKernel, IoGetDeviceProperty),
    EXPORT(kKernel, IoOpenDeviceRegistryKey),
    EXPORT(kKernel, IoIsWdmVersionAvailable),
    EXPORT(kKernel, IoAllocateIrp),
    EXPORT(kKernel, IoInitializeIrp),
    EXPORT(kKernel, IoReuseIrp),
    EXPORT(kKernel, IoFreeIrp),
    EXPORT(kKernel, IoBuildDeviceIoControlRequest),
    EXPORT(kKernel, IoBuildSynchronousFsdRequest),
    EXPORT(kKernel, IofCallDriver),
    EXPORT(kKernel, IofCompleteRequest),
    EXPORT(kKernel, IoCancelIrp),
    EXPORT(kKernel, IoAcquireCancelSpinLock),
    EXPORT(kKernel, IoReleaseCancelSpinLock),
    EXPORT(kKernel, IoAllocateWorkItem),
    EXPORT(kKernel, IoFreeWorkItem),
    EXPORT(kKernel, IoQueueWorkItem),
    EXPORT(kKernel, IoCreateDevice),
    EXPORT(kKernel, IoDeleteDevice),
    EXPORT(kKernel, IoAttachDeviceToDeviceStack),
    EXPORT(kKernel, IoDetachDevice),
    EXPORT(kKernel, IoGetAttachedDevice),
    EXPORT(kKernel, IoGetAttachedDeviceReference),
    EXPORT(kKernel, IoGetLowerDeviceObject),
    EXPORT(kKernel, IoCreateSymbolicLink),
    EXPORT(kKernel, IoDeleteSymbolicLink),
    EXPORT(kKernel, IoRegisterDeviceInterface),
    EXPORT(kKernel, IoSetDeviceInterfaceState),
    EXPORT(kKernel, IoInitializeRemoveLockEx),
    EXPORT(kKernel, IoAcquireRemoveLockEx),
    EXPORT(kKernel, IoReleaseRemoveLockEx),
    EXPORT(kKernel, IoReleaseRemoveLockAndWaitEx),
    // Kernel: IRQL, locks, dispatcher objects, timers, DPCs, threads, objects.
    EXPORT(kKernel, KeGetCurrentIrql),
    EXPORT(kKernel, KeLowerIrql),
    EXPORT(kKernel, KeRaiseIrqlToDpcLevel),
    EXPORT(kKernel, KeAcquireSpinLockRaiseToDpc),
    EXPORT(kKernel, KeReleaseSpinLock),
    EXPORT(kKernel, KeAcquireSpinLockAtDpcLevel),
    EXPORT(kKernel, KeReleaseSpinLockFromDpcLevel),
    EXPORT(kKernel, KeInitializeEvent),
    EXPORT(kKernel, KeSetEvent),
    EXPORT(kKernel, KeClearEvent),
    EXPORT(kKernel, KeResetEvent),
    EXPORT(kKernel, KeReadStateEvent),
    EXPORT(kKernel, KeInitializeMutex),
    EXPORT(kKernel, KeReleaseMutex),
    EXPORT(kKernel, KeReadStateMutex),
    EXPORT(kKernel, KeInitializeTimer),
    EXPORT(kKernel, KeInitializeTimerEx),
    EXPORT(kKernel, KeSetTimer),
    EXPORT(kKernel, KeSetTimerEx),
    EXPORT(kKernel, KeCancelTimer),
    EXPORT(kKernel, KeReadStateTimer),
    EXPORT(kKernel, KeInitializeDpc),
    EXPORT(kKernel, KeInsertQueueDpc),
    EXPORT(kKernel, KeRemoveQueueDpc),
    EXPORT(kKernel, KeFlushQueuedDpcs),
    EXPORT(kKernel, KeWaitForSingleObject),
    EXPORT(kKernel, KeWaitForMultipleObjects),
    EXPORT(kKernel, KeDelayExecutionThread),
    EXPORT(kKernel, KeQueryTimeIncrement),
    EXPORT(kKernel, PsCreateSystemThread),
    EXPORT(kKernel, PsTerminateSystemThread),
    EXPORT(kKernel, KeGetCurrentThread),
    EXPORT(kKernel, KeSetPriorityThread),
    EXPORT(kKernel, ObReferenceObjectByHandle),
    EXPORT(kKernel, ObfReferenceObject),
    EXPORT(kKernel, ObfDereferenceObject),
    EXPORT(kKernel, DbgPrint),
    EXPORT(kKernel, DbgPrintEx),
    // Power manager.
    EXPORT(kKernel, PoRequestPowerIrp),
    EXPORT(kKernel, PoCallDriver),
    EXPORT(kKernel, PoStartNextPowerIrp),
    EXPORT(kKernel, PoSetPowerState),
    // WMI and event tracing.
    EXPORT(kKernel, IoWMIRegistrationControl),
    EXPORT(kKernel, WmiTraceMessage, 5, 1),
    EXPORT(kKernel, WmiQueryTraceInformation, 5, 1),
    EXPORT(kKernel, EtwRegisterClassicProvider, 6, 0),
    EXPORT(kKernel, EtwUnregister, 6, 0),
    // The HAL, the USB driver library and the WMI library.
    EXPORT(kHal, KeStallExecutionProcessor),
    EXPORT(kUsbd, USBD_ParseDescriptors),
    EXPORT(kUsbd, USBD_ParseConfigurationDescriptorEx),
    EXPORT(kUsbd, USBD_CreateConfigurationRequestEx),
    EXPORT(kUsbd, USBD_CreateConfigurationRequest),
    EXPORT(kWmiLib, WmiCompleteRequest),
    EXPORT(kWmiLib, WmiSystemControl),
    EXPORT(kWmiLib, WmiFireEvent),
};

#undef EXPORT
#undef EXPORT_AS

bool SameModule(std::string_view a, const char* b) {
  return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

}  // namespace

const void* Find(std::string_view module, std::string_view name, unsigned long major, unsigned long minor) {
  for (const Export& e : kExports) {
    if (name != e.name || !SameModule(module, e.module)) continue;
    const bool exported = major > e.sinceMajor || (major == e.sinceMajor && minor >= e.sinceMinor);
    return exported ? e.address : nullptr;
  }
  return nullptr;
}

const void* Find(std::string_view module, std::string_view name) {
  const version::WindowsVersion v = version::Current();
  return Find(module, name, v.major, v.minor);
}

bool HasModule(std::string_view module) {
  for (const Export& e : kExports)
    if (SameModule(module, e.module)) return true;
  return false;
}

}  // namespace kernel::exports

// Windows looks the name up in the kernel's and the HAL's exports.
PVOID MmGetSystemRoutineAddress(PUNICODE_STRING systemRoutineName) {
  kernel::verifier::CheckIrql("MmGetSystemRoutineAddress", systemRoutineName, PASSIVE_LEVEL);
  const std::string name = kernel::text::ToUtf8(kernel::text::View(*systemRoutineName));
  const void* routine = kernel::exports::Find(kernel::exports::kKernel, name);
  if (routine == nullptr) routine = kernel::exports::Find(kernel::exports::kHal, name);
  return const_cast<void*>(routine);
}
