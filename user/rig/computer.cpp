#include "user/rig/computer.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "driver/driver_entry.h"
#include "emulator/kernel/clock.h"
#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/pnp_manager.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/registry.h"

namespace rig {
namespace {

constexpr ULONG kDriverTag = kernel::pool::Tag("7315");
constexpr char kRegistryFile[] = "registry.txt";
constexpr char kPortNameValue[] = "PortName";

// The number of "COM<n>", or 0 for any other name.
int ComNumber(const std::string& name) {
  if (name.size() < 4 || name.compare(0, 3, "COM") != 0) return 0;
  int n = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9' || n > 100000) return 0;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

kernel::MachineOptions MachineOptionsFor(const ComputerOptions& options) {
  kernel::MachineOptions m;
  m.clock = options.clock;
  m.checkLeaksAtShutdown = options.abortOnLeaks;
  if (!options.stateDir.empty()) {
    std::filesystem::path root = std::filesystem::path(options.stateDir) / "SystemRoot";
    std::error_code error;
    std::filesystem::create_directories(root, error);
    if (error)
      throw std::runtime_error("cannot create state folder " + root.string() + ": " + error.message());
    m.systemRoot = root.string();
  }
  return m;
}

}  // namespace

std::string ImageFromEnvironment() {
  const char* path = std::getenv("T7315_IMAGE");
  return path != nullptr ? path : "";
}

std::string LeakReport::Describe() const {
  if (Clean()) return "clean";
  std::string text;
  auto add = [&text](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
  if (!driverUnloaded) add("driver still loaded");
  if (poolBlocks != 0)
    add(std::to_string(poolBlocks) + " pool block(s) of " + std::to_string(poolBytes) +
        " byte(s) with the driver's tag");
  if (irps != 0) add(std::to_string(irps) + " IRP(s) never freed");
  return text;
}

Computer::Computer(ComputerOptions options) : options_(std::move(options)) {
  machine_.emplace(MachineOptionsFor(options_));
  if (!options_.stateDir.empty()) {
    std::string file = (std::filesystem::path(options_.stateDir) / kRegistryFile).string();
    std::string error;
    if (std::filesystem::exists(file) && !kernel::registry::Load(file, &error)) {
      machine_.reset();
      throw std::runtime_error("cannot load " + file + ": " + error);
    }
  }
  InstallDriver();
}

// The entry point is the native DriverEntry or the image's; both are called
// in the kernel's convention.
void Computer::InstallDriver() {
  PDRIVER_INITIALIZE entry = DriverEntry;
  if (!options_.image.empty()) {
    kernel::loader::LoadResult loaded = kernel::loader::LoadFile(options_.image);
    if (loaded.status != STATUS_SUCCESS) {
      machine_.reset();
      throw std::runtime_error("cannot load the driver image " + options_.image + ": " + loaded.problem);
    }
    image_ = std::move(loaded.image);
    entry = reinterpret_cast<PDRIVER_INITIALIZE>(image_->EntryPoint());
  }
  std::string problem;
  if (!kernel::pnp::InstallFromInf(T7315_INF_FILE, entry, &problem)) {
    machine_.reset();
    image_.reset();
    throw std::runtime_error("cannot install the driver: " + problem);
  }
}

Computer::~Computer() {
  if (!report_) Shutdown();
}

chip::UsbChip& Computer::AddChip(chip::ChipOptions options, int firstCom) {
  chips_.push_back(std::make_unique<chip::UsbChip>(options));
  chip::UsbChip& board = *chips_.back();
  for (int i = 0; i < board.PortCount(); ++i) {
    std::string key = kernel::pnp::HardwareKeyPath(board.InstancePath(i));
    std::optional<std::string> name = kernel::registry::GetString(key, kPortNameValue);
    if (!name) {
      int number = firstCom > 0 ? firstCom + i : nextCom_;
      name = "COM" + std::to_string(number);
      kernel::registry::SetString(key, kPortNameValue, *name);
    }
    nextCom_ = std::max(nextCom_, ComNumber(*name) + 1);
    ports_.push_back({.chip = &board, .index = i, .comName = *name});
  }
  return board;
}

std::vector<NTSTATUS> Computer::Plug(chip::UsbChip& board) {
  std::vector<NTSTATUS> statuses = board.Plug();
  for (Port& port : ports_) {
    if (port.chip == &board) port.startStatus = statuses.at(port.index);
  }
  return statuses;
}

chip::UsbChip& Computer::PlugChip(chip::ChipOptions options, int firstCom) {
  chip::UsbChip& board = AddChip(options, firstCom);
  Plug(board);
  return board;
}

const Port* Computer::FindPort(const std::string& comName) const {
  for (const Port& port : ports_) {
    if (port.comName == comName) return &port;
  }
  return nullptr;
}

PDEVICE_OBJECT Computer::PortDevice(const Port& port) const {
  if (port.chip == nullptr) return nullptr;
  PDEVICE_OBJECT pdo = port.chip->Pdo(port.index);
  if (pdo == nullptr) return nullptr;
  PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
  return top == pdo ? nullptr : top;
}

void Computer::RemoveAllDevices() {
  for (auto& board : chips_) {
    for (int i = 0; i < board->PortCount(); ++i) {
      PDEVICE_OBJECT pdo = board->Pdo(i);
      if (pdo == nullptr) continue;
      kernel::pnp::DeviceState state = kernel::pnp::StateOf(pdo);
      if (state == kernel::pnp::DeviceState::Started || state == kernel::pnp::DeviceState::Added) {
        kernel::pnp::QueryRemoveAndRemove(pdo);
      }
    }
  }
  // Whatever is left (a port still open, a surprise removal waiting) goes as
  // the chips are unplugged and destroyed.
  chips_.clear();
  kernel::pnp::WaitForPendingActions();
  for (Port& port : ports_) port.chip = nullptr;
}

LeakReport Computer::Measure() const {
  LeakReport report;
  report.driverUnloaded = kernel::pnp::LoadedDriver(kServiceName) == nullptr;
  report.poolBlocks = kernel::pool::LiveCount(kDriverTag);
  report.poolBytes = kernel::pool::LiveBytes(kDriverTag);
  report.irps = kernel::io::LiveIrps().size();
  return report;
}

LeakReport Computer::Shutdown() {
  if (report_) return *report_;
  // Nobody outside waits on the removal in real time; the driver's pauses as
  // each port's worker threads stop would only delay the exit.
  kernel::clock::SwitchToVirtual();
  RemoveAllDevices();
  report_ = Measure();
  std::string saveError;
  bool saved = true;
  if (!options_.stateDir.empty()) {
    saved = kernel::registry::Save((std::filesystem::path(options_.stateDir) / kRegistryFile).string(),
                                   &saveError);
  }
  // An unloaded image has nothing left running and is unmapped while the
  // machine still runs; one still loaded only once the machine has stopped.
  if (report_->driverUnloaded) image_.reset();
  machine_.reset();
  image_.reset();
  if (!saved) throw std::runtime_error("cannot save the registry: " + saveError);
  return *report_;
}

}  // namespace rig
