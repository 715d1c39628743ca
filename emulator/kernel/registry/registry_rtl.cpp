// The run-time library's registry helpers, built on the Zw routines as in
// Windows: a key named relative to one of the RTL_REGISTRY_* bases (a path
// that starts with a backslash is absolute whatever the base).
#include <string>

#include "emulator/kernel/ke/verifier.h"
#include "platform/host/ex.h"
#include "platform/host/ke.h"

namespace {

const char16_t* BasePath(ULONG relativeTo) {
  switch (relativeTo) {
    case RTL_REGISTRY_SERVICES:
      return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL:
      return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT:
      return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP:
      return u"\\Registry\\Machine\\Hardware\\DeviceMap";
    case RTL_REGISTRY_USER:
      return u"\\Registry\\User\\.Default";
    default:
      return u"";
  }
}

// Opens, or with `create` opens or creates, the key. With RTL_REGISTRY_HANDLE
// the path is an open key handle, which stays the caller's (`owned` false).
NTSTATUS GetRegistryHandle(ULONG relativeTo, PCWSTR path, bool create, HANDLE& key, bool& owned) {
  relativeTo &= ~ULONG(RTL_REGISTRY_OPTIONAL);
  owned = false;
  if ((relativeTo & RTL_REGISTRY_HANDLE) != 0) {
    key = const_cast<PWSTR>(path);
    return STATUS_SUCCESS;
  }
  if (relativeTo >= RTL_REGISTRY_MAXIMUM) return STATUS_INVALID_PARAMETER;
  std::u16string_view relative = path != nullptr ? std::u16string_view(path) : std::u16string_view();
  std::u16string full;
  if (relativeTo != RTL_REGISTRY_ABSOLUTE && (relative.empty() || relative[0] != u'\\')) {
    full = BasePath(relativeTo);
    if (!relative.empty()) full += u'\\';
  }
  full += relative;
  if (full.size() * sizeof(WCHAR) > 0xFFFC) return STATUS_INVALID_PARAMETER;
  UNICODE_STRING name{USHORT(full.size() * sizeof(WCHAR)), USHORT(full.size() * sizeof(WCHAR)), full.data()};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  NTSTATUS status =
      create ? ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr)
             : ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes);
  owned = NT_SUCCESS(status);
  return status;
}

void Release(HANDLE key, bool owned) {
  if (owned) ZwClose(key);
}

}  // namespace

NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType,
                               PVOID valueData, ULONG valueLength) {
  kernel::verifier::CheckIrql("RtlWriteRegistryValue", path, PASSIVE_LEVEL);
  HANDLE key = nullptr;
  bool owned;
  NTSTATUS status = GetRegistryHandle(relativeTo, path, true, key, owned);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  status = ZwSetValueKey(key, &name, 0, valueType, valueData, valueLength);
  Release(key, owned);
  return status;
}

NTSTATUS RtlDeleteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName) {
  kernel::verifier::CheckIrql("RtlDeleteRegistryValue", path, PASSIVE_LEVEL);
  HANDLE key = nullptr;
  bool owned;
  NTSTATUS status = GetRegistryHandle(relativeTo, path, false, key, owned);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  status = ZwDeleteValueKey(key, &name);
  Release(key, owned);
  return status;
}

namespace {

// The key exists (or, with `create`, now exists): open it and let it go.
NTSTATUS TouchRegistryKey(ULONG relativeTo, PWSTR path, bool create, const char* routine) {
  kernel::verifier::CheckIrql(routine, path, PASSIVE_LEVEL);
  HANDLE key = nullptr;
  bool owned;
  NTSTATUS status = GetRegistryHandle(relativeTo, path, create, key, owned);
  Release(key, owned);
  return status;
}

}  // namespace

NTSTATUS RtlCheckRegistryKey(ULONG relativeTo, PWSTR path) {
  return TouchRegistryKey(relativeTo, path, false, "RtlCheckRegistryKey");
}

NTSTATUS RtlCreateRegistryKey(ULONG relativeTo, PWSTR path) {
  return TouchRegistryKey(relativeTo, path, true, "RtlCreateRegistryKey");
}
