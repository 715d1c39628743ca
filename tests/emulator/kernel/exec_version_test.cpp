// Version queries and run-time routine lookup answer for the Windows version
// the machine was booted with.
#include <ostream>

#include "platform/host/ex.h"
#include "platform/host/io.h"
#include "platform/host/ke.h"
#include "platform/host/wmi.h"
#include "support/machine_test.h"

namespace {

struct VersionCase {
  const char* name;
  unsigned long major, minor, build;
  bool windows8, win10Vb, win11;
  bool vistaExported;  // and WDM 6.0 and the classic trace providers available
};
// Cases print as their names (ctest lists them so).
void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.name; }

const VersionCase kVersions[] = {
    {"WindowsXp", 5, 1, 2600, false, false, false, false},
    {"Windows7", 6, 1, 7601, false, false, false, true},
    {"Windows8", 6, 2, 9200, true, false, false, true},
    {"Windows10_22H2", 10, 0, 19045, true, true, false, true},
    {"Windows11", 10, 0, 22631, true, true, true, true},
};

class VersionTest : public MachineTest, public ::testing::WithParamInterface<VersionCase> {
 protected:
  kernel::MachineOptions Options() override {
    return {
        .majorVersion = GetParam().major, .minorVersion = GetParam().minor, .buildNumber = GetParam().build};
  }
};

TEST_P(VersionTest, EveryQueryReportsTheMachinesVersion) {
  const VersionCase& v = GetParam();
  ULONG major = 0, minor = 0, build = 0;
  UNICODE_STRING servicePack{};
  EXPECT_FALSE(PsGetVersion(&major, &minor, &build, &servicePack)) << "free build";
  EXPECT_EQ(major, v.major);
  EXPECT_EQ(minor, v.minor);
  EXPECT_EQ(build, v.build);
  EXPECT_EQ(servicePack.Length, 0);
  EXPECT_TRUE(PsGetVersion(nullptr, nullptr, nullptr, nullptr) == FALSE);

  RTL_OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  ASSERT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)), STATUS_SUCCESS);
  EXPECT_EQ(info.dwMajorVersion, v.major);
  EXPECT_EQ(info.dwBuildNumber, v.build);
  EXPECT_EQ(info.dwPlatformId, ULONG(VER_PLATFORM_WIN32_NT));
  EXPECT_EQ(info.wProductType, VER_NT_WORKSTATION);
  info.dwOSVersionInfoSize = 100;
  EXPECT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)), STATUS_INVALID_PARAMETER);

  EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WINXP));
  EXPECT_EQ(bool(RtlIsNtDdiVersionAvailable(NTDDI_WIN8)), v.windows8);
  EXPECT_EQ(bool(RtlIsNtDdiVersionAvailable(0x0A000008)), v.win10Vb);
  EXPECT_EQ(bool(RtlIsNtDdiVersionAvailable(0x0A00000B)), v.win11);
  EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x30));
  EXPECT_EQ(bool(IoIsWdmVersionAvailable(6, 0x00)), v.vistaExported);
  EXPECT_FALSE(IoIsWdmVersionAvailable(7, 0x00));
}

TEST_P(VersionTest, RoutineLookupFollowsTheVersion) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"PsGetVersion");
  EXPECT_EQ(MmGetSystemRoutineAddress(&name), reinterpret_cast<PVOID>(&PsGetVersion));
  RtlInitUnicodeString(&name, u"psgetversion");
  EXPECT_EQ(MmGetSystemRoutineAddress(&name), nullptr) << "export names are case-sensitive";
  RtlInitUnicodeString(&name, u"NoSuchRoutine");
  EXPECT_EQ(MmGetSystemRoutineAddress(&name), nullptr);
  RtlInitUnicodeString(&name, u"KeStallExecutionProcessor");
  EXPECT_EQ(MmGetSystemRoutineAddress(&name), reinterpret_cast<PVOID>(&KeStallExecutionProcessor))
      << "a HAL export";
  RtlInitUnicodeString(&name, u"WmiSystemControl");
  EXPECT_EQ(MmGetSystemRoutineAddress(&name), nullptr) << "WMILIB's exports are not the kernel's";
  RtlInitUnicodeString(&name, u"WmiTraceMessage");
  EXPECT_EQ(MmGetSystemRoutineAddress(&name), reinterpret_cast<PVOID>(&WmiTraceMessage));
  for (const char16_t* vista : {u"EtwRegisterClassicProvider", u"EtwUnregister"}) {
    RtlInitUnicodeString(&name, vista);
    EXPECT_EQ(MmGetSystemRoutineAddress(&name) != nullptr, GetParam().vistaExported);
  }
}

INSTANTIATE_TEST_SUITE_P(Windows, VersionTest, ::testing::ValuesIn(kVersions),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
