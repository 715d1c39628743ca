// DTR and RTS through the modem control register, as the far end of the
// cable sees them, and how a new handshake setting moves them.
#include "modem_fixture.h"

namespace uart_test {
namespace {

using LineRoutine = NTSTATUS (*)(PPORT_DEVICE_CONTEXT);

TEST_F(ModemPortTest, LineRoutinesChangeOneBitSeenOnTheFarEnd) {
  struct Step {
    LineRoutine routine;
    uint8_t written;
    bool dtr, rts;
  };
  const Step steps[] = {
      {SerialSetDtr, 0x09, true, false},
      {SerialSetRts, 0x0B, true, true},
      {SerialClrDtr, 0x0A, false, true},
      {SerialClrRts, 0x08, false, false},
  };
  Chip().Write(chip::reg::kModemControl, 0x08);
  for (const Step& s : steps) {
    Chip().ClearRegisterLog();
    EXPECT_EQ(s.routine(ctx_), STATUS_SUCCESS);
    EXPECT_EQ(WritesTo(chip::reg::kModemControl), std::vector<uint8_t>{s.written});
    chip::ModemOutputs far = far_->PortLines();
    EXPECT_EQ(far.dtr, s.dtr) << int(s.written);
    EXPECT_EQ(far.rts, s.rts) << int(s.written);
  }
}

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

// Dropping DTR control drops DTR; the update that follows applies the new
// handshake to the sender's holds at once.
TEST_F(ModemPortTest, SetHandFlowDropsDtrAndAppliesTheHandshake) {
  Present({.cts = true});
  ASSERT_TRUE(far_->PortLines().dtr);
  ASSERT_EQ(SetHandFlow(SERIAL_DSR_HANDSHAKE | SERIAL_DCD_HANDSHAKE, SERIAL_RTS_CONTROL).Status, STATUS_SUCCESS);
  EXPECT_FALSE(far_->PortLines().dtr);
  EXPECT_TRUE(far_->PortLines().rts);
  EXPECT_EQ(Shared(ctx_->TxHolding) & 0x07, 0x06u);
  ASSERT_EQ(SetHandFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL).Status, STATUS_SUCCESS);
  EXPECT_EQ(Shared(ctx_->TxHolding) & 0x07, 0u);
  EXPECT_TRUE(far_->PortLines().dtr);
}

}  // namespace
}  // namespace uart_test
