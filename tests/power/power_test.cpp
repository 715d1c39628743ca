// The power machine driven by the emulated power manager: system sleep and
// resume, device power requests of the port's own stack, failures below, and
// completions at DISPATCH_LEVEL.
#include "power_fixture.h"

namespace power_test {
namespace {

// The port's settings before a sleep: 19200 baud, 7 data bits, even parity,
// one stop bit, mode 5 on the pins and both mode flags.
void Configure(PPORT_DEVICE_CONTEXT ctx) {
  ctx->BaudRate = 19200;
  ctx->LineControl = {STOP_BIT_1, EVEN_PARITY, 7};
  ctx->PortMode = 5;
  ctx->PortModeFlags = 0x03;
}

// The restore's first writes, in order: mode 5 on the pins, both flags into
// SERIAL_CONFIG_REG0, the modem-status interrupt.
const std::vector<chip::RegisterAccess> kRestoreStart = {
    {0, true, chip::reg::kPinOutput, 0x50},
    {0, true, chip::reg::kSerialConfig0, 0x0C},
    {0, true, chip::reg::kInterruptEnable, 0x08},
};

std::vector<chip::RegisterAccess> First(std::vector<chip::RegisterAccess> writes, size_t n) {
  writes.resize(std::min(n, writes.size()));
  return writes;
}

TEST_F(PowerTest, SleepAndResumeRestoreTheChipAfterItLostPower) {
  for (bool atDispatch : {false, true}) {
    SCOPED_TRACE(atDispatch ? "completions at DISPATCH_LEVEL" : "completions at PASSIVE_LEVEL");
    Filter().completeAtDispatch = atDispatch;
    Configure(ctx_);

    ASSERT_EQ(host::power::SleepSystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
    EXPECT_EQ(ctx_->DevPowerState, ULONG(PowerDeviceD3));
    EXPECT_EQ(ctx_->SysPowerState, ULONG(PowerSystemSleeping3));
    EXPECT_EQ(ctx_->RearmViaThread, 1);
    EXPECT_TRUE(Chip().RegisterWrites().empty());  // nothing is programmed on the way down

    KeClearEvent(&ctx_->ReadPollEvent);
    KeClearEvent(&ctx_->IntPollEvent);
    ASSERT_EQ(host::power::ResumeSystem().status, STATUS_SUCCESS);
    // The system request finished only after the restore.
    EXPECT_EQ(First(Chip().RegisterWrites(), 3), kRestoreStart);
    EXPECT_EQ(ctx_->DevPowerState, ULONG(PowerDeviceD0));
    EXPECT_EQ(ctx_->SysPowerState, ULONG(PowerSystemWorking));
    EXPECT_EQ(ctx_->RestorePending, 0);
    EXPECT_TRUE(Signalled(ctx_->ReadPollEvent));
    EXPECT_TRUE(Signalled(ctx_->IntPollEvent));
    chip::LineSettings line = Chip().Settings();
    EXPECT_NEAR(line.rate, 19200, 19200 * 0.03);
    EXPECT_EQ(line.dataBits, 7);
    EXPECT_EQ(line.parity, chip::Parity::Even);
    EXPECT_EQ(host::power::ReportedDeviceState(Pdo()), PowerDeviceD0);
    EXPECT_EQ(Filter().powerAtDispatch.load() > 0, atDispatch);
    Chip().ClearRegisterLog();
  }
}

TEST_F(PowerTest, AFailedDevicePowerDownFailsTheSystemRequest) {
  struct Case {
    const char* what;
    UCHAR minor;
    SYSTEM_POWER_STATE after;
  } cases[] = {
      {"query D3 refused: the system stays awake", IRP_MN_QUERY_POWER, PowerSystemWorking},
      {"set D3 failed: the system sleeps, the failure is reported", IRP_MN_SET_POWER, PowerSystemSleeping3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Filter().failMinor = c.minor;
    Filter().failState = PowerDeviceD3;
    host::power::TransitionResult result = host::power::SleepSystem(PowerSystemSleeping3);
    EXPECT_EQ(result.status, STATUS_DEVICE_DATA_ERROR);
    ASSERT_FALSE(result.failures.empty());
    EXPECT_EQ(result.failures[0].minorFunction, c.minor);
    EXPECT_EQ(result.failures[0].status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(host::power::SystemState(), c.after);
    Filter().failMinor = 0xFF;
    if (c.after != PowerSystemWorking) {
      EXPECT_EQ(host::power::ResumeSystem().status, STATUS_SUCCESS);
    }
  }
}

TEST_F(PowerTest, DeviceD0WhileInD0RestoresNothingUntilTheNextChange) {
  EXPECT_EQ(SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(ctx_->RestorePending, 1);
  EXPECT_TRUE(Chip().RegisterWrites().empty());
  EXPECT_FALSE(Signalled(ctx_->ReadPollEvent));

  // A power-down clears the pending restore and kicks both threads.
  EXPECT_EQ(SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(ctx_->RestorePending, 0);
  EXPECT_TRUE(Signalled(ctx_->ReadPollEvent));
  EXPECT_TRUE(Signalled(ctx_->IntPollEvent));
  EXPECT_TRUE(Chip().RegisterWrites().empty());

  EXPECT_EQ(SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(ctx_->DevPowerState, ULONG(PowerDeviceD0));
  EXPECT_FALSE(Chip().RegisterWrites().empty());
}

TEST_F(PowerTest, RemoteWakeIsArmedOncePerRestore) {
  ctx_->DeviceWakeEnable = 1;
  ASSERT_EQ(host::power::SleepSystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_EQ(Filter().remoteWakeRequests.load(), 1);
  EXPECT_TRUE(Chip().RemoteWakeEnabled());
  // The resume restores the settings, which disarms; the next step arms again.
  Filter().completeAtDispatch = true;
  ASSERT_EQ(host::power::ResumeSystem().status, STATUS_SUCCESS);
  EXPECT_EQ(Filter().remoteWakeRequests.load(), 2);
  EXPECT_EQ(ctx_->RemoteWakeArmed, 1);
  EXPECT_EQ(SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Filter().remoteWakeRequests.load(), 2);
}

}  // namespace
}  // namespace power_test
