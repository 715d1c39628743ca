// Vendor device-access requests against the simulated chip: raw registers,
// the two-wire memory on the pins, and the USB-level requests.
#include "driver/ioctl/vendor_access.h"
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

}  // namespace
}  // namespace ioctl_test
