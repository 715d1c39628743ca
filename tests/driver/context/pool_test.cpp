#include <ostream>

#include "driver/context/pool.h"
#include "emulator/kernel/pool.h"
#include "support/machine_test.h"

namespace {

struct WindowsVersion {
  const char* name;
  unsigned long major, minor;
  POOL_TYPE expected;
};
// Cases print as their names (ctest lists them so).
void PrintTo(const WindowsVersion& c, std::ostream* os) { *os << c.name; }

class PoolByVersion : public MachineTest, public ::testing::WithParamInterface<WindowsVersion> {
 protected:
  kernel::MachineOptions Options() override {
    kernel::MachineOptions options;
    options.majorVersion = GetParam().major;
    options.minorVersion = GetParam().minor;
    return options;
  }
};

// The emulated pool rejects the no-execute type before Windows 8, so the
// allocation also proves that the type fits the version.
TEST_P(PoolByVersion, BlocksAreTaggedCountedAndOfTheTypeTheKernelOffers) {
  EXPECT_EQ(SelectNonPagedPoolType(), GetParam().expected);
  const ULONG allocationsBefore = OutstandingAllocations;

  PVOID nonPaged = AllocatePoolMemory(SelectNonPagedPoolType(), 100);
  PVOID paged = AllocatePoolMemory(PagedPool, 18);
  ASSERT_TRUE(nonPaged != nullptr && paged != nullptr);
  EXPECT_EQ(kernel::pool::LiveCount(DriverPoolTag), 2u);
  EXPECT_EQ(kernel::pool::LiveBytes(DriverPoolTag), 118u);
  EXPECT_EQ(OutstandingAllocations - allocationsBefore, 2u);

  FreePoolMemory(nonPaged);
  FreePoolMemory(paged);
  EXPECT_EQ(kernel::pool::LiveCount(DriverPoolTag), 0u);
  EXPECT_EQ(OutstandingAllocations, allocationsBefore);
}

INSTANTIATE_TEST_SUITE_P(Windows, PoolByVersion,
                         ::testing::Values(WindowsVersion{"7", 6, 1, NonPagedPool},
                                           WindowsVersion{"8", 6, 2, NonPagedPoolNx},
                                           WindowsVersion{"10", 10, 0, NonPagedPoolNx}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
