// The emulated computer on which the driver runs: a machine (virtual clock for
// tests, real clock for the tools), the driver installed under its service
// name, and simulated chips plugged into it whose ports are named COM3, COM4,
// ... through their device keys.
//
//   rig::Computer pc;                          // virtual clock, temporary state
//   chip::UsbChip& board = pc.AddChip({.ports = 4});  // COM3..COM6
//   chip::ConnectNullModem(board.port(0), board.port(1));
//   pc.Plug(board);                            // add and start every port
//   ... CreateFileA("\\\\.\\COM3", ...) ...
//   rig::LeakReport report = pc.Shutdown();    // remove, unload, count leaks
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/chip/usb_bus.h"
#include "emulator/kernel/loader.h"
#include "emulator/kernel/machine.h"

namespace rig {

// Service the driver is installed under.
inline constexpr char16_t kServiceName[] = u"Q2740xA_Port";
// First COM number handed out when a chip's ports are not numbered explicitly.
constexpr int kFirstComNumber = 3;

// The path in T7315_IMAGE, or empty.
std::string ImageFromEnvironment();

struct ComputerOptions {
  kernel::ClockKind clock = kernel::ClockKind::Virtual;
  // Folder that keeps the registry ("registry.txt") and \SystemRoot
  // ("SystemRoot/") across runs; created when missing. Empty: a temporary
  // \SystemRoot and a fresh registry.
  std::string stateDir;
  // The machine aborts at shutdown when pool blocks or IRPs are left (tests);
  // tools switch this off and print the Shutdown report instead.
  bool abortOnLeaks = true;
  // A Windows driver image (t7315ser.sys) to load and install instead of the
  // natively built driver; empty: the native one. Defaults to the
  // T7315_IMAGE environment variable, so that a suite runs against the image
  // unchanged.
  std::string image = ImageFromEnvironment();
};

// One port of a plugged chip.
struct Port {
  chip::UsbChip* chip = nullptr;
  int index = 0;                          // port of the chip
  std::string comName;                    // "COM3"
  NTSTATUS startStatus = STATUS_PENDING;  // of its add and start; STATUS_PENDING until plugged
  // "\\.\COM3", the name an application opens.
  std::string Path() const { return "\\\\.\\" + comName; }
};

// What was left behind once every device was removed and the driver unloaded.
struct LeakReport {
  bool driverUnloaded = false;
  size_t poolBlocks = 0;  // blocks with the driver's pool tag
  size_t poolBytes = 0;
  size_t irps = 0;  // IRPs allocated and never freed
  bool Clean() const { return driverUnloaded && poolBlocks == 0 && irps == 0; }
  // One line: "clean" or what leaked.
  std::string Describe() const;
};

class Computer {
 public:
  explicit Computer(ComputerOptions options = {});
  // Shuts down when Shutdown was not called.
  ~Computer();
  Computer(const Computer&) = delete;
  Computer& operator=(const Computer&) = delete;

  const ComputerOptions& Options() const { return options_; }

  // A chip connected to the machine but not yet reported, so that cables can
  // be attached first. Each port's device key gets "PortName" COM<n>, n
  // counting from `firstCom` (0: the number after the highest one handed out,
  // starting at kFirstComNumber), unless the key already holds a name (a
  // state folder keeps names across runs).
  chip::UsbChip& AddChip(chip::ChipOptions options = {}, int firstCom = 0);
  // Reports every port of the chip: the driver is added and started on each.
  // Returns the status of each port's start.
  std::vector<NTSTATUS> Plug(chip::UsbChip& chip);
  // AddChip and Plug together.
  chip::UsbChip& PlugChip(chip::ChipOptions options = {}, int firstCom = 0);

  // Every port of every chip, in the order they were added.
  const std::vector<Port>& Ports() const { return ports_; }
  // The port named `comName`, or nullptr.
  const Port* FindPort(const std::string& comName) const;
  // The port's own device object (the driver's), or nullptr when it has none.
  PDEVICE_OBJECT PortDevice(const Port& port) const;

  // Removes every device (orderly query-remove and remove where possible,
  // else as an unplug), lets the driver unload, counts what was left behind,
  // saves the state folder and stops the machine. Open handles must have been
  // closed. A real clock turns virtual first, so that the teardown's timeouts
  // and pauses take no wall time. Runs once; later calls return the first
  // report.
  LeakReport Shutdown();

 private:
  void RemoveAllDevices();
  LeakReport Measure() const;

  void InstallDriver();

  ComputerOptions options_;
  std::optional<kernel::Machine> machine_;
  std::unique_ptr<kernel::loader::Image> image_;  // when the driver runs from an image
  std::vector<std::unique_ptr<chip::UsbChip>> chips_;
  std::vector<Port> ports_;
  int nextCom_ = kFirstComNumber;
  std::optional<LeakReport> report_;
};

}  // namespace rig
