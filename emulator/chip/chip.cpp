#include "emulator/chip/chip.h"

#include "emulator/chip/model_lock.h"

namespace chip {

Chip::Chip(Scheduler& scheduler, ChipOptions options) : scheduler_(scheduler), options_(options) {
  ModelGuard guard;
  for (int i = 0; i < options_.ports; ++i) ports_.push_back(std::make_unique<Port>(scheduler_, options_, i));
}

Chip::~Chip() {
  ModelGuard guard;
  ports_.clear();
}

void Chip::LosePower() {
  ModelGuard guard;
  for (auto& port : ports_) port->LosePower();
}

}  // namespace chip
