// Every vendor request with buffers of the wrong size, or none: the named
// status and count, no register written, no context member changed, no byte
// of the caller's output touched.
#include "driver/ioctl/vendor_access.h"
#include "driver/ioctl/vendor_config.h"
#include "ioctl_fixture.h"

namespace ioctl_test {
namespace {

using VendorBuffers = VendorTest;

struct Snapshot {
  ULONG baudRate, maxWriteLength;
  UCHAR portMode, portModeFlags, rxFifoTrigger, fifoTriggerLow, loopbackMode;
  bool operator==(const Snapshot&) const = default;
};

TEST_F(VendorBuffers, WrongSizesAreRefusedAndChangeNothing) {
  const ULONG kBlock = sizeof(REGISTER_ACCESS_BLOCK);
  std::vector<uint8_t> bigCount(kBlock, 0);
  bigCount[0] = 0x24;
  bigCount[1] = 0x01;
  bigCount[2] = 0x01;  // Count 257
  bigCount[3] = 0x01;
  struct Case {
    const char* what;
    ULONG code;
    std::vector<uint8_t> in;
    ULONG outLength;
    ULONG_PTR information;
  } cases[] = {
      {"stored rate, no output", IOCTL_GET_PORT_BAUDRATE, {}, 0, 0},
      {"stored rate, short output", IOCTL_GET_PORT_BAUDRATE, {}, 2, 0},
      {"set stored rate, output 8", IOCTL_SET_PORT_BAUDRATE, BytesOf(ULONG(57600)), 8, 4},
      {"set stored rate, input 2", IOCTL_SET_PORT_BAUDRATE, {0x00, 0xE1}, 4, 4},
      {"get mode, output 4", IOCTL_GET_PORT_MODE, {0, 0, 0}, 4, 3},
      {"set mode, input 2", IOCTL_SET_PORT_MODE, {5, 1}, 3, 3},
      {"set mode, input 4", IOCTL_SET_PORT_MODE, {5, 1, 1, 0}, 4, 3},
      {"set name, output 8", IOCTL_SET_PORT_NAME, BytesOf(ULONG(4)), 8, 0},
      {"set name, no input", IOCTL_SET_PORT_NAME, {}, 4, 0},
      {"port index, short output", IOCTL_GET_PORT_INDEX, {}, 3, 0},
      {"get max write, output 8", IOCTL_GET_MAX_WRITE_LENGTH, {}, 8, 0},
      {"set max write, input 1", IOCTL_SET_MAX_WRITE_LENGTH, {8}, 4, 0},
      {"get trigger, no input", IOCTL_GET_RX_FIFO_TRIGGER, {}, 4, 4},
      {"set trigger, output 8", IOCTL_SET_RX_FIFO_TRIGGER, BytesOf(ULONG(16)), 8, 4},
      {"two-wire read, no buffers", IOCTL_I2C_READ_BYTE, {}, 0, 0},
      {"two-wire read, input 2", IOCTL_I2C_READ_BYTE, {0x58, 0x00}, 4, 0},
      {"two-wire write, output 3", IOCTL_I2C_WRITE_BYTE, {0x58, 0x00, 0x12, 0x00}, 3, 0},
      {"read register, input 259", IOCTL_READ_REGISTER, std::vector<uint8_t>(kBlock - 1, 0), kBlock, 0},
      {"read register, output 261", IOCTL_READ_REGISTER, std::vector<uint8_t>(kBlock, 0), kBlock + 1, 0},
      {"read register, count 257", IOCTL_READ_REGISTER, bigCount, kBlock, 0},
      {"write register, input 261", IOCTL_WRITE_REGISTER, std::vector<uint8_t>(kBlock + 1, 0), 0, 0},
      {"write register, count 257", IOCTL_WRITE_REGISTER, bigCount, 0, 0},
  };
  ctx_->PortModeFlags = 0x02;
  auto snapshot = [&] {
    return Snapshot{ctx_->BaudRate,      ctx_->MaxWriteLength, ctx_->PortMode,    ctx_->PortModeFlags,
                    ctx_->RxFifoTrigger, ctx_->FifoTriggerLow, ctx_->LoopbackMode};
  };
  const Snapshot before = snapshot();
  for (const Case& c : cases) {
    Chip().ClearRegisterLog();
    Result r = Ioctl(c.code, c.in, c.outLength);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << c.what;
    EXPECT_EQ(r.information, c.information) << c.what;
    EXPECT_EQ(r.out, std::vector<uint8_t>(c.outLength, kUntouched)) << c.what;
    EXPECT_TRUE(Chip().RegisterLog().empty()) << c.what;
    EXPECT_TRUE(snapshot() == before) << c.what;
  }
}

}  // namespace
}  // namespace ioctl_test
