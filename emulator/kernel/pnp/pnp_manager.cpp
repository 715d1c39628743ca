// The Plug and Play manager: driver packages, device nodes and the state
// changes that tests, tools and bus drivers ask for.
#include "emulator/kernel/pnp_manager.h"

#include <algorithm>
#include <atomic>

#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/pnp/pnp_internal.h"
#include "emulator/kernel/registry.h"
#include "emulator/kernel/system_worker.h"
#include "emulator/kernel/rtl/text.h"
#include "emulator/kernel/ke/verifier.h"
#include "emulator/kernel/wmi_manager.h"

namespace kernel::pnp {
using namespace internal;

namespace {

struct Tables {
  std::mutex lock;
  std::vector<std::unique_ptr<Package>> packages;
  std::vector<std::unique_ptr<Node>> nodes;
};

Tables& T() {
  static auto* tables = new Tables;
  return *tables;
}

Package* FindPackage(std::u16string_view service) {
  for (auto& package : T().packages)
    if (text::EqualNoCase(package->package.service, service)) return package.get();
  return nullptr;
}

// The first of the device's ids, hardware ids before compatible ids, that
// an installed package lists (table lock held).
Package* MatchPackage(Node& node) {
  std::vector<std::u16string> ids = node.child.hardwareIds;
  ids.insert(ids.end(), node.child.compatibleIds.begin(), node.child.compatibleIds.end());
  for (const std::u16string& id : ids)
    for (auto& package : T().packages)
      for (const std::u16string& listed : package->package.hardwareIds)
        if (text::EqualNoCase(id, listed)) {
          node.matchedId = id;
          return package.get();
        }
  return nullptr;
}

std::vector<std::u16string> InstancesOf(const Package* package) {
  std::lock_guard guard(T().lock);
  std::vector<std::u16string> paths;
  for (auto& node : T().nodes)
    if (node->package == package) paths.push_back(node->instancePath);
  return paths;
}

DeviceState StateLocked(const Node& node) {
  std::lock_guard guard(T().lock);
  return node.state;
}

void SetState(Node& node, DeviceState state) {
  std::lock_guard guard(T().lock);
  node.state = state;
  if (state == DeviceState::Started) node.everStarted = true;
}

// Flags of the IRP_MN_QUERY_PNP_DEVICE_STATE answer (PNP_DEVICE_FAILED,
// PNP_DEVICE_REMOVED).
constexpr ULONG_PTR kPnpDeviceFailed = 0x4, kPnpDeviceRemoved = 0x8;

void SurpriseRemoveNode(Node& node);

// Opens of the stack fail while it is not started or is being removed: the
// I/O manager reads these flags.
void MarkStack(PDEVICE_OBJECT pdo, ULONG set, ULONG clear) {
  for (PDEVICE_OBJECT device : StackOf(pdo)) io::SetExtensionFlags(device, set, clear);
}

// ---- Loading and unloading ------------------------------------------------------------

NTSTATUS EnsureLoaded(Package& package) {
  if (package.driver != nullptr) return STATUS_SUCCESS;
  PDRIVER_OBJECT driver = nullptr;
  NTSTATUS status =
      io::LoadDriver(package.package.service, package.package.entry, RegistryPath(package.package), &driver);
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard guard(T().lock);
  package.driver = driver;
  ++package.loads;
  return status;
}

// A driver goes once none of its devices is left, if it can: a driver
// without an unload routine stays loaded, as in Windows.
void UnloadIfUnused(Package* package) {
  if (package == nullptr || package->driver == nullptr || !InstancesOf(package).empty()) return;
  if (package->driver->DriverUnload == nullptr) return;
  io::UnloadDriver(package->driver);
  std::lock_guard guard(T().lock);
  package->driver = nullptr;
  ++package->unloads;
}

// ---- Requests -------------------------------------------------------------------------

void QueryCapabilities(Node& node) {
  DEVICE_CAPABILITIES capabilities = FreshCapabilities();
  IrpResult result = SendPnpIrp(node.pdo, IRP_MN_QUERY_CAPABILITIES, [&](IO_STACK_LOCATION& stack) {
    stack.Parameters.DeviceCapabilities.Capabilities = &capabilities;
  });
  if (!NT_SUCCESS(result.status)) return;
  std::lock_guard guard(T().lock);
  node.capabilities = capabilities;
}

// The emulated machine assigns no hardware resources: the lists the stack
// offers are given back to the pool.
void QueryResources(Node& node) {
  IrpResult requirements = SendPnpIrp(node.pdo, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
  PVOID list = NT_SUCCESS(requirements.status) ? reinterpret_cast<PVOID>(requirements.information) : nullptr;
  IrpResult filtered = SendPnpIrp(
      node.pdo, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
      [&](IO_STACK_LOCATION& stack) {
        stack.Parameters.FilterResourceRequirements.IoResourceRequirementList = list;
      },
      reinterpret_cast<ULONG_PTR>(list));
  // A filter that replaces the list frees the one it was given.
  PVOID final = NT_SUCCESS(filtered.status) ? reinterpret_cast<PVOID>(filtered.information) : list;
  if (final != nullptr) ExFreePool(final);
}

// The device objects that a removal deleted must have left WMI first.
void CheckDeregistered(const std::vector<PDEVICE_OBJECT>& deleted) {
  for (PDEVICE_OBJECT device : deleted)
    if (wmi::IsRegistered(device))
      verifier::Fail("device object deleted while registered with WMI", "IRP_MN_REMOVE_DEVICE", device,
                     "IoWMIRegistrationControl(WMIREG_ACTION_DEREGISTER) must come first");
}

void DeliverRemove(Node& node) {
  std::vector<PDEVICE_OBJECT> stack = StackOf(node.pdo);
  MarkStack(node.pdo, io::kDoeRemoveProcessed, 0);
  SendPnpIrp(node.pdo, IRP_MN_REMOVE_DEVICE);
  Package* package;
  bool missing;
  {
    std::lock_guard guard(T().lock);
    package = node.package;
    missing = node.missing;
    node.package = nullptr;
    node.state = DeviceState::NoDriver;
    node.everStarted = false;
    node.stack = {node.pdo};
  }
  if (!missing) stack.erase(stack.begin());  // the PDO stays with the bus
  CheckDeregistered(stack);
  ForgetPowerStates(stack);
  if (package != nullptr) {
    WriteServiceEnum(*package, InstancesOf(package));
    UnloadIfUnused(package);
  }
  if (!missing) return;
  std::lock_guard guard(T().lock);
  auto& nodes = T().nodes;
  std::erase_if(nodes, [&](const std::unique_ptr<Node>& entry) { return entry.get() == &node; });
}

NTSTATUS StartStack(Node& node) {
  QueryCapabilities(node);
  QueryResources(node);
  IrpResult start = SendPnpIrp(node.pdo, IRP_MN_START_DEVICE);
  if (!NT_SUCCESS(start.status)) {
    DeliverRemove(node);
    return start.status;
  }
  SetState(node, DeviceState::Started);
  MarkStack(node.pdo, 0, io::kDoeStartPending);
  QueryCapabilities(node);
  // A stack that reports its device failed or gone is taken down at once.
  IrpResult state = SendPnpIrp(node.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
  if (NT_SUCCESS(state.status) && (state.information & (kPnpDeviceFailed | kPnpDeviceRemoved)) != 0)
    SurpriseRemoveNode(node);
  return start.status;
}

void CheckAddDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver) {
  for (PDEVICE_OBJECT device : StackOf(pdo))
    if (device != pdo && device->DriverObject == driver && (device->Flags & DO_DEVICE_INITIALIZING) != 0)
      verifier::Fail("DO_DEVICE_INITIALIZING left set by AddDevice", "AddDevice", device,
                     "the device object must be ready before AddDevice returns");
}

NTSTATUS CallAddDevice(Node& node, Package& package) {
  PDRIVER_OBJECT driver = package.driver;
  PDRIVER_ADD_DEVICE addDevice =
      driver->DriverExtension != nullptr ? driver->DriverExtension->AddDevice : nullptr;
  if (addDevice == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = addDevice(driver, node.pdo);
  verifier::CheckIrql("AddDevice", driver, PASSIVE_LEVEL);
  if (NT_SUCCESS(status)) CheckAddDevice(node.pdo, driver);
  return status;
}

NTSTATUS AddAndStartNode(Node& node) {
  Package* package;
  {
    std::lock_guard guard(T().lock);
    if (node.state != DeviceState::NoDriver || node.missing) return STATUS_INVALID_DEVICE_STATE;
    package = MatchPackage(node);
  }
  if (package == nullptr) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status = EnsureLoaded(*package);
  if (!NT_SUCCESS(status)) return status;
  RecordDriver(node, *package);
  // A PDO left from an earlier removal takes a new stack.
  io::SetExtensionFlags(node.pdo, io::kDoeStartPending, io::kDoeRemovePending | io::kDoeRemoveProcessed);
  status = CallAddDevice(node, *package);
  if (!NT_SUCCESS(status)) {
    UnloadIfUnused(package);
    return status;
  }
  {
    std::lock_guard guard(T().lock);
    node.package = package;
    node.state = DeviceState::Added;
    node.stack = StackOf(node.pdo);
  }
  MarkStack(node.pdo, io::kDoeStartPending, 0);
  WriteServiceEnum(*package, InstancesOf(package));
  return StartStack(node);
}

void FinishSurpriseRemoval(Node& node) {
  if (StateLocked(node) == DeviceState::SurpriseRemoved && OpenHandles(node.pdo) == 0) DeliverRemove(node);
}

// A device that was started (also one stopped since) learns of the loss with
// IRP_MN_SURPRISE_REMOVAL; one that never started, or has no driver, only
// gets the removal, and only when it is really gone.
void SurpriseRemoveNode(Node& node) {
  DeviceState state;
  bool everStarted, missing;
  {
    std::lock_guard guard(T().lock);
    state = node.state;
    everStarted = node.everStarted;
    missing = node.missing;
  }
  if (state == DeviceState::Started || (state == DeviceState::Added && everStarted)) {
    MarkStack(node.pdo, io::kDoeRemoveProcessed, 0);
    SendPnpIrp(node.pdo, IRP_MN_SURPRISE_REMOVAL);
    SetState(node, DeviceState::SurpriseRemoved);
    FinishSurpriseRemoval(node);
  } else if (state == DeviceState::Added || (state == DeviceState::NoDriver && missing)) {
    DeliverRemove(node);
  }
}

Node* LookUp(PDEVICE_OBJECT pdo) {
  std::lock_guard guard(T().lock);
  return FindByPdo(pdo);
}

// Runs `action` on the PDO's node under the engine lock, after checking
// that the node is in one of the `allowed` states.
template <class Action>
NTSTATUS OnNode(const char* routine, PDEVICE_OBJECT pdo, std::initializer_list<DeviceState> allowed,
                Action action) {
  verifier::CheckIrql(routine, pdo, PASSIVE_LEVEL);
  EngineLock engine;
  Node* node = LookUp(pdo);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  DeviceState state = StateLocked(*node);
  for (DeviceState candidate : allowed)
    if (candidate == state) return action(*node);
  return STATUS_INVALID_DEVICE_STATE;
}

// Queued actions find their node again: it may be gone by the time they run.
void QueueNodeAction(PDEVICE_OBJECT pdo, void (*action)(Node&)) {
  worker::Queue([pdo, action] {
    EngineLock engine;
    if (Node* node = LookUp(pdo)) action(*node);
  });
}

void Boot(const MachineOptions&) {
  InitializeEngineLock();
  std::lock_guard guard(T().lock);
  T().nodes.clear();
  T().packages.clear();
}

void Shutdown() {
  worker::WaitForIdle();
  std::lock_guard guard(T().lock);
  T().nodes.clear();
  T().packages.clear();
}

const bool registered = RegisterSubsystem({"pnp", 60, Boot, Shutdown});

}  // namespace

// ---- Internal -----------------------------------------------------------------------------

namespace internal {

namespace {
KEVENT g_engineFree;  // synchronization event: signalled while no action runs
std::atomic<PKTHREAD> g_engineOwner{nullptr};
}  // namespace

void InitializeEngineLock() {
  KeInitializeEvent(&g_engineFree, SynchronizationEvent, TRUE);
  g_engineOwner = nullptr;
}

EngineLock::EngineLock() {
  verifier::CheckIrql("Plug and Play action", nullptr, PASSIVE_LEVEL);
  PKTHREAD self = KeGetCurrentThread();
  if (self != nullptr && g_engineOwner.load() == self)
    verifier::Fail("Plug and Play action inside another", "kernel::pnp", self,
                   "a driver asked for a Plug and Play or power transition while handling one");
  KeWaitForSingleObject(&g_engineFree, Executive, KernelMode, FALSE, nullptr);
  g_engineOwner = self;
}

EngineLock::~EngineLock() {
  g_engineOwner = nullptr;
  KeSetEvent(&g_engineFree, 0, FALSE);
}

std::mutex& TableLock() { return T().lock; }
std::vector<std::unique_ptr<Node>>& Nodes() { return T().nodes; }

Node* FindByPdo(PDEVICE_OBJECT pdo) {
  for (auto& node : T().nodes)
    if (node->pdo == pdo) return node.get();
  return nullptr;
}

Node* FindByDevice(PDEVICE_OBJECT device) {
  for (auto& node : T().nodes)
    if (std::find(node->stack.begin(), node->stack.end(), device) != node->stack.end()) return node.get();
  return nullptr;
}

std::vector<PDEVICE_OBJECT> StackOf(PDEVICE_OBJECT pdo) {
  std::vector<PDEVICE_OBJECT> stack;
  for (PDEVICE_OBJECT device = pdo; device != nullptr; device = device->AttachedDevice)
    stack.push_back(device);
  return stack;
}

long OpenHandles(PDEVICE_OBJECT pdo) {
  long handles = 0;
  for (PDEVICE_OBJECT device : StackOf(pdo))
    handles += __atomic_load_n(&device->ReferenceCount, __ATOMIC_SEQ_CST);
  return handles;
}

}  // namespace internal

// ---- Drivers --------------------------------------------------------------------------------

bool InstallDriver(const DriverPackage& package) {
  verifier::CheckIrql("kernel::pnp::InstallDriver", nullptr, PASSIVE_LEVEL);
  if (package.service.empty() || package.entry == nullptr || package.hardwareIds.empty()) return false;
  {
    std::lock_guard guard(T().lock);
    if (FindPackage(package.service) != nullptr) return false;
    T().packages.push_back(std::make_unique<Package>(Package{package}));
  }
  WriteServiceKey(package);
  return true;
}

PDRIVER_OBJECT LoadedDriver(std::u16string_view service) {
  std::lock_guard guard(T().lock);
  Package* package = FindPackage(service);
  return package != nullptr ? package->driver : nullptr;
}

int LoadCount(std::u16string_view service) {
  std::lock_guard guard(T().lock);
  Package* package = FindPackage(service);
  return package != nullptr ? package->loads : 0;
}

int UnloadCount(std::u16string_view service) {
  std::lock_guard guard(T().lock);
  Package* package = FindPackage(service);
  return package != nullptr ? package->unloads : 0;
}

// ---- Bus drivers ----------------------------------------------------------------------------

NTSTATUS ReportChildPresent(PDEVICE_OBJECT pdo, const ChildDevice& child) {
  verifier::CheckIrql("kernel::pnp::ReportChildPresent", pdo, PASSIVE_LEVEL);
  if (pdo == nullptr || child.deviceId.empty() || child.instanceId.empty() || child.hardwareIds.empty())
    return STATUS_INVALID_PARAMETER;
  if ((pdo->Flags & DO_DEVICE_INITIALIZING) != 0)
    verifier::Fail("PDO reported with DO_DEVICE_INITIALIZING set", "kernel::pnp::ReportChildPresent", pdo,
                   "the bus driver must finish the device object before reporting it");
  std::u16string instancePath = child.deviceId + u"\\" + child.instanceId;
  EngineLock engine;
  Node* node;
  {
    std::lock_guard guard(T().lock);
    if (FindByDevice(pdo) != nullptr || IoGetAttachedDevice(pdo) != pdo) return STATUS_INVALID_PARAMETER;
    for (auto& existing : T().nodes)
      if (text::EqualNoCase(existing->instancePath, instancePath)) return STATUS_OBJECT_NAME_COLLISION;
    auto created = std::make_unique<Node>();
    created->pdo = pdo;
    created->child = child;
    created->instancePath = instancePath;
    created->capabilities = FreshCapabilities();
    created->stack = {pdo};
    node = created.get();
    T().nodes.push_back(std::move(created));
  }
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
  io::SetExtensionFlags(pdo, io::kDoeStartPending, 0);
  io::SetDeviceInstancePath(pdo, instancePath);
  WriteInstanceKey(*node);
  QueryCapabilities(*node);  // the bare PDO, as at enumeration
  return AddAndStartNode(*node);
}

void ReportChildMissing(PDEVICE_OBJECT pdo) {
  verifier::CheckIrql("kernel::pnp::ReportChildMissing", pdo, DISPATCH_LEVEL);
  {
    std::lock_guard guard(T().lock);
    Node* node = FindByPdo(pdo);
    if (node == nullptr)
      verifier::Fail("missing child is not a reported PDO", "kernel::pnp::ReportChildMissing", pdo);
    node->missing = true;
  }
  QueueNodeAction(pdo, SurpriseRemoveNode);
}

void FillChildCapabilities(PDEVICE_OBJECT pdo, PDEVICE_CAPABILITIES capabilities) {
  std::lock_guard guard(T().lock);
  Node* node = FindByPdo(pdo);
  if (node == nullptr || capabilities == nullptr) return;
  USHORT size = capabilities->Size, version = capabilities->Version;
  *capabilities = node->child.capabilities;
  capabilities->Size = size;
  capabilities->Version = version;
}

// ---- Operations -----------------------------------------------------------------------------

NTSTATUS AddAndStart(PDEVICE_OBJECT pdo) {
  return OnNode("kernel::pnp::AddAndStart", pdo, {DeviceState::NoDriver}, AddAndStartNode);
}

NTSTATUS QueryStopAndStop(PDEVICE_OBJECT pdo) {
  return OnNode("kernel::pnp::QueryStopAndStop", pdo, {DeviceState::Started}, [](Node& node) {
    IrpResult query = SendPnpIrp(node.pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(query.status)) {
      SendPnpIrp(node.pdo, IRP_MN_CANCEL_STOP_DEVICE);
      return query.status;
    }
    IrpResult stop = SendPnpIrp(node.pdo, IRP_MN_STOP_DEVICE);
    SetState(node, DeviceState::Added);
    MarkStack(node.pdo, io::kDoeStartPending, 0);
    return stop.status;
  });
}

NTSTATUS QueryStopAndCancel(PDEVICE_OBJECT pdo) {
  return OnNode("kernel::pnp::QueryStopAndCancel", pdo, {DeviceState::Started}, [](Node& node) {
    IrpResult query = SendPnpIrp(node.pdo, IRP_MN_QUERY_STOP_DEVICE);
    IrpResult cancel = SendPnpIrp(node.pdo, IRP_MN_CANCEL_STOP_DEVICE);
    return NT_SUCCESS(query.status) ? cancel.status : query.status;
  });
}

NTSTATUS Restart(PDEVICE_OBJECT pdo) {
  return OnNode("kernel::pnp::Restart", pdo, {DeviceState::Added}, StartStack);
}

NTSTATUS QueryRemoveAndRemove(PDEVICE_OBJECT pdo) {
  return OnNode("kernel::pnp::QueryRemoveAndRemove", pdo, {DeviceState::Added, DeviceState::Started},
                [](Node& node) {
                  MarkStack(node.pdo, io::kDoeRemovePending, 0);
                  IrpResult query = SendPnpIrp(node.pdo, IRP_MN_QUERY_REMOVE_DEVICE);
                  NTSTATUS veto = !NT_SUCCESS(query.status)    ? query.status
                                  : OpenHandles(node.pdo) != 0 ? kVetoOutstandingOpen
                                                               : STATUS_SUCCESS;
                  if (veto != STATUS_SUCCESS) {
                    SendPnpIrp(node.pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
                    MarkStack(node.pdo, 0, io::kDoeRemovePending);
                    return veto;
                  }
                  DeliverRemove(node);
                  return STATUS_SUCCESS;
                });
}

NTSTATUS QueryRemoveAndCancel(PDEVICE_OBJECT pdo) {
  return OnNode("kernel::pnp::QueryRemoveAndCancel", pdo, {DeviceState::Added, DeviceState::Started},
                [](Node& node) {
                  MarkStack(node.pdo, io::kDoeRemovePending, 0);
                  IrpResult query = SendPnpIrp(node.pdo, IRP_MN_QUERY_REMOVE_DEVICE);
                  IrpResult cancel = SendPnpIrp(node.pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
                  MarkStack(node.pdo, 0, io::kDoeRemovePending);
                  return NT_SUCCESS(query.status) ? cancel.status : query.status;
                });
}

NTSTATUS SurpriseRemove(PDEVICE_OBJECT pdo) {
  return OnNode("kernel::pnp::SurpriseRemove", pdo, {DeviceState::Added, DeviceState::Started},
                [](Node& node) {
                  SurpriseRemoveNode(node);
                  return STATUS_SUCCESS;
                });
}

void WaitForPendingActions() {
  // Closes run on worker threads too: once they are done, removals that
  // waited for the last handle go on, whether or not the I/O manager's
  // notice of the close has come.
  worker::WaitForIdle();
  std::vector<PDEVICE_OBJECT> waiting;
  {
    std::lock_guard guard(T().lock);
    for (auto& node : T().nodes)
      if (node->state == DeviceState::SurpriseRemoved) waiting.push_back(node->pdo);
  }
  for (PDEVICE_OBJECT pdo : waiting) QueueNodeAction(pdo, FinishSurpriseRemoval);
  worker::WaitForIdle();
}

void NotifyFileClosed(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT pdo;
  {
    std::lock_guard guard(T().lock);
    Node* node = FindByDevice(device);
    if (node == nullptr || node->state != DeviceState::SurpriseRemoved) return;
    pdo = node->pdo;
  }
  QueueNodeAction(pdo, FinishSurpriseRemoval);
}

// ---- State ----------------------------------------------------------------------------------

DeviceState StateOf(PDEVICE_OBJECT device) {
  std::lock_guard guard(T().lock);
  Node* node = FindByDevice(device);
  return node != nullptr ? node->state : DeviceState::NotPresent;
}

PDEVICE_OBJECT PdoOf(PDEVICE_OBJECT device) {
  std::lock_guard guard(T().lock);
  Node* node = FindByDevice(device);
  return node != nullptr ? node->pdo : nullptr;
}

std::u16string InstancePath(PDEVICE_OBJECT device) {
  std::lock_guard guard(T().lock);
  Node* node = FindByDevice(device);
  return node != nullptr ? node->instancePath : std::u16string();
}

std::vector<PDEVICE_OBJECT> Pdos() {
  std::lock_guard guard(T().lock);
  std::vector<PDEVICE_OBJECT> pdos;
  for (auto& node : T().nodes) pdos.push_back(node->pdo);
  return pdos;
}

}  // namespace kernel::pnp
