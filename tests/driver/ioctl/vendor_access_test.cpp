// Vendor device-access requests against the simulated chip: raw registers,
// the two-wire memory on the pins, the USB-level requests, and every vendor
// request refused for its buffer sizes.
#include "driver/ioctl/vendor_access.h"
#include "driver/ioctl/vendor_config.h"
#include "ioctl_fixture.h"

namespace ioctl_test {
namespace {

using VendorAccess = VendorTest;

std::vector<uint8_t> Block(USHORT reg, USHORT count, std::vector<uint8_t> data = {}) {
  std::vector<uint8_t> bytes(sizeof(REGISTER_ACCESS_BLOCK), 0);
  std::memcpy(bytes.data(), &reg, 2);
  std::memcpy(bytes.data() + 2, &count, 2);
  std::copy(data.begin(), data.end(), bytes.begin() + 4);
  return bytes;
}

TEST_F(VendorAccess, ReadRegisterReturnsTheBlockWithTheRegisterContents) {
  Chip().Write(chip::reg::kModemControl, 0x0B);
  Result r = Ioctl(IOCTL_READ_REGISTER, Block(0x124, 1, {0x55, 0x66}), sizeof(REGISTER_ACCESS_BLOCK));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, sizeof(REGISTER_ACCESS_BLOCK));
  EXPECT_EQ(r.out[4], 0x0B);
  EXPECT_EQ(r.out[5], 0x66);  // beyond Count: the caller's byte
  EXPECT_EQ(r.out[0], 0x24);

  // A read the device keeps refusing still succeeds, with the caller's Data.
  Chip().StallControlTransfers(RegisterAccessAttempts);
  r = Ioctl(IOCTL_READ_REGISTER, Block(0x124, 1, {0x55}), sizeof(REGISTER_ACCESS_BLOCK));
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.out[4], 0x55);
}

TEST_F(VendorAccess, WriteRegisterWritesCountBytesAndReportsTheTransfer) {
  Result r = Ioctl(IOCTL_WRITE_REGISTER, Block(0x124, 1, {0x03, 0xFF}), 0);  // no output is needed
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(Chip().Peek(chip::reg::kModemControl), 0x03);
  EXPECT_EQ(Chip().RegisterWrites(), (std::vector<chip::RegisterAccess>{{0, true, 0x124, 0x03}}));

  Chip().StallControlTransfers(RegisterAccessAttempts);
  r = Ioctl(IOCTL_WRITE_REGISTER, Block(0x124, 1, {0x01}), sizeof(REGISTER_ACCESS_BLOCK));
  EXPECT_LT(r.status, 0);
  EXPECT_EQ(Chip().Peek(chip::reg::kModemControl), 0x03);
}

TEST_F(VendorAccess, TwoWireWriteThenReadAgainstTheMemory) {
  const uint8_t memory = 0x58;  // the chip's memory of port 0
  Result w = Ioctl(IOCTL_I2C_WRITE_BYTE, {memory, 0x10, 0xA5, 0x77}, 4);
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.information, 4u);
  EXPECT_EQ(w.out, (std::vector<uint8_t>{memory, 0x10, 0xA5, 0x00}));
  EXPECT_EQ(Chip().Memory(memory).Contents()[0x10], 0xA5);

  Chip().Memory(memory).Contents()[0x11] = 0x3C;
  Result r = Ioctl(IOCTL_I2C_READ_BYTE, {memory, 0x11, 0x00, 0x77}, 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.out, (std::vector<uint8_t>{memory, 0x11, 0x3C, 0x00}));

  // Nobody answers at 0x70: the whole sequence runs, the bus ends idle, and
  // only the acknowledge byte tells.
  r = Ioctl(IOCTL_I2C_READ_BYTE, {0x70, 0x11, 0x00, 0x00}, 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.out[0], 0x70);
  EXPECT_EQ(r.out[1], 0x11);
  EXPECT_EQ(r.out[3], 1);
  EXPECT_EQ(Chip().Peek(chip::reg::kPinOutput).value() & 0x30, 0x30);  // clock and data high
}

TEST_F(VendorAccess, UsbLevelRequests) {
  const LONG outstanding = ctx_->OutstandingIo;
  std::vector<uint8_t> descriptor = Chip().ConfigurationDescriptor();
  const ULONG total = static_cast<ULONG>(descriptor.size());

  Result r = Ioctl(IOCTL_GET_CONFIG_DESCRIPTOR, {}, total + 8);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_EQ(r.information, total);
  EXPECT_TRUE(std::equal(descriptor.begin(), descriptor.end(), r.out.begin()));

  r = Ioctl(IOCTL_GET_CONFIG_DESCRIPTOR, {}, 9);  // the needed size comes back with the failure
  EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(r.information, total);

  // The port's own open leaves FsContext empty.
  EXPECT_EQ(Ioctl(IOCTL_RESET_PIPE).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Ioctl(IOCTL_RESET_PORT).status, STATUS_SUCCESS);

  EXPECT_EQ(Ioctl(IOCTL_FEATURE_SET).status, STATUS_SUCCESS);
  EXPECT_TRUE(Chip().RemoteWakeEnabled());
  EXPECT_EQ(Ioctl(IOCTL_FEATURE_CLEAR).status, STATUS_SUCCESS);
  EXPECT_FALSE(Chip().RemoteWakeEnabled());  // the feature is the device's: cleared there
  Chip().StallControlTransfers(1);
  EXPECT_LT(Ioctl(IOCTL_FEATURE_SET).status, 0);  // the device's refusal is reported
  EXPECT_FALSE(Chip().RemoteWakeEnabled());
  EXPECT_EQ(ctx_->OutstandingIo, outstanding);

  PUSB_CONFIGURATION_DESCRIPTOR kept = ctx_->ConfigurationDescriptor;
  ctx_->ConfigurationDescriptor = nullptr;  // never configured
  r = Ioctl(IOCTL_GET_CONFIG_DESCRIPTOR, {}, total);
  ctx_->ConfigurationDescriptor = kept;
  EXPECT_EQ(r.status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(ctx_->OutstandingIo, outstanding);
}

// Every vendor request with buffers of the wrong size, or none: the named status and count, no register
// written, no context member changed, no byte of the caller's output touched.
using VendorBuffers = VendorTest;

struct VendorFields {
  ULONG baudRate, maxWriteLength;
  UCHAR portMode, portModeFlags, rxFifoTrigger, fifoTriggerLow, loopbackMode;
  bool operator==(const VendorFields&) const = default;
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
    return VendorFields{ctx_->BaudRate,      ctx_->MaxWriteLength, ctx_->PortMode,    ctx_->PortModeFlags,
                        ctx_->RxFifoTrigger, ctx_->FifoTriggerLow, ctx_->LoopbackMode};
  };
  const VendorFields before = snapshot();
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
