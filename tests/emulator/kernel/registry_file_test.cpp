// Saving the registry to a file and loading it into a fresh machine.
#include <unistd.h>

#include <fstream>

#include "emulator/kernel/registry.h"
#include "support/machine_test.h"

namespace {

const char kKey[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\TestPort\\Parameters";
const char kSerialComm[] = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

class RegistryFileTest : public MachineTest {
 protected:
  void Reboot() {
    machine_.reset();
    machine_.emplace(kernel::MachineOptions{});
  }
  // A file outside the system root, which goes away with the machine.
  // Named per process: other runs of these tests may share the folder.
  std::string Outside(const char* name) { return ::testing::TempDir() + std::to_string(::getpid()) + name; }
};

std::vector<uint8_t> Utf16(std::u16string text, bool terminate = true) {
  if (terminate) text.push_back(u'\0');
  auto p = reinterpret_cast<const uint8_t*>(text.data());
  return std::vector<uint8_t>(p, p + text.size() * 2);
}

TEST_F(RegistryFileTest, EveryValueSurvivesASaveAndALoad) {
  struct Case {
    const char* name;
    ULONG type;
    std::vector<uint8_t> data;
  };
  const Case cases[] = {
      {"PortName", REG_SZ, Utf16(u"COM7")},
      {"Quote \" and % in a name", REG_SZ, Utf16(u"100% \"quoted\"\nline")},
      {"Unicode", REG_EXPAND_SZ, Utf16(u"\u00e9t\u00e9 \U0001F600 %SystemRoot%")},
      {"Unterminated", REG_SZ, Utf16(u"abc", false)},
      {"Odd length", REG_SZ, {'a', 0, 'b'}},
      {"Lone surrogate", REG_SZ, Utf16(std::u16string(1, char16_t(0xD800)))},
      {"Short dword", REG_DWORD, {1, 2}},
      {"ComDB", REG_BINARY, {0x04, 0xFF, 0x00}},
      {"Vendor type", 0x12345678, {1}},
      {"", REG_SZ, Utf16(u"default value")},
  };
  for (const Case& c : cases)
    ASSERT_TRUE(kernel::registry::SetValue(kKey, c.name, c.type, c.data.data(), c.data.size()));
  ASSERT_TRUE(kernel::registry::CreateKey(std::string(kKey) + "\\Empty Key"));
  ASSERT_TRUE(kernel::registry::SetString(kSerialComm, "\\Device\\Serial7", "COM7"));
  std::string file = Outside("registry_round_trip.txt");
  std::string error;
  ASSERT_TRUE(kernel::registry::Save(file, &error)) << error;

  Reboot();
  ASSERT_FALSE(kernel::registry::KeyExists(kKey));
  ASSERT_TRUE(kernel::registry::Load(file, &error)) << error;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<kernel::registry::Value> value = kernel::registry::GetValue(kKey, c.name);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, c.type);
    EXPECT_EQ(value->data, c.data);
  }
  EXPECT_EQ(kernel::registry::ValueNames(kKey).size(), std::size(cases));
  EXPECT_TRUE(kernel::registry::KeyExists(std::string(kKey) + "\\empty key"));
  EXPECT_FALSE(kernel::registry::GetValue(kSerialComm, "\\Device\\Serial7").has_value())
      << "HARDWARE is volatile";
  std::remove(file.c_str());
}

TEST_F(RegistryFileTest, AFileWithAnErrorChangesNothing) {
  const std::string valid = std::string("key \"") + kKey + "\"\nsz \"PortName\" \"COM9\"\n";
  struct Case {
    const char* name;
    std::string content;
    const char* message;
  };
  const Case cases[] = {
      {"no header", valid, "line 1: not a registry file"},
      {"value before a key", "t7315-registry 1\nsz \"PortName\" \"COM9\"\n", "line 2: value before any key"},
      {"bad dword", "t7315-registry 1\n" + valid + "dword \"BaudRate\" 0x100000000\n",
       "line 4: malformed value line"},
      {"bad escape", "t7315-registry 1\n" + valid + "sz \"x\" \"%G1\"\n", "line 4: malformed value line"},
      {"key outside the registry", "t7315-registry 1\n" + valid + "key \"\\Device\\Serial0\"\n",
       "line 4: key path outside \\Registry"},
  };
  ASSERT_TRUE(kernel::registry::SetString(kKey, "PortName", "COM3"));
  std::string file = Outside("registry_broken.txt");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(file, std::ios::trunc) << c.content;
    std::string error;
    EXPECT_FALSE(kernel::registry::Load(file, &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(kernel::registry::GetString(kKey, "PortName"), "COM3");
  }
  std::ofstream(file, std::ios::trunc) << "# saved by hand\n\nt7315-registry 1\n" << valid;
  EXPECT_TRUE(kernel::registry::Load(file));
  EXPECT_EQ(kernel::registry::GetString(kKey, "PortName"), "COM9");
  std::remove(file.c_str());
  std::string error;
  EXPECT_FALSE(kernel::registry::Load(file, &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos);
}

}  // namespace
