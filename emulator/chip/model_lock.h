// One lock guards every chip, cable and external end, since cables wire them
// together. Completions towards the bus driver and notifications towards
// tests run only after the lock is released, because they call back in.
#pragma once

#include <functional>

namespace chip {

class ModelGuard {
 public:
  ModelGuard();
  // Releases the lock; the outermost guard then runs the deferred actions.
  ~ModelGuard();
  ModelGuard(const ModelGuard&) = delete;
  ModelGuard& operator=(const ModelGuard&) = delete;
};

// Queues `action` to run once the current outermost guard is released.
// Callable only with the lock held.
void Defer(std::function<void()> action);

}  // namespace chip
