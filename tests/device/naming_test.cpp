// Naming the port from its device key and taking the names away again.
#include <functional>
#include <string>

#include "bare_port_fixture.h"
#include "device/naming.h"

namespace device_test {
namespace {

constexpr char kSerialComm[] = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr char kDeviceNameUtf8[] = "\\Device\\Tarvio7315Serial0";

class NamingTest : public BarePortTest {
 protected:
  std::u16string LinkTarget(const std::string& port) const {
    return host::io::SymbolicLinkTarget(u"\\DosDevices\\" + std::u16string(port.begin(), port.end()));
  }
  std::optional<std::string> SerialComm() const { return host::registry::GetString(kSerialComm, kDeviceNameUtf8); }
  int EnabledComInterfaces() const {
    int enabled = 0;
    for (const auto& i : host::io::DeviceInterfaces(ComPortInterfaceGuid)) enabled += i.enabled ? 1 : 0;
    return enabled;
  }
  void ExpectNamed(const std::string& port) {
    EXPECT_EQ(LinkTarget(port), kDeviceName);
    EXPECT_EQ(SerialComm(), port);
    EXPECT_EQ(EnabledComInterfaces(), 1);
    ASSERT_NE(ctx_->PortNameString.Buffer, nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(ctx_->PortNameString.Buffer)),
              std::u16string(port.begin(), port.end()));
    EXPECT_EQ(ctx_->PortNameString.MaximumLength, 66);
  }
  void ExpectUnnamed(const std::string& port) {
    EXPECT_EQ(LinkTarget(port), u"");
    EXPECT_FALSE(SerialComm().has_value());
    EXPECT_EQ(EnabledComInterfaces(), 0);
    EXPECT_EQ(ctx_->PortNameString.Buffer, nullptr);
  }
};

TEST_F(NamingTest, NamesThePortFromTheDeviceKey) {
  struct Case {
    const char* what;
    std::function<void(const std::string& key)> values;
    NTSTATUS status;
    std::string port;  // empty: nothing named
  };
  const uint32_t dword = 7;
  const Case cases[] = {
      {"PortName", [](auto& k) { host::registry::SetString(k, "PortName", "COM7"); }, STATUS_SUCCESS, "COM7"},
      {"PortName before Identifier",
       [](auto& k) {
         host::registry::SetString(k, "Identifier", "COM2");
         host::registry::SetString(k, "PortName", "COM7");
       },
       STATUS_SUCCESS, "COM7"},
      {"Identifier alone", [](auto& k) { host::registry::SetString(k, "Identifier", "COM2"); }, STATUS_SUCCESS,
       "COM2"},
      {"PortName not a string",
       [&](auto& k) {
         host::registry::SetValue(k, "PortName", REG_DWORD, &dword, sizeof dword);
         host::registry::SetString(k, "Identifier", "COM5");
       },
       STATUS_SUCCESS, "COM5"},
      {"empty PortName",
       [](auto& k) {
         host::registry::SetString(k, "PortName", "");
         host::registry::SetString(k, "Identifier", "COM4");
       },
       STATUS_SUCCESS, "COM4"},
      {"no name at all", [](auto&) {}, STATUS_OBJECT_NAME_NOT_FOUND, ""},
      {"PortName longer than the registry buffer",
       [](auto& k) {
         host::registry::SetString(k, "PortName", std::string(200, 'C'));
         host::registry::SetString(k, "Identifier", "COM3");
       },
       STATUS_SUCCESS, "COM3"},
      {"PortName longer than the port-name buffer",
       [](auto& k) { host::registry::SetString(k, "PortName", "COM" + std::string(40, '9')); },
       STATUS_OBJECT_NAME_INVALID, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* v : {"PortName", "Identifier"}) host::registry::DeleteValue(HardwareKey(), v);
    c.values(HardwareKey());
    EXPECT_EQ(NamePort(ctx_), c.status);
    if (c.port.empty()) {
      EXPECT_TRUE(host::io::SymbolicLinks().empty());
      EXPECT_TRUE(host::registry::ValueNames(kSerialComm).empty());
      EXPECT_EQ(EnabledComInterfaces(), 0);
      EXPECT_EQ(ctx_->SymbolicLinkName.Buffer, nullptr);
      EXPECT_EQ(ctx_->PortNameString.Buffer, nullptr);
      EXPECT_EQ(ctx_->CreatedSymbolicLink, 0);
      continue;
    }
    ExpectNamed(c.port);
    UnnamePort(ctx_);
    ExpectUnnamed(c.port);
    EXPECT_EQ(ctx_->DeviceName.Buffer, nullptr);
    GiveDeviceName();
  }
}

// Someone else owns \DosDevices\COM7: naming fails and leaves that link alone.
TEST_F(NamingTest, ATakenLinkUndoesNothingItDidNotCreate) {
  UNICODE_STRING link, target;
  RtlInitUnicodeString(&link, reinterpret_cast<PCWSTR>(u"\\DosDevices\\COM7"));
  RtlInitUnicodeString(&target, reinterpret_cast<PCWSTR>(u"\\Device\\Elsewhere"));
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  host::registry::SetString(HardwareKey(), "PortName", "COM7");
  EXPECT_EQ(NamePort(ctx_), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(LinkTarget("COM7"), u"\\Device\\Elsewhere");
  EXPECT_FALSE(SerialComm().has_value());
  EXPECT_EQ(EnabledComInterfaces(), 0);
  UnnamePort(ctx_);
  EXPECT_EQ(LinkTarget("COM7"), u"\\Device\\Elsewhere");
  IoDeleteSymbolicLink(&link);
}

TEST_F(NamingTest, SkipExternalNamingCreatesAndRemovesNothing) {
  host::registry::SetDword(HardwareKey(), "SerialSkipExternalNaming", 1);
  host::registry::SetString(HardwareKey(), "PortName", "COM7");
  EXPECT_EQ(NamePort(ctx_), STATUS_SUCCESS);
  EXPECT_EQ(ctx_->SkipExternalNaming, 1u);
  ExpectUnnamed("COM7");
  // A link by that name that is not the port's survives the teardown.
  UNICODE_STRING link, target;
  RtlInitUnicodeString(&link, reinterpret_cast<PCWSTR>(u"\\DosDevices\\COM7"));
  RtlInitUnicodeString(&target, reinterpret_cast<PCWSTR>(kDeviceName));
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  UnnamePort(ctx_);
  EXPECT_EQ(LinkTarget("COM7"), kDeviceName);
  IoDeleteSymbolicLink(&link);
}

// The link to remove is the one created, even when "PortName" changed since
// (a renaming request); surprise removal then removal unname twice.
TEST_F(NamingTest, UnnameRemovesTheCreatedLinkOnceWhateverThePortNameSaysNow) {
  host::registry::SetString(HardwareKey(), "PortName", "COM7");
  ASSERT_EQ(NamePort(ctx_), STATUS_SUCCESS);
  host::registry::SetString(HardwareKey(), "PortName", "COM9");
  UnnamePort(ctx_);
  ExpectUnnamed("COM7");
  EXPECT_TRUE(host::io::SymbolicLinks().empty());
  UnnamePort(ctx_);
  EXPECT_TRUE(host::io::SymbolicLinks().empty());
  EXPECT_EQ(ctx_->DeviceName.Buffer, nullptr);
}

}  // namespace
}  // namespace device_test
