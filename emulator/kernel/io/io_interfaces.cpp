// Device interfaces. A registration belongs to a device instance and an
// interface class (and an optional reference string) and outlives the
// device object, as the registry keeps it; its symbolic link
// "\??\<instance path with # for \>#{class}" exists while the interface is
// enabled and points to the physical device object's name. Interfaces with
// reference strings share the link; the reference string comes back as the
// opened file's name.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "emulator/kernel/io/io_internal.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::io::internal {
namespace {

struct Registration {
  std::u16string instancePath;
  GUID classGuid;
  std::u16string reference;
  std::u16string linkObject;  // the symbolic link while enabled
  std::u16string name;        // what IoRegisterDeviceInterface returns
  PDEVICE_OBJECT pdo;         // null once the device object is gone
  bool enabled = false;
};

struct Interfaces {
  std::mutex lock;
  std::vector<Registration> all;
  std::unordered_map<PDEVICE_OBJECT, std::u16string> instancePaths;
};

Interfaces& I() {
  static auto* interfaces = new Interfaces;
  return *interfaces;
}

std::u16string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1,
                guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return std::u16string(text, text + 38);
}

std::u16string LinkObjectName(std::u16string instancePath, const GUID& guid) {
  for (char16_t& c : instancePath)
    if (c == u'\\') c = u'#';
  return u"\\??\\" + instancePath + u"#" + GuidText(guid);
}

// Lock held.
bool LinkInUse(const Interfaces& i, const std::u16string& linkObject) {
  for (const Registration& r : i.all)
    if (r.enabled && r.linkObject == linkObject) return true;
  return false;
}

// Lock held.
void DisableLocked(Interfaces& i, Registration& r) {
  r.enabled = false;
  if (!LinkInUse(i, r.linkObject)) RemoveLink(r.linkObject);
}

// Lock held.
NTSTATUS EnableLocked(Interfaces& i, Registration& r) {
  if (r.pdo == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  const bool linked = LinkInUse(i, r.linkObject);
  if (!linked) {
    const NTSTATUS status = InsertLink(r.linkObject, io::DeviceName(r.pdo));
    if (!NT_SUCCESS(status)) return status;
  }
  r.enabled = true;
  return STATUS_SUCCESS;
}

NTSTATUS CopyOut(const std::u16string& name, PUNICODE_STRING out) {
  const size_t bytes = name.size() * sizeof(WCHAR);
  auto* buffer =
      static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), pool::kStringTag));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, name.data(), bytes);
  buffer[name.size()] = 0;
  *out = UNICODE_STRING{USHORT(bytes), USHORT(bytes + sizeof(WCHAR)), buffer};
  return STATUS_SUCCESS;
}

}  // namespace

void ForgetDeviceInterfaces(PDEVICE_OBJECT device) {
  Interfaces& i = I();
  std::lock_guard guard(i.lock);
  for (Registration& r : i.all) {
    if (r.pdo != device) continue;
    if (r.enabled) DisableLocked(i, r);
    r.pdo = nullptr;
  }
  i.instancePaths.erase(device);
}

void BootInterfaces() {
  Interfaces& i = I();
  std::lock_guard guard(i.lock);
  i.all.clear();
  i.instancePaths.clear();
}

}  // namespace kernel::io::internal

namespace kernel::io {

using namespace internal;

void SetDeviceInstancePath(PDEVICE_OBJECT pdo, std::u16string_view instancePath) {
  Interfaces& i = I();
  std::lock_guard guard(i.lock);
  i.instancePaths[pdo] = std::u16string(instancePath);
}

std::u16string DeviceInstancePath(PDEVICE_OBJECT pdo) {
  Interfaces& i = I();
  std::lock_guard guard(i.lock);
  auto it = i.instancePaths.find(pdo);
  return it == i.instancePaths.end() ? std::u16string() : it->second;
}

std::vector<DeviceInterface> DeviceInterfaces(const GUID& classGuid) {
  Interfaces& i = I();
  std::lock_guard guard(i.lock);
  std::vector<DeviceInterface> found;
  for (const Registration& r : i.all)
    if (IsEqualGUID(r.classGuid, classGuid))
      found.push_back(DeviceInterface{r.name, r.classGuid, r.instancePath, r.enabled});
  return found;
}

}  // namespace kernel::io

using namespace kernel;
using namespace kernel::io::internal;

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  verifier::CheckIrql("IoRegisterDeviceInterface", PhysicalDeviceObject, PASSIVE_LEVEL);
  Interfaces& i = I();
  std::lock_guard guard(i.lock);
  auto path = i.instancePaths.find(PhysicalDeviceObject);
  if (path == i.instancePaths.end() || io::DeviceName(PhysicalDeviceObject).empty())
    return STATUS_INVALID_DEVICE_REQUEST;
  const std::u16string reference = ToU16(ReferenceString);
  for (Registration& r : i.all)
    if (r.instancePath == path->second && IsEqualGUID(r.classGuid, *InterfaceClassGuid) &&
        r.reference == reference) {
      r.pdo = PhysicalDeviceObject;
      return CopyOut(r.name, SymbolicLinkName);
    }
  Registration r{path->second, *InterfaceClassGuid, reference};
  r.linkObject = LinkObjectName(path->second, *InterfaceClassGuid);
  r.name = reference.empty() ? r.linkObject : r.linkObject + u"\\" + reference;
  r.pdo = PhysicalDeviceObject;
  const NTSTATUS status = CopyOut(r.name, SymbolicLinkName);
  if (NT_SUCCESS(status)) i.all.push_back(std::move(r));
  return status;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  verifier::CheckIrql("IoSetDeviceInterfaceState", SymbolicLinkName, PASSIVE_LEVEL);
  const std::u16string name = ToU16(SymbolicLinkName);
  Interfaces& i = I();
  std::lock_guard guard(i.lock);
  for (Registration& r : i.all) {
    if (FoldedName(r.name) != FoldedName(name)) continue;
    if (Enable) return r.enabled ? STATUS_OBJECT_NAME_EXISTS : EnableLocked(i, r);
    if (!r.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    DisableLocked(i, r);
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}
