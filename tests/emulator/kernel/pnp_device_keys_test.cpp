// Device registry keys and properties: what the Plug and Play manager keeps
// for a device node and what a driver reads through IoOpenDeviceRegistryKey
// and IoGetDeviceProperty.
#include <cstring>
#include <string>

#include "emulator/kernel/rtl/text.h"
#include "pnp_fixture.h"

namespace pnptest {
namespace {

constexpr char16_t kInstance0[] = u"TEST\\VID_1A2B&PID_7315\\SN0001&0";
constexpr char16_t kPortsClass[] = u"{4D36E978-E325-11CE-BFC1-08002BE10318}";

std::vector<uint8_t> Bytes(const std::u16string& data) {
  auto bytes = reinterpret_cast<const uint8_t*>(data.data());
  return std::vector<uint8_t>(bytes, bytes + data.size() * sizeof(char16_t));
}

// A REG_SZ: the text and its terminator.
std::vector<uint8_t> Text(std::u16string_view text) { return Bytes(std::u16string(text) + u'\0'); }

// A REG_MULTI_SZ: each text with its terminator, then one more.
std::vector<uint8_t> MultiText(std::initializer_list<std::u16string_view> texts) {
  std::u16string data;
  for (std::u16string_view text : texts) data.append(text).push_back(u'\0');
  return Bytes(data + u'\0');
}

std::vector<uint8_t> Ulong(ULONG value) {
  auto bytes = reinterpret_cast<const uint8_t*>(&value);
  return std::vector<uint8_t>(bytes, bytes + sizeof value);
}

class PnpDeviceKeysTest : public PnpTest {
 protected:
  void PresetPortName(int index, const char* portName) {
    std::u16string instance = u"TEST\\VID_1A2B&PID_7315\\SN0001&" + std::u16string(1, u'0' + index);
    ASSERT_TRUE(kernel::registry::SetString(kernel::pnp::HardwareKeyPath(instance), "PortName", portName));
  }
};

TEST_F(PnpDeviceKeysTest, ThePresetDeviceKeyIsWhatTheDriverOpens) {
  PresetPortName(0, "COM3");
  InstallFunctionDriver();
  PDEVICE_OBJECT pdo = Plug(0);
  EXPECT_EQ(FdoAbove(pdo).portName, Text(u"COM3"));

  // A driver's writes land in the same key, and stay after the device goes.
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_SET_VALUE, &key), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"DeviceWakeEnable");
  ULONG one = 1;
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &one, sizeof one), STATUS_SUCCESS);
  ZwClose(key);
  Unplug(pdo);
  EXPECT_EQ(kernel::registry::GetDword(kernel::pnp::HardwareKeyPath(kInstance0), "DeviceWakeEnable"), 1u);
}

TEST_F(PnpDeviceKeysTest, TheInstanceDriverAndServiceKeysDescribeTheInstalledDevice) {
  PresetPortName(0, "COM3");
  InstallFunctionDriver();
  PDEVICE_OBJECT first = Plug(0);
  PDEVICE_OBJECT second = Plug(1);
  const std::string instance = kernel::pnp::InstanceKeyPath(kInstance0);
  EXPECT_EQ(instance,
            "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\TEST\\VID_1A2B&PID_7315\\SN0001&0");
  // The values the properties answer from are checked with IoGetDeviceProperty below.
  EXPECT_EQ(kernel::registry::GetString(instance, "Service"), "TestPort");
  // The second port has no PortName, so no friendly name, and its own driver key.
  const std::string second_instance = kernel::pnp::InstanceKeyPath(kernel::pnp::InstancePath(second));
  EXPECT_FALSE(kernel::registry::GetValue(second_instance, "FriendlyName"));
  EXPECT_EQ(kernel::registry::GetString(second_instance, "Driver"),
            "{4D36E978-E325-11CE-BFC1-08002BE10318}\\0001");
  EXPECT_EQ(kernel::pnp::DriverKeyPath(kInstance0),
            "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E978-E325-11CE-BFC1-"
            "08002BE10318}\\0000");

  const std::string service = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\TestPort";
  EXPECT_EQ(kernel::registry::GetDword(service, "Start"), 3u);
  EXPECT_EQ(kernel::registry::GetDword(service + "\\Enum", "Count"), 2u);
  EXPECT_EQ(kernel::registry::GetString(service + "\\Enum", "0"), kernel::text::ToUtf8(kInstance0));
  EXPECT_EQ(kernel::registry::GetString(service + "\\Enum", "1"), "TEST\\VID_1A2B&PID_7315\\SN0001&1");

  // The service's list follows removals.
  Unplug(first);
  EXPECT_EQ(kernel::registry::GetDword(service + "\\Enum", "Count"), 1u);
  EXPECT_EQ(kernel::registry::GetString(service + "\\Enum", "0"), "TEST\\VID_1A2B&PID_7315\\SN0001&1");
  EXPECT_FALSE(kernel::registry::GetValue(service + "\\Enum", "1"));
}

TEST_F(PnpDeviceKeysTest, IoOpenDeviceRegistryKeyOpensTheKeyOfEachType) {
  InstallFunctionDriver();
  PDEVICE_OBJECT pdo = Plug(0);
  const std::string instance = kernel::pnp::InstanceKeyPath(kInstance0);
  const struct {
    const char* name;
    PDEVICE_OBJECT device;
    ULONG type;
    NTSTATUS status;
    std::string keyPath;  // where a value written through the handle lands
  } cases[] = {
      {"device key", pdo, PLUGPLAY_REGKEY_DEVICE, STATUS_SUCCESS, kernel::pnp::HardwareKeyPath(kInstance0)},
      {"driver key", pdo, PLUGPLAY_REGKEY_DRIVER, STATUS_SUCCESS, kernel::pnp::DriverKeyPath(kInstance0)},
      {"device key of the current profile", pdo, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
       STATUS_SUCCESS,
       "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware "
       "Profiles\\Current\\System\\CurrentControlSet\\Enum\\"
       "TEST\\VID_1A2B&PID_7315\\SN0001&0"},
      {"no key type", pdo, 0, STATUS_INVALID_PARAMETER, ""},
      {"both key types", pdo, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER, STATUS_INVALID_PARAMETER, ""},
      {"a function device object", FdoAbove(pdo).device, PLUGPLAY_REGKEY_DEVICE,
       STATUS_INVALID_DEVICE_REQUEST, ""},
      {"an unreported device", nullptr, PLUGPLAY_REGKEY_DEVICE, STATUS_INVALID_DEVICE_REQUEST, ""},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(test.device, test.type, KEY_ALL_ACCESS, &key), test.status);
    if (!NT_SUCCESS(test.status)) {
      EXPECT_EQ(key, nullptr);
      continue;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Probe");
    ULONG value = 7;
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(kernel::registry::GetDword(test.keyPath, "Probe"), 7u);
  }
  EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, nullptr),
            STATUS_INVALID_PARAMETER);
}

TEST_F(PnpDeviceKeysTest, IoGetDevicePropertyAnswersEachPropertyWithItsLength) {
  PresetPortName(0, "COM3");
  InstallFunctionDriver();
  PDEVICE_OBJECT pdo = Plug(0);
  const struct {
    DEVICE_REGISTRY_PROPERTY property;
    NTSTATUS status;
    std::vector<uint8_t> value;
  } cases[] = {
      {DevicePropertyDeviceDescription, STATUS_SUCCESS, Text(u"Test Serial Port")},
      {DevicePropertyHardwareID, STATUS_SUCCESS,
       MultiText({u"TEST\\VID_1A2B&PID_7315&REV_0001", u"TEST\\VID_1A2B&PID_7315"})},
      {DevicePropertyCompatibleIDs, STATUS_SUCCESS, MultiText({u"TEST\\Class_FF"})},
      {DevicePropertyClassName, STATUS_SUCCESS, Text(u"Ports")},
      {DevicePropertyClassGuid, STATUS_SUCCESS, Text(kPortsClass)},
      {DevicePropertyDriverKeyName, STATUS_SUCCESS, Text(std::u16string(kPortsClass) + u"\\0000")},
      {DevicePropertyManufacturer, STATUS_SUCCESS, Text(u"Test Maker")},
      {DevicePropertyFriendlyName, STATUS_SUCCESS, Text(u"Test Serial Port (COM3)")},
      {DevicePropertyLocationInformation, STATUS_SUCCESS, Text(u"Port_#0000")},
      {DevicePropertyPhysicalDeviceObjectName, STATUS_SUCCESS, Text(u"\\Device\\TestPdo0")},
      {DevicePropertyEnumeratorName, STATUS_SUCCESS, Text(u"TEST")},
      {DevicePropertyAddress, STATUS_SUCCESS, Ulong(0)},
      {DevicePropertyUINumber, STATUS_SUCCESS, Ulong(1)},
      {DevicePropertyInstallState, STATUS_SUCCESS, Ulong(0)},
      {DevicePropertyRemovalPolicy, STATUS_SUCCESS, Ulong(3)},
      {DevicePropertyBusTypeGuid, STATUS_OBJECT_NAME_NOT_FOUND, {}},
      {DEVICE_REGISTRY_PROPERTY(DevicePropertyContainerID + 1), STATUS_INVALID_PARAMETER_2, {}},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(int(test.property));
    uint8_t buffer[256];
    std::memset(buffer, 0xEE, sizeof buffer);
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, test.property, sizeof buffer, buffer, &length), test.status);
    if (!NT_SUCCESS(test.status)) continue;
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), test.value);
    // One byte short: nothing is written, the length needed comes back.
    std::memset(buffer, 0xEE, sizeof buffer);
    ULONG needed = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, test.property, length - 1, buffer, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, length);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_EQ(IoGetDeviceProperty(pdo, test.property, 0, nullptr, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, length);
  }
}

TEST_F(PnpDeviceKeysTest, IoGetDevicePropertyReadsTheRegistryAtTheTimeOfTheCall) {
  InstallFunctionDriver();
  PDEVICE_OBJECT pdo = Plug(0);
  WCHAR name[64];
  ULONG length = 0;
  EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyFriendlyName, sizeof name, name, &length),
            STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_TRUE(kernel::registry::SetString(kernel::pnp::InstanceKeyPath(kInstance0), "FriendlyName",
                                          "Renamed (COM9)"));
  EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyFriendlyName, sizeof name, name, &length), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"Renamed (COM9)");

  EXPECT_EQ(IoGetDeviceProperty(FdoAbove(pdo).device, DevicePropertyFriendlyName, sizeof name, name, &length),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyFriendlyName, sizeof name, name, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyFriendlyName, sizeof name, nullptr, &length),
            STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace pnptest
