// Registry keys of device nodes and services, and IoOpenDeviceRegistryKey.
#include <cstdio>

#include "emulator/kernel/pnp/pnp_internal.h"
#include "emulator/kernel/registry.h"
#include "emulator/kernel/rtl/text.h"
#include "emulator/kernel/ke/verifier.h"

namespace kernel::pnp {
namespace {

constexpr std::u16string_view kEnumRoot = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
constexpr std::u16string_view kClassRoot =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\";
constexpr std::u16string_view kServicesRoot = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\";
constexpr std::u16string_view kProfileRoot =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware "
    u"Profiles\\Current\\System\\CurrentControlSet\\";
constexpr ULONG kServiceKernelDriver = 1;

std::string Utf8(std::u16string_view text) { return text::ToUtf8(text); }

void SetText(const std::string& key, const char* name, std::u16string_view value, ULONG type = REG_SZ) {
  std::u16string data(value);
  data.push_back(u'\0');
  registry::SetValue(key, name, type, data.data(), data.size() * sizeof(char16_t));
}

void SetMultiText(const std::string& key, const char* name, const std::vector<std::u16string>& values) {
  std::u16string data;
  for (const std::u16string& value : values) data.append(value).push_back(u'\0');
  data.push_back(u'\0');
  registry::SetValue(key, name, REG_MULTI_SZ, data.data(), data.size() * sizeof(char16_t));
}

std::u16string DriverValue(std::u16string_view instancePath) {
  auto value = registry::GetString(InstanceKeyPath(instancePath), "Driver");
  return value ? text::FromUtf8(*value) : std::u16string();
}

// "<class GUID>\NNNN": the device's driver key, created on first use with
// the lowest free number of its class.
std::u16string AssignDriverKey(const std::u16string& instancePath, const DriverPackage& package) {
  std::u16string current = DriverValue(instancePath);
  if (!current.empty() && text::EqualNoCase(current.substr(0, package.classGuid.size()), package.classGuid))
    return current;
  for (unsigned number = 0; number < 10000; ++number) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "\\%04u", number);
    std::u16string candidate = package.classGuid + text::FromUtf8(digits);
    std::string path = Utf8(std::u16string(kClassRoot) + candidate);
    if (registry::KeyExists(path)) continue;
    registry::CreateKey(path);
    return candidate;
  }
  return std::u16string();
}

// The INF's description of the device when the package has one, else the
// bus driver's.
std::u16string Description(const internal::Node& node, const DriverPackage& package) {
  return package.description.empty() ? node.child.description : package.description;
}

// The ports class installer names a port's device after its COM name.
void NamePortDevice(const internal::Node& node, const DriverPackage& package) {
  std::string instanceKey = InstanceKeyPath(node.instancePath);
  if (!text::EqualNoCase(package.className, u"Ports") || registry::GetValue(instanceKey, "FriendlyName"))
    return;
  auto portName = registry::GetString(HardwareKeyPath(node.instancePath), "PortName");
  if (!portName) return;
  SetText(instanceKey, "FriendlyName", Description(node, package) + u" (" + text::FromUtf8(*portName) + u")");
}

void WriteHardwareKeyValues(const internal::Node& node, const DriverPackage& package) {
  const std::string key = HardwareKeyPath(node.instancePath);
  for (const DriverPackage::RegistryValue& value : package.hardwareKeyValues) {
    if (value.keepExisting && registry::GetValue(key, value.name)) continue;
    registry::SetValue(key, value.name, value.type, value.data.data(), value.data.size());
  }
}

NTSTATUS DeviceKeyPath(PDEVICE_OBJECT pdo, ULONG keyType, std::u16string& path) {
  std::u16string instancePath;
  {
    std::lock_guard guard(internal::TableLock());
    internal::Node* node = internal::FindByPdo(pdo);
    if (node == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    instancePath = node->instancePath;
  }
  bool profile = (keyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) != 0;
  switch (keyType & ~ULONG(PLUGPLAY_REGKEY_CURRENT_HWPROFILE)) {
    case PLUGPLAY_REGKEY_DEVICE:
      path = profile ? std::u16string(kProfileRoot) + u"Enum\\" + instancePath
                     : std::u16string(kEnumRoot) + instancePath + u"\\Device Parameters";
      return STATUS_SUCCESS;
    case PLUGPLAY_REGKEY_DRIVER: {
      std::u16string driver = DriverValue(instancePath);
      if (driver.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;  // no driver installed yet
      path = (profile ? std::u16string(kProfileRoot) + u"Control\\Class\\" : std::u16string(kClassRoot)) +
             driver;
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

}  // namespace

std::string InstanceKeyPath(std::u16string_view instancePath) {
  return Utf8(std::u16string(kEnumRoot) + std::u16string(instancePath));
}

std::string HardwareKeyPath(std::u16string_view instancePath) {
  return InstanceKeyPath(instancePath) + "\\Device Parameters";
}

std::string DriverKeyPath(std::u16string_view instancePath) {
  std::u16string driver = DriverValue(instancePath);
  return driver.empty() ? std::string() : Utf8(std::u16string(kClassRoot) + driver);
}

namespace internal {

std::u16string RegistryPath(const DriverPackage& package) {
  return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + package.service;
}

void WriteServiceKey(const DriverPackage& package) {
  std::string key = Utf8(std::u16string(kServicesRoot) + package.service);
  registry::SetDword(key, "Type", kServiceKernelDriver);
  registry::SetDword(key, "Start", package.startType);
  registry::SetDword(key, "ErrorControl", package.errorControl);
  const std::u16string imagePath = package.imagePath.empty()
                                       ? u"\\SystemRoot\\System32\\drivers\\" + package.service + u".sys"
                                       : package.imagePath;
  SetText(key, "ImagePath", imagePath, REG_EXPAND_SZ);
}

void WriteInstanceKey(const Node& node) {
  std::string key = InstanceKeyPath(node.instancePath);
  SetText(key, "DeviceDesc", node.child.description);
  SetMultiText(key, "HardwareID", node.child.hardwareIds);
  if (node.child.compatibleIds.empty())
    registry::DeleteValue(key, "CompatibleIDs");
  else
    SetMultiText(key, "CompatibleIDs", node.child.compatibleIds);
  if (node.child.locationInformation.empty())
    registry::DeleteValue(key, "LocationInformation");
  else
    SetText(key, "LocationInformation", node.child.locationInformation);
  registry::CreateKey(HardwareKeyPath(node.instancePath));
}

void RecordDriver(const Node& node, const Package& package) {
  const DriverPackage& driver = package.package;
  std::string key = InstanceKeyPath(node.instancePath);
  SetText(key, "Service", driver.service);
  SetText(key, "Class", driver.className);
  SetText(key, "ClassGUID", driver.classGuid);
  if (!driver.manufacturer.empty()) SetText(key, "Mfg", driver.manufacturer);
  std::u16string driverKey = AssignDriverKey(node.instancePath, driver);
  SetText(key, "Driver", driverKey);
  std::string driverPath = Utf8(std::u16string(kClassRoot) + driverKey);
  SetText(key, "DeviceDesc", Description(node, driver));
  SetText(driverPath, "DriverDesc", Description(node, driver));
  SetText(driverPath, "MatchingDeviceId", node.matchedId);
  WriteHardwareKeyValues(node, driver);
  NamePortDevice(node, driver);
}

void WriteServiceEnum(const Package& package, const std::vector<std::u16string>& instancePaths) {
  std::string key = Utf8(std::u16string(kServicesRoot) + package.package.service + u"\\Enum");
  for (const std::string& name : registry::ValueNames(key))
    if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos)
      registry::DeleteValue(key, name);
  for (size_t index = 0; index < instancePaths.size(); ++index)
    SetText(key, std::to_string(index).c_str(), instancePaths[index]);
  registry::SetDword(key, "Count", uint32_t(instancePaths.size()));
  registry::SetDword(key, "NextInstance", uint32_t(instancePaths.size()));
}

}  // namespace internal
}  // namespace kernel::pnp

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey) {
  using namespace kernel;
  verifier::CheckIrql("IoOpenDeviceRegistryKey", DeviceObject, PASSIVE_LEVEL);
  if (DevInstRegKey == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string path;
  NTSTATUS status = pnp::DeviceKeyPath(DeviceObject, DevInstKeyType, path);
  if (!NT_SUCCESS(status)) return status;
  // The keys of an installed device exist; Windows creates them on first open.
  registry::CreateKey(text::ToUtf8(path));
  UNICODE_STRING name{USHORT(path.size() * sizeof(WCHAR)), USHORT(path.size() * sizeof(WCHAR)), path.data()};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  return ZwOpenKey(DevInstRegKey, DesiredAccess, &attributes);
}
