// The line requests on the real driver: a port that is not in D0 is powered
// up through its own stack before DTR or RTS moves, and a failed power-up
// fails the request and leaves the line alone.
#include "chip/external_end.h"
#include "host/io_manager.h"
#include "support/driver_fixture.h"

namespace {

class LinePowerTest : public DriverTest {
 protected:
  std::optional<chip::ExternalEnd> far_;  // outlives the chip, which teardown removes
};

TEST_F(LinePowerTest, DtrAndRtsPowerTheDeviceFirst) {
  chip::UsbChip& board = PlugChip();
  chip::ExternalEnd& far = far_.emplace(board.Clock());
  chip::ConnectExternal(board.port(0), far);
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(host::io::OpenFile(u"\\??\\COM3", GENERIC_READ | GENERIC_WRITE, 0, &file), STATUS_SUCCESS);
  auto send = [&](ULONG code) {
    host::io::UserRequest q;
    q.majorFunction = IRP_MJ_DEVICE_CONTROL;
    q.ioControlCode = code;
    return host::io::SendUserRequest(file, std::move(q)).Status;
  };
  ASSERT_EQ(send(IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
  ASSERT_EQ(send(IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);

  // The power request's IRP is the second one allocated: it cannot be had.
  __atomic_store_n(&Context(0)->DevPowerState, ULONG(PowerDeviceD3), __ATOMIC_SEQ_CST);
  host::io::FailNthIrpAllocation(2);
  EXPECT_EQ(send(IOCTL_SERIAL_SET_DTR), STATUS_INSUFFICIENT_RESOURCES);
  host::io::FailNthIrpAllocation(0);
  EXPECT_FALSE(far.PortLines().dtr);

  const std::pair<ULONG, chip::ModemOutputs> steps[] = {{IOCTL_SERIAL_SET_DTR, {.rts = false, .dtr = true}},
                                                         {IOCTL_SERIAL_SET_RTS, {.rts = true, .dtr = true}}};
  for (auto [code, lines] : steps) {
    __atomic_store_n(&Context(0)->DevPowerState, ULONG(PowerDeviceD3), __ATOMIC_SEQ_CST);
    EXPECT_EQ(send(code), STATUS_SUCCESS);
    EXPECT_EQ(Shared(Context(0)->DevPowerState), ULONG(PowerDeviceD0));
    EXPECT_EQ(far.PortLines().dtr, lines.dtr);
    EXPECT_EQ(far.PortLines().rts, lines.rts);
  }
  host::io::CloseFile(file);
}

}  // namespace
