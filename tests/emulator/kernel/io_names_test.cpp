// Device names, symbolic links and device interfaces.
#include "io_fixture.h"

namespace iotest {
namespace {

using IoNames = IoTest;

constexpr GUID kPortClass = {0x6E178C86, 0xCD22, 0x4E30, {0x84, 0xBC, 0xFD, 0xF9, 0x82, 0x61, 0x20, 0xA4}};
constexpr GUID kOtherClass = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// A name is taken until its device is deleted.
TEST_F(IoNames, ASecondDeviceWithTheSameNameCollides) {
  PDEVICE_OBJECT first = AddBottom(u"\\Device\\Serial7");
  struct Case {
    std::u16string name;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {u"\\Device\\Serial7", STATUS_OBJECT_NAME_COLLISION},
      {u"\\device\\SERIAL7", STATUS_OBJECT_NAME_COLLISION},
      {u"\\Device\\Serial8", STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.name));
    UNICODE_STRING name = Text(c.name);
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device), c.expected);
    EXPECT_EQ(device != nullptr, NT_SUCCESS(c.expected));
    if (device != nullptr) {
      EXPECT_EQ(kernel::io::DeviceName(device), c.name);
      EXPECT_TRUE(device->Flags & DO_DEVICE_HAS_NAME);
      IoDeleteDevice(device);
    }
  }
  RemoveDevice(first);
  EXPECT_EQ(kernel::io::FindDevice(u"\\Device\\Serial7"), nullptr);
  EXPECT_EQ(kernel::io::FindDevice(u"\\Device\\Serial7"), AddBottom(u"\\Device\\Serial7"));
}

TEST_F(IoNames, SymbolicLinksResolveThroughEveryAlias) {
  PDEVICE_OBJECT port = AddBottom(u"\\Device\\Serial0");
  std::u16string linkText = u"\\DosDevices\\COM3", targetText = u"\\Device\\Serial0";
  UNICODE_STRING link = Text(linkText), target = Text(targetText);
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
  for (const char16_t* name :
       {u"\\??\\COM3", u"\\DosDevices\\COM3", u"\\GLOBAL??\\com3", u"\\Device\\Serial0"}) {
    SCOPED_TRACE(Narrow(name));
    EXPECT_EQ(kernel::io::FindDevice(name), port);
  }
  EXPECT_EQ(kernel::io::FindDevice(u"\\??\\COM4"), nullptr);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(kernel::io::FindDevice(u"\\??\\COM3"), nullptr);
}

TEST_F(IoNames, InterfacesAreRegisteredPerDeviceAndClassAndLinkedWhileEnabled) {
  PDEVICE_OBJECT pdo = AddBottom(u"\\Device\\USBPDO-3");
  UNICODE_STRING name{};
  EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kPortClass, nullptr, &name), STATUS_INVALID_DEVICE_REQUEST);
  kernel::io::SetDeviceInstancePath(pdo, u"USB\\VID_1234&PID_7315\\5&2a&0&1");
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kPortClass, nullptr, &name), STATUS_SUCCESS);
  const std::u16string link = FromCounted(name);
  EXPECT_EQ(link, u"\\??\\USB#VID_1234&PID_7315#5&2a&0&1#{6e178c86-cd22-4e30-84bc-fdf9826120a4}");
  UNICODE_STRING again{};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kPortClass, nullptr, &again), STATUS_SUCCESS);
  EXPECT_EQ(FromCounted(again), link);
  RtlFreeUnicodeString(&again);
  UNICODE_STRING other{};
  ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kOtherClass, nullptr, &other), STATUS_SUCCESS);
  EXPECT_NE(FromCounted(other), link);

  EXPECT_EQ(kernel::io::FindDevice(link), nullptr);
  struct Step {
    BOOLEAN enable;
    NTSTATUS expected;
    bool linked;
  };
  for (const Step& step :
       {Step{TRUE, STATUS_SUCCESS, true}, Step{TRUE, STATUS_OBJECT_NAME_EXISTS, true},
        Step{FALSE, STATUS_SUCCESS, false}, Step{FALSE, STATUS_OBJECT_NAME_NOT_FOUND, false},
        Step{TRUE, STATUS_SUCCESS, true}}) {
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, step.enable), step.expected);
    EXPECT_EQ(kernel::io::FindDevice(link), step.linked ? pdo : nullptr);
  }

  // Deleting the device object disables its interfaces; the registration stays.
  RemoveDevice(pdo);
  EXPECT_EQ(kernel::io::SymbolicLinkTarget(link), u"");
  EXPECT_FALSE(kernel::io::DeviceInterfaces(kPortClass).at(0).enabled);
  EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_INVALID_DEVICE_REQUEST);
  RtlFreeUnicodeString(&name);
  RtlFreeUnicodeString(&other);
}

}  // namespace
}  // namespace iotest
