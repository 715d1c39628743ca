// Interrupt-in status reports.
#include "chip_fixture.h"

namespace chip_test {
namespace {

namespace reg = chip::reg;

class ChipInterruptTest : public ChipTest {
 protected:
  void SetUp() override {
    chip::ConnectExternal(Port(), end_);
    Configure();
  }
  std::unique_ptr<Pending> Poll() { return Submit(chip::Pipe::InterruptIn, std::vector<uint8_t>(16)); }
  chip::ExternalEnd end_{clock_};
};

TEST_F(ChipInterruptTest, ModemLineChangeIsReportedWhenItsInterruptIsEnabled) {
  struct Row {
    uint8_t ier;
    chip::ModemInputs lines;
    bool reported;
    uint8_t iir, msr;
  } rows[] = {
      {0x08, {.cts = true}, true, 0x00, 0x11},
      {0x08, {.cts = true, .ri = true}, false, 0, 0},  // ring's leading edge sets no delta
      {0x08, {.cts = true}, true, 0x00, 0x14},
      {0x00, {.dsr = true}, false, 0, 0},
      {0x08, {.dsr = true, .dcd = true}, true, 0x00, 0xA8},
  };
  for (const Row& row : rows) {
    WriteRegister(reg::kInterruptEnable, row.ier);
    ReadRegister(reg::kModemStatus);  // nothing pending from before
    auto report = Poll();
    clock_.Advance(5 * chip::kMillisecond);
    ASSERT_FALSE(report->Done());
    end_.Present(row.lines);
    clock_.Advance(5 * chip::kMillisecond);
    EXPECT_EQ(report->Done(), row.reported);
    if (!report->Done()) {
      Port().Cancel(report->id);
      continue;
    }
    EXPECT_EQ(report->result->length, 16u);
    EXPECT_EQ(report->buffer[0], row.iir);
    EXPECT_EQ(report->buffer[2], row.msr);
    EXPECT_EQ(report->buffer[3], row.ier);
  }
}

TEST_F(ChipInterruptTest, ReportComesAtTheNextPollAndOnlyOncePerEvent) {
  WriteRegister(reg::kInterruptEnable, 0x08);
  chip::Time polledAt = 0;
  auto report = Poll();
  clock_.AdvanceTo(clock_.Now() + chip::kMillisecond / 2);
  end_.Present({.cts = true});
  ASSERT_TRUE(clock_.RunUntil([&] { return report->Done(); }, chip::kSecond));
  polledAt = clock_.Now();
  EXPECT_EQ(polledAt % chip::kMillisecond, 0);
  // The delta is still set, but it was reported: the next poll waits.
  auto again = Poll();
  clock_.Advance(10 * chip::kMillisecond);
  EXPECT_FALSE(again->Done());
  EXPECT_EQ(ReadRegister(reg::kModemStatus), 0x11);
  end_.Present({});
  clock_.Advance(2 * chip::kMillisecond);
  ASSERT_TRUE(again->Done());
  EXPECT_EQ(again->buffer[2], 0x01);
}

TEST_F(ChipInterruptTest, LineErrorsAreReportedWithoutTheirInterruptEnabled) {
  end_.SetSettings(Format(9600, 8, chip::Parity::Odd));
  auto report = Poll();
  end_.Send(std::vector<uint8_t>{0x43});  // its parity bit, 0, falls where 8N1 wants the stop bit
  ASSERT_TRUE(clock_.RunUntil([&] { return report->Done(); }, chip::kSecond));
  EXPECT_EQ(report->buffer[0], 0x06);
  EXPECT_EQ(report->buffer[1] & chip::kLsrFramingError, chip::kLsrFramingError);
  // Reading LSR clears the condition.
  ReadRegister(reg::kLineStatus);
  EXPECT_EQ(Port().Peek(reg::kFifoControl), 0x01);
}

TEST_F(ChipInterruptTest, ConditionClearedBeforeThePollIsNotReported) {
  WriteRegister(reg::kInterruptEnable, 0x08);
  end_.Present({.dsr = true});
  EXPECT_EQ(ReadRegister(reg::kModemStatus), 0x22);  // read before any poll
  auto report = Poll();
  clock_.Advance(10 * chip::kMillisecond);
  EXPECT_FALSE(report->Done());
}

}  // namespace
}  // namespace chip_test
