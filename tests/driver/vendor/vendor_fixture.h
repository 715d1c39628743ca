// The open port of the real driver, as the device-control tests have it,
// with what the vendor requests keep outside the driver: the settings file
// and the port's registry keys on the emulated computer.
#pragma once

#include <string>

#include "../ioctl/ioctl_fixture.h"
#include "emulator/kernel/files.h"
#include "emulator/kernel/pnp_manager.h"
#include "emulator/kernel/registry.h"
#include "support/settings_file.h"
#include "driver/uart/register_access.h"

namespace vendor_test {

using ioctl_test::Bytes;
using ioctl_test::BytesOf;
using ioctl_test::kUntouched;
using ioctl_test::Result;

class VendorTest : public ioctl_test::IoctlTest {
 protected:
  std::string InstancePath() const {
    std::u16string path = board_->InstancePath(0);
    return std::string(path.begin(), path.end());
  }
  static std::string InstanceKey(const std::string& path) {
    return "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" + path;
  }
  // The port's device key, where "PortName" and "BaudRate" live.
  std::string HardwareKey() const { return kernel::pnp::HardwareKeyPath(board_->InstancePath(0)); }

  static constexpr const char* kSettingsFile = settings_file::kPath;
  static constexpr size_t kSettingsSize = 0x600;
  static constexpr size_t kRecord = settings_file::kFirstRecord;  // this port's
};

}  // namespace vendor_test
