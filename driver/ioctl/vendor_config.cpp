// Vendor configuration requests. Each checks its buffers before it changes
// anything; the changes that last go to the device's hardware key or to this
// port's record of the settings file, whose failures are never reported.
#include "driver/ioctl/vendor_config.h"

#include "driver/context/pool.h"
#include "driver/device/registry_values.h"
#include "driver/device/settings_file.h"
#include "driver/uart/mode_pins.h"
#include "driver/uart/register_access.h"
#include "driver/uart/register_map.h"

namespace {

// Registry names with their sizes in bytes, terminator included.
#define BAUD_RATE_VALUE WIDE("BaudRate")
#define PORT_NAME_VALUE WIDE("PortName")
#define FRIENDLY_NAME_VALUE WIDE("FriendlyName")
#define COM_DB_VALUE WIDE("ComDB")
#define ENUM_ROOT WIDE("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\")
#define SERVICE_ENUM_KEY WIDE("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Q2740xA_Port\\Enum")
#define COM_NAME_ARBITER_KEY WIDE("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter")
constexpr ULONG BaudRateValueSize = sizeof(BAUD_RATE_VALUE);
constexpr ULONG PortNameValueSize = sizeof(PORT_NAME_VALUE);
constexpr ULONG EnumRootLength = sizeof(ENUM_ROOT) / sizeof(WCHAR) - 1;

// "PortName" is read as at most 14 bytes: names up to six characters (COM999).
constexpr ULONG PortNameReadSize = 14;
constexpr ULONG HighestComNumber = 999;
// N = 254 and 255 both give this COM number, which stands for the one stored
// in the settings file.
constexpr ULONG StoredComNumber = 255;

constexpr ULONG FriendlyNamePropertySize = 512;
constexpr ULONG InstanceValueSize = 128;
constexpr ULONG FriendlyNameValueSize = 128;
constexpr ULONG ComDbSize = 128;       // COM1 to COM1024
constexpr ULONG EnumIndexLimit = 100;  // value names of at most two digits

// Open for reading and for setting values: the key's values are both read
// and written here.
constexpr ACCESS_MASK DeviceKeyAccess = KEY_READ | KEY_SET_VALUE;

ULONG InputLength(PCONTROL_REQUEST Request) { return Request->InputLength; }

ULONG OutputLength(PCONTROL_REQUEST Request) { return Request->OutputLength; }

PVOID Buffer(PCONTROL_REQUEST Request) { return Request->Buffer; }

// A request that exchanges exactly Size bytes each way.
BOOLEAN ExactBuffers(PCONTROL_REQUEST Request, ULONG Size) {
  return Buffer(Request) != nullptr && InputLength(Request) == Size && OutputLength(Request) == Size;
}

// A request that returns a ULONG in a buffer of at least that size.
BOOLEAN RoomForUlong(PCONTROL_REQUEST Request) {
  return Buffer(Request) != nullptr && OutputLength(Request) >= sizeof(ULONG);
}

// The value-carrying requests check only that the output is exactly a ULONG;
// the value itself must have come in as a whole ULONG too.
BOOLEAN CarriesUlong(PCONTROL_REQUEST Request) {
  return Buffer(Request) != nullptr && OutputLength(Request) == sizeof(ULONG) &&
         InputLength(Request) >= sizeof(ULONG);
}

ULONG BufferUlong(PCONTROL_REQUEST Request) { return *static_cast<PULONG>(Buffer(Request)); }

NTSTATUS ReturnUlong(PCONTROL_REQUEST Request, ULONG Value, NTSTATUS Status) {
  *static_cast<PULONG>(Buffer(Request)) = Value;
  Request->Information = sizeof(ULONG);
  return Status;
}

NTSTATUS Refuse(PCONTROL_REQUEST Request, ULONG_PTR Information) {
  Request->Information = Information;
  return STATUS_INVALID_PARAMETER;
}

// A rename that has nothing to do reports the buffer as returned.
NTSTATUS Unchanged(PCONTROL_REQUEST Request) {
  Request->Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS OpenDeviceKey(PPORT_DEVICE_CONTEXT Context, PHANDLE Key) {
  return IoOpenDeviceRegistryKey(Context->Pdo, PLUGPLAY_REGKEY_DEVICE, DeviceKeyAccess, Key);
}

// ---- Settings-file edits ----------------------------------------------------------------

struct PortModeEdit {
  UCHAR Mode;
  UCHAR Flag0;
};

VOID EditPortMode(PUCHAR Record, PVOID EditContext) {
  auto edit = static_cast<PortModeEdit*>(EditContext);
  Record[RecordPortModeFlags] = UCHAR((Record[RecordPortModeFlags] & ~PortModeFlag0) | edit->Flag0);
  Record[RecordPortMode] = edit->Mode;
}

VOID EditMaxWriteLength(PUCHAR Record, PVOID EditContext) {
  Record[RecordMaxWriteLength] = UCHAR(static_cast<PPORT_DEVICE_CONTEXT>(EditContext)->MaxWriteLength);
}

VOID EditRxFifoTrigger(PUCHAR Record, PVOID EditContext) {
  auto context = static_cast<PPORT_DEVICE_CONTEXT>(EditContext);
  Record[RecordRxFifoTrigger] = context->RxFifoTrigger;
  Record[RecordFifoTriggerLow] = context->FifoTriggerLow;
}

// ---- Port name --------------------------------------------------------------------------

// The COM number of "COMn" names of four to six characters; any other length
// or a character that is no digit gives 0. The first three characters are
// not examined.
ULONG ComNumberOfName(const WCHAR* Name) {
  ULONG length = 0;
  while (length < 7 && Name[length] != 0) ++length;
  if (length < 4 || length > 6) return 0;
  ULONG number = 0;
  for (ULONG i = 3; i < length; ++i) {
    if (Name[i] < '0' || Name[i] > '9') return 0;
    number = number * 10 + ULONG(Name[i] - '0');
  }
  return number;
}

// Writes Prefix, Value in decimal and Suffix into Buffer (Capacity
// characters with the terminator); false when they do not fit.
BOOLEAN FormatNumbered(PWCHAR Buffer, ULONG Capacity, const WCHAR* Prefix, ULONG Value, const WCHAR* Suffix) {
  WCHAR digits[10];
  ULONG count = 0;
  do {
    digits[count++] = WCHAR('0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  ULONG at = 0;
  for (const WCHAR* c = Prefix; *c != 0; ++c) {
    if (at + 1 >= Capacity) return FALSE;
    Buffer[at++] = *c;
  }
  while (count != 0) {
    if (at + 1 >= Capacity) return FALSE;
    Buffer[at++] = digits[--count];
  }
  for (const WCHAR* c = Suffix; *c != 0; ++c) {
    if (at + 1 >= Capacity) return FALSE;
    Buffer[at++] = *c;
  }
  Buffer[at] = 0;
  return TRUE;
}

// Scratch space of the rename, from paged pool rather than the kernel stack.
struct RenameBuffers {
  UCHAR Property[FriendlyNamePropertySize];
  WCHAR Instance[InstanceValueSize / sizeof(WCHAR) + 1];  // room for a terminator the value may lack
  UCHAR FriendlyName[FriendlyNameValueSize];
  WCHAR Path[EnumRootLength + InstanceValueSize / sizeof(WCHAR) + 1];
  WCHAR NewFriendlyName[64];
  WCHAR ValueName[3];
  UCHAR ComDb[ComDbSize];
};

// Renames the friendly name of this device's instance among the service's
// present devices: the instance whose "FriendlyName" starts with the
// device's own friendly-name property. Nothing matches when that property
// can't be read.
VOID RenameFriendlyName(PPORT_DEVICE_CONTEXT Context, RenameBuffers* b, ULONG ComNumber) {
  RtlZeroMemory(b->Property, sizeof b->Property);
  ULONG propertyLength = 0;
  NTSTATUS status = IoGetDeviceProperty(Context->Pdo, DevicePropertyFriendlyName, sizeof b->Property,
                                        b->Property, &propertyLength);
  if (!NT_SUCCESS(status) || propertyLength == 0 || propertyLength > sizeof b->FriendlyName) return;
  FormatNumbered(b->NewFriendlyName, sizeof b->NewFriendlyName / sizeof(WCHAR),
                 WIDE("Tarvio Serial Adv (COM"), ComNumber, WIDE(")"));
  for (ULONG index = 0; index < EnumIndexLimit; ++index) {
    FormatNumbered(b->ValueName, sizeof b->ValueName / sizeof(WCHAR), WIDE(""), index, WIDE(""));
    RtlZeroMemory(b->Instance, sizeof b->Instance);
    ULONG length = 0;
    if (!NT_SUCCESS(
            ReadAbsoluteValue(b->ValueName, &length, b->Instance, InstanceValueSize, SERVICE_ENUM_KEY))) {
      return;
    }
    if (b->Instance[0] != 'U' || b->Instance[1] != 'S' || b->Instance[2] != 'B') continue;
    RtlCopyMemory(b->Path, ENUM_ROOT, EnumRootLength * sizeof(WCHAR));
    RtlCopyMemory(b->Path + EnumRootLength, b->Instance, sizeof b->Instance);
    RtlZeroMemory(b->FriendlyName, sizeof b->FriendlyName);
    length = 0;
    status =
        ReadAbsoluteValue(FRIENDLY_NAME_VALUE, &length, b->FriendlyName, sizeof b->FriendlyName, b->Path);
    if (NT_SUCCESS(status) && length >= propertyLength &&
        RtlCompareMemory(b->FriendlyName, b->Property, propertyLength) == propertyLength) {
      WriteAbsoluteValue(FRIENDLY_NAME_VALUE, b->NewFriendlyName, REG_SZ, b->Path, 0);
      return;
    }
  }
}

// Moves this port's bit in the COM name database from OldNumber (0: none)
// to NewNumber. The database is written back only when it could be read,
// with the length it had, grown when the new bit lies beyond it.
NTSTATUS UpdateComDb(RenameBuffers* b, ULONG OldNumber, ULONG NewNumber) {
  RtlZeroMemory(b->ComDb, sizeof b->ComDb);
  ULONG length = 0;
  NTSTATUS status = ReadAbsoluteValue(COM_DB_VALUE, &length, b->ComDb, sizeof b->ComDb, COM_NAME_ARBITER_KEY);
  if (!NT_SUCCESS(status)) return status;
  if (OldNumber >= 1 && (OldNumber - 1) / 8 < sizeof b->ComDb) {
    b->ComDb[(OldNumber - 1) / 8] &= UCHAR(~(1u << ((OldNumber - 1) % 8)));
  }
  ULONG newByte = (NewNumber - 1) / 8;
  b->ComDb[newByte] |= UCHAR(1u << ((NewNumber - 1) % 8));
  if (length < newByte + 1) length = newByte + 1;
  return WriteAbsoluteValue(COM_DB_VALUE, b->ComDb, REG_BINARY, COM_NAME_ARBITER_KEY, length);
}

// Steps 3 to 9 of a rename to ComNumber (1 to HighestComNumber).
NTSTATUS RenamePort(PPORT_DEVICE_CONTEXT Context, ULONG ComNumber) {
  WCHAR newName[16];
  FormatNumbered(newName, sizeof newName / sizeof(WCHAR), WIDE("COM"), ComNumber, WIDE(""));
  HANDLE key;
  NTSTATUS status = OpenDeviceKey(Context, &key);
  if (!NT_SUCCESS(status)) return status;
  WCHAR oldName[PortNameReadSize / sizeof(WCHAR) + 1];
  RtlZeroMemory(oldName, sizeof oldName);
  NTSTATUS readStatus = ReadKeyValue(key, PORT_NAME_VALUE, PortNameValueSize, oldName, PortNameReadSize);
  ULONG oldNumber = NT_SUCCESS(readStatus) ? ComNumberOfName(oldName) : 0;
  if (oldNumber == ComNumber) {
    ZwClose(key);
    return readStatus;
  }
  ULONG nameSize = 0;
  while (newName[nameSize / sizeof(WCHAR)] != 0) nameSize += sizeof(WCHAR);
  WriteKeyValue(key, PORT_NAME_VALUE, PortNameValueSize, REG_SZ, newName, nameSize + sizeof(WCHAR));
  ZwClose(key);

  auto buffers = static_cast<RenameBuffers*>(AllocatePoolMemory(PagedPool, sizeof(RenameBuffers)));
  if (buffers == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RenameFriendlyName(Context, buffers, ComNumber);
  status = UpdateComDb(buffers, oldNumber, ComNumber);
  FreePoolMemory(buffers);
  return status;
}

}  // namespace

ULONG RxFifoTriggerLevel(UCHAR RxFifoTrigger, UCHAR FifoTriggerLow) {
  ULONG base = RxTriggerBaseLevels[(RxFifoTrigger & RxTriggerMask) >> RxTriggerShift];
  return base << ((FifoTriggerLow & TriggerFactorMask) >> TriggerFactorShift);
}

NTSTATUS IoctlGetPortBaudRate(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  if (!RoomForUlong(Request)) return Refuse(Request, 0);
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(Context->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
  if (!NT_SUCCESS(status)) return ReturnUlong(Request, DefaultBaudRate, status);
  ULONG stored = 0;
  status = ReadKeyValue(key, BAUD_RATE_VALUE, BaudRateValueSize, &stored, sizeof stored);
  ZwClose(key);
  if (status == STATUS_BUFFER_OVERFLOW) return ReturnUlong(Request, DefaultBaudRate, STATUS_SUCCESS);
  return ReturnUlong(Request, NT_SUCCESS(status) ? stored : DefaultBaudRate, status);
}

NTSTATUS IoctlSetPortBaudRate(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  if (!CarriesUlong(Request)) return Refuse(Request, sizeof(ULONG));
  ULONG rate = BufferUlong(Request);
  Context->BaudRate = rate;
  Request->Information = sizeof(ULONG);
  HANDLE key;
  NTSTATUS status = OpenDeviceKey(Context, &key);
  if (!NT_SUCCESS(status)) return status;
  status = WriteKeyValue(key, BAUD_RATE_VALUE, BaudRateValueSize, REG_DWORD, &rate, sizeof rate);
  ZwClose(key);
  return status;
}

NTSTATUS IoctlGetPortMode(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  if (!ExactBuffers(Request, PortModeBufferSize)) return Refuse(Request, PortModeBufferSize);
  auto bytes = static_cast<PUCHAR>(Buffer(Request));
  bytes[0] = Context->PortMode;
  bytes[1] = (Context->PortModeFlags & PortModeFlag0) != 0;
  bytes[2] = (Context->PortModeFlags & PortModeBreakLevelHigh) != 0;
  Request->Information = PortModeBufferSize;
  return STATUS_SUCCESS;
}

NTSTATUS IoctlSetPortMode(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  if (!ExactBuffers(Request, PortModeBufferSize)) return Refuse(Request, PortModeBufferSize);
  auto bytes = static_cast<PUCHAR>(Buffer(Request));
  PortModeEdit edit = {bytes[0], bytes[1]};
  Context->PortMode = edit.Mode;
  Context->PortModeFlags = UCHAR((Context->PortModeFlags & ~PortModeFlag0) | edit.Flag0);
  NTSTATUS status = MirrorModeFlags(Context, CONFIG0_MODE_FLAG0);
  UpdatePortSettingsRecord(Context, EditPortMode, &edit);
  Request->Information = PortModeBufferSize;
  return status;
}

NTSTATUS IoctlSetPortName(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  if (!CarriesUlong(Request)) return Refuse(Request, 0);
  ULONG n = BufferUlong(Request);
  ULONG comNumber = n == 255 ? 255 : n + 1;
  if (comNumber == StoredComNumber) {
    UCHAR stored = 0;
    if (!NT_SUCCESS(ReadPortSettingsByte(Context, RecordComNumber, &stored)) || stored == 255) {
      return Unchanged(Request);
    }
    comNumber = stored;
  }
  if (comNumber == 0) return Unchanged(Request);
  // Names longer than COM999 could not be read back as the old name of the
  // next rename, and their bits would leave the COM name database.
  if (comNumber > HighestComNumber) return Refuse(Request, 0);
  return RenamePort(Context, comNumber);
}

NTSTATUS IoctlGetPortIndex(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  if (!RoomForUlong(Request)) return Refuse(Request, 0);
  return ReturnUlong(Request, (Context->PortIndex + 1) * 256, STATUS_SUCCESS);
}

NTSTATUS IoctlGetMaxWriteLength(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  if (Buffer(Request) == nullptr || OutputLength(Request) != sizeof(ULONG)) return Refuse(Request, 0);
  return ReturnUlong(Request, Context->MaxWriteLength, STATUS_SUCCESS);
}

NTSTATUS IoctlSetMaxWriteLength(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  if (!CarriesUlong(Request)) return Refuse(Request, 0);
  ULONG length = BufferUlong(Request);
  Context->MaxWriteLength = length > MaxWriteLengthLimit ? MaxWriteLengthLimit : length;
  Context->LoopbackMode = 0;
  UpdatePortSettingsRecord(Context, EditMaxWriteLength, Context);
  Request->Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS IoctlGetRxFifoTrigger(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  if (!ExactBuffers(Request, sizeof(ULONG))) return Refuse(Request, sizeof(ULONG));
  return ReturnUlong(Request, RxFifoTriggerLevel(Context->RxFifoTrigger, Context->FifoTriggerLow),
                     STATUS_SUCCESS);
}

NTSTATUS IoctlSetRxFifoTrigger(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  if (!ExactBuffers(Request, sizeof(ULONG))) return Refuse(Request, sizeof(ULONG));
  ULONG level = BufferUlong(Request);
  ULONG factor;
  constexpr ULONG level14 = RxTriggerBaseLevels[RxTrigger14 >> RxTriggerShift];
  constexpr ULONG level8 = RxTriggerBaseLevels[RxTrigger8 >> RxTriggerShift];
  if (level % level14 == 0) {
    Context->RxFifoTrigger = RxTrigger14;
    factor = level / level14;
  } else if (level % level8 == 0) {
    Context->RxFifoTrigger = RxTrigger8;
    factor = level / level8;
  } else {
    Context->RxFifoTrigger = RxTrigger1;
    factor = level;
  }
  // A factor that is not a power of two up to 8 leaves FifoTriggerLow as it was.
  for (ULONG exponent = 0; exponent < TriggerFactorCount; ++exponent) {
    if (factor == 1u << exponent) Context->FifoTriggerLow = UCHAR(exponent << TriggerFactorShift);
  }
  UpdatePortSettingsRecord(Context, EditRxFifoTrigger, Context);
  Request->Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}
