// The real driver through a system sleep: the chip loses power in S3, and
// after the resume the modem lines are as the application left them (the
// rate, the format and the transfers are the power tests').
#include <vector>

#include "emulator/chip/register_map.h"
#include "emulator/kernel/power_manager.h"
#include "support/open_port_fixture.h"

namespace device_test {
namespace {

using SleepResume = port_test::OpenPortTest;

// The modem-control register comes back as the application left it: the far
// end sees no hang-up, a line cleared stays cleared, a looped port stays looped.
TEST_F(SleepResume, ModemControlSurvivesS3) {
  struct Row {
    const char* what;
    UCHAR loopback;
    ULONG change;  // a line request after the open, or 0
    uint8_t mcr;
  } rows[] = {
      {"as opened", 0, 0, 0x0B},
      {"DTR cleared", 0, IOCTL_SERIAL_CLR_DTR, 0x0A},
      {"RTS cleared", 0, IOCTL_SERIAL_CLR_RTS, 0x09},
      {"opened in loopback", 1, 0, 0x1B},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    kernel::io::CloseFile(file_);
    ctx_->LoopbackMode = row.loopback;
    ASSERT_EQ(OpenComPort(&file_), STATUS_SUCCESS);
    if (row.change != 0) {
      ASSERT_EQ(Control(row.change, nullptr, ULONG(0)).Status, STATUS_SUCCESS);
    }
    ASSERT_EQ(Chip().Peek(chip::reg::kModemControl), row.mcr);
    ASSERT_EQ(kernel::power::SleepSystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
    ASSERT_EQ(kernel::power::ResumeSystem().status, STATUS_SUCCESS);
    EXPECT_EQ(Chip().Peek(chip::reg::kModemControl), row.mcr);
    bool wired = (row.mcr & 0x10) == 0;
    EXPECT_EQ(far_->PortLines().dtr, wired && (row.mcr & 0x01) != 0);
    EXPECT_EQ(far_->PortLines().rts, wired && (row.mcr & 0x02) != 0);
  }
}

}  // namespace
}  // namespace device_test
