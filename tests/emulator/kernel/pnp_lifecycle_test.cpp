// The order of Plug and Play requests for every state change, as the
// function driver and the bus driver see them, and what the manager reports.
#include "emulator/kernel/system_worker.h"

#include "pnp_fixture.h"

namespace pnptest {
namespace {

using kernel::pnp::DeviceState;
using MinorList = std::vector<UCHAR>;
namespace pnp = kernel::pnp;
constexpr UCHAR kQueryStop = IRP_MN_QUERY_STOP_DEVICE, kStop = IRP_MN_STOP_DEVICE,
                kCancelStop = IRP_MN_CANCEL_STOP_DEVICE, kQueryRemove = IRP_MN_QUERY_REMOVE_DEVICE,
                kCancelRemove = IRP_MN_CANCEL_REMOVE_DEVICE, kRemove = IRP_MN_REMOVE_DEVICE,
                kSurprise = IRP_MN_SURPRISE_REMOVAL;

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
  EXPECT_EQ(pnp::StateOf(pdo), DeviceState::Started);
  EXPECT_EQ(pnp::StateOf(fdo.device), DeviceState::Started);
  EXPECT_EQ(pnp::PdoOf(fdo.device), pdo);
  EXPECT_EQ(W().driverEntryCalls, 1);
  EXPECT_EQ(pnp::LoadCount(kService), 1);
  EXPECT_NE(pnp::LoadedDriver(kService), nullptr);
  // What the bus reported reached the function driver.
  EXPECT_TRUE(fdo.capabilities.SurpriseRemovalOK);
  EXPECT_EQ(fdo.capabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
  EXPECT_EQ(fdo.capabilities.Version, 1);
  EXPECT_EQ(fdo.capabilities.Size, sizeof(DEVICE_CAPABILITIES));
}

NTSTATUS StopAndRestart(PDEVICE_OBJECT pdo) {
  NTSTATUS status = pnp::QueryStopAndStop(pdo);
  return NT_SUCCESS(status) ? pnp::Restart(pdo) : status;
}
NTSTATUS StopThenSurprise(PDEVICE_OBJECT pdo) {
  pnp::QueryStopAndStop(pdo);
  return pnp::SurpriseRemove(pdo);
}
NTSTATUS StopTwice(PDEVICE_OBJECT pdo) {
  pnp::QueryStopAndStop(pdo);
  return pnp::QueryStopAndStop(pdo);
}

struct Transition {
  const char* name;
  NTSTATUS (*operation)(PDEVICE_OBJECT);
  NTSTATUS status;
  MinorList after;  // what the function driver sees after the start sequence
  DeviceState state;
  int unloads;
  NTSTATUS queryAnswer = STATUS_SUCCESS;  // the driver's answer to query-stop and query-remove
};

TEST_F(PnpLifecycleTest, EachOperationSendsItsRequestsInOrder) {
  const NTSTATUS no = STATUS_UNSUCCESSFUL, ok = STATUS_SUCCESS, bad = STATUS_INVALID_DEVICE_STATE;
  using enum DeviceState;
  const Transition transitions[] = {
      {"query-stop and stop", pnp::QueryStopAndStop, ok, {kQueryStop, kStop}, Added, 0},
      {"stop refused", pnp::QueryStopAndStop, no, {kQueryStop, kCancelStop}, Started, 0, no},
      {"cancel-stop", pnp::QueryStopAndCancel, ok, {kQueryStop, kCancelStop}, Started, 0},
      {"stop and restart", StopAndRestart, ok, Concat({kQueryStop, kStop}, kStartSequence), Started, 0},
      {"cancel-remove", pnp::QueryRemoveAndCancel, ok, {kQueryRemove, kCancelRemove}, Started, 0},
      {"remove refused", pnp::QueryRemoveAndRemove, no, {kQueryRemove, kCancelRemove}, Started, 0, no},
      {"query-remove and remove", pnp::QueryRemoveAndRemove, ok, {kQueryRemove, kRemove}, NoDriver, 1},
      {"surprise removal", pnp::SurpriseRemove, ok, {kSurprise, kRemove}, NoDriver, 1},
      {"stop, then surprise", StopThenSurprise, ok, {kQueryStop, kStop, kSurprise, kRemove}, NoDriver, 1},
      {"restart of a started device", pnp::Restart, bad, {}, Started, 0},
      {"stop of a stopped device", StopTwice, bad, {kQueryStop, kStop}, Added, 0},
  };
  InstallFunctionDriver();
  int index = 0;
  for (const Transition& transition : transitions) {
    SCOPED_TRACE(transition.name);
    W().faults.queryStopStatus = W().faults.queryRemoveStatus = transition.queryAnswer;
    PDEVICE_OBJECT pdo = Plug(index++);
    Pdo& bus = PdoOf(pdo);
    Fdo& fdo = FdoAbove(pdo);
    int unloadsBefore = W().unloadCalls;
    EXPECT_EQ(transition.operation(pdo), transition.status);
    MinorList seen = Minors(fdo.seen, IRP_MJ_PNP);
    EXPECT_EQ(MinorList(seen.begin() + kStartSequence.size(), seen.end()), transition.after);
    EXPECT_EQ(pnp::StateOf(pdo), transition.state);
    EXPECT_EQ(W().unloadCalls - unloadsBefore, transition.unloads);
    Unplug(pdo);
    EXPECT_EQ(pnp::StateOf(pdo), DeviceState::NotPresent);
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
  pnp::ReportChildMissing(pdo);
  KeLowerIrql(irql);
  pnp::WaitForPendingActions();

  EXPECT_EQ(Minors(fdo.seen, IRP_MJ_PNP), Concat(kStartSequence, {kSurprise, kRemove}));
  EXPECT_TRUE(bus.deleted);
  EXPECT_TRUE(pnp::Pdos().empty());
  EXPECT_EQ(W().unloadCalls, 1);
  EXPECT_EQ(pnp::LoadedDriver(kService), nullptr);
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
    EXPECT_EQ(pnp::QueryRemoveAndRemove(pdo), pnp::kVetoOutstandingOpen);
    EXPECT_EQ(pnp::StateOf(pdo), DeviceState::Started);

    EXPECT_EQ(pnp::SurpriseRemove(pdo), STATUS_SUCCESS);
    pnp::WaitForPendingActions();
    EXPECT_EQ(pnp::StateOf(pdo), DeviceState::SurpriseRemoved);
    EXPECT_EQ(Minors(fdo.seen, IRP_MJ_PNP), Concat(kStartSequence, {kQueryRemove, kCancelRemove, kSurprise}));
    // No new opens once the device is going.
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(kernel::io::OpenFile(name, GENERIC_READ, 0, &second), STATUS_DELETE_PENDING);

    kernel::io::CloseFile(file);
    if (notified) {
      kernel::worker::WaitForIdle();  // the close itself
      pnp::NotifyFileClosed(fdo.device);
      kernel::worker::WaitForIdle();
    } else {
      pnp::WaitForPendingActions();
    }
    EXPECT_EQ(pnp::StateOf(pdo), DeviceState::NoDriver);
    EXPECT_EQ(Minors(fdo.seen, IRP_MJ_PNP).back(), kRemove);
    EXPECT_EQ(W().unloadCalls, index + 1);
  }
}

TEST_F(PnpLifecycleTest, AFailedStartIsFollowedByRemovalAndUnload) {
  InstallFunctionDriver();
  PDEVICE_OBJECT pdo = CreatePdo(0);
  PdoOf(pdo).reported = true;
  PdoOf(pdo).startStatus = STATUS_DEVICE_NOT_READY;
  EXPECT_EQ(pnp::ReportChildPresent(pdo, Child(0)), STATUS_DEVICE_NOT_READY);

  MinorList expected(kStartSequence.begin(), kStartSequence.begin() + 4);
  expected.push_back(kRemove);
  EXPECT_EQ(Minors(W().fdos.at(0)->seen, IRP_MJ_PNP), expected);
  EXPECT_EQ(pnp::StateOf(pdo), DeviceState::NoDriver);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  EXPECT_EQ(W().unloadCalls, 1);

  // The device comes back once it can start.
  PdoOf(pdo).startStatus = STATUS_SUCCESS;
  EXPECT_EQ(pnp::AddAndStart(pdo), STATUS_SUCCESS);
  EXPECT_EQ(pnp::StateOf(pdo), DeviceState::Started);
  EXPECT_EQ(W().driverEntryCalls, 2);
}

TEST_F(PnpLifecycleTest, ADeviceThatReportsItselfFailedIsTakenDown) {
  InstallFunctionDriver();
  W().faults.deviceStateFlags = 0x4;  // PNP_DEVICE_FAILED
  PDEVICE_OBJECT pdo = Plug(0);
  EXPECT_EQ(Minors(W().fdos.at(0)->seen, IRP_MJ_PNP), Concat(kStartSequence, {kSurprise, kRemove}));
  EXPECT_EQ(pnp::StateOf(pdo), DeviceState::NoDriver);
  EXPECT_EQ(W().unloadCalls, 1);
}

TEST_F(PnpLifecycleTest, ADeviceWithoutMatchingDriverWaitsForOne) {
  PDEVICE_OBJECT pdo = CreatePdo(0);
  PdoOf(pdo).reported = true;
  EXPECT_EQ(pnp::ReportChildPresent(pdo, Child(0)), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(pnp::StateOf(pdo), DeviceState::NoDriver);
  EXPECT_EQ(W().driverEntryCalls, 0);

  InstallFunctionDriver();
  EXPECT_EQ(pnp::AddAndStart(pdo), STATUS_SUCCESS);
  EXPECT_EQ(pnp::StateOf(pdo), DeviceState::Started);
}

TEST_F(PnpLifecycleTest, TheDriverStaysLoadedUntilItsLastDeviceIsRemoved) {
  InstallFunctionDriver();
  PDEVICE_OBJECT first = Plug(0);
  PDEVICE_OBJECT second = Plug(1);
  EXPECT_EQ(W().driverEntryCalls, 1);
  EXPECT_EQ(W().addDeviceCalls, 2);

  EXPECT_EQ(pnp::QueryRemoveAndRemove(first), STATUS_SUCCESS);
  EXPECT_EQ(W().unloadCalls, 0);
  Unplug(second);
  EXPECT_EQ(W().unloadCalls, 1);
  EXPECT_EQ(pnp::UnloadCount(kService), 1);

  // Adding the first device again loads the driver again.
  EXPECT_EQ(pnp::AddAndStart(first), STATUS_SUCCESS);
  EXPECT_EQ(W().driverEntryCalls, 2);
  EXPECT_EQ(pnp::LoadCount(kService), 2);
  Unplug(first);
  EXPECT_TRUE(kernel::io::LiveIrps().empty());
}

TEST_F(PnpLifecycleTest, BadReportsAndRequestsChangeNothing) {
  InstallFunctionDriver();
  PDEVICE_OBJECT pdo = Plug(0);

  pnp::ChildDevice incomplete = Child(1);
  incomplete.hardwareIds.clear();
  PDEVICE_OBJECT other = CreatePdo(1);
  EXPECT_EQ(pnp::ReportChildPresent(other, incomplete), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(pnp::ReportChildPresent(other, Child(0)), STATUS_OBJECT_NAME_COLLISION);  // same instance
  EXPECT_EQ(pnp::ReportChildPresent(pdo, Child(2)), STATUS_INVALID_PARAMETER);        // already a PDO
  EXPECT_EQ(pnp::AddAndStart(other), STATUS_NO_SUCH_DEVICE);                          // not reported
  EXPECT_EQ(pnp::AddAndStart(pdo), STATUS_INVALID_DEVICE_STATE);                      // already started
  EXPECT_EQ(pnp::QueryStopAndStop(FdoAbove(pdo).device), STATUS_NO_SUCH_DEVICE);      // not a PDO
  EXPECT_EQ(pnp::Pdos(), std::vector<PDEVICE_OBJECT>{pdo});
  EXPECT_EQ(pnp::StateOf(pdo), DeviceState::Started);
  EXPECT_EQ(pnp::StateOf(other), DeviceState::NotPresent);

  pnp::DriverPackage duplicate;
  duplicate.service = kService;
  duplicate.entry = FunctionDriverEntry;
  duplicate.hardwareIds = {u"OTHER"};
  EXPECT_FALSE(pnp::InstallDriver(duplicate));
  duplicate.service = u"Other";
  duplicate.entry = nullptr;
  EXPECT_FALSE(pnp::InstallDriver(duplicate));
}

}  // namespace
}  // namespace pnptest
