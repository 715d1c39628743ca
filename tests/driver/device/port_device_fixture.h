// A one-port chip whose port the driver added and started, never opened: for
// the routines AddDevice and StartDevice run (naming, the settings file,
// worker threads, WMI), observed after the plug or called again on the real
// context. What the add and start should find (device key values, the
// settings file) is laid down by `prepare`, between the chip's arrival and
// the plug.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "emulator/kernel/pnp_manager.h"
#include "support/driver_fixture.h"

namespace device_test {

class PortDeviceTest : public DriverTest {
 protected:
  void PlugPort(const std::function<void(const std::string& deviceKey)>& prepare = {}) {
    board_ = &Pc().AddChip({.ports = 1});
    if (prepare) prepare(HardwareKey());
    ASSERT_EQ(Pc().Plug(*board_), std::vector<NTSTATUS>{STATUS_SUCCESS});
    fdo_ = Fdo(0);
    ctx_ = Context(0);
  }
  // The port's device key, in kernel::registry's form.
  std::string HardwareKey() const { return kernel::pnp::HardwareKeyPath(board_->InstancePath(0)); }

  chip::UsbChip* board_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  PPORT_DEVICE_CONTEXT ctx_ = nullptr;
};

// The fixture with the port plugged before each test.
class PluggedPortTest : public PortDeviceTest {
 protected:
  void SetUp() override {
    PortDeviceTest::SetUp();
    PlugPort();
  }
};

}  // namespace device_test
