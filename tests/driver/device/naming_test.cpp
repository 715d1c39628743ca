// Naming the port from its device key at add-device, and taking the names
// away again at surprise removal and removal.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "driver/device/create_device.h"
#include "driver/device/naming.h"
#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/registry.h"
#include "port_device_fixture.h"

namespace device_test {
namespace {

constexpr char kSerialComm[] = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

class NamingTest : public PortDeviceTest {
 protected:
  // The port plugged with only the name values `values` writes in its key.
  void PlugNamed(const std::function<void(const std::string& key)>& values) {
    PlugPort([&values](const std::string& key) {
      for (const char* v : {"PortName", "Identifier"}) kernel::registry::DeleteValue(key, v);
      values(key);
    });
    deviceName_ = kernel::io::DeviceName(fdo_);
  }
  std::u16string LinkTarget(const std::string& port) const {
    return kernel::io::SymbolicLinkTarget(u"\\DosDevices\\" + std::u16string(port.begin(), port.end()));
  }
  std::optional<std::string> SerialComm() const {
    return kernel::registry::GetString(kSerialComm, std::string(deviceName_.begin(), deviceName_.end()));
  }
  int EnabledComInterfaces() const {
    int enabled = 0;
    for (const auto& i : kernel::io::DeviceInterfaces(ComPortInterfaceGuid)) enabled += i.enabled ? 1 : 0;
    return enabled;
  }
  void ExpectNamed(const std::string& port) {
    EXPECT_EQ(LinkTarget(port), deviceName_);
    EXPECT_EQ(SerialComm(), port);
    EXPECT_EQ(EnabledComInterfaces(), 1);
    ASSERT_NE(ctx_->PortNameString.Buffer, nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(ctx_->PortNameString.Buffer)),
              std::u16string(port.begin(), port.end()));
    EXPECT_EQ(ctx_->PortNameString.MaximumLength, 66);
  }
  // `ctx` is left out once the device is gone: the rig's leak count then
  // shows that the name buffers were released.
  void ExpectUnnamed(const std::string& port, PPORT_DEVICE_CONTEXT ctx) {
    EXPECT_EQ(LinkTarget(port), u"");
    EXPECT_FALSE(SerialComm().has_value());
    EXPECT_EQ(EnabledComInterfaces(), 0);
    if (ctx != nullptr) {
      EXPECT_EQ(ctx->PortNameString.Buffer, nullptr);
    }
  }
  // Symbolic links but those of the port's own device interface.
  static std::vector<std::u16string> NameLinks() {
    std::vector<std::u16string> links = kernel::io::SymbolicLinks();
    for (const auto& i : kernel::io::DeviceInterfaces(PortInterfaceGuid)) std::erase(links, i.symbolicLink);
    return links;
  }
  NTSTATUS Remove() { return kernel::pnp::QueryRemoveAndRemove(Pdo(0)); }

  std::u16string deviceName_;
};

struct NameCase {
  const char* what;
  std::optional<std::string> portName, identifier;  // the values in the device key
  NTSTATUS status;
  std::string port;  // empty: nothing named
  ULONG portNameType = REG_SZ;
  size_t portNameCut = 0;  // bytes of PortName's terminator left out
};
const NameCase kNameCases[] = {
    {"PortName", "COM7", {}, STATUS_SUCCESS, "COM7"},
    {"PortName before Identifier", "COM7", "COM2", STATUS_SUCCESS, "COM7"},
    {"Identifier alone", {}, "COM2", STATUS_SUCCESS, "COM2"},
    {"PortName not a string", "COM7", "COM5", STATUS_SUCCESS, "COM5", REG_DWORD},
    {"empty PortName", "", "COM4", STATUS_SUCCESS, "COM4"},
    {"PortName of an odd length, half a terminator", "COM6", {}, STATUS_SUCCESS, "COM6", REG_SZ, 1},
    {"no name at all", {}, {}, STATUS_OBJECT_NAME_NOT_FOUND, ""},
    {"PortName longer than the registry buffer", std::string(200, 'C'), "COM3", STATUS_SUCCESS, "COM3"},
    {"PortName longer than the port-name buffer",
     "COM" + std::string(40, '9'),
     {},
     STATUS_OBJECT_NAME_INVALID,
     ""},
};
class NameCases : public NamingTest, public testing::WithParamInterface<NameCase> {};

TEST_P(NameCases, NameThePortFromTheDeviceKey) {
  const NameCase& c = GetParam();
  SCOPED_TRACE(c.what);
  PlugNamed([&c](const std::string& key) {
    if (c.identifier) kernel::registry::SetString(key, "Identifier", *c.identifier);
    if (!c.portName) return;
    std::u16string name(c.portName->begin(), c.portName->end());
    kernel::registry::SetValue(key, "PortName", c.portNameType, name.c_str(),
                               (name.size() + 1) * 2 - c.portNameCut);
  });
  if (c.port.empty()) {
    // The add goes on without names; naming again finds the same fault.
    EXPECT_EQ(NamePort(ctx_), c.status);
    EXPECT_TRUE(NameLinks().empty());
    EXPECT_TRUE(kernel::registry::ValueNames(kSerialComm).empty());
    EXPECT_EQ(EnabledComInterfaces(), 0);
    EXPECT_EQ(ctx_->SymbolicLinkName.Buffer, nullptr);
    EXPECT_EQ(ctx_->PortNameString.Buffer, nullptr);
    EXPECT_EQ(ctx_->CreatedSymbolicLink, 0);
  } else {
    ExpectNamed(c.port);
    ASSERT_EQ(Remove(), STATUS_SUCCESS);
    ExpectUnnamed(c.port, nullptr);
  }
}
INSTANTIATE_TEST_SUITE_P(Naming, NameCases, testing::ValuesIn(kNameCases));

// Someone else owns \DosDevices\COM7: naming fails and leaves that link alone.
TEST_F(NamingTest, ATakenLinkUndoesNothingItDidNotCreate) {
  UNICODE_STRING link, target;
  RtlInitUnicodeString(&link, reinterpret_cast<PCWSTR>(u"\\DosDevices\\COM7"));
  RtlInitUnicodeString(&target, reinterpret_cast<PCWSTR>(u"\\Device\\Elsewhere"));
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  PlugNamed([](auto& k) { kernel::registry::SetString(k, "PortName", "COM7"); });
  EXPECT_EQ(NamePort(ctx_), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(LinkTarget("COM7"), u"\\Device\\Elsewhere");
  EXPECT_FALSE(SerialComm().has_value());
  EXPECT_EQ(EnabledComInterfaces(), 0);
  ASSERT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_EQ(LinkTarget("COM7"), u"\\Device\\Elsewhere");
  IoDeleteSymbolicLink(&link);
}

TEST_F(NamingTest, SkipExternalNamingCreatesAndRemovesNothing) {
  PlugNamed([](auto& k) {
    kernel::registry::SetDword(k, "SerialSkipExternalNaming", 1);
    kernel::registry::SetString(k, "PortName", "COM7");
  });
  EXPECT_EQ(NamePort(ctx_), STATUS_SUCCESS);
  EXPECT_EQ(ctx_->SkipExternalNaming, 1u);
  ExpectUnnamed("COM7", ctx_);
  // A link by that name that is not the port's survives the removal.
  UNICODE_STRING link, target;
  RtlInitUnicodeString(&link, reinterpret_cast<PCWSTR>(u"\\DosDevices\\COM7"));
  RtlInitUnicodeString(&target, reinterpret_cast<PCWSTR>(deviceName_.c_str()));
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  ASSERT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_EQ(LinkTarget("COM7"), deviceName_);
  IoDeleteSymbolicLink(&link);
}

// The link to remove is the one created, even when "PortName" changed since
// (a renaming request); surprise removal then removal unname twice.
TEST_F(NamingTest, UnnameRemovesTheCreatedLinkOnceWhateverThePortNameSaysNow) {
  PlugNamed([](auto& k) { kernel::registry::SetString(k, "PortName", "COM7"); });
  kernel::registry::SetString(HardwareKey(), "PortName", "COM9");
  // An open handle keeps the device after the surprise removal.
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(kernel::io::OpenFile(u"\\??\\COM7", GENERIC_READ | GENERIC_WRITE, 0, &file), STATUS_SUCCESS);
  ASSERT_EQ(kernel::pnp::SurpriseRemove(Pdo(0)), STATUS_SUCCESS);
  ExpectUnnamed("COM7", ctx_);
  EXPECT_TRUE(NameLinks().empty());
  EXPECT_EQ(ctx_->DeviceName.Buffer, nullptr);
  kernel::io::CloseFile(file);
  kernel::pnp::WaitForPendingActions();
  EXPECT_EQ(Fdo(0), nullptr);
  EXPECT_TRUE(NameLinks().empty());
}

}  // namespace
}  // namespace device_test
