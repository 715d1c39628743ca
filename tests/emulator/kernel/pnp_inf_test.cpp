// Installing a driver from an INF: what the service key gets, and the INFs
// the installer refuses with a reason. (Every rig test installs the driver
// from its own INF, so what devices get from it is covered there.)
#include <cstdio>
#include <fstream>

#include "emulator/kernel/pnp_manager.h"
#include "emulator/kernel/registry.h"
#include "support/machine_test.h"

namespace {

constexpr char kService[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Sample";

NTSTATUS NTAPI Entry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

const char kGood[] = R"(; a sample
[Version]
Signature = "$Windows NT$"
Class = Ports
ClassGuid = {4D36E978-E325-11CE-BFC1-08002BE10318}
[Manufacturer]
%Mfg% = Models, NTamd64
[Models.NTamd64]
%Desc% = Install, USB\VID_1111&PID_2222 ; the port
[Install.NTamd64]
CopyFiles = Files
[Install.NTamd64.HW]
AddReg = Values
[Values]
HKR,,Wake,0x00010003,1
[Install.NTamd64.Services]
AddService = Sample, 0x00000002, Service
[Service]
ServiceType = 1
StartType = 2
ErrorControl = 0x1
ServiceBinary = %12%\sample.sys
[Strings]
Mfg = "Maker"
Desc = "Sample port"
)";

class InfInstall : public MachineTest {
 protected:
  bool Install(const std::string& text, std::string* problem) {
    const std::string path = testing::TempDir() + "sample.inf";
    std::ofstream(path) << text;
    const bool installed = kernel::pnp::InstallFromInf(path, Entry, problem);
    std::remove(path.c_str());
    return installed;
  }
};

TEST_F(InfInstall, ServiceKeyTakesTheInfsValues) {
  std::string problem;
  ASSERT_TRUE(Install(kGood, &problem)) << problem;
  EXPECT_EQ(kernel::registry::GetDword(kService, "Start"), 2u);
  EXPECT_EQ(kernel::registry::GetDword(kService, "ErrorControl"), 1u);
  EXPECT_EQ(kernel::registry::GetString(kService, "ImagePath"),
            "\\SystemRoot\\System32\\drivers\\sample.sys");
  EXPECT_FALSE(Install(kGood, &problem));
  EXPECT_NE(problem.find("installed already"), std::string::npos) << problem;
}

TEST_F(InfInstall, RefusesWhatItCannotInstall) {
  const auto edit = [](std::string from, std::string to) {
    std::string text = kGood;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const struct {
    const char* name;
    std::string text;
    const char* reason;
  } cases[] = {
      {"no signature", edit("$Windows NT$", "$Other$"), "not an INF"},
      {"x86 models only", edit("Models, NTamd64", "Models, NTx86"), "no models for NTamd64"},
      {"value under a subkey", edit("HKR,,Wake", "HKR,Sub,Wake"), "only HKR"},
      {"service without start", edit("StartType = 2\n", ""), "incomplete"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string problem;
    EXPECT_FALSE(Install(c.text, &problem));
    EXPECT_NE(problem.find(c.reason), std::string::npos) << problem;
    EXPECT_FALSE(kernel::registry::KeyExists(kService));
  }
  std::string problem;
  EXPECT_FALSE(kernel::pnp::InstallFromInf("/no/such.inf", Entry, &problem));
  EXPECT_NE(problem.find("cannot read"), std::string::npos);
}

}  // namespace
