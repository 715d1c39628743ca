#include "driver/driver_entry.h"

#include "driver/context/port_context.h"
#include "driver/datapath/read_write_dispatch.h"
#include "driver/device/create_device.h"
#include "driver/device/power.h"
#include "driver/device/pnp.h"
#include "driver/device/trace_provider.h"
#include "driver/device/wmi.h"
#include "driver/ioctl/control_dispatch.h"
#include "driver/ioctl/internal_control.h"
#include "driver/uart/open_close.h"

UNICODE_STRING DriverRegistryPath;

namespace {

VOID FillDispatchTable(PDRIVER_OBJECT driver) {
  driver->DriverUnload = DriverUnload;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
  driver->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_QUERY_INFORMATION] = DispatchDefault;
  driver->MajorFunction[IRP_MJ_SET_INFORMATION] = DispatchDefault;
  driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchDefault;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  // A freshly loaded image starts numbering at 0, also where the image stays
  // mapped between loads.
  NextDeviceNumber = 0;
  RegisterTraceProvider();
  // Not counted by AllocatePoolMemory: the copy belongs to the driver, not to a port.
  USHORT size = RegistryPath->Length + sizeof(WCHAR);
  PWCHAR buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, size, DriverPoolTag));
  if (buffer == nullptr) {
    // A failed load is never unloaded: nothing else would remove the registration.
    UnregisterTraceProvider();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(buffer, RegistryPath->Buffer, RegistryPath->Length);
  buffer[RegistryPath->Length / sizeof(WCHAR)] = 0;
  DriverRegistryPath.Buffer = buffer;
  DriverRegistryPath.Length = RegistryPath->Length;
  DriverRegistryPath.MaximumLength = size;
  FillDispatchTable(DriverObject);
  return STATUS_SUCCESS;
}

VOID DriverUnload(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  UnregisterTraceProvider();
  if (DriverRegistryPath.Buffer != nullptr) ExFreePoolWithTag(DriverRegistryPath.Buffer, DriverPoolTag);
  DriverRegistryPath = {};
}
