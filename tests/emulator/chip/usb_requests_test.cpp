// Feature requests: only the device has the remote wake-up feature.
#include "chip_fixture.h"

namespace chip_test {
namespace {

class ChipUsbRequestsTest : public ChipTest {};

TEST_F(ChipUsbRequestsTest, FeatureRequests) {
  Configure();
  const uint8_t set = USB_REQUEST_SET_FEATURE, clear = USB_REQUEST_CLEAR_FEATURE;
  const uint16_t wake = USB_FEATURE_REMOTE_WAKEUP;
  const int32_t ok = USBD_STATUS_SUCCESS, stall = USBD_STATUS_STALL_PID;
  struct Row {
    const char* what;
    chip::SetupPacket setup;
    int32_t status;
    bool remoteWake;
  } rows[] = {
      {"set remote wake-up", {0x00, set, wake, 0, 0}, ok, true},
      {"clear to interface", {0x01, clear, wake, 0, 0}, stall, true},
      {"test mode", {0x00, set, USB_FEATURE_TEST_MODE, 0, 0}, stall, true},
      {"clear remote wake-up", {0x00, clear, wake, 0, 0}, ok, false},
      {"halt unknown endpoint", {0x02, set, 0, 0x83, 0}, stall, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Control(row.setup).status, row.status) << row.what;
    EXPECT_EQ(Port().RemoteWakeEnabled(), row.remoteWake) << row.what;
  }
}

}  // namespace
}  // namespace chip_test
