// The settings file: defaults, the record a port reads, each field's check,
// short and missing files, and the record updates of the vendor requests.
#include <cstdio>
#include <vector>

#include "emulator/chip/register_map.h"
#include "driver/device/settings_file.h"
#include "emulator/kernel/files.h"
#include "port_device_fixture.h"
#include "support/settings_file.h"
#include "driver/uart/register_map.h"

namespace device_test {
namespace {

constexpr const char* kFile = settings_file::kPath;

// The fields the file supplies, as one comparable value.
struct Settings {
  ULONG maxWriteLength;
  UCHAR rxFifoTrigger, fifoTriggerLow, loopback, portMode, portModeFlags;
  UCHAR clockMode, clockSelect, clockParam, setupHigh, setupBit0, setupLevel;
  bool operator==(const Settings&) const = default;
};
constexpr Settings kDefaults{32, 0xC0, 0x0B, 0, 0, 0, 0xFF, 0x01, 0x01, 0x07, 0, 16};

// LoadPortSettings called again on the started port, for what each case puts
// in the file and the context.
class SettingsTest : public PluggedPortTest {
 protected:
  Settings Loaded() {
    LoadPortSettings(ctx_);
    return {ctx_->MaxWriteLength, ctx_->RxFifoTrigger, ctx_->FifoTriggerLow, ctx_->LoopbackMode,
            ctx_->PortMode,       ctx_->PortModeFlags, ctx_->BaudClockMode,  ctx_->BaudClockSelect,
            ctx_->BaudClockParam, ctx_->PortSetupHigh, ctx_->PortSetupBit0,  ctx_->PortSetupLevel};
  }
  static std::vector<uint8_t> NeutralFile() { return settings_file::Neutral(); }
  static void Write(const std::vector<uint8_t>& file) { settings_file::Write(file); }
};

TEST_F(SettingsTest, EachRecordByteIsCheckedAsItIsTaken) {
  struct Case {
    size_t offset;  // in the file
    uint8_t value;
    Settings expected;
  };
  auto with = [](auto change) {
    Settings s = kDefaults;
    s.fifoTriggerLow = 0x00;  // the neutral file's byte 6
    change(s);
    return s;
  };
  const Case cases[] = {
      {0x204, 200, with([](Settings& s) { s.maxWriteLength = 128; })},
      {0x204, 0, with([](Settings& s) { s.maxWriteLength = 0; })},
      {0x205, 0x41, with([](Settings&) {})},
      {0x205, 0x80, with([](Settings& s) { s.rxFifoTrigger = 0x80; })},
      {0x206, 0x0C, with([](Settings& s) { s.fifoTriggerLow = 0x0C; })},
      {0x206, 0x0B, with([](Settings& s) { s.fifoTriggerLow = 0x0B; })},
      {0x20A, 0x85, with([](Settings& s) { s.setupHigh = 5, s.setupBit0 = 1; })},
      {0x20A, 0x15, with([](Settings&) {})},
      {0x20B, 20, with([](Settings&) {})},
      {0x20B, 12, with([](Settings& s) { s.setupLevel = 12; })},
      {0x201, 0xFF, with([](Settings& s) { s.portModeFlags = 0xFF; })},
      {0x202, 9, with([](Settings& s) { s.portMode = 9; })},
      {0x207, 0x12, with([](Settings& s) { s.clockMode = 0x12; })},
      {0x208, 0x05, with([](Settings& s) { s.clockSelect = 0x05; })},  // not the parameter beside it
      {0x1FF, 1, with([](Settings& s) { s.loopback = 1; })},
      {0x1FF, 2, with([](Settings&) {})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "byte 0x" << std::hex << c.offset << " = 0x" << int(c.value));
    std::vector<uint8_t> file = NeutralFile();
    file[c.offset] = c.value;
    Write(file);
    ctx_->PortMode = 0;
    ctx_->PortModeFlags = 0;
    EXPECT_EQ(Loaded(), c.expected);
  }
}

TEST_F(SettingsTest, TheRecordFollowsChipModeAndPortIndex) {
  struct Case {
    UCHAR chipMode;
    ULONG portIndex;
    int record;  // offset of the record read, -1: none (defaults)
  };
  const Case cases[] = {
      {0, 2, 0x220},  {1, 2, 0x320}, {3, 14, 0x5E0}, {0, 0xFFFFFFFF, 0x1F0},
      {3, 15, 0x5F0}, {3, 16, -1},   {0, 200, -1},
  };
  std::vector<uint8_t> file(0x600, 0);
  for (size_t offset = 0x1F0; offset < 0x600; offset += 16) file[offset + 4] = uint8_t(offset / 16);
  Write(file);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "chip mode " << int(c.chipMode) << " port " << LONG(c.portIndex));
    ctx_->ChipMode = c.chipMode;
    ctx_->PortIndex = c.portIndex;
    EXPECT_EQ(Loaded().maxWriteLength, c.record < 0 ? 32u : ULONG(std::min(c.record / 16, 128)));
  }
}

// A short file supplies the bytes it has; every other field keeps its
// default. Files that cannot be read leave everything at the defaults.
TEST_F(SettingsTest, ShortMissingAndBusyFilesKeepTheDefaults) {
  std::vector<uint8_t> file = NeutralFile();
  file[0x1FF] = 1;
  file[0x204] = 100;
  file[0x205] = 0x41;  // rejected
  file[0x206] = 0x04;
  file.resize(0x206);  // ends before byte 6
  Write(file);
  Settings expected = kDefaults;
  expected.maxWriteLength = 100;
  expected.loopback = 1;
  EXPECT_EQ(Loaded(), expected);

  file.resize(0x100);
  Write(file);
  EXPECT_EQ(Loaded(), kDefaults);

  Write(NeutralFile());
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, SETTINGS_FILE_NAME);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE holder;
  IO_STATUS_BLOCK io;
  ASSERT_EQ(ZwCreateFile(&holder, GENERIC_READ, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                         FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
            STATUS_SUCCESS);
  ctx_->MaxWriteLength = 77;
  ctx_->LoopbackMode = 1;
  EXPECT_EQ(Loaded(), kDefaults);
  EXPECT_EQ(kernel::files::OpenHandles(kFile), 1u);
  ZwClose(holder);

  ASSERT_EQ(std::remove(kernel::files::HostPath(kFile).c_str()), 0);
  ctx_->PortMode = 5;
  ctx_->PortModeFlags = 2;
  Settings kept = kDefaults;
  kept.portMode = 5;
  kept.portModeFlags = 2;
  EXPECT_EQ(Loaded(), kept);
  EXPECT_FALSE(kernel::files::ReadWholeFile(kFile).has_value());
  EXPECT_EQ(kernel::files::OpenHandles(kFile), 0u);
}

// The two-wire probe addresses the memory of the port's group: the address
// byte is read back off the clock and data pin writes.
TEST_F(SettingsTest, ProbeAddressesTheMemoryOfThePortsGroup) {
  struct Case {
    ULONG portIndex;
    uint8_t address;
  };
  for (const Case& c :
       {Case{0, 0x58}, Case{3, 0x58}, Case{4, 0x56}, Case{7, 0x56}, Case{8, 0x54}, Case{0xFFFFFFFF, 0x58}}) {
    SCOPED_TRACE(testing::Message() << "port " << LONG(c.portIndex));
    chip::Port& port = board_->port(0);
    std::optional<uint8_t> before = port.Read(chip::reg::kPinOutput);
    ASSERT_TRUE(before.has_value());
    uint8_t pins = *before;
    port.ClearRegisterLog();
    ctx_->PortIndex = c.portIndex;
    LoadPortSettings(ctx_);
    // Bits are sampled when the clock rises; the probe sends the address
    // byte, then releases data for the acknowledge.
    bool scl = pins & I2C_CLOCK;
    int bits = 0, address = 0;
    for (const chip::RegisterAccess& a : port.RegisterWrites()) {
      if (a.address != chip::reg::kPinOutput) continue;
      bool nscl = a.value & I2C_CLOCK, nsda = a.value & I2C_DATA;
      if (!scl && nscl && bits < 8) address = address << 1 | (nsda ? 1 : 0), ++bits;
      scl = nscl;
    }
    EXPECT_EQ(bits, 8);
    EXPECT_EQ(address, c.address);
  }
}

TEST_F(SettingsTest, RecordUpdatesChangeOnlyThisPortsRecord) {
  std::vector<uint8_t> original(0x600);
  for (size_t i = 0; i < original.size(); ++i) original[i] = uint8_t(i * 7);
  Write(original);
  ctx_->ChipMode = 1;
  ctx_->PortIndex = 2;  // record at 0x320
  auto edit = [](PUCHAR record, PVOID context) {
    record[RecordMaxWriteLength] = *static_cast<PUCHAR>(context);
  };
  UCHAR value = 99;
  EXPECT_EQ(UpdatePortSettingsRecord(ctx_, edit, &value), STATUS_SUCCESS);
  std::vector<uint8_t> expected = original;
  expected[0x324] = 99;
  EXPECT_EQ(kernel::files::ReadWholeFile(kFile), expected);
  UCHAR read = 0;
  EXPECT_EQ(ReadPortSettingsByte(ctx_, RecordMaxWriteLength, &read), STATUS_SUCCESS);
  EXPECT_EQ(read, 99);
  EXPECT_EQ(ReadPortSettingsByte(ctx_, 16, &read), STATUS_INVALID_PARAMETER);

  // A file that ends inside the record is not extended with invented bytes.
  std::vector<uint8_t> shortFile(original.begin(), original.begin() + 0x328);
  Write(shortFile);
  EXPECT_EQ(UpdatePortSettingsRecord(ctx_, edit, &value), STATUS_END_OF_FILE);
  EXPECT_EQ(kernel::files::ReadWholeFile(kFile), shortFile);
  EXPECT_EQ(ReadPortSettingsByte(ctx_, RecordMaxWriteLength, &read), STATUS_SUCCESS);
  EXPECT_EQ(ReadPortSettingsByte(ctx_, 8, &read), STATUS_END_OF_FILE);

  ASSERT_EQ(std::remove(kernel::files::HostPath(kFile).c_str()), 0);
  EXPECT_FALSE(NT_SUCCESS(UpdatePortSettingsRecord(ctx_, edit, &value)));
  EXPECT_FALSE(kernel::files::ReadWholeFile(kFile).has_value());
  EXPECT_EQ(kernel::files::OpenHandles(kFile), 0u);
}

}  // namespace
}  // namespace device_test
