// The power machine of the real driver, driven by the emulated power manager:
// system sleep and resume, device power requests of the port's own stack,
// failures below, and completions at DISPATCH_LEVEL.
#include <atomic>
#include <string>

#include "emulator/chip/register_map.h"
#include "emulator/kernel/pnp_manager.h"
#include "emulator/kernel/power_manager.h"
#include "emulator/kernel/registry.h"
#include "support/driver_fixture.h"
#include "support/port_requests.h"
#include "support/power_tap.h"
#include "support/settings_file.h"
#include "support/urb_tap.h"

namespace device_test {
namespace {

// A one-port chip whose settings-file record gives the port mode 5 and mode
// flag 1 alone (so that the two flags cannot be taken for each other), added and started, set to 19200 baud
// 7E1 by an application that closed it again. A closed port has no transfer in flight, so each kick of its
// worker threads shows as a transfer sent down.
class PowerTest : public DriverTest, protected port_test::PortRequests {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    board_ = &Pc().AddChip({.ports = 1});
    std::vector<uint8_t> file = settings_file::Neutral();
    file[settings_file::kFirstRecord + 1] = 0x02;  // mode flags
    file[settings_file::kFirstRecord + 2] = 5;     // port mode
    settings_file::Write(file);
    BeforePlug(kernel::pnp::HardwareKeyPath(board_->InstancePath(0)));
    urbs_.emplace(*board_);
    power_.emplace(*board_);
    ASSERT_EQ(Pc().Plug(*board_), std::vector<NTSTATUS>{STATUS_SUCCESS});
    ctx_ = Context(0);
    Configure();
  }
  // An application sets 19200 baud 7E1 and closes the port, which ends its
  // transfers; the logs start afresh.
  void Configure() {
    ASSERT_EQ(kernel::io::OpenFile(u"\\??\\COM3", GENERIC_READ | GENERIC_WRITE, 0, &file_), STATUS_SUCCESS);
    ULONG rate = 19200;
    SERIAL_LINE_CONTROL format = {STOP_BIT_1, EVEN_PARITY, 7};
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate).Status, STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, &format, sizeof format).Status, STATUS_SUCCESS);
    kernel::io::CloseFile(file_);
    file_ = nullptr;
    kernel::clock::RunUntilIdle();
    Chip().ClearRegisterLog();
    urbs_->Clear();
  }
  void TearDown() override {
    DriverTest::TearDown();
    power_.reset();
    urbs_.reset();
  }
  virtual void BeforePlug(const std::string& /*deviceKey*/) {}

  chip::Port& Chip() { return board_->port(0); }
  // Transfers sent down since the last Clear, by kind.
  size_t BulkIns() { return urbs_->TransfersOn(ctx_->InterfaceInfo->Pipes[1].PipeHandle); }
  size_t InterruptIns() { return urbs_->TransfersOn(ctx_->InterfaceInfo->Pipes[0].PipeHandle); }

  // A device set-power of the port's own stack, waited for; its final status.
  NTSTATUS SetDevicePower(DEVICE_POWER_STATE state) {
    struct Done {
      KEVENT event;
      NTSTATUS status;
    } done;
    KeInitializeEvent(&done.event, NotificationEvent, FALSE);
    POWER_STATE power;
    power.DeviceState = state;
    NTSTATUS status = PoRequestPowerIrp(
        Pdo(0), IRP_MN_SET_POWER, power,
        [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) NTAPI {
          auto d = static_cast<Done*>(context);
          d->status = io->Status;
          KeSetEvent(&d->event, IO_NO_INCREMENT, FALSE);
        },
        &done, nullptr);
    if (status != STATUS_PENDING) return status;
    KeWaitForSingleObject(&done.event, Executive, KernelMode, FALSE, nullptr);
    return done.status;
  }

  chip::UsbChip* board_ = nullptr;
  std::optional<urb_tap::UrbTap> urbs_;
  std::optional<power_tap::PowerTap> power_;
  PPORT_DEVICE_CONTEXT ctx_ = nullptr;
};

// The restore's first writes, in order: mode 5 on the pins, flag 1 into
// SERIAL_CONFIG_REG0 bit 3, the modem-status interrupt.
const std::vector<chip::RegisterAccess> kRestoreStart = {
    {0, true, chip::reg::kPinOutput, 0x50},
    {0, true, chip::reg::kSerialConfig0, 0x08},
    {0, true, chip::reg::kInterruptEnable, 0x08},
};

std::vector<chip::RegisterAccess> First(std::vector<chip::RegisterAccess> writes, size_t n) {
  writes.resize(std::min(n, writes.size()));
  return writes;
}

TEST_F(PowerTest, SleepAndResumeRestoreTheChipAfterItLostPower) {
  for (bool atDispatch : {false, true}) {
    SCOPED_TRACE(atDispatch ? "completions at DISPATCH_LEVEL" : "completions at PASSIVE_LEVEL");
    power_->CompleteAtDispatch(atDispatch);
    power_->Clear();

    ASSERT_EQ(kernel::power::SleepSystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
    EXPECT_EQ(Shared(ctx_->DevPowerState), ULONG(PowerDeviceD3));
    EXPECT_EQ(Shared(ctx_->SysPowerState), ULONG(PowerSystemSleeping3));
    EXPECT_EQ(Shared(ctx_->RearmViaThread), 1);
    EXPECT_TRUE(Chip().RegisterWrites().empty());  // nothing is programmed on the way down

    kernel::clock::RunUntilIdle();
    urbs_->Clear();
    ASSERT_EQ(kernel::power::ResumeSystem().status, STATUS_SUCCESS);
    // The system request finished only after the restore.
    EXPECT_EQ(First(Chip().RegisterWrites(), 3), kRestoreStart);
    EXPECT_EQ(Shared(ctx_->DevPowerState), ULONG(PowerDeviceD0));
    EXPECT_EQ(Shared(ctx_->SysPowerState), ULONG(PowerSystemWorking));
    EXPECT_EQ(Shared(ctx_->RestorePending), 0);
    // Both transfer threads were woken: each sent its transfer again.
    kernel::clock::RunUntilIdle();
    EXPECT_EQ(BulkIns(), 1u);
    EXPECT_EQ(InterruptIns(), 1u);
    chip::LineSettings line = Chip().Settings();
    EXPECT_NEAR(line.rate, 19200, 19200 * 0.03);
    EXPECT_EQ(line.dataBits, 7);
    EXPECT_EQ(line.parity, chip::Parity::Even);
    EXPECT_EQ(kernel::power::ReportedDeviceState(Pdo(0)), PowerDeviceD0);
    EXPECT_EQ(power_->CompletedAtDispatch() > 0, atDispatch);
    ASSERT_NO_FATAL_FAILURE(Configure());
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
    power_->SetRule([&c](const power_tap::PowerSeen& s) -> std::optional<power_tap::Answer> {
      if (s.type != DevicePowerState || s.minor != c.minor || s.state != PowerDeviceD3) return {};
      return power_tap::Answer{STATUS_DEVICE_DATA_ERROR};
    });
    kernel::power::TransitionResult result = kernel::power::SleepSystem(PowerSystemSleeping3);
    EXPECT_EQ(result.status, STATUS_DEVICE_DATA_ERROR);
    ASSERT_FALSE(result.failures.empty());
    EXPECT_EQ(result.failures[0].minorFunction, c.minor);
    EXPECT_EQ(result.failures[0].status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(kernel::power::SystemState(), c.after);
    power_->SetRule(nullptr);
    if (c.after != PowerSystemWorking) {
      EXPECT_EQ(kernel::power::ResumeSystem().status, STATUS_SUCCESS);
    }
  }
}

TEST_F(PowerTest, DeviceD0WhileInD0RestoresNothingUntilTheNextChange) {
  EXPECT_EQ(SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Shared(ctx_->RestorePending), 1);
  EXPECT_TRUE(Chip().RegisterWrites().empty());
  kernel::clock::RunUntilIdle();
  EXPECT_EQ(BulkIns(), 0u);

  // A power-down clears the pending restore and kicks both threads.
  EXPECT_EQ(SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(Shared(ctx_->RestorePending), 0);
  kernel::clock::RunUntilIdle();
  EXPECT_EQ(BulkIns(), 1u);
  EXPECT_EQ(InterruptIns(), 1u);
  EXPECT_TRUE(Chip().RegisterWrites().empty());

  EXPECT_EQ(SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Shared(ctx_->DevPowerState), ULONG(PowerDeviceD0));
  EXPECT_FALSE(Chip().RegisterWrites().empty());
}

// The port's device key enables wake-up before the plug.
class WakeEnabledTest : public PowerTest {
 protected:
  void BeforePlug(const std::string& deviceKey) override {
    kernel::registry::SetDword(deviceKey, "DeviceWakeEnable", 1);
  }
};

TEST_F(WakeEnabledTest, RemoteWakeIsArmedOncePerRestore) {
  std::atomic<int> arms{0};
  urbs_->SetRule([&arms](PURB urb) -> std::optional<NTSTATUS> {
    if (urb->UrbHeader.Function == URB_FUNCTION_SET_FEATURE_TO_DEVICE &&
        urb->UrbControlFeatureRequest.FeatureSelector == USB_FEATURE_REMOTE_WAKEUP) {
      ++arms;
    }
    return {};
  });
  ASSERT_EQ(kernel::power::SleepSystem(PowerSystemSleeping3).status, STATUS_SUCCESS);
  EXPECT_EQ(arms.load(), 1);
  EXPECT_TRUE(Chip().RemoteWakeEnabled());
  // The resume restores the settings, which disarms; the next step arms again.
  power_->CompleteAtDispatch(true);
  ASSERT_EQ(kernel::power::ResumeSystem().status, STATUS_SUCCESS);
  EXPECT_EQ(arms.load(), 2);
  EXPECT_EQ(Shared(ctx_->RemoteWakeArmed), 1);
  EXPECT_EQ(SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(arms.load(), 2);
}

}  // namespace
}  // namespace device_test
