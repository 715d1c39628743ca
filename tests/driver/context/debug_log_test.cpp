#include <cstring>
#include <string>

#include "driver/context/debug_log.h"
#include "port_context_fixture.h"

namespace {

class DebugLogTest : public PortContextTest {
 protected:
  void SetUp() override {
    PortContextTest::SetUp();
    context_->DebugLogEnabled = 1;
  }

  // The line's text; a line without its terminating zero fails the test.
  std::string Line(ULONG index) const {
    const CHAR* line = context_->DebugLogLines[index];
    EXPECT_NE(std::memchr(line, 0, DebugLogLineSize), nullptr) << "line " << index;
    return std::string(line, strnlen(line, DebugLogLineSize));
  }
};

TEST_F(DebugLogTest, LinesAreFormattedAndCutTo127Characters) {
  DebugLog(device_, " - DispatchControl code %s %d %x\n", "IOCTL_SERIAL_SET_BAUD_RATE", 7, 0x1b);
  EXPECT_EQ(Line(0), " - DispatchControl code IOCTL_SERIAL_SET_BAUD_RATE 7 1b\n");

  const std::string text(200, 'x');
  const size_t lengths[] = {0, 126, 127, 128, 200};
  ULONG index = 1;
  for (size_t length : lengths) {
    std::memset(context_->DebugLogLines[index], 'z', DebugLogLineSize);  // no leftovers may show
    DebugLog(device_, "%.*s", int(length), text.c_str());
    EXPECT_EQ(Line(index), text.substr(0, std::min<size_t>(length, 127))) << length << " characters";
    ++index;
  }
  EXPECT_EQ(context_->DebugLogWriteIndex, index);
}

TEST_F(DebugLogTest, FullRingKeepsItsLinesAndDropsNewOnes) {
  for (ULONG i = 0; i < DebugLogLineCount + 10; ++i) DebugLog(device_, "line %u", i);

  // One line always stays free, so that a full ring differs from an empty one.
  EXPECT_EQ(context_->DebugLogWriteIndex, DebugLogLineCount - 1);
  EXPECT_EQ(Line(0), "line 0");
  EXPECT_EQ(Line(DebugLogLineCount - 2), "line 1278");
  EXPECT_EQ(Line(DebugLogLineCount - 1), "");

  // Once a reader takes the oldest line, the next message takes the free
  // line and the write index wraps to the start.
  context_->DebugLogReadIndex = 1;
  DebugLog(device_, "after the reader");
  DebugLog(device_, "dropped again");
  EXPECT_EQ(Line(DebugLogLineCount - 1), "after the reader");
  EXPECT_EQ(context_->DebugLogWriteIndex, 0u);
  EXPECT_EQ(Line(0), "line 0");
}

TEST_F(DebugLogTest, NothingIsLoggedAbovePassiveLevelOrWhenDisabled) {
  struct Case {
    KIRQL irql;
    UCHAR enabled;
  };
  for (const Case& c : {Case{APC_LEVEL, 1}, Case{DISPATCH_LEVEL, 1}, Case{PASSIVE_LEVEL, 0}}) {
    context_->DebugLogEnabled = c.enabled;
    KIRQL oldIrql;
    KeRaiseIrql(c.irql, &oldIrql);
    DebugLog(device_, "irql %u", c.irql);
    KeLowerIrql(oldIrql);
    EXPECT_EQ(context_->DebugLogWriteIndex, 0u) << int(c.irql) << " " << int(c.enabled);
    EXPECT_EQ(Line(0), "");
  }
}

}  // namespace
