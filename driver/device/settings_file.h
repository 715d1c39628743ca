// The settings file shared by every port of every chip:
// "\SystemRoot\System32\Tarvio7315Setting.bin", 1536 bytes read and written
// whole at offset 0. Bytes 0x200 on hold 64 port records of 16 bytes, indexed
// by ChipMode * 16 + PortIndex; byte 0x1FF is the loopback switch. The driver
// never creates the file. Every open asks for exclusive access.
#pragma once

#include "platform/platform.h"
#include "driver/context/port_context.h"

#define SETTINGS_FILE_NAME WIDE("\\SystemRoot\\System32\\Tarvio7315Setting.bin")

constexpr ULONG SettingsFileSize = 0x600;
constexpr ULONG LoopbackSwitchOffset = 0x1FF;
constexpr ULONG PortRecordsOffset = 0x200;
constexpr ULONG PortRecordSize = 16;

// Byte positions inside a port record.
constexpr ULONG RecordComNumber = 0;  // 0 and 255: none stored
constexpr ULONG RecordPortModeFlags = 1;
constexpr ULONG RecordPortMode = 2;
constexpr ULONG RecordMaxWriteLength = 4;
constexpr ULONG RecordRxFifoTrigger = 5;
constexpr ULONG RecordFifoTriggerLow = 6;
constexpr ULONG RecordBaudClockMode = 7;
constexpr ULONG RecordBaudClockSelect = 8;
constexpr ULONG RecordBaudClockParam = 9;
constexpr ULONG RecordPortSetup = 10;
constexpr ULONG RecordPortSetupLevel = 11;

// Gives the settings their start defaults, probes the two-wire bus, then takes
// this port's record (and the loopback switch) from the file when it can be
// read. Bytes a short file does not have keep their defaults. No result: a
// missing or busy file, or a raised IRQL, leaves the defaults.
VOID LoadPortSettings(PPORT_DEVICE_CONTEXT Context);

// Offset in the file of the record of the port's current ChipMode and
// PortIndex; FALSE when that record would lie outside the file.
BOOLEAN PortRecordOffset(PPORT_DEVICE_CONTEXT Context, PULONG Offset);

// Changes this port's record: `Edit` gets the 16 record bytes to change in
// place. The file is opened (GENERIC_ALL, exclusive), read, edited and written
// back; a file too short to hold the record is left unchanged. Only at
// PASSIVE_LEVEL (elsewhere nothing happens). The status says whether the file
// was changed; callers of vendor requests ignore it.
typedef VOID PORT_RECORD_EDIT(PUCHAR Record, PVOID EditContext);
NTSTATUS UpdatePortSettingsRecord(PPORT_DEVICE_CONTEXT Context, PORT_RECORD_EDIT* Edit, PVOID EditContext);

// Reads byte `ByteIndex` (0-15) of this port's record (file opened for
// reading, exclusive). PASSIVE_LEVEL only (else STATUS_INVALID_DEVICE_STATE).
NTSTATUS ReadPortSettingsByte(PPORT_DEVICE_CONTEXT Context, ULONG ByteIndex, PUCHAR Value);
