// Driver objects: loading a driver image (its DriverEntry), the default
// dispatch routine, and unloading.
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

#include "emulator/kernel/io/io_internal.h"
#include "emulator/kernel/ke/verifier.h"

#ifndef STATUS_IMAGE_ALREADY_LOADED
#define STATUS_IMAGE_ALREADY_LOADED ((NTSTATUS)0xC000010EL)
#endif

namespace kernel::io::internal {
namespace {

// Storage behind the driver object's counted strings.
struct DriverRecord {
  std::u16string name;
  std::u16string registryPath;
  UNICODE_STRING registryPathString{};
};

struct Drivers {
  std::mutex lock;
  std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> loaded;
};

Drivers& Dr() {
  static auto* drivers = new Drivers;
  return *drivers;
}

UNICODE_STRING Counted(const std::u16string& text) {
  const auto bytes = USHORT(text.size() * sizeof(WCHAR));
  return UNICODE_STRING{bytes, bytes, const_cast<PWSTR>(text.c_str())};
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT NewDriverObject(const DriverRecord& record, PDRIVER_INITIALIZE entry) {
  void* block = std::calloc(1, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION));
  auto* driver = static_cast<PDRIVER_OBJECT>(block);
  auto* extension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = extension;
  driver->DriverName = Counted(record.name);
  driver->DriverInit = entry;
  for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;
  extension->DriverObject = driver;
  const size_t slash = record.registryPath.rfind(u'\\');
  const USHORT skip = USHORT(slash == std::u16string::npos ? 0 : (slash + 1) * sizeof(WCHAR));
  extension->ServiceKeyName = Counted(record.registryPath);
  extension->ServiceKeyName.Buffer += skip / sizeof(WCHAR);
  extension->ServiceKeyName.Length -= skip;
  extension->ServiceKeyName.MaximumLength -= skip;
  return driver;
}

void CheckNoDevices(PDRIVER_OBJECT driver, const char* routine) {
  if (driver->DeviceObject != nullptr)
    verifier::Fail("driver unloaded with device objects", routine, driver,
                   "device object %p (\"%s\") still exists", static_cast<void*>(driver->DeviceObject),
                   Narrow(io::DeviceName(driver->DeviceObject)).c_str());
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
  Drivers& d = Dr();
  std::unique_ptr<DriverRecord> record;
  {
    std::lock_guard guard(d.lock);
    auto it = d.loaded.find(driver);
    record = std::move(it->second);
    d.loaded.erase(it);
  }
  RemoveName(record->name);
  std::free(driver);
}

}  // namespace

void ShutdownDrivers(bool checkLeaks) {
  Drivers& d = Dr();
  std::lock_guard guard(d.lock);
  if (checkLeaks && !d.loaded.empty())
    verifier::Fail("driver object leak", "machine shutdown", d.loaded.begin()->first,
                   "%zu driver(s) never unloaded, first \"%s\"", d.loaded.size(),
                   Narrow(d.loaded.begin()->second->name).c_str());
  for (auto& [driver, record] : d.loaded) std::free(driver);
  d.loaded.clear();
}

}  // namespace kernel::io::internal

namespace kernel::io {

using namespace internal;

NTSTATUS LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE entry, std::u16string_view registryPath,
                    PDRIVER_OBJECT* driverObject) {
  verifier::CheckIrql("LoadDriver", nullptr, PASSIVE_LEVEL);
  *driverObject = nullptr;
  auto record = std::make_unique<DriverRecord>();
  record->name = u"\\Driver\\" + std::u16string(name);
  record->registryPath = std::u16string(registryPath);
  record->registryPathString = Counted(record->registryPath);
  NTSTATUS status = InsertObjectName(record->name);
  if (status == STATUS_OBJECT_NAME_COLLISION) return STATUS_IMAGE_ALREADY_LOADED;
  if (!NT_SUCCESS(status)) return status;
  PDRIVER_OBJECT driver = NewDriverObject(*record, entry);
  UNICODE_STRING* path = &record->registryPathString;
  {
    Drivers& d = Dr();
    std::lock_guard guard(d.lock);
    d.loaded[driver] = std::move(record);
  }
  status = entry(driver, path);
  if (!NT_SUCCESS(status)) {
    CheckNoDevices(driver, "DriverEntry");
    DeleteDriverObject(driver);
    return status;
  }
  // Devices made by DriverEntry are ready when it returns.
  for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice)
    device->Flags &= ~DO_DEVICE_INITIALIZING;
  *driverObject = driver;
  return status;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
  verifier::CheckIrql("UnloadDriver", driver, PASSIVE_LEVEL);
  CheckNoDevices(driver, "UnloadDriver");
  if (driver->DriverUnload != nullptr) driver->DriverUnload(driver);
  CheckNoDevices(driver, "DriverUnload");
  DeleteDriverObject(driver);
}

}  // namespace kernel::io
