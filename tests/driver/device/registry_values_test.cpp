// The registry read routines: bounded copies and refused sizes (what the
// writes store shows in the port-name and WMI tests).
#include <cstring>
#include <string>
#include <vector>

#include "driver/device/registry_values.h"
#include "emulator/kernel/registry.h"
#include "platform/platform.h"
#include "support/machine_test.h"

namespace {

constexpr char kKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\T7315Test";
constexpr char16_t kKeyW[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\T7315Test";

PCWSTR W(const char16_t* text) { return reinterpret_cast<PCWSTR>(text); }

class RegistryValuesTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_TRUE(kernel::registry::CreateKey(kKey));
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, W(kKeyW));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    ASSERT_EQ(ZwOpenKey(&key_, KEY_ALL_ACCESS, &attributes), STATUS_SUCCESS);
  }
  void TearDown() override {
    ZwClose(key_);
    MachineTest::TearDown();
  }
  void Set(ULONG type, size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = uint8_t(0x40 + i);
    kernel::registry::SetValue(kKey, "Value", type, data.data(), data.size());
  }
  // Copied bytes are the stored ones; nothing else of the buffer changed.
  static void ExpectCopied(const std::vector<uint8_t>& out, bool copied, size_t stored) {
    for (size_t i = 0; i < out.size(); ++i) {
      EXPECT_EQ(out[i], copied && i < stored ? uint8_t(0x40 + i) : 0xEE) << "byte " << i;
    }
  }
  HANDLE key_ = nullptr;
};

// Whatever the outcome, nothing is written past the capacity, and a refused
// value leaves the whole buffer as it was. ReadKeyValue takes the name's size
// in bytes; ReadAbsoluteValue (name size 0 here) also reports the stored length.
TEST_F(RegistryValuesTest, ReadsCopyOnlyWhatFits) {
  struct Case {
    const char* what;
    size_t stored;  // 0: no value
    ULONG capacity;
    ULONG nameSize;  // 0 for ReadAbsoluteValue
    NTSTATUS status;
  };
  const Case cases[] = {
      {"key: exact fit", 4, 4, 12, STATUS_SUCCESS},
      {"key: one byte over, within the query's slack", 5, 4, 12, STATUS_BUFFER_OVERFLOW},
      {"key: far over", 300, 256, 12, STATUS_BUFFER_OVERFLOW},
      {"key: missing value", 0, 4, 12, STATUS_OBJECT_NAME_NOT_FOUND},
      {"key: name size without the terminator", 4, 4, 10, STATUS_INVALID_PARAMETER},
      {"key: name size larger than the name", 4, 4, 40, STATUS_SUCCESS},
      {"absolute: large value, second query", 100, 128, 0, STATUS_SUCCESS},
      {"absolute: exact fit", 128, 128, 0, STATUS_SUCCESS},
      {"absolute: longer than the buffer", 129, 128, 0, STATUS_BUFFER_OVERFLOW},
      {"absolute: missing value", 0, 16, 0, STATUS_OBJECT_NAME_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kernel::registry::DeleteValue(kKey, "Value");
    if (c.stored != 0) Set(REG_BINARY, c.stored);
    std::vector<uint8_t> out(c.capacity + 8, 0xEE);
    ULONG length = 0;
    if (c.nameSize != 0) {
      EXPECT_EQ(ReadKeyValue(key_, W(u"Value"), c.nameSize, out.data(), c.capacity), c.status);
    } else {
      EXPECT_EQ(ReadAbsoluteValue(W(u"Value"), &length, out.data(), c.capacity, W(kKeyW)), c.status);
      EXPECT_EQ(length, c.stored);
    }
    ExpectCopied(out, c.status == STATUS_SUCCESS, c.stored);
  }
  ULONG length;
  uint8_t out[4];
  EXPECT_EQ(
      ReadAbsoluteValue(W(u"Value"), &length, out, sizeof out, W(u"\\Registry\\Machine\\SYSTEM\\Nowhere")),
      STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
