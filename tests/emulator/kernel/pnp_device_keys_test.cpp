// Device registry keys and properties: what the Plug and Play manager keeps
// for a device node and what a driver reads through IoOpenDeviceRegistryKey
// and IoGetDeviceProperty.
#include <cstring>
#include <string>

#include "pnp_fixture.h"

namespace pnptest {
namespace {

constexpr char16_t kInstance0[] = u"TEST\\VID_1A2B&PID_7315\\SN0001&0";

std::vector<uint8_t> Bytes(const std::u16string& data) {
  auto bytes = reinterpret_cast<const uint8_t*>(data.data());
  return std::vector<uint8_t>(bytes, bytes + data.size() * sizeof(char16_t));
}

// A REG_SZ: the text and its terminator.
std::vector<uint8_t> Text(std::u16string_view text) { return Bytes(std::u16string(text) + u'\0'); }

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
      {"a function device object", FdoAbove(pdo).device, PLUGPLAY_REGKEY_DEVICE,
       STATUS_INVALID_DEVICE_REQUEST, ""},
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
      {DevicePropertyFriendlyName, STATUS_SUCCESS, Text(u"Test Serial Port (COM3)")},
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
