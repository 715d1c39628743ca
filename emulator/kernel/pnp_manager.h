// The emulated Plug and Play manager, host side: drivers are installed by
// service name and hardware ids, bus drivers report the child devices they
// create, and tests or tools ask for the state changes that Windows makes
// (start, stop, removal, surprise removal). Each operation sends the same
// IRP_MJ_PNP sequence as Windows, one operation at a time at PASSIVE_LEVEL,
// waits for every request and reports the outcome.
//
// A device node per reported physical device object keeps its registry keys:
//   instance key   \Registry\Machine\SYSTEM\CurrentControlSet\Enum\<instance path>
//                  (DeviceDesc, HardwareID, CompatibleIDs, Service, Driver,
//                  Class, ClassGUID, Mfg, LocationInformation, FriendlyName)
//   hardware key   <instance key>\Device Parameters   (PLUGPLAY_REGKEY_DEVICE)
//   driver key     \Registry\Machine\SYSTEM\CurrentControlSet\Control\Class\<class GUID>\NNNN
//                  (PLUGPLAY_REGKEY_DRIVER)
//   service list   \Registry\Machine\SYSTEM\CurrentControlSet\Services\<service>\Enum
//                  ("Count", "NextInstance", "0", "1", ... = instance paths)
// Values a test wants a driver to find (PortName, DeviceWakeEnable, ...) are
// written to HardwareKeyPath(instance path) with kernel::registry before the
// device is reported; the keys outlive the device, as in Windows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/io.h"

namespace kernel::pnp {

// ---- Function drivers ----------------------------------------------------------------
struct DriverPackage {
  // Service name: the key under ...\Services and the driver object \Driver\<service>.
  std::u16string service;
  PDRIVER_INITIALIZE entry = nullptr;
  // Matched case-insensitively against a device's hardware ids, then its
  // compatible ids; the first package that matches drives the device.
  std::vector<std::u16string> hardwareIds;
  std::u16string className = u"Ports";
  std::u16string classGuid = u"{4D36E978-E325-11CE-BFC1-08002BE10318}";
  std::u16string manufacturer;
  // What the package's INF adds (see InstallFromInf); empty for a package
  // made in code. The description names the devices it drives (DeviceDesc,
  // DriverDesc and the base of a port's FriendlyName) instead of the bus
  // driver's; the values go to each device's hardware key ("Device
  // Parameters") when the driver is installed on it.
  std::u16string description;
  struct RegistryValue {
    std::string name;
    ULONG type;
    std::vector<uint8_t> data;
    bool keepExisting;  // FLG_ADDREG_NOCLOBBER
  };
  std::vector<RegistryValue> hardwareKeyValues;
  ULONG startType = 3;       // SERVICE_DEMAND_START
  ULONG errorControl = 1;    // SERVICE_ERROR_NORMAL
  std::u16string imagePath;  // default: \SystemRoot\System32\drivers\<service>.sys
};

// Installs the package (service key with Type, Start, ErrorControl). The
// driver is loaded, DriverEntry running with the registry path
// "\Registry\Machine\System\CurrentControlSet\Services\<service>", when the
// first device it drives is added, and unloaded (DriverUnload) when its last
// device has been removed. False when the service is already installed or
// the package is incomplete.
bool InstallDriver(const DriverPackage& package);
// Installs the driver an INF file describes, as Windows' device installation
// does with a driver package: the class from [Version], the hardware ids and
// device description of the x64 models of [Manufacturer], the install
// section's .HW AddReg (HKR values for the device's hardware key) and its
// .Services AddService (service name, start type, error control and binary).
// `entry` stands for the binary's DriverEntry. False, with `problem` saying
// why, when the file cannot be read, is not an INF for x64, or uses what this
// installer does not provide (another registry root, several install
// sections, ...).
bool InstallFromInf(const std::string& infPath, PDRIVER_INITIALIZE entry, std::string* problem);
// The loaded driver object of a service, nullptr when it is not loaded.
PDRIVER_OBJECT LoadedDriver(std::u16string_view service);
// Times the service's DriverEntry has run, and its DriverUnload.
int LoadCount(std::u16string_view service);
int UnloadCount(std::u16string_view service);

// ---- Bus drivers ----------------------------------------------------------------------
// A bus driver creates a named PDO (IoCreateDevice, DO_DEVICE_INITIALIZING
// cleared) and reports it. Its PDO dispatch answers IRP_MN_QUERY_CAPABILITIES
// with FillChildCapabilities, completes the start, stop, query/cancel and
// removal requests with a status of its own (never STATUS_NOT_SUPPORTED),
// completes every other request with the status it found, and deletes the
// PDO on IRP_MN_REMOVE_DEVICE once it has reported the child missing. Power
// requests it completes after PoStartNextPowerIrp, reporting device states
// with PoSetPowerState. Reports are not made from inside a Plug and Play
// request of the same machine (a verifier failure): the PnP manager runs one
// action at a time.
struct ChildDevice {
  std::u16string deviceId;                  // enumerator and device: "USB\VID_1A2B&PID_7315"
  std::u16string instanceId;                // unique below deviceId: "SN0001&0"
  std::vector<std::u16string> hardwareIds;  // most specific first
  std::vector<std::u16string> compatibleIds;
  std::u16string description;          // DeviceDesc
  std::u16string locationInformation;  // may be empty
  // Answered to IRP_MN_QUERY_CAPABILITIES by the child's PDO (see
  // FillChildCapabilities); Size and Version are the requester's.
  DEVICE_CAPABILITIES capabilities{};
};

// A bus driver reports a child PDO it created (PASSIVE_LEVEL). The manager
// builds the device node and its keys, then adds and starts the device like
// AddAndStart. Returns that status; STATUS_OBJECT_NAME_COLLISION when the
// instance path is already present, STATUS_INVALID_PARAMETER for a device
// object that is already a PDO or incomplete ids.
NTSTATUS ReportChildPresent(PDEVICE_OBJECT pdo, const ChildDevice& child);
// The child is gone (unplugged); any IRQL up to DISPATCH_LEVEL. On a system
// thread, a started device gets IRP_MN_SURPRISE_REMOVAL and, once no handle
// to its stack is open, IRP_MN_REMOVE_DEVICE; an added device that was never
// started only the removal. After that removal the node is gone and the bus
// deletes the PDO (its IRP_MN_REMOVE_DEVICE for a missing child).
void ReportChildMissing(PDEVICE_OBJECT pdo);
// For a PDO's IRP_MN_QUERY_CAPABILITIES handler: copies the capabilities the
// bus reported, keeping the requester's Size and Version.
void FillChildCapabilities(PDEVICE_OBJECT pdo, PDEVICE_CAPABILITIES capabilities);

// ---- Operations (PASSIVE_LEVEL; each returns the status it ends with) -------------------
// Loads the matching driver if needed, runs AddDevice, then sends
// IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
// IRP_MN_FILTER_RESOURCE_REQUIREMENTS and IRP_MN_START_DEVICE; after a
// successful start IRP_MN_QUERY_CAPABILITIES and IRP_MN_QUERY_PNP_DEVICE_STATE.
// A failed start is followed by IRP_MN_REMOVE_DEVICE; a started device that
// reports itself failed or removed is surprise-removed (the start's status
// is still returned). Also re-adds a device
// removed with QueryRemoveAndRemove. STATUS_NO_SUCH_DEVICE when no installed
// driver matches (the device stays without a driver).
NTSTATUS AddAndStart(PDEVICE_OBJECT pdo);
// IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE, or IRP_MN_CANCEL_STOP_DEVICE
// when the query fails (its status is returned).
NTSTATUS QueryStopAndStop(PDEVICE_OBJECT pdo);
// IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_CANCEL_STOP_DEVICE as when another
// device vetoes the rebalance. The query's failure, else the cancel's status.
NTSTATUS QueryStopAndCancel(PDEVICE_OBJECT pdo);
// Starts a stopped device again: IRP_MN_START_DEVICE, then the queries that
// follow a start.
NTSTATUS Restart(PDEVICE_OBJECT pdo);
// IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE. The removal is
// vetoed, with IRP_MN_CANCEL_REMOVE_DEVICE sent, when the query fails (its
// status) or a handle to the stack is still open (kVetoOutstandingOpen).
NTSTATUS QueryRemoveAndRemove(PDEVICE_OBJECT pdo);
// IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_CANCEL_REMOVE_DEVICE.
NTSTATUS QueryRemoveAndCancel(PDEVICE_OBJECT pdo);
// A device that failed while present: IRP_MN_SURPRISE_REMOVAL, and
// IRP_MN_REMOVE_DEVICE once no handle is open (perhaps later, on a system
// thread). The PDO stays; AddAndStart brings the device back.
NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo);
// Waits until the removals and surprise removals queued so far have run,
// and the removals that waited for handles closed meanwhile.
void WaitForPendingActions();

constexpr NTSTATUS kVetoOutstandingOpen = ((NTSTATUS)0x80000011L);  // STATUS_DEVICE_BUSY

// ---- State, for tests and the I/O manager ------------------------------------------------
enum class DeviceState {
  NotPresent,  // no node: never reported, or removed after going missing
  NoDriver,    // reported, no driver added (never, or after a removal)
  Added,       // AddDevice done, not started (or stopped)
  Started,
  SurpriseRemoved,  // waiting for the last handle to close
};
// State of the node of the stack `device` belongs to (any device in it).
DeviceState StateOf(PDEVICE_OBJECT device);
// The PDO at the bottom of the stack of a node `device` belongs to, or nullptr.
PDEVICE_OBJECT PdoOf(PDEVICE_OBJECT device);
std::u16string InstancePath(PDEVICE_OBJECT device);
// Registry paths in kernel::registry's form (UTF-8).
std::string InstanceKeyPath(std::u16string_view instancePath);
std::string HardwareKeyPath(std::u16string_view instancePath);
// Empty until a driver has been added to the device.
std::string DriverKeyPath(std::u16string_view instancePath);
// PDOs of every node, in report order.
std::vector<PDEVICE_OBJECT> Pdos();

// The I/O manager calls this after a file object on `device` has been
// closed (IRP_MJ_CLOSE done), so that a pending removal can go on.
void NotifyFileClosed(PDEVICE_OBJECT device);

}  // namespace kernel::pnp
