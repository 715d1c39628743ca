// Baud rate and line control against the simulated chip: the register order,
// the rate the wire really gets, the custom clock and the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "driver/uart/baud_rate.h"
#include "driver/uart/register_access.h"
#include "driver/uart/register_map.h"
#include "registers_fixture.h"

namespace uart_test {
namespace {

class BaudTest : public ChipPortTest {
 protected:
  NTSTATUS Program(ULONG rate, std::optional<SERIAL_LINE_CONTROL> lc = std::nullopt) {
    return SerialSetBaudRateAndLineControl(ctx_, rate, lc ? &*lc : nullptr);
  }
  static SERIAL_LINE_CONTROL Line(UCHAR wordLength, UCHAR parity, UCHAR stopBits) {
    SERIAL_LINE_CONTROL lc;
    lc.WordLength = wordLength;
    lc.Parity = parity;
    lc.StopBits = stopBits;
    return lc;
  }
  double WireRate() { return Chip().Settings().rate; }
};

// Every enabled row, through the chip's clock model, with the FIFO trigger. Approximate rows run at
// base / divisor, not at the number asked for.
TEST_F(BaudTest, EveryTableRateGivesTheWireItsRate) {
  const std::pair<ULONG, double> approximate[] = {
      {110, 115200.0 / 1047}, {135, 115200.0 / 853}, {2000, 115200.0 / 58}, {56000, 57600},
      {560000, 576000},       {128000, 125000},      {249600, 250000},      {256000, 250000},
      {499200, 500000},       {748800, 750000},      {1497600, 1500000},
  };
  const ULONG rates[] = {50,     75,     110,    135,     150,     300,     600,     1200,   1800,   2000,
                         2400,   3600,   4800,   7200,    9600,    14400,   19200,   38400,  56000,  57600,
                         115200, 230400, 460800, 921600,  560000,  576000,  1152000, 128000, 249600, 256000,
                         499200, 500000, 748800, 1497600, 1500000, 1000000, 3000000};
  for (ULONG rate : rates) {
    SCOPED_TRACE(rate);
    double expected = rate;
    for (auto [asked, runs] : approximate) {
      if (asked == rate) expected = runs;
    }
    Chip().ClearRegisterLog();
    ASSERT_EQ(Program(rate), STATUS_SUCCESS);
    EXPECT_NEAR(WireRate(), expected, expected * 1e-6);
    // The receive trigger follows the rate: one byte at 1200 baud and below.
    EXPECT_EQ(Writes()[8], std::make_pair(FIFO_CONTROL_REGISTER, UCHAR(rate > 1200 ? 0xC7 : 0x07)));
    EXPECT_EQ(*Chip().Peek(SERIAL_CONFIG_REG1) & CONFIG1_TRIGGER_MASK, rate > 1200 ? 0x08 : 0x00);
    EXPECT_EQ(ctx_->BaudRate, rate);
    // The double-rate bit is on only for the double-rate table's rates.
    EXPECT_EQ((*Chip().Peek(PORT_CONTROL_REG) & PORT_CONTROL_DOUBLE_RATE) != 0,
              rate == 1000000 || rate == 3000000);
  }
}

TEST_F(BaudTest, LineControlIsEncodedAndTheRateKept) {
  struct Case {
    SERIAL_LINE_CONTROL lc;
    UCHAR lcr;
    chip::Parity parity;
    int stopHalfBits;
  };
  const Case cases[] = {
      {Line(8, NO_PARITY, STOP_BIT_1), 0x03, chip::Parity::None, 2},
      {Line(7, EVEN_PARITY, STOP_BIT_1), 0x1A, chip::Parity::Even, 2},
      {Line(5, NO_PARITY, STOP_BITS_1_5), 0x04, chip::Parity::None, 3},
      {Line(6, ODD_PARITY, STOP_BITS_2), 0x0D, chip::Parity::Odd, 4},
      {Line(8, MARK_PARITY, STOP_BITS_2), 0x2F, chip::Parity::Mark, 4},
      {Line(5, SPACE_PARITY, STOP_BIT_1), 0x38, chip::Parity::Space, 2},
  };
  ASSERT_EQ(Program(19200), STATUS_SUCCESS);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "LCR " << std::hex << int(c.lcr));
    Chip().Write(LINE_CONTROL_REGISTER, 0x40);  // a break in progress ends
    ASSERT_EQ(Program(0, c.lc), STATUS_SUCCESS);
    EXPECT_EQ(Chip().Peek(LINE_CONTROL_REGISTER), c.lcr);
    chip::LineSettings s = Chip().Settings();
    EXPECT_DOUBLE_EQ(s.rate, 19200);
    EXPECT_EQ(s.dataBits, c.lc.WordLength);
    EXPECT_EQ(s.parity, c.parity);
    EXPECT_EQ(s.stopHalfBits, c.stopHalfBits);
    EXPECT_EQ(ctx_->BaudRate, 19200u);
    EXPECT_EQ(std::memcmp(&ctx_->LineControl, &c.lc, sizeof c.lc), 0);
  }
}

// A rate no enabled row or custom clock serves, or a line control the UART
// cannot take, is refused before any register is written: chip and context
// keep the working setting.
struct Refused {
  const char* name;
  ULONG rate;
  SERIAL_LINE_CONTROL lc;
  UCHAR clockMode = 0xFF, clockSelect = 0x01, clockParam = 0x01;
};
const Refused kRefused[] = {
    {"1201", 1201, {STOP_BIT_1, NO_PARITY, 8}},
    {"disabled row 28800", 28800, {STOP_BIT_1, NO_PARITY, 8}},
    {"disabled double rate 6000000", 6000000, {STOP_BIT_1, NO_PARITY, 8}},
    {"custom clock select 4", 9600, {STOP_BIT_1, NO_PARITY, 8}, 0, 0x84, 5},
    {"word length 4", 9600, {STOP_BIT_1, NO_PARITY, 4}},
    {"word length 9", 9600, {STOP_BIT_1, NO_PARITY, 9}},
    {"parity 5", 9600, {STOP_BIT_1, 5, 8}},
    {"stop bits 3", 9600, {3, NO_PARITY, 8}},
    {"1.5 stop bits with 8 data bits", 9600, {STOP_BITS_1_5, NO_PARITY, 8}},
    {"2 stop bits with 5 data bits", 9600, {STOP_BITS_2, NO_PARITY, 5}},
};
class RefusedSettings : public BaudTest, public testing::WithParamInterface<Refused> {};

TEST_P(RefusedSettings, ChangeNothing) {
  const Refused& c = GetParam();
  SCOPED_TRACE(c.name);
  ASSERT_EQ(Program(57600, Line(7, EVEN_PARITY, STOP_BITS_2)), STATUS_SUCCESS);
  Chip().ClearRegisterLog();
  ctx_->BaudClockMode = c.clockMode;
  ctx_->BaudClockSelect = c.clockSelect;
  ctx_->BaudClockParam = c.clockParam;
  EXPECT_EQ(Program(c.rate, c.lc), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(ctx_->BaudRate, 57600u);
  EXPECT_EQ(ctx_->LineControl.WordLength, 7);
  EXPECT_EQ(ctx_->LineControl.Parity, EVEN_PARITY);
  EXPECT_EQ(ctx_->LineControl.StopBits, STOP_BITS_2);
}
INSTANTIATE_TEST_SUITE_P(Baud, RefusedSettings, testing::ValuesIn(kRefused));

TEST_F(BaudTest, CustomClockOverridesTheTables) {
  struct Case {
    const char* name;
    UCHAR mode, select, param;
    ULONG rate;
    double wire;
    std::vector<UCHAR> portControlWrites;  // in order
  };
  const Case cases[] = {
      {"only at 921600: applies", 1, 0x82, 5, 921600, 2 * 1500000.0 / 5, {0x20}},
      {"only at 921600: other rates use the table", 1, 0x82, 5, 115200, 115200, {0x00}},
      {"always", 0, 0x03, 2, 1234, 921600.0 / 2, {0x00}},
      {"always, no divisor: the table decides", 0, 0x80, 0, 9600, 9600, {0x20, 0x00}},
      {"no divisor: a bad select is the table's", 0, 0x04, 0, 3000000, 3000000, {0x00, 0x20}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Chip().Write(PORT_CONTROL_REG, 0);
    Chip().ClearRegisterLog();
    ctx_->BaudClockMode = c.mode;
    ctx_->BaudClockSelect = c.select;
    ctx_->BaudClockParam = c.param;
    ASSERT_EQ(Program(c.rate), STATUS_SUCCESS);
    EXPECT_NEAR(WireRate(), c.wire, 1e-3);
    EXPECT_EQ(ctx_->BaudRate, c.rate);
    std::vector<UCHAR> portControl;
    for (auto [address, value] : Writes()) {
      if (address == PORT_CONTROL_REG) portControl.push_back(value);
    }
    EXPECT_EQ(portControl, c.portControlWrites);
  }
}

// A register whose read half fails is not written. The failure is reported
// and the context keeps its setting; without the divisor-latch access bit the
// latch bytes would land in the transmitter, so they are not written either.
TEST_F(BaudTest, UnreadableRegisterIsNotWritten) {
  // Transfers of a 9600 baud call, one per frame: 0 read SERIAL_CONFIG_REG0,
  // 5 read LINE_CONTROL_REGISTER (latch access on), 16 read SERIAL_CONFIG_REG1.
  struct Case {
    int transfer;
    std::vector<uint16_t> notWritten;
  };
  const Case cases[] = {
      {0,
       {SERIAL_CONFIG_REG0, PORT_CONTROL_REG, DIVISOR_LATCH_LSB, DIVISOR_LATCH_MSB, LINE_CONTROL_REGISTER,
        FIFO_CONTROL_REGISTER, SERIAL_CONFIG_REG1}},
      {5, {DIVISOR_LATCH_LSB, DIVISOR_LATCH_MSB}},
      {16, {SERIAL_CONFIG_REG1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.transfer);
    ctx_->BaudRate = 115200;
    Chip().ClearRegisterLog();
    Chip().Write(SERIAL_CONFIG_REG1, 0xA5);
    int64_t start = Now();
    kernel::clock::ScheduleAt(start + c.transfer * kMs + kMs / 2,
                              [this] { Chip().StallControlTransfers(RegisterAccessAttempts); });
    EXPECT_LT(Program(9600), 0);
    EXPECT_EQ(ctx_->BaudRate, 115200u);
    for (auto [address, value] : Writes()) {
      EXPECT_EQ(std::count(c.notWritten.begin(), c.notWritten.end(), address), 0) << address;
    }
    EXPECT_EQ(*Chip().Peek(LINE_CONTROL_REGISTER) & LCR_DIVISOR_LATCH_ACCESS, 0);
    EXPECT_EQ(Chip().TxFifoCount(), 0u);
  }
}

}  // namespace
}  // namespace uart_test
