// The I/O manager as a subsystem of the machine: a fresh state at boot and,
// at shutdown, the leak report (files, IRPs, device and driver objects, with
// symbolic links listed) before everything is released.
#include "emulator/kernel/io/io_internal.h"
#include "emulator/kernel/machine.h"

namespace kernel::io::internal {
namespace {

bool g_checkLeaks = true;

void Boot(const MachineOptions& options) {
  g_checkLeaks = options.checkLeaksAtShutdown;
  ResetCallFrames();
  BootIrps();
  BootDevices();
  BootNamespace();
  BootInterfaces();
  BootRemoveLocks();
  BootCancel();
  BootFiles();
}

void Shutdown() {
  ShutdownFiles(g_checkLeaks);
  ShutdownIrps(g_checkLeaks);
  ShutdownDevices(g_checkLeaks);
  ShutdownDrivers(g_checkLeaks);
  ShutdownNamespace(g_checkLeaks);
  ResetCallFrames();
}

// After the pool (10) and handles (20), so that it shuts down before them.
const bool registered = RegisterSubsystem({"io", 30, Boot, Shutdown});

}  // namespace
}  // namespace kernel::io::internal
