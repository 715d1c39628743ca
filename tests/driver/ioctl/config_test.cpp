// Configuration requests end to end: what the caller reads back, what the
// chip ends up with, and what a refused value leaves behind.
#include "emulator/kernel/pool.h"
#include "ioctl_fixture.h"

namespace ioctl_test {
namespace {

TEST_F(IoctlTest, SettingsReadBackAndRefusedValuesLeaveTheOldOnes) {
  SERIAL_CHARS chars{0x1A, 0x3F, 0x00, 0x7E, 0x55, 0x55};  // equal XON and XOFF are taken
  SERIAL_TIMEOUTS timeouts{0xFFFFFFFF, 0, 0xFFFFFFFF, 7, 6000};
  SERIAL_HANDFLOW handFlow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL, -1, 0x7FFFFFFF};
  struct Step {
    ULONG set, get;
    Bytes in;
    NTSTATUS status;
    Bytes readBack;
  };
  const Step steps[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, BytesOf(ULONG(115200)), STATUS_SUCCESS,
       BytesOf(ULONG(115200))},
      {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, BytesOf(ULONG(1201)), STATUS_INVALID_PARAMETER,
       BytesOf(ULONG(115200))},
      // 0 would mean "keep the rate" to the programming routine.
      {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, BytesOf(ULONG(0)), STATUS_INVALID_PARAMETER,
       BytesOf(ULONG(115200))},
      {IOCTL_SERIAL_SET_LINE_CONTROL,
       IOCTL_SERIAL_GET_LINE_CONTROL,
       {STOP_BITS_2, EVEN_PARITY, 7, 0xEE},
       STATUS_SUCCESS,
       {STOP_BITS_2, EVEN_PARITY, 7}},
      {IOCTL_SERIAL_SET_LINE_CONTROL,
       IOCTL_SERIAL_GET_LINE_CONTROL,
       {STOP_BIT_1, NO_PARITY, 9},
       STATUS_INVALID_PARAMETER,
       {STOP_BITS_2, EVEN_PARITY, 7}},
      {IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS, BytesOf(chars), STATUS_SUCCESS, BytesOf(chars)},
      {IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS, BytesOf(timeouts), STATUS_SUCCESS,
       BytesOf(timeouts)},
      {IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW, BytesOf(handFlow), STATUS_SUCCESS,
       BytesOf(handFlow)},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << std::hex << s.set << " " << int(s.in[0]));
    EXPECT_EQ(Ioctl(s.set, s.in).status, s.status);
    Result r = Ioctl(s.get, {}, ULONG(s.readBack.size()));
    EXPECT_EQ(r.information, s.readBack.size());
    EXPECT_EQ(r.out, s.readBack);
  }
}

TEST_F(IoctlTest, QueueSizeOnlyGrowsKeepsTheBytesAndShowsInTheProperties) {
  // Every field, and nothing beyond the 64 bytes: fields the port does not
  // set are zero, not what the buffer held.
  Bytes buffer(80, 0xAA);
  ASSERT_EQ(SendIrp(IOCTL_SERIAL_GET_PROPERTIES, 0, 80, &buffer).information, 64u);
  const uint32_t fresh[20] = {0x00020040, 1,    0,          0xFFFF,     0xFFFF,     0x10000000, 1,
                              0x1FB,      0x3F, 0x10000FFF, 0x1F07000F, 0xFFFF,     0xFFFF,     0,
                              0,          0,    0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA};
  EXPECT_EQ(buffer, Bytes((uint8_t*)fresh, (uint8_t*)fresh + 80));
  auto queues = [&] {
    auto p = Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES);
    return std::vector<ULONG>{p.MaxTxQueue, p.MaxRxQueue, p.CurrentTxQueue, p.CurrentRxQueue};
  };
  Inject(Packet({'a', 'b', 'c'}));
  const std::pair<ULONG, ULONG> steps[] = {
      {0x100, 0x10000}, {0x10000, 0x10000}, {0x20000, 0x20000}, {0x1FFFF, 0x20000}};
  for (auto [inSize, size] : steps) {
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(SERIAL_QUEUE_SIZE{inSize, 0xFFFFFFFF})).status,
              STATUS_SUCCESS);
    EXPECT_EQ(ctx_->ReceiveBuffer.Size, size);
  }
  EXPECT_EQ(queues(), std::vector<ULONG>(4, 0x1FFFF));
  // No storage for a larger ring: refused, the old one stays.
  kernel::pool::FailAllocationsWithTag(DriverPoolTag);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, BytesOf(SERIAL_QUEUE_SIZE{0x40000, 0})).status,
            STATUS_INSUFFICIENT_RESOURCES);
  kernel::pool::ClearInjection();
  EXPECT_EQ(ctx_->ReceiveBuffer.Size, 0x20000u);
  auto read = Read(3);
  ASSERT_TRUE(Await(read));
  EXPECT_EQ(read->Bytes(), (Bytes{'a', 'b', 'c'}));
}

TEST_F(IoctlTest, FifoControlKeepsTheFifosOnAndThePortsTrigger) {
  struct Step {
    ULONG rate;
    UCHAR trigger;
    ULONG value;
    uint8_t written;
  };
  const Step steps[] = {{9600, 0xC0, 0x00, 0xC1}, {1200, 0xC0, 0x00, 0x01}, {9600, 0xC0, 0xFFFFFF00, 0xC1},
                        {9600, 0x40, 0x06, 0x47}, {9600, 0xC0, 0xFF, 0xFF}, {300, 0x80, 0xFE, 0x3F}};
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << s.rate << " " << std::hex << s.value);
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, BytesOf(s.rate)).status, STATUS_SUCCESS);
    ctx_->RxFifoTrigger = s.trigger;
    TakeWrites();
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_FIFO_CONTROL, BytesOf(s.value)).status, STATUS_SUCCESS);
    EXPECT_EQ(TakeWrites(), (std::vector<std::pair<uint16_t, uint8_t>>{{0x122, s.written}}));
  }
  Chip().StallControlTransfers(1000);
  EXPECT_FALSE(NT_SUCCESS(Ioctl(IOCTL_SERIAL_SET_FIFO_CONTROL, BytesOf(ULONG(0))).status));
  Chip().StallControlTransfers(0);
}

}  // namespace
}  // namespace ioctl_test
