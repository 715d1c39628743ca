// Driver load, device creation and the requests every port grants.
#include <set>
#include <string>

#include "driver/device/create_device.h"
#include "driver/device/trace_provider.h"
#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/pnp_manager.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/registry.h"
#include "support/direct_irp.h"
#include "support/driver_fixture.h"

namespace {

using LifecycleTest = DriverTest;

std::u16string SerialName(int number) {
  std::string digits = std::to_string(number);
  return u"\\Device\\Tarvio7315Serial" + std::u16string(digits.begin(), digits.end());
}

NTSTATUS NTAPI NoDispatch(PDEVICE_OBJECT, PIRP) { return STATUS_INVALID_DEVICE_REQUEST; }
NTSTATUS NTAPI SquatterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = NoDispatch;
  return STATUS_SUCCESS;
}

// Device objects of another driver that hold some of the port names.
class NameSquatter {
 public:
  explicit NameSquatter(const std::set<int>& numbers) {
    EXPECT_EQ(kernel::io::LoadDriver(u"Squatter", SquatterEntry, u"", &driver_), STATUS_SUCCESS);
    for (int n : numbers) {
      std::u16string name = SerialName(n);
      UNICODE_STRING text{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
      PDEVICE_OBJECT device = nullptr;
      EXPECT_EQ(IoCreateDevice(driver_, 0, &text, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
      devices_.push_back(device);
    }
  }
  ~NameSquatter() {
    for (PDEVICE_OBJECT device : devices_) IoDeleteDevice(device);
    kernel::io::UnloadDriver(driver_);
  }

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<PDEVICE_OBJECT> devices_;
};

TEST_F(LifecycleTest, PortsAreNumberedInCreationOrderAndANumberIsNeverHandedOutTwice) {
  PlugChip({.ports = 2});
  EXPECT_EQ(kernel::io::DeviceName(Fdo(0)), SerialName(0));
  EXPECT_EQ(kernel::io::DeviceName(Fdo(1)), SerialName(1));
  PDEVICE_OBJECT pdo = Pdo(0);
  ASSERT_EQ(kernel::pnp::QueryRemoveAndRemove(pdo), STATUS_SUCCESS);
  ASSERT_EQ(kernel::pnp::AddAndStart(pdo), STATUS_SUCCESS);
  EXPECT_EQ(kernel::io::DeviceName(Fdo(0)), SerialName(2));
  EXPECT_EQ(NextDeviceNumber, 3u);
}

// The image may stay mapped between loads: a reloaded driver numbers its
// ports from 0 again.
TEST_F(LifecycleTest, AReloadedDriverNumbersFromZeroAgain) {
  PDEVICE_OBJECT pdo = PlugChip().Pdo(0);
  ASSERT_EQ(kernel::pnp::QueryRemoveAndRemove(pdo), STATUS_SUCCESS);
  ASSERT_EQ(kernel::pnp::LoadedDriver(rig::kServiceName), nullptr);
  ASSERT_EQ(kernel::pnp::AddAndStart(pdo), STATUS_SUCCESS);
  EXPECT_EQ(kernel::io::DeviceName(Fdo(0)), SerialName(0));
}

std::set<int> FirstNames(int count) {
  std::set<int> names;
  for (int n = 0; n < count; ++n) names.insert(n);
  return names;
}

struct TakenNames {
  const char* what;
  std::set<int> taken;
  std::vector<NTSTATUS> starts;
  std::vector<int> numbers;  // of the ports that started
  ULONG next;
};
const TakenNames kTakenNames[] = {
    {"one taken", {1}, {STATUS_SUCCESS, STATUS_SUCCESS}, {0, 2}, 3},
    {"every name taken",
     FirstNames(MaxDeviceNameAttempts),
     {STATUS_OBJECT_NAME_COLLISION},
     {},
     MaxDeviceNameAttempts},
};
class TakenNamesTest : public DriverTest, public testing::WithParamInterface<TakenNames> {};

TEST_P(TakenNamesTest, AreSkippedUpToTheAttemptLimit) {
  const TakenNames& c = GetParam();
  SCOPED_TRACE(c.what);
  NameSquatter squatter(c.taken);
  chip::UsbChip& board = Pc().AddChip({.ports = int(c.starts.size())});
  EXPECT_EQ(Pc().Plug(board), c.starts);
  for (size_t i = 0; i < c.numbers.size(); ++i) {
    EXPECT_EQ(kernel::io::DeviceName(Fdo(int(i))), SerialName(c.numbers[i]));
  }
  EXPECT_EQ(NextDeviceNumber, c.next);
}
INSTANTIATE_TEST_SUITE_P(Lifecycle, TakenNamesTest, testing::ValuesIn(kTakenNames));

struct RegistryFlags {
  const char* what;
  std::optional<uint32_t> wake, enable;
  bool whql;
  UCHAR wantWake, wantEnable;
};
const RegistryFlags kRegistryFlags[] = {
    {"nothing set", {}, {}, false, 0, 0},
    {"both set", 1, 1, true, 1, 1},
    {"first byte counts", 0x0102, 0x0300, false, 2, 0},
};
class RegistryFlagsTest : public DriverTest, public testing::WithParamInterface<RegistryFlags> {};

TEST_P(RegistryFlagsTest, AreTakenByAddDevice) {
  const RegistryFlags& c = GetParam();
  SCOPED_TRACE(c.what);
  chip::UsbChip& board = Pc().AddChip({.ports = 1});
  std::string key = kernel::pnp::HardwareKeyPath(board.InstancePath(0));
  if (c.wake) kernel::registry::SetDword(key, "DeviceWakeEnable", *c.wake);
  if (c.enable) kernel::registry::SetDword(key, "DeviceEnable", *c.enable);
  if (c.whql)
    kernel::registry::SetDword("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Serial", "WHQLTest",
                               7);
  ASSERT_EQ(Pc().Plug(board), std::vector<NTSTATUS>{STATUS_SUCCESS});
  PPORT_DEVICE_CONTEXT ctx = Context(0);
  EXPECT_EQ(ctx->DeviceWakeEnable, c.wantWake);
  EXPECT_EQ(ctx->DeviceEnable, c.wantEnable);
  EXPECT_EQ(ctx->WhqlTest, c.whql ? 1u : 0u);
  EXPECT_EQ(ctx->OutstandingIo, 1);
  EXPECT_EQ(ctx->MsrPollReady, 1);
  EXPECT_EQ(ctx->DevPowerState, ULONG(PowerDeviceD0));
  EXPECT_EQ(ctx->SysPowerState, ULONG(PowerSystemWorking));
  EXPECT_EQ(Fdo(0)->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
            ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE));
  EXPECT_EQ(Fdo(0)->Characteristics & FILE_DEVICE_SECURE_OPEN, ULONG(FILE_DEVICE_SECURE_OPEN));
}
INSTANTIATE_TEST_SUITE_P(Lifecycle, RegistryFlagsTest, testing::ValuesIn(kRegistryFlags));

TEST_F(LifecycleTest, ALoadThatCannotCopyItsRegistryPathFailsAndLeavesNoTraceRegistration) {
  chip::UsbChip& board = Pc().AddChip({.ports = 1});
  kernel::pool::FailNthAllocation(1, kernel::pool::Tag("7315"));
  EXPECT_NE(Pc().Plug(board), std::vector<NTSTATUS>{STATUS_SUCCESS});
  kernel::pool::ClearInjection();
  EXPECT_EQ(kernel::pnp::LoadedDriver(rig::kServiceName), nullptr);
  EXPECT_FALSE(TraceProvider.Registered);
}

TEST_F(LifecycleTest, CleanupInformationAndFlushAlwaysSucceedWithoutData) {
  PlugChip();
  for (bool stopped : {false, true}) {
    if (stopped) {
      ASSERT_EQ(kernel::pnp::QueryStopAndStop(Pdo(0)), STATUS_SUCCESS);
    }
    for (UCHAR major :
         {IRP_MJ_CLEANUP, IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION, IRP_MJ_FLUSH_BUFFERS}) {
      IO_STATUS_BLOCK io =
          direct_irp::Send(Fdo(0), [major](PIRP, PIO_STACK_LOCATION next) { next->MajorFunction = major; });
      EXPECT_EQ(io.Status, STATUS_SUCCESS) << int(major) << (stopped ? " stopped" : " started");
      EXPECT_EQ(io.Information, 0u);
    }
  }
}

}  // namespace
