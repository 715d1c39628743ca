#include "driver/device/registry_values.h"

#include "driver/context/pool.h"

namespace {

// ReadTypedKeyValue's type for "whatever type the value has".
constexpr ULONG AnyValueType = 0xFFFFFFFF;

// Room for KEY_VALUE_FULL_INFORMATION's fixed part and its alignment.
constexpr ULONG FullInformationSlack = 24;

// Largest capacity a caller may ask for: keeps the temporary buffer's size
// from wrapping.
constexpr ULONG MaximumCapacity = 0x00FFFFFF;

// Characters of `Name` before its terminator, looked for within the
// `MaximumBytes` the caller declared. FALSE when the name is missing, empty,
// not terminated there, or longer than a counted string can hold.
BOOLEAN MeasureName(PCWSTR Name, ULONG MaximumBytes, PUSHORT LengthBytes) {
  if (Name == nullptr || MaximumBytes < sizeof(WCHAR)) {
    return FALSE;
  }
  ULONG limit = MaximumBytes / sizeof(WCHAR);
  for (ULONG i = 0; i < limit; ++i) {
    if (Name[i] == 0) {
      if (i == 0 || i * sizeof(WCHAR) > 0xFFFC) {
        return FALSE;
      }
      *LengthBytes = USHORT(i * sizeof(WCHAR));
      return TRUE;
    }
  }
  return FALSE;
}

// Builds `Value` over a terminated copy of the name in a paged buffer of
// NameSize + 2 bytes; the caller frees Value->Buffer.
NTSTATUS CopyValueName(PCWSTR ValueName, ULONG NameSize, PUNICODE_STRING Value) {
  USHORT length;
  if (!MeasureName(ValueName, NameSize, &length)) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG size = ULONG(length) + 2 * sizeof(WCHAR);
  PWCHAR buffer = static_cast<PWCHAR>(AllocatePoolMemory(PagedPool, size));
  if (buffer == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(buffer, size);
  RtlCopyMemory(buffer, ValueName, length);
  Value->Buffer = buffer;
  Value->Length = length;
  Value->MaximumLength = USHORT(size);
  return STATUS_SUCCESS;
}

// A counted view of a terminated name, without a copy.
NTSTATUS ViewName(PCWSTR Name, PUNICODE_STRING View) {
  USHORT length;
  if (!MeasureName(Name, 0xFFFE, &length)) {
    return STATUS_INVALID_PARAMETER;
  }
  View->Buffer = const_cast<PWCHAR>(Name);
  View->Length = length;
  View->MaximumLength = length;
  return STATUS_SUCCESS;
}

NTSTATUS OpenAbsoluteKey(PCWSTR KeyPath, PHANDLE Key) {
  UNICODE_STRING path;
  NTSTATUS status = ViewName(KeyPath, &path);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  return ZwOpenKey(Key, KEY_ALL_ACCESS, &attributes);
}

// The data of a value read with full information, checked against the
// buffer the query filled.
NTSTATUS TakeFullData(PKEY_VALUE_FULL_INFORMATION Info, ULONG Filled, ULONG Type, PVOID Data,
                      ULONG DataCapacity, PULONG DataLength) {
  if (Type != AnyValueType && Info->Type != Type) {
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  if (Info->DataLength > DataCapacity) {
    return STATUS_BUFFER_OVERFLOW;
  }
  if (Info->DataOffset > Filled || Info->DataLength > Filled - Info->DataOffset) {
    return STATUS_UNSUCCESSFUL;  // the query's answer does not hold together
  }
  if (Info->DataLength > 0) {
    RtlCopyMemory(Data, reinterpret_cast<PUCHAR>(Info) + Info->DataOffset, Info->DataLength);
  }
  if (DataLength != nullptr) {
    *DataLength = Info->DataLength;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ReadValue(HANDLE Key, PCWSTR ValueName, ULONG NameSize, ULONG Type, PVOID Data, ULONG DataCapacity,
                   PULONG DataLength) {
  if ((Data == nullptr && DataCapacity != 0) || DataCapacity > MaximumCapacity || NameSize > 0xFFFF) {
    return STATUS_INVALID_PARAMETER;
  }
  UNICODE_STRING name;
  NTSTATUS status = CopyValueName(ValueName, NameSize, &name);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  ULONG size = DataCapacity + NameSize + FullInformationSlack;
  auto info = static_cast<PKEY_VALUE_FULL_INFORMATION>(AllocatePoolMemory(PagedPool, size));
  if (info == nullptr) {
    FreePoolMemory(name.Buffer);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ULONG filled = 0;
  status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, info, size, &filled);
  if (NT_SUCCESS(status)) {
    status = TakeFullData(info, filled, Type, Data, DataCapacity, DataLength);
  }
  FreePoolMemory(info);
  FreePoolMemory(name.Buffer);
  return status;
}

// A first query with a small buffer tells the size the value needs; a
// second one with a buffer of that size gets the data.
NTSTATUS QueryPartialData(HANDLE Key, PUNICODE_STRING Name, PULONG DataLength, PVOID Data,
                          ULONG DataCapacity) {
  UCHAR probe[16];
  ULONG needed = 0;
  NTSTATUS status = ZwQueryValueKey(Key, Name, KeyValuePartialInformation, probe, sizeof probe, &needed);
  auto info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(probe);
  if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
    info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(AllocatePoolMemory(SelectNonPagedPoolType(), needed));
    if (info == nullptr) {
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ZwQueryValueKey(Key, Name, KeyValuePartialInformation, info, needed, &needed);
  }
  if (NT_SUCCESS(status)) {
    if (DataLength != nullptr) {
      *DataLength = info->DataLength;
    }
    if (info->DataLength > DataCapacity) {
      status = STATUS_BUFFER_OVERFLOW;
    } else if (info->DataLength > 0) {
      RtlCopyMemory(Data, info->Data, info->DataLength);
    }
  }
  if (reinterpret_cast<PUCHAR>(info) != probe) {
    FreePoolMemory(info);
  }
  return status;
}

// Size a REG_SZ-style value takes with its terminator, the terminator looked
// for within `Length` bytes unless Length is 0. 0 when there is none.
ULONG TerminatedStringSize(PCWSTR Text, ULONG Length) {
  ULONG limit = Length != 0 ? Length / sizeof(WCHAR) : 0x7FFFFFFF / sizeof(WCHAR);
  for (ULONG i = 0; i < limit; ++i) {
    if (Text[i] == 0) {
      return (i + 1) * sizeof(WCHAR);
    }
  }
  return 0;
}

}  // namespace

NTSTATUS ReadKeyValue(HANDLE Key, PCWSTR ValueName, ULONG NameSize, PVOID Data, ULONG DataCapacity) {
  return ReadValue(Key, ValueName, NameSize, AnyValueType, Data, DataCapacity, nullptr);
}

NTSTATUS ReadTypedKeyValue(HANDLE Key, PCWSTR ValueName, ULONG NameSize, ULONG Type, PVOID Data,
                           ULONG DataCapacity, PULONG DataLength) {
  return ReadValue(Key, ValueName, NameSize, Type, Data, DataCapacity, DataLength);
}

NTSTATUS WriteKeyValue(HANDLE Key, PCWSTR ValueName, ULONG NameSize, ULONG Type, PVOID Data,
                       ULONG DataLength) {
  if (Data == nullptr && DataLength != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  UNICODE_STRING name;
  NTSTATUS status = CopyValueName(ValueName, NameSize, &name);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = ZwSetValueKey(Key, &name, 0, Type, Data, DataLength);
  FreePoolMemory(name.Buffer);
  return status;
}

NTSTATUS ReadAbsoluteValue(PCWSTR ValueName, PULONG DataLength, PVOID Data, ULONG DataCapacity,
                           PCWSTR KeyPath) {
  UNICODE_STRING name;
  if ((Data == nullptr && DataCapacity != 0) || !NT_SUCCESS(ViewName(ValueName, &name))) {
    return STATUS_INVALID_PARAMETER;
  }
  HANDLE key;
  NTSTATUS status = OpenAbsoluteKey(KeyPath, &key);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = QueryPartialData(key, &name, DataLength, Data, DataCapacity);
  ZwClose(key);
  return status;
}

NTSTATUS WriteAbsoluteValue(PCWSTR ValueName, PVOID Data, ULONG Type, PCWSTR KeyPath, ULONG Length) {
  UNICODE_STRING name;
  if (!NT_SUCCESS(ViewName(ValueName, &name))) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG size;
  if (Type == REG_DWORD) {
    size = sizeof(ULONG);
  } else if (Type == REG_BINARY) {
    size = Length;
  } else {
    size = Data == nullptr ? 0 : TerminatedStringSize(static_cast<PCWSTR>(Data), Length);
    if (size == 0) {
      return STATUS_INVALID_PARAMETER;
    }
  }
  if (Data == nullptr && size != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  HANDLE key;
  NTSTATUS status = OpenAbsoluteKey(KeyPath, &key);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = ZwSetValueKey(key, &name, 0, Type, Data, size);
  ZwClose(key);
  return status;
}
