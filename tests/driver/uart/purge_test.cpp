// IOCTL_SERIAL_PURGE with each mask, against a port that holds a current and
// a queued write (the sender held by CTS handshake), a current and a queued
// read, and received bytes in the ring.
#include <ostream>

#include "modem_fixture.h"

namespace uart_test {
namespace {

struct PurgeCase {
  const char* name;
  ULONG mask;
  bool writesEnd, readsEnd, ringEmptied;
};
// Cases print as their names (ctest lists them so).
void PrintTo(const PurgeCase& c, std::ostream* os) { *os << c.name; }

class PurgeTest : public ModemPortTest, public ::testing::WithParamInterface<PurgeCase> {};

TEST_P(PurgeTest, MaskSelectsWhatEnds) {
  const PurgeCase& c = GetParam();
  ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL).Status,
            STATUS_SUCCESS);
  auto writes = {Write({1, 2, 3}), Write({4, 5})};
  auto reads = {Read(100), Read(100)};
  Inject(Packet({'a', 'b', 'c'}));  // makes the first read current; too few bytes to end it
  ASSERT_EQ(Held(), 3u);
  ASSERT_NE(ReadSharedIrp(&ctx_->CurrentReadIrp), nullptr);
  ASSERT_EQ(Shared(ctx_->AmountInOutQueue), 5u);

  EXPECT_EQ(Purge(c.mask), STATUS_SUCCESS);
  kernel::clock::Sleep(10 * kMs);
  for (const Request& w : writes) {
    EXPECT_EQ(w->done.load(), c.writesEnd);
    if (c.writesEnd) {
      EXPECT_EQ(w->status, STATUS_CANCELLED);
    }
  }
  for (const Request& r : reads) {
    EXPECT_EQ(r->done.load(), c.readsEnd);
    if (c.readsEnd) {
      EXPECT_EQ(r->status, STATUS_CANCELLED);
    }
  }
  EXPECT_EQ(Held(), c.ringEmptied ? 0u : 3u);
  EXPECT_EQ(Shared(ctx_->AmountInOutQueue), c.writesEnd ? 0u : 5u);
  EXPECT_EQ(ReadSharedIrp(&ctx_->CurrentReadIrp) == nullptr, c.readsEnd);
  EXPECT_EQ(ReadSharedIrp(&ctx_->CurrentWriteIrp) == nullptr, c.writesEnd);
}

INSTANTIATE_TEST_SUITE_P(Masks, PurgeTest,
                         ::testing::Values(PurgeCase{"Nothing", 0, false, false, false},
                                           PurgeCase{"TxAbort", SERIAL_PURGE_TXABORT, true, false, false},
                                           PurgeCase{"RxAbort", SERIAL_PURGE_RXABORT, false, true, false},
                                           PurgeCase{"TxClear", SERIAL_PURGE_TXCLEAR, false, false, false},
                                           PurgeCase{"RxClear", SERIAL_PURGE_RXCLEAR, false, false, true},
                                           PurgeCase{"All", 0x0F, true, true, true},
                                           PurgeCase{"UnknownBits", 0xFFFFFFF0, false, false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Writes that were never sent leave the outgoing count; one whose chunk is in
// flight (and would never come back) has the chunk cancelled and ends when
// it returns, with the bytes the chunk moved: none.
TEST_F(ModemPortTest, TransmitAbortCancelsTheChunkInFlight) {
  Chip().NeverComplete(chip::Pipe::BulkOut);
  auto sending = Write(std::vector<uint8_t>(40, 0x41));
  auto queued = Write({1});
  kernel::clock::Sleep(10 * kMs);
  ASSERT_EQ(Shared(ctx_->IntUrbs[BulkOutSlot].Idle), 0);
  EXPECT_EQ(Purge(SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
  for (const auto& r : {queued, sending}) {
    ASSERT_TRUE(Ends(r, STATUS_CANCELLED, 0u));
  }
  EXPECT_EQ(Shared(ctx_->AmountInOutQueue), 0u);
}

}  // namespace
}  // namespace uart_test
