// RtlIsNtDdiVersionAvailable comes, in the Driver Kit, from a static helper
// library that mingw-w64 does not ship; wdm.h maps the name to
// WdmlibRtlIsNtDdiVersionAvailable, which this file provides from
// RtlGetVersion.
#include "platform/platform.h"

namespace {

// Build numbers of the Windows 10 and 11 releases that the low byte of an
// NTDDI_WIN10_* value names (1 = NTDDI_WIN10_TH2, ...). Zero marks a value
// that names no public release.
constexpr ULONG kWin10Builds[] = {
    10240,  // 0: NTDDI_WIN10
    10586,  // 1: TH2
    14393,  // 2: RS1
    15063,  // 3: RS2
    16299,  // 4: RS3
    17134,  // 5: RS4
    17763,  // 6: RS5
    18362,  // 7: 19H1
    19041,  // 8: VB
    0,      // 9: MN
    20348,  // 10: FE
    22000,  // 11: CO
    22621,  // 12: NI
};

}  // namespace

extern "C" BOOLEAN WdmlibRtlIsNtDdiVersionAvailable(ULONG Version) {
  RTL_OSVERSIONINFOEXW info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!NT_SUCCESS(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)))) {
    return FALSE;
  }

  const ULONG major = (Version >> 24) & 0xFF;
  const ULONG minor = (Version >> 16) & 0xFF;
  if (info.dwMajorVersion != major) {
    return info.dwMajorVersion > major;
  }
  if (info.dwMinorVersion != minor) {
    return info.dwMinorVersion > minor;
  }

  if (major >= 10) {
    // From Windows 10 on the low word names a release, told apart by build.
    const ULONG release = Version & 0xFFFF;
    if (release >= sizeof(kWin10Builds) / sizeof(kWin10Builds[0]) || kWin10Builds[release] == 0) {
      return FALSE;  // a release this image does not know is not assumed present
    }
    return info.dwBuildNumber >= kWin10Builds[release];
  }
  // Before Windows 10 the third byte is the service pack.
  return info.wServicePackMajor >= ((Version >> 8) & 0xFF);
}
