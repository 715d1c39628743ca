// Modem status tracking against the simulated chip: line changes on the far
// end of the cable travel as interrupt-in reports to the modem-status thread,
// which records events, completes waits and holds or releases the sender.
#include <ostream>

#include "modem_fixture.h"

namespace uart_test {
namespace {

struct ModemEventCase {
  const char* name;
  ULONG mask;
  std::vector<chip::ModemInputs> steps;
  ULONG events;
};
// Cases print as their names (ctest lists them so).
void PrintTo(const ModemEventCase& c, std::ostream* os) { *os << c.name; }

class ModemEventTest : public ModemPortTest, public ::testing::WithParamInterface<ModemEventCase> {};

TEST_P(ModemEventTest, LineChangeCompletesTheWait) {
  const ModemEventCase& c = GetParam();
  ASSERT_EQ(SetWaitMask(c.mask), STATUS_SUCCESS);
  auto wait = WaitOnMask();
  for (const chip::ModemInputs& lines : c.steps) Present(lines);
  ASSERT_TRUE(Ends(wait, STATUS_SUCCESS, sizeof(ULONG), 100 * kMs));
  EXPECT_EQ(Events(wait), c.events);
  EXPECT_EQ(Shared(ctx_->HistoryMask) & c.mask, 0u) << "reported events are forgotten";
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ModemEventTest,
    ::testing::Values(ModemEventCase{"Cts", SERIAL_EV_CTS, {{.cts = true}}, SERIAL_EV_CTS},
                      ModemEventCase{"Dsr", SERIAL_EV_DSR | SERIAL_EV_CTS, {{.dsr = true}}, SERIAL_EV_DSR},
                      ModemEventCase{"Dcd", SERIAL_EV_RLSD, {{.dcd = true}}, SERIAL_EV_RLSD},
                      // Only the trailing edge of a ring counts.
                      ModemEventCase{"Ring", SERIAL_EV_RING, {{.ri = true}, {.ri = false}}, SERIAL_EV_RING}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModemPortTest, GetModemStatusReportsLevelsWithoutRepeatingEvents) {
  ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS), STATUS_SUCCESS);
  Present({.cts = true, .dcd = true});
  auto first = WaitOnMask();  // takes the event the thread recorded
  ASSERT_TRUE(Await(first));
  ASSERT_EQ(Events(first), SERIAL_EV_CTS);
  ULONG status = 0;
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status).Status, STATUS_SUCCESS);
  EXPECT_EQ(status, ULONG(MSR_CTS | MSR_DCD));
  auto second = WaitOnMask();
  EXPECT_FALSE(Await(second, 50 * kMs)) << "a change already reported came back";
  Present({});
  ASSERT_TRUE(Await(second));
  EXPECT_EQ(Events(second), SERIAL_EV_CTS);
}

// A modem-status read that fails tells nothing: holds and the saved status
// stay as they were, and GET_MODEMSTATUS reports the last levels known.
TEST_F(ModemPortTest, FailedStatusReadChangesNothing) {
  Present({.cts = true});
  ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL).Status,
            STATUS_SUCCESS);
  ASSERT_EQ(Shared(ctx_->TxHolding) & 0x01, 0u);
  Chip().StallRegisterReads(chip::reg::kModemStatus, static_cast<int>(RegisterAccessAttempts));
  ULONG status = 0;
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status).Status, STATUS_SUCCESS);
  EXPECT_EQ(status, ULONG(MSR_CTS));
  EXPECT_EQ(Shared(ctx_->TxHolding) & 0x01, 0u);
  Chip().StallRegisterReads(chip::reg::kModemStatus, static_cast<int>(RegisterAccessAttempts));
  EXPECT_EQ(SerialHandleModemUpdateBulk(ctx_), Shared(ctx_->SaveModemStatus));
  EXPECT_EQ(Shared(ctx_->TxHolding) & 0x01, 0u);
}

// CTS falls and rises again while the read it caused is still retrying: the
// read finds the same value as the last one, change bit included, and that
// change is reported.
TEST_F(ModemPortTest, RepeatedChangeIsReportedAgain) {
  ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS), STATUS_SUCCESS);
  Present({.cts = true});
  auto first = WaitOnMask();
  ASSERT_TRUE(Await(first));
  ASSERT_EQ(Shared(ctx_->SaveModemStatus), MSR_CTS | MSR_DELTA_CTS);
  Chip().StallRegisterReads(chip::reg::kModemStatus, 10);
  auto second = WaitOnMask();
  far_->Present({});
  kernel::clock::Sleep(2 * kMs);
  far_->Present({.cts = true});
  ASSERT_TRUE(Await(second, 100 * kMs));
  EXPECT_EQ(Events(second), SERIAL_EV_CTS);
}

// Interrupts that come while a status read is pending merge into it: the
// chip keeps every change bit until the register is read.
class ModemStartupTest : public ModemPortTest {
 protected:
  bool WaitsForModemThread() override { return false; }
};

TEST_F(ModemStartupTest, PendingStatusReadMergesInterrupts) {
  ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD), STATUS_SUCCESS);
  Chip().ClearRegisterLog();
  Present({.cts = true});
  EXPECT_EQ(Shared(ctx_->MsrPollReady), 0);
  Present({.cts = true, .dsr = true});
  Present({.cts = true, .dsr = true, .dcd = true});
  EXPECT_EQ(ReadsOf(chip::reg::kModemStatus), 0u) << "the thread is still in its start delay";
  kernel::clock::Sleep(kSecond);
  EXPECT_EQ(ReadsOf(chip::reg::kModemStatus), 1u);
  EXPECT_EQ(Shared(ctx_->HistoryMask), ULONG(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD));
  EXPECT_EQ(Shared(ctx_->MsrPollReady), 1);
}

// Line errors are reported as interrupt 6: the thread reads the line status
// register, which clears the condition, and leaves the modem status alone.
TEST_F(ModemPortTest, LineStatusInterruptReadsTheLineStatus) {
  Chip().ClearRegisterLog();
  far_->SendBreak(5 * kMs);
  kernel::clock::Sleep(50 * kMs);
  EXPECT_GE(ReadsOf(chip::reg::kLineStatus), 1u);
  EXPECT_EQ(ReadsOf(chip::reg::kModemStatus), 0u);
  EXPECT_EQ(Chip().Peek(chip::reg::kLineStatus).value_or(0xFF) & 0x1E, 0);
}

// After close the interrupt-in transfer is cancelled and not re-armed.
TEST_F(ModemPortTest, ClosedPortReadsNoStatus) {
  ClosePortFile(file_);
  file_ = nullptr;
  Chip().ClearRegisterLog();
  Present({.cts = true, .dsr = true});
  kernel::clock::Sleep(100 * kMs);
  EXPECT_TRUE(Chip().RegisterLog().empty());
  EXPECT_EQ(Shared(ctx_->IntUrbs[InterruptInSlot].Idle), 1);
}

}  // namespace
}  // namespace uart_test
