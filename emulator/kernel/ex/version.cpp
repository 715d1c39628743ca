// RtlGetVersion, PsGetVersion and RtlIsNtDdiVersionAvailable answer with the
// version the machine was booted with.
#include "emulator/kernel/ex/version.h"

#include <atomic>

#include "emulator/kernel/machine.h"
#include "platform/host/ex.h"

namespace kernel::version {
namespace {

std::atomic<unsigned long> g_major{10}, g_minor{0}, g_build{19045};

void Boot(const MachineOptions& options) {
  g_major = options.majorVersion;
  g_minor = options.minorVersion;
  g_build = options.buildNumber;
}

// Windows 10 and 11 share 10.0; their releases differ in the NTDDI sub-version,
// which follows the build number.
ULONG Windows10SubVersion(unsigned long build) {
  static const struct {
    unsigned long build;
    ULONG subVersion;
  } kReleases[] = {{26100, 0x10}, {22621, 0x0C}, {22000, 0x0B}, {20348, 0x0A}, {19041, 8}, {18362, 7},
                   {17763, 6},    {17134, 5},    {16299, 4},    {15063, 3},    {14393, 2}, {10586, 1}};
  for (const auto& release : kReleases)
    if (build >= release.build) return release.subVersion;
  return 0;
}

ULONG CurrentNtddi() {
  WindowsVersion v = Current();
  ULONG ntddi = ULONG(v.major) << 24 | ULONG(v.minor) << 16;
  return v.major == 10 ? ntddi | Windows10SubVersion(v.build) : ntddi;
}

WCHAR g_noServicePack[1] = {0};

const bool registered = RegisterSubsystem({"version", 5, Boot, nullptr});

}  // namespace

WindowsVersion Current() { return WindowsVersion{g_major.load(), g_minor.load(), g_build.load()}; }

}  // namespace kernel::version

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW versionInformation) {
  ULONG size = versionInformation->dwOSVersionInfoSize;
  if (size != sizeof(RTL_OSVERSIONINFOW) && size != sizeof(RTL_OSVERSIONINFOEXW))
    return STATUS_INVALID_PARAMETER;
  kernel::version::WindowsVersion v = kernel::version::Current();
  versionInformation->dwMajorVersion = ULONG(v.major);
  versionInformation->dwMinorVersion = ULONG(v.minor);
  versionInformation->dwBuildNumber = ULONG(v.build);
  versionInformation->dwPlatformId = VER_PLATFORM_WIN32_NT;
  memset(versionInformation->szCSDVersion, 0, sizeof(versionInformation->szCSDVersion));
  if (size == sizeof(RTL_OSVERSIONINFOEXW)) {
    auto ex = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(versionInformation);
    ex->wServicePackMajor = ex->wServicePackMinor = 0;
    ex->wSuiteMask = 0;
    ex->wProductType = VER_NT_WORKSTATION;
    ex->wReserved = 0;
  }
  return STATUS_SUCCESS;
}

BOOLEAN PsGetVersion(PULONG majorVersion, PULONG minorVersion, PULONG buildNumber,
                     PUNICODE_STRING csdVersion) {
  kernel::version::WindowsVersion v = kernel::version::Current();
  if (majorVersion != nullptr) *majorVersion = ULONG(v.major);
  if (minorVersion != nullptr) *minorVersion = ULONG(v.minor);
  if (buildNumber != nullptr) *buildNumber = ULONG(v.build);
  if (csdVersion != nullptr) *csdVersion = UNICODE_STRING{0, sizeof(WCHAR), kernel::version::g_noServicePack};
  return FALSE;
}

BOOLEAN RtlIsNtDdiVersionAvailable(ULONG version) { return version <= kernel::version::CurrentNtddi(); }
