#include <cstring>
#include <string>

#include "context/debug_log.h"
#include "port_context_fixture.h"

namespace {

class DebugLogTest : public PortContextTest {
 protected:
  void SetUp() override {
    PortContextTest::SetUp();
    context_->DebugLogEnabled = 1;
  }

  std::string Line(ULONG index) const {
    const CHAR* line = context_->DebugLogLines[index];
    EXPECT_NE(std::memchr(line, 0, DebugLogLineSize), nullptr) << "line " << index << " is not terminated";
    return std::string(line, strnlen(line, DebugLogLineSize));
  }
};

TEST_F(DebugLogTest, LinesAreFormattedAndCutTo127Characters) {
  const std::string longText(200, 'x');
  struct Case {
    const char* name;
    std::string expected;
    void (*log)(PDEVICE_OBJECT, const std::string&);
  };
  const Case cases[] = {
      {"arguments", " - DispatchControl code IOCTL_SERIAL_SET_BAUD_RATE 7 1b\n",
       [](PDEVICE_OBJECT d, const std::string&) {
         DebugLog(d, " - DispatchControl code %s %d %x\n", "IOCTL_SERIAL_SET_BAUD_RATE", 7, 0x1b);
       }},
      {"empty", "", [](PDEVICE_OBJECT d, const std::string&) { DebugLog(d, "%s", ""); }},
      {"126 characters", std::string(126, 'x'),
       [](PDEVICE_OBJECT d, const std::string& text) { DebugLog(d, "%.126s", text.c_str()); }},
      {"127 characters", std::string(127, 'x'),
       [](PDEVICE_OBJECT d, const std::string& text) { DebugLog(d, "%.127s", text.c_str()); }},
      {"128 characters", std::string(127, 'x'),
       [](PDEVICE_OBJECT d, const std::string& text) { DebugLog(d, "%.128s", text.c_str()); }},
      {"200 characters", std::string(127, 'x'),
       [](PDEVICE_OBJECT d, const std::string& text) { DebugLog(d, "%s", text.c_str()); }},
      {"grown by a width", "irp=" + std::string(123, '0'),
       [](PDEVICE_OBJECT d, const std::string&) { DebugLog(d, "irp=%0150x", 0x1234u); }},
  };
  ULONG index = 0;
  for (const Case& c : cases) {
    // Leftovers of a longer line must not show behind a shorter one.
    std::memset(context_->DebugLogLines[index], 'z', DebugLogLineSize);
    c.log(device_, longText);
    EXPECT_EQ(context_->DebugLogWriteIndex, index + 1) << c.name;
    EXPECT_EQ(Line(index), c.expected) << c.name;
    ++index;
  }
}

TEST_F(DebugLogTest, FullRingKeepsItsLinesAndDropsNewOnes) {
  for (ULONG i = 0; i < DebugLogLineCount + 10; ++i) DebugLog(device_, "line %u", i);

  // One line always stays free, so that a full ring differs from an empty one.
  EXPECT_EQ(context_->DebugLogWriteIndex, DebugLogLineCount - 1);
  EXPECT_EQ(context_->DebugLogReadIndex, 0u);
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
    const char* name;
    KIRQL irql;
    UCHAR enabled;
  };
  const Case cases[] = {
      {"APC_LEVEL", APC_LEVEL, 1},
      {"DISPATCH_LEVEL", DISPATCH_LEVEL, 1},
      {"disabled", PASSIVE_LEVEL, 0},
  };
  for (const Case& c : cases) {
    context_->DebugLogEnabled = c.enabled;
    KIRQL oldIrql;
    KeRaiseIrql(c.irql, &oldIrql);
    DebugLog(device_, "%s", c.name);
    KeLowerIrql(oldIrql);
    EXPECT_EQ(context_->DebugLogWriteIndex, 0u) << c.name;
    EXPECT_EQ(Line(0), "") << c.name;
  }
}

}  // namespace
