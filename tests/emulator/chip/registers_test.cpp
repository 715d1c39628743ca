// Register semantics as the driver sees them through the vendor request.
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

TEST_F(ChipRegistersTest, LoopbackFeedsTransmitterToReceiver) {
  chip::ExternalEnd end(clock_);
  chip::ConnectExternal(Port(), end);
  WriteRegister(reg::kFifoControl, 0x07);
  WriteRegister(reg::kModemControl, 0x10);
  WriteRegister(reg::kUartBase, 0x5A);
  WriteRegister(reg::kUartBase, 0xA5);
  clock_.Advance(10 * chip::kMillisecond);
  EXPECT_EQ(ReadRegister(reg::kLineStatus) & 0x61, 0x61);  // data ready, transmitter empty
  EXPECT_EQ(ReadRegister(reg::kUartBase), 0x5A);
  EXPECT_EQ(ReadRegister(reg::kUartBase), 0xA5);
  EXPECT_TRUE(end.Received().empty());
}

}  // namespace
}  // namespace chip_test
