// Mode pins against the simulated chip's pins (the two-wire transactions on
// them are tested through their vendor requests).
#include <gtest/gtest.h>

#include "driver/uart/mode_pins.h"
#include "driver/uart/register_access.h"
#include "driver/uart/register_map.h"
#include "registers_fixture.h"

namespace uart_test {
namespace {

using ModePinsTest = ChipPortTest;

TEST_F(ModePinsTest, PortModeDrivesThePinsAndKeepsBits7And3) {
  struct Case {
    UCHAR mode;
    std::optional<UCHAR> written;  // PIN_OUTPUT_REG, from 0xFC (bits 1-0 are read-only straps)
  };
  const Case cases[] = {
      {0, 0x88}, {1, 0xC8}, {2, 0xA8},         {3, 0xE8},         {4, 0x98},
      {5, 0xD8}, {6, 0xB8}, {7, std::nullopt}, {8, std::nullopt}, {0xFF, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << int(c.mode));
    Chip().Write(PIN_OUTPUT_REG, 0xFF);
    Chip().ClearRegisterLog();
    ctx_->PortMode = c.mode;
    ApplyPortModePins(ctx_);
    auto writes = Writes();
    if (c.written) {
      ASSERT_EQ(writes.size(), 1u);
      EXPECT_EQ(writes[0], std::make_pair(PIN_OUTPUT_REG, *c.written));
    } else {
      EXPECT_TRUE(writes.empty());
    }
  }
}

// Mode 7 reads the pins as inputs: levels 2, 3 and 6 set PortModeFlags bit 0,
// others clear it; an unreadable pin register leaves the flag alone.
TEST_F(ModePinsTest, InputModeSetsTheFlagFromThePinLevels) {
  struct Case {
    UCHAR levels;  // pins 2-0
    int stalls;
    UCHAR flagsBefore, flagsAfter;
  };
  const Case cases[] = {
      {2, 0, 0x02, 0x03},
      {3, 0, 0x00, 0x01},
      {6, 0, 0x00, 0x01},
      {7, 0, 0x03, 0x02},
      {0, 0, 0x01, 0x00},
      {5, 0, 0x01, 0x00},
      {2, RegisterAccessAttempts, 0x00, 0x00},
      {5, RegisterAccessAttempts, 0x01, 0x01},
  };
  ctx_->PortMode = 7;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "levels " << int(c.levels) << ", stalls " << c.stalls);
    Chip().Write(PIN_OUTPUT_REG, PIN_OUTPUT_PINS);  // all released
    for (int pin = 0; pin < 3; ++pin) Chip().SetPinExternalLevel(pin, (c.levels >> pin) & 1);
    Chip().ClearRegisterLog();
    Chip().StallControlTransfers(c.stalls);
    ctx_->PortModeFlags = c.flagsBefore;
    ApplyPortModePins(ctx_);
    EXPECT_EQ(ctx_->PortModeFlags, c.flagsAfter);
    EXPECT_TRUE(Writes().empty());
  }
}

TEST_F(ModePinsTest, FailedReadWritesNothing) {
  Chip().Write(PIN_OUTPUT_REG, 0x70);
  Chip().ClearRegisterLog();
  Chip().StallControlTransfers(RegisterAccessAttempts);
  SetModePins(ctx_, 0, 0, 0);
  Chip().StallControlTransfers(RegisterAccessAttempts);
  I2cDataLow(ctx_);
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(Chip().Peek(PIN_OUTPUT_REG), 0x70);
  // A data line that cannot be read is no acknowledge.
  Chip().SetPinExternalLevel(1, false);
  Chip().StallControlTransfers(RegisterAccessAttempts);
  EXPECT_EQ(I2cReadData(ctx_), 1);
  EXPECT_EQ(I2cReadData(ctx_), 0);
}

}  // namespace
}  // namespace uart_test
