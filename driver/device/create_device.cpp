#include "driver/device/create_device.h"

#include "driver/context/io_count.h"
#include "driver/context/pool.h"
#include "driver/context/port_context.h"
#include "driver/context/port_defaults.h"
#include "driver/context/request_completion.h"
#include "driver/datapath/read.h"
#include "driver/datapath/write.h"
#include "driver/device/naming.h"
#include "driver/device/registry_values.h"

// {6E178C86-CD22-4E30-84BC-FDF9826120A4}
const GUID PortInterfaceGuid = {0x6E178C86, 0xCD22, 0x4E30, {0x84, 0xBC, 0xFD, 0xF9, 0x82, 0x61, 0x20, 0xA4}};

ULONG NextDeviceNumber = 0;

namespace {

constexpr ULONG DeviceNameCapacity = 128;  // wide characters
constexpr ULONG RegistryFlagSize = 4;      // a 16-byte partial-information buffer holds 4 data bytes
#define SERIAL_SERVICE_KEY WIDE("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Serial\\")

// "\Device\Tarvio7315Serial<number>" into `name`, whose buffer holds
// DeviceNameCapacity characters.
VOID FormatDeviceName(PUNICODE_STRING name, ULONG number) {
  WCHAR digits[12];
  UNICODE_STRING text = {0, sizeof digits, digits};
  name->Length = 0;
  RtlAppendUnicodeToString(name, WIDE("\\Device\\Tarvio7315Serial"));
  RtlIntegerToUnicodeString(number, 10, &text);
  RtlAppendUnicodeStringToString(name, &text);
}

// A zero-filled non-paged copy of `name` with room for a terminator.
NTSTATUS CopyDeviceName(PUNICODE_STRING copy, PCUNICODE_STRING name) {
  USHORT size = name->Length + sizeof(WCHAR);
  PWCHAR buffer = static_cast<PWCHAR>(AllocatePoolMemory(SelectNonPagedPoolType(), size));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(buffer, size);
  RtlCopyMemory(buffer, name->Buffer, name->Length);
  copy->Buffer = buffer;
  copy->Length = name->Length;
  copy->MaximumLength = size;
  return STATUS_SUCCESS;
}

// The worker threads' events exist from creation on, so that a signal sent
// before the first start (or after a failed one) meets an initialised event.
VOID InitializeWorkerEvents(PPORT_DEVICE_CONTEXT context) {
  PKEVENT killEvents[] = {&context->ReadKillEvent, &context->WriteKillEvent, &context->IntKillEvent,
                          &context->MsrKillEvent};
  PKEVENT pollEvents[] = {&context->ReadPollEvent, &context->WritePollEvent, &context->IntPollEvent,
                          &context->MsrPollEvent, &context->LsrPollEvent};
  for (PKEVENT event : killEvents) KeInitializeEvent(event, NotificationEvent, FALSE);
  for (PKEVENT event : pollEvents) KeInitializeEvent(event, SynchronizationEvent, FALSE);
}

// What CreateDeviceObject allocated, given back before the object goes.
VOID FreeCreatedBuffers(PPORT_DEVICE_CONTEXT context) {
  FreeQueueBuffer(&context->ReceiveBuffer);
  FreeDriverString(&context->DeviceName);
}

// The first data byte of a small value of the device key, 0 when it cannot be read.
UCHAR ReadFlagByte(HANDLE key, PCWSTR name, ULONG nameSize) {
  UCHAR data[RegistryFlagSize] = {};
  return NT_SUCCESS(ReadKeyValue(key, name, nameSize, data, sizeof data)) ? data[0] : 0;
}

NTSTATUS ReadRegistryFlags(PPORT_DEVICE_CONTEXT context) {
  HANDLE key;
  NTSTATUS status = IoOpenDeviceRegistryKey(context->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_QUERY_VALUE, &key);
  if (!NT_SUCCESS(status)) return status;
  context->DeviceWakeEnable = ReadFlagByte(key, WIDE("DeviceWakeEnable"), sizeof(WIDE("DeviceWakeEnable")));
  context->DeviceEnable = ReadFlagByte(key, WIDE("DeviceEnable"), sizeof(WIDE("DeviceEnable")));
  ZwClose(key);
  return STATUS_SUCCESS;
}

// Only whether the value is there counts; its data are not used.
ULONG ReadWhqlTest() {
  UCHAR data[RegistryFlagSize];
  ULONG length = 0;
  NTSTATUS status = ReadAbsoluteValue(WIDE("WHQLTest"), &length, data, sizeof data, SERIAL_SERVICE_KEY);
  return NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW ? 1 : 0;
}

VOID InitializeStackFields(PPORT_DEVICE_CONTEXT context, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = context->DeviceObject;
  device->Flags |= DO_POWER_PAGABLE;
  context->MsrPollReady = 1;
  context->Pdo = pdo;
  IoInitializeRemoveLock(&context->RemoveLock, 0, 0, 0);
  context->DeviceState = PnpStateNotStarted;
  device->Flags |= DO_BUFFERED_IO;
  KeInitializeMutex(&context->RegisterMutex, 0);
  KeInitializeTimer(&context->ReadTimer);
  KeInitializeDpc(&context->ReadTimeoutDpc, ReadTimeoutRoutine, context);
  KeInitializeTimer(&context->WriteTimer);
  KeInitializeDpc(&context->WriteTimeoutDpc, WriteTimeoutRoutine, context);
}

// Undoes a partly built AddDevice; the context is gone afterwards.
NTSTATUS FailAddDevice(PPORT_DEVICE_CONTEXT context, NTSTATUS status) {
  PDEVICE_OBJECT device = context->DeviceObject;
  if (context->InterfaceName.Buffer != nullptr) RtlFreeUnicodeString(&context->InterfaceName);
  UnnamePort(context);
  if (context->LowerDeviceObject != nullptr) IoDetachDevice(context->LowerDeviceObject);
  FreeCreatedBuffers(context);
  IoDeleteDevice(device);
  return status;
}

}  // namespace

NTSTATUS CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject) {
  WCHAR nameBuffer[DeviceNameCapacity];
  UNICODE_STRING name = {0, sizeof nameBuffer, nameBuffer};
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status;
  for (ULONG attempt = 1;; ++attempt) {
    FormatDeviceName(&name, NextDeviceNumber);
    NextDeviceNumber++;
    status = IoCreateDevice(DriverObject, sizeof(PORT_DEVICE_CONTEXT), &name, FILE_DEVICE_SERIAL_PORT,
                            FILE_DEVICE_SECURE_OPEN, TRUE, &device);
    bool taken = status == STATUS_OBJECT_NAME_EXISTS || status == STATUS_OBJECT_NAME_COLLISION;
    if (!taken || attempt >= MaxDeviceNameAttempts) break;
  }
  if (!NT_SUCCESS(status)) return status;

  PPORT_DEVICE_CONTEXT context = GetPortContext(device);
  NTSTATUS built = CopyDeviceName(&context->DeviceName, &name);
  if (NT_SUCCESS(built)) built = InitializePortDefaults(device);
  if (!NT_SUCCESS(built)) {
    // A port without its name copy or its receive ring cannot work.
    FreeCreatedBuffers(context);
    IoDeleteDevice(device);
    return built;
  }
  KeInitializeSpinLock(&context->CurrentReadLock);
  InitializeWorkerEvents(context);
  *DeviceObject = device;
  return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = CreateDeviceObject(DriverObject, &device);
  if (!NT_SUCCESS(status)) return status;
  PPORT_DEVICE_CONTEXT context = GetPortContext(device);
  InitializeStackFields(context, PhysicalDeviceObject);

  context->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  if (context->LowerDeviceObject == nullptr) return FailAddDevice(context, STATUS_DEVICE_REMOVED);
  NamePort(context);
  status = ReadRegistryFlags(context);
  if (!NT_SUCCESS(status)) return FailAddDevice(context, status);
  status =
      IoRegisterDeviceInterface(PhysicalDeviceObject, &PortInterfaceGuid, nullptr, &context->InterfaceName);
  if (!NT_SUCCESS(status)) return FailAddDevice(context, status);

  context->Started = 0;
  context->SysPowerState = PowerSystemWorking;
  context->DevPowerState = PowerDeviceD0;
  context->RestorePending = 0;
  context->RearmViaThread = 0;
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  PoSetPowerState(device, DevicePowerState, d0);
  KeInitializeSpinLock(&context->IntUrbLock);

  device->Flags &= ~DO_DEVICE_INITIALIZING;
  IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);
  IoIncrement(device);
  context->WhqlTest = ReadWhqlTest();
  return status;
}

NTSTATUS DispatchDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteIrpWithInfo(Irp, STATUS_SUCCESS, 0);
}
