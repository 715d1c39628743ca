// The receive ring on its own: refused arguments, all-or-nothing pops, order
// across the wrap and growth (a full ring is the bulk-in tests').
#include <numeric>
#include <vector>

#include "driver/context/receive_ring.h"
#include "emulator/kernel/pool.h"
#include "support/machine_test.h"

namespace port_test {
namespace {

class ReceiveRingTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_EQ(InitQueueBuffer(&ring_, 16), STATUS_SUCCESS);
  }
  void TearDown() override {
    FreeQueueBuffer(&ring_);
    MachineTest::TearDown();
  }
  NTSTATUS Push(std::vector<uint8_t> bytes) {
    return PushQueueBufferEntry(&ring_, bytes.data(), static_cast<ULONG>(bytes.size()));
  }
  std::vector<uint8_t> Pop(ULONG n, NTSTATUS expected = STATUS_SUCCESS) {
    std::vector<uint8_t> out(n + 1, 0xEE);
    EXPECT_EQ(PopQueueBufferEntry(&ring_, out.data(), n), expected);
    out.resize(n);
    return out;
  }
  static std::vector<uint8_t> Run(uint8_t from, size_t n) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), from);
    return v;
  }
  QUEUE_BUFFER ring_{};
};

TEST_F(ReceiveRingTest, BadArgumentsChangeNothing) {
  Push(Run(1, 4));
  EXPECT_EQ(PushQueueBufferEntry(&ring_, nullptr, 3), STATUS_INVALID_PARAMETER);
  uint8_t byte = 9;
  EXPECT_EQ(PushQueueBufferEntry(&ring_, &byte, 0), STATUS_INVALID_PARAMETER);
  Pop(0, STATUS_ARRAY_BOUNDS_EXCEEDED);
  Pop(5, STATUS_ARRAY_BOUNDS_EXCEEDED);
  EXPECT_EQ(GetQueueBufferCount(&ring_), 4u);
  EXPECT_EQ(Pop(4), Run(1, 4));
  QUEUE_BUFFER none{};
  EXPECT_EQ(FreeQueueBuffer(&none), STATUS_SUCCESS);
  EXPECT_EQ(PushQueueBufferEntry(&none, &byte, 1), STATUS_INVALID_PARAMETER);
}

// Every start position and length: what goes in comes out in order, across
// the end of the storage.
TEST_F(ReceiveRingTest, ByteOrderSurvivesEveryWrapPosition) {
  for (ULONG start = 0; start < 16; ++start) {
    for (ULONG length = 1; length < 16; ++length) {
      ClearQueueBuffer(&ring_);
      Push(Run(0, start));
      Pop(start, start == 0 ? STATUS_ARRAY_BOUNDS_EXCEEDED : STATUS_SUCCESS);
      EXPECT_EQ(Push(Run(uint8_t(start * 16), length)), STATUS_SUCCESS);
      EXPECT_EQ(ring_.WriteIndex, (start + length) % 16);
      EXPECT_EQ(Pop(length), Run(uint8_t(start * 16), length)) << start << "+" << length;
      EXPECT_EQ(ring_.ReadIndex, ring_.WriteIndex);
    }
  }
  ClearQueueBuffer(&ring_);
  EXPECT_EQ(ring_.WriteIndex, 0u);
}

TEST_F(ReceiveRingTest, ResizeGrowsOnlyAndKeepsTheBytesInOrder) {
  Push(Run(0, 12));
  Pop(10);
  Push(Run(50, 9));  // wraps: 2 old bytes then 9 new ones
  std::vector<uint8_t> held = {10, 11};
  std::vector<uint8_t> more = Run(50, 9);
  held.insert(held.end(), more.begin(), more.end());
  PUCHAR storage = ring_.Buffer;
  EXPECT_EQ(ResizeQueueBuffer(&ring_, 8), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ResizeQueueBuffer(&ring_, 16), STATUS_SUCCESS);
  EXPECT_EQ(ring_.Buffer, storage);
  kernel::pool::FailNthAllocation(1);
  EXPECT_EQ(ResizeQueueBuffer(&ring_, 40), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(ring_.Size, 16u);
  EXPECT_EQ(ring_.Buffer, storage);
  EXPECT_EQ(ResizeQueueBuffer(&ring_, 40), STATUS_SUCCESS);
  EXPECT_EQ(ring_.ReadIndex, 0u);
  EXPECT_EQ(ring_.WriteIndex, 11u);
  EXPECT_EQ(GetQueueBufferCount(&ring_), 11u);
  EXPECT_EQ(Push(Run(0, 28)), STATUS_SUCCESS);
  EXPECT_EQ(Push(Run(0, 1)), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Pop(11), held);
}

}  // namespace
}  // namespace port_test
