#include "context/pool.h"
#include "datapath/receive_ring.h"
#include "host/pool.h"
#include "support/machine_test.h"

namespace {

constexpr ULONG kTag = DriverPoolTag;

struct WindowsVersionCase {
  const char* name;
  unsigned long major, minor, build;
  POOL_TYPE expected;
};

class PoolTypeByVersion : public MachineTest, public ::testing::WithParamInterface<WindowsVersionCase> {
 protected:
  host::MachineOptions Options() override {
    host::MachineOptions options;
    options.majorVersion = GetParam().major;
    options.minorVersion = GetParam().minor;
    options.buildNumber = GetParam().build;
    return options;
  }
};

// The no-execute pool exists from Windows 8 on; the emulated pool rejects it
// on older versions, so every allocation below also proves the type fits the
// version.
TEST_P(PoolTypeByVersion, NonPagedBlocksUseTheTypeTheKernelOffers) {
  EXPECT_EQ(SelectNonPagedPoolType(), GetParam().expected);

  const ULONG allocationsBefore = OutstandingAllocations;
  PVOID block = AllocatePoolMemory(SelectNonPagedPoolType(), 100);
  ASSERT_NE(block, nullptr);
  QUEUE_BUFFER ring{};
  ASSERT_EQ(InitQueueBuffer(&ring, 0x10000), STATUS_SUCCESS);
  EXPECT_EQ(host::pool::LiveCount(kTag), 2u);
  EXPECT_EQ(host::pool::LiveBytes(kTag), 100u + 0x10000u);
  EXPECT_EQ(OutstandingAllocations - allocationsBefore, 2u);

  FreeQueueBuffer(&ring);
  FreePoolMemory(block);
  EXPECT_EQ(host::pool::LiveCount(kTag), 0u);
  EXPECT_EQ(OutstandingAllocations, allocationsBefore);
}

INSTANTIATE_TEST_SUITE_P(Versions, PoolTypeByVersion,
                         ::testing::Values(WindowsVersionCase{"Windows7", 6, 1, 7601, NonPagedPool},
                                           WindowsVersionCase{"Windows8", 6, 2, 9200, NonPagedPoolNx},
                                           WindowsVersionCase{"Windows81", 6, 3, 9600, NonPagedPoolNx},
                                           WindowsVersionCase{"Windows10", 10, 0, 19045, NonPagedPoolNx}),
                         [](const auto& info) { return std::string(info.param.name); });

using Pool = MachineTest;

TEST_F(Pool, BlocksAreTaggedAndCountedUntilFreed) {
  const ULONG allocationsBefore = OutstandingAllocations;
  struct Request {
    POOL_TYPE type;
    ULONG size;
  };
  const Request requests[] = {{PagedPool, 18}, {SelectNonPagedPoolType(), 128}, {SelectNonPagedPoolType(), 66}};
  PVOID blocks[3] = {};
  size_t bytes = 0;
  for (size_t i = 0; i < 3; ++i) {
    blocks[i] = AllocatePoolMemory(requests[i].type, requests[i].size);
    ASSERT_NE(blocks[i], nullptr) << i;
    bytes += requests[i].size;
    EXPECT_EQ(host::pool::LiveCount(kTag), i + 1);
    EXPECT_EQ(host::pool::LiveBytes(kTag), bytes);
    EXPECT_EQ(OutstandingAllocations - allocationsBefore, i + 1);
  }
  for (size_t i = 3; i-- > 0;) {
    FreePoolMemory(blocks[i]);
    EXPECT_EQ(host::pool::LiveCount(kTag), i);
    EXPECT_EQ(OutstandingAllocations - allocationsBefore, i);
  }
}

TEST_F(Pool, FreeingNullChangesNothing) {
  PVOID held = AllocatePoolMemory(PagedPool, 8);
  ASSERT_NE(held, nullptr);
  const ULONG allocationsBefore = OutstandingAllocations;
  const size_t liveBefore = host::pool::TotalLiveCount();

  FreePoolMemory(nullptr);

  EXPECT_EQ(OutstandingAllocations, allocationsBefore);
  EXPECT_EQ(host::pool::TotalLiveCount(), liveBefore);
  FreePoolMemory(held);
}

TEST_F(Pool, ExhaustedPoolGivesNullAndLeavesTheCount) {
  const ULONG allocationsBefore = OutstandingAllocations;
  host::pool::FailNthAllocation(1, kTag);

  EXPECT_EQ(AllocatePoolMemory(SelectNonPagedPoolType(), 64), nullptr);
  EXPECT_EQ(host::pool::InjectedFailures(), 1u);
  EXPECT_EQ(OutstandingAllocations, allocationsBefore);
  EXPECT_EQ(host::pool::LiveCount(kTag), 0u);

  // The pool recovers and so does the count.
  PVOID block = AllocatePoolMemory(SelectNonPagedPoolType(), 64);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(OutstandingAllocations - allocationsBefore, 1u);
  FreePoolMemory(block);
  EXPECT_EQ(OutstandingAllocations, allocationsBefore);
}

}  // namespace
