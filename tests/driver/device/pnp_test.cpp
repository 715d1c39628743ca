// Plug and Play: the port's states, stop, capabilities and removal.
#include <vector>

#include "driver/device/create_device.h"
#include "driver/device/pnp.h"
#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/pnp_manager.h"
#include "support/direct_irp.h"
#include "support/driver_fixture.h"
#include "support/urb_tap.h"

namespace {

class PnpTest : public DriverTest {
 protected:
  void TearDown() override {
    DriverTest::TearDown();
    tap_.reset();
  }
  std::optional<urb_tap::UrbTap> tap_;
};

// A Plug and Play request sent straight to the port's device object, as the
// manager would send it outside its usual sequences.
NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR minor, PDEVICE_CAPABILITIES capabilities = nullptr) {
  return direct_irp::Send(device,
                          [&](PIRP, PIO_STACK_LOCATION next) {
                            next->MajorFunction = IRP_MJ_PNP;
                            next->MinorFunction = minor;
                            next->Parameters.DeviceCapabilities.Capabilities = capabilities;
                          })
      .Status;
}

using Step = void (*)(PDEVICE_OBJECT pdo, PDEVICE_OBJECT fdo);
void QueryStopCancel(PDEVICE_OBJECT pdo, PDEVICE_OBJECT) {
  EXPECT_EQ(kernel::pnp::QueryStopAndCancel(pdo), STATUS_SUCCESS);
}
void QueryRemoveCancel(PDEVICE_OBJECT pdo, PDEVICE_OBJECT) {
  EXPECT_EQ(kernel::pnp::QueryRemoveAndCancel(pdo), STATUS_SUCCESS);
}
void QueryStopStop(PDEVICE_OBJECT pdo, PDEVICE_OBJECT) {
  EXPECT_EQ(kernel::pnp::QueryStopAndStop(pdo), STATUS_SUCCESS);
}
void Stop(PDEVICE_OBJECT, PDEVICE_OBJECT fdo) { EXPECT_EQ(SendPnp(fdo, IRP_MN_STOP_DEVICE), STATUS_SUCCESS); }
// The manager sends no query-stop to a stopped device; the driver still
// must not take it for a working one.
void DirectQueryStopCancel(PDEVICE_OBJECT, PDEVICE_OBJECT fdo) {
  EXPECT_EQ(SendPnp(fdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(SendPnp(fdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
}
void Restart(PDEVICE_OBJECT pdo, PDEVICE_OBJECT) { EXPECT_EQ(kernel::pnp::Restart(pdo), STATUS_SUCCESS); }

struct StateCase {
  const char* what;
  std::vector<Step> steps;
  ULONG state;
  uint8_t configuration;  // the chip's, 0 once the driver deconfigured it
};
const StateCase kStateCases[] = {
    {"query-stop, cancel", {QueryStopCancel}, 1, 1},
    {"query-remove, cancel", {QueryRemoveCancel}, 1, 1},
    {"query-stop, stop: no deconfigure", {QueryStopStop}, 0, 1},
    {"stop from working: deconfigure", {Stop}, 0, 0},
    {"stopped, query-stop, cancel", {QueryStopStop, DirectQueryStopCancel}, 0, 1},
    {"stopped, query-remove, cancel", {QueryStopStop, QueryRemoveCancel}, 0, 1},
    {"stopped, restarted", {QueryStopStop, Restart}, 1, 1},
};
class PnpStates : public PnpTest, public testing::WithParamInterface<StateCase> {};

TEST_P(PnpStates, StopQueryAndCancelMoveThePort) {
  const StateCase& c = GetParam();
  SCOPED_TRACE(c.what);
  chip::UsbChip& board = PlugChip();
  for (Step step : c.steps) step(Pdo(0), Fdo(0));
  EXPECT_EQ(Shared(Context(0)->DeviceState), c.state);
  EXPECT_EQ(Shared(Context(0)->Started), c.state == 1 ? 1u : 0u);
  EXPECT_EQ(board.port(0).Configuration(), c.configuration);
}
INSTANTIATE_TEST_SUITE_P(Pnp, PnpStates, testing::ValuesIn(kStateCases));

// The bus's capabilities: DeviceState[S0] is D0, S1 to S3 map to `sleeping`, S4 and S5 to D3.
DEVICE_CAPABILITIES Capabilities(DEVICE_POWER_STATE sleeping, SYSTEM_POWER_STATE systemWake,
                                 DEVICE_POWER_STATE deviceWake) {
  DEVICE_CAPABILITIES c{};
  c.Size = sizeof c;
  c.Version = 1;
  c.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s)
    c.DeviceState[s] = s <= PowerSystemSleeping3 ? sleeping : PowerDeviceD3;
  c.SystemWake = systemWake;
  c.DeviceWake = deviceWake;
  return c;
}

TEST_F(PnpTest, CapabilitiesKeepThePortInD0AndDeriveTheWakeStates) {
  struct Case {
    const char* what;
    DEVICE_CAPABILITIES in;
    SYSTEM_POWER_STATE systemWake;
    bool d0, d1, d2, d3;  // WakeFromDx
  } cases[] = {
      {"wake from D3, no system wake given",
       Capabilities(PowerDeviceD3, PowerSystemUnspecified, PowerDeviceD3), PowerSystemSleeping3, false, false,
       false, true},
      {"wake from D2 in S3", Capabilities(PowerDeviceD2, PowerSystemSleeping3, PowerDeviceD2),
       PowerSystemSleeping3, true, false, true, false},
      {"no wake at all", Capabilities(PowerDeviceD3, PowerSystemUnspecified, PowerDeviceUnspecified),
       PowerSystemUnspecified, false, false, false, false},
      {"system wake beyond the table",
       Capabilities(PowerDeviceUnspecified, PowerSystemMaximum, PowerDeviceD1), PowerSystemMaximum, false,
       true, false, false},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    AdjustDeviceCapabilities(&c.in);
    for (int s = PowerSystemWorking; s <= PowerSystemShutdown; ++s)
      EXPECT_EQ(c.in.DeviceState[s], PowerDeviceD0) << s;
    EXPECT_TRUE(c.in.SurpriseRemovalOK);
    EXPECT_EQ(c.in.SystemWake, c.systemWake);
    EXPECT_EQ(bool(c.in.WakeFromD0), c.d0);
    EXPECT_EQ(bool(c.in.WakeFromD1), c.d1);
    EXPECT_EQ(bool(c.in.WakeFromD2), c.d2);
    EXPECT_EQ(bool(c.in.WakeFromD3), c.d3);
    if (c.d1) {
      EXPECT_TRUE(c.in.DeviceD1);
    }
    if (c.d2) {
      EXPECT_TRUE(c.in.DeviceD2);
    }
  }
}

TEST_F(PnpTest, ACapabilitiesQueryOfVersion0PassesThroughUntouched) {
  PlugChip();
  // The manager's own query after the start was adjusted and kept.
  EXPECT_TRUE(Context(0)->DeviceCapabilities.SurpriseRemovalOK);
  EXPECT_EQ(Context(0)->DeviceCapabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD0);
  for (USHORT version : {0, 1}) {
    DEVICE_CAPABILITIES c{};
    c.Size = sizeof c;
    c.Version = version;
    EXPECT_EQ(SendPnp(Fdo(0), IRP_MN_QUERY_CAPABILITIES, &c), STATUS_SUCCESS);
    EXPECT_EQ(bool(c.SurpriseRemovalOK), version == 1) << version;
    EXPECT_EQ(c.DeviceState[PowerSystemSleeping3], version == 1 ? PowerDeviceD0 : PowerDeviceD2) << version;
  }
}

TEST_F(PnpTest, TheInterfaceIsEnabledWhileStartedAndGoneAfterSurpriseRemoval) {
  chip::UsbChip& board = PlugChip({.ports = 2});
  auto enabled = [] {
    size_t n = 0;
    for (const kernel::io::DeviceInterface& i : kernel::io::DeviceInterfaces(PortInterfaceGuid))
      n += i.enabled;
    return n;
  };
  EXPECT_EQ(enabled(), 2u);
  board.Disconnect(1);
  kernel::pnp::WaitForPendingActions();
  EXPECT_EQ(enabled(), 1u);
  EXPECT_EQ(board.Pdo(1), nullptr);
  EXPECT_EQ(Shared(Context(0)->DeviceState), 1u);
}

TEST_F(PnpTest, RemovalWaitsForTheBulkInTransferInFlight) {
  chip::UsbChip& board = Pc().AddChip({.ports = 1});
  tap_.emplace(board);
  ASSERT_EQ(Pc().Plug(board), std::vector<NTSTATUS>{STATUS_SUCCESS});
  PPORT_DEVICE_CONTEXT ctx = Context(0);
  // As open does: reception allowed, the first bulk-in transfer asked for.
  // The bus keeps it, and answers its cancellation only 50 ms later.
  tap_->HoldInTransfers(50 * kMs);
  __atomic_store_n(&ctx->PortClosing, 0, __ATOMIC_SEQ_CST);
  KeSetEvent(&ctx->ReadPollEvent, IO_NO_INCREMENT, FALSE);
  kernel::clock::RunUntilIdle();
  ASSERT_EQ(Shared(ctx->IntUrbs[BulkInSlot].Idle), 0);
  int64_t before = Now();
  // Freeing the slot IRP before its cancelled transfer came back would be a
  // verifier failure; teardown checks that nothing is left.
  EXPECT_EQ(kernel::pnp::QueryRemoveAndRemove(Pdo(0)), STATUS_SUCCESS);
  EXPECT_GE(Now() - before, 50 * kMs);
  EXPECT_EQ(kernel::pnp::StateOf(board.Pdo(0)), kernel::pnp::DeviceState::NoDriver);
}

}  // namespace
