// The order of Plug and Play requests for every state change, as the
// function driver and the bus driver see them, and what the manager reports.
#include <functional>

#include "emulator/kernel/system_worker.h"

#include "pnp_fixture.h"

namespace pnptest {
namespace {

using kernel::pnp::DeviceState;
using MinorList = std::vector<UCHAR>;

const MinorList kStartSequence = {IRP_MN_QUERY_CAPABILITIES,           IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
                                  IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE,
                                  IRP_MN_QUERY_CAPABILITIES,           IRP_MN_QUERY_PNP_DEVICE_STATE};

MinorList Concat(MinorList a, const MinorList& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class PnpLifecycleTest : public PnpTest {};

TEST_F(PnpLifecycleTest, AddAndStartSendsTheWindowsSequenceWithUnhandledStatus) {
  InstallFunctionDriver();
  PDEVICE_OBJECT pdo = Plug(0);
  Fdo& fdo = FdoAbove(pdo);

  EXPECT_EQ(Minors(fdo.seen, IRP_MJ_PNP), kStartSequence);
  // The bare PDO answered the capabilities query at enumeration, before AddDevice.
  EXPECT_EQ(Minors(PdoOf(pdo).seen, IRP_MJ_PNP), Concat({IRP_MN_QUERY_CAPABILITIES}, kStartSequence));
  for (const Seen& seen : Copy(fdo.seen)) {
    EXPECT_EQ(seen.statusOnArrival, STATUS_NOT_SUPPORTED) << int(seen.minor);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
  }
  EXPECT_EQ(kernel::pnp::StateOf(pdo), DeviceState::Started);
  EXPECT_EQ(kernel::pnp::StateOf(fdo.device), DeviceState::Started);
  EXPECT_EQ(kernel::pnp::PdoOf(fdo.device), pdo);
  EXPECT_EQ(W().driverEntryCalls, 1);
  EXPECT_EQ(kernel::pnp::LoadCount(kService), 1);
  EXPECT_NE(kernel::pnp::LoadedDriver(kService), nullptr);
  // What the bus reported reached the function driver.
  EXPECT_TRUE(fdo.capabilities.SurpriseRemovalOK);
  EXPECT_EQ(fdo.capabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
  EXPECT_EQ(fdo.capabilities.Version, 1);
  EXPECT_EQ(fdo.capabilities.Size, sizeof(DEVICE_CAPABILITIES));
}

struct Transition {
  const char* name;
  std::function<void(Faults&)> setUp;
  std::function<NTSTATUS(PDEVICE_OBJECT)> operation;
  NTSTATUS status;
  MinorList after;  // what the function driver sees after the start sequence
  DeviceState state;
  int unloads;
};

TEST_F(PnpLifecycleTest, EachOperationSendsItsRequestsInOrder) {
  const NTSTATUS refusal = STATUS_UNSUCCESSFUL;
  const Transition transitions[] = {
      {"query-stop and stop",
       {},
       kernel::pnp::QueryStopAndStop,
       STATUS_SUCCESS,
       {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE},
       DeviceState::Added,
       0},
      {"refused query-stop",
       [&](Faults& f) { f.queryStopStatus = refusal; },
       kernel::pnp::QueryStopAndStop,
       refusal,
       {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
       DeviceState::Started,
       0},
      {"cancel-stop",
       {},
       kernel::pnp::QueryStopAndCancel,
       STATUS_SUCCESS,
       {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
       DeviceState::Started,
       0},
      {"stop and restart",
       {},
       [](PDEVICE_OBJECT pdo) {
         NTSTATUS status = kernel::pnp::QueryStopAndStop(pdo);
         return NT_SUCCESS(status) ? kernel::pnp::Restart(pdo) : status;
       },
       STATUS_SUCCESS,
       Concat({IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}, kStartSequence),
       DeviceState::Started,
       0},
      {"cancel-remove",
       {},
       kernel::pnp::QueryRemoveAndCancel,
       STATUS_SUCCESS,
       {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE},
       DeviceState::Started,
       0},
      {"refused query-remove",
       [&](Faults& f) { f.queryRemoveStatus = refusal; },
       kernel::pnp::QueryRemoveAndRemove,
       refusal,
       {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE},
       DeviceState::Started,
       0},
      {"query-remove and remove",
       {},
       kernel::pnp::QueryRemoveAndRemove,
       STATUS_SUCCESS,
       {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE},
       DeviceState::NoDriver,
       1},
      {"surprise removal",
       {},
       kernel::pnp::SurpriseRemove,
       STATUS_SUCCESS,
       {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE},
       DeviceState::NoDriver,
       1},
      {"stop, then surprise removal",
       {},
       [](PDEVICE_OBJECT pdo) {
         kernel::pnp::QueryStopAndStop(pdo);
         return kernel::pnp::SurpriseRemove(pdo);
       },
       STATUS_SUCCESS,
       {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE},
       DeviceState::NoDriver,
       1},
      {"restart of a started device",
       {},
       kernel::pnp::Restart,
       STATUS_INVALID_DEVICE_STATE,
       {},
       DeviceState::Started,
       0},
      {"stop of a stopped device",
       {},
       [](PDEVICE_OBJECT pdo) {
         kernel::pnp::QueryStopAndStop(pdo);
         return kernel::pnp::QueryStopAndStop(pdo);
       },
       STATUS_INVALID_DEVICE_STATE,
       {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE},
       DeviceState::Added,
       0},
  };
  InstallFunctionDriver();
  int index = 0;
  for (const Transition& transition : transitions) {
    SCOPED_TRACE(transition.name);
    W().faults = Faults{};
    if (transition.setUp) transition.setUp(W().faults);
    PDEVICE_OBJECT pdo = Plug(index++);
    Pdo& bus = PdoOf(pdo);
    Fdo& fdo = FdoAbove(pdo);
    int unloadsBefore = W().unloadCalls;
    EXPECT_EQ(transition.operation(pdo), transition.status);
    MinorList seen = Minors(fdo.seen, IRP_MJ_PNP);
    EXPECT_EQ(MinorList(seen.begin() + kStartSequence.size(), seen.end()), transition.after);
    EXPECT_EQ(kernel::pnp::StateOf(pdo), transition.state);
    EXPECT_EQ(W().unloadCalls - unloadsBefore, transition.unloads);
    Unplug(pdo);
    EXPECT_EQ(kernel::pnp::StateOf(pdo), DeviceState::NotPresent);
    EXPECT_TRUE(bus.deleted);
  }
}

TEST_F(PnpLifecycleTest, UnplugOfAStartedDeviceIsASurpriseRemovalThenTheBusDeletesThePdo) {
  InstallFunctionDriver();
  PDEVICE_OBJECT pdo = Plug(0);
  Pdo& bus = PdoOf(pdo);
  Fdo& fdo = FdoAbove(pdo);
  // Disconnects are noticed in completion routines, at DISPATCH_LEVEL.
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  bus.missing = true;
  kernel::pnp::ReportChildMissing(pdo);
  KeLowerIrql(irql);
  kernel::pnp::WaitForPendingActions();

  EXPECT_EQ(Minors(fdo.seen, IRP_MJ_PNP),
            Concat(kStartSequence, {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  EXPECT_TRUE(bus.deleted);
  EXPECT_TRUE(kernel::pnp::Pdos().empty());
  EXPECT_EQ(W().unloadCalls, 1);
  EXPECT_EQ(kernel::pnp::LoadedDriver(kService), nullptr);
  EXPECT_TRUE(kernel::io::LiveIrps().empty());
}

TEST_F(PnpLifecycleTest, AnOpenHandleHoldsTheRemovalUntilItCloses) {
  InstallFunctionDriver();
  for (bool notified : {true, false}) {
    SCOPED_TRACE(notified ? "the close is notified" : "the test waits for pending actions");
    int index = notified ? 0 : 1;
    PDEVICE_OBJECT pdo = Plug(index);
    Fdo& fdo = FdoAbove(pdo);
    std::u16string name = u"\\Device\\TestPort" + std::u16string(1, u'0' + index);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(kernel::io::OpenFile(name, GENERIC_READ, 0, &file), STATUS_SUCCESS);

    // A removal that asks first is vetoed while the port is open.
    EXPECT_EQ(kernel::pnp::QueryRemoveAndRemove(pdo), kernel::pnp::kVetoOutstandingOpen);
    EXPECT_EQ(kernel::pnp::StateOf(pdo), DeviceState::Started);

    EXPECT_EQ(kernel::pnp::SurpriseRemove(pdo), STATUS_SUCCESS);
    kernel::pnp::WaitForPendingActions();
    EXPECT_EQ(kernel::pnp::StateOf(pdo), DeviceState::SurpriseRemoved);
    EXPECT_EQ(Minors(fdo.seen, IRP_MJ_PNP),
              Concat(kStartSequence,
                     {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL}));
    // No new opens once the device is going.
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(kernel::io::OpenFile(name, GENERIC_READ, 0, &second), STATUS_DELETE_PENDING);

    kernel::io::CloseFile(file);
    if (notified) {
      kernel::worker::WaitForIdle();  // the close itself
      kernel::pnp::NotifyFileClosed(fdo.device);
      kernel::worker::WaitForIdle();
    } else {
      kernel::pnp::WaitForPendingActions();
    }
    EXPECT_EQ(kernel::pnp::StateOf(pdo), DeviceState::NoDriver);
    EXPECT_EQ(Minors(fdo.seen, IRP_MJ_PNP).back(), IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(W().unloadCalls, index + 1);
  }
}

TEST_F(PnpLifecycleTest, AFailedStartIsFollowedByRemovalAndUnload) {
  InstallFunctionDriver();
  PDEVICE_OBJECT pdo = CreatePdo(0);
  PdoOf(pdo).reported = true;
  PdoOf(pdo).startStatus = STATUS_DEVICE_NOT_READY;
  EXPECT_EQ(kernel::pnp::ReportChildPresent(pdo, Child(0)), STATUS_DEVICE_NOT_READY);

  MinorList expected(kStartSequence.begin(), kStartSequence.begin() + 4);
  expected.push_back(IRP_MN_REMOVE_DEVICE);
  EXPECT_EQ(Minors(W().fdos.at(0)->seen, IRP_MJ_PNP), expected);
  EXPECT_EQ(kernel::pnp::StateOf(pdo), DeviceState::NoDriver);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  EXPECT_EQ(W().unloadCalls, 1);

  // The device comes back once it can start.
  PdoOf(pdo).startStatus = STATUS_SUCCESS;
  EXPECT_EQ(kernel::pnp::AddAndStart(pdo), STATUS_SUCCESS);
  EXPECT_EQ(kernel::pnp::StateOf(pdo), DeviceState::Started);
  EXPECT_EQ(W().driverEntryCalls, 2);
}

TEST_F(PnpLifecycleTest, ADeviceThatReportsItselfFailedIsTakenDown) {
  InstallFunctionDriver();
  W().faults.deviceStateFlags = 0x4;  // PNP_DEVICE_FAILED
  PDEVICE_OBJECT pdo = Plug(0);
  EXPECT_EQ(Minors(W().fdos.at(0)->seen, IRP_MJ_PNP),
            Concat(kStartSequence, {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(kernel::pnp::StateOf(pdo), DeviceState::NoDriver);
  EXPECT_EQ(W().unloadCalls, 1);
}

TEST_F(PnpLifecycleTest, ADeviceWithoutMatchingDriverWaitsForOne) {
  PDEVICE_OBJECT pdo = CreatePdo(0);
  PdoOf(pdo).reported = true;
  EXPECT_EQ(kernel::pnp::ReportChildPresent(pdo, Child(0)), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(kernel::pnp::StateOf(pdo), DeviceState::NoDriver);
  EXPECT_EQ(W().driverEntryCalls, 0);

  InstallFunctionDriver();
  EXPECT_EQ(kernel::pnp::AddAndStart(pdo), STATUS_SUCCESS);
  EXPECT_EQ(kernel::pnp::StateOf(pdo), DeviceState::Started);
}

TEST_F(PnpLifecycleTest, TheDriverStaysLoadedUntilItsLastDeviceIsRemoved) {
  InstallFunctionDriver();
  PDEVICE_OBJECT first = Plug(0);
  PDEVICE_OBJECT second = Plug(1);
  EXPECT_EQ(W().driverEntryCalls, 1);
  EXPECT_EQ(W().addDeviceCalls, 2);

  EXPECT_EQ(kernel::pnp::QueryRemoveAndRemove(first), STATUS_SUCCESS);
  EXPECT_EQ(W().unloadCalls, 0);
  Unplug(second);
  EXPECT_EQ(W().unloadCalls, 1);
  EXPECT_EQ(kernel::pnp::UnloadCount(kService), 1);

  // Adding the first device again loads the driver again.
  EXPECT_EQ(kernel::pnp::AddAndStart(first), STATUS_SUCCESS);
  EXPECT_EQ(W().driverEntryCalls, 2);
  EXPECT_EQ(kernel::pnp::LoadCount(kService), 2);
  Unplug(first);
  EXPECT_TRUE(kernel::io::LiveIrps().empty());
}

TEST_F(PnpLifecycleTest, BadReportsAndRequestsChangeNothing) {
  InstallFunctionDriver();
  PDEVICE_OBJECT pdo = Plug(0);

  kernel::pnp::ChildDevice incomplete = Child(1);
  incomplete.hardwareIds.clear();
  PDEVICE_OBJECT other = CreatePdo(1);
  EXPECT_EQ(kernel::pnp::ReportChildPresent(other, incomplete), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(kernel::pnp::ReportChildPresent(other, Child(0)), STATUS_OBJECT_NAME_COLLISION);  // same instance
  EXPECT_EQ(kernel::pnp::ReportChildPresent(pdo, Child(2)), STATUS_INVALID_PARAMETER);        // already a PDO
  EXPECT_EQ(kernel::pnp::AddAndStart(other), STATUS_NO_SUCH_DEVICE);                          // not reported
  EXPECT_EQ(kernel::pnp::AddAndStart(pdo), STATUS_INVALID_DEVICE_STATE);                  // already started
  EXPECT_EQ(kernel::pnp::QueryStopAndStop(FdoAbove(pdo).device), STATUS_NO_SUCH_DEVICE);  // not a PDO
  EXPECT_EQ(kernel::pnp::Pdos(), std::vector<PDEVICE_OBJECT>{pdo});
  EXPECT_EQ(kernel::pnp::StateOf(pdo), DeviceState::Started);
  EXPECT_EQ(kernel::pnp::StateOf(other), DeviceState::NotPresent);

  kernel::pnp::DriverPackage duplicate;
  duplicate.service = kService;
  duplicate.entry = FunctionDriverEntry;
  duplicate.hardwareIds = {u"OTHER"};
  EXPECT_FALSE(kernel::pnp::InstallDriver(duplicate));
  duplicate.service = u"Other";
  duplicate.entry = nullptr;
  EXPECT_FALSE(kernel::pnp::InstallDriver(duplicate));
}

}  // namespace
}  // namespace pnptest
