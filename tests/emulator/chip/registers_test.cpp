// Register semantics as the driver sees them through the vendor request. The
// rate each clock select, divisor and double-rate bit produce is checked
// through the driver's whole rate table in its own tests.
#include "chip_fixture.h"

namespace chip_test {
namespace {

namespace reg = chip::reg;

class ChipRegistersTest : public ChipTest {};

// IIR shows the FIFOs, and a transmitter-empty interrupt until IIR is read.
TEST_F(ChipRegistersTest, InterruptIdentificationShowsFifosAndTransmitterEmpty) {
  WriteRegister(reg::kFifoControl, 0xC1);
  EXPECT_EQ(ReadRegister(reg::kFifoControl), 0xC1);
  WriteRegister(reg::kFifoControl, 0x00);
  EXPECT_EQ(ReadRegister(reg::kFifoControl), 0x01);
  chip::ExternalEnd end(clock_);
  chip::ConnectExternal(Port(), end);
  WriteRegister(reg::kInterruptEnable, 0x02);  // enabled with nothing to send
  EXPECT_EQ(ReadRegister(reg::kFifoControl), 0x02);
  EXPECT_EQ(ReadRegister(reg::kFifoControl), 0x01);
  WriteRegister(reg::kUartBase, 0x41);
  clock_.Advance(10 * chip::kMillisecond);  // the character has left
  EXPECT_EQ(ReadRegister(reg::kFifoControl), 0x02);
  EXPECT_EQ(ReadRegister(reg::kFifoControl), 0x01);
}

TEST_F(ChipRegistersTest, LoopbackFeedsModemOutputsToInputs) {
  chip::ExternalEnd end(clock_);
  chip::ConnectExternal(Port(), end);
  end.Present({.cts = true, .dsr = true, .ri = true, .dcd = true});
  struct Row {
    uint8_t mcr, msrInputs;
  } rows[] = {{0x10, 0x00}, {0x11, 0x20}, {0x12, 0x10}, {0x14, 0x40}, {0x18, 0x80}, {0x1F, 0xF0}};
  for (const Row& row : rows) {
    WriteRegister(reg::kModemControl, row.mcr);
    EXPECT_EQ(ReadRegister(reg::kModemStatus) & 0xF0, row.msrInputs) << std::hex << int(row.mcr);
    // The connector's outputs rest inactive while the UART loops back.
    EXPECT_FALSE(end.PortLines().rts);
    EXPECT_FALSE(end.PortLines().dtr);
  }
  WriteRegister(reg::kModemControl, 0x03);
  EXPECT_EQ(ReadRegister(reg::kModemStatus) & 0xF0, 0xF0);  // the cable again
  EXPECT_TRUE(end.PortLines().rts);
  EXPECT_TRUE(end.PortLines().dtr);
}

// Start bit, data bits, parity bit and stop bits, as line control sets them.
TEST_F(ChipRegistersTest, LineControlGivesTheFrameLength) {
  const struct {
    uint8_t lcr;
    double bits;
  } rows[] = {{0x03, 10}, {0x00, 7}, {0x04, 7.5}, {0x07, 11}, {0x1B, 11}, {0x0A, 10}, {0x3F, 12}};
  for (const auto& row : rows) {
    WriteRegister(chip::reg::kLineControl, row.lcr);
    EXPECT_EQ(Port().Settings().FrameBits(), row.bits) << std::hex << int(row.lcr);
  }
}

}  // namespace
}  // namespace chip_test
