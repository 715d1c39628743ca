// Bulk-in completions: the packet walk with its line status, malformed
// packets, XON/XOFF, a full ring, receive events, re-arming and shut-down.
#include "support/open_port_fixture.h"

namespace port_test {
namespace {

class BulkInTest : public OpenPortTest {
 protected:
  std::vector<uint8_t> Drain() {
    ULONG held = Held();
    if (held == 0) return {};
    SetTimeouts(0, 0, 0);
    Request r = Read(held);
    EXPECT_TRUE(Await(r));
    return r->Bytes();
  }
  struct Flags {
    ULONG overrun, parity, frame, brk;
    bool operator==(const Flags&) const = default;
  };
  Flags ErrorFlags() {
    return {ctx_->PerfStats.SerialOverrunErrorCount, ctx_->PerfStats.ParityErrorCount,
            ctx_->PerfStats.FrameErrorCount, ctx_->BreakErrorFlag};
  }
  // 253 data bytes per packet, as the chip sends a full USB packet.
  static std::vector<uint8_t> Packets(const std::vector<uint8_t>& data, size_t per = 253) {
    std::vector<uint8_t> raw;
    for (size_t at = 0; at < data.size(); at += per) {
      size_t n = std::min(per, data.size() - at);
      std::vector<uint8_t> p = Packet({data.begin() + at, data.begin() + at + n});
      raw.insert(raw.end(), p.begin(), p.end());
    }
    return raw;
  }
};

TEST_F(BulkInTest, PacketWalkRows) {
  struct Row {
    const char* what;
    std::vector<uint8_t> transfer;
    std::vector<uint8_t> stored;
    Flags flags;
  } rows[] = {
      {"one packet",
       {0x0A, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x60},
       {0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48},
       {0, 0, 0, 0}},
      {"two packets, overrun and break",
       {0x03, 0x31, 0x00, 0x04, 0x32, 0x33, 0x12},
       {0x31, 0x32, 0x33},
       {1, 0, 0, 1}},
      {"status only, every error", {0x02, 0x1E}, {}, {1, 1, 1, 1}},
      {"parity then framing", {0x03, 0x01, 0x04, 0x03, 0x02, 0x08}, {0x01, 0x02}, {0, 1, 1, 0}},
      {"one-byte transfer", {0x05}, {}, {0, 0, 0, 0}},
      {"length 0 drops the rest", {0x03, 0x31, 0x60, 0x00, 0x34, 0x35, 0x60}, {0x31}, {0, 0, 0, 0}},
      {"length 1 drops the rest", {0x03, 0x31, 0x60, 0x01, 0x12, 0x03, 0x32, 0x60}, {0x31}, {0, 0, 0, 0}},
      {"packet past the end is dropped", {0x03, 0x31, 0x60, 0x09, 0x32, 0x33, 0x1E}, {0x31}, {0, 0, 0, 0}},
      {"trailing lone byte", {0x03, 0x31, 0x60, 0x03}, {0x31}, {0, 0, 0, 0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ctx_->PerfStats = {};
    ctx_->BreakErrorFlag = 0;
    Inject(row.transfer);
    EXPECT_EQ(ErrorFlags(), row.flags);
    EXPECT_EQ(Drain(), row.stored);
  }
  // Every transfer above was re-armed: reception goes on.
  Inject(Packet({0x7A}));
  EXPECT_EQ(Drain(), std::vector<uint8_t>{0x7A});
}

TEST_F(BulkInTest, XoffInAnyPacketHoldsTheTransmitterAndStaysInTheData) {
  ctx_->HandFlow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
  std::vector<uint8_t> transfer = Packet({0x41});
  std::vector<uint8_t> second = Packet({0x42, 0x13, 0x43});
  transfer.insert(transfer.end(), second.begin(), second.end());
  Inject(transfer);
  EXPECT_EQ(Shared(ctx_->TxHolding), 0x08u);
  Inject(Packet({0x44, 0x11}));
  EXPECT_EQ(Shared(ctx_->TxHolding), 0u);
  EXPECT_EQ(Drain(), (std::vector<uint8_t>{0x41, 0x42, 0x13, 0x43, 0x44, 0x11}));
  ctx_->HandFlow.FlowReplace &= ~SERIAL_AUTO_TRANSMIT;
  Inject(Packet({0x13}));
  EXPECT_EQ(Shared(ctx_->TxHolding), 0u);
}

TEST_F(BulkInTest, FullRingDropsTheRestSilently) {
  std::vector<uint8_t> bulk(65532);
  for (size_t i = 0; i < bulk.size(); ++i) bulk[i] = uint8_t(i * 7);
  Inject(Packets({bulk.begin(), bulk.begin() + 40000}));
  Inject(Packets({bulk.begin() + 40000, bulk.end()}));
  ASSERT_EQ(Held(), 65532u);
  ctx_->PerfStats = {};
  Inject(Packet({1, 2, 3, 4, 5}));
  Inject(Packet({6}));
  EXPECT_EQ(Held(), 65535u);
  EXPECT_EQ(ErrorFlags(), (Flags{0, 0, 0, 0}));
  EXPECT_EQ(ctx_->PerfStats.BufferOverrunErrorCount, 0u);
  std::vector<uint8_t> expected = bulk;
  expected.insert(expected.end(), {1, 2, 3});
  EXPECT_EQ(Drain(), expected);
}

// Both receive events are raised for any transfer that carried packets, with
// or without data, and only when the mask asks for them.
TEST_F(BulkInTest, ReceiveEventsCompleteTheWait) {
  struct Row {
    ULONG mask;
    std::vector<uint8_t> transfer;
    ULONG events;  // 0: the wait stays pending
  } rows[] = {
      {SERIAL_EV_RXFLAG, {0x02, 0x60}, SERIAL_EV_RXFLAG},
      {SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG, Packet({0x55}), SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG},
      {SERIAL_EV_RXCHAR, {0x05}, 0},  // one byte: no packets, no events
      {SERIAL_EV_CTS, Packet({0x55}), 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mask);
    SetShared(ctx_->HistoryMask, 0);
    ASSERT_EQ(SetWaitMask(row.mask), STATUS_SUCCESS);
    Request wait = WaitOnMask();
    Inject(row.transfer);
    if (row.events == 0) {
      EXPECT_FALSE(wait->done.load());
      ASSERT_EQ(SetWaitMask(0), STATUS_SUCCESS);  // completes it with no events
      ASSERT_TRUE(Await(wait));
      EXPECT_EQ(Events(wait), 0u);
    } else {
      ASSERT_TRUE(Ends(wait, STATUS_SUCCESS, sizeof(ULONG)));
      EXPECT_EQ(Events(wait), row.events);
      EXPECT_EQ(Shared(ctx_->HistoryMask), 0u);
    }
    Drain();
  }
}

TEST_F(BulkInTest, ReArmsDirectlyOrThroughTheThread) {
  for (UCHAR viaThread : {0, 1}) {
    SetShared(ctx_->RearmViaThread, viaThread);
    for (uint8_t b = 0; b < 5; ++b) {
      Inject(Packet({b}));
      KeSetEvent(&ctx_->ReadPollEvent, IO_NO_INCREMENT, FALSE);  // a spurious poll submits nothing more
    }
    EXPECT_EQ(Drain(), (std::vector<uint8_t>{0, 1, 2, 3, 4}));
  }
}

// Close: the cancelled transfer ends the current read with DELETE_PENDING and
// nothing is outstanding until the next open.
TEST_F(BulkInTest, CancelledTransferShutsReceptionDownUntilTheNextOpen) {
  SetTimeouts(0, 0, 0);
  Request r = Read(10);
  Inject(Packet({1}));  // now current
  SetShared(ctx_->PortClosing, 1);
  IoCancelIrp(ctx_->IntUrbs[BulkInSlot].Irp);
  ASSERT_TRUE(Ends(r, STATUS_DELETE_PENDING, 0u));
  EXPECT_EQ(Shared(ctx_->IntUrbs[BulkInSlot].Idle), 1);
  Inject(Packet({2}));
  EXPECT_EQ(Held(), 1u);
  SetShared(ctx_->PortClosing, 0);
  KeSetEvent(&ctx_->ReadPollEvent, IO_NO_INCREMENT, FALSE);
  kernel::clock::RunUntilIdle();
  EXPECT_EQ(Drain(), (std::vector<uint8_t>{1, 2}));
}

TEST_F(BulkInTest, DeviceGoneEndsTheCurrentRead) {
  SetTimeouts(0, 0, 0);
  Request r = Read(10);
  Inject(Packet({1}));  // now current
  Chip().Disconnect();
  ASSERT_TRUE(Ends(r, STATUS_DELETE_PENDING));
  EXPECT_EQ(Shared(ctx_->IntUrbs[BulkInSlot].Idle), 1);
}

TEST_F(BulkInTest, FailedUrbServesTheReadButStopsReception) {
  SetTimeouts(5, 0, 0);
  Chip().FailNext(chip::Pipe::BulkIn, USBD_STATUS_INVALID_PARAMETER);
  Inject(Packet({1}));  // the failure takes the transfer's place
  Inject(Packet({2}));
  EXPECT_EQ(Shared(ctx_->IntUrbs[BulkInSlot].Idle), 1);
  EXPECT_EQ(Held(), 0u);
}

// A stall leaves the pipe halted until it is reset: the port resets it and
// receives again, during this open and after the next one.
TEST_F(BulkInTest, StalledPipeIsResetAndReceptionGoesOn) {
  for (bool reopen : {false, true}) {
    Chip().FailNext(chip::Pipe::BulkIn, USBD_STATUS_STALL_PID);
    if (reopen) {
      SetShared(ctx_->PortClosing, 1);
      kernel::clock::RunUntilIdle();
      SetShared(ctx_->PortClosing, 0);
      KeSetEvent(&ctx_->ReadPollEvent, IO_NO_INCREMENT, FALSE);
    }
    kernel::clock::Sleep(10 * kMs);  // the reset is a control transfer
    EXPECT_FALSE(Chip().Halted(chip::Pipe::BulkIn));
    Inject(Packet({7}));
    EXPECT_EQ(Drain(), (std::vector<uint8_t>{7})) << (reopen ? "after reopening" : "while open");
  }
}

}  // namespace
}  // namespace port_test
