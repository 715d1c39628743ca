// The four transfer types of a user request, as the I/O manager builds them:
// where the driver finds the input and the output, and what reaches the
// caller. Direct I/O gives the driver an MDL over the caller's own buffer.

#include "io_fixture.h"

namespace iotest {
namespace {

struct TransferCase {
  const char* name;
  UCHAR major;
  ULONG method;        // of the control code, or the device's I/O type for reads and writes
  bool systemInput;    // the input arrives in the system buffer
  bool mdlOverOutput;  // an MDL describes the caller's output buffer
  bool mdlOverInput;   // an MDL describes the caller's input buffer (direct writes)
  bool userBuffers;    // UserBuffer / Type3InputBuffer are the caller's
};

const TransferCase kTransfers[] = {
    {"buffered control", IRP_MJ_DEVICE_CONTROL, METHOD_BUFFERED, true, false, false, false},
    {"in-direct control", IRP_MJ_DEVICE_CONTROL, METHOD_IN_DIRECT, true, true, false, false},
    {"out-direct control", IRP_MJ_DEVICE_CONTROL, METHOD_OUT_DIRECT, true, true, false, false},
    {"neither control", IRP_MJ_DEVICE_CONTROL, METHOD_NEITHER, false, false, false, true},
    {"direct read", IRP_MJ_READ, METHOD_OUT_DIRECT, false, true, false, false},
    {"direct write", IRP_MJ_WRITE, METHOD_OUT_DIRECT, false, false, true, false},
    {"neither read", IRP_MJ_READ, METHOD_NEITHER, false, false, false, true},
};

class IoTransfers : public IoTest, public testing::WithParamInterface<TransferCase> {};

TEST_P(IoTransfers, DriverFindsTheBuffersWhereItsTypeSays) {
  const TransferCase& c = GetParam();
  PDEVICE_OBJECT device = AddBottom(u"\\Device\\Transfers");
  if (c.major != IRP_MJ_DEVICE_CONTROL && c.method == METHOD_OUT_DIRECT) device->Flags |= DO_DIRECT_IO;
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(kernel::io::OpenFile(u"\\Device\\Transfers", GENERIC_READ | GENERIC_WRITE, 0, &file),
            STATUS_SUCCESS);

  DeviceConfig& config = Config(device);
  if (c.major != IRP_MJ_WRITE) config.reply = {'o', 'u', 't'};
  config.information = 3;
  UCHAR input[5] = {1, 2, 3, 4, 5};
  UCHAR output[0x1800] = {};
  UCHAR* const outputAt = output + 0xFF0;  // crosses a page boundary
  kernel::io::UserRequest request;
  request.majorFunction = c.major;
  request.ioControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 7, c.method, FILE_ANY_ACCESS);
  if (c.major != IRP_MJ_READ) {
    request.input = input;
    request.inputLength = sizeof input;
  }
  if (c.major != IRP_MJ_WRITE) {
    request.output = outputAt;
    request.outputLength = 0x20;
  }
  const IO_STATUS_BLOCK result = kernel::io::SendUserRequest(file, request);
  EXPECT_EQ(result.Status, STATUS_SUCCESS);
  EXPECT_EQ(result.Information, 3u);

  EXPECT_EQ(config.lastInput, c.systemInput ? std::vector<UCHAR>(input, input + 5) : std::vector<UCHAR>{});
  if (c.mdlOverOutput || c.mdlOverInput) {
    ASSERT_TRUE(config.lastMdl.has_value());
    const MDL& seen = *config.lastMdl;
    const auto* described = c.mdlOverOutput ? outputAt : input;
    EXPECT_EQ(seen.MappedSystemVa, described);
    EXPECT_EQ(seen.ByteCount, c.mdlOverOutput ? 0x20u : 5u);
    EXPECT_EQ(ULONG_PTR(seen.StartVa) + seen.ByteOffset, ULONG_PTR(described));
    EXPECT_EQ(ULONG_PTR(seen.StartVa) & 0xFFF, 0u);
    EXPECT_TRUE(seen.MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  } else {
    EXPECT_FALSE(config.lastMdl.has_value());
  }
  if (c.userBuffers) {
    EXPECT_EQ(config.lastUserBuffer, outputAt);
    if (c.major == IRP_MJ_DEVICE_CONTROL) {
      EXPECT_EQ(config.lastLocation.Parameters.DeviceIoControl.Type3InputBuffer, input);
    }
  }
  // Buffered output is copied back; direct output was written in place.
  if (c.major != IRP_MJ_WRITE && !c.userBuffers) {
    EXPECT_EQ(std::string(reinterpret_cast<char*>(outputAt), 3), "out");
  }
  kernel::io::CloseFile(file);
}

INSTANTIATE_TEST_SUITE_P(Types, IoTransfers, testing::ValuesIn(kTransfers), [](const auto& info) {
  std::string name = info.param.name;
  std::replace(name.begin(), name.end(), ' ', '_');
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
});

}  // namespace
}  // namespace iotest
