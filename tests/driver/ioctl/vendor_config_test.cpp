// Vendor configuration requests: what they change in the context, on the
// chip, in the device key, in the settings file record and, for the port
// name, in the instance's friendly name and the COM name database.
#include "driver/ioctl/vendor_config.h"
#include "ioctl_fixture.h"

namespace ioctl_test {
namespace {

using VendorConfig = VendorTest;

TEST_F(VendorConfig, RxFifoTriggerEncodingReadBackAndSettingsRecord) {
  settings_file::Write(std::vector<uint8_t>(kSettingsSize, 0x11));
  struct Case {
    ULONG level;
    UCHAR trigger, low;
    ULONG readBack;
  } cases[] = {{56, 0xC0, 0x08, 56}, {112, 0xC0, 0x0C, 112}, {16, 0x80, 0x04, 16},
               {1, 0x00, 0x00, 1},   {2, 0x00, 0x04, 2},     {3, 0x00, 0x04, 2} /* factor 3: low kept */};
  for (const Case& c : cases) {
    EXPECT_EQ(Ioctl(IOCTL_SET_RX_FIFO_TRIGGER, BytesOf(ULONG(c.level)), 4).status, STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(IOCTL_GET_RX_FIFO_TRIGGER, BytesOf(ULONG(0)), 4).As<ULONG>(), c.readBack) << c.level;
    EXPECT_EQ(ctx_->RxFifoTrigger, c.trigger) << c.level;
    EXPECT_EQ(ctx_->FifoTriggerLow, c.low) << c.level;
    std::vector<uint8_t> file = kernel::files::ReadWholeFile(kSettingsFile).value();
    EXPECT_EQ(file[kRecord + 5], c.trigger);
    EXPECT_EQ(file[kRecord + 6], c.low);
    EXPECT_EQ(file[kRecord + 4], 0x11);  // other bytes of the record stay
  }
}

TEST_F(VendorConfig, MaxWriteLengthIsClippedStoredAndUsedByTheSender) {
  settings_file::Write(std::vector<uint8_t>(kSettingsSize, 0));
  ctx_->LoopbackMode = 1;
  EXPECT_EQ(Ioctl(IOCTL_SET_MAX_WRITE_LENGTH, BytesOf(ULONG(1000)), 4).status, STATUS_SUCCESS);
  EXPECT_EQ(Ioctl(IOCTL_GET_MAX_WRITE_LENGTH, {}, 4).As<ULONG>(), 128u);
  EXPECT_EQ(ctx_->LoopbackMode, 0);
  EXPECT_EQ(kernel::files::ReadWholeFile(kSettingsFile).value()[kRecord + 4], 128);

  EXPECT_EQ(Ioctl(IOCTL_SET_MAX_WRITE_LENGTH, BytesOf(ULONG(16)), 4).status, STATUS_SUCCESS);
  auto write = Write(std::vector<uint8_t>(40, 0x5A));
  ASSERT_TRUE(Ends(write, STATUS_SUCCESS));
  size_t total = 0;
  for (const auto& chunk : Chunks()) {
    EXPECT_LE(chunk.size(), 16u);
    total += chunk.size();
  }
  EXPECT_EQ(total, 40u);
}

TEST_F(VendorConfig, PortModeGoesToContextRegisterAndRecord) {
  std::vector<uint8_t> file(kSettingsSize, 0);
  file[kRecord + 1] = 0x02;
  settings_file::Write(file);
  Chip().Write(chip::reg::kSerialConfig0, 0x01);
  ctx_->PortModeFlags = 0x02;

  Result r = Ioctl(IOCTL_SET_PORT_MODE, {5, 1, 1}, 3);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 3u);
  EXPECT_EQ(ctx_->PortMode, 5);
  EXPECT_EQ(ctx_->PortModeFlags, 0x03);  // bit 1 kept, byte 2 unused
  EXPECT_EQ(Chip().Peek(chip::reg::kSerialConfig0), 0x05);
  file = kernel::files::ReadWholeFile(kSettingsFile).value();
  EXPECT_EQ(file[kRecord + 1], 0x03);
  EXPECT_EQ(file[kRecord + 2], 5);
  EXPECT_EQ(Ioctl(IOCTL_GET_PORT_MODE, {0, 0, 0}, 3).out, (std::vector<uint8_t>{5, 1, 1}));

  EXPECT_EQ(Ioctl(IOCTL_SET_PORT_MODE, {2, 0, 0}, 3).status, STATUS_SUCCESS);
  EXPECT_EQ(Chip().Peek(chip::reg::kSerialConfig0), 0x01);
  // The two flags differ now, so they cannot be reported in each other's place.
  EXPECT_EQ(Ioctl(IOCTL_GET_PORT_MODE, {0, 0, 0}, 3).out, (std::vector<uint8_t>{2, 0, 1}));

  // A register read that fails writes nothing back and fails the request.
  Chip().ClearRegisterLog();
  Chip().StallControlTransfers(RegisterAccessAttempts);
  EXPECT_LT(Ioctl(IOCTL_SET_PORT_MODE, {2, 1, 0}, 3).status, 0);
  EXPECT_TRUE(Chip().RegisterWrites().empty());
}

// The index counts the chip's ports from 1, in the second byte.
TEST_F(VendorConfig, PortIndexCountsFromOneInTheSecondByte) {
  EXPECT_EQ(Get<ULONG>(IOCTL_GET_PORT_INDEX), 0x100u);
  ctx_->PortIndex = 2;
  EXPECT_EQ(Get<ULONG>(IOCTL_GET_PORT_INDEX), 0x300u);
}

}  // namespace
}  // namespace ioctl_test
