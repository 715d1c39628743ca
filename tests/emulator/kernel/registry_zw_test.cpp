// The registry routines as the driver meets them: the buffer-size rules of
// ZwQueryValueKey, key life cycle and the RTL bases.
#include <cstring>

#include "emulator/kernel/registry.h"
#include "registry_support.h"
#include "support/machine_test.h"

namespace {

const char16_t kServiceKey[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\TestPort";
const char kServicePath[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\TestPort";

class RegistryTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_EQ(CreateKey(&key_, kServiceKey), STATUS_SUCCESS);
  }
  void TearDown() override {
    ZwClose(key_);
    MachineTest::TearDown();
  }
  HANDLE key_ = nullptr;
};

TEST_F(RegistryTest, QueryValueKeyBufferRules) {
  const char16_t data[] = u"COM7";  // 10 bytes; the name "PortName" is 16
  ASSERT_EQ(SetValue(key_, u"PortName", REG_SZ, data, sizeof(data)), STATUS_SUCCESS);
  struct Case {
    const char* name;
    KEY_VALUE_INFORMATION_CLASS infoClass;
    ULONG length;
    NTSTATUS status;
    ULONG resultLength;
    ULONG dataOffset;  // where the data start in the record
    ULONG dataCopied;  // how many data bytes arrive
  };
  const Case cases[] = {
      {"partial, no buffer", KeyValuePartialInformation, 0, STATUS_BUFFER_TOO_SMALL, 22, 12, 0},
      {"partial, below the header", KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL, 22, 12, 0},
      {"partial, header only", KeyValuePartialInformation, 12, STATUS_BUFFER_OVERFLOW, 22, 12, 0},
      {"partial, 16-byte probe", KeyValuePartialInformation, 16, STATUS_BUFFER_OVERFLOW, 22, 12, 4},
      {"partial, exact", KeyValuePartialInformation, 22, STATUS_SUCCESS, 22, 12, 10},
      {"full, below the header", KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL, 46, 36, 0},
      {"full, name but no data", KeyValueFullInformation, 36, STATUS_BUFFER_OVERFLOW, 46, 36, 0},
      {"full, part of the data", KeyValueFullInformation, 40, STATUS_BUFFER_OVERFLOW, 46, 36, 4},
      {"full, exact", KeyValueFullInformation, 46, STATUS_SUCCESS, 46, 36, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    alignas(8) uint8_t buffer[64];
    std::memset(buffer, 0xCC, sizeof(buffer));
    ULONG resultLength = 0xEEEE;
    EXPECT_EQ(QueryValue(key_, u"PortName", c.infoClass, buffer, c.length, &resultLength), c.status);
    EXPECT_EQ(resultLength, c.resultLength);
    for (ULONG i = c.length; i < sizeof(buffer); ++i)
      ASSERT_EQ(buffer[i], 0xCC) << "written past the length at " << i;
    if (c.status == STATUS_BUFFER_TOO_SMALL) {
      for (ULONG i = 0; i < c.length; ++i) ASSERT_EQ(buffer[i], 0xCC) << "written on failure at " << i;
      continue;
    }
    EXPECT_EQ(std::memcmp(buffer + c.dataOffset, data, c.dataCopied), 0);
    if (c.infoClass == KeyValuePartialInformation) {
      auto info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
      EXPECT_EQ(info->Type, ULONG(REG_SZ));
      EXPECT_EQ(info->DataLength, 10u);
    } else {
      auto info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
      EXPECT_EQ(info->DataOffset, c.dataOffset);
      EXPECT_EQ(info->DataLength, 10u);
      EXPECT_EQ(info->NameLength, 16u);
      EXPECT_EQ(std::memcmp(info->Name, u"PortName", 16), 0);
    }
  }

  const uint32_t one = 1;
  ASSERT_EQ(SetValue(key_, u"DeviceWakeEnable", REG_DWORD, &one, 4), STATUS_SUCCESS);
  alignas(8) uint8_t probe[16];
  ULONG resultLength;
  EXPECT_EQ(QueryValue(key_, u"DeviceWakeEnable", KeyValuePartialInformation, probe, 16, &resultLength),
            STATUS_SUCCESS)
      << "a DWORD fits a 16-byte partial record";
  EXPECT_EQ(resultLength, 16u);
  EXPECT_EQ(QueryValue(key_, u"Missing", KeyValuePartialInformation, probe, 16, &resultLength),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, KeysAreCreatedOpenedAndDeletedAsInWindows) {
  ULONG disposition = 0;
  HANDLE child, again, relative;
  ASSERT_EQ(CreateKey(&child, std::u16string(kServiceKey) + u"\\Parameters", 0, &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
  ASSERT_EQ(
      CreateKey(&again, u"\\REGISTRY\\machine\\system\\currentcontrolset\\services\\testport\\PARAMETERS\\",
                0, &disposition),
      STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
  EXPECT_NE(child, again);
  ASSERT_EQ(OpenKey(&relative, u"parameters", key_), STATUS_SUCCESS);

  struct Case {
    const char* name;
    NTSTATUS status;
    std::u16string path;
    bool create = false;
    ULONG options = 0;
    HANDLE root = nullptr;
  };
  const std::u16string service = kServiceKey, deviceMap = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\Test";
  const Case cases[] = {
      {"missing key", STATUS_OBJECT_NAME_NOT_FOUND, service + u"\\Nope"},
      {"outside the registry", STATUS_OBJECT_PATH_NOT_FOUND, u"\\Device\\Serial0"},
      {"relative name with a backslash", STATUS_OBJECT_PATH_SYNTAX_BAD, u"\\Parameters", false, 0, key_},
      {"not a key handle", STATUS_INVALID_HANDLE, u"x", false, 0, reinterpret_cast<HANDLE>(0x7777)},
      {"persistent key below a volatile one", STATUS_CHILD_MUST_BE_VOLATILE, deviceMap, true,
       REG_OPTION_NON_VOLATILE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HANDLE key = nullptr;
    EXPECT_EQ(c.create ? CreateKey(&key, c.path, c.options, nullptr, c.root) : OpenKey(&key, c.path, c.root),
              c.status);
    EXPECT_EQ(key, nullptr);
  }
  EXPECT_EQ(ZwDeleteKey(key_), STATUS_CANNOT_DELETE) << "it has a subkey";
  ASSERT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(child), STATUS_KEY_DELETED);
  const uint32_t value = 1;
  EXPECT_EQ(SetValue(again, u"x", REG_DWORD, &value, 4), STATUS_KEY_DELETED)
      << "every handle sees the deletion";
  HANDLE gone;
  EXPECT_EQ(OpenKey(&gone, u"Parameters", key_), STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(child);
  ZwClose(again);
  ZwClose(relative);
}

TEST_F(RegistryTest, RuntimeLibraryBases) {
  char16_t portName[] = u"COM7";
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Serial7", REG_SZ,
                                  portName, sizeof(portName)),
            STATUS_SUCCESS);
  const char kSerialComm[] = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
  EXPECT_EQ(kernel::registry::GetString(kSerialComm, "\\device\\serial7"), "COM7");
  EXPECT_EQ(kernel::registry::GetValue(kSerialComm, "\\Device\\Serial7")->data.size(), 10u);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Serial7"),
            STATUS_SUCCESS);
  EXPECT_TRUE(kernel::registry::ValueNames(kSerialComm).empty());
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Serial7"),
            STATUS_OBJECT_NAME_NOT_FOUND);

  uint32_t flag = 1;
  struct Case {
    const char* name;
    ULONG relativeTo;
    const char16_t* path;
    NTSTATUS status;
    const char* keyPath;
  };
  const Case cases[] = {
      {"services base", RTL_REGISTRY_SERVICES, u"TestPort", STATUS_SUCCESS, kServicePath},
      {"missing parent", RTL_REGISTRY_SERVICES, u"Nope\\Deeper", STATUS_OBJECT_NAME_NOT_FOUND, nullptr},
      {"volatile map", RTL_REGISTRY_DEVICEMAP, u"NEWMAP", STATUS_CHILD_MUST_BE_VOLATILE, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kernel::registry::DeleteValue(kServicePath, "Flag");
    EXPECT_EQ(RtlWriteRegistryValue(c.relativeTo, c.path, u"Flag", REG_DWORD, &flag, 4), c.status);
    if (c.keyPath != nullptr) {
      EXPECT_EQ(kernel::registry::GetDword(c.keyPath, "Flag"), 1u);
    }
  }
}

}  // namespace
