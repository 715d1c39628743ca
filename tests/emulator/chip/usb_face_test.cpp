// A port's device object answering URBs, as a function driver sees it: the
// short-transfer rule, which the driver never relies on. Its suites go
// through the rest of the requests.
#include "usb_face_fixture.h"

namespace chip_test {
namespace {

namespace reg = chip::reg;

TEST_F(ChipUsbFaceTest, BulkTransfersCarryDataAndFollowTheShortTransferRule) {
  std::vector<USBD_PIPE_INFORMATION> pipes = Configure();
  chip::ExternalEnd far(board_->Clock());
  chip::ConnectExternal(board_->port(0), far);
  // The direction is the pipe's: flags saying "in" on the bulk-out pipe still send.
  uint8_t text[] = "hello";
  URB out = Transfer(pipes[2].PipeHandle, text, 5, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  EXPECT_EQ(Send(&out), STATUS_SUCCESS);
  kernel::clock::Sleep(20 * kMs);
  EXPECT_EQ(far.ReceivedBytes(), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
  uint8_t fifo = 0xC7;  // FIFOs on, high trigger: both characters go in one transfer
  URB fcr = VendorRequest(false, reg::kFifoControl, &fifo, 1);
  EXPECT_EQ(Send(&fcr), STATUS_SUCCESS);
  struct Row {
    ULONG flags;
    NTSTATUS status;
    USBD_STATUS usbd;
  } rows[] = {{USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
              {USBD_TRANSFER_DIRECTION_IN, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER}};
  for (const Row& row : rows) {
    std::vector<uint8_t> buffer(4096);
    URB in = Transfer(pipes[1].PipeHandle, buffer.data(), 4096, row.flags);
    AsyncUrb pending(Pdo(), &in);
    far.Send(std::vector<uint8_t>{0x31, 0x32});
    EXPECT_EQ(pending.Wait(), row.status);
    EXPECT_EQ(in.UrbHeader.Status, row.usbd);
    ASSERT_EQ(in.UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 4),
              (std::vector<uint8_t>{4, 0x31, 0x32, 0x60}));
  }
}

}  // namespace
}  // namespace chip_test
