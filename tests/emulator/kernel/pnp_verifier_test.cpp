// One death test per rule that the Plug and Play and power managers check.
#include <functional>

#include "pnp_fixture.h"

namespace pnptest {
namespace {

class PnpVerifierDeathTest : public PnpTest {};

struct DeathCase {
  const char* rule;
  std::function<void()> violate;
};

TEST_F(PnpVerifierDeathTest, EveryRuleStopsTheProgramNamingIt) {
  const DeathCase cases[] = {
      {"DO_DEVICE_INITIALIZING left set by AddDevice",
       [&] {
         W().faults.leaveInitializing = true;
         Plug(0);
       }},
      {"PnP IRP completed with STATUS_NOT_SUPPORTED: IRP_MN_START_DEVICE",
       [&] {
         W().faults.startNotSupported = true;
         Plug(0);
       }},
      {"device object still attached after IRP_MN_REMOVE_DEVICE",
       [&] {
         W().faults.removeWithoutDetach = true;
         kernel::pnp::QueryRemoveAndRemove(Plug(0));
       }},
      {"device object deleted while registered with WMI",
       [&] {
         W().faults.registerWmi = true;
         W().faults.keepWmiRegistration = true;
         kernel::pnp::QueryRemoveAndRemove(Plug(0));
       }},
      {"PDO reported with DO_DEVICE_INITIALIZING set",
       [&] {
         PDEVICE_OBJECT pdo = CreatePdo(0);
         pdo->Flags |= DO_DEVICE_INITIALIZING;
         kernel::pnp::ReportChildPresent(pdo, Child(0));
       }},
      {"missing child is not a reported PDO", [&] { kernel::pnp::ReportChildMissing(CreatePdo(0)); }},
      {"Plug and Play action inside another",
       [&] {
         W().faults.nestedAction = true;
         Plug(0);
       }},
      {"power IRP requested for a device object that is not a PDO",
       [&] {
         POWER_STATE d0;
         d0.DeviceState = PowerDeviceD0;
         PoRequestPowerIrp(FdoAbove(Plug(0)).device, IRP_MN_SET_POWER, d0, nullptr, nullptr, nullptr);
       }},
      {"PoCallDriver with a request that is not a power IRP",
       [&] {
         PDEVICE_OBJECT pdo = Plug(0);
         PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
         PoCallDriver(pdo, irp);
       }},
      {"PoStartNextPowerIrp on a request that is not a power IRP",
       [&] {
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoSetNextIrpStackLocation(irp);
         IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
         PoStartNextPowerIrp(irp);
       }},
  };
  InstallFunctionDriver();
  for (const DeathCase& test : cases) {
    SCOPED_TRACE(test.rule);
    EXPECT_DEATH(test.violate(), std::string("VERIFIER: ") + test.rule);
  }
}

}  // namespace
}  // namespace pnptest
