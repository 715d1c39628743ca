#include "emulator/chip/model_lock.h"

#include <cassert>
#include <mutex>
#include <vector>

namespace chip {
namespace {

std::recursive_mutex gLock;
int gDepth = 0;                                // guarded by gLock
std::vector<std::function<void()>> gDeferred;  // guarded by gLock

}  // namespace

ModelGuard::ModelGuard() {
  gLock.lock();
  ++gDepth;
}

ModelGuard::~ModelGuard() {
  std::vector<std::function<void()>> actions;
  if (--gDepth == 0) actions.swap(gDeferred);
  gLock.unlock();
  for (auto& action : actions) action();
}

void Defer(std::function<void()> action) {
  assert(gDepth > 0);
  gDeferred.push_back(std::move(action));
}

}  // namespace chip
