// System sleep and resume: the system power IRPs each stack gets, in order,
// and the device power requests that the power-policy owner makes.
#include <algorithm>

#include "pnp_fixture.h"

namespace pnptest {
namespace {

struct Expected {
  UCHAR minor;
  POWER_STATE_TYPE type;
  ULONG state;
};

std::vector<Expected> PowerRequests(const std::vector<Seen>& log) {
  std::vector<Expected> requests;
  for (const Seen& seen : Copy(log))
    if (seen.major == IRP_MJ_POWER)
      requests.push_back({seen.minor, seen.powerType, ULONG(seen.powerState.SystemState)});
  return requests;
}

bool operator==(const Expected& a, const Expected& b) {
  return a.minor == b.minor && a.type == b.type && a.state == b.state;
}

void PrintTo(const Expected& e, std::ostream* os) {
  *os << "{minor " << int(e.minor) << ", type " << int(e.type) << ", state " << e.state << "}";
}

const Seen& FirstSystem(const std::vector<Seen>& log, UCHAR minor, SYSTEM_POWER_STATE state) {
  return *std::find_if(log.begin(), log.end(), [&](const Seen& seen) {
    return seen.major == IRP_MJ_POWER && seen.minor == minor && seen.powerType == SystemPowerState &&
           seen.powerState.SystemState == state;
  });
}

class PowerSystemTest : public PnpTest {
 protected:
  void SetUp() override {
    PnpTest::SetUp();
    InstallFunctionDriver();
    first_ = Plug(0);
    second_ = Plug(1);
    // One bus completes at DISPATCH_LEVEL, as hardware completions do.
    PdoOf(second_).completePowerAtDispatch = true;
  }
  PDEVICE_OBJECT first_ = nullptr, second_ = nullptr;
};

TEST_F(PowerSystemTest, SleepAndResumeCycle) {
  const struct {
    SYSTEM_POWER_STATE state;
    POWER_ACTION action;
  } cases[] = {
      {PowerSystemSleeping1, PowerActionSleep},
      {PowerSystemSleeping3, PowerActionSleep},
      {PowerSystemHibernate, PowerActionHibernate},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(int(test.state));
    size_t before = Copy(FdoAbove(first_).seen).size();
    kernel::power::TransitionResult sleep = kernel::power::SleepSystem(test.state);
    EXPECT_EQ(sleep.status, STATUS_SUCCESS);
    EXPECT_TRUE(sleep.failures.empty());
    EXPECT_EQ(kernel::power::SystemState(), test.state);
    EXPECT_EQ(kernel::power::ReportedDeviceState(first_), PowerDeviceD3);
    EXPECT_EQ(kernel::power::ReportedDeviceState(second_), PowerDeviceD3);

    kernel::power::TransitionResult resume = kernel::power::ResumeSystem();
    EXPECT_EQ(resume.status, STATUS_SUCCESS);
    EXPECT_EQ(kernel::power::SystemState(), PowerSystemWorking);
    EXPECT_EQ(kernel::power::ReportedDeviceState(first_), PowerDeviceD0);
    kernel::pnp::WaitForPendingActions();

    std::vector<Seen> log = Copy(FdoAbove(first_).seen);
    std::vector<Seen> cycle(log.begin() + before, log.end());
    const std::vector<Expected> expected = {
        {IRP_MN_QUERY_POWER, SystemPowerState, ULONG(test.state)},
        {IRP_MN_SET_POWER, SystemPowerState, ULONG(test.state)},
        {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3},
        {IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking},
        {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0},
    };
    EXPECT_EQ(PowerRequests(cycle), expected);
    for (const Seen& seen : cycle) EXPECT_EQ(seen.irql, PASSIVE_LEVEL);

    const Seen& query = FirstSystem(cycle, IRP_MN_QUERY_POWER, test.state);
    const Seen& set = FirstSystem(cycle, IRP_MN_SET_POWER, test.state);
    const Seen& wake = FirstSystem(cycle, IRP_MN_SET_POWER, PowerSystemWorking);
    for (const Seen* seen : {&query, &set, &wake}) EXPECT_EQ(seen->shutdownType, test.action);
    SYSTEM_POWER_STATE_CONTEXT context;
    context.ContextAsUlong = set.systemContext;
    EXPECT_EQ(context.TargetSystemState, ULONG(test.state));
    EXPECT_EQ(context.CurrentSystemState, ULONG(PowerSystemWorking));
    context.ContextAsUlong = wake.systemContext;
    EXPECT_EQ(context.TargetSystemState, ULONG(PowerSystemWorking));
    EXPECT_EQ(context.CurrentSystemState, ULONG(test.state));
  }
  EXPECT_TRUE(kernel::io::LiveIrps().empty());
}

TEST_F(PowerSystemTest, ARefusedQueryCancelsTheSleep) {
  W().faults.queryPowerStatus = STATUS_UNSUCCESSFUL;
  kernel::power::TransitionResult result = kernel::power::SleepSystem(PowerSystemSleeping3);
  EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
  ASSERT_EQ(result.failures.size(), 1u);
  EXPECT_EQ(result.failures[0].pdo, second_);
  EXPECT_EQ(result.failures[0].minorFunction, IRP_MN_QUERY_POWER);
  EXPECT_EQ(kernel::power::SystemState(), PowerSystemWorking);
  // The newest device refused; it is told the system stays awake, and the
  // other one is never asked.
  const std::vector<Expected> expected = {
      {IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemSleeping3},
      {IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking},
      {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0},
  };
  kernel::pnp::WaitForPendingActions();
  EXPECT_EQ(PowerRequests(FdoAbove(second_).seen), expected);
  EXPECT_TRUE(PowerRequests(FdoAbove(first_).seen).empty());
}

}  // namespace
}  // namespace pnptest
