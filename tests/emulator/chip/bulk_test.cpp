// Bulk-in framing, and when a transfer completes.
#include "chip_fixture.h"

namespace chip_test {
namespace {

using chip::Parity;
namespace reg = chip::reg;

class ChipBulkTest : public ChipTest {
 protected:
  void SetUp() override {
    chip::ConnectExternal(Port(), end_);
    Configure();
    SetFormat(0, 12, false, 0x1B);  // 9600 8E1
  }
  // Sends and waits until the port has received everything.
  void SendAndWait(std::vector<uint8_t> bytes) {
    end_.Send(bytes);
    ASSERT_TRUE(clock_.RunUntil([&] { return !end_.Sending(); }, chip::kSecond));
    clock_.Advance(chip::kMillisecond);
  }
  chip::ExternalEnd end_{clock_, Format(9600, 8, Parity::Even)};
};

TEST_F(ChipBulkTest, SeveralPacketsInOneTransferSplitAfterErrors) {
  WriteRegister(reg::kFifoControl, 0xC7);  // trigger 112 of 128: only the time-out delivers here
  std::vector<uint8_t> bytes(70);
  for (int i = 0; i < 70; ++i) bytes[i] = static_cast<uint8_t>(i);
  SendAndWait({bytes.begin(), bytes.begin() + 5});
  end_.SetSettings(Format(9600, 8, Parity::Odd));  // one character with the wrong parity
  SendAndWait({bytes[5]});
  end_.SetSettings(Format(9600, 8, Parity::Even));
  SendAndWait({bytes.begin() + 6, bytes.end()});
  auto in = Submit(chip::Pipe::BulkIn, std::vector<uint8_t>(65536));
  clock_.Advance(10 * chip::kMillisecond);
  ASSERT_TRUE(in->Done());
  std::vector<uint8_t> expected = {8, 0, 1, 2, 3, 4, 5, 0x60 | chip::kLsrParityError, 64};
  for (int i = 6; i < 68; ++i) expected.push_back(static_cast<uint8_t>(i));
  expected.insert(expected.end(), {0x60, 4, 68, 69, 0x60});
  ASSERT_EQ(in->result->length, expected.size());
  in->buffer.resize(expected.size());
  EXPECT_EQ(in->buffer, expected);
}

TEST_F(ChipBulkTest, TransferCompletesAtTriggerLevelOrAfterTheReceiveTimeout) {
  double charTime = chip::kSecond * 11 / 9600.0;  // 8E1: 11 bits
  struct Row {
    uint8_t fcr;
    size_t sent;
    uint32_t firstLength;  // bytes of data in the first completion
    double waitedChars;    // after the first character's start
  } rows[] = {
      {0xC7, 3, 3, 3 + 4},    // below the trigger: 4 character times after the last
      {0x87, 100, 64, 64},    // trigger 64 of 128
      {0xC7, 120, 112, 112},  // trigger 112 of 128
      {0x07, 5, 1, 1},        // trigger 1
      {0x00, 5, 1, 1},        // FIFOs off: one character at a time
  };
  for (const Row& row : rows) {
    WriteRegister(reg::kFifoControl, row.fcr);
    auto in = Submit(chip::Pipe::BulkIn, std::vector<uint8_t>(65536));
    chip::Time start = clock_.Now();
    end_.Send(std::vector<uint8_t>(row.sent, 0x33));
    ASSERT_TRUE(clock_.RunUntil([&] { return in->Done(); }, chip::kSecond));
    uint32_t data = 0;
    for (uint32_t off = 0; off < in->result->length; off += in->buffer[off]) data += in->buffer[off] - 2;
    EXPECT_EQ(data, row.firstLength) << std::hex << int(row.fcr);
    // The last character arrives when its stop bit is sampled, half a bit early.
    EXPECT_NEAR(static_cast<double>(clock_.Now() - start), row.waitedChars * charTime, charTime / 10)
        << std::hex << int(row.fcr);
    ASSERT_TRUE(clock_.RunUntil([&] { return !end_.Sending(); }, chip::kSecond));
    clock_.Advance(10 * chip::kMillisecond);
    WriteRegister(reg::kFifoControl, 0x07);
  }
}

}  // namespace
}  // namespace chip_test
