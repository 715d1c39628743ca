// Internal to the Plug and Play and power managers: installed driver
// packages, device nodes and the requests the managers send.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/kernel/pnp_manager.h"

namespace kernel::pnp::internal {

struct Package {
  DriverPackage package;
  PDRIVER_OBJECT driver = nullptr;  // while loaded
  int loads = 0;
  int unloads = 0;
};

struct Node {
  PDEVICE_OBJECT pdo = nullptr;
  ChildDevice child;
  std::u16string instancePath;
  Package* package = nullptr;  // the function driver added to the stack
  std::u16string matchedId;    // the id that chose the package
  DeviceState state = DeviceState::NoDriver;
  bool everStarted = false;            // since the function driver was added
  bool missing = false;                // the bus reported the device gone
  DEVICE_CAPABILITIES capabilities{};  // the stack's last answer
  // The device objects of the stack, PDO first, as the manager last saw
  // them (after AddDevice and after removal): other threads find a node by
  // any of them without reading device objects that drivers change.
  std::vector<PDEVICE_OBJECT> stack;
};

// The table lock guards the package and node tables and every node field;
// it is never held while a driver runs.
std::mutex& TableLock();
std::vector<std::unique_ptr<Node>>& Nodes();
// Exact PDO, or any device object of the node's stack (table lock held).
Node* FindByPdo(PDEVICE_OBJECT pdo);
Node* FindByDevice(PDEVICE_OBJECT device);

// Serialises Plug and Play actions and system power transitions, as the
// kernel's device tree lock does. Taken at PASSIVE_LEVEL.
class EngineLock {
 public:
  EngineLock();
  ~EngineLock();
  EngineLock(const EngineLock&) = delete;
  EngineLock& operator=(const EngineLock&) = delete;
};
void InitializeEngineLock();

// Device objects of a stack, bottom (the PDO) first.
std::vector<PDEVICE_OBJECT> StackOf(PDEVICE_OBJECT pdo);
// Handles open on any device object of the stack.
long OpenHandles(PDEVICE_OBJECT pdo);

// ---- Requests (pnp_irp.cpp) ---------------------------------------------------------
struct IrpResult {
  NTSTATUS status;
  ULONG_PTR information;
};
// Sends IRP_MJ_PNP `minor` to the top of the PDO's stack the way the kernel
// does (IoStatus.Status = STATUS_NOT_SUPPORTED, Information = `information`),
// waits for it and frees it. `fill` sets the minor function's parameters.
IrpResult SendPnpIrp(PDEVICE_OBJECT pdo, UCHAR minor,
                     const std::function<void(IO_STACK_LOCATION&)>& fill = {}, ULONG_PTR information = 0);
// A capabilities record as the kernel hands it down: Version 1, no address.
DEVICE_CAPABILITIES FreshCapabilities();

// ---- Registry (pnp_device_keys.cpp) ---------------------------------------------------
// The instance key with the bus's ids and description (at report).
void WriteInstanceKey(const Node& node);
// Service, class and driver key of the function driver (when it is added),
// and the friendly name that the ports class gives a named port.
void RecordDriver(const Node& node, const Package& package);
// Rewrites ...\Services\<service>\Enum with the instance paths of the
// devices the package drives.
void WriteServiceEnum(const Package& package, const std::vector<std::u16string>& instancePaths);
void WriteServiceKey(const DriverPackage& package);
std::u16string RegistryPath(const DriverPackage& package);

// ---- Power manager hooks ----------------------------------------------------------------
// Forgets what the device objects reported with PoSetPowerState.
void ForgetPowerStates(const std::vector<PDEVICE_OBJECT>& devices);

}  // namespace kernel::pnp::internal
