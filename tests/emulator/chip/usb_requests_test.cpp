// Standard requests, control timing, pipes and port reset.
#include "chip_fixture.h"

namespace chip_test {
namespace {

namespace reg = chip::reg;
using chip::Pipe;

class ChipUsbRequestsTest : public ChipTest {};

TEST_F(ChipUsbRequestsTest, DeviceDescriptorCarriesThePortIndexInBcdDevice) {
  for (int port = 0; port < 4; ++port) {
    std::vector<uint8_t> d(18);
    Completion c =
        Control({0x80, USB_REQUEST_GET_DESCRIPTOR, USB_DEVICE_DESCRIPTOR_TYPE << 8, 0, 18}, &d, port);
    ASSERT_EQ(c.status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(c.length, 18u);
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[1], USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(d[13], port + 1) << "bcdDevice high byte";
    EXPECT_EQ(d[17], 1) << "one configuration";
  }
}

TEST_F(ChipUsbRequestsTest, DescriptorReadsStopAtTheRequestedLength) {
  struct Row {
    uint16_t value, length;
    int32_t status;
    uint32_t got;
  } rows[] = {
      {USB_DEVICE_DESCRIPTOR_TYPE << 8, 8, USBD_STATUS_SUCCESS, 8},
      {USB_DEVICE_DESCRIPTOR_TYPE << 8, 521, USBD_STATUS_SUCCESS, 18},
      {USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 9, USBD_STATUS_SUCCESS, 9},
      {USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 521, USBD_STATUS_SUCCESS, 39},
      {USB_CONFIGURATION_DESCRIPTOR_TYPE << 8 | 1, 521, USBD_STATUS_STALL_PID, 0},
      {USB_STRING_DESCRIPTOR_TYPE << 8, 255, USBD_STATUS_STALL_PID, 0},
  };
  for (const Row& row : rows) {
    std::vector<uint8_t> d(row.length);
    Completion c = Control({0x80, USB_REQUEST_GET_DESCRIPTOR, row.value, 0, row.length}, &d);
    EXPECT_EQ(c.status, row.status) << std::hex << row.value;
    EXPECT_EQ(c.length, row.got) << std::hex << row.value;
  }
}

TEST_F(ChipUsbRequestsTest, ControlTransferTakesOneFrameAndWaitsForTheOneBefore) {
  std::vector<uint8_t> a(1), b(1);
  auto first = SubmitControl({0xC0, reg::kVendorRequest, reg::kLineControl, 0, 1});
  auto second = SubmitControl({0xC0, reg::kVendorRequest, reg::kModemControl, 0, 1});
  clock_.Advance(chip::kMillisecond - 1);
  EXPECT_FALSE(first->Done());
  clock_.Advance(1);
  EXPECT_TRUE(first->Done());
  EXPECT_FALSE(second->Done());
  clock_.Advance(chip::kMillisecond);
  EXPECT_TRUE(second->Done());
}

TEST_F(ChipUsbRequestsTest, TransfersNeedAConfigurationAndDeconfigureEndsThem) {
  auto early = Submit(Pipe::BulkIn, std::vector<uint8_t>(64));
  clock_.Advance(1);
  EXPECT_EQ(early->result->status, USBD_STATUS_INVALID_PIPE_HANDLE);
  Configure();
  EXPECT_EQ(Port().Configuration(), 1);
  auto in = Submit(Pipe::BulkIn, std::vector<uint8_t>(64));
  auto status = Submit(Pipe::InterruptIn, std::vector<uint8_t>(16));
  EXPECT_EQ(Control({0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0}).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(Port().Configuration(), 0);
  EXPECT_EQ(in->result->status, USBD_STATUS_CANCELED);
  EXPECT_EQ(status->result->status, USBD_STATUS_CANCELED);
  EXPECT_EQ(Control({0x00, USB_REQUEST_SET_CONFIGURATION, 2, 0, 0}).status, USBD_STATUS_STALL_PID);
}

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

TEST_F(ChipUsbRequestsTest, PortResetAbortsTransfersAndKeepsConfigurationAndRegisters) {
  Configure();
  WriteRegister(reg::kModemControl, 0x03);
  auto in = Submit(Pipe::BulkIn, std::vector<uint8_t>(64));
  Port().NeverComplete(Pipe::Control);
  auto hung = SubmitControl({0xC0, reg::kVendorRequest, reg::kLineControl, 0, 1});
  auto reset = std::make_shared<Completion>();
  chip::Time start = clock_.Now();
  Port().ResetPort(Record(reset));
  clock_.Advance(1);
  EXPECT_EQ(in->result->status, USBD_STATUS_CANCELED);
  EXPECT_EQ(hung->result->status, USBD_STATUS_CANCELED);
  ASSERT_TRUE(clock_.RunUntil([&] { return reset->done; }, chip::kSecond));
  EXPECT_EQ(clock_.Now() - start, 20 * chip::kMillisecond);
  EXPECT_EQ(reset->status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(Port().Configuration(), 1);
  EXPECT_EQ(ReadRegister(reg::kModemControl), 0x03);
}

}  // namespace
}  // namespace chip_test
