// The emulated pool. Every block is tracked by address with its tag, type and
// size, followed by guard bytes that must be intact when it is freed. Freed
// blocks stay in a quarantine for a while, filled with a pattern (and poisoned
// under AddressSanitizer), so that a double free or a use after free is caught
// rather than hitting a block that was handed out again.
#include "emulator/kernel/pool.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/ke/scheduler.h"
#include "emulator/kernel/ke/verifier.h"
#include "platform/host/ex.h"
#include "platform/host/ke.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define POOL_POISON(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace kernel::pool {
namespace {

constexpr uint8_t kGuardFill = 0xFD;
constexpr size_t kMinimumGuard = 16;
constexpr size_t kQuarantineBlocks = 4096;
constexpr size_t kQuarantineBytes = 32u << 20;
// A larger block fails, as it would in a real machine's pool (and a driver
// asked for gigabytes must cope with the failure, not take the host's memory).
constexpr SIZE_T kLargestBlock = SIZE_T(256) << 20;
constexpr ULONG kProtectedPoolBit = 0x80000000;

struct Block {
  ULONG tag;
  POOL_TYPE type;
  size_t size;       // what the caller asked for
  size_t allocated;  // size plus guard, rounded to the alignment
};

struct Injection {
  unsigned countdown = 0;  // 0: off
  ULONG countdownTag = kAnyTag;
  std::unordered_map<ULONG, bool> failingTags;
  size_t failures = 0;
};

struct Pool {
  std::mutex lock;
  std::unordered_map<void*, Block> live;
  std::unordered_map<void*, Block> quarantined;
  std::deque<void*> quarantineOrder;
  size_t quarantineBytes = 0;
  Injection injection;
  bool checkLeaks = true;
  unsigned long majorVersion = 10, minorVersion = 0;
};

Pool& ThePool() {
  static auto* pool = new Pool;
  return *pool;
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

const char* TypeName(POOL_TYPE type) {
  switch (type) {
    case NonPagedPool:
      return "NonPagedPool";
    case PagedPool:
      return "PagedPool";
    case NonPagedPoolCacheAligned:
      return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned:
      return "PagedPoolCacheAligned";
    case NonPagedPoolNx:
      return "NonPagedPoolNx";
    case NonPagedPoolNxCacheAligned:
      return "NonPagedPoolNxCacheAligned";
    default:
      return "invalid pool type";
  }
}

// The no-execute types exist from Windows 8 on; older kernels reject them.
bool IsValidType(const Pool& pool, POOL_TYPE type) {
  switch (type) {
    case NonPagedPool:
    case PagedPool:
    case NonPagedPoolCacheAligned:
    case PagedPoolCacheAligned:
      return true;
    case NonPagedPoolNx:
    case NonPagedPoolNxCacheAligned:
      return pool.majorVersion > 6 || (pool.majorVersion == 6 && pool.minorVersion >= 2);
    default:
      return false;
  }
}

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = char((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

size_t Alignment(POOL_TYPE type) { return (type & 4) != 0 ? 64 : 16; }

void Release(void* p, const Block& block) {
  POOL_UNPOISON(p, block.allocated);
  std::free(p);
}

// Consumes one injected failure if this allocation is to fail (lock held).
bool InjectFailure(Injection& injection, ULONG tag) {
  bool fail = injection.failingTags.count(tag) != 0;
  if (injection.countdown != 0 && (injection.countdownTag == kAnyTag || injection.countdownTag == tag) &&
      --injection.countdown == 0)
    fail = true;
  if (fail) ++injection.failures;
  return fail;
}

void Quarantine(Pool& pool, void* p, const Block& block) {
  std::memset(p, kFreedFill, block.allocated);
  POOL_POISON(p, block.allocated);
  pool.quarantined.emplace(p, block);
  pool.quarantineOrder.push_back(p);
  pool.quarantineBytes += block.allocated;
  while (pool.quarantineOrder.size() > kQuarantineBlocks || pool.quarantineBytes > kQuarantineBytes) {
    void* oldest = pool.quarantineOrder.front();
    pool.quarantineOrder.pop_front();
    auto it = pool.quarantined.find(oldest);
    pool.quarantineBytes -= it->second.allocated;
    Release(oldest, it->second);
    pool.quarantined.erase(it);
  }
}

void CheckGuard(const void* p, const Block& block, const char* routine) {
  auto bytes = static_cast<const uint8_t*>(p);
  for (size_t i = block.size; i < block.allocated; ++i)
    if (bytes[i] != kGuardFill)
      verifier::Fail("pool overrun", routine, p,
                     "byte %zu past the end of a %zu-byte block tagged '%s' was overwritten", i - block.size,
                     block.size, TagText(block.tag).c_str());
}

// Takes the block out of the live set, failing on every misuse (lock taken here).
Block Unlink(void* p, ULONG tag, bool checkTag, const char* routine) {
  Pool& pool = ThePool();
  std::lock_guard guard(pool.lock);
  auto it = pool.live.find(p);
  if (it == pool.live.end()) {
    auto freed = pool.quarantined.find(p);
    if (freed != pool.quarantined.end())
      verifier::Fail("pool double free", routine, p, "block tagged '%s' of %zu bytes was already freed",
                     TagText(freed->second.tag).c_str(), freed->second.size);
    verifier::Fail("pool free of unknown pointer", routine, p, "not a block of the pool");
  }
  Block block = it->second;
  if (checkTag && ((block.tag ^ tag) & ~kProtectedPoolBit) != 0)
    verifier::Fail("pool free with wrong tag", routine, p, "block is tagged '%s', freed as '%s'",
                   TagText(block.tag).c_str(), TagText(tag).c_str());
  pool.live.erase(it);
  return block;
}

void Free(void* p, ULONG tag, bool checkTag, const char* routine) {
  Block block = Unlink(p, tag, checkTag, routine);
  verifier::CheckIrql(routine, p, IsPaged(block.type) ? APC_LEVEL : DISPATCH_LEVEL);
  POOL_UNPOISON(p, block.allocated);
  CheckGuard(p, block, routine);
  sched::CheckNoActiveObjects(p, block.size, routine);
  Pool& pool = ThePool();
  std::lock_guard guard(pool.lock);
  Quarantine(pool, p, block);
}

void ReleaseAll(Pool& pool) {
  for (auto& [p, block] : pool.live) Release(p, block);
  for (auto& [p, block] : pool.quarantined) Release(p, block);
  pool.live.clear();
  pool.quarantined.clear();
  pool.quarantineOrder.clear();
  pool.quarantineBytes = 0;
}

std::string LeakList(const Pool& pool) {
  std::string list;
  size_t shown = 0;
  for (const auto& [p, block] : pool.live) {
    if (++shown > 20) return list + " ...";
    list += " '" + TagText(block.tag) + "' " + TypeName(block.type) + " " + std::to_string(block.size) +
            " bytes;";
  }
  return list;
}

void Boot(const MachineOptions& options) {
  Pool& pool = ThePool();
  std::lock_guard guard(pool.lock);
  ReleaseAll(pool);
  pool.injection = Injection{};
  pool.checkLeaks = options.checkLeaksAtShutdown;
  pool.majorVersion = options.majorVersion;
  pool.minorVersion = options.minorVersion;
}

void Shutdown() {
  Pool& pool = ThePool();
  std::unique_lock guard(pool.lock);
  if (pool.checkLeaks && !pool.live.empty()) {
    std::string list = LeakList(pool);
    void* first = pool.live.begin()->first;
    size_t count = pool.live.size();
    guard.unlock();
    verifier::Fail("pool leak", "Machine shutdown", first, "%zu block(s) still allocated:%s", count,
                   list.c_str());
  }
  ReleaseAll(pool);
}

const bool registered = RegisterSubsystem({"pool", 10, Boot, Shutdown});

}  // namespace

size_t LiveCount(ULONG tag) {
  Pool& pool = ThePool();
  std::lock_guard guard(pool.lock);
  size_t count = 0;
  for (const auto& [p, block] : pool.live) count += block.tag == tag;
  return count;
}

size_t LiveBytes(ULONG tag) {
  Pool& pool = ThePool();
  std::lock_guard guard(pool.lock);
  size_t bytes = 0;
  for (const auto& [p, block] : pool.live)
    if (block.tag == tag) bytes += block.size;
  return bytes;
}

size_t TotalLiveCount() {
  Pool& pool = ThePool();
  std::lock_guard guard(pool.lock);
  return pool.live.size();
}

size_t TotalLiveBytes() {
  Pool& pool = ThePool();
  std::lock_guard guard(pool.lock);
  size_t bytes = 0;
  for (const auto& [p, block] : pool.live) bytes += block.size;
  return bytes;
}

void FailNthAllocation(unsigned nth, ULONG tag) {
  Pool& pool = ThePool();
  std::lock_guard guard(pool.lock);
  pool.injection.countdown = nth;
  pool.injection.countdownTag = tag;
}

void FailAllocationsWithTag(ULONG tag) {
  Pool& pool = ThePool();
  std::lock_guard guard(pool.lock);
  pool.injection.failingTags[tag] = true;
}

void ClearInjection() {
  Pool& pool = ThePool();
  std::lock_guard guard(pool.lock);
  size_t failures = pool.injection.failures;
  pool.injection = Injection{};
  pool.injection.failures = failures;
}

size_t InjectedFailures() {
  Pool& pool = ThePool();
  std::lock_guard guard(pool.lock);
  return pool.injection.failures;
}

}  // namespace kernel::pool

using kernel::pool::Block;

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
  static constexpr const char* kRoutine = "ExAllocatePoolWithTag";
  auto& pool = kernel::pool::ThePool();
  {
    std::lock_guard guard(pool.lock);
    if (!kernel::pool::IsValidType(pool, poolType))
      kernel::verifier::Fail("bad pool type", kRoutine, nullptr,
                             "pool type %d is not valid on Windows %lu.%lu", int(poolType), pool.majorVersion,
                             pool.minorVersion);
  }
  if (tag == 0) kernel::verifier::Fail("pool tag of zero", kRoutine, nullptr, "every block needs a tag");
  kernel::verifier::CheckIrql(kRoutine, nullptr,
                              kernel::pool::IsPaged(poolType) ? APC_LEVEL : DISPATCH_LEVEL);
  if (numberOfBytes > kernel::pool::kLargestBlock) return nullptr;

  size_t alignment = kernel::pool::Alignment(poolType);
  size_t allocated = (numberOfBytes + kernel::pool::kMinimumGuard + alignment - 1) / alignment * alignment;
  std::lock_guard guard(pool.lock);
  if (kernel::pool::InjectFailure(pool.injection, tag)) return nullptr;
  void* p = std::aligned_alloc(alignment, allocated);
  if (p == nullptr) return nullptr;
  std::memset(p, kernel::pool::kAllocatedFill, numberOfBytes);
  std::memset(static_cast<uint8_t*>(p) + numberOfBytes, kernel::pool::kGuardFill, allocated - numberOfBytes);
  POOL_POISON(static_cast<uint8_t*>(p) + numberOfBytes, allocated - numberOfBytes);
  pool.live.emplace(p, Block{tag, poolType, numberOfBytes, allocated});
  return p;
}

VOID ExFreePoolWithTag(PVOID p, ULONG tag) { kernel::pool::Free(p, tag, true, "ExFreePoolWithTag"); }

VOID ExFreePool(PVOID p) { kernel::pool::Free(p, 0, false, "ExFreePool"); }
