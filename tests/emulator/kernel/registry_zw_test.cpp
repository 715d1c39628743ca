// The zero-level and run-time registry routines: values of every type, the
// buffer-size rules of ZwQueryValueKey, key life cycle and the RTL bases.
#include <cstring>
#include <thread>
#include <vector>

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

std::vector<uint8_t> Bytes(const void* data, size_t size) {
  auto p = static_cast<const uint8_t*>(data);
  return std::vector<uint8_t>(p, p + size);
}

TEST_F(RegistryTest, ValuesOfEveryTypeRoundTrip) {
  const uint32_t dword = 0x12345678;
  const uint64_t qword = 0x1122334455667788ull;
  const char16_t sz[] = u"COM7";
  const char16_t multi[] = u"a\0bc\0";
  std::vector<uint8_t> large(3000);
  for (size_t i = 0; i < large.size(); ++i) large[i] = uint8_t(i * 7);
  struct Case {
    const char16_t* name;
    ULONG type;
    std::vector<uint8_t> data;
  };
  const Case cases[] = {
      {u"Sz", REG_SZ, Bytes(sz, sizeof(sz))},
      {u"Expand", REG_EXPAND_SZ, Bytes(u"%SystemRoot%", 26)},
      {u"Binary", REG_BINARY, {0, 1, 0xFF}},
      {u"EmptyBinary", REG_BINARY, {}},
      {u"Dword", REG_DWORD, Bytes(&dword, 4)},
      {u"BigEndian", REG_DWORD_BIG_ENDIAN, {0x12, 0x34, 0x56, 0x78}},
      {u"Multi", REG_MULTI_SZ, Bytes(multi, sizeof(multi))},
      {u"Qword", REG_QWORD, Bytes(&qword, 8)},
      {u"None", REG_NONE, {}},
      {u"Large", REG_BINARY, large},
      {u"", REG_SZ, Bytes(u"default", 16)},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(SetValue(key_, c.name, c.type, c.data.data(), ULONG(c.data.size())), STATUS_SUCCESS);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name)));
    std::vector<uint8_t> buffer(4096);
    ULONG resultLength = 0;
    ASSERT_EQ(QueryValue(key_, c.name, KeyValuePartialInformation, buffer.data(), ULONG(buffer.size()),
                         &resultLength),
              STATUS_SUCCESS);
    auto partial = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    EXPECT_EQ(resultLength, 12 + c.data.size());
    EXPECT_EQ(partial->Type, c.type);
    EXPECT_EQ(Bytes(partial->Data, partial->DataLength), c.data);

    std::string name(c.name, c.name + std::char_traits<char16_t>::length(c.name));
    std::optional<kernel::registry::Value> stored = kernel::registry::GetValue(kServicePath, name);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->type, c.type);
    EXPECT_EQ(stored->data, c.data);
  }
  ASSERT_EQ(SetValue(key_, u"dword", REG_BINARY, "\x01", 1), STATUS_SUCCESS) << "names are case-insensitive";
  EXPECT_EQ(kernel::registry::GetValue(kServicePath, "DWORD")->type, ULONG(REG_BINARY));
  EXPECT_EQ(kernel::registry::ValueNames(kServicePath).size(), std::size(cases));
}

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
      {"partial 64, header only", KeyValuePartialInformationAlign64, 8, STATUS_BUFFER_OVERFLOW, 18, 8, 0},
      {"partial 64, exact", KeyValuePartialInformationAlign64, 18, STATUS_SUCCESS, 18, 8, 10},
      {"basic, below the header", KeyValueBasicInformation, 11, STATUS_BUFFER_TOO_SMALL, 28, 0, 0},
      {"basic, half the name", KeyValueBasicInformation, 20, STATUS_BUFFER_OVERFLOW, 28, 0, 0},
      {"basic, exact", KeyValueBasicInformation, 28, STATUS_SUCCESS, 28, 0, 0},
      {"full, below the header", KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL, 46, 36, 0},
      {"full, name but no data", KeyValueFullInformation, 36, STATUS_BUFFER_OVERFLOW, 46, 36, 0},
      {"full, part of the data", KeyValueFullInformation, 40, STATUS_BUFFER_OVERFLOW, 46, 36, 4},
      {"full, exact", KeyValueFullInformation, 46, STATUS_SUCCESS, 46, 36, 10},
      {"full 64, exact", KeyValueFullInformationAlign64, 50, STATUS_SUCCESS, 50, 40, 10},
      {"layer information is refused", KeyValueLayerInformation, 64, STATUS_INVALID_PARAMETER, 0xEEEE, 0, 0},
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
    if (c.status == STATUS_BUFFER_TOO_SMALL || c.status == STATUS_INVALID_PARAMETER) {
      for (ULONG i = 0; i < c.length; ++i) ASSERT_EQ(buffer[i], 0xCC) << "written on failure at " << i;
      continue;
    }
    EXPECT_EQ(std::memcmp(buffer + c.dataOffset, data, c.dataCopied), 0);
    if (c.infoClass == KeyValuePartialInformation) {
      auto info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
      EXPECT_EQ(info->Type, ULONG(REG_SZ));
      EXPECT_EQ(info->DataLength, 10u);
    } else if (c.infoClass == KeyValueFullInformation || c.infoClass == KeyValueFullInformationAlign64) {
      auto info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
      EXPECT_EQ(info->DataOffset, c.dataOffset);
      EXPECT_EQ(info->DataLength, 10u);
      EXPECT_EQ(info->NameLength, 16u);
      EXPECT_EQ(std::memcmp(info->Name, u"PortName", 16), 0);
    } else if (c.infoClass == KeyValueBasicInformation) {
      auto info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
      EXPECT_EQ(info->NameLength, 16u);
      EXPECT_EQ(std::memcmp(info->Name, u"PortName", std::min<size_t>(16, c.length - 12)), 0);
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
      {"missing parent", STATUS_OBJECT_NAME_NOT_FOUND, service + u"\\A\\B", true},
      {"outside the registry", STATUS_OBJECT_PATH_NOT_FOUND, u"\\Device\\Serial0"},
      {"not absolute", STATUS_OBJECT_PATH_SYNTAX_BAD, u"Registry\\Machine"},
      {"relative name with a backslash", STATUS_OBJECT_PATH_SYNTAX_BAD, u"\\Parameters", false, 0, key_},
      {"not a key handle", STATUS_INVALID_HANDLE, u"x", false, 0, reinterpret_cast<HANDLE>(0x7777)},
      {"persistent key below a volatile one", STATUS_CHILD_MUST_BE_VOLATILE, deviceMap, true,
       REG_OPTION_NON_VOLATILE},
      {"link keys are not supported", STATUS_INVALID_PARAMETER, service + u"\\Link", true,
       REG_OPTION_CREATE_LINK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HANDLE key = nullptr;
    EXPECT_EQ(c.create ? CreateKey(&key, c.path, c.options, nullptr, c.root) : OpenKey(&key, c.path, c.root),
              c.status);
    EXPECT_EQ(key, nullptr);
  }
  HANDLE volatileKey;
  ASSERT_EQ(CreateKey(&volatileKey, deviceMap, REG_OPTION_VOLATILE), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(volatileKey), STATUS_SUCCESS);
  ZwClose(volatileKey);

  EXPECT_EQ(ZwDeleteKey(key_), STATUS_CANNOT_DELETE) << "it has a subkey";
  ASSERT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(child), STATUS_KEY_DELETED);
  const uint32_t value = 1;
  EXPECT_EQ(SetValue(again, u"x", REG_DWORD, &value, 4), STATUS_KEY_DELETED)
      << "every handle sees the deletion";
  EXPECT_EQ(ZwFlushKey(relative), STATUS_KEY_DELETED);
  HANDLE gone;
  EXPECT_EQ(OpenKey(&gone, u"Parameters", key_), STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(child);
  ZwClose(again);
  ZwClose(relative);

  HANDLE machineKey;
  ASSERT_EQ(OpenKey(&machineKey, u"\\Registry\\Machine"), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(machineKey), STATUS_CANNOT_DELETE);
  ZwClose(machineKey);
  EXPECT_EQ(ZwFlushKey(key_), STATUS_SUCCESS);
}

TEST_F(RegistryTest, EnumerationOrderAndRecords) {
  for (const char16_t* name : {u"beta", u"Alpha", u"gamma"}) {
    HANDLE sub;
    ASSERT_EQ(CreateKey(&sub, name, 0, nullptr, key_), STATUS_SUCCESS);
    ZwClose(sub);
  }
  for (const char16_t* name : {u"Zeta", u"eta"})
    ASSERT_EQ(SetValue(key_, name, REG_BINARY, "x", 1), STATUS_SUCCESS);

  std::vector<std::u16string> subkeys;
  alignas(8) uint8_t buffer[128];
  ULONG resultLength;
  for (ULONG i = 0;; ++i) {
    NTSTATUS status = ZwEnumerateKey(key_, i, KeyBasicInformation, buffer, sizeof(buffer), &resultLength);
    if (status == STATUS_NO_MORE_ENTRIES) break;
    ASSERT_EQ(status, STATUS_SUCCESS);
    auto info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
    EXPECT_EQ(resultLength, 16 + info->NameLength);
    subkeys.emplace_back(info->Name, info->NameLength / 2);
  }
  EXPECT_EQ(subkeys, (std::vector<std::u16string>{u"Alpha", u"beta", u"gamma"}));
  EXPECT_EQ(ZwEnumerateKey(key_, 0, KeyBasicInformation, buffer, 15, &resultLength), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(ZwEnumerateKey(key_, 0, KeyBasicInformation, buffer, 18, &resultLength), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(resultLength, 26u);
  EXPECT_EQ(ZwEnumerateKey(key_, 0, KeyNodeInformation, buffer, sizeof(buffer), &resultLength),
            STATUS_INVALID_PARAMETER);

  std::vector<std::u16string> values;
  for (ULONG i = 0;; ++i) {
    NTSTATUS status =
        ZwEnumerateValueKey(key_, i, KeyValueBasicInformation, buffer, sizeof(buffer), &resultLength);
    if (status == STATUS_NO_MORE_ENTRIES) break;
    ASSERT_EQ(status, STATUS_SUCCESS);
    auto info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
    values.emplace_back(info->Name, info->NameLength / 2);
  }
  EXPECT_EQ(values, (std::vector<std::u16string>{u"Zeta", u"eta"}))
      << "values keep the order they were set in";
  UNICODE_STRING zeta = RTL_CONSTANT_STRING(u"ZETA");
  EXPECT_EQ(ZwDeleteValueKey(key_, &zeta), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteValueKey(key_, &zeta), STATUS_OBJECT_NAME_NOT_FOUND);
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
      {"control base creates the key", RTL_REGISTRY_CONTROL, u"COM Name Arbiter", STATUS_SUCCESS,
       "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter"},
      {"absolute", RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, kServiceKey, STATUS_SUCCESS, kServicePath},
      {"leading backslash is absolute", RTL_REGISTRY_SERVICES, kServiceKey, STATUS_SUCCESS, kServicePath},
      {"handle", RTL_REGISTRY_HANDLE, static_cast<const char16_t*>(key_), STATUS_SUCCESS, kServicePath},
      {"missing parent", RTL_REGISTRY_SERVICES, u"Nope\\Deeper", STATUS_OBJECT_NAME_NOT_FOUND, nullptr},
      {"volatile map", RTL_REGISTRY_DEVICEMAP, u"NEWMAP", STATUS_CHILD_MUST_BE_VOLATILE, nullptr},
      {"unknown base", 9, u"x", STATUS_INVALID_PARAMETER, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kernel::registry::DeleteValue(kServicePath, "Flag");
    EXPECT_EQ(RtlWriteRegistryValue(c.relativeTo, c.path, u"Flag", REG_DWORD, &flag, 4), c.status);
    if (c.keyPath != nullptr) {
      EXPECT_EQ(kernel::registry::GetDword(c.keyPath, "Flag"), 1u);
    }
  }

  EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"TestPort")), STATUS_SUCCESS);
  EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"Other")),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"Other")), STATUS_SUCCESS);
  EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"Other")), STATUS_SUCCESS);
  EXPECT_TRUE(kernel::registry::KeyExists("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\other"));
}

TEST_F(RegistryTest, ConcurrentWritersKeepEveryValue) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      HANDLE key;
      ASSERT_EQ(OpenKey(&key, kServiceKey), STATUS_SUCCESS);
      for (uint32_t i = 0; i < 50; ++i) {
        std::u16string name = u"T" + std::u16string(1, char16_t(u'0' + t)) + u"-" +
                              std::u16string(1, char16_t(u'A' + i % 26)) +
                              std::u16string(1, char16_t(u'A' + i / 26));
        ASSERT_EQ(SetValue(key, name, REG_DWORD, &i, 4), STATUS_SUCCESS);
      }
      ZwClose(key);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(kernel::registry::ValueNames(kServicePath).size(), 200u);
}

}  // namespace
