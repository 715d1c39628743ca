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

// Callbacks on the real clock run late, in batches. Both ways at once, each
// batch 20 character times late: more than the 16-deep receive FIFO holds,
// less than it holds with a transfer pending that takes it when full. The
// line must be as on time (back to back) and nothing lost.
TEST_F(ChipWireTest, LateBatchesGiveTheSameLineAndLoseNothing) {
  chip::ExternalEnd end(clock_, Format(9600));
  chip::ConnectExternal(Port(), end);
  Configure();
  WriteRegister(reg::kFifoControl, 0x87);  // trigger 8 of 16
  std::vector<uint8_t> sent(200), came(200);
  for (size_t i = 0; i < 200; ++i) {
    sent[i] = static_cast<uint8_t>(i * 7);
    came[i] = static_cast<uint8_t>(i * 11 + 3);
  }
  auto out = Submit(chip::Pipe::BulkOut, sent);
  end.Send(came);
  // Read as a driver does: submit again as soon as a transfer ends.
  std::vector<uint8_t> buffer(4096), got;
  uint8_t statuses = 0;
  std::function<void()> read = [&] {
    Port().Submit(chip::Pipe::BulkIn, buffer.data(), static_cast<uint32_t>(buffer.size()),
                  [&](int32_t status, uint32_t length) {
                    for (uint32_t at = 0; at < length; at += buffer[at]) {
                      got.insert(got.end(), buffer.begin() + at + 1, buffer.begin() + at + buffer[at] - 1);
                      statuses |= buffer[at + buffer[at] - 1];
                    }
                    if (status == USBD_STATUS_SUCCESS) read();
                  });
  };
  read();
  const double charTime = chip::kSecond * 10 / 9600.0;
  for (int batch = 0; batch < 30; ++batch)
    clock_.AdvanceLate(clock_.Now() + static_cast<chip::Time>(20 * charTime));
  Port().AbortPipe(chip::Pipe::BulkIn);
  clock_.Advance(chip::kMillisecond);
  EXPECT_EQ(got, came);
  EXPECT_EQ(statuses & chip::kLsrErrors, 0);
  EXPECT_TRUE(out->Done());
  std::vector<chip::RxChar> line = end.Received();
  EXPECT_EQ(end.ReceivedBytes(), sent);
  for (size_t i = 1; i < line.size(); ++i) ASSERT_NEAR(line[i].at - line[i - 1].at, charTime, 1e-6) << i;
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
