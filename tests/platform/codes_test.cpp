// Control-code arithmetic of the serial and USB interfaces, the USBD status
// classes, and where the URB builders put their arguments.

#include <string.h>

#include <iterator>
#include <utility>

#include "platform/host/serial.h"
#include "platform/host/usb.h"
#include "gtest/gtest.h"

namespace {

// The standard serial codes are functions 1 to 39 of device type 0x1B in
// this order, buffered, any access.
const ULONG kSerialCodes[] = {
    IOCTL_SERIAL_SET_BAUD_RATE,
    IOCTL_SERIAL_SET_QUEUE_SIZE,
    IOCTL_SERIAL_SET_LINE_CONTROL,
    IOCTL_SERIAL_SET_BREAK_ON,
    IOCTL_SERIAL_SET_BREAK_OFF,
    IOCTL_SERIAL_IMMEDIATE_CHAR,
    IOCTL_SERIAL_SET_TIMEOUTS,
    IOCTL_SERIAL_GET_TIMEOUTS,
    IOCTL_SERIAL_SET_DTR,
    IOCTL_SERIAL_CLR_DTR,
    IOCTL_SERIAL_RESET_DEVICE,
    IOCTL_SERIAL_SET_RTS,
    IOCTL_SERIAL_CLR_RTS,
    IOCTL_SERIAL_SET_XOFF,
    IOCTL_SERIAL_SET_XON,
    IOCTL_SERIAL_GET_WAIT_MASK,
    IOCTL_SERIAL_SET_WAIT_MASK,
    IOCTL_SERIAL_WAIT_ON_MASK,
    IOCTL_SERIAL_PURGE,
    IOCTL_SERIAL_GET_BAUD_RATE,
    IOCTL_SERIAL_GET_LINE_CONTROL,
    IOCTL_SERIAL_GET_CHARS,
    IOCTL_SERIAL_SET_CHARS,
    IOCTL_SERIAL_GET_HANDFLOW,
    IOCTL_SERIAL_SET_HANDFLOW,
    IOCTL_SERIAL_GET_MODEMSTATUS,
    IOCTL_SERIAL_GET_COMMSTATUS,
    IOCTL_SERIAL_XOFF_COUNTER,
    IOCTL_SERIAL_GET_PROPERTIES,
    IOCTL_SERIAL_GET_DTRRTS,
    IOCTL_SERIAL_LSRMST_INSERT,
    IOCTL_SERIAL_CONFIG_SIZE,
    IOCTL_SERIAL_GET_COMMCONFIG,
    IOCTL_SERIAL_SET_COMMCONFIG,
    IOCTL_SERIAL_GET_STATS,
    IOCTL_SERIAL_CLEAR_STATS,
    IOCTL_SERIAL_GET_MODEM_CONTROL,
    IOCTL_SERIAL_SET_MODEM_CONTROL,
    IOCTL_SERIAL_SET_FIFO_CONTROL,
};

TEST(ControlCodes, AreThePublishedOnes) {
  for (ULONG i = 0; i < std::size(kSerialCodes); ++i)
    EXPECT_EQ(kSerialCodes[i], 0x1B0000u | (i + 1) << 2) << i;
  const std::pair<ULONG, ULONG> internal[] = {
      {IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, 0x1B0004},   {IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, 0x1B0008},
      {IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, 0x1B000C}, {IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, 0x1B0010},
      {IOCTL_INTERNAL_USB_SUBMIT_URB, 0x220003},        {IOCTL_INTERNAL_USB_RESET_PORT, 0x220007},
      {IOCTL_INTERNAL_USB_GET_PORT_STATUS, 0x220013},   {IOCTL_INTERNAL_USB_CYCLE_PORT, 0x22001F},
  };
  for (auto [code, value] : internal) EXPECT_EQ(code, value);
  EXPECT_EQ(METHOD_FROM_CTL_CODE(IOCTL_INTERNAL_USB_SUBMIT_URB), ULONG(METHOD_NEITHER));
  EXPECT_EQ(DEVICE_TYPE_FROM_CTL_CODE(IOCTL_SERIAL_PURGE), 0x1Bu);
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
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, 136, USBD_TRANSFER_DIRECTION_IN, 0xC0, 0xA0, 0x0124,
                        0x0007, buffer, nullptr, 1, link);
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
                                         USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
  EXPECT_EQ(At<USHORT>(urb, 0), 128);
  EXPECT_EQ(At<USHORT>(urb, 2), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  EXPECT_EQ(At<USBD_PIPE_HANDLE>(urb, 24), pipe);
  EXPECT_EQ(At<ULONG>(urb, 32), 3u);
  EXPECT_EQ(At<ULONG>(urb, 36), 16u);
  EXPECT_EQ(At<PVOID>(urb, 40), buffer);

  memset(&urb, 0, sizeof urb);
  UsbBuildGetDescriptorRequest(&urb, 136, USB_CONFIGURATION_DESCRIPTOR_TYPE, 2, 0x0409, buffer, nullptr, 521,
                               nullptr);
  EXPECT_EQ(At<USHORT>(urb, 2), URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  EXPECT_EQ(At<ULONG>(urb, 36), 521u);
  EXPECT_EQ(At<UCHAR>(urb, 130), 2);
  EXPECT_EQ(At<UCHAR>(urb, 131), USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(At<USHORT>(urb, 132), 0x0409);

  memset(&urb, 0, sizeof urb);
  UsbBuildFeatureRequest(&urb, URB_FUNCTION_SET_FEATURE_TO_DEVICE, USB_FEATURE_REMOTE_WAKEUP, 3, nullptr);
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
