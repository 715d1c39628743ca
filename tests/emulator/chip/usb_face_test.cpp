// A port's device object answering URBs, as a function driver sees it. The
// register request and the port reset are the driver's own, and its tests
// go through them.
#include "usb_face_fixture.h"

namespace chip_test {
namespace {

namespace reg = chip::reg;

TEST_F(ChipUsbFaceTest, SelectConfigurationAnswersWithThePipes) {
  std::vector<USBD_PIPE_INFORMATION> pipes = Configure();
  ASSERT_EQ(pipes.size(), 3u);
  EXPECT_NE(configurationHandle_, nullptr);
  struct Row {
    UCHAR address;
    USBD_PIPE_TYPE type;
    USHORT maxPacket;
  } rows[] = {{0x81, UsbdPipeTypeInterrupt, 16}, {0x82, UsbdPipeTypeBulk, 64}, {0x02, UsbdPipeTypeBulk, 64}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(pipes[i].EndpointAddress, rows[i].address);
    EXPECT_EQ(pipes[i].PipeType, rows[i].type);
    EXPECT_EQ(pipes[i].MaximumPacketSize, rows[i].maxPacket);
    EXPECT_NE(pipes[i].PipeHandle, nullptr);
  }
  EXPECT_EQ(board_->port(0).Configuration(), 1);
}

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

TEST_F(ChipUsbFaceTest, PendingTransferEndsWhenItsIrpIsCancelled) {
  std::vector<USBD_PIPE_INFORMATION> pipes = Configure();
  uint8_t status[16];
  URB in = Transfer(pipes[0].PipeHandle, status, 16, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  AsyncUrb pending(Pdo(), &in);
  EXPECT_EQ(pending.Returned(), STATUS_PENDING);
  kernel::clock::Sleep(100 * kMs);
  EXPECT_FALSE(pending.Done());
  pending.Cancel();
  EXPECT_EQ(pending.Wait(), STATUS_CANCELLED);
  EXPECT_EQ(in.UrbHeader.Status, USBD_STATUS_CANCELED);
}

TEST_F(ChipUsbFaceTest, DeconfigureClosesThePipes) {
  std::vector<USBD_PIPE_INFORMATION> pipes = Configure();
  URB deconfigure{};
  UsbBuildSelectConfigurationRequest(&deconfigure, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
  EXPECT_EQ(Send(&deconfigure), STATUS_SUCCESS);
  EXPECT_EQ(board_->port(0).Configuration(), 0);
  uint8_t byte = 0;
  URB out = Transfer(pipes[2].PipeHandle, &byte, 1, 0);
  EXPECT_EQ(Send(&out), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(out.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(ChipUsbFaceTest, FeatureRequestsAndPipeReset) {
  std::vector<USBD_PIPE_INFORMATION> pipes = Configure();
  auto feature = [](USHORT function) {
    URB urb{};
    UsbBuildFeatureRequest(&urb, function, USB_FEATURE_REMOTE_WAKEUP, 0, nullptr);
    return urb;
  };
  URB set = feature(URB_FUNCTION_SET_FEATURE_TO_DEVICE);
  EXPECT_EQ(Send(&set), STATUS_SUCCESS);
  EXPECT_TRUE(board_->port(0).RemoteWakeEnabled());
  URB clearInterface = feature(URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE);
  EXPECT_EQ(Send(&clearInterface), STATUS_UNSUCCESSFUL);  // an interface has no such feature: stall
  EXPECT_EQ(clearInterface.UrbHeader.Status, USBD_STATUS_STALL_PID);
  URB clear = feature(URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE);
  EXPECT_EQ(Send(&clear), STATUS_SUCCESS);
  EXPECT_FALSE(board_->port(0).RemoteWakeEnabled());

  board_->port(0).FailNext(chip::Pipe::BulkOut, USBD_STATUS_STALL_PID);
  uint8_t byte = 0x41;
  URB out = Transfer(pipes[2].PipeHandle, &byte, 1, 0);
  EXPECT_EQ(Send(&out), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(board_->port(0).Halted(chip::Pipe::BulkOut));
  URB reset{};
  reset.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
  reset.UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  reset.UrbPipeRequest.PipeHandle = pipes[2].PipeHandle;
  EXPECT_EQ(Send(&reset), STATUS_SUCCESS);
  EXPECT_FALSE(board_->port(0).Halted(chip::Pipe::BulkOut));
  out = Transfer(pipes[2].PipeHandle, &byte, 1, 0);
  EXPECT_EQ(Send(&out), STATUS_SUCCESS);
}

}  // namespace
}  // namespace chip_test
