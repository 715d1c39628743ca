// PoRequestPowerIrp and PoCallDriver as drivers use them.
#include "pnp_fixture.h"

namespace pnptest {
namespace {

struct Callback {
  KEVENT done;
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  UCHAR minor = 0xFF;
  POWER_STATE state{};
  PVOID context = nullptr;
  IO_STATUS_BLOCK ioStatus{};
  KIRQL irql = 0;
  Callback() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
  void Wait() { KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr); }
};

VOID NTAPI RecordCallback(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                          PIO_STATUS_BLOCK ioStatus) {
  auto* callback = static_cast<Callback*>(context);
  ++callback->calls;
  callback->device = device;
  callback->minor = minor;
  callback->state = state;
  callback->context = context;
  callback->ioStatus = *ioStatus;
  callback->irql = KeGetCurrentIrql();
  KeSetEvent(&callback->done, 0, FALSE);
}

POWER_STATE Device(DEVICE_POWER_STATE state) { return POWER_STATE{.DeviceState = state}; }

class PowerRequestTest : public PnpTest {
 protected:
  void SetUp() override {
    PnpTest::SetUp();
    InstallFunctionDriver();
    pdo_ = Plug(0);
  }
  PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(PowerRequestTest, TheCallbackGetsTheRequestAndTheStatusFromBelow) {
  const struct {
    const char* name;
    UCHAR minor;
    POWER_STATE state;
    NTSTATUS fromBelow;
    bool atDispatch;
    NTSTATUS status;
    DEVICE_POWER_STATE reported;
  } cases[] = {
      {"set D3", IRP_MN_SET_POWER, Device(PowerDeviceD3), STATUS_SUCCESS, false, STATUS_SUCCESS,
       PowerDeviceD3},
      {"set D0", IRP_MN_SET_POWER, Device(PowerDeviceD0), STATUS_SUCCESS, false, STATUS_SUCCESS,
       PowerDeviceD0},
      {"query D2", IRP_MN_QUERY_POWER, Device(PowerDeviceD2), STATUS_SUCCESS, false, STATUS_SUCCESS,
       PowerDeviceD0},
      {"set D3 failed below", IRP_MN_SET_POWER, Device(PowerDeviceD3), STATUS_DEVICE_POWER_FAILURE, false,
       STATUS_DEVICE_POWER_FAILURE, PowerDeviceD0},
      {"set D2 completed at DISPATCH_LEVEL", IRP_MN_SET_POWER, Device(PowerDeviceD2), STATUS_SUCCESS, true,
       STATUS_SUCCESS, PowerDeviceD2},
      {"wait-wake nobody handles", IRP_MN_WAIT_WAKE, POWER_STATE{PowerSystemSleeping3}, STATUS_SUCCESS, false,
       STATUS_NOT_SUPPORTED, PowerDeviceD2},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    Pdo& pdo = PdoOf(pdo_);
    pdo.devicePowerStatus = test.fromBelow;
    pdo.completePowerAtDispatch = test.atDispatch;
    size_t before = Copy(FdoAbove(pdo_).seen).size();
    const int started = kernel::power::StartNextPowerIrpCount();
    Callback callback;
    PIRP irp = nullptr;
    EXPECT_EQ(PoRequestPowerIrp(pdo_, test.minor, test.state, RecordCallback, &callback, &irp),
              STATUS_PENDING);
    EXPECT_NE(irp, nullptr);
    callback.Wait();
    EXPECT_EQ(callback.calls, 1);
    EXPECT_EQ(callback.device, pdo_);
    EXPECT_EQ(callback.minor, test.minor);
    EXPECT_EQ(callback.state.DeviceState, test.state.DeviceState);
    EXPECT_EQ(callback.context, &callback);
    EXPECT_EQ(callback.ioStatus.Status, test.status);
    EXPECT_EQ(callback.irql, test.atDispatch ? DISPATCH_LEVEL : PASSIVE_LEVEL);
    EXPECT_EQ(kernel::power::ReportedDeviceState(pdo_), test.reported);
    // The request went through the whole stack, from the top, as an unhandled request.
    std::vector<Seen> seen = Copy(FdoAbove(pdo_).seen);
    ASSERT_EQ(seen.size(), before + 1);
    EXPECT_EQ(seen.back().major, IRP_MJ_POWER);
    EXPECT_EQ(seen.back().minor, test.minor);
    EXPECT_EQ(seen.back().statusOnArrival, STATUS_NOT_SUPPORTED);
    if (test.minor != IRP_MN_WAIT_WAKE) {
      EXPECT_EQ(seen.back().powerType, DevicePowerState);
      EXPECT_EQ(seen.back().powerState.DeviceState, test.state.DeviceState);
    }
    kernel::pnp::WaitForPendingActions();
    EXPECT_TRUE(kernel::io::LiveIrps().empty());
    // Started again once by the function driver, once by the bus driver.
    EXPECT_EQ(kernel::power::StartNextPowerIrpCount() - started, 2);
  }
}

}  // namespace
}  // namespace pnptest
