#include "emulator/kernel/machine.h"

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <vector>

#include "emulator/kernel/ke/verifier.h"

namespace kernel {
namespace {

std::vector<Subsystem>& Subsystems() {
  static auto* subsystems = new std::vector<Subsystem>;
  return *subsystems;
}

std::atomic<Machine*> g_current{nullptr};

std::string MakeTemporaryRoot() {
  std::string pattern = (std::filesystem::temp_directory_path() / "t7315-root-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr)
    verifier::Fail("cannot create the system root", "Machine", nullptr, "%s", pattern.c_str());
  return pattern;
}

}  // namespace

bool RegisterSubsystem(Subsystem subsystem) {
  auto& all = Subsystems();
  all.push_back(std::move(subsystem));
  std::stable_sort(all.begin(), all.end(),
                   [](const Subsystem& a, const Subsystem& b) { return a.order < b.order; });
  return true;
}

Machine::Machine(const MachineOptions& options) : options_(options) {
  Machine* expected = nullptr;
  if (!g_current.compare_exchange_strong(expected, this))
    verifier::Fail("a machine is already running", "Machine", expected);
  systemRoot_ = options.systemRoot;
  if (systemRoot_.empty()) {
    systemRoot_ = MakeTemporaryRoot();
    ownsSystemRoot_ = true;
  } else {
    std::filesystem::create_directories(systemRoot_);
  }
  options_.systemRoot = systemRoot_;
  for (const Subsystem& subsystem : Subsystems())
    if (subsystem.boot) subsystem.boot(options_);
}

Machine::~Machine() {
  auto& all = Subsystems();
  for (auto it = all.rbegin(); it != all.rend(); ++it)
    if (it->shutdown) it->shutdown();
  if (ownsSystemRoot_) {
    std::error_code ignored;
    std::filesystem::remove_all(systemRoot_, ignored);
  }
  g_current.store(nullptr);
}

Machine& Machine::Current() {
  Machine* machine = g_current.load();
  if (machine == nullptr) verifier::Fail("no machine is running", "Machine::Current", nullptr);
  return *machine;
}

bool Machine::Running() { return g_current.load() != nullptr; }

}  // namespace kernel
