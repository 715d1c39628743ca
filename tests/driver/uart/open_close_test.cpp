// Open, cleanup and close through the I/O manager: the chip's register
// sequences, a single opener, and requests ended when the file goes.
#include <mutex>

#include "modem_fixture.h"

namespace uart_test {
namespace {

using chip::RegisterAccess;

class OpenCloseTest : public ModemPortTest {
 protected:
  // Closes the test's file and opens it again with the chip's register log
  // starting afresh, after `prepare` has changed the context or the chip.
  template <class Prepare>
  NTSTATUS Reopen(Prepare prepare) {
    if (file_ != nullptr) ClosePortFile(file_);
    file_ = nullptr;
    prepare();
    Chip().ClearRegisterLog();
    NTSTATUS status = OpenPort(&file_);
    if (!NT_SUCCESS(status)) file_ = nullptr;
    return status;
  }
  // A write whose completion appends `tag` to order_.
  Request TaggedWrite(size_t length, int tag) {
    auto r = std::make_shared<port_test::Outcome>();
    r->data.assign(length, uint8_t(tag));
    kernel::io::UserRequest q;
    q.majorFunction = IRP_MJ_WRITE;
    q.input = r->data.data();
    q.inputLength = ULONG(length);
    q.onComplete = [this, r, tag](const IO_STATUS_BLOCK& io) {
      r->status = io.Status;
      r->information = io.Information;
      std::lock_guard<std::mutex> lock(orderMutex_);
      order_.push_back(tag);
      r->done.store(true);
    };
    kernel::io::SubmitUserRequest(file_, std::move(q));
    return r;
  }
  std::mutex orderMutex_;
  std::vector<int> order_;
};

TEST_F(OpenCloseTest, OpenProgramsTheChipInOrder) {
  ASSERT_EQ(Reopen([&] {
              Chip().Write(chip::reg::kPortSetup, 0xFF);
              Chip().Write(chip::reg::kPortControl, 0x01);
              Chip().Write(chip::reg::kModemControl, 0x00);
              Chip().Write(chip::reg::kPinOutput, 0x00);
              ctx_->PortModeFlags = 0x02;
            }),
            STATUS_SUCCESS);
  uint8_t config0 = Register(chip::reg::kSerialConfig0);
  const std::vector<std::pair<uint16_t, uint8_t>> expected = {
      {chip::reg::kPortControl, 0x41},     {chip::reg::kPortSetup, 0x72},
      {chip::reg::kPinOutput, 0x00},       {chip::reg::kSerialConfig0, config0},
      {chip::reg::kFifoControl, 0xC7},     {chip::reg::kModemControl, 0x08},
      {chip::reg::kModemControl, 0x09},    {chip::reg::kModemControl, 0x0B},
      {chip::reg::kInterruptEnable, 0x08},
  };
  EXPECT_EQ(Writes(), expected);
  EXPECT_EQ(config0 & 0x0C, 0x08) << "PortModeFlags bit 1 lands in bit 3";
  EXPECT_EQ(ReadsOf(chip::reg::kLineStatus), 1u);
  EXPECT_EQ(Shared(ctx_->handles), 1u);
  EXPECT_EQ(Shared(ctx_->PortClosing), 0);
}

TEST_F(OpenCloseTest, OpenFollowsFifoLoopbackAndPortSetupSettings) {
  struct Case {
    const char* name;
    UCHAR fifoPresent;
    ULONG baudRate;
    UCHAR loopback;
    UCHAR setupLevel;
    uint8_t fifoControl, modemControl, portSetup;
  };
  const Case cases[] = {
      {"no fifo", 0, 9600, 0, 4, 0x00, 0x0B, 0x7C},
      {"fifo at 1200", 1, 1200, 0, 12, 0x07, 0x0B, 0x74},
      {"loopback", 1, 9600, 1, 16, 0xC7, 0x1B, 0x70},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Reopen([&] {
                ctx_->FifoPresent = c.fifoPresent;
                ctx_->BaudRate = c.baudRate;
                ctx_->LoopbackMode = c.loopback;
                ctx_->PortSetupLevel = c.setupLevel;
                Chip().Write(chip::reg::kModemControl, 0x00);
                Chip().Write(chip::reg::kPortSetup, 0x00);
              }),
              STATUS_SUCCESS)
        << c.name;
    EXPECT_EQ(WritesTo(chip::reg::kFifoControl), std::vector<uint8_t>{c.fifoControl}) << c.name;
    EXPECT_EQ(Register(chip::reg::kModemControl), c.modemControl) << c.name;
    EXPECT_EQ(WritesTo(chip::reg::kPortSetup), std::vector<uint8_t>{c.portSetup}) << c.name;
  }
}

TEST_F(OpenCloseTest, CloseDropsRtsBeforeDtrThenQuietensTheUart) {
  Chip().Write(chip::reg::kPortControl, 0x4F);
  Chip().ClearRegisterLog();
  ClosePortFile(file_);
  file_ = nullptr;
  const std::vector<std::pair<uint16_t, uint8_t>> expected = {
      {chip::reg::kPortControl, 0x40},     {chip::reg::kPortAux0, 0x00},     {chip::reg::kPortAux1, 0x00},
      {chip::reg::kModemControl, 0x09},    {chip::reg::kModemControl, 0x08}, {chip::reg::kModemControl, 0x00},
      {chip::reg::kInterruptEnable, 0x00},
  };
  EXPECT_EQ(Writes(), expected);
  EXPECT_FALSE(far_->PortLines().rts);
  EXPECT_FALSE(far_->PortLines().dtr);
  EXPECT_EQ(Shared(ctx_->handles), 0u);
  EXPECT_EQ(Shared(ctx_->PortClosing), 1);
}

TEST_F(OpenCloseTest, SecondOpenIsRefusedAndTouchesNothing) {
  Chip().ClearRegisterLog();
  PFILE_OBJECT second = nullptr;
  EXPECT_EQ(OpenPort(&second), STATUS_ACCESS_DENIED);
  EXPECT_TRUE(Chip().RegisterLog().empty());
  EXPECT_EQ(Shared(ctx_->handles), 1u);
}

// SERIAL_CONFIG_REG0 holds the UART clock select: when it cannot be read it
// is not rewritten, and the open fails. No close follows a failed open, so
// it gives its place back itself and stops what it had started.
TEST_F(OpenCloseTest, FailedOpenWritesNoGuessAndLeavesThePortOpenable) {
  NTSTATUS status = Reopen([&] {
    Chip().StallRegisterReads(chip::reg::kSerialConfig0, static_cast<int>(RegisterAccessAttempts));
  });
  EXPECT_FALSE(NT_SUCCESS(status));
  EXPECT_TRUE(WritesTo(chip::reg::kSerialConfig0).empty());
  EXPECT_EQ(Shared(ctx_->handles), 0u);
  EXPECT_EQ(Shared(ctx_->PortClosing), 1);
  EXPECT_EQ(Register(chip::reg::kInterruptEnable), 0);
  EXPECT_FALSE(far_->PortLines().dtr);
  EXPECT_EQ(Reopen([] {}), STATUS_SUCCESS);
  EXPECT_EQ(Shared(ctx_->handles), 1u);
}

// A register of open that cannot be read is not rewritten; open goes on.
TEST_F(OpenCloseTest, UnreadableRegisterIsNotRewritten) {
  for (uint16_t address : {chip::reg::kPortControl, chip::reg::kPortSetup}) {
    ASSERT_EQ(Reopen([&] { Chip().StallRegisterReads(address, static_cast<int>(RegisterAccessAttempts)); }),
              STATUS_SUCCESS);
    EXPECT_TRUE(WritesTo(address).empty()) << address;
    EXPECT_EQ(WritesTo(chip::reg::kInterruptEnable), std::vector<uint8_t>{0x08}) << address;
  }
}

// Reception and modem-status reports start again with every open, however
// late the transfers that the close cancelled come back.
TEST_F(OpenCloseTest, ReopenRestartsTheTransfers) {
  for (int64_t late : {int64_t(0), 5 * kSecond}) {
    SCOPED_TRACE(late);
    // One report of each kind, so that the transfers in flight at the close
    // are the bus's: kept until cancelled, then back `late` after it.
    tap_->HoldInTransfers(late);
    Inject(Packet({'x'}));
    Present({.cts = true});
    tap_->PassInTransfers();
    ASSERT_EQ(Reopen([] {}), STATUS_SUCCESS);
    kernel::clock::Sleep(6 * kSecond);
    Inject(Packet({'o', 'k'}));
    auto read = Read(2);
    ASSERT_TRUE(Await(read));
    EXPECT_EQ(read->Bytes(), (std::vector<uint8_t>{'o', 'k'}));
    ASSERT_EQ(SetWaitMask(SERIAL_EV_DSR), STATUS_SUCCESS);
    auto wait = WaitOnMask();
    Present({.dsr = true});
    ASSERT_TRUE(Await(wait, 100 * kMs));
    EXPECT_EQ(Events(wait), SERIAL_EV_DSR);
    ASSERT_EQ(SetWaitMask(0), STATUS_SUCCESS);  // no DSR change recorded before the next check
  }
}

// Closing the handle ends what is still pending, so that the close follows
// and the port can be opened again.
TEST_F(OpenCloseTest, CleanupEndsPendingRequestsNewestFirst) {
  ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL).Status,
            STATUS_SUCCESS);
  std::vector<Request> writes;
  for (int i = 0; i < 4; ++i) writes.push_back(TaggedWrite(10, i));
  auto read = Read(10);
  ASSERT_EQ(SetWaitMask(SERIAL_EV_RING), STATUS_SUCCESS);
  auto wait = WaitOnMask();
  kernel::clock::Sleep(20 * kMs);
  ASSERT_EQ(Shared(ctx_->AmountInOutQueue), 40u);
  ClosePortFile(file_);
  file_ = nullptr;
  for (const Request& r : {writes[0], writes[1], writes[2], writes[3], read, wait}) {
    ASSERT_TRUE(r->done.load());
    EXPECT_EQ(r->status, STATUS_CANCELLED);
    EXPECT_EQ(r->information, 0u);
  }
  EXPECT_EQ(order_, (std::vector<int>{3, 2, 1, 0})) << "queued writes newest first, then the current one";
  EXPECT_EQ(Shared(ctx_->AmountInOutQueue), 0u);
  EXPECT_EQ(Shared(ctx_->handles), 0u);
  EXPECT_EQ(OpenPort(&file_), STATUS_SUCCESS);
}

}  // namespace
}  // namespace uart_test
