// WmiSystemControl and WmiCompleteRequest under a driver's WMILIB_CONTEXT,
// with requests sent the way the WMI service sends them.
#include "emulator/kernel/pool.h"
#include "emulator/kernel/wmi_manager.h"
#include "pnp_fixture.h"

namespace pnptest {
namespace {

const GUID kBlockGuid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
const GUID kOtherGuid = {0x99999999, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
UNICODE_STRING g_registryPath =
    RTL_CONSTANT_STRING(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TestPort");

NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT device, PULONG flags, PUNICODE_STRING,
                            PUNICODE_STRING* registryPath, PUNICODE_STRING mofResource, PDEVICE_OBJECT* pdo) {
  *flags = WMIREG_FLAG_INSTANCE_PDO;
  *registryPath = &g_registryPath;
  RtlInitUnicodeString(mofResource, u"MofResource");
  *pdo = FdoOf(device).pdo;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI QueryBlock(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG, PULONG lengths,
                          ULONG available, PUCHAR buffer) {
  if (lengths == nullptr || available < 1)
    return WmiCompleteRequest(device, irp, STATUS_BUFFER_TOO_SMALL, 1, IO_NO_INCREMENT);
  buffer[0] = UCHAR(FdoOf(device).wakeEnable);
  lengths[0] = 1;
  return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 1, IO_NO_INCREMENT);
}

WMIGUIDREGINFO g_guids[] = {{&kBlockGuid, 1, WMIREG_FLAG_INSTANCE_PDO}};
WMILIB_CONTEXT g_context = {1, g_guids, QueryRegInfo, QueryBlock, nullptr, nullptr, nullptr, nullptr};

class WmiLibraryTest : public PnpTest {
 protected:
  void SetUp() override {
    PnpTest::SetUp();
    W().wmiContext = &g_context;
    W().faults.registerWmi = true;
    InstallFunctionDriver();
    pdo_ = Plug(0);
    fdo_ = FdoAbove(pdo_).device;
  }
  PDEVICE_OBJECT pdo_ = nullptr, fdo_ = nullptr;
};

TEST_F(WmiLibraryTest, QueriesComeBackAsWnodesAndMissingCallbacksFail) {
  const ULONG allData = 72 + 1;  // the header and one (offset, length) pair, 8-byte aligned, and the data
  const GUID& g = kBlockGuid;
  const UCHAR all = IRP_MN_QUERY_ALL_DATA, one = IRP_MN_QUERY_SINGLE_INSTANCE;
  const NTSTATUS ok = STATUS_SUCCESS;
  const struct {
    const char* name;
    kernel::wmi::Request request;
    NTSTATUS status;
    std::vector<uint8_t> data;  // InstanceData of the reply
    ULONG sizeNeeded;           // of a WNODE_TOO_SMALL reply
  } cases[] = {
      {"all data", {all, g, 0, 0, {}, 16}, ok, {0}, 0},
      {"all data, no room for the data", {all, g, 0, 0, {}, 8}, ok, {}, allData},
      {"all data, no room for the header", {all, g, 0, 0, {}, 0}, ok, {}, allData},
      {"missing instance", {one, g, 1, 0, {}, 4}, STATUS_WMI_INSTANCE_NOT_FOUND, {}, 0},
      {"set block, no callback", {IRP_MN_CHANGE_SINGLE_INSTANCE, g, 0, 0, {1}}, STATUS_WMI_READ_ONLY, {}, 0},
      {"method, no callback", {IRP_MN_EXECUTE_METHOD, g, 0, 1, {1}, 8}, STATUS_INVALID_DEVICE_REQUEST, {}, 0},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    kernel::wmi::Reply reply = kernel::wmi::Send(test.request);
    EXPECT_EQ(reply.status, test.status);
    EXPECT_EQ(kernel::wmi::SizeNeeded(reply), test.sizeNeeded);
    if (test.sizeNeeded != 0) {
      EXPECT_EQ(reply.information, sizeof(WNODE_TOO_SMALL));
    }
    EXPECT_EQ(kernel::wmi::InstanceData(reply), test.data);
  }
  EXPECT_TRUE(kernel::io::LiveIrps().empty());
  EXPECT_EQ(kernel::pool::LiveCount(kernel::pool::Tag("WmiB")), 0u);
}

TEST_F(WmiLibraryTest, RequestsNotForTheProviderGoDownTheStackUntouched) {
  // Unknown GUID: the service has no provider and sends nothing.
  kernel::wmi::Reply none = kernel::wmi::Send({IRP_MN_QUERY_ALL_DATA, kOtherGuid, 0, 0, {}, 16});
  EXPECT_EQ(none.status, STATUS_WMI_GUID_NOT_FOUND);
  EXPECT_TRUE(none.buffer.empty());
  // Sent to the provider anyway, WMILIB refuses it.
  EXPECT_EQ(kernel::wmi::SendTo(fdo_, {IRP_MN_QUERY_ALL_DATA, kOtherGuid, 0, 0, {}, 16}).status,
            STATUS_WMI_GUID_NOT_FOUND);
  // For another device of the stack, or not a WMI request: forwarded, and
  // nobody below handles it.
  ASSERT_EQ(IoWMIRegistrationControl(pdo_, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
  EXPECT_EQ(kernel::wmi::SendTo(pdo_, {IRP_MN_QUERY_ALL_DATA, kBlockGuid, 0, 0, {}, 16}).status,
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(kernel::wmi::SendTo(fdo_, {0x0A, kBlockGuid}).status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(IoWMIRegistrationControl(pdo_, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);
  EXPECT_EQ(FdoOf(fdo_).wakeEnable, 0u);
}

TEST_F(WmiLibraryTest, RegistrationActionsOnWrongObjectsFail) {
  EXPECT_TRUE(kernel::wmi::IsRegistered(fdo_));
  EXPECT_EQ(IoWMIRegistrationControl(fdo_, WMIREG_ACTION_REGISTER), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(IoWMIRegistrationControl(fdo_, WMIREG_ACTION_UPDATE_GUIDS), STATUS_SUCCESS);
  EXPECT_EQ(IoWMIRegistrationControl(fdo_, 0x7F), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoWMIRegistrationControl(pdo_, WMIREG_ACTION_DEREGISTER), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoWMIRegistrationControl(pdo_, WMIREG_ACTION_REREGISTER), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoWMIRegistrationControl(nullptr, WMIREG_ACTION_REGISTER), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(kernel::wmi::ProviderCount(), 1u);
  // A provider that blocks its requests gets none.
  EXPECT_EQ(IoWMIRegistrationControl(fdo_, WMIREG_ACTION_BLOCK_IRPS), STATUS_SUCCESS);
  EXPECT_EQ(kernel::wmi::SendTo(fdo_, {IRP_MN_QUERY_ALL_DATA, kBlockGuid, 0, 0, {}, 16}).status,
            STATUS_INVALID_DEVICE_STATE);
  // After the removal the provider is gone (the driver deregistered).
  EXPECT_EQ(kernel::pnp::QueryRemoveAndRemove(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(kernel::wmi::ProviderCount(), 0u);
  EXPECT_EQ(kernel::wmi::Send({IRP_MN_QUERY_ALL_DATA, kBlockGuid, 0, 0, {}, 16}).status,
            STATUS_WMI_GUID_NOT_FOUND);
}

}  // namespace
}  // namespace pnptest
