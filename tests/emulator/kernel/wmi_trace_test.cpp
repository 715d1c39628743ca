// Trace providers: a WMI callback provider and a classic ETW provider are
// enabled by trace sessions, and the trace routines drivers resolve at run
// time record what they are given.
#include <cstring>

#include "emulator/kernel/wmi_manager.h"
#include "support/machine_test.h"

namespace {

const GUID kControlGuid = {0xE2145A61, 0x1A3E, 0x4C94, {0xB3, 0x1F, 0x87, 0x65, 0x43, 0x21, 0x0A, 0xBD}};
const GUID kMessageGuid = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID kUnknownGuid = {0x7, 0x7, 0x7, {7, 7, 7, 7, 7, 7, 7, 7}};

// A trace control block whose first member is the WMI entry, as a
// callback provider registers it.
struct ControlBlock {
  WMIENTRY entry;
  TRACEHANDLE logger = 0;
  ULONG flags = 0;
  UCHAR level = 0;
  int enables = 0, disables = 0;
};

NTSTATUS NTAPI TraceControl(UCHAR action, PVOID, ULONG size, PVOID buffer, PVOID context, PULONG used) {
  auto* block = static_cast<ControlBlock*>(context);
  switch (action) {
    case IRP_MN_REGINFO: {
      const ULONG needed = sizeof(WMIREGINFOW) + sizeof(WMIREGGUIDW);
      if (size < needed) return STATUS_BUFFER_TOO_SMALL;
      std::memset(buffer, 0, needed);
      auto info = static_cast<PWMIREGINFOW>(buffer);
      info->BufferSize = needed;
      info->GuidCount = 1;
      info->WmiRegGuid[0].Guid = kControlGuid;
      info->WmiRegGuid[0].Flags = WMIREG_FLAG_TRACED_GUID | WMIREG_FLAG_TRACE_CONTROL_GUID;
      *used = needed;
      return STATUS_SUCCESS;
    }
    case IRP_MN_ENABLE_EVENTS:
      block->logger = static_cast<PWNODE_HEADER>(buffer)->HistoricalContext;
      WmiQueryTraceInformation(TraceEnableFlagsClass, &block->flags, sizeof block->flags, nullptr, buffer);
      WmiQueryTraceInformation(TraceEnableLevelClass, &block->level, sizeof block->level, nullptr, buffer);
      ++block->enables;
      *used = 0;
      return STATUS_SUCCESS;
    case IRP_MN_DISABLE_EVENTS:
      block->logger = 0;
      ++block->disables;
      *used = 0;
      return STATUS_SUCCESS;
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

struct ClassicState {
  int calls = 0;
  UCHAR lastCode = 0xFF;
  TRACE_ENABLE_CONTEXT enable{};
};

VOID NTAPI ClassicCallback(LPCGUID, UCHAR code, PVOID enableContext, PVOID context) {
  auto* state = static_cast<ClassicState*>(context);
  ++state->calls;
  state->lastCode = code;
  if (enableContext != nullptr) std::memcpy(&state->enable, enableContext, sizeof state->enable);
}

template <class Function>
Function* Resolve(const char16_t* name) {
  UNICODE_STRING string;
  RtlInitUnicodeString(&string, name);
  return reinterpret_cast<Function*>(MmGetSystemRoutineAddress(&string));
}

class WmiTraceTest : public MachineTest {};

TEST_F(WmiTraceTest, ACallbackProviderIsEnabledAndTracesIntoItsSession) {
  ControlBlock block{TraceControl};
  auto object = reinterpret_cast<PDEVICE_OBJECT>(&block);
  ASSERT_EQ(IoWMIRegistrationControl(
                object, WMIREG_ACTION_REGISTER | WMIREG_FLAG_CALLBACK | WMIREG_FLAG_TRACE_PROVIDER),
            STATUS_SUCCESS);
  TRACEHANDLE logger = 0;
  EXPECT_EQ(kernel::wmi::EnableTrace(kControlGuid, TRACE_LEVEL_INFORMATION, 0x6, &logger), STATUS_SUCCESS);
  EXPECT_EQ(kernel::wmi::EnableTrace(kControlGuid, TRACE_LEVEL_INFORMATION, 0x6),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(kernel::wmi::EnableTrace(kUnknownGuid, TRACE_LEVEL_INFORMATION, 0x6), STATUS_WMI_GUID_NOT_FOUND);
  EXPECT_EQ(block.enables, 1);
  EXPECT_EQ(block.logger, logger);
  EXPECT_EQ(block.flags, 0x6u);
  EXPECT_EQ(block.level, TRACE_LEVEL_INFORMATION);

  ULONG value = 0x12345678;
  EXPECT_EQ(WmiTraceMessage(block.logger, TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID, &kMessageGuid, 10,
                            &value, SIZE_T(sizeof value), "abc", SIZE_T(3), nullptr),
            STATUS_SUCCESS);
  std::vector<kernel::wmi::TraceMessage> messages = kernel::wmi::TraceMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].logger, logger);
  EXPECT_EQ(messages[0].messageNumber, 10);
  EXPECT_EQ(messages[0].messageFlags, ULONG(TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID));
  EXPECT_EQ(std::memcmp(&messages[0].messageGuid, &kMessageGuid, sizeof(GUID)), 0);
  ASSERT_EQ(messages[0].arguments.size(), 2u);
  EXPECT_EQ(messages[0].arguments[0], (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(messages[0].arguments[1], (std::vector<uint8_t>{'a', 'b', 'c'}));

  EXPECT_EQ(kernel::wmi::DisableTrace(kControlGuid), STATUS_SUCCESS);
  EXPECT_EQ(kernel::wmi::DisableTrace(kControlGuid), STATUS_WMI_GUID_NOT_FOUND);
  EXPECT_EQ(block.disables, 1);
  // A message to an ended session is refused and not kept.
  EXPECT_EQ(WmiTraceMessage(logger, 0, &kMessageGuid, 11, nullptr), STATUS_INVALID_HANDLE);
  EXPECT_EQ(kernel::wmi::TraceMessages().size(), 1u);
  EXPECT_EQ(IoWMIRegistrationControl(object, WMIREG_ACTION_DEREGISTER | WMIREG_FLAG_CALLBACK),
            STATUS_SUCCESS);
  EXPECT_FALSE(kernel::wmi::IsRegistered(object));
}

TEST_F(WmiTraceTest, AClassicProviderGetsEnableAndDisableCallbacks) {
  auto etwRegister = Resolve<decltype(EtwRegisterClassicProvider)>(u"EtwRegisterClassicProvider");
  auto etwUnregister = Resolve<decltype(EtwUnregister)>(u"EtwUnregister");
  ASSERT_NE(etwRegister, nullptr);
  ASSERT_NE(etwUnregister, nullptr);
  ClassicState first, late;
  REGHANDLE firstHandle = 0, lateHandle = 0;
  ASSERT_EQ(etwRegister(&kControlGuid, 0, ClassicCallback, &first, &firstHandle), STATUS_SUCCESS);
  EXPECT_NE(firstHandle, 0u);
  EXPECT_EQ(first.calls, 0);
  EXPECT_EQ(kernel::wmi::EnableTrace(kControlGuid, TRACE_LEVEL_VERBOSE, 0xFF), STATUS_SUCCESS);
  EXPECT_EQ(first.lastCode, EVENT_CONTROL_CODE_ENABLE_PROVIDER);
  EXPECT_EQ(first.enable.Level, TRACE_LEVEL_VERBOSE);
  EXPECT_EQ(first.enable.EnableFlags, 0xFFu);
  // A provider that registers during the session is enabled at once.
  ASSERT_EQ(etwRegister(&kControlGuid, 0, ClassicCallback, &late, &lateHandle), STATUS_SUCCESS);
  EXPECT_EQ(late.lastCode, EVENT_CONTROL_CODE_ENABLE_PROVIDER);
  EXPECT_EQ(late.enable.LoggerId, first.enable.LoggerId);
  EXPECT_EQ(kernel::wmi::ClassicProviderCount(), 2u);

  EXPECT_EQ(kernel::wmi::DisableTrace(kControlGuid), STATUS_SUCCESS);
  EXPECT_EQ(first.lastCode, EVENT_CONTROL_CODE_DISABLE_PROVIDER);
  EXPECT_EQ(etwUnregister(firstHandle), STATUS_SUCCESS);
  EXPECT_EQ(etwUnregister(firstHandle), STATUS_INVALID_HANDLE);
  EXPECT_EQ(etwUnregister(lateHandle), STATUS_SUCCESS);
  EXPECT_EQ(kernel::wmi::ClassicProviderCount(), 0u);
  EXPECT_EQ(etwRegister(nullptr, 0, ClassicCallback, &first, &firstHandle), STATUS_INVALID_PARAMETER);
}

TEST_F(WmiTraceTest, QueryTraceInformationChecksClassAndLength) {
  WNODE_HEADER header{};
  TRACE_ENABLE_CONTEXT enable{3, TRACE_LEVEL_ERROR, 0, 0x10};
  std::memcpy(&header.HistoricalContext, &enable, sizeof enable);
  struct Case {
    TRACE_INFORMATION_CLASS infoClass;
    ULONG length;
    PWNODE_HEADER header;
    NTSTATUS status;
    ULONG64 value;  // what arrives in the buffer
  } cases[] = {
      {TraceEnableFlagsClass, sizeof(ULONG), &header, STATUS_SUCCESS, 0x10},
      {TraceEnableLevelClass, sizeof(UCHAR), &header, STATUS_SUCCESS, TRACE_LEVEL_ERROR},
      {TraceHandleClass, sizeof(TRACEHANDLE), &header, STATUS_SUCCESS, header.HistoricalContext},
      {TraceEnableFlagsClass, 2, &header, STATUS_INFO_LENGTH_MISMATCH, 0},
      {LoggerEventsLostClass, sizeof(ULONG), &header, STATUS_INVALID_INFO_CLASS, 0},
      {TraceEnableFlagsClass, sizeof(ULONG), nullptr, STATUS_INVALID_PARAMETER, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.infoClass));
    ULONG64 value = 0;
    ULONG required = 0;
    EXPECT_EQ(WmiQueryTraceInformation(c.infoClass, &value, c.length, &required, c.header), c.status);
    EXPECT_EQ(value, c.value);
    if (c.status == STATUS_INFO_LENGTH_MISMATCH) EXPECT_EQ(required, sizeof(ULONG));
  }
}

}  // namespace
