#include "user/tool/pty.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

namespace t7315 {
namespace {

std::unique_ptr<Pty> OpenPty(const LineFormat& format = {}) {
  std::string error;
  auto pty = Pty::Open(format, &error);
  EXPECT_NE(pty, nullptr) << error;
  return pty;
}

// Recent kernels force 8 data bits and no parity on every pseudo-terminal.
LineFormat AsAPtyKeepsIt(LineFormat format) {
  const LineFormat probe{9600, 7, LineFormat::kEven};
  std::string error;
  if (Pty::Open(probe, &error)->Format() != probe) {
    format.dataBits = 8;
    format.parity = LineFormat::kNone;
  }
  return format;
}

TEST(PtyTest, FormatFollowsWhatAProgramSets) {
  using F = LineFormat;
  const LineFormat cases[] = {
      {115200, 8, F::kNone, F::kOne, false, false, false}, {300, 7, F::kEven, F::kTwo, false, false, false},
      {1000000, 5, F::kOdd, F::kOne, true, false, false},  {12345, 8, F::kMark, F::kOne, false, true, true},
      {57600, 6, F::kSpace, F::kTwo, false, true, false},
  };
  auto pty = OpenPty();
  ASSERT_NE(pty, nullptr);
  const int program = open(pty->TerminalPath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(program, 0);
  for (const LineFormat& format : cases) {
    SCOPED_TRACE(format.Describe());
    const LineFormat expected = AsAPtyKeepsIt(format);
    ASSERT_TRUE(WriteRawTermios(program, format));
    EXPECT_EQ(pty->Format(), expected);
  }
  close(program);
}

TEST(PtyTest, StartsRawAtTheGivenFormatAndPassesEveryByte) {
  const LineFormat format{19200, 7, LineFormat::kEven, LineFormat::kOne};
  auto pty = OpenPty(format);
  ASSERT_NE(pty, nullptr);
  EXPECT_EQ(pty->Format(), AsAPtyKeepsIt(format));
  const int program = open(pty->TerminalPath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(program, 0);
  // Raw: no echo, no CR/LF translation, no signal characters.
  const uint8_t bytes[] = {'\r', '\n', 3, 0x13, 0xFF, 0};
  ASSERT_EQ(write(pty->Master(), bytes, sizeof(bytes)), static_cast<ssize_t>(sizeof(bytes)));
  uint8_t got[sizeof(bytes)] = {};
  for (size_t have = 0; have < sizeof(bytes);) {
    const ssize_t n = read(program, got + have, sizeof(bytes) - have);
    ASSERT_GT(n, 0);
    have += n;
  }
  EXPECT_EQ(0, memcmp(got, bytes, sizeof(bytes)));
  uint8_t echo;
  EXPECT_LT(read(pty->Master(), &echo, 1), 0);  // nothing echoed back
  close(program);
}

}  // namespace
}  // namespace t7315
