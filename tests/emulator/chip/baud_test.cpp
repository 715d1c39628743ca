// The frame a line control value gives, and what the wire makes of a rate.
// The rate each clock select, divisor and double-rate bit produce is checked
// through the driver's whole rate table in its own tests.
#include "chip_fixture.h"

namespace chip_test {
namespace {

class ChipBaudTest : public ChipTest {};

// Start bit, data bits, parity bit and stop bits, as line control sets them.
TEST_F(ChipBaudTest, LineControlGivesTheFrameLength) {
  const struct {
    uint8_t lcr;
    double bits;
  } rows[] = {{0x03, 10}, {0x00, 7}, {0x04, 7.5}, {0x07, 11}, {0x1B, 11}, {0x0A, 10}, {0x3F, 12}};
  for (const auto& row : rows) {
    WriteRegister(chip::reg::kLineControl, row.lcr);
    EXPECT_EQ(Port().Settings().FrameBits(), row.bits) << std::hex << int(row.lcr);
  }
}

TEST_F(ChipBaudTest, DivisorZeroStopsTheClock) {
  chip::ExternalEnd end(clock_, Format(9600));
  chip::ConnectExternal(Port(), end);
  SetFormat(0, 0, false, 0x03);
  WriteRegister(chip::reg::kUartBase, 0x41);
  clock_.Advance(100 * chip::kMillisecond);
  EXPECT_TRUE(end.Received().empty());
  WriteRegister(chip::reg::kLineControl, 0x83);
  WriteRegister(chip::reg::kUartBase, 12);  // the byte waiting in THR leaves now
  WriteRegister(chip::reg::kLineControl, 0x03);
  clock_.Advance(10 * chip::kMillisecond);
  EXPECT_EQ(end.ReceivedBytes(), std::vector<uint8_t>{0x41});
}

// 56000 really runs at 57600: a far end at 56000 is 2.8 % slow, which a UART
// still reads; a divisor one off at 9600 (10473 bits/s) is 9 % fast, which
// garbles every character.
TEST_F(ChipBaudTest, RealRateDecidesWhatTheFarEndReads) {
  struct Row {
    uint8_t select;
    uint16_t divisor;
    double farRate;
    bool clean;
  } rows[] = {{0, 2, 56000, true}, {0, 2, 57600, true}, {0, 11, 9600, false}, {0, 12, 9600, true}};
  for (const Row& row : rows) {
    chip::ExternalEnd end(clock_, Format(row.farRate));
    chip::ConnectExternal(Port(), end);
    SetFormat(row.select, row.divisor, false, 0x03);
    WriteRegister(chip::reg::kFifoControl, 0x07);
    for (uint8_t b : {0x00, 0x7F, 0xAA}) WriteRegister(chip::reg::kUartBase, b);
    clock_.Advance(50 * chip::kMillisecond);
    bool clean = end.ReceivedBytes() == std::vector<uint8_t>{0x00, 0x7F, 0xAA};
    for (const chip::RxChar& c : end.Received()) clean = clean && c.errors == 0;
    EXPECT_EQ(clean, row.clean) << "divisor " << row.divisor << " far end " << row.farRate;
  }
}

}  // namespace
}  // namespace chip_test
