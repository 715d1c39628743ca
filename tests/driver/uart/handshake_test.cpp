// DTR and RTS through the modem control register, as the far end of the
// cable sees them, and how a new handshake setting moves them.
#include "modem_fixture.h"

namespace uart_test {
namespace {

using LineRoutine = NTSTATUS (*)(PPORT_DEVICE_CONTEXT);

// The register's other bits are unknown when its read fails: nothing is
// written and the failure is reported.
TEST_F(ModemPortTest, LineRoutinesWriteNothingWhenTheReadFails) {
  for (LineRoutine routine : {SerialSetDtr, SerialClrDtr, SerialSetRts, SerialClrRts}) {
    Chip().Write(chip::reg::kModemControl, 0x19);
    Chip().ClearRegisterLog();
    Chip().StallRegisterReads(chip::reg::kModemControl, static_cast<int>(RegisterAccessAttempts));
    EXPECT_FALSE(NT_SUCCESS(routine(ctx_)));
    EXPECT_TRUE(WritesTo(chip::reg::kModemControl).empty());
    EXPECT_EQ(Register(chip::reg::kModemControl), 0x19);
  }
}

TEST_F(ModemPortTest, NewHandFlowMovesOnlyTheLinesWhoseModeChanges) {
  struct Case {
    const char* name;
    ULONG oldControl, oldReplace, newControl, newReplace;
    uint8_t start;
    std::vector<uint8_t> written;
  };
  const Case cases[] = {
      {"unchanged", 1, 0x40, 1, 0x40, 0x08, {}},
      {"dtr control to handshake", 1, 0x40, 2, 0x40, 0x08, {0x09}},
      {"dtr off", 1, 0x40, 0, 0x40, 0x0B, {0x0A}},
      {"rts to transmit toggle", 1, 0x40, 1, 0xC0, 0x0A, {}},
      {"rts off from toggle", 1, 0xC0, 1, 0x00, 0x0A, {0x08}},
      {"rts handshake", 1, 0x00, 1, 0x80, 0x08, {0x0A}},
      {"both on, dtr first", 0, 0x00, 3, 0x40, 0x08, {0x09, 0x0B}},
  };
  for (const Case& c : cases) {
    ctx_->HandFlow = {c.oldControl, c.oldReplace, 100, 300};
    Chip().Write(chip::reg::kModemControl, c.start);
    Chip().ClearRegisterLog();
    SERIAL_HANDFLOW next{c.newControl | SERIAL_CTS_HANDSHAKE, c.newReplace | SERIAL_AUTO_TRANSMIT, 7, 9};
    SerialSetupNewHandFlow(ctx_, &next);
    EXPECT_EQ(WritesTo(chip::reg::kModemControl), c.written) << c.name;
    if (c.written.empty()) {
      EXPECT_TRUE(Chip().RegisterLog().empty()) << c.name;
    }
    EXPECT_EQ(std::memcmp(&ctx_->HandFlow, &next, sizeof next), 0) << c.name;
  }
}

// Each output handshake holds the sender on its own line only, whatever the
// other two lines say, from the moment it is set.
TEST_F(ModemPortTest, EachHandshakeHoldsOnItsOwnLine) {
  struct Row {
    const char* what;
    ULONG handshake;
    chip::ModemInputs lines;
    ULONG holdReasons;
  } rows[] = {
      {"CTS low", SERIAL_CTS_HANDSHAKE, {.dsr = true, .dcd = true}, SERIAL_TX_WAITING_FOR_CTS},
      {"CTS high", SERIAL_CTS_HANDSHAKE, {.cts = true}, 0},
      {"DSR low",
       SERIAL_DSR_HANDSHAKE,
       {.cts = true, .dcd = true},
       SERIAL_TX_WAITING_FOR_DSR | SERIAL_TX_WAITING_XOFF_SENT},
      {"DSR high", SERIAL_DSR_HANDSHAKE, {.dsr = true}, 0},
      {"DCD low", SERIAL_DCD_HANDSHAKE, {.cts = true, .dsr = true}, SERIAL_TX_WAITING_FOR_DCD},
      {"DCD high", SERIAL_DCD_HANDSHAKE, {.dcd = true}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Present(row.lines);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL | row.handshake, SERIAL_RTS_CONTROL).Status, STATUS_SUCCESS);
    EXPECT_EQ(HoldReasons(), row.holdReasons);
    far_->ClearReceived();
    Request write = Write({'h'});
    kernel::clock::Sleep(100 * kMs);
    EXPECT_EQ(far_->Received().size(), row.holdReasons == 0 ? 1u : 0u);
    Present({.cts = true, .dsr = true, .dcd = true});  // lets a held write go
    ASSERT_TRUE(Await(write));
  }
}

// A received XOFF holds the sender only while XON/XOFF output flow control
// is on: turning it off ends the hold.
TEST_F(ModemPortTest, XoffHoldEndsWithXonXoffOutput) {
  const uint8_t xoff[] = {0x13};
  for (ULONG replace : {ULONG(SERIAL_RTS_CONTROL), ULONG(SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT)}) {
    SCOPED_TRACE(replace);
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT).Status,
              STATUS_SUCCESS);
    far_->Send(xoff);
    kernel::clock::Sleep(50 * kMs);
    ASSERT_EQ(HoldReasons(), ULONG(SERIAL_TX_WAITING_FOR_XON | SERIAL_RX_WAITING_FOR_DSR));
    far_->ClearReceived();
    Request write = Write({'h'});
    ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, replace).Status, STATUS_SUCCESS);
    kernel::clock::Sleep(100 * kMs);
    bool held = (replace & SERIAL_AUTO_TRANSMIT) != 0;
    EXPECT_EQ(HoldReasons() != 0, held);
    EXPECT_EQ(far_->Received().size(), held ? 0u : 1u);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_XON, nullptr, 0).Status, STATUS_SUCCESS);
    ASSERT_TRUE(Await(write));
  }
}

}  // namespace
}  // namespace uart_test
