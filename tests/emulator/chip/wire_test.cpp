// Characters on the wire: timing on the virtual clock, errors from ends that
// disagree, breaks and overruns.
#include "chip_fixture.h"

namespace chip_test {
namespace {

using chip::Parity;
namespace reg = chip::reg;

class ChipWireTest : public ChipTest {
 protected:
  ChipWireTest() : ChipTest({.rxFifoDepth = 16}) {}
};

TEST_F(ChipWireTest, ThousandBytesAt9600Take1Point0417Seconds) {
  chip::ExternalEnd end(clock_, Format(9600));
  chip::ConnectExternal(Port(), end);
  Configure();
  WriteRegister(reg::kFifoControl, 0x07);
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  chip::Time start = clock_.Now();
  auto out = Submit(chip::Pipe::BulkOut, data);
  ASSERT_TRUE(clock_.RunUntil([&] { return end.Received().size() == 1000; }, 2 * chip::kSecond));
  EXPECT_EQ(end.ReceivedBytes(), data);
  // The last stop bit is sampled half a bit before the 10,000th bit ends.
  double bit = chip::kSecond / 9600.0;
  double end10000 = end.Received().back().at + bit / 2;
  EXPECT_NEAR(end10000 - start, 10'416'667, 2);
  // The writer was paced: the transfer ended only when the FIFO had room.
  EXPECT_TRUE(out->Done());
  EXPECT_EQ(out->result->length, 1000u);
}

// The receiver samples with its own format and rate, in mid-bit.
TEST_F(ChipWireTest, MismatchedEndsSeeFramingAndParityErrors) {
  struct Row {
    const char* what;
    chip::LineSettings far;
    uint16_t divisor;
    uint8_t lcr;
    uint8_t sent;
    uint8_t value;
    uint8_t errors;
  } rows[] = {
      {"same format", Format(9600), 12, 0x03, 0x41, 0x41, 0},
      {"odd into even parity", Format(9600, 8, Parity::Odd), 12, 0x1B, 0x41, 0x41, chip::kLsrParityError},
      {"even into even parity", Format(9600, 8, Parity::Even), 12, 0x1B, 0x41, 0x41, 0},
      {"mark into space parity", Format(9600, 8, Parity::Mark), 12, 0x3B, 0x41, 0x41, chip::kLsrParityError},
      {"8 bits into 7, bit 7 set", Format(9600), 12, 0x02, 0x80, 0x00, 0},
      {"8 bits into 7, bit 7 clear", Format(9600), 12, 0x02, 0x41, 0x41, chip::kLsrFramingError},
      {"no parity into odd parity", Format(9600), 12, 0x0B, 0x43, 0x43, chip::kLsrParityError},
      {"twice as fast", Format(19200), 12, 0x03, 0x00, 0xF8, 0},
      {"half as fast", Format(4800), 12, 0x03, 0xFF, 0xFE, 0},
  };
  for (const Row& row : rows) {
    chip::ExternalEnd end(clock_, row.far);
    chip::ConnectExternal(Port(), end);
    SetFormat(0, row.divisor, false, row.lcr);
    WriteRegister(reg::kFifoControl, 0x07);
    end.Send(std::vector<uint8_t>{row.sent});
    clock_.Advance(20 * chip::kMillisecond);
    ASSERT_GE(Port().RxFifoCount(), 1u) << row.what;
    uint8_t lsr = ReadRegister(reg::kLineStatus);
    EXPECT_EQ(ReadRegister(reg::kUartBase), row.value) << row.what;
    EXPECT_EQ(lsr & (chip::kLsrParityError | chip::kLsrFramingError | chip::kLsrBreak), row.errors)
        << row.what;
    WriteRegister(reg::kFifoControl, 0x07);  // drop what is left
  }
}

TEST_F(ChipWireTest, TwoStopBitsReadOneStopBitStream) {
  chip::ExternalEnd end(clock_, Format(9600));
  chip::ConnectExternal(Port(), end);
  SetFormat(0, 12, false, 0x07);  // 8N2: only the first stop bit is checked
  WriteRegister(reg::kFifoControl, 0x07);
  end.Send(std::vector<uint8_t>{0x31, 0x32, 0x33});
  clock_.Advance(10 * chip::kMillisecond);
  EXPECT_EQ(ReadRegister(reg::kLineStatus) & chip::kLsrErrors, 0);
  for (uint8_t b : {0x31, 0x32, 0x33}) EXPECT_EQ(ReadRegister(reg::kUartBase), b);
}

TEST_F(ChipWireTest, BreakFromFarEndIsOneZeroCharacterWithBreakStatus) {
  chip::ExternalEnd end(clock_, Format(9600));
  chip::ConnectExternal(Port(), end);
  WriteRegister(reg::kFifoControl, 0x07);
  end.Send(std::vector<uint8_t>{0x55});
  end.SendBreak(20 * chip::kMillisecond);
  end.Send(std::vector<uint8_t>{0x66});
  clock_.Advance(40 * chip::kMillisecond);
  EXPECT_EQ(Port().RxFifoCount(), 3u);
  EXPECT_EQ(ReadRegister(reg::kLineStatus) & (chip::kLsrErrors | chip::kLsrFifoError),
            chip::kLsrBreak | chip::kLsrFifoError);
  for (uint8_t b : {0x55, 0x00, 0x66}) EXPECT_EQ(ReadRegister(reg::kUartBase), b);
}

TEST_F(ChipWireTest, BreakFromPortHoldsTheLineAndCutsTheCharacterInFlight) {
  chip::ExternalEnd end(clock_, Format(1200));
  chip::ConnectExternal(Port(), end);
  SetFormat(0, 96, false, 0x03);
  WriteRegister(reg::kFifoControl, 0x07);
  WriteRegister(reg::kUartBase, 0xFF);  // a character takes 8.3 ms: still shifting
  WriteRegister(reg::kLineControl, 0x43);
  clock_.Advance(30 * chip::kMillisecond);
  WriteRegister(reg::kLineControl, 0x03);
  clock_.Advance(10 * chip::kMillisecond);
  std::vector<chip::RxChar> got = end.Received();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].errors, chip::kLsrBreak);
  EXPECT_EQ(got[0].value, 0x00);
}

TEST_F(ChipWireTest, FullFifoOverrunsAndLosesTheNewCharacters) {
  chip::ExternalEnd end(clock_, Format(9600));
  chip::ConnectExternal(Port(), end);
  Configure();
  WriteRegister(reg::kFifoControl, 0x07);
  std::vector<uint8_t> sent(20);
  for (int i = 0; i < 20; ++i) sent[i] = static_cast<uint8_t>('a' + i);
  end.Send(sent);
  clock_.Advance(50 * chip::kMillisecond);  // nobody reads
  EXPECT_EQ(Port().RxFifoCount(), 16u);
  auto in = Submit(chip::Pipe::BulkIn, std::vector<uint8_t>(256));
  clock_.Advance(chip::kMillisecond);
  ASSERT_TRUE(in->Done());
  // One packet: 16 characters, the overrun reported with the last before the gap.
  ASSERT_EQ(in->result->length, 18u);
  EXPECT_EQ(in->buffer[0], 18);
  EXPECT_TRUE(std::equal(sent.begin(), sent.begin() + 16, in->buffer.begin() + 1));
  EXPECT_EQ(in->buffer[17], 0x60 | chip::kLsrOverrun);
  EXPECT_EQ(ReadRegister(reg::kLineStatus) & chip::kLsrOverrun, chip::kLsrOverrun);
  EXPECT_EQ(ReadRegister(reg::kLineStatus) & chip::kLsrOverrun, 0);  // cleared by the read
}

TEST_F(ChipWireTest, NullModemCableJoinsTwoPorts) {
  chip::ConnectNullModem(Port(0), Port(1));
  WriteRegister(reg::kModemControl, 0x03, 0);                  // DTR and RTS
  EXPECT_EQ(ReadRegister(reg::kModemStatus, 1), 0xB0 | 0x0B);  // CTS, DSR, DCD with deltas
  WriteRegister(reg::kFifoControl, 0x07, 1);
  WriteRegister(reg::kUartBase, 0x42, 0);
  clock_.Advance(5 * chip::kMillisecond);
  EXPECT_EQ(ReadRegister(reg::kUartBase, 1), 0x42);
  chip::Unplug(Port(1));
  EXPECT_EQ(ReadRegister(reg::kModemStatus, 1), 0x0B);
}

TEST_F(ChipWireTest, LoopbackPlugWiresTheConnectorToItself) {
  chip::PlugLoopback(Port());
  WriteRegister(reg::kModemControl, 0x01);  // DTR to DSR and DCD
  EXPECT_EQ(ReadRegister(reg::kModemStatus), 0xA0 | 0x0A);
  WriteRegister(reg::kModemControl, 0x03);
  EXPECT_EQ(ReadRegister(reg::kModemStatus), 0xB1);
  WriteRegister(reg::kFifoControl, 0x07);
  WriteRegister(reg::kUartBase, 0x24);
  clock_.Advance(5 * chip::kMillisecond);
  EXPECT_EQ(ReadRegister(reg::kUartBase), 0x24);
}

// A bridge hears each character and each change of RTS and DTR as it
// happens, and may call back into the model from there.
TEST_F(ChipWireTest, BridgeCallbacksReportCharactersAndPortLines) {
  chip::ExternalEnd end(clock_, Format(9600));
  chip::ConnectExternal(Port(), end);
  std::vector<uint8_t> heard;
  std::vector<std::pair<bool, bool>> lines;
  end.OnReceive([&](const chip::RxChar& c) {
    heard.push_back(c.value);
    EXPECT_EQ(end.Received().size(), heard.size());
  });
  end.OnPortLines([&](const chip::ModemOutputs& out) { lines.emplace_back(out.rts, out.dtr); });
  for (uint8_t mcr : {0x01, 0x03, 0x03, 0x00}) WriteRegister(reg::kModemControl, mcr);
  EXPECT_EQ(lines, (std::vector<std::pair<bool, bool>>{{false, true}, {true, true}, {false, false}}));
  WriteRegister(reg::kFifoControl, 0x07);
  for (uint8_t b : {0x10, 0x20}) WriteRegister(reg::kUartBase, b);
  clock_.Advance(10 * chip::kMillisecond);
  EXPECT_EQ(heard, (std::vector<uint8_t>{0x10, 0x20}));
  end.ClearReceived();
  EXPECT_TRUE(end.Received().empty());
}

}  // namespace
}  // namespace chip_test
