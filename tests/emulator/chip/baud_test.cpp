// The rate each supported table row really produces once its clock select,
// divisor and double-rate bit are in the registers, and what the wire makes
// of it.
#include "chip_fixture.h"

namespace chip_test {
namespace {

class ChipBaudTest : public ChipTest {};

TEST_F(ChipBaudTest, EveryTableRowYieldsItsRealRate) {
  struct Row {
    uint32_t requested;
    uint8_t select;
    uint16_t divisor;
    bool doubleRate;
    double real;
  } rows[] = {
      {50, 0, 2304, false, 50},           {75, 0, 1536, false, 75},
      {110, 0, 1047, false, 110.0287},    {135, 0, 853, false, 135.0528},
      {150, 0, 768, false, 150},          {300, 0, 384, false, 300},
      {600, 0, 192, false, 600},          {1200, 0, 96, false, 1200},
      {1800, 0, 64, false, 1800},         {2000, 0, 58, false, 1986.2069},
      {2400, 0, 48, false, 2400},         {3600, 0, 32, false, 3600},
      {4800, 0, 24, false, 4800},         {7200, 0, 16, false, 7200},
      {9600, 0, 12, false, 9600},         {14400, 0, 8, false, 14400},
      {19200, 0, 6, false, 19200},        {38400, 0, 3, false, 38400},
      {56000, 0, 2, false, 57600},        {57600, 0, 2, false, 57600},
      {115200, 0, 1, false, 115200},      {230400, 3, 4, false, 230400},
      {460800, 3, 2, false, 460800},      {921600, 3, 1, false, 921600},
      {560000, 1, 2, false, 576000},      {576000, 1, 2, false, 576000},
      {1152000, 1, 1, false, 1152000},    {128000, 2, 12, false, 125000},
      {249600, 2, 6, false, 250000},      {256000, 2, 6, false, 250000},
      {499200, 2, 3, false, 500000},      {500000, 2, 3, false, 500000},
      {748800, 2, 2, false, 750000},      {1497600, 2, 1, false, 1500000},
      {1500000, 2, 1, false, 1500000},    {1000000, 2, 3, true, 1000000},
      {3000000, 2, 1, true, 3000000},
  };
  for (const Row& row : rows) {
    SetFormat(row.select, row.divisor, row.doubleRate, 0x03);
    EXPECT_NEAR(Port().Settings().rate, row.real, 0.0001) << row.requested;
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
