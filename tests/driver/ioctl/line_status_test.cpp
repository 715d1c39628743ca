// Line and status requests: what the far end of the cable sees, what the
// chip's registers hold and in which order they were written, what the
// status requests report, and the power-up a line request needs first.
#include "ioctl_fixture.h"

namespace ioctl_test {
namespace {

using WriteList = std::vector<std::pair<uint16_t, uint8_t>>;

TEST_F(IoctlTest, LineRequestsReachTheCableAndTheModemControlRegister) {
  struct Step {
    ULONG code;
    Bytes in;
    uint8_t mcr;
  };
  // Open raised DTR and RTS (the default handshake) and OUT2.
  EXPECT_EQ(Chip().Peek(chip::reg::kModemControl), 0x0B);
  const Step steps[] = {{IOCTL_SERIAL_CLR_DTR, {}, 0x0A},
                        {IOCTL_SERIAL_CLR_RTS, {}, 0x08},
                        {IOCTL_SERIAL_SET_DTR, {}, 0x09},
                        {IOCTL_SERIAL_SET_RTS, {}, 0x0B},
                        {IOCTL_SERIAL_SET_MODEM_CONTROL, {0x13, 0, 0, 0}, 0x13},  // loopback too, unchanged
                        {IOCTL_SERIAL_SET_MODEM_CONTROL, {0x03, 1, 0, 0}, 0x03}};
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << std::hex << s.code << " " << int(s.mcr));
    EXPECT_EQ(Ioctl(s.code, s.in).status, STATUS_SUCCESS);
    EXPECT_EQ(Chip().Peek(chip::reg::kModemControl), s.mcr);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_MODEM_CONTROL), s.mcr);
    if ((s.mcr & 0x10) == 0) {
      EXPECT_EQ(far_->PortLines().dtr, (s.mcr & 1) != 0);
      EXPECT_EQ(far_->PortLines().rts, (s.mcr & 2) != 0);
    }
  }
  // A chip that does not answer is reported as such, not as a register of 0.
  Chip().StallControlTransfers(1000);
  EXPECT_FALSE(NT_SUCCESS(Ioctl(IOCTL_SERIAL_GET_MODEM_CONTROL, {}, 4).status));
  EXPECT_FALSE(NT_SUCCESS(Ioctl(IOCTL_SERIAL_SET_MODEM_CONTROL, {0, 0, 0, 0}).status));
  Chip().StallControlTransfers(0);
}

TEST_F(IoctlTest, BreakWritesItsRegistersInOrder) {
  ASSERT_TRUE(Chip().Write(chip::reg::kLineControl, 0x03));
  struct Case {
    const char* name;
    uint8_t config0, pins;  // SERIAL_CONFIG_REG0 before, PIN_INPUT_REG straps
    UCHAR modeFlags;
    ULONG flowReplace;
    WriteList on, off;
  };
  constexpr ULONG kRts = SERIAL_RTS_CONTROL, kToggle = SERIAL_TRANSMIT_TOGGLE;
  // "level high" and "level low": the level the mode-flag copy gives the pins during the break.
  const Case cases[] = {
      {"no mode flag copy", 0x00, 0x00, 0x02, kRts, {{0x123, 0x43}}, {{0x123, 0x03}}},
      {"level high", 0x04, 0x00, 0x02, kRts, {{0x106, 0x1C}, {0x123, 0x43}}, {{0x123, 0x03}, {0x106, 0x0C}}},
      {"level low", 0x14, 0x00, 0x00, kRts, {{0x106, 0x0C}, {0x123, 0x43}}, {{0x123, 0x03}, {0x106, 0x1C}}},
      {"pins active", 0x0C, 0x70, 0x02, kRts, {{0x106, 0x04}, {0x123, 0x43}}, {{0x123, 0x03}, {0x106, 0x0C}}},
      {"transmit toggle raises RTS",
       0x04,
       0x00,
       0x00,
       kToggle,
       {{0x106, 0x0C}, {0x124, 0x02}, {0x123, 0x43}},
       {{0x123, 0x03}, {0x106, 0x1C}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Chip().Write(chip::reg::kSerialConfig0, c.config0);
    Chip().Write(chip::reg::kModemControl, 0);
    Chip().SetPinInputStraps(c.pins);
    ctx_->PortModeFlags = c.modeFlags;
    ctx_->HandFlow.FlowReplace = c.flowReplace;
    TakeWrites();
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
    EXPECT_EQ(TakeWrites(), c.on);
    EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).HoldReasons, 0x20u);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
    EXPECT_EQ(TakeWrites(), c.off);
    EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).HoldReasons, 0u);
  }
  // Break off without a break leaves LCR alone.
  Chip().Write(chip::reg::kSerialConfig0, 0);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
  EXPECT_TRUE(TakeWrites().empty());
  // An unreadable LCR is not rewritten with a guess, and no break is recorded.
  Chip().StallControlTransfers(1000);
  EXPECT_FALSE(NT_SUCCESS(Ioctl(IOCTL_SERIAL_SET_BREAK_ON).status));
  Chip().StallControlTransfers(0);
  EXPECT_TRUE(TakeWrites().empty());
  EXPECT_EQ(Shared(ctx_->TxHolding), 0u);
}

TEST_F(IoctlTest, XoffHoldsTheTransmitterUntilXon) {
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_XOFF).status, STATUS_SUCCESS);
  auto write = Write({'h', 'i'});
  EXPECT_FALSE(Await(write, 200 * kMs));
  auto status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
  EXPECT_EQ(status.HoldReasons, 0x48u);
  EXPECT_EQ(status.AmountInOutQueue, 2u);
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_XON).status, STATUS_SUCCESS);
  ASSERT_TRUE(Ends(write, STATUS_SUCCESS));
  kernel::clock::Sleep(10 * kMs);
  EXPECT_EQ(far_->ReceivedBytes(), (Bytes{'h', 'i'}));

  const std::pair<ULONG, ULONG> holds[] = {{0x01, 0x01}, {0x02, 0x12}, {0x04, 0x04}, {0x1F, 0x7F}, {0, 0}};
  for (auto [holding, reasons] : holds) {
    SetShared(ctx_->TxHolding, holding);
    EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).HoldReasons, reasons) << holding;
  }
}

TEST_F(IoctlTest, ReceiveErrorsAreReportedOnce) {
  const std::tuple<uint8_t, ULONG, SERIALPERF_STATS> cases[] = {
      {0x68, SERIAL_ERROR_FRAMING, {0, 0, 1, 0, 0, 0}},
      {0x62, SERIAL_ERROR_OVERRUN, {0, 0, 0, 1, 0, 0}},
      {0x64, SERIAL_ERROR_PARITY, {0, 0, 0, 0, 0, 1}},
      {0x70, SERIAL_ERROR_BREAK, {}},
      {0x7E, 0x17, {0, 0, 1, 1, 0, 1}}};
  for (auto [lineStatus, errors, stats] : cases) {
    SCOPED_TRACE(int(lineStatus));
    Inject(Packet({'x'}, lineStatus));
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_STATS, {}, 24).out, BytesOf(stats));
    auto first = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
    EXPECT_EQ(first.Errors, errors);
    EXPECT_EQ(first.AmountInInQueue, Held());
    EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_STATS, {}, 24).out, Bytes(24, 0));
  }
  // Clearing the statistics forgets unreported errors too.
  Inject(Packet({'y'}, 0x7E));
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_CLEAR_STATS).status, STATUS_SUCCESS);
  EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u);
}

// A port that is not in D0 is powered up through its own stack before DTR or RTS moves; a failed power-up
// fails the request and leaves the line alone.
using LinePowerTest = IoctlTest;

TEST_F(LinePowerTest, DtrAndRtsPowerTheDeviceFirst) {
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_CLR_DTR).status, STATUS_SUCCESS);
  ASSERT_EQ(Ioctl(IOCTL_SERIAL_CLR_RTS).status, STATUS_SUCCESS);

  // The power request's IRP is the second one allocated: it cannot be had.
  SetShared(ctx_->DevPowerState, PowerDeviceD3);
  kernel::io::FailNthIrpAllocation(2);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_DTR).status, STATUS_INSUFFICIENT_RESOURCES);
  kernel::io::FailNthIrpAllocation(0);
  EXPECT_FALSE(far_->PortLines().dtr);

  const std::pair<ULONG, chip::ModemOutputs> steps[] = {{IOCTL_SERIAL_SET_DTR, {.rts = false, .dtr = true}},
                                                        {IOCTL_SERIAL_SET_RTS, {.rts = true, .dtr = true}}};
  for (auto [code, lines] : steps) {
    SetShared(ctx_->DevPowerState, PowerDeviceD3);
    EXPECT_EQ(Ioctl(code).status, STATUS_SUCCESS);
    EXPECT_EQ(Shared(ctx_->DevPowerState), ULONG(PowerDeviceD0));
    EXPECT_EQ(far_->PortLines().dtr, lines.dtr);
    EXPECT_EQ(far_->PortLines().rts, lines.rts);
  }
}

}  // namespace
}  // namespace ioctl_test
