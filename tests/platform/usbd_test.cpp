// The usbd descriptor routines the driver calls, on well-formed and malformed
// configuration descriptors, and the select-configuration URB they build.

#include <stddef.h>
#include <string.h>

#include <initializer_list>
#include <memory>
#include <vector>

#include "emulator/kernel/pool.h"
#include "platform/host/ex.h"
#include "platform/host/usb.h"
#include "support/machine_test.h"

namespace {

constexpr ULONG kUsbdTag = kernel::pool::Tag("USBD");

// A descriptor set held in a heap block of exactly its size, so that any read
// past its end is caught by the address sanitizer.
class Descriptors {
 public:
  explicit Descriptors(std::vector<UCHAR> bytes) : size_(bytes.size()), bytes_(new UCHAR[size_]) {
    memcpy(bytes_.get(), bytes.data(), size_);
  }
  PUSB_CONFIGURATION_DESCRIPTOR Config() const {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes_.get());
  }
  PUCHAR At(size_t offset) const { return bytes_.get() + offset; }
  ULONG Size() const { return static_cast<ULONG>(size_); }

 private:
  size_t size_;
  std::unique_ptr<UCHAR[]> bytes_;
};

// Builds a configuration descriptor; wTotalLength and bNumInterfaces are
// counted unless given.
class ConfigBuilder {
 public:
  ConfigBuilder& Interface(UCHAR number, UCHAR alternate, UCHAR endpoints, UCHAR cls = 0xFF,
                           UCHAR subclass = 0x00, UCHAR protocol = 0x00) {
    if (alternate == 0) ++interfaces_;
    return Raw({9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls, subclass, protocol, 0});
  }
  ConfigBuilder& Endpoint(UCHAR address, UCHAR attributes, USHORT maxPacket) {
    return Raw(
        {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes, UCHAR(maxPacket), UCHAR(maxPacket >> 8), 0});
  }
  ConfigBuilder& Raw(std::initializer_list<UCHAR> bytes) {
    body_.insert(body_.end(), bytes);
    return *this;
  }
  ConfigBuilder& TotalLength(USHORT length) {
    totalLength_ = length;
    return *this;
  }
  ConfigBuilder& NumInterfaces(UCHAR count) {
    numInterfaces_ = count;
    return *this;
  }
  Descriptors Build() const {
    size_t total = 9 + body_.size();
    USHORT length = totalLength_ ? totalLength_ : USHORT(total);
    std::vector<UCHAR> bytes = {9,
                                USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                UCHAR(length),
                                UCHAR(length >> 8),
                                numInterfaces_ ? numInterfaces_ : interfaces_,
                                1,
                                0,
                                0xA0,
                                50};
    bytes.insert(bytes.end(), body_.begin(), body_.end());
    return Descriptors(bytes);
  }

 private:
  std::vector<UCHAR> body_;
  UCHAR interfaces_ = 0;
  USHORT totalLength_ = 0;
  UCHAR numInterfaces_ = 0;
};

// The port's configuration: one interface, interrupt-in, bulk-in, bulk-out.
Descriptors PortConfiguration() {
  return ConfigBuilder()
      .Interface(0, 0, 3)
      .Endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16)
      .Endpoint(0x82, USB_ENDPOINT_TYPE_BULK, 64)
      .Endpoint(0x02, USB_ENDPOINT_TYPE_BULK, 64)
      .Build();
}

// Interface 0 in two alternate settings, then interface 1.
Descriptors AlternateConfiguration() {
  return ConfigBuilder()
      .Interface(0, 0, 1, 0x02, 0x02, 0x01)  // offset 9
      .Endpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT, 8)
      .Interface(0, 1, 3, 0xFF, 0x00, 0x00)  // offset 25
      .Endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16)
      .Endpoint(0x82, USB_ENDPOINT_TYPE_BULK, 64)
      .Endpoint(0x02, USB_ENDPOINT_TYPE_BULK, 64)
      .Interface(1, 0, 2, 0x0A, 0x00, 0x00)  // offset 55, ends at 78
      .Endpoint(0x84, USB_ENDPOINT_TYPE_BULK, 64)
      .Endpoint(0x04, USB_ENDPOINT_TYPE_BULK, 64)
      .Build();
}

PUSB_INTERFACE_DESCRIPTOR FindAny(const Descriptors& d) {
  return USBD_ParseConfigurationDescriptorEx(d.Config(), d.Config(), -1, -1, -1, -1, -1);
}

PUSBD_PIPE_INFORMATION Pipe(PUSBD_INTERFACE_INFORMATION info, ULONG index) {
  return reinterpret_cast<PUSBD_PIPE_INFORMATION>(reinterpret_cast<PUCHAR>(info) +
                                                  offsetof(USBD_INTERFACE_INFORMATION, Pipes)) +
         index;
}

// The interface record a select-configuration URB carries.
void ExpectInterface(PUSBD_INTERFACE_INFORMATION info, UCHAR number, UCHAR alternate, ULONG pipes) {
  EXPECT_EQ(info->InterfaceNumber, number);
  EXPECT_EQ(info->AlternateSetting, alternate);
  EXPECT_EQ(info->NumberOfPipes, pipes);
  EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(pipes));
}

class UsbdTest : public MachineTest {};

TEST_F(UsbdTest, ParseConfigurationDescriptorExMatchesTheCriteria) {
  Descriptors d = AlternateConfiguration();
  struct Case {
    const char* name;
    size_t start;
    LONG number, alternate, cls, subclass, protocol;
    long expected;  // offset of the interface found, -1 for none
  } cases[] = {
      {"anything", 0, -1, -1, -1, -1, -1, 9},
      {"interface 0 setting 1", 0, 0, 1, -1, -1, -1, 25},
      {"class 2 protocol 0", 0, -1, -1, 0x02, -1, 0x00, -1},
      {"interface 2", 0, 2, -1, -1, -1, -1, -1},
      {"setting 0 after the first", 18, -1, 0, -1, -1, -1, 55},
      {"start at the end", 78, -1, -1, -1, -1, -1, -1},
  };
  ASSERT_EQ(d.Size(), 78u);
  for (const Case& c : cases) {
    PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
        d.Config(), d.At(c.start), c.number, c.alternate, c.cls, c.subclass, c.protocol);
    if (c.expected < 0)
      EXPECT_EQ(found, nullptr) << c.name;
    else
      EXPECT_EQ(reinterpret_cast<PUCHAR>(found), d.At(c.expected)) << c.name;
  }
}

TEST_F(UsbdTest, MalformedDescriptorsStopTheWalk) {
  struct Case {
    const char* name;
    Descriptors descriptors;
    bool interfaceFound;
  } cases[] = {
      {"class-specific descriptor before the interface is skipped",
       ConfigBuilder().Raw({5, 0x24, 0x00, 0x10, 0x01}).Interface(0, 0, 0).Build(), true},
      {"interface ending exactly at wTotalLength", ConfigBuilder().Interface(0, 0, 0).Build(), true},
      {"zero-length descriptor before the interface",
       ConfigBuilder().Raw({0, 0x24}).Interface(0, 0, 0).Build(), false},
      {"one-byte descriptor before the interface", ConfigBuilder().Raw({1, 0x24}).Interface(0, 0, 0).Build(),
       false},
      {"descriptor running past wTotalLength",
       ConfigBuilder().Raw({200, 0x24, 0, 0}).Interface(0, 0, 0).Build(), false},
      {"interface cut by wTotalLength", ConfigBuilder().Interface(0, 0, 0).TotalLength(17).Build(), false},
      {"interface descriptor too short for its fields",
       ConfigBuilder().Raw({5, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 0}).Build(), false},
      {"wTotalLength shorter than the configuration descriptor",
       ConfigBuilder().Interface(0, 0, 0).TotalLength(4).Build(), false},
      {"no interface at all", ConfigBuilder().Build(), false},
  };
  for (const Case& c : cases) {
    PUSB_INTERFACE_DESCRIPTOR found = FindAny(c.descriptors);
    EXPECT_EQ(found != nullptr, c.interfaceFound) << c.name;

    USHORT size = 0xBEEF;
    PURB urb = USBD_CreateConfigurationRequest(c.descriptors.Config(), &size);
    EXPECT_EQ(urb != nullptr, c.interfaceFound) << c.name;
    EXPECT_EQ(size, urb ? urb->UrbHeader.Length : 0) << c.name;
    if (urb) ExFreePool(urb);
  }
  EXPECT_EQ(kernel::pool::LiveCount(kUsbdTag), 0u);
}

TEST_F(UsbdTest, SelectConfigurationUrbForThePortInterface) {
  Descriptors d = PortConfiguration();
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(d.Config(), &size);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(kernel::pool::LiveCount(kUsbdTag), 1u);
  EXPECT_EQ(kernel::pool::LiveBytes(kUsbdTag), 136u);

  EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3));
  EXPECT_EQ(urb->UrbHeader.Length, 136);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, d.Config());
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);

  PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
  ExpectInterface(info, 0, 0, 3);
  EXPECT_EQ(info->InterfaceHandle, nullptr);
  for (ULONG i = 0; i < 3; ++i) {
    EXPECT_EQ(Pipe(info, i)->MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE) << i;
    EXPECT_EQ(Pipe(info, i)->PipeHandle, nullptr) << i;
    EXPECT_EQ(Pipe(info, i)->PipeFlags, 0u) << i;
  }
  ExFreePool(urb);
  EXPECT_EQ(kernel::pool::LiveCount(kUsbdTag), 0u);
}

TEST_F(UsbdTest, SelectConfigurationTakesSettingZeroOfEachInterface) {
  Descriptors d = AlternateConfiguration();
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(d.Config(), &size);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 3));

  PUSBD_INTERFACE_INFORMATION first = &urb->UrbSelectConfiguration.Interface;
  ExpectInterface(first, 0, 0, 1);
  auto second =
      reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(first) + first->Length);
  ExpectInterface(second, 1, 0, 2);
  EXPECT_EQ(reinterpret_cast<PUCHAR>(second) + second->Length, reinterpret_cast<PUCHAR>(urb) + size);
  ExFreePool(urb);

  // bNumInterfaces limits how many are taken.
  Descriptors one = ConfigBuilder()
                        .Interface(0, 0, 1)
                        .Endpoint(0x81, USB_ENDPOINT_TYPE_BULK, 64)
                        .Interface(1, 0, 1)
                        .Endpoint(0x82, USB_ENDPOINT_TYPE_BULK, 64)
                        .NumInterfaces(1)
                        .Build();
  urb = USBD_CreateConfigurationRequest(one.Config(), &size);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1));
  ExFreePool(urb);
}

TEST_F(UsbdTest, CreateConfigurationRequestRefusesWhatItCannotBuild) {
  Descriptors d = PortConfiguration();
  // The URB's length is 16 bits: ten interfaces of 255 endpoints fit, eleven do not.
  USB_INTERFACE_DESCRIPTOR wide = {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 255, 0xFF, 0, 0, 0};
  USBD_INTERFACE_LIST_ENTRY list[12] = {};
  for (int i = 0; i < 10; ++i) list[i].InterfaceDescriptor = &wide;
  PURB urb = USBD_CreateConfigurationRequestEx(d.Config(), list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Length, 40 + 10 * GET_USBD_INTERFACE_SIZE(255));
  ExFreePool(urb);
  list[10].InterfaceDescriptor = &wide;
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(d.Config(), list), nullptr);

  kernel::pool::FailNthAllocation(1, kUsbdTag);
  USHORT size = 0xBEEF;
  EXPECT_EQ(USBD_CreateConfigurationRequest(d.Config(), &size), nullptr);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(kernel::pool::InjectedFailures(), 1u);
  EXPECT_EQ(kernel::pool::LiveCount(kUsbdTag), 0u);
}

}  // namespace
