// The port's externally visible names: the DOS-device link "\DosDevices\COMn"
// to the kernel device name, the port's value in the SERIALCOMM device map
// and an enabled COM-port class device interface. Given at add-device, taken
// away at surprise removal and removal.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}
extern const GUID ComPortInterfaceGuid;

// Largest port name read from the registry, in bytes without the terminator.
constexpr ULONG PortNameCapacity = 256;
// PortNameString's buffer: 32 characters and the terminator.
constexpr USHORT PortNameStringSize = 66;

// Names the port from the device key's "PortName" (or "Identifier"), unless
// "SerialSkipExternalNaming" is set there. Undoes what it created when a
// later step fails. PASSIVE_LEVEL, after the device is attached.
NTSTATUS NamePort(PPORT_DEVICE_CONTEXT Context);

// Removes the names NamePort created (the link by the name it was created
// with, even if "PortName" changed since); removes nothing when naming was
// skipped. Releases DeviceName's buffer in every case: nothing needs the
// kernel name after this. Safe to call twice (surprise removal, then
// removal). PASSIVE_LEVEL.
VOID UnnamePort(PPORT_DEVICE_CONTEXT Context);

// Reads the port name from `Key` ("PortName", else "Identifier", REG_SZ, not
// empty) into `PortName` (a new paged buffer; released first if it holds one)
// and sets `LinkName` to "\DosDevices\" + the name (its buffer replaced by a
// new paged one, released first as well). On failure both are left empty.
NTSTATUS BuildPortLinkName(PPORT_DEVICE_CONTEXT Context, HANDLE Key, PUNICODE_STRING LinkName,
                           PUNICODE_STRING PortName);

// Releases a string buffer the driver allocated and leaves it empty.
VOID FreeDriverString(PUNICODE_STRING String);
