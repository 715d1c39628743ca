// IRP allocation, initialisation, reuse and freeing, and the table of live
// IRPs that every other I/O routine checks an IRP against. Freed IRPs stay in
// a quarantine for a while, filled with a pattern (and poisoned under
// AddressSanitizer), so that a late use is reported as such rather than
// touching an IRP handed out again.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "emulator/kernel/io/io_internal.h"
#include "emulator/kernel/ke/verifier.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define IRP_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define IRP_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define IRP_POISON(p, n) ((void)(p), (void)(n))
#define IRP_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace kernel::io::internal {
namespace {

constexpr size_t kQuarantinedIrps = 512;
constexpr uint8_t kFreedFill = 0xDD;

struct Record {
  Origin origin;
  size_t bytes;  // 0 for driver memory
  std::function<void(PIRP)> finisher;
  int holds = 0;
  bool freed = false;  // freed while held: released when the last hold goes
};

struct Table {
  std::mutex lock;
  std::unordered_map<PIRP, Record> live;
  std::deque<std::pair<PIRP, size_t>> quarantine;
  std::unordered_set<PIRP> quarantined;
  unsigned failCountdown = 0;
};

Table& T() {
  static auto* table = new Table;
  return *table;
}

size_t RoundUp(size_t bytes) { return (bytes + 15) & ~size_t(15); }

void InitializeFields(PIRP irp, USHORT packetSize, CCHAR stackSize) {
  std::memset(static_cast<void*>(irp), 0, packetSize);
  irp->Type = IO_TYPE_IRP;
  irp->Size = packetSize;
  irp->StackCount = stackSize;
  irp->CurrentLocation = CHAR(stackSize + 1);
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

// Lock held. Moves the IRP's memory into the quarantine, releasing the oldest.
void QuarantineLocked(Table& t, PIRP irp, size_t bytes) {
  std::memset(static_cast<void*>(irp), kFreedFill, bytes);
  IRP_POISON(irp, bytes);
  t.quarantine.emplace_back(irp, bytes);
  t.quarantined.insert(irp);
  if (t.quarantine.size() <= kQuarantinedIrps) return;
  auto [oldest, oldestBytes] = t.quarantine.front();
  t.quarantine.pop_front();
  t.quarantined.erase(oldest);
  IRP_UNPOISON(oldest, oldestBytes);
  std::free(oldest);
}

// Lock held. Forgets the IRP, releasing its memory unless a hold keeps it.
void FreeLocked(Table& t, PIRP irp) {
  auto it = t.live.find(irp);
  if (it->second.holds > 0) {
    it->second.freed = true;
    return;
  }
  const size_t bytes = it->second.bytes;
  t.live.erase(it);
  if (bytes != 0) QuarantineLocked(t, irp, bytes);
}

[[noreturn]] void FailUnknown(PIRP irp, const char* routine, bool quarantined) {
  if (quarantined)
    verifier::Fail("IRP used after it was freed", routine, irp,
                   "the IRP was completed or freed before this call");
  verifier::Fail("IRP used after it was freed", routine, irp, "not an allocated IRP");
}

// Checks that the caller of IoFreeIrp, IoReuseIrp or IoInitializeIrp owns
// the IRP: nobody below still has it.
void CheckOwnedByCaller(PIRP irp, const char* routine) {
  if (HeldBelow(irp))
    verifier::Fail("IRP freed while a driver holds it", routine, irp,
                   "the IRP was passed down with IofCallDriver and has not been completed back");
}

}  // namespace

const char* OriginName(Origin origin) {
  switch (origin) {
    case Origin::Driver:
      return "driver";
    case Origin::DriverMemory:
      return "driver memory";
    case Origin::Threaded:
      return "threaded";
    case Origin::User:
      return "user";
  }
  return "?";
}

PIRP AllocateIrp(CCHAR stackSize, Origin origin, bool mustSucceed) {
  verifier::CheckIrql("IoAllocateIrp", nullptr, DISPATCH_LEVEL);
  if (stackSize < 0) return nullptr;
  Table& t = T();
  {
    std::lock_guard guard(t.lock);
    if (!mustSucceed && t.failCountdown != 0 && --t.failCountdown == 0) return nullptr;
  }
  const USHORT packetSize = IoSizeOfIrp(stackSize);
  const size_t bytes = RoundUp(packetSize);
  auto* irp = static_cast<PIRP>(std::aligned_alloc(16, bytes));
  if (irp == nullptr) return nullptr;
  InitializeFields(irp, packetSize, stackSize);
  std::lock_guard guard(t.lock);
  t.live[irp] = Record{origin, bytes};
  return irp;
}

void SetFinisher(PIRP irp, std::function<void(PIRP)> finisher) {
  Table& t = T();
  std::lock_guard guard(t.lock);
  t.live.at(irp).finisher = std::move(finisher);
}

void ReleaseIrp(PIRP irp) {
  Table& t = T();
  std::lock_guard guard(t.lock);
  FreeLocked(t, irp);
}

bool IsLive(PIRP irp) {
  Table& t = T();
  std::lock_guard guard(t.lock);
  auto it = t.live.find(irp);
  return it != t.live.end() && !it->second.freed;
}

void CheckLive(PIRP irp, const char* routine) {
  Table& t = T();
  std::lock_guard guard(t.lock);
  auto it = t.live.find(irp);
  if (it == t.live.end() || it->second.freed) FailUnknown(irp, routine, t.quarantined.count(irp) != 0);
}

Origin OriginOf(PIRP irp) {
  Table& t = T();
  std::lock_guard guard(t.lock);
  return t.live.at(irp).origin;
}

bool Hold(PIRP irp) {
  Table& t = T();
  std::lock_guard guard(t.lock);
  auto it = t.live.find(irp);
  if (it == t.live.end() || it->second.freed) return false;
  ++it->second.holds;
  return true;
}

void Unhold(PIRP irp) {
  Table& t = T();
  std::lock_guard guard(t.lock);
  auto it = t.live.find(irp);
  if (--it->second.holds == 0 && it->second.freed) FreeLocked(t, irp);
}

std::function<void(PIRP)> TakeFinisher(PIRP irp) {
  Table& t = T();
  std::lock_guard guard(t.lock);
  return std::move(t.live.at(irp).finisher);
}

void BootIrps() {
  Table& t = T();
  std::lock_guard guard(t.lock);
  t.failCountdown = 0;
}

void ShutdownIrps(bool checkLeaks) {
  Table& t = T();
  std::unique_lock guard(t.lock);
  size_t leaked = 0;
  PIRP first = nullptr;
  for (auto& [irp, record] : t.live)
    if (!record.freed && record.origin != Origin::DriverMemory) {
      ++leaked;
      if (first == nullptr) first = irp;
    }
  if (checkLeaks && leaked != 0) {
    const UCHAR major = first->CurrentLocation <= first->StackCount
                            ? IoGetCurrentIrpStackLocation(first)->MajorFunction
                            : 0xFF;
    verifier::Fail("IRP leak", "machine shutdown", first,
                   "%zu IRP(s) never freed; this one is a %s IRP, major function 0x%02x, "
                   "current location %d of %d",
                   leaked, OriginName(t.live[first].origin), major, first->CurrentLocation,
                   first->StackCount);
  }
  for (auto& [irp, record] : t.live)
    if (record.bytes != 0) std::free(irp);
  t.live.clear();
  for (auto [irp, bytes] : t.quarantine) {
    IRP_UNPOISON(irp, bytes);
    std::free(irp);
  }
  t.quarantine.clear();
  t.quarantined.clear();
}

}  // namespace kernel::io::internal

namespace kernel::io {

std::vector<IrpInfo> LiveIrps() {
  using namespace internal;
  Table& t = T();
  std::lock_guard guard(t.lock);
  std::vector<IrpInfo> irps;
  for (auto& [irp, record] : t.live) {
    if (record.freed) continue;
    const bool atDriver = irp->CurrentLocation <= irp->StackCount;
    PIO_STACK_LOCATION sp = atDriver ? IoGetCurrentIrpStackLocation(irp) : nullptr;
    irps.push_back(IrpInfo{irp, sp ? sp->MajorFunction : UCHAR(0xFF), sp ? sp->DeviceObject : nullptr,
                           OriginName(record.origin)});
  }
  return irps;
}

void FailNthIrpAllocation(unsigned nth) {
  internal::Table& t = internal::T();
  std::lock_guard guard(t.lock);
  t.failCountdown = nth;
}

}  // namespace kernel::io

using namespace kernel;
using namespace kernel::io::internal;

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) { return AllocateIrp(StackSize, Origin::Driver); }

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  verifier::CheckIrql("IoInitializeIrp", Irp, DISPATCH_LEVEL);
  if (PacketSize < IoSizeOfIrp(StackSize))
    verifier::Fail("IRP too small for its stack", "IoInitializeIrp", Irp,
                   "%u bytes cannot hold %d stack locations", PacketSize, StackSize);
  Table& t = T();
  {
    std::lock_guard guard(t.lock);
    auto it = t.live.find(Irp);
    if (it == t.live.end() || it->second.freed) t.live[Irp] = Record{Origin::DriverMemory, 0};
  }
  CheckOwnedByCaller(Irp, "IoInitializeIrp");
  InitializeFields(Irp, PacketSize, StackSize);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  verifier::CheckIrql("IoReuseIrp", Irp, DISPATCH_LEVEL);
  CheckLive(Irp, "IoReuseIrp");
  CheckOwnedByCaller(Irp, "IoReuseIrp");
  const UCHAR allocationFlags = Irp->AllocationFlags;
  InitializeFields(Irp, Irp->Size, Irp->StackCount);
  Irp->AllocationFlags = allocationFlags;
  Irp->IoStatus.Status = Iostatus;
}

VOID IoFreeIrp(PIRP Irp) {
  verifier::CheckIrql("IoFreeIrp", Irp, DISPATCH_LEVEL);
  CheckLive(Irp, "IoFreeIrp");
  const Origin origin = OriginOf(Irp);
  if (origin != Origin::Driver)
    verifier::Fail("IRP freed by the wrong owner", "IoFreeIrp", Irp,
                   "a %s IRP is not freed with IoFreeIrp: %s", OriginName(origin),
                   origin == Origin::DriverMemory
                       ? "IoAllocateIrp did not allocate it"
                       : "the I/O manager frees it when its completion reaches the top");
  CheckOwnedByCaller(Irp, "IoFreeIrp");
  ReleaseIrp(Irp);
}
