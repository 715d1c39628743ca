// WmiSystemControl and WmiCompleteRequest under a driver's WMILIB_CONTEXT,
// with requests sent the way the WMI service sends them.
#include <cstring>

#include "emulator/kernel/pool.h"
#include "emulator/kernel/rtl/text.h"
#include "emulator/kernel/wmi_manager.h"
#include "pnp_fixture.h"

namespace pnptest {
namespace {

const GUID kBlockGuid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
const GUID kOtherGuid = {0x99999999, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
UNICODE_STRING g_registryPath =
    RTL_CONSTANT_STRING(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TestPort");

struct Control {
  ULONG guidIndex;
  WMIENABLEDISABLECONTROL function;
  BOOLEAN enable;
};
std::vector<Control> g_controls;

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

NTSTATUS NTAPI SetBlock(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG size, PUCHAR buffer) {
  if (size != 1) return WmiCompleteRequest(device, irp, STATUS_INFO_LENGTH_MISMATCH, 0, IO_NO_INCREMENT);
  FdoOf(device).wakeEnable = buffer[0];
  return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 1, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SetItem(PDEVICE_OBJECT device, PIRP irp, ULONG, ULONG, ULONG item, ULONG size, PUCHAR buffer) {
  if (item != 1) return WmiCompleteRequest(device, irp, STATUS_WMI_ITEMID_NOT_FOUND, 0, IO_NO_INCREMENT);
  return SetBlock(device, irp, 0, 0, size, buffer);
}

NTSTATUS NTAPI FunctionControl(PDEVICE_OBJECT device, PIRP irp, ULONG guidIndex,
                               WMIENABLEDISABLECONTROL function, BOOLEAN enable) {
  g_controls.push_back({guidIndex, function, enable});
  return WmiCompleteRequest(device, irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
}

WMIGUIDREGINFO g_guids[] = {{&kBlockGuid, 1, WMIREG_FLAG_INSTANCE_PDO}};
WMILIB_CONTEXT g_context = {1,        g_guids, QueryRegInfo, QueryBlock,
                            SetBlock, SetItem, nullptr,      FunctionControl};

// A counted string in a reply: its length in bytes, then the characters.
std::u16string Counted(const kernel::wmi::Reply& reply, ULONG offset) {
  USHORT length;
  std::memcpy(&length, reply.buffer.data() + offset, sizeof length);
  std::u16string text(length / 2, u'\0');
  std::memcpy(text.data(), reply.buffer.data() + offset + 2, length);
  return text;
}

class WmiLibraryTest : public PnpTest {
 protected:
  void SetUp() override {
    PnpTest::SetUp();
    g_controls.clear();
    W().wmiContext = &g_context;
    W().faults.registerWmi = true;
    InstallFunctionDriver();
    pdo_ = Plug(0);
    fdo_ = FdoAbove(pdo_).device;
  }
  PDEVICE_OBJECT pdo_ = nullptr, fdo_ = nullptr;
};

TEST_F(WmiLibraryTest, RequestsReachTheCallbacksAndComeBackAsWnodes) {
  const ULONG allData = 72 + 1;  // the header and one (offset, length) pair, 8-byte aligned, and the data
  const GUID& g = kBlockGuid;
  const UCHAR all = IRP_MN_QUERY_ALL_DATA, one = IRP_MN_QUERY_SINGLE_INSTANCE,
              set = IRP_MN_CHANGE_SINGLE_INSTANCE, item = IRP_MN_CHANGE_SINGLE_ITEM,
              method = IRP_MN_EXECUTE_METHOD;
  const NTSTATUS ok = STATUS_SUCCESS;
  const struct {
    const char* name;
    kernel::wmi::Request request;
    NTSTATUS status;
    std::vector<uint8_t> data;  // InstanceData of the reply
    ULONG sizeNeeded;           // of a WNODE_TOO_SMALL reply
    ULONG wakeEnableAfter;
  } cases[] = {
      {"all data", {all, g, 0, 0, {}, 16}, ok, {0}, 0, 0},
      {"all data, no room for the data", {all, g, 0, 0, {}, 8}, ok, {}, allData, 0},
      {"all data, no room for the header", {all, g, 0, 0, {}, 0}, ok, {}, allData, 0},
      {"set block", {set, g, 0, 0, {1}}, ok, {}, 0, 1},
      {"single instance", {one, g, 0, 0, {}, 4}, ok, {1}, 0, 1},
      {"missing instance", {one, g, 1, 0, {}, 4}, STATUS_WMI_INSTANCE_NOT_FOUND, {}, 0, 1},
      {"set block of 4 bytes", {set, g, 0, 0, {0, 0, 0, 0}}, STATUS_INFO_LENGTH_MISMATCH, {}, 0, 1},
      {"set item 1", {item, g, 0, 1, {0}}, ok, {}, 0, 0},
      {"set item 2", {item, g, 0, 2, {1}}, STATUS_WMI_ITEMID_NOT_FOUND, {}, 0, 0},
      {"method, no callback", {method, g, 0, 1, {1}, 8}, STATUS_INVALID_DEVICE_REQUEST, {}, 0, 0},
      {"enable events", {IRP_MN_ENABLE_EVENTS, g}, ok, {}, 0, 0},
      {"disable collection", {IRP_MN_DISABLE_COLLECTION, g}, ok, {}, 0, 0},
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
    EXPECT_EQ(FdoOf(fdo_).wakeEnable, test.wakeEnableAfter);
  }
  ASSERT_EQ(g_controls.size(), 2u);
  EXPECT_EQ(g_controls[0].function, WmiEventControl);
  EXPECT_TRUE(g_controls[0].enable);
  EXPECT_EQ(g_controls[1].function, WmiDataBlockControl);
  EXPECT_FALSE(g_controls[1].enable);
  EXPECT_TRUE(kernel::io::LiveIrps().empty());
  EXPECT_EQ(kernel::pool::LiveCount(kernel::pool::Tag("WmiB")), 0u);
}

TEST_F(WmiLibraryTest, ASingleInstanceRequestCarriesThePdoInstanceName) {
  kernel::wmi::Reply reply = kernel::wmi::Send({IRP_MN_QUERY_SINGLE_INSTANCE, kBlockGuid, 0, 0, {}, 4});
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  WNODE_SINGLE_INSTANCE wnode;
  std::memcpy(&wnode, reply.buffer.data(), sizeof wnode);
  EXPECT_EQ(wnode.WnodeHeader.BufferSize, wnode.DataBlockOffset + 1);
  EXPECT_EQ(wnode.SizeDataBlock, 1u);
  EXPECT_EQ(wnode.DataBlockOffset % 8, 0u);
  EXPECT_EQ(Counted(reply, wnode.OffsetInstanceName), u"TEST\\VID_1A2B&PID_7315\\SN0001&0_0");
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

TEST_F(WmiLibraryTest, RegistrationInformationDescribesTheProvider) {
  kernel::wmi::Reply small = kernel::wmi::RegInfo(fdo_, 8);
  ASSERT_EQ(small.status, STATUS_SUCCESS);
  ASSERT_EQ(small.information, sizeof(ULONG));
  ULONG needed;
  std::memcpy(&needed, small.buffer.data(), sizeof needed);

  kernel::wmi::Reply reply = kernel::wmi::RegInfo(fdo_, needed);
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.information, needed);
  WMIREGINFOW info;
  std::memcpy(&info, reply.buffer.data(), sizeof info);
  EXPECT_EQ(info.BufferSize, needed);
  EXPECT_EQ(info.GuidCount, 1u);
  WMIREGGUIDW guid;
  std::memcpy(&guid, reply.buffer.data() + sizeof info, sizeof guid);
  EXPECT_EQ(std::memcmp(&guid.Guid, &kBlockGuid, sizeof(GUID)), 0);
  EXPECT_EQ(guid.Flags, ULONG(WMIREG_FLAG_INSTANCE_PDO));
  EXPECT_EQ(guid.InstanceCount, 1u);
  EXPECT_EQ(guid.Pdo, ULONG_PTR(pdo_));
  EXPECT_EQ(Counted(reply, info.MofResourceName), u"MofResource");
  EXPECT_EQ(Counted(reply, info.RegistryPath), kernel::text::View(g_registryPath));
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

TEST_F(WmiLibraryTest, FiredEventsAreKeptAndTheirDataFreed) {
  const ULONG tag = kernel::pool::Tag("Evnt");
  auto data = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, 3, tag));
  data[0] = 1, data[1] = 2, data[2] = 3;
  EXPECT_EQ(WmiFireEvent(fdo_, &kBlockGuid, 0, 3, data), STATUS_SUCCESS);
  EXPECT_EQ(kernel::pool::LiveCount(tag), 0u);
  std::vector<kernel::wmi::Event> events = kernel::wmi::FiredEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].device, fdo_);
  EXPECT_EQ(events[0].data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(WmiFireEvent(fdo_, nullptr, 0, 0, nullptr), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace pnptest
