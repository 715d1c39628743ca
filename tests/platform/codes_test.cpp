// Control-code arithmetic of the serial and USB interfaces, the USBD status
// classes, and where the URB builders put their arguments.

#include <string.h>

#include <set>

#include "platform/host/serial.h"
#include "platform/host/usb.h"
#include "gtest/gtest.h"

namespace {

struct Code {
  const char* name;
  ULONG code;
  ULONG value;  // as published
  ULONG deviceType, function, method;
};

#define CODE(name, value, type, function, method) {#name, name, value, type, function, method}

const Code kSerialCodes[] = {
    CODE(IOCTL_SERIAL_SET_BAUD_RATE, 0x1B0004, 0x1B, 1, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_SET_QUEUE_SIZE, 0x1B0008, 0x1B, 2, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_SET_LINE_CONTROL, 0x1B000C, 0x1B, 3, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_SET_BREAK_ON, 0x1B0010, 0x1B, 4, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_SET_BREAK_OFF, 0x1B0014, 0x1B, 5, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_IMMEDIATE_CHAR, 0x1B0018, 0x1B, 6, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_SET_TIMEOUTS, 0x1B001C, 0x1B, 7, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_GET_TIMEOUTS, 0x1B0020, 0x1B, 8, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_SET_DTR, 0x1B0024, 0x1B, 9, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_CLR_DTR, 0x1B0028, 0x1B, 10, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_RESET_DEVICE, 0x1B002C, 0x1B, 11, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_SET_RTS, 0x1B0030, 0x1B, 12, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_CLR_RTS, 0x1B0034, 0x1B, 13, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_SET_XOFF, 0x1B0038, 0x1B, 14, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_SET_XON, 0x1B003C, 0x1B, 15, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_GET_WAIT_MASK, 0x1B0040, 0x1B, 16, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_SET_WAIT_MASK, 0x1B0044, 0x1B, 17, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_WAIT_ON_MASK, 0x1B0048, 0x1B, 18, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_PURGE, 0x1B004C, 0x1B, 19, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_GET_BAUD_RATE, 0x1B0050, 0x1B, 20, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_GET_LINE_CONTROL, 0x1B0054, 0x1B, 21, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_GET_CHARS, 0x1B0058, 0x1B, 22, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_SET_CHARS, 0x1B005C, 0x1B, 23, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_GET_HANDFLOW, 0x1B0060, 0x1B, 24, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_SET_HANDFLOW, 0x1B0064, 0x1B, 25, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_GET_MODEMSTATUS, 0x1B0068, 0x1B, 26, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_GET_COMMSTATUS, 0x1B006C, 0x1B, 27, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_XOFF_COUNTER, 0x1B0070, 0x1B, 28, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_GET_PROPERTIES, 0x1B0074, 0x1B, 29, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_GET_DTRRTS, 0x1B0078, 0x1B, 30, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_LSRMST_INSERT, 0x1B007C, 0x1B, 31, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_CONFIG_SIZE, 0x1B0080, 0x1B, 32, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_GET_COMMCONFIG, 0x1B0084, 0x1B, 33, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_SET_COMMCONFIG, 0x1B0088, 0x1B, 34, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_GET_STATS, 0x1B008C, 0x1B, 35, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_CLEAR_STATS, 0x1B0090, 0x1B, 36, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_GET_MODEM_CONTROL, 0x1B0094, 0x1B, 37, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_SET_MODEM_CONTROL, 0x1B0098, 0x1B, 38, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_SET_FIFO_CONTROL, 0x1B009C, 0x1B, 39, METHOD_BUFFERED),
};

const Code kInternalCodes[] = {
    CODE(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, 0x1B0004, 0x1B, 1, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, 0x1B0008, 0x1B, 2, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, 0x1B000C, 0x1B, 3, METHOD_BUFFERED),
    CODE(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, 0x1B0010, 0x1B, 4, METHOD_BUFFERED),
    CODE(IOCTL_INTERNAL_USB_SUBMIT_URB, 0x220003, 0x22, 0, METHOD_NEITHER),
    CODE(IOCTL_INTERNAL_USB_RESET_PORT, 0x220007, 0x22, 1, METHOD_NEITHER),
    CODE(IOCTL_INTERNAL_USB_GET_PORT_STATUS, 0x220013, 0x22, 4, METHOD_NEITHER),
    CODE(IOCTL_INTERNAL_USB_CYCLE_PORT, 0x22001F, 0x22, 7, METHOD_NEITHER),
};

#undef CODE

void ExpectDecodes(const Code& c) {
  EXPECT_EQ(c.code, c.value) << c.name;
  EXPECT_EQ(DEVICE_TYPE_FROM_CTL_CODE(c.code), c.deviceType) << c.name;
  EXPECT_EQ((c.code >> 2) & 0xFFF, c.function) << c.name;
  EXPECT_EQ(METHOD_FROM_CTL_CODE(c.code), c.method) << c.name;
  EXPECT_EQ((c.code >> 14) & 3, ULONG(FILE_ANY_ACCESS)) << c.name;
}

TEST(ControlCodes, SerialCodesAreThePublishedOnes) {
  std::set<ULONG> seen;
  for (const Code& c : kSerialCodes) {
    ExpectDecodes(c);
    EXPECT_TRUE(seen.insert(c.code).second) << c.name << " shares its code";
  }
  EXPECT_EQ(seen.size(), 39u);
}

TEST(ControlCodes, InternalCodesAreThePublishedOnes) {
  for (const Code& c : kInternalCodes) ExpectDecodes(c);
}

TEST(UsbdStatus, ClassesOfStatus) {
  struct Case {
    const char* name;
    USBD_STATUS status;
    bool success, pending, error;
  } cases[] = {
      {"success", USBD_STATUS_SUCCESS, true, false, false},
      {"pending", USBD_STATUS_PENDING, true, true, false},
      {"stall", USBD_STATUS_STALL_PID, false, false, true},
      {"not responding", USBD_STATUS_DEV_NOT_RESPONDING, false, false, true},
      {"canceled", USBD_STATUS_CANCELED, false, false, true},
      {"device gone", USBD_STATUS_DEVICE_GONE, false, false, true},
      {"invalid parameter", USBD_STATUS_INVALID_PARAMETER, false, false, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bool(USBD_SUCCESS(c.status)), c.success) << c.name;
    EXPECT_EQ(bool(USBD_PENDING(c.status)), c.pending) << c.name;
    EXPECT_EQ(bool(USBD_ERROR(c.status)), c.error) << c.name;
  }
}

TEST(UrbSizes, SizeMacros) {
  struct Case {
    const char* name;
    size_t size, expected;
  } cases[] = {
      {"1 interface, 3 pipes", GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3), 136},
      {"2 interfaces, 5 pipes", GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 5), 208},
      {"1 interface, 1 pipe", GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1), 0x58},
      {"interface of 0 pipes", GET_USBD_INTERFACE_SIZE(0), 24},
      {"interface of 3 pipes", GET_USBD_INTERFACE_SIZE(3), 96},
      {"select interface, 3 pipes", GET_SELECT_INTERFACE_REQUEST_SIZE(3), 128},
  };
  for (const Case& c : cases) EXPECT_EQ(c.size, c.expected) << c.name;
}

// The builders must land each argument at its x64 offset.
template <typename T>
T At(const URB& urb, size_t offset) {
  T value;
  memcpy(&value, reinterpret_cast<const UCHAR*>(&urb) + offset, sizeof value);
  return value;
}

TEST(UrbBuilders, ArgumentsLandAtTheirOffsets) {
  UCHAR buffer[16];
  auto pipe = reinterpret_cast<USBD_PIPE_HANDLE>(0x1234);
  auto link = reinterpret_cast<PURB>(0x5678);

  URB urb;
  memset(&urb, 0, sizeof urb);
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, 136, USBD_TRANSFER_DIRECTION_IN, 0xC0,
                        0xA0, 0x0124, 0x0007, buffer, nullptr, 1, link);
  EXPECT_EQ(At<USHORT>(urb, 0), 136);
  EXPECT_EQ(At<USHORT>(urb, 2), URB_FUNCTION_VENDOR_DEVICE);
  EXPECT_EQ(At<ULONG>(urb, 32), ULONG(USBD_TRANSFER_DIRECTION_IN));
  EXPECT_EQ(At<ULONG>(urb, 36), 1u);
  EXPECT_EQ(At<PVOID>(urb, 40), buffer);
  EXPECT_EQ(At<PURB>(urb, 56), link);
  EXPECT_EQ(At<UCHAR>(urb, 128), 0xC0);
  EXPECT_EQ(At<UCHAR>(urb, 129), 0xA0);
  EXPECT_EQ(At<USHORT>(urb, 130), 0x0124);
  EXPECT_EQ(At<USHORT>(urb, 132), 0x0007);

  memset(&urb, 0, sizeof urb);
  UsbBuildInterruptOrBulkTransferRequest(&urb, 128, pipe, buffer, nullptr, 16,
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                         nullptr);
  EXPECT_EQ(At<USHORT>(urb, 0), 128);
  EXPECT_EQ(At<USHORT>(urb, 2), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  EXPECT_EQ(At<USBD_PIPE_HANDLE>(urb, 24), pipe);
  EXPECT_EQ(At<ULONG>(urb, 32), 3u);
  EXPECT_EQ(At<ULONG>(urb, 36), 16u);
  EXPECT_EQ(At<PVOID>(urb, 40), buffer);

  memset(&urb, 0, sizeof urb);
  UsbBuildGetDescriptorRequest(&urb, 136, USB_CONFIGURATION_DESCRIPTOR_TYPE, 2, 0x0409, buffer,
                               nullptr, 521, nullptr);
  EXPECT_EQ(At<USHORT>(urb, 2), URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  EXPECT_EQ(At<ULONG>(urb, 36), 521u);
  EXPECT_EQ(At<UCHAR>(urb, 130), 2);
  EXPECT_EQ(At<UCHAR>(urb, 131), USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(At<USHORT>(urb, 132), 0x0409);

  memset(&urb, 0, sizeof urb);
  UsbBuildFeatureRequest(&urb, URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 3,
                         nullptr);
  EXPECT_EQ(At<USHORT>(urb, 0), 136);
  EXPECT_EQ(At<USHORT>(urb, 2), URB_FUNCTION_SET_FEATURE_TO_DEVICE);
  EXPECT_EQ(At<USHORT>(urb, 130), USB_FEATURE_REMOTE_WAKEUP);
  EXPECT_EQ(At<USHORT>(urb, 132), 3);

  memset(&urb, 0xFF, sizeof urb);
  UsbBuildSelectConfigurationRequest(&urb, 0x58, nullptr);
  EXPECT_EQ(At<USHORT>(urb, 0), 0x58);
  EXPECT_EQ(At<USHORT>(urb, 2), URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(At<PVOID>(urb, 24), nullptr);
}

}  // namespace
