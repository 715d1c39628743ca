#include "driver/device/naming.h"

#include "driver/context/pool.h"
#include "driver/device/registry_values.h"

const GUID ComPortInterfaceGuid = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

namespace {

#define DOS_DEVICES_PREFIX WIDE("\\DosDevices\\")
constexpr USHORT DosDevicesPrefixSize = sizeof(DOS_DEVICES_PREFIX) - sizeof(WCHAR);

#define SERIAL_COMM_KEY WIDE("SERIALCOMM")

// A zeroed paged string buffer of `Size` bytes, empty.
BOOLEAN AllocateString(PUNICODE_STRING String, USHORT Size, POOL_TYPE PoolType) {
  String->Buffer = static_cast<PWCHAR>(AllocatePoolMemory(PoolType, Size));
  if (String->Buffer == nullptr) {
    return FALSE;
  }
  RtlZeroMemory(String->Buffer, Size);
  String->Length = 0;
  String->MaximumLength = Size;
  return TRUE;
}

// The port name, REG_SZ and not empty, from `ValueName` of the key. The
// buffer is zeroed and two bytes longer than what is read, so the name is
// always terminated.
NTSTATUS ReadPortNameValue(HANDLE Key, PCWSTR ValueName, ULONG NameSize, PUNICODE_STRING PortName) {
  RtlZeroMemory(PortName->Buffer, PortName->MaximumLength);
  NTSTATUS status =
      ReadTypedKeyValue(Key, ValueName, NameSize, REG_SZ, PortName->Buffer, PortNameCapacity, nullptr);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  USHORT length = 0;
  while (length < PortNameCapacity / sizeof(WCHAR) && PortName->Buffer[length] != 0) {
    ++length;
  }
  if (length == 0) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  PortName->Length = USHORT(length * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

// "\DosDevices\" + the port name, in a new zeroed paged buffer of Length + 2.
NTSTATUS FormLinkName(PCUNICODE_STRING PortName, PUNICODE_STRING LinkName) {
  USHORT length = USHORT(DosDevicesPrefixSize + PortName->Length);
  if (!AllocateString(LinkName, USHORT(length + sizeof(WCHAR)), PagedPool)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(LinkName->Buffer, DOS_DEVICES_PREFIX, DosDevicesPrefixSize);
  RtlCopyMemory(reinterpret_cast<PUCHAR>(LinkName->Buffer) + DosDevicesPrefixSize, PortName->Buffer,
                PortName->Length);
  LinkName->Length = length;
  return STATUS_SUCCESS;
}

VOID DisableComInterface(PPORT_DEVICE_CONTEXT Context) {
  if (Context->ComInterfaceName.Buffer != nullptr) {
    IoSetDeviceInterfaceState(&Context->ComInterfaceName, FALSE);
    RtlFreeUnicodeString(&Context->ComInterfaceName);
    RtlZeroMemory(&Context->ComInterfaceName, sizeof Context->ComInterfaceName);
  }
}

VOID DeleteLink(PPORT_DEVICE_CONTEXT Context) {
  if (Context->CreatedSymbolicLink == 1 && Context->SymbolicLinkName.Buffer != nullptr) {
    IoDeleteSymbolicLink(&Context->SymbolicLinkName);
  }
  Context->CreatedSymbolicLink = 0;
  FreeDriverString(&Context->SymbolicLinkName);
}

VOID DeleteSerialCommEntry(PPORT_DEVICE_CONTEXT Context) {
  if (Context->CreatedSerialCommEntry == 1 && Context->DeviceName.Buffer != nullptr) {
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SERIAL_COMM_KEY, Context->DeviceName.Buffer);
  }
  Context->CreatedSerialCommEntry = 0;
}

// PortNameString: the name in a 66-byte non-paged buffer, terminated.
NTSTATUS KeepPortName(PPORT_DEVICE_CONTEXT Context, PCUNICODE_STRING PortName) {
  if (!AllocateString(&Context->PortNameString, PortNameStringSize, SelectNonPagedPoolType())) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // Leaves room for the terminator: a longer name is refused, not cut.
  if (PortName->Length > PortNameStringSize - sizeof(WCHAR)) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  RtlCopyMemory(Context->PortNameString.Buffer, PortName->Buffer, PortName->Length);
  Context->PortNameString.Length = PortName->Length;
  return STATUS_SUCCESS;
}

// The link, the SERIALCOMM value and the enabled COM-port interface, in this
// order; each flag records what exists for the undo.
NTSTATUS CreateNames(PPORT_DEVICE_CONTEXT Context, PCUNICODE_STRING PortName) {
  NTSTATUS status = KeepPortName(Context, PortName);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = IoCreateSymbolicLink(&Context->SymbolicLinkName, &Context->DeviceName);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  Context->CreatedSymbolicLink = 1;
  status =
      RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SERIAL_COMM_KEY, Context->DeviceName.Buffer, REG_SZ,
                            Context->PortNameString.Buffer, Context->PortNameString.Length + sizeof(WCHAR));
  if (!NT_SUCCESS(status)) {
    return status;
  }
  Context->CreatedSerialCommEntry = 1;
  status =
      IoRegisterDeviceInterface(Context->Pdo, &ComPortInterfaceGuid, nullptr, &Context->ComInterfaceName);
  if (!NT_SUCCESS(status)) {
    RtlZeroMemory(&Context->ComInterfaceName, sizeof Context->ComInterfaceName);
    return status;
  }
  return IoSetDeviceInterfaceState(&Context->ComInterfaceName, TRUE);
}

VOID UndoNames(PPORT_DEVICE_CONTEXT Context) {
  FreeDriverString(&Context->PortNameString);
  DeleteLink(Context);
  DeleteSerialCommEntry(Context);
  DisableComInterface(Context);
}

}  // namespace

VOID FreeDriverString(PUNICODE_STRING String) {
  FreePoolMemory(String->Buffer);
  String->Buffer = nullptr;
  String->Length = 0;
  String->MaximumLength = 0;
}

NTSTATUS BuildPortLinkName(PPORT_DEVICE_CONTEXT Context, HANDLE Key, PUNICODE_STRING LinkName,
                           PUNICODE_STRING PortName) {
  UNREFERENCED_PARAMETER(Context);
  FreeDriverString(PortName);
  if (!AllocateString(PortName, USHORT(PortNameCapacity + sizeof(WCHAR)), PagedPool)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS status = ReadPortNameValue(Key, WIDE("PortName"), 18, PortName);
  if (!NT_SUCCESS(status)) {
    status = ReadPortNameValue(Key, WIDE("Identifier"), 22, PortName);
  }
  if (NT_SUCCESS(status)) {
    FreeDriverString(LinkName);
    status = FormLinkName(PortName, LinkName);
  }
  if (!NT_SUCCESS(status)) {
    FreeDriverString(PortName);
  }
  return status;
}

NTSTATUS NamePort(PPORT_DEVICE_CONTEXT Context) {
  if (Context->DeviceName.Buffer == nullptr) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(Context->Pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  ReadKeyValue(key, WIDE("SerialSkipExternalNaming"), 50, &Context->SkipExternalNaming,
               sizeof Context->SkipExternalNaming);
  if (Context->SkipExternalNaming != 0) {
    ZwClose(key);
    return STATUS_SUCCESS;
  }
  UNICODE_STRING portName = {0, 0, nullptr};
  status = BuildPortLinkName(Context, key, &Context->SymbolicLinkName, &portName);
  ZwClose(key);
  if (NT_SUCCESS(status)) {
    status = CreateNames(Context, &portName);
  }
  if (!NT_SUCCESS(status)) {
    UndoNames(Context);
  }
  FreeDriverString(&portName);
  return status;
}

VOID UnnamePort(PPORT_DEVICE_CONTEXT Context) {
  if (Context->SkipExternalNaming == 0) {
    // The link is the one created at add-device, whatever "PortName" says now.
    DeleteLink(Context);
    DisableComInterface(Context);
    DeleteSerialCommEntry(Context);
    FreeDriverString(&Context->PortNameString);
  }
  // Only naming uses the kernel device name after creation.
  FreeDriverString(&Context->DeviceName);
}
