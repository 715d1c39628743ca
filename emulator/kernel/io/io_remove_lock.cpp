// Remove locks. The count starts at one (the lock's own bias); each
// successful acquire adds one. Release-and-wait marks the lock removed, drops
// the caller's hold and the bias, and waits until every other holder has
// released; from then on every acquire fails with STATUS_DELETE_PENDING.
// Holders are tracked by tag, as the kernel's checked build does, so that a
// release by a tag that holds nothing is caught.
#include <algorithm>
#include <iterator>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "emulator/kernel/io/io_internal.h"
#include "emulator/kernel/ke/verifier.h"

namespace {

using namespace kernel;

struct Holders {
  std::mutex lock;
  // A tag once for each acquisition it holds: a few a lock, and kept as a
  // list so that acquiring, an I/O at a time, allocates nothing once grown.
  std::unordered_map<PIO_REMOVE_LOCK, std::vector<PVOID>> tags;
};

Holders& H() {
  static auto* holders = new Holders;
  return *holders;
}

void CheckSize(PIO_REMOVE_LOCK lock, ULONG size, const char* routine) {
  if (size != sizeof(IO_REMOVE_LOCK))
    verifier::Fail("remove lock of the wrong size", routine, lock, "%u bytes, expected %zu", size,
                   sizeof(IO_REMOVE_LOCK));
}

void AddHolder(PIO_REMOVE_LOCK lock, PVOID tag) {
  Holders& h = H();
  std::lock_guard guard(h.lock);
  h.tags[lock].push_back(tag);
}

void RemoveHolder(PIO_REMOVE_LOCK lock, PVOID tag, const char* routine) {
  Holders& h = H();
  std::lock_guard guard(h.lock);
  auto it = h.tags.find(lock);
  if (it != h.tags.end()) {
    std::vector<PVOID>& held = it->second;
    const auto found = std::find(held.rbegin(), held.rend(), tag);  // the latest acquisitions go first
    if (found != held.rend()) {
      *found = held.back();
      held.pop_back();
      return;
    }
  }
  verifier::Fail("remove lock released without being acquired", routine, lock,
                 "tag %p holds no acquisition of this lock", tag);
}

}  // namespace

namespace kernel::io::internal {

void ForgetRemoveLocks(const void* begin, size_t size) {
  Holders& h = H();
  std::lock_guard guard(h.lock);
  const auto* first = static_cast<const char*>(begin);
  for (auto it = h.tags.begin(); it != h.tags.end();) {
    const auto* at = reinterpret_cast<const char*>(it->first);
    it = at >= first && at < first + size ? h.tags.erase(it) : std::next(it);
  }
}

void BootRemoveLocks() {
  Holders& h = H();
  std::lock_guard guard(h.lock);
  h.tags.clear();
}

}  // namespace kernel::io::internal

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                              ULONG HighWatermark, ULONG RemlockSize) {
  CheckSize(Lock, RemlockSize, "IoInitializeRemoveLockEx");
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
  Holders& h = H();
  std::lock_guard guard(h.lock);
  h.tags.erase(Lock);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                               ULONG RemlockSize) {
  verifier::CheckIrql("IoAcquireRemoveLockEx", RemoveLock, DISPATCH_LEVEL);
  CheckSize(RemoveLock, RemlockSize, "IoAcquireRemoveLockEx");
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST)) {
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
      KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
  }
  AddHolder(RemoveLock, Tag);
  return STATUS_SUCCESS;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  verifier::CheckIrql("IoReleaseRemoveLockEx", RemoveLock, DISPATCH_LEVEL);
  CheckSize(RemoveLock, RemlockSize, "IoReleaseRemoveLockEx");
  RemoveHolder(RemoveLock, Tag, "IoReleaseRemoveLockEx");
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
    KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  verifier::CheckIrql("IoReleaseRemoveLockAndWaitEx", RemoveLock, PASSIVE_LEVEL);
  CheckSize(RemoveLock, RemlockSize, "IoReleaseRemoveLockAndWaitEx");
  RemoveHolder(RemoveLock, Tag, "IoReleaseRemoveLockAndWaitEx");
  __atomic_store_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_SEQ_CST);
  InterlockedDecrement(&RemoveLock->Common.IoCount);
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}
