// The trace provider in both registration modes: a session switches it on
// with a level and flags, messages pass that filter, and unload removes it.
#include <cstring>
#include <string>

#include "driver/device/trace_provider.h"
#include "emulator/kernel/wmi_manager.h"
#include "support/machine_test.h"

namespace {

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class TraceTest : public MachineTest {
 protected:
  void Boot(unsigned long major) {
    machine_.reset();
    kernel::MachineOptions options;
    options.majorVersion = major;
    options.minorVersion = major == 5 ? 1 : 0;
    machine_.emplace(options);
  }
  bool ProviderPresent() const {
    return TraceProvider.Mode == TraceModeClassic ? kernel::wmi::ClassicProviderCount() == 1
                                                  : kernel::wmi::IsRegistered(&TraceProvider.Control);
  }
};

TEST_F(TraceTest, RegistersInTheModeOfTheSystemAndFiltersMessages) {
  struct Case {
    unsigned long major;
    ULONG mode;
  };
  for (const Case& c : {Case{5, TraceModeWmi}, Case{6, TraceModeClassic}, Case{10, TraceModeClassic}}) {
    SCOPED_TRACE(testing::Message() << "major version " << c.major);
    Boot(c.major);
    RegisterTraceProvider();
    EXPECT_EQ(TraceProvider.Mode, c.mode);
    EXPECT_TRUE(ProviderPresent());

    TraceText(TRACE_LEVEL_ERROR, TraceFlagWmi, 1, "before any session");
    TRACEHANDLE logger = 0;
    ASSERT_EQ(kernel::wmi::EnableTrace(TraceControlGuid, TRACE_LEVEL_INFORMATION,
                                       TraceFlagWmi | TraceFlagNaming, &logger),
              STATUS_SUCCESS);
    EXPECT_EQ(TraceProvider.Control.LoggerHandle, logger);
    EXPECT_EQ(TraceProvider.Control.EnableLevel, TRACE_LEVEL_INFORMATION);
    EXPECT_EQ(TraceProvider.Control.EnableFlags, TraceFlagWmi | TraceFlagNaming);

    TraceText(TRACE_LEVEL_INFORMATION, TraceFlagWmi, 7, "wake enabled");
    TraceText(TRACE_LEVEL_VERBOSE, TraceFlagWmi, 8, "too detailed");
    TraceText(TRACE_LEVEL_ERROR, TraceFlagThreads, 9, "flag not enabled");
    auto messages = kernel::wmi::TraceMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].logger, logger);
    EXPECT_EQ(messages[0].messageNumber, 7);
    EXPECT_TRUE(SameGuid(messages[0].messageGuid, TraceControlGuid));
    ASSERT_EQ(messages[0].arguments.size(), 1u);
    EXPECT_EQ(std::string(messages[0].arguments[0].begin(), messages[0].arguments[0].end()),
              std::string("wake enabled", 13));

    ASSERT_EQ(kernel::wmi::DisableTrace(TraceControlGuid), STATUS_SUCCESS);
    EXPECT_EQ(TraceProvider.Control.LoggerHandle, 0u);
    TraceText(TRACE_LEVEL_ERROR, TraceFlagWmi, 10, "after the session");
    EXPECT_EQ(kernel::wmi::TraceMessages().size(), 1u);

    UnregisterTraceProvider();
    EXPECT_EQ(kernel::wmi::ClassicProviderCount(), 0u);
    EXPECT_FALSE(kernel::wmi::IsRegistered(&TraceProvider.Control));
    EXPECT_EQ(kernel::wmi::EnableTrace(TraceControlGuid, TRACE_LEVEL_INFORMATION, TraceFlagWmi),
              STATUS_WMI_GUID_NOT_FOUND);
  }
}

}  // namespace
