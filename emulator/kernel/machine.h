// One emulated machine: kernel state, clock, pool, registry, files and the
// Plug and Play manager live from construction to destruction of a Machine.
// Tests create one per test (virtual clock); the command-line tool creates
// one on real time.
#pragma once

#include <functional>
#include <string>

namespace kernel {

enum class ClockKind {
  Virtual,  // time moves only when every emulated thread waits (tests)
  Real,     // the host's monotonic clock (tools)
};

struct MachineOptions {
  ClockKind clock = ClockKind::Virtual;
  // Folder that stands for \SystemRoot; empty means a fresh temporary folder
  // that the machine removes when it shuts down.
  std::string systemRoot;
  // Windows version reported by PsGetVersion / RtlIsNtDdiVersionAvailable.
  unsigned long majorVersion = 10, minorVersion = 0, buildNumber = 19045;
  // Fail the run when pool blocks or IRPs are left at shutdown.
  bool checkLeaksAtShutdown = true;
};

class Machine {
 public:
  explicit Machine(const MachineOptions& options = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  static Machine& Current();  // verifier failure when none is running
  static bool Running();
  const MachineOptions& Options() const { return options_; }
  const std::string& SystemRoot() const { return systemRoot_; }

 private:
  MachineOptions options_;
  std::string systemRoot_;
  bool ownsSystemRoot_ = false;
};

// Each host module keeps its state in file-local globals and registers hooks
// that a Machine runs at boot (ascending order) and shutdown (descending).
struct Subsystem {
  const char* name;
  int order;
  std::function<void(const MachineOptions&)> boot;
  std::function<void()> shutdown;
};
bool RegisterSubsystem(Subsystem subsystem);  // call from a static initialiser

}  // namespace kernel
