#include "pnp_fixture.h"

#include <mutex>
#include <string>

#include "emulator/kernel/clock.h"

namespace pnptest {
namespace {

World* g_world = nullptr;

std::u16string Number(int value) {
  std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}
std::mutex g_logLock;

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT lower, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(Fdo& fdo, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
  IoCallDriver(fdo.lower, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

// ---- The bus driver's PDOs ---------------------------------------------------------

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT device, PIRP irp) {
  Pdo& pdo = PdoOf(device);
  Log(pdo.seen, irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES:
      kernel::pnp::FillChildCapabilities(device, stack->Parameters.DeviceCapabilities.Capabilities);
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
      Complete(irp, STATUS_SUCCESS);
      if (pdo.missing) {
        pdo.deleted = true;
        IoDeleteDevice(device);
      }
      return STATUS_SUCCESS;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(irp, STATUS_SUCCESS);
    default:
      return Complete(irp, irp->IoStatus.Status);  // not handled: status unchanged
  }
}

NTSTATUS NTAPI BusPower(PDEVICE_OBJECT device, PIRP irp) {
  Pdo& pdo = PdoOf(device);
  Log(pdo.seen, irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
    bool device_request = stack->Parameters.Power.Type == DevicePowerState;
    status = device_request ? pdo.devicePowerStatus : STATUS_SUCCESS;
    if (device_request && stack->MinorFunction == IRP_MN_SET_POWER && NT_SUCCESS(status))
      PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  if (!pdo.completePowerAtDispatch) {
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  IoMarkIrpPending(irp);
  kernel::clock::ScheduleAfter(0, [irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
  return STATUS_PENDING;
}

NTSTATUS NTAPI BusSystemControl(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, irp->IoStatus.Status); }

NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
  driver->MajorFunction[IRP_MJ_POWER] = BusPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusSystemControl;
  return STATUS_SUCCESS;
}

// ---- The function driver ------------------------------------------------------------

std::vector<uint8_t> ReadPortName(PDEVICE_OBJECT pdo) {
  HANDLE key = nullptr;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) return {};
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"PortName");
  UCHAR buffer[64];
  ULONG length = 0;
  std::vector<uint8_t> value;
  if (NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length))) {
    auto info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    value.assign(info->Data, info->Data + info->DataLength);
  }
  ZwClose(key);
  return value;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  World& world = W();
  std::u16string name = u"\\Device\\TestPort" + Number(world.addDeviceCalls++);
  UNICODE_STRING deviceName{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(Fdo*), &deviceName, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* fdo = new Fdo;
  world.fdos.push_back(fdo);
  *static_cast<Fdo**>(device->DeviceExtension) = fdo;
  fdo->device = device;
  fdo->pdo = pdo;
  fdo->lower = IoAttachDeviceToDeviceStack(device, pdo);
  fdo->portName = ReadPortName(pdo);
  device->Flags |= DO_POWER_PAGABLE;
  if (world.faults.registerWmi) IoWMIRegistrationControl(device, WMIREG_ACTION_REGISTER);
  if (!world.faults.leaveInitializing) device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS RemoveFdo(Fdo& fdo, PIRP irp) {
  const Faults& faults = W().faults;
  irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = PassDown(fdo.lower, irp);
  if (faults.registerWmi && !faults.keepWmiRegistration)
    IoWMIRegistrationControl(fdo.device, WMIREG_ACTION_DEREGISTER);
  if (faults.removeWithoutDetach) return status;
  IoDetachDevice(fdo.lower);
  IoDeleteDevice(fdo.device);
  return status;
}

NTSTATUS QueryStateChange(Fdo& fdo, PIRP irp, NTSTATUS refusal) {
  if (!NT_SUCCESS(refusal)) return Complete(irp, refusal);
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(fdo.lower, irp);
}

NTSTATUS NTAPI FdoPnp(PDEVICE_OBJECT device, PIRP irp) {
  Fdo& fdo = FdoOf(device);
  Log(fdo.seen, irp);
  const Faults& faults = W().faults;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      if (faults.nestedAction) kernel::pnp::Restart(fdo.pdo);
      if (faults.startNotSupported) return Complete(irp, STATUS_NOT_SUPPORTED);
      return Complete(irp, ForwardAndWait(fdo, irp));
    case IRP_MN_QUERY_STOP_DEVICE:
      return QueryStateChange(fdo, irp, faults.queryStopStatus);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return QueryStateChange(fdo, irp, faults.queryRemoveStatus);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(fdo.lower, irp);
    case IRP_MN_REMOVE_DEVICE:
      return RemoveFdo(fdo, irp);
    default:
      return PassDown(fdo.lower, irp);
  }
}

// As power-policy owner: the device power request for a system request is
// made first, then the system request goes down.
VOID NTAPI DeviceRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
  auto systemIrp = static_cast<PIRP>(context);
  Fdo& fdo = FdoOf(IoGetCurrentIrpStackLocation(systemIrp)->DeviceObject);
  PoStartNextPowerIrp(systemIrp);
  IoCopyCurrentIrpStackLocationToNext(systemIrp);  // the location stays marked pending
  PoCallDriver(fdo.lower, systemIrp);
}

NTSTATUS NTAPI FdoPower(PDEVICE_OBJECT device, PIRP irp) {
  Fdo& fdo = FdoOf(device);
  Log(fdo.seen, irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  bool system = stack->Parameters.Power.Type == SystemPowerState &&
                (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER);
  if (system && stack->MinorFunction == IRP_MN_QUERY_POWER && !NT_SUCCESS(W().faults.queryPowerStatus)) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, W().faults.queryPowerStatus);
  }
  if (system && stack->MinorFunction == IRP_MN_SET_POWER) {
    POWER_STATE target;
    target.DeviceState =
        stack->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    IoMarkIrpPending(irp);
    PoRequestPowerIrp(fdo.pdo, IRP_MN_SET_POWER, target, DeviceRequestDone, irp, nullptr);
    return STATUS_PENDING;
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(fdo.lower, irp);
}

NTSTATUS NTAPI FdoSystemControl(PDEVICE_OBJECT device, PIRP irp) {
  Fdo& fdo = FdoOf(device);
  if (W().wmiContext == nullptr) return PassDown(fdo.lower, irp);
  SYSCTL_IRP_DISPOSITION disposition;
  NTSTATUS status = WmiSystemControl(W().wmiContext, device, irp, &disposition);
  switch (disposition) {
    case IrpProcessed:
      return status;
    case IrpNotCompleted:
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    default:
      return PassDown(fdo.lower, irp);
  }
}

NTSTATUS NTAPI FdoOpenClose(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Information = 0;
  return Complete(irp, STATUS_SUCCESS);
}

VOID NTAPI Unload(PDRIVER_OBJECT) { ++W().unloadCalls; }

}  // namespace

World& W() { return *g_world; }

World::~World() {
  for (Pdo* pdo : pdos) delete pdo;
  for (Fdo* fdo : fdos) delete fdo;
}

void Log(std::vector<Seen>& log, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Seen seen{stack->MajorFunction,
            stack->MinorFunction,
            irp->IoStatus.Status,
            KeGetCurrentIrql(),
            stack->Parameters.Power.Type,
            stack->Parameters.Power.State,
            stack->Parameters.Power.ShutdownType,
            stack->Parameters.Power.SystemContext};
  std::lock_guard guard(g_logLock);
  log.push_back(seen);
}

std::vector<Seen> Copy(const std::vector<Seen>& log) {
  std::lock_guard guard(g_logLock);
  return log;
}

std::vector<UCHAR> Minors(const std::vector<Seen>& seen, UCHAR major) {
  std::vector<UCHAR> minors;
  for (const Seen& entry : Copy(seen))
    if (entry.major == major) minors.push_back(entry.minor);
  return minors;
}

NTSTATUS NTAPI FunctionDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  driver->MajorFunction[IRP_MJ_PNP] = FdoPnp;
  driver->MajorFunction[IRP_MJ_POWER] = FdoPower;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = FdoSystemControl;
  driver->MajorFunction[IRP_MJ_CREATE] = FdoOpenClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = FdoOpenClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = FdoOpenClose;
  return STATUS_SUCCESS;
}

void PnpTest::SetUp() {
  MachineTest::SetUp();
  g_world = new World;
  ASSERT_EQ(kernel::io::LoadDriver(u"TestBus", BusDriverEntry,
                                   u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TestBus",
                                   &W().busDriver),
            STATUS_SUCCESS);
}

void PnpTest::TearDown() {
  RemoveAll();
  kernel::io::UnloadDriver(W().busDriver);
  MachineTest::TearDown();
  delete g_world;
  g_world = nullptr;
}

void PnpTest::InstallFunctionDriver() {
  kernel::pnp::DriverPackage package;
  package.service = kService;
  package.entry = FunctionDriverEntry;
  package.hardwareIds = {kHardwareId};
  package.manufacturer = u"Test Maker";
  ASSERT_TRUE(kernel::pnp::InstallDriver(package));
}

PDEVICE_OBJECT PnpTest::CreatePdo(int index) {
  std::u16string name = u"\\Device\\TestPdo" + Number(index);
  UNICODE_STRING deviceName{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(IoCreateDevice(W().busDriver, sizeof(Pdo*), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
            STATUS_SUCCESS);
  auto* pdo = new Pdo;
  pdo->device = device;
  W().pdos.push_back(pdo);
  *static_cast<Pdo**>(device->DeviceExtension) = pdo;
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return device;
}

kernel::pnp::ChildDevice PnpTest::Child(int index) {
  kernel::pnp::ChildDevice child;
  std::u16string number = Number(index);
  child.deviceId = kHardwareId;
  child.instanceId = u"SN0001&" + number;
  child.hardwareIds = {std::u16string(kHardwareId) + u"&REV_0001", kHardwareId};
  child.compatibleIds = {u"TEST\\Class_FF"};
  child.description = u"Test Serial Port";
  child.locationInformation = u"Port_#000" + number;
  DEVICE_CAPABILITIES& caps = child.capabilities;
  caps.Removable = 1;
  caps.SurpriseRemovalOK = 1;
  caps.Address = ULONG(index);
  caps.UINumber = ULONG(index) + 1;
  caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state)
    caps.DeviceState[state] = PowerDeviceD3;
  caps.SystemWake = PowerSystemSleeping3;
  caps.DeviceWake = PowerDeviceD2;
  return child;
}

PDEVICE_OBJECT PnpTest::Plug(int index) {
  PDEVICE_OBJECT pdo = CreatePdo(index);
  PdoOf(pdo).reported = true;
  EXPECT_EQ(kernel::pnp::ReportChildPresent(pdo, Child(index)), STATUS_SUCCESS);
  return pdo;
}

void PnpTest::Unplug(PDEVICE_OBJECT pdo) {
  PdoOf(pdo).missing = true;
  kernel::pnp::ReportChildMissing(pdo);
  kernel::pnp::WaitForPendingActions();
}

void PnpTest::RemoveAll() {
  for (Pdo* pdo : W().pdos) {
    if (pdo->deleted) continue;
    if (pdo->reported) {
      Unplug(pdo->device);
    } else {
      IoDeleteDevice(pdo->device);
      pdo->deleted = true;
    }
  }
}

Fdo& PnpTest::FdoAbove(PDEVICE_OBJECT pdo) { return FdoOf(pdo->AttachedDevice); }

}  // namespace pnptest
