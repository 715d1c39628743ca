// Characters on the wire: timing on the virtual clock, breaks and overruns.
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

}  // namespace
}  // namespace chip_test
