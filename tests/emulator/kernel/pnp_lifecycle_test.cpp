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

}  // namespace
}  // namespace pnptest
