#include "driver/device/settings_file.h"

#include "driver/uart/mode_pins.h"

namespace {

// Two-wire addresses of the memory the chip may carry, by port group.
constexpr UCHAR LowPortsAddress = 0x58;     // ports 0-3
constexpr UCHAR MiddlePortsAddress = 0x56;  // ports 4-7
constexpr UCHAR HighPortsAddress = 0x54;    // ports 8 and up

VOID SetSettingsDefaults(PPORT_DEVICE_CONTEXT Context) {
  Context->MaxWriteLength = DefaultMaxWriteLength;
  Context->FifoTriggerLow = DefaultFifoTriggerLow;
  Context->RxFifoTrigger = DefaultRxFifoTrigger;
  Context->BaudClockMode = 0xFF;
  Context->BaudClockSelect = 0x01;
  Context->BaudClockParam = 0x01;
  Context->PortSetupHigh = 0x07;
  Context->PortSetupLevel = DefaultPortSetupLevel;
  Context->PortSetupBit0 = 0;
}

// Addresses the two-wire memory of the port's group. Nothing depends on the
// answer; no stop condition follows.
VOID ProbeTwoWireBus(PPORT_DEVICE_CONTEXT Context) {
  LONG index = LONG(Context->PortIndex);
  UCHAR address = index < 4 ? LowPortsAddress : index < 8 ? MiddlePortsAddress : HighPortsAddress;
  I2cStart(Context);
  I2cWriteByte(Context, address);
}

NTSTATUS OpenSettingsFile(ACCESS_MASK Access, PHANDLE File) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, SETTINGS_FILE_NAME);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK io;
  return ZwCreateFile(File, Access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN,
                      FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

// Reads the file from offset 0 into `Buffer` (SettingsFileSize bytes, zeroed
// first); `*Read` is how many bytes the file had.
NTSTATUS ReadSettingsFile(HANDLE File, PUCHAR Buffer, PULONG Read) {
  RtlZeroMemory(Buffer, SettingsFileSize);
  IO_STATUS_BLOCK io;
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  NTSTATUS status =
      ZwReadFile(File, nullptr, nullptr, nullptr, &io, Buffer, SettingsFileSize, &offset, nullptr);
  *Read = NT_SUCCESS(status) && io.Information <= SettingsFileSize ? ULONG(io.Information) : 0;
  return status;
}

// Opens and reads the file; on success the caller closes `*File`.
NTSTATUS OpenAndReadSettingsFile(ACCESS_MASK Access, PHANDLE File, PUCHAR Buffer, PULONG Read) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  NTSTATUS status = OpenSettingsFile(Access, File);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = ReadSettingsFile(*File, Buffer, Read);
  if (!NT_SUCCESS(status)) {
    ZwClose(*File);
  }
  return status;
}

// Opens and reads the file and finds this port's record in it. Unless the
// file holds the record's first `Needed` bytes: STATUS_END_OF_FILE, file closed.
NTSTATUS ReadPortRecord(PPORT_DEVICE_CONTEXT Context, ACCESS_MASK Access, PHANDLE File, PUCHAR Buffer,
                        PULONG Read, ULONG Needed, PULONG Offset) {
  NTSTATUS status = OpenAndReadSettingsFile(Access, File, Buffer, Read);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (!PortRecordOffset(Context, Offset) || *Offset + Needed > *Read) {
    ZwClose(*File);
    return STATUS_END_OF_FILE;
  }
  return STATUS_SUCCESS;
}

// The bytes of the record that a short file lacks keep their defaults.
class RecordReader {
 public:
  RecordReader(const UCHAR* File, ULONG Read, ULONG Offset, BOOLEAN Valid)
      : file_(File), read_(Read), offset_(Offset), valid_(Valid) {}
  BOOLEAN Take(ULONG Index, PUCHAR Value) const {
    if (!valid_ || offset_ + Index >= read_) {
      return FALSE;
    }
    *Value = file_[offset_ + Index];
    return TRUE;
  }

 private:
  const UCHAR* file_;
  ULONG read_;
  ULONG offset_;
  BOOLEAN valid_;
};

// The record's fields, each checked as it is taken; in the order the file
// has always been applied in.
VOID ApplySettings(PPORT_DEVICE_CONTEXT Context, const UCHAR* File, ULONG Read) {
  ULONG offset = 0;
  BOOLEAN valid = PortRecordOffset(Context, &offset);
  RecordReader record(File, Read, offset, valid);
  UCHAR value;
  if (record.Take(RecordMaxWriteLength, &value)) {
    Context->MaxWriteLength = value > MaxWriteLengthLimit ? MaxWriteLengthLimit : value;
  }
  if (record.Take(RecordRxFifoTrigger, &value)) {
    Context->RxFifoTrigger = (value & ~RxTriggerMask) == 0 ? value : DefaultRxFifoTrigger;
  }
  if (record.Take(RecordFifoTriggerLow, &value)) {
    Context->FifoTriggerLow = (value & ~TriggerFactorMask) == 0 ? value : DefaultFifoTriggerLow;
  }
  if (LoopbackSwitchOffset < Read && File[LoopbackSwitchOffset] == 1) {
    Context->LoopbackMode = 1;
  }
  record.Take(RecordPortMode, &Context->PortMode);
  record.Take(RecordPortModeFlags, &Context->PortModeFlags);
  record.Take(RecordBaudClockMode, &Context->BaudClockMode);
  record.Take(RecordBaudClockSelect, &Context->BaudClockSelect);
  record.Take(RecordBaudClockParam, &Context->BaudClockParam);
  if (record.Take(RecordPortSetup, &value) && (value & 0x70) == 0) {
    Context->PortSetupHigh = value & 0x0F;
    Context->PortSetupBit0 = (value >> 7) & 1;
  }
  if (record.Take(RecordPortSetupLevel, &value)) {
    Context->PortSetupLevel = (value == 4 || value == 8 || value == 12 || value == DefaultPortSetupLevel)
                                  ? value
                                  : DefaultPortSetupLevel;
  }
}

}  // namespace

BOOLEAN PortRecordOffset(PPORT_DEVICE_CONTEXT Context, PULONG Offset) {
  LONGLONG index = LONGLONG(Context->ChipMode) * 16 + LONG(Context->PortIndex);
  LONGLONG offset = LONGLONG(PortRecordsOffset) + index * PortRecordSize;
  if (offset < 0 || offset + PortRecordSize > SettingsFileSize) {
    return FALSE;
  }
  *Offset = ULONG(offset);
  return TRUE;
}

VOID LoadPortSettings(PPORT_DEVICE_CONTEXT Context) {
  SetSettingsDefaults(Context);
  ProbeTwoWireBus(Context);
  Context->LoopbackMode = 0;
  UCHAR file[SettingsFileSize];
  ULONG read = 0;
  HANDLE handle;
  if (!NT_SUCCESS(OpenAndReadSettingsFile(GENERIC_ALL, &handle, file, &read))) {
    return;
  }
  ApplySettings(Context, file, read);
  ZwClose(handle);
}

NTSTATUS UpdatePortSettingsRecord(PPORT_DEVICE_CONTEXT Context, PORT_RECORD_EDIT* Edit, PVOID EditContext) {
  UCHAR file[SettingsFileSize];
  ULONG read = 0, offset = 0;
  HANDLE handle;
  // Writing a record the file does not hold whole would invent the bytes before it.
  NTSTATUS status = ReadPortRecord(Context, GENERIC_ALL, &handle, file, &read, PortRecordSize, &offset);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  Edit(file + offset, EditContext);
  IO_STATUS_BLOCK io;
  LARGE_INTEGER start;
  start.QuadPart = 0;
  status = ZwWriteFile(handle, nullptr, nullptr, nullptr, &io, file, read, &start, nullptr);
  ZwClose(handle);
  return status;
}

NTSTATUS ReadPortSettingsByte(PPORT_DEVICE_CONTEXT Context, ULONG ByteIndex, PUCHAR Value) {
  if (ByteIndex >= PortRecordSize || Value == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  UCHAR file[SettingsFileSize];
  ULONG read = 0, offset = 0;
  HANDLE handle;
  NTSTATUS status = ReadPortRecord(Context, GENERIC_READ, &handle, file, &read, ByteIndex + 1, &offset);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  ZwClose(handle);
  *Value = file[offset + ByteIndex];
  return STATUS_SUCCESS;
}
