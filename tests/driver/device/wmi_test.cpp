// The wake-enable WMI block: queries, block and item sets with every bad
// index and size, the remote wake-up feature on the device, the registry
// value, and requests during removal.
#include <atomic>
#include <vector>

#include "driver/device/wmi.h"
#include "emulator/kernel/registry.h"
#include "emulator/kernel/system_worker.h"
#include "emulator/kernel/wmi_manager.h"
#include "port_device_fixture.h"

namespace device_test {
namespace {

// The started port, registered with WMI by its add-device.
class WmiTest : public PluggedPortTest {
 protected:
  kernel::wmi::Reply Send(UCHAR minor, std::vector<uint8_t> data = {}, ULONG itemId = 1,
                          ULONG capacity = 16) {
    kernel::wmi::Request request;
    request.minorFunction = minor;
    request.guid = WakeEnableGuid;
    request.itemId = itemId;
    request.data = std::move(data);
    request.dataCapacity = capacity;
    return kernel::wmi::Send(request);
  }
  bool RemoteWake() { return board_->port(0).RemoteWakeEnabled(); }
  std::optional<uint32_t> StoredWake() {
    return kernel::registry::GetDword(HardwareKey(), "DeviceWakeEnable");
  }
};

TEST_F(WmiTest, QueriesAnswerTheWakeEnableByte) {
  for (UCHAR wake : {0, 1}) {
    SCOPED_TRACE(testing::Message() << "DeviceWakeEnable " << int(wake));
    ctx_->DeviceWakeEnable = wake;
    auto single = Send(IRP_MN_QUERY_SINGLE_INSTANCE);
    EXPECT_EQ(single.status, STATUS_SUCCESS);
    EXPECT_EQ(kernel::wmi::InstanceData(single), std::vector<uint8_t>{wake});
    auto all = Send(IRP_MN_QUERY_ALL_DATA);
    EXPECT_EQ(all.status, STATUS_SUCCESS);
    EXPECT_EQ(kernel::wmi::InstanceData(all), std::vector<uint8_t>{wake});
  }
  auto tooSmall = Send(IRP_MN_QUERY_SINGLE_INSTANCE, {}, 1, 0);
  EXPECT_EQ(tooSmall.status, STATUS_SUCCESS);
  EXPECT_GT(kernel::wmi::SizeNeeded(tooSmall), 0u);
}

TEST_F(WmiTest, SetsCheckSizesAndItemsAndChangeNothingWhenRefused) {
  struct Case {
    const char* what;
    UCHAR minor;
    std::vector<uint8_t> data;
    ULONG itemId;
    NTSTATUS status;
    UCHAR wake;       // DeviceWakeEnable afterwards
    bool remoteWake;  // the device's remote wake-up feature afterwards
  };
  const Case cases[] = {
      {"block of 4 bytes",
       IRP_MN_CHANGE_SINGLE_INSTANCE,
       {1, 0, 0, 0},
       1,
       STATUS_INFO_LENGTH_MISMATCH,
       0,
       false},
      {"empty block", IRP_MN_CHANGE_SINGLE_INSTANCE, {}, 1, STATUS_INFO_LENGTH_MISMATCH, 0, false},
      {"item 2", IRP_MN_CHANGE_SINGLE_ITEM, {1}, 2, STATUS_WMI_ITEMID_NOT_FOUND, 0, false},
      {"item of 2 bytes", IRP_MN_CHANGE_SINGLE_ITEM, {1, 0}, 1, STATUS_INFO_LENGTH_MISMATCH, 0, false},
      {"block 1 arms remote wake-up", IRP_MN_CHANGE_SINGLE_INSTANCE, {1}, 1, STATUS_SUCCESS, 1, true},
      {"block 0 disarms it on the device", IRP_MN_CHANGE_SINGLE_INSTANCE, {0}, 1, STATUS_SUCCESS, 0, false},
      {"any non-zero byte enables", IRP_MN_CHANGE_SINGLE_INSTANCE, {7}, 1, STATUS_SUCCESS, 1, true},
      {"item 0 sends no feature request", IRP_MN_CHANGE_SINGLE_ITEM, {0}, 1, STATUS_SUCCESS, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto reply = Send(c.minor, c.data, c.itemId);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(ctx_->DeviceWakeEnable, c.wake);
    EXPECT_EQ(RemoteWake(), c.remoteWake);
    EXPECT_EQ(StoredWake(), c.wake) << "a refused request leaves the installed value";
  }
}

// The block form sends its feature request even when the value stays; the
// registry is then left alone.
TEST_F(WmiTest, AnUnchangedBlockStillReachesTheDeviceButNotTheRegistry) {
  ASSERT_EQ(Send(IRP_MN_CHANGE_SINGLE_INSTANCE, {1}).status, STATUS_SUCCESS);
  kernel::registry::DeleteValue(HardwareKey(), "DeviceWakeEnable");
  board_->port(0).StallControlTransfers(100);
  EXPECT_FALSE(NT_SUCCESS(Send(IRP_MN_CHANGE_SINGLE_INSTANCE, {1}).status));
  board_->port(0).StallControlTransfers(0);
  EXPECT_FALSE(StoredWake().has_value());
  EXPECT_EQ(ctx_->DeviceWakeEnable, 1);
}

TEST_F(WmiTest, MethodsAndFunctionControlAreNotSupported) {
  for (UCHAR minor :
       {UCHAR(IRP_MN_EXECUTE_METHOD), UCHAR(IRP_MN_ENABLE_COLLECTION), UCHAR(IRP_MN_ENABLE_EVENTS)}) {
    SCOPED_TRACE(testing::Message() << "minor " << int(minor));
    EXPECT_EQ(Send(minor, {1}).status, STATUS_INVALID_DEVICE_REQUEST);
  }
}

// A removal waits on the remove lock the test holds; the block is still
// registered meanwhile.
TEST_F(WmiTest, RequestsDuringRemovalFailWithTheRemoveLocksStatus) {
  ASSERT_EQ(Send(IRP_MN_QUERY_SINGLE_INSTANCE).status, STATUS_SUCCESS);  // the service knows the block
  ASSERT_EQ(IoAcquireRemoveLock(&ctx_->RemoveLock, this), STATUS_SUCCESS);
  std::atomic<bool> removed{false};
  kernel::worker::Queue([pdo = Pdo(0), &removed] {
    kernel::pnp::QueryRemoveAndRemove(pdo);
    removed = true;
  });
  kernel::clock::Sleep(10 * kMs);
  ASSERT_FALSE(removed.load());
  EXPECT_EQ(Send(IRP_MN_CHANGE_SINGLE_INSTANCE, {1}).status, STATUS_DELETE_PENDING);
  EXPECT_EQ(ctx_->DeviceWakeEnable, 0);
  IoReleaseRemoveLock(&ctx_->RemoveLock, this);
  while (!removed.load()) kernel::clock::Sleep(kMs);
  EXPECT_EQ(Fdo(0), nullptr);
}

}  // namespace
}  // namespace device_test
