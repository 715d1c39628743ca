// The driver's small registry routines: values of an open key (the device's
// hardware key, mostly) and values of keys named by an absolute path. Every
// copy is bounded by the caller's buffer: a value that does not fit is
// refused whole, never cut.
#pragma once

#include "platform/platform.h"

// Reads the data of value `ValueName` of `Key` into `Data`. `NameSize` is the
// name's size in bytes with its terminator (18 for "PortName"). STATUS_SUCCESS
// with the data copied; STATUS_BUFFER_OVERFLOW when the data are longer than
// `DataCapacity` (nothing copied, `Data` keeps its contents); otherwise the
// failure of the query (STATUS_OBJECT_NAME_NOT_FOUND for a missing value).
// PASSIVE_LEVEL.
NTSTATUS ReadKeyValue(HANDLE Key, PCWSTR ValueName, ULONG NameSize, PVOID Data, ULONG DataCapacity);

// ReadKeyValue for a value that must have type `Type`: a value of another type
// gives STATUS_OBJECT_TYPE_MISMATCH and copies nothing. `DataLength` (may be
// null) receives the number of bytes copied.
NTSTATUS ReadTypedKeyValue(HANDLE Key, PCWSTR ValueName, ULONG NameSize, ULONG Type, PVOID Data,
                           ULONG DataCapacity, PULONG DataLength);

// Sets value `ValueName` of `Key` (title index 0). The set's status, or
// STATUS_INSUFFICIENT_RESOURCES when the name cannot be built. PASSIVE_LEVEL.
NTSTATUS WriteKeyValue(HANDLE Key, PCWSTR ValueName, ULONG NameSize, ULONG Type, PVOID Data,
                       ULONG DataLength);

// Reads value `ValueName` of the key at absolute path `KeyPath` (for example
// "\Registry\Machine\SYSTEM\...") into `Data`; `*DataLength` receives the
// value's size. A value longer than `DataCapacity` gives STATUS_BUFFER_OVERFLOW
// with `*DataLength` set to the size it needs and nothing copied.
// PASSIVE_LEVEL.
NTSTATUS ReadAbsoluteValue(PCWSTR ValueName, PULONG DataLength, PVOID Data, ULONG DataCapacity,
                           PCWSTR KeyPath);

// Sets value `ValueName` of the key at absolute path `KeyPath`. The size
// written is 4 for REG_DWORD, `Length` for REG_BINARY, and for every other
// type the zero-terminated wide string in `Data` with its terminator (looked
// for within `Length` bytes when `Length` is not 0: STATUS_INVALID_PARAMETER
// when it has none there). PASSIVE_LEVEL.
NTSTATUS WriteAbsoluteValue(PCWSTR ValueName, PVOID Data, ULONG Type, PCWSTR KeyPath, ULONG Length);
