// The rig itself: port names from the device keys, a state folder that keeps
// the registry and \SystemRoot across runs, and the leak report.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/pnp_manager.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/registry.h"
#include "platform/platform.h"
#include "user/rig/computer.h"

namespace {

std::string PortNameOf(chip::UsbChip& board, int i) {
  return kernel::registry::GetString(kernel::pnp::HardwareKeyPath(board.InstancePath(i)), "PortName")
      .value_or("");
}

TEST(Rig, ChipsArePluggedWithConsecutiveComNamesThatAStateFolderKeeps) {
  std::filesystem::path state =
      std::filesystem::temp_directory_path() / ("t7315-rig-" + std::to_string(::getpid()));
  std::filesystem::remove_all(state);
  {
    rig::Computer pc({.stateDir = state.string()});
    chip::UsbChip& first = pc.PlugChip({.ports = 2});
    chip::UsbChip& second = pc.PlugChip({.ports = 1});
    ASSERT_EQ(pc.Ports().size(), 3u);
    EXPECT_EQ(pc.Ports()[0].comName, "COM3");
    EXPECT_EQ(pc.Ports()[2].comName, "COM5");
    EXPECT_EQ(pc.Ports()[2].chip, &second);
    for (const rig::Port& port : pc.Ports()) EXPECT_EQ(port.startStatus, STATUS_SUCCESS) << port.comName;
    EXPECT_EQ(kernel::io::FindDevice(u"\\??\\COM4"), pc.PortDevice(pc.Ports()[1]));
    // A port renamed while the computer runs keeps its new name next time.
    kernel::registry::SetString(kernel::pnp::HardwareKeyPath(first.InstancePath(1)), "PortName", "COM9");
    std::ofstream(std::filesystem::path(kernel::Machine::Current().SystemRoot()) / "kept.txt") << "x";
    EXPECT_TRUE(pc.Shutdown().Clean());
  }
  EXPECT_TRUE(std::filesystem::exists(state / "registry.txt"));
  {
    rig::Computer pc({.stateDir = state.string()});
    chip::UsbChip& first = pc.AddChip({.ports = 2});
    EXPECT_EQ(PortNameOf(first, 0), "COM3");
    EXPECT_EQ(PortNameOf(first, 1), "COM9");
    // The same chip in the same place finds its name again; a new one is
    // numbered after the highest name in use.
    pc.AddChip({.ports = 1});
    pc.AddChip({.ports = 1});
    EXPECT_EQ(pc.Ports()[2].comName, "COM5");
    EXPECT_EQ(pc.Ports()[3].comName, "COM10");
    EXPECT_TRUE(
        std::filesystem::exists(std::filesystem::path(kernel::Machine::Current().SystemRoot()) / "kept.txt"));
  }
  std::filesystem::remove_all(state);
}

TEST(Rig, TheLeakReportNamesWhatTheDriverLeftBehind) {
  rig::Computer pc({.abortOnLeaks = false});
  pc.PlugChip({.ports = 1});
  PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kernel::pool::Tag("7315"));
  ASSERT_NE(block, nullptr);
  rig::LeakReport report = pc.Shutdown();
  EXPECT_FALSE(report.Clean());
  EXPECT_TRUE(report.driverUnloaded);
  EXPECT_EQ(report.poolBlocks, 1u);
  EXPECT_EQ(report.poolBytes, 40u);
  EXPECT_EQ(report.Describe(), "1 pool block(s) of 40 byte(s) with the driver's tag");
}

}  // namespace
