// The Windows version the machine reports (MachineOptions), for host modules
// whose behaviour depends on it, such as IoIsWdmVersionAvailable.
#pragma once

namespace kernel::version {

struct WindowsVersion {
  unsigned long major, minor, build;
};

WindowsVersion Current();

}  // namespace kernel::version
