// The requests that keep their setting in the registry: the stored default
// baud rate in the device key, and the port name with the instance's
// friendly name and the COM name database.
#include "driver/ioctl/vendor_config.h"
#include "ioctl_fixture.h"

namespace ioctl_test {
namespace {

using StoredBaudRate = VendorTest;

TEST_F(StoredBaudRate, SetThenGetThroughTheDeviceKey) {
  Result r = Ioctl(IOCTL_GET_PORT_BAUDRATE, {}, 4);  // nothing stored: the default, and the read's failure
  EXPECT_EQ(r.status, STATUS_OBJECT_NAME_NOT_FOUND);

  r = Ioctl(IOCTL_SET_PORT_BAUDRATE, BytesOf(ULONG(57600)), 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 4u);
  EXPECT_EQ(ctx_->BaudRate, 57600u);
  EXPECT_EQ(kernel::registry::GetDword(HardwareKey(), "BaudRate"), 57600u);
  r = Ioctl(IOCTL_GET_PORT_BAUDRATE, {}, 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.As<ULONG>(), 57600u);

  std::vector<uint8_t> tooLong(8, 0x01);
  kernel::registry::SetValue(HardwareKey(), "BaudRate", REG_BINARY, tooLong.data(), tooLong.size());
  r = Ioctl(IOCTL_GET_PORT_BAUDRATE, {}, 4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.As<ULONG>(), 9600u);
}

// The registry around a rename: this port named COM3 with the friendly name
// the ports class gave it, another instance of the service and a non-USB one
// listed before it, and COM1 and COM3 taken.
class PortName : public VendorTest {
 protected:
  void SetUp() override {
    VendorTest::SetUp();
    if (HasFatalFailure()) return;
    own_ = InstancePath();
    kernel::registry::SetString(kServiceEnum, "0", other_);
    kernel::registry::SetString(kServiceEnum, "1", "ROOT\\NOT_USB\\0000");
    kernel::registry::SetString(kServiceEnum, "2", own_);
    kernel::registry::SetString(InstanceKey(other_), "FriendlyName", "Tarvio Serial Adv (COM7)");
    std::vector<uint8_t> db(32, 0);
    db[0] = 0x05;  // COM1, COM3
    kernel::registry::SetValue(kArbiter, "ComDB", REG_BINARY, db.data(), db.size());
  }

  Result Rename(ULONG n) { return Ioctl(IOCTL_SET_PORT_NAME, BytesOf(ULONG(n)), 4); }
  std::vector<uint8_t> ComDb() {
    return kernel::registry::GetValue(kArbiter, "ComDB").value_or(kernel::registry::Value{}).data;
  }
  std::string Name() { return kernel::registry::GetString(HardwareKey(), "PortName").value_or(""); }
  std::string Friendly(const std::string& path) {
    return kernel::registry::GetString(InstanceKey(path), "FriendlyName").value_or("");
  }
  void StoreComNumber(uint8_t number) {
    std::vector<uint8_t> file(kSettingsSize, 0);
    file[kRecord] = number;
    settings_file::Write(file);
  }

  static constexpr const char* kServiceEnum =
      "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Q2740xA_Port\\Enum";
  static constexpr const char* kArbiter =
      "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
  std::string own_;
  std::string other_ = "USB\\VID_7315&PID_0104\\OTHER&0";
};

TEST_F(PortName, RenameMovesNameFriendlyNameAndDatabaseBit) {
  Result r = Rename(4);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, 0u);
  EXPECT_EQ(Name(), "COM5");
  EXPECT_EQ(Friendly(own_), "Tarvio Serial Adv (COM5)");
  EXPECT_EQ(Friendly(other_), "Tarvio Serial Adv (COM7)");
  std::vector<uint8_t> db = ComDb();
  ASSERT_EQ(db.size(), 32u);
  EXPECT_EQ(db[0], 0x11);  // COM1 and COM5
}

TEST_F(PortName, RequestsThatChangeNothing) {
  struct Case {
    const char* what;
    ULONG n;
    int stored;  // settings-file record byte 0; -1: no file
    ULONG_PTR information;
  } cases[] = {
      {"the same number", 2, -1, 0},
      {"the stored number, with no settings file", 255, -1, 4},
      {"the stored number 255 means none", 254, 255, 4},
      {"a stored 0 means none", 255, 0, 4},
      {"no number", 0xFFFFFFFF, -1, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.stored >= 0) StoreComNumber(uint8_t(c.stored));
    std::vector<uint8_t> db = ComDb();
    Result r = Rename(c.n);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, c.information);
    EXPECT_EQ(Name(), "COM3");
    EXPECT_EQ(Friendly(own_), "Tarvio Serial Adv (COM3)");
    EXPECT_EQ(ComDb(), db);
  }
}

TEST_F(PortName, StoredNumberFromTheSettingsFile) {
  StoreComNumber(9);
  EXPECT_EQ(Rename(255).status, STATUS_SUCCESS);
  EXPECT_EQ(Name(), "COM9");
  EXPECT_EQ(ComDb()[0], 0x01);  // COM3 given up
  EXPECT_EQ(ComDb()[1], 0x01);  // COM9 taken
}

TEST_F(PortName, UnsafeOrUnreadableDataIsNeitherMatchedNorWrittenPast) {
  // A number whose name could not be read back as the old name of the next rename.
  EXPECT_EQ(Rename(999).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Name(), "COM3");

  // Without the device's own friendly name no instance is taken for it, not
  // even one whose friendly name is empty.
  kernel::registry::DeleteValue(InstanceKey(own_), "FriendlyName");
  kernel::registry::SetString(InstanceKey(other_), "FriendlyName", "");
  EXPECT_EQ(Rename(5).status, STATUS_SUCCESS);
  EXPECT_EQ(Name(), "COM6");
  EXPECT_EQ(Friendly(other_), "");

  // A database shorter than the new bit grows to hold it.
  std::vector<uint8_t> db{0x20};  // COM6
  kernel::registry::SetValue(kArbiter, "ComDB", REG_BINARY, db.data(), db.size());
  EXPECT_EQ(Rename(19).status, STATUS_SUCCESS);
  EXPECT_EQ(ComDb(), (std::vector<uint8_t>{0x00, 0x00, 0x08}));  // COM20

  // A database that can't be read is not written back.
  kernel::registry::DeleteValue(kArbiter, "ComDB");
  EXPECT_EQ(Rename(20).status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Name(), "COM21");
  EXPECT_FALSE(kernel::registry::GetValue(kArbiter, "ComDB").has_value());
}

}  // namespace
}  // namespace ioctl_test
