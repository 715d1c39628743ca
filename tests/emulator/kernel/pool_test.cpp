// The emulated pool: accounting per tag, fill patterns, and one death test
// per pool rule.
#include <vector>

#include "emulator/kernel/pool.h"
#include "platform/host/ex.h"
#include "platform/host/ke.h"
#include "verifier_rules.h"

namespace {

using kernel::pool::Tag;
constexpr ULONG kTagA = Tag("TstA");
constexpr ULONG kTagB = Tag("TstB");

using PoolTest = MachineTest;

TEST_F(PoolTest, CountsLiveBlocksAndBytesPerTag) {
  struct Step {
    ULONG tag;
    POOL_TYPE type;
    SIZE_T size;
  };
  const Step steps[] = {{kTagA, NonPagedPoolNx, 100},
                        {kTagA, PagedPool, 0},
                        {kTagB, NonPagedPool, 64},
                        {kTagA, PagedPoolCacheAligned, 3}};
  std::vector<PVOID> blocks;
  for (const Step& step : steps) {
    PVOID block = ExAllocatePoolWithTag(step.type, step.size, step.tag);
    ASSERT_NE(block, nullptr);
    for (PVOID other : blocks) EXPECT_NE(block, other);
    blocks.push_back(block);
  }
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, SIZE_T(1) << 30, kTagA), nullptr)
      << "beyond the largest block";
  EXPECT_EQ(kernel::pool::LiveCount(kTagA), 3u);
  EXPECT_EQ(kernel::pool::LiveBytes(kTagA), 103u);
  EXPECT_EQ(kernel::pool::LiveCount(kTagB), 1u);
  EXPECT_EQ(kernel::pool::LiveBytes(kTagB), 64u);
  EXPECT_EQ(kernel::pool::TotalLiveCount(), 4u);
  EXPECT_EQ(kernel::pool::TotalLiveBytes(), 167u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks[3]) % 64, 0u) << "cache-aligned";

  ExFreePoolWithTag(blocks[0], kTagA);
  ExFreePool(blocks[2]);
  EXPECT_EQ(kernel::pool::LiveCount(kTagA), 2u);
  EXPECT_EQ(kernel::pool::LiveBytes(kTagA), 3u);
  EXPECT_EQ(kernel::pool::LiveCount(kTagB), 0u);
  ExFreePoolWithTag(blocks[1], kTagA);
  ExFreePoolWithTag(blocks[3], kTagA);
  EXPECT_EQ(kernel::pool::TotalLiveCount(), 0u);
}

TEST_F(PoolTest, FreshBlocksAreNotZeroed) {
  auto block = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTagA));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(block[i], kernel::pool::kAllocatedFill);
  ExFreePoolWithTag(block, kTagA);
}

// Windows 7: no no-execute pool yet.
class OldWindowsPoolTest : public MachineTest {
 protected:
  kernel::MachineOptions Options() override {
    return {.majorVersion = 6, .minorVersion = 1, .buildNumber = 7601};
  }
};

TEST_F(OldWindowsPoolTest, NoExecutePoolIsABadTypeBeforeWindows8) {
  ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA), kTagA);
  EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA),
               "VERIFIER: bad pool type: ExAllocatePoolWithTag.*pool type 512 is not valid on Windows 6.1");
}

const Violation kMisuses[] = {
    {"VERIFIER: bad pool type: ExAllocatePoolWithTag",
     [](auto&) { ExAllocatePoolWithTag(DontUseThisType, 8, kTagA); }},
    {"VERIFIER: pool tag of zero: ExAllocatePoolWithTag",
     [](auto&) { ExAllocatePoolWithTag(PagedPool, 8, 0); }},
    {"VERIFIER: IRQL too high: ExAllocatePoolWithTag",
     [](auto&) {
       KeRaiseIrqlToDpcLevel();
       ExAllocatePoolWithTag(PagedPool, 8, kTagA);
     }},
    {"VERIFIER: pool free with wrong tag: ExFreePoolWithTag.*tagged 'TstA', freed as 'TstB'",
     [](auto&) { ExFreePoolWithTag(ExAllocatePoolWithTag(PagedPool, 8, kTagA), kTagB); }},
    {"VERIFIER: pool double free: ExFreePoolWithTag",
     [](auto&) {
       PVOID block = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
       ExFreePoolWithTag(block, kTagA);
       ExFreePoolWithTag(block, kTagA);
     }},
    {"VERIFIER: pool free of unknown pointer: ExFreePool",
     [](auto&) {
       static char notPool[16];
       ExFreePool(notPool);
     }},
    {"(VERIFIER: pool overrun: ExFreePoolWithTag.*byte 0 past the end of a 10-byte block)|"
     "(AddressSanitizer: use-after-poison)",
     [](auto&) {
       auto block = static_cast<volatile uint8_t*>(ExAllocatePoolWithTag(PagedPool, 10, kTagA));
       block[10] = 0;  // one past the end
       ExFreePoolWithTag(const_cast<uint8_t*>(block), kTagA);
     }},
    {"VERIFIER: pool leak: Machine shutdown.*1 block\\(s\\) still allocated: 'TstA' NonPagedPoolNx 24 bytes",
     [](auto& machine) {
       ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTagA);
       machine.reset();
     }},
};

INSTANTIATE_TEST_SUITE_P(Pool, VerifierDeathTest, ::testing::ValuesIn(kMisuses));

}  // namespace
