// Faults on demand, and power lost and restored.
#include "chip_fixture.h"

namespace chip_test {
namespace {

namespace reg = chip::reg;
using chip::Pipe;

class ChipFaultsTest : public ChipTest {};

TEST_F(ChipFaultsTest, StalledControlTransfersEachTakeAFrame) {
  Port().StallControlTransfers(3);
  chip::Time start = clock_.Now();
  std::vector<int32_t> statuses;
  for (int i = 0; i < 4; ++i) {
    std::vector<uint8_t> data(1);
    statuses.push_back(Control({0xC0, reg::kVendorRequest, reg::kLineControl, 0, 1}, &data).status);
  }
  EXPECT_EQ(statuses, (std::vector<int32_t>{USBD_STATUS_STALL_PID, USBD_STATUS_STALL_PID,
                                            USBD_STATUS_STALL_PID, USBD_STATUS_SUCCESS}));
  EXPECT_EQ(clock_.Now() - start, 4 * chip::kMillisecond);
  EXPECT_EQ(Port().RegisterLog().size(), 1u);  // stalled requests reach no register
}

TEST_F(ChipFaultsTest, StalledRegisterReadsLeaveOtherTransfersAlone) {
  Port().StallRegisterReads(reg::kModemControl, 2);
  std::vector<int32_t> statuses;
  for (auto [type, address] : {std::pair{0xC0, reg::kModemControl},
                               {0xC0, reg::kLineControl},
                               {0x40, reg::kModemControl},
                               {0xC0, reg::kModemControl},
                               {0xC0, reg::kModemControl}}) {
    std::vector<uint8_t> data(1);
    statuses.push_back(Control({uint8_t(type), reg::kVendorRequest, address, 0, 1}, &data).status);
  }
  EXPECT_EQ(statuses, (std::vector<int32_t>{USBD_STATUS_STALL_PID, USBD_STATUS_SUCCESS, USBD_STATUS_SUCCESS,
                                            USBD_STATUS_STALL_PID, USBD_STATUS_SUCCESS}));
}

TEST_F(ChipFaultsTest, HungControlTransferHoldsThePipeUntilCancelled) {
  Port().NeverComplete(Pipe::Control);
  auto hung = SubmitControl({0x40, reg::kVendorRequest, reg::kModemControl, 0, 1}, {0x03});
  auto next = SubmitControl({0xC0, reg::kVendorRequest, reg::kModemControl, 0, 1});
  clock_.Advance(5 * chip::kSecond);
  EXPECT_FALSE(hung->Done());
  EXPECT_FALSE(next->Done());
  EXPECT_TRUE(Port().Cancel(hung->id));
  EXPECT_TRUE(hung->Done());
  EXPECT_EQ(hung->result->status, USBD_STATUS_CANCELED);
  EXPECT_FALSE(Port().Cancel(hung->id));
  clock_.Advance(chip::kMillisecond);
  ASSERT_TRUE(next->Done());
  EXPECT_EQ(next->buffer[0], 0x00);  // the cancelled write never happened
}

TEST_F(ChipFaultsTest, FailNextEndsTheChosenTransferWithTheChosenStatus) {
  Configure();
  struct Row {
    Pipe pipe;
    int32_t status;
    bool pendingFirst;
  } rows[] = {
      {Pipe::BulkIn, USBD_STATUS_CANCELED, true},
      {Pipe::BulkIn, USBD_STATUS_DEV_NOT_RESPONDING, false},
      {Pipe::InterruptIn, USBD_STATUS_CANCELED, true},
      {Pipe::InterruptIn, USBD_STATUS_DEV_NOT_RESPONDING, false},
      {Pipe::BulkOut, USBD_STATUS_XACT_ERROR, false},
      {Pipe::Control, USBD_STATUS_STALL_PID, true},
  };
  for (const Row& row : rows) {
    std::unique_ptr<Pending> t;
    auto submit = [&] {
      if (row.pipe == Pipe::Control) {
        t = SubmitControl({0xC0, reg::kVendorRequest, reg::kLineStatus, 0, 1});
      } else {
        t = Submit(row.pipe, std::vector<uint8_t>(16));
      }
    };
    if (row.pendingFirst) submit();
    Port().FailNext(row.pipe, row.status);
    if (!row.pendingFirst) submit();
    clock_.Advance(1);
    ASSERT_TRUE(t->Done());
    EXPECT_EQ(t->result->status, row.status);
  }
}

TEST_F(ChipFaultsTest, DisconnectEndsEverythingWithDeviceGone) {
  Configure();
  bool told = false;
  Port().OnDisconnect([&] { told = true; });
  auto in = Submit(Pipe::BulkIn, std::vector<uint8_t>(64));
  Port().NeverComplete(Pipe::InterruptIn);
  auto status = Submit(Pipe::InterruptIn, std::vector<uint8_t>(16));
  auto control = SubmitControl({0xC0, reg::kVendorRequest, reg::kLineStatus, 0, 1});
  Port().Disconnect();
  EXPECT_TRUE(told);
  for (Pending* p : {in.get(), status.get(), control.get()}) {
    ASSERT_TRUE(p->Done());
    EXPECT_EQ(p->result->status, USBD_STATUS_DEVICE_GONE);
  }
  auto later = SubmitControl({0xC0, reg::kVendorRequest, reg::kLineStatus, 0, 1});
  clock_.Advance(1);
  EXPECT_EQ(later->result->status, USBD_STATUS_DEVICE_GONE);
  EXPECT_FALSE(Port().Connected());
}

TEST_F(ChipFaultsTest, DevicePowerCycleThroughD3LosesTheRegisters) {
  WriteRegister(reg::kModemControl, 0x0B);
  Port().SetDevicePower(2);  // D1 keeps them
  Port().SetDevicePower(1);
  EXPECT_EQ(*Port().Peek(reg::kModemControl), 0x0B);
  Port().SetDevicePower(4);
  EXPECT_EQ(*Port().Peek(reg::kModemControl), 0x0B);  // lost only when power returns
  Port().SetDevicePower(1);
  EXPECT_EQ(*Port().Peek(reg::kModemControl), 0x00);
}

// The USB side keeps its state: a bulk-out transfer that waited for room in
// the transmit FIFO when power went takes the rest of its bytes afterwards.
TEST_F(ChipFaultsTest, ABulkOutTransferPendingAcrossThePowerLossIsServed) {
  Configure();
  auto out = Submit(Pipe::BulkOut, std::vector<uint8_t>(300, 0x55));
  clock_.Advance(10 * chip::kMillisecond);
  ASSERT_FALSE(out->Done());
  Port().SetDevicePower(4);
  Port().SetDevicePower(1);
  ASSERT_TRUE(clock_.RunUntil([&] { return out->Done(); }, chip::kSecond));
  EXPECT_EQ(out->result->status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(out->result->length, 300u);
}

}  // namespace
}  // namespace chip_test
