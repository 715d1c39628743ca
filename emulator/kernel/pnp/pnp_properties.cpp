// IoGetDeviceProperty and IoIsWdmVersionAvailable. Text properties are read
// from the device's instance key at the time of the call, so a value changed
// in the registry shows at once, as in Windows.
#include <cstring>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/pnp/pnp_internal.h"
#include "emulator/kernel/registry.h"
#include "emulator/kernel/rtl/text.h"
#include "emulator/kernel/ke/verifier.h"
#include "emulator/kernel/ex/version.h"

namespace kernel::pnp {
namespace {

constexpr ULONG kNoAddress = 0xFFFFFFFF;
constexpr ULONG kInstallStateInstalled = 0, kInstallStateNeedsReinstall = 1;
constexpr ULONG kRemovalPolicyExpectNoRemoval = 1, kRemovalPolicyExpectSurpriseRemoval = 3;

struct Snapshot {
  PDEVICE_OBJECT pdo;
  std::u16string instancePath;
  DEVICE_CAPABILITIES capabilities;
};

using Bytes = std::vector<uint8_t>;

Bytes TextBytes(std::u16string_view text) {
  std::u16string terminated(text);
  terminated.push_back(u'\0');
  auto begin = reinterpret_cast<const uint8_t*>(terminated.data());
  return Bytes(begin, begin + terminated.size() * sizeof(char16_t));
}

Bytes UlongBytes(ULONG value) {
  auto begin = reinterpret_cast<const uint8_t*>(&value);
  return Bytes(begin, begin + sizeof value);
}

NTSTATUS InstanceValue(const Snapshot& device, const char* name, Bytes& data) {
  auto value = registry::GetValue(InstanceKeyPath(device.instancePath), name);
  if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
  data = value->data;
  return STATUS_SUCCESS;
}

NTSTATUS Numeric(ULONG value, Bytes& data) {
  if (value == kNoAddress) return STATUS_OBJECT_NAME_NOT_FOUND;
  data = UlongBytes(value);
  return STATUS_SUCCESS;
}

NTSTATUS Property(const Snapshot& device, DEVICE_REGISTRY_PROPERTY property, Bytes& data) {
  switch (property) {
    case DevicePropertyDeviceDescription:
      return InstanceValue(device, "DeviceDesc", data);
    case DevicePropertyHardwareID:
      return InstanceValue(device, "HardwareID", data);
    case DevicePropertyCompatibleIDs:
      return InstanceValue(device, "CompatibleIDs", data);
    case DevicePropertyClassName:
      return InstanceValue(device, "Class", data);
    case DevicePropertyClassGuid:
      return InstanceValue(device, "ClassGUID", data);
    case DevicePropertyDriverKeyName:
      return InstanceValue(device, "Driver", data);
    case DevicePropertyManufacturer:
      return InstanceValue(device, "Mfg", data);
    case DevicePropertyFriendlyName:
      return InstanceValue(device, "FriendlyName", data);
    case DevicePropertyLocationInformation:
      return InstanceValue(device, "LocationInformation", data);
    case DevicePropertyPhysicalDeviceObjectName: {
      std::u16string name = io::DeviceName(device.pdo);
      if (name.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
      data = TextBytes(name);
      return STATUS_SUCCESS;
    }
    case DevicePropertyEnumeratorName:
      data = TextBytes(std::u16string_view(device.instancePath).substr(0, device.instancePath.find(u'\\')));
      return STATUS_SUCCESS;
    case DevicePropertyAddress:
      return Numeric(device.capabilities.Address, data);
    case DevicePropertyUINumber:
      return Numeric(device.capabilities.UINumber, data);
    case DevicePropertyInstallState: {
      bool installed = registry::GetValue(InstanceKeyPath(device.instancePath), "Driver").has_value();
      data = UlongBytes(installed ? kInstallStateInstalled : kInstallStateNeedsReinstall);
      return STATUS_SUCCESS;
    }
    case DevicePropertyRemovalPolicy: {
      bool surprise = device.capabilities.SurpriseRemovalOK || device.capabilities.Removable;
      data = UlongBytes(surprise ? kRemovalPolicyExpectSurpriseRemoval : kRemovalPolicyExpectNoRemoval);
      return STATUS_SUCCESS;
    }
    case DevicePropertyBootConfiguration:
    case DevicePropertyBootConfigurationTranslated:
    case DevicePropertyBusTypeGuid:
    case DevicePropertyLegacyBusType:
    case DevicePropertyBusNumber:
    case DevicePropertyResourceRequirements:
    case DevicePropertyAllocatedResources:
    case DevicePropertyContainerID:
      return STATUS_OBJECT_NAME_NOT_FOUND;  // not kept for emulated devices
    default:
      return STATUS_INVALID_PARAMETER_2;
  }
}

// The WDM version each Windows release reports, as (major << 8) | minor.
unsigned SupportedWdmVersion() {
  version::WindowsVersion v = version::Current();
  if (v.major >= 6) return 0x0600;
  if (v.major == 5 && v.minor >= 2) return 0x0140;
  if (v.major == 5 && v.minor == 1) return 0x0130;
  return 0x0120;
}

}  // namespace
}  // namespace kernel::pnp

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
  using namespace kernel;
  verifier::CheckIrql("IoGetDeviceProperty", DeviceObject, PASSIVE_LEVEL);
  if (ResultLength == nullptr || (BufferLength != 0 && PropertyBuffer == nullptr))
    return STATUS_INVALID_PARAMETER;
  pnp::Snapshot device;
  {
    std::lock_guard guard(pnp::internal::TableLock());
    pnp::internal::Node* node = pnp::internal::FindByPdo(DeviceObject);
    if (node == nullptr) return STATUS_INVALID_DEVICE_REQUEST;  // only a PDO has properties
    device = {node->pdo, node->instancePath, node->capabilities};
  }
  pnp::Bytes data;
  NTSTATUS status = pnp::Property(device, DeviceProperty, data);
  if (!NT_SUCCESS(status)) return status;
  *ResultLength = ULONG(data.size());
  if (data.size() > BufferLength) return STATUS_BUFFER_TOO_SMALL;
  if (!data.empty()) std::memcpy(PropertyBuffer, data.data(), data.size());
  return STATUS_SUCCESS;
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  return (unsigned(MajorVersion) << 8 | MinorVersion) <= kernel::pnp::SupportedWdmVersion();
}
