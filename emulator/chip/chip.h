// A simulated multi-port USB-to-UART bridge chip: one USB device per port.
// The pure model runs on any Scheduler; usb_bus.h puts it on the machine's
// clock and behind device objects.
#pragma once

#include <memory>
#include <vector>

#include "emulator/chip/chip_options.h"
#include "emulator/chip/port.h"

namespace chip {

class Chip {
 public:
  Chip(Scheduler& scheduler, ChipOptions options = {});
  ~Chip();
  Chip(const Chip&) = delete;
  Chip& operator=(const Chip&) = delete;

  const ChipOptions& Options() const { return options_; }
  int PortCount() const { return static_cast<int>(ports_.size()); }
  Port& port(int index) { return *ports_.at(index); }
  // Every port loses its registers, as after a power cycle.
  void LosePower();

 private:
  Scheduler& scheduler_;
  const ChipOptions options_;
  std::vector<std::unique_ptr<Port>> ports_;
};

}  // namespace chip
