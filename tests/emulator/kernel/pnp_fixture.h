// A small bus driver and a small function driver for the Plug and Play,
// power and WMI manager tests.
//
// The bus driver's PDOs answer Plug and Play and power requests the way a
// bus driver does: state changes succeed (or fail as a test asks),
// capabilities come from what the bus reported, a removal of a child that is
// gone deletes the PDO, device set-power requests are reported with
// PoSetPowerState. The function driver attaches an FDO to each PDO, records
// every Plug and Play and power request it sees, passes them down the way a
// WDM driver does, and as power-policy owner turns system power requests
// into device power requests of its own stack.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/pnp_manager.h"
#include "emulator/kernel/power_manager.h"
#include "emulator/kernel/registry.h"
#include "platform/host/ex.h"
#include "platform/host/wmi.h"
#include "support/machine_test.h"

namespace pnptest {

constexpr char16_t kService[] = u"TestPort";
constexpr char16_t kHardwareId[] = u"TEST\\VID_1A2B&PID_7315";

// One request as a driver saw it.
struct Seen {
  UCHAR major;
  UCHAR minor;
  NTSTATUS statusOnArrival;
  KIRQL irql;
  POWER_STATE_TYPE powerType;
  POWER_STATE powerState;
  POWER_ACTION shutdownType;
  ULONG systemContext;
};

struct Pdo {
  PDEVICE_OBJECT device = nullptr;
  bool reported = false;
  bool missing = false;
  bool deleted = false;  // by its IRP_MN_REMOVE_DEVICE once missing
  // Status the PDO completes device power requests with (default success).
  NTSTATUS devicePowerStatus = STATUS_SUCCESS;
  bool completePowerAtDispatch = false;  // from a clock callback, at DISPATCH_LEVEL
  std::vector<Seen> seen;
};

struct Fdo {
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  std::vector<Seen> seen;
  std::vector<uint8_t> portName;  // "PortName" read from the hardware key in AddDevice
  ULONG wakeEnable = 0;           // the WMI data block
};

// What a test makes the function driver do wrong (or differently).
struct Faults {
  bool leaveInitializing = false;    // AddDevice keeps DO_DEVICE_INITIALIZING
  bool startNotSupported = false;    // completes START with STATUS_NOT_SUPPORTED
  bool removeWithoutDetach = false;  // returns from REMOVE still attached
  bool keepWmiRegistration = false;  // deletes its device without deregistering
  bool nestedAction = false;         // asks for a Plug and Play action inside START
  NTSTATUS queryStopStatus = STATUS_SUCCESS;
  NTSTATUS queryRemoveStatus = STATUS_SUCCESS;
  NTSTATUS queryPowerStatus = STATUS_SUCCESS;  // answer to system IRP_MN_QUERY_POWER
  bool registerWmi = false;                    // registers its FDO as a WMI provider
};

struct World {
  PDRIVER_OBJECT busDriver = nullptr;
  std::vector<Pdo*> pdos;
  std::vector<Fdo*> fdos;
  Faults faults;
  int addDeviceCalls = 0;
  int unloadCalls = 0;
  PWMILIB_CONTEXT wmiContext = nullptr;
  ~World();
};

World& W();

inline Pdo& PdoOf(PDEVICE_OBJECT device) { return **static_cast<Pdo**>(device->DeviceExtension); }
inline Fdo& FdoOf(PDEVICE_OBJECT device) { return **static_cast<Fdo**>(device->DeviceExtension); }

NTSTATUS NTAPI FunctionDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// Appends to a driver's log; logs are written from several threads.
void Log(std::vector<Seen>& log, PIRP irp);
// A copy of a log, taken under the same lock.
std::vector<Seen> Copy(const std::vector<Seen>& log);

// The minor codes of one major function in a log, in order.
std::vector<UCHAR> Minors(const std::vector<Seen>& seen, UCHAR major);

class PnpTest : public MachineTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Installs the test function driver for kHardwareId.
  void InstallFunctionDriver();
  // Creates PDO number `index` of the test bus (named "\Device\TestPdo<index>").
  PDEVICE_OBJECT CreatePdo(int index);
  // A child description with instance id "SN0001&<index>".
  static kernel::pnp::ChildDevice Child(int index);
  // CreatePdo + ReportChildPresent; expects success.
  PDEVICE_OBJECT Plug(int index);
  // ReportChildMissing and waits for the removal.
  void Unplug(PDEVICE_OBJECT pdo);
  // Removes every device still present and deletes the bus's PDOs, so that
  // the machine shuts down clean.
  void RemoveAll();

  Fdo& FdoAbove(PDEVICE_OBJECT pdo);
};

}  // namespace pnptest
