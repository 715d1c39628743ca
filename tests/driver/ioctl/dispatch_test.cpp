// The dispatcher's buffer rules at the IRP level: every standard code with no
// buffers, a short one, the exact size, a larger one and a missing buffer;
// codes without a handler; the device-state gate of the USB-level codes; the
// diagnostic log.
#include "ioctl_fixture.h"

namespace ioctl_test {
namespace {

constexpr NTSTATUS OK = STATUS_SUCCESS;
constexpr NTSTATUS TS = STATUS_BUFFER_TOO_SMALL;
constexpr NTSTATUS IP = STATUS_INVALID_PARAMETER;
constexpr NTSTATUS IBS = STATUS_INVALID_BUFFER_SIZE;
constexpr NTSTATUS NI = STATUS_NOT_IMPLEMENTED;

enum Dir { In, Out, NoBuffer };

struct Row {
  ULONG code;
  Dir dir;
  ULONG size;
  Bytes valid;  // input that the handler accepts
  // Expected status with: no buffers at all, size - 1, exactly size,
  // size + 5, the exact length but no buffer.
  NTSTATUS none, shorter, exact, larger, absent;
};

std::vector<Row> StandardRows() {
  SERIAL_HANDFLOW handFlow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 100, 300};
  SERIAL_CHARS chars{0, 0, 0, 0, 0x11, 0x13};
  return {
      {IOCTL_SERIAL_SET_BAUD_RATE, In, 4, BytesOf(ULONG(9600)), IP, IP, OK, IP, IP},
      {IOCTL_SERIAL_SET_QUEUE_SIZE, In, 8, BytesOf(SERIAL_QUEUE_SIZE{16, 16}), IBS, TS, OK, OK, IP},
      {IOCTL_SERIAL_SET_LINE_CONTROL, In, 3, {STOP_BIT_1, NO_PARITY, 8}, TS, TS, OK, OK, IP},
      {IOCTL_SERIAL_SET_BREAK_ON, NoBuffer, 0, {}, OK, OK, OK, OK, OK},
      {IOCTL_SERIAL_SET_BREAK_OFF, NoBuffer, 0, {}, OK, OK, OK, OK, OK},
      {IOCTL_SERIAL_IMMEDIATE_CHAR, In, 1, {0x41}, NI, NI, NI, NI, NI},
      {IOCTL_SERIAL_SET_TIMEOUTS, In, 20, Bytes(20), TS, TS, OK, OK, IP},
      {IOCTL_SERIAL_GET_TIMEOUTS, Out, 20, {}, TS, TS, OK, OK, IP},
      {IOCTL_SERIAL_SET_DTR, NoBuffer, 0, {}, OK, OK, OK, OK, OK},
      {IOCTL_SERIAL_CLR_DTR, NoBuffer, 0, {}, OK, OK, OK, OK, OK},
      {IOCTL_SERIAL_RESET_DEVICE, NoBuffer, 0, {}, NI, NI, NI, NI, NI},
      {IOCTL_SERIAL_SET_RTS, NoBuffer, 0, {}, OK, OK, OK, OK, OK},
      {IOCTL_SERIAL_CLR_RTS, NoBuffer, 0, {}, OK, OK, OK, OK, OK},
      {IOCTL_SERIAL_SET_XOFF, NoBuffer, 0, {}, OK, OK, OK, OK, OK},
      {IOCTL_SERIAL_SET_XON, NoBuffer, 0, {}, OK, OK, OK, OK, OK},
      {IOCTL_SERIAL_GET_WAIT_MASK, Out, 4, {}, TS, TS, OK, OK, IP},
      {IOCTL_SERIAL_SET_WAIT_MASK, In, 4, BytesOf(ULONG(0)), TS, TS, OK, OK, IP},
      // With no mask set the wait machinery refuses the wait at once.
      {IOCTL_SERIAL_WAIT_ON_MASK, Out, 4, {}, TS, TS, IP, IP, IP},
      {IOCTL_SERIAL_PURGE, In, 4, BytesOf(ULONG(0)), TS, TS, OK, OK, IP},
      {IOCTL_SERIAL_GET_BAUD_RATE, Out, 4, {}, TS, TS, OK, OK, IP},
      {IOCTL_SERIAL_GET_LINE_CONTROL, Out, 3, {}, IBS, TS, OK, OK, IP},
      {IOCTL_SERIAL_GET_CHARS, Out, 6, {}, TS, TS, OK, OK, IP},
      {IOCTL_SERIAL_SET_CHARS, In, 6, BytesOf(chars), TS, TS, OK, OK, IP},
      {IOCTL_SERIAL_GET_HANDFLOW, Out, 16, {}, TS, TS, OK, OK, IP},
      {IOCTL_SERIAL_SET_HANDFLOW, In, 16, BytesOf(handFlow), TS, TS, OK, OK, IP},
      {IOCTL_SERIAL_GET_MODEMSTATUS, Out, 4, {}, TS, TS, OK, OK, IP},
      {IOCTL_SERIAL_GET_COMMSTATUS, Out, 20, {}, TS, TS, OK, OK, IP},
      {IOCTL_SERIAL_XOFF_COUNTER, In, 12, Bytes(12), NI, NI, NI, NI, NI},
      {IOCTL_SERIAL_GET_PROPERTIES, Out, 64, {}, TS, TS, OK, OK, IP},
      {IOCTL_SERIAL_GET_DTRRTS, Out, 4, {}, NI, NI, NI, NI, NI},
      {IOCTL_SERIAL_LSRMST_INSERT, In, 1, {0}, NI, NI, NI, NI, NI},
      {IOCTL_SERIAL_CONFIG_SIZE, Out, 4, {}, IP, IP, OK, IP, IP},
      {IOCTL_SERIAL_GET_COMMCONFIG, NoBuffer, 0, {}, OK, OK, OK, OK, OK},
      {IOCTL_SERIAL_SET_COMMCONFIG, NoBuffer, 0, {}, OK, OK, OK, OK, OK},
      {IOCTL_SERIAL_GET_STATS, Out, 24, {}, TS, TS, OK, OK, IP},
      {IOCTL_SERIAL_CLEAR_STATS, NoBuffer, 0, {}, OK, OK, OK, OK, OK},
      {IOCTL_SERIAL_GET_MODEM_CONTROL, Out, 4, {}, TS, TS, OK, OK, IP},
      {IOCTL_SERIAL_SET_MODEM_CONTROL, In, 4, BytesOf(ULONG(0x03)), TS, TS, OK, OK, IP},
      {IOCTL_SERIAL_SET_FIFO_CONTROL, In, 4, BytesOf(ULONG(0)), TS, TS, OK, OK, IP},
  };
}

TEST_F(IoctlTest, EveryStandardCodeAppliesItsBufferRules) {
  auto rows = StandardRows();
  ASSERT_EQ(rows.size(), 39u) << "functions 1 to 39";
  for (const Row& row : rows) {
    struct Case {
      const char* name;
      ULONG length;
      bool buffer;
      NTSTATUS expected;
    };
    const Case cases[] = {{"none", 0, false, row.none},
                          {"shorter", row.size ? row.size - 1 : 0, row.size > 1, row.shorter},
                          {"exact", row.size, true, row.exact},
                          {"larger", row.size + 5, true, row.larger},
                          {"absent", row.size ? row.size : 4, false, row.absent}};
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << std::hex << row.code << " " << c.name);
      Bytes buffer(std::max<ULONG>(c.length, 1), 0xAA);
      std::copy_n(row.valid.begin(), std::min<size_t>(row.valid.size(), buffer.size()), buffer.begin());
      ULONG in = row.dir == Out ? 0 : c.length;
      ULONG out = row.dir == Out ? c.length : 0;
      Snapshot before = Take();
      TakeWrites();
      Result r = SendIrp(row.code, in, out, c.buffer ? &buffer : nullptr);
      EXPECT_EQ(r.status, c.expected);
      if (!NT_SUCCESS(r.status)) {
        EXPECT_EQ(r.information, 0u);
        EXPECT_TRUE(Take() == before) << "a failed request changed the context";
        EXPECT_TRUE(TakeWrites().empty()) << "a failed request wrote a register";
      } else {
        EXPECT_EQ(r.information, row.dir == Out ? row.size : 0u);
      }
    }
  }
}

TEST_F(IoctlTest, CodesWithoutHandlerAreRefusedByTheirBuffers) {
  for (ULONG code : {0x1B0000u, 0x1B00A0u, 0x1B2C40u, 0x222814u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(testing::Message() << std::hex << code);
    Bytes buffer(8);
    EXPECT_EQ(SendIrp(code, 0, 0, nullptr).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(SendIrp(code, 8, 0, &buffer).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SendIrp(code, 0, 8, &buffer).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SendIrp(code, 4, 4, nullptr).status, STATUS_INVALID_PARAMETER);
  }
}

TEST_F(IoctlTest, UsbLevelCodesNeedAWorkingDeviceAndGiveTheirCountBack) {
  for (ULONG state : {0u, 2u, 3u, 4u, 5u, 1u}) {
    SetShared(ctx_->DeviceState, state);
    for (ULONG code : {0x222800u, 0x222804u, 0x222808u}) {
      Bytes buffer(64);
      Result r = SendIrp(code, 0, 64, &buffer);
      EXPECT_EQ(r.status == STATUS_DELETE_PENDING, state != 1) << std::hex << code << " state " << state;
      EXPECT_EQ(Shared(ctx_->OutstandingIo), 1);
    }
    // Same group of four, but not gated.
    EXPECT_NE(SendIrp(0x22280C, 0, 0, nullptr).status, STATUS_DELETE_PENDING);
  }
}

TEST_F(IoctlTest, LogNamesTheCodeAndTheBaudRateOutcome) {
  ctx_->DebugLogEnabled = 1;
  Bytes rate = BytesOf(ULONG(1201));
  const std::pair<ULONG, Bytes> requests[] = {{IOCTL_SERIAL_SET_BAUD_RATE, rate},
                                              {IOCTL_SERIAL_GET_COMMCONFIG, {}},
                                              {0x12345678, {}},
                                              {0x1B2C30, {}},
                                              {0x1B2C4C, {}},
                                              {0x22281B, {}}};
  for (auto [code, in] : requests) SendIrp(code, ULONG(in.size()), 0, in.empty() ? nullptr : &in);
  std::vector<std::string> lines;
  for (ULONG i = 0; i != Shared(ctx_->DebugLogWriteIndex); ++i) lines.emplace_back(ctx_->DebugLogLines[i]);
  const std::string code = " - DispatchControl code ";
  // Vendor handlers may add lines of their own after their code's.
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5),
            (std::vector<std::string>{code + "IOCTL_SERIAL_SET_BAUD_RATE\n",
                                      "-- IOCTL_SERIAL_SET_BAUD_RATE status:c000000d pNewBaudRate=4b1\n",
                                      code + "UnKnown ioctl\n", code + "UnKnown ioctl\n",
                                      code + "IOCTL_GET_PORT_BAUDRATE\n"}));
  auto has = [&](const std::string& line) { return std::count(lines.begin(), lines.end(), line); };
  EXPECT_EQ(has(code + "UnKnown ioctl\n"), 3);
  EXPECT_EQ(has(code + "IOCTL_FEATURE_SET\n"), 1);
}

}  // namespace
}  // namespace ioctl_test
