#include "user/tool/wire_pty.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "emulator/chip/cable.h"
#include "emulator/chip/manual_scheduler.h"
#include "emulator/chip/model_lock.h"

namespace t7315 {
namespace {

// A wire pty on one end of a null-modem cable, a test-driven end on the other.
class WirePtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    auto pty = Pty::Open(LineFormat{115200}, &error);
    ASSERT_NE(pty, nullptr) << error;
    program_ = open(pty->TerminalPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(program_, 0);
    {
      chip::ModelGuard guard;
      chip::ConnectNullModem(wireEnd_, far_);
    }
    wire_ = std::make_unique<WirePty>(wireEnd_, std::move(pty));
  }
  void TearDown() override {
    wire_.reset();
    close(program_);
  }
  // Pumps while the wire runs for `time`.
  void Run(chip::Time time) {
    for (chip::Time t = 0; t < time; t += chip::kMillisecond) {
      wire_->Pump();
      clock_.Advance(chip::kMillisecond);
    }
    wire_->Pump();
  }
  // The count of bytes the program can read now.
  size_t ProgramReads() {
    char buffer[4096];
    size_t got = 0;
    for (ssize_t n; (n = read(program_, buffer, sizeof(buffer))) > 0;) got += n;
    return got;
  }

  chip_test::ManualScheduler clock_;
  chip::ExternalEnd wireEnd_{clock_};
  chip::ExternalEnd far_{clock_, chip::LineSettings{.rate = 115200}};
  std::unique_ptr<WirePty> wire_;
  int program_ = -1;
};

TEST_F(WirePtyTest, ClearToSendDropsWhileTheProgramDoesNotRead) {
  auto cts = [&] {
    chip::ModelGuard guard;
    return far_.Inputs().cts;
  };
  auto dsr = [&] {
    chip::ModelGuard guard;
    return far_.Inputs().dsr && far_.Inputs().dcd;
  };
  EXPECT_TRUE(cts());
  EXPECT_TRUE(dsr());
  // More than the kernel's own pty buffer holds.
  const chip::LineSettings fast{.rate = 1000000};
  far_.SetSettings(fast);
  ASSERT_TRUE(WriteRawTermios(program_, LineFormat{1000000}));
  std::vector<uint8_t> burst(WirePty::kMaxPending * 3 / 2, 'x');
  far_.Send(burst);
  for (int i = 0; i < 200 && cts(); ++i) Run(10 * chip::kMillisecond);
  EXPECT_FALSE(cts());
  EXPECT_TRUE(dsr());
  // Reading everything lets the device take data again; nothing was lost.
  size_t read = 0;
  for (int i = 0; i < 400 && (read < burst.size() || !cts()); ++i) {
    read += ProgramReads();
    Run(10 * chip::kMillisecond);
  }
  read += ProgramReads();
  EXPECT_EQ(read, burst.size());
  EXPECT_EQ(wire_->Dropped(), 0u);
  EXPECT_TRUE(cts());
}

}  // namespace
}  // namespace t7315
