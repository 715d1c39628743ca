// Device objects: creation with a name in the name space, deletion, device
// stacks (attach, detach, top and lower device) and their references. A
// deleted device object stays in memory while references to it remain (open
// files, IoGetAttachedDeviceReference), as in the kernel.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "emulator/kernel/io/io_internal.h"
#include "emulator/kernel/ex/object_manager.h"
#include "emulator/kernel/ke/scheduler.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::io::internal {
namespace {

constexpr ULONG kRemovalFlags =
    kDoeUnloadPending | kDoeDeletePending | kDoeRemovePending | kDoeRemoveProcessed;
constexpr CSHORT kIoTypeDeviceObjectExtension = 13;

struct DeviceRecord {
  std::u16string name;
  bool deleted = false;
  // Deleted with a device still attached on top: the object stays until
  // that device detaches from it.
  bool heldByAttachment = false;
};

// Guards device records, stacks (AttachedDevice / AttachedTo), driver device
// lists and extension flags, like the kernel's I/O database lock.
struct Devices {
  std::mutex lock;
  std::unordered_map<PDEVICE_OBJECT, DeviceRecord> records;
  ULONG nextAutomaticName = 0;
};

Devices& D() {
  static auto* devices = new Devices;
  return *devices;
}

size_t RoundUp(size_t bytes) { return (bytes + 15) & ~size_t(15); }

void FreeDeviceMemory(void* object) {
  auto* device = static_cast<PDEVICE_OBJECT>(object);
  const size_t extensionSize = device->Size - sizeof(DEVICE_OBJECT);
  sched::CheckNoActiveObjects(device->DeviceExtension, extensionSize, "IoDeleteDevice");
  ForgetRemoveLocks(device->DeviceExtension, extensionSize);
  {
    Devices& d = D();
    std::lock_guard guard(d.lock);
    d.records.erase(device);
  }
  std::free(device);
}

const ob::ObjectType kDeviceType{"device object", FreeDeviceMemory};

// The device object, its extension and the device-object extension in one
// zeroed block.
PDEVICE_OBJECT NewDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize, DEVICE_TYPE type,
                               ULONG characteristics, BOOLEAN exclusive, bool named) {
  const size_t extensionOffset = RoundUp(sizeof(DEVICE_OBJECT));
  const size_t devobjOffset = extensionOffset + RoundUp(extensionSize);
  void* block = std::calloc(1, devobjOffset + sizeof(DEVOBJ_EXTENSION));
  if (block == nullptr) return nullptr;
  auto* device = static_cast<PDEVICE_OBJECT>(block);
  auto* devobj = reinterpret_cast<PDEVOBJ_EXTENSION>(static_cast<char*>(block) + devobjOffset);
  device->Type = IO_TYPE_DEVICE;
  device->Size = USHORT(sizeof(DEVICE_OBJECT) + extensionSize);
  device->ReferenceCount = 0;
  device->DriverObject = driver;
  device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0) | (named ? DO_DEVICE_HAS_NAME : 0);
  device->Characteristics = characteristics;
  device->DeviceExtension = extensionSize ? static_cast<char*>(block) + extensionOffset : nullptr;
  device->DeviceType = type;
  device->StackSize = 1;
  InitializeListHead(&device->Queue.ListEntry);
  device->DeviceObjectExtension = devobj;
  devobj->Type = kIoTypeDeviceObjectExtension;
  devobj->Size = sizeof(DEVOBJ_EXTENSION);
  devobj->DeviceObject = device;
  return device;
}

std::u16string AutomaticName(Devices& d) {
  char text[32];
  std::snprintf(text, sizeof text, "\\Device\\%08x", d.nextAutomaticName++);
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

// Lock held.
void UnlinkFromDriver(PDEVICE_OBJECT device) {
  for (PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject; *link != nullptr;
       link = &(*link)->NextDevice) {
    if (*link == device) {
      *link = device->NextDevice;
      device->NextDevice = nullptr;
      return;
    }
  }
}

// Lock held.
PDEVICE_OBJECT TopOfStackLocked(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

void CheckDeletable(Devices& d, PDEVICE_OBJECT device) {
  auto it = d.records.find(device);
  if (it == d.records.end() || it->second.deleted)
    verifier::Fail("device object deleted twice", "IoDeleteDevice", device,
                   it == d.records.end() ? "not a device object" : "IoDeleteDevice already ran");
  if (device->DeviceObjectExtension->AttachedTo != nullptr)
    verifier::Fail("device object deleted while attached", "IoDeleteDevice", device,
                   "it is still attached to device %p: call IoDetachDevice first",
                   static_cast<void*>(device->DeviceObjectExtension->AttachedTo));
  // A device with another still attached on top may go: a bus driver deletes
  // the PDO of a missing child while the function driver, which passed the
  // removal down first, has yet to detach (see heldByAttachment).
}

}  // namespace

bool IsDevice(PDEVICE_OBJECT device) {
  Devices& d = D();
  std::lock_guard guard(d.lock);
  return d.records.count(device) != 0;
}

ULONG ExtensionFlags(PDEVICE_OBJECT device) {
  Devices& d = D();
  std::lock_guard guard(d.lock);
  return device->DeviceObjectExtension->ExtensionFlags;
}

void BootDevices() {
  Devices& d = D();
  std::lock_guard guard(d.lock);
  d.nextAutomaticName = 0;
}

void ShutdownDevices(bool checkLeaks) {
  Devices& d = D();
  std::lock_guard guard(d.lock);
  for (auto& [device, record] : d.records)
    if (checkLeaks && !record.deleted)
      verifier::Fail("device object leak", "machine shutdown", device,
                     "%zu device object(s) never deleted; this one is \"%s\" of driver \"%s\"",
                     d.records.size(), Narrow(record.name).c_str(),
                     Narrow(ToU16(&device->DriverObject->DriverName)).c_str());
  for (auto& [device, record] : d.records) std::free(device);
  d.records.clear();
}

}  // namespace kernel::io::internal

namespace kernel::io {

using namespace internal;

std::u16string DeviceName(PDEVICE_OBJECT device) {
  Devices& d = D();
  std::lock_guard guard(d.lock);
  auto it = d.records.find(device);
  return it == d.records.end() ? std::u16string() : it->second.name;
}

void SetExtensionFlags(PDEVICE_OBJECT device, ULONG set, ULONG clear) {
  Devices& d = D();
  std::lock_guard guard(d.lock);
  ULONG& flags = device->DeviceObjectExtension->ExtensionFlags;
  flags = (flags & ~clear) | set;
}

}  // namespace kernel::io

using namespace kernel;
using namespace kernel::io;
using namespace kernel::io::internal;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  verifier::CheckIrql("IoCreateDevice", DriverObject, PASSIVE_LEVEL);
  *DeviceObject = nullptr;
  Devices& d = D();
  std::u16string name = ToU16(DeviceName);
  if (name.empty() && (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
    std::lock_guard guard(d.lock);
    name = AutomaticName(d);
  }
  PDEVICE_OBJECT device = NewDeviceObject(DriverObject, DeviceExtensionSize, DeviceType,
                                          DeviceCharacteristics, Exclusive, !name.empty());
  if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (!name.empty()) {
    const NTSTATUS status = InsertDeviceName(name, device);
    if (!NT_SUCCESS(status)) {
      std::free(device);
      return status;
    }
  }
  ob::Insert(device, &kDeviceType, 1);
  std::lock_guard guard(d.lock);
  d.records[device] = DeviceRecord{name};
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  verifier::CheckIrql("IoDeleteDevice", DeviceObject, PASSIVE_LEVEL);
  Devices& d = D();
  std::u16string name;
  {
    std::lock_guard guard(d.lock);
    CheckDeletable(d, DeviceObject);
    DeviceRecord& record = d.records[DeviceObject];
    record.deleted = true;
    if (DeviceObject->AttachedDevice != nullptr) {
      record.heldByAttachment = true;
      ob::Reference(DeviceObject, "IoDeleteDevice");
    }
    name = record.name;
    DeviceObject->DeviceObjectExtension->ExtensionFlags |= kDoeDeletePending;
    UnlinkFromDriver(DeviceObject);
  }
  if (!name.empty()) RemoveName(name);
  ForgetDeviceInterfaces(DeviceObject);
  ob::Dereference(DeviceObject, "IoDeleteDevice");
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  verifier::CheckIrql("IoAttachDeviceToDeviceStack", SourceDevice, DISPATCH_LEVEL);
  Devices& d = D();
  std::lock_guard guard(d.lock);
  PDEVICE_OBJECT top = TopOfStackLocked(TargetDevice);
  if (top->DeviceObjectExtension->ExtensionFlags & kRemovalFlags) return nullptr;
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = CCHAR(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  SourceDevice->SectorSize = top->SectorSize;
  SourceDevice->DeviceObjectExtension->AttachedTo = top;
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  verifier::CheckIrql("IoDetachDevice", TargetDevice, DISPATCH_LEVEL);
  Devices& d = D();
  bool release = false;
  {
    std::lock_guard guard(d.lock);
    PDEVICE_OBJECT attached = TargetDevice->AttachedDevice;
    if (attached == nullptr)
      verifier::Fail("detach of a device with nothing attached", "IoDetachDevice", TargetDevice,
                     "pass the lower device that IoAttachDeviceToDeviceStack returned");
    attached->DeviceObjectExtension->AttachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
    DeviceRecord& record = d.records[TargetDevice];
    std::swap(release, record.heldByAttachment);
  }
  if (release) ob::Dereference(TargetDevice, "IoDetachDevice");
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  Devices& d = D();
  std::lock_guard guard(d.lock);
  return TopOfStackLocked(DeviceObject);
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT top;
  {
    Devices& d = D();
    std::lock_guard guard(d.lock);
    top = TopOfStackLocked(DeviceObject);
    ob::Reference(top, "IoGetAttachedDeviceReference");
  }
  return top;
}

PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject) {
  Devices& d = D();
  std::lock_guard guard(d.lock);
  if (DeviceObject->DeviceObjectExtension->ExtensionFlags & kRemovalFlags) return nullptr;
  PDEVICE_OBJECT lower = DeviceObject->DeviceObjectExtension->AttachedTo;
  if (lower != nullptr) ob::Reference(lower, "IoGetLowerDeviceObject");
  return lower;
}
