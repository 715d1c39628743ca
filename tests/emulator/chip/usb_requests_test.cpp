// Feature requests, halted pipes and a hung control transfer.
#include "chip_fixture.h"

namespace chip_test {
namespace {

namespace reg = chip::reg;
using chip::Pipe;

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

TEST_F(ChipUsbRequestsTest, StalledPipeStaysHaltedUntilReset) {
  Configure();
  auto in = Submit(Pipe::BulkIn, std::vector<uint8_t>(64));
  Port().FailNext(Pipe::BulkIn, USBD_STATUS_STALL_PID);
  clock_.Advance(1);
  EXPECT_EQ(in->result->status, USBD_STATUS_STALL_PID);
  EXPECT_TRUE(Port().Halted(Pipe::BulkIn));
  auto refused = Submit(Pipe::BulkIn, std::vector<uint8_t>(64));
  clock_.Advance(1);
  EXPECT_EQ(refused->result->status, USBD_STATUS_ENDPOINT_HALTED);
  // What a reset of the pipe sends: CLEAR_FEATURE(ENDPOINT_HALT).
  EXPECT_EQ(
      Control({0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, chip::kBulkInEndpoint, 0}).status,
      USBD_STATUS_SUCCESS);
  EXPECT_FALSE(Port().Halted(Pipe::BulkIn));
  Port().InjectBulkIn({2, 0x60});
  auto ok = Submit(Pipe::BulkIn, std::vector<uint8_t>(64));
  clock_.Advance(1);
  EXPECT_EQ(ok->result->status, USBD_STATUS_SUCCESS);
}

// A cancel ends the transfer it names, not the one at the head of the queue.
TEST_F(ChipUsbRequestsTest, HungControlTransferHoldsThePipeUntilCancelled) {
  Port().NeverComplete(Pipe::Control);
  auto hung = SubmitControl({0x40, reg::kVendorRequest, reg::kModemControl, 0, 1}, {0x03});
  auto next = SubmitControl({0xC0, reg::kVendorRequest, reg::kModemControl, 0, 1});
  clock_.Advance(5 * chip::kSecond);
  EXPECT_FALSE(hung->Done());
  EXPECT_TRUE(Port().Cancel(next->id));
  EXPECT_EQ(next->result->status, USBD_STATUS_CANCELED);
  EXPECT_FALSE(hung->Done());
  EXPECT_TRUE(Port().Cancel(hung->id));
  EXPECT_EQ(hung->result->status, USBD_STATUS_CANCELED);
  EXPECT_FALSE(Port().Cancel(hung->id));
  EXPECT_EQ(ReadRegister(reg::kModemControl), 0x00);  // the cancelled write never happened
}

}  // namespace
}  // namespace chip_test
