// Receive flow control as the far end sees it: the RTS and DTR lines and the
// flow characters on the wire as the ring fills past XoffLimit and drains to
// XonLimit, and how an XOFF in force ends.
#include <algorithm>
#include <functional>

#include "emulator/chip/port.h"
#include "support/open_port_fixture.h"

namespace port_test {
namespace {

constexpr UCHAR kXon = 'Q', kXoff = 'S';  // not the defaults: taken from SpecialChars
constexpr LONG kXonLimit = 1000, kXoffLimit = 2000;

class ReceiveFlowTest : public OpenPortTest {
 protected:
  void SetFlow(ULONG control, ULONG replace) {
    SERIAL_HANDFLOW flow{control, replace, kXonLimit, kXoffLimit};
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow).Status, STATUS_SUCCESS);
  }
  void Start(ULONG control, ULONG replace) {
    SERIAL_CHARS chars{0, 0, 0, 0, kXon, kXoff};
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars).Status, STATUS_SUCCESS);
    SetFlow(control, replace);
    kernel::clock::Sleep(1100 * kMs);  // the modem-status thread starts late
    SetTimeouts(0, 0, 0);
  }
  // Injects bytes until the ring holds `held`, 253 to a packet.
  void FillTo(ULONG held) {
    std::vector<uint8_t> raw;
    for (ULONG n = held - Held(); n > 0;) {
      ULONG k = std::min<ULONG>(n, 253);
      std::vector<uint8_t> p = Packet(std::vector<uint8_t>(k, 'x'));
      raw.insert(raw.end(), p.begin(), p.end());
      n -= k;
    }
    Inject(raw);
  }
  void DrainTo(ULONG held) {
    Request r = Read(Held() - held);
    ASSERT_TRUE(Await(r));
  }
  ULONG WithRoom(ULONG room) { return ctx_->ReceiveBuffer.Size - 1 - room; }  // held bytes for `room` free
  // What reached the far end since the last look, after time for it to move.
  std::vector<uint8_t> Wire() {
    kernel::clock::Sleep(20 * kMs);
    std::vector<uint8_t> bytes = far_->ReceivedBytes();
    far_->ClearReceived();
    return bytes;
  }
};

struct Mode {
  const char* name;
  ULONG control, replace;
  bool rts, dtr, chars;  // which of them tells the far end to stop
};
void PrintTo(const Mode& m, std::ostream* os) { *os << m.name; }

class ReceiveFlowModeTest : public ReceiveFlowTest, public ::testing::WithParamInterface<Mode> {};

// Each step leaves the far end stopped or not; each mode tells it its own way
// and leaves the other lines up. Without a mode nothing changes.
TEST_P(ReceiveFlowModeTest, FarEndStopsAsTheRingFillsAndGoesOnOnceItDrains) {
  const Mode& m = GetParam();
  Start(m.control, m.replace);
  const bool any = m.rts || m.dtr || m.chars;
  struct Step {
    const char* what;
    std::function<void()> act;
    bool stopped;
  } steps[] = {
      {"2100 bytes free", [&] { FillTo(WithRoom(2100)); }, false},
      {"1900 bytes free", [&] { FillTo(WithRoom(1900)); }, any},
      {"1500 bytes held", [&] { DrainTo(1500); }, any},
      {"1000 bytes held", [&] { DrainTo(1000); }, false},
      {"full again", [&] { FillTo(WithRoom(100)); }, any},
      {"purged", [&] {
         ULONG mask = SERIAL_PURGE_RXCLEAR;
         Control(IOCTL_SERIAL_PURGE, &mask, sizeof mask);
       },
       false},
  };
  bool was = false;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    s.act();
    std::vector<uint8_t> wire = Wire();
    chip::ModemOutputs lines = far_->PortLines();
    EXPECT_EQ(lines.rts, !(m.rts && s.stopped));
    EXPECT_EQ(lines.dtr, !(m.dtr && s.stopped));
    std::vector<uint8_t> said;
    if (m.chars && s.stopped != was) said = {s.stopped ? kXoff : kXon};
    EXPECT_EQ(wire, said);
    SERIAL_STATUS status{};
    Control(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status);
    EXPECT_EQ(status.HoldReasons, m.chars && s.stopped ? ULONG(SERIAL_TX_WAITING_XOFF_SENT) : 0u);
    was = s.stopped;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ReceiveFlowModeTest,
    ::testing::Values(Mode{"Rts", SERIAL_DTR_CONTROL, SERIAL_RTS_HANDSHAKE, true, false, false},
                      Mode{"Dtr", SERIAL_DTR_HANDSHAKE, SERIAL_RTS_CONTROL, false, true, false},
                      Mode{"XonXoff", SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE, false,
                           false, true},
                      Mode{"None", SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_TRANSMIT, false, false,
                           false}),
    [](const auto& info) { return std::string(info.param.name); });

// The XOFF goes out as the bulk-out slot's next transfer whatever else the
// port is doing, and every way of ending it sends the XON.
TEST_F(ReceiveFlowTest, XoffGoesOutAtOnceAndEveryEndSendsTheXon) {
  const ULONG mode = SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE;
  struct Row {
    const char* what;
    std::function<void()> before;  // ahead of the ring's filling
    std::function<void()> end;     // what ends the XOFF
  } rows[] = {
      {"a read", [] {}, [&] { DrainTo(0); }},
      {"the mode turned off", [] {}, [&] { SetFlow(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL); }},
      {"close and open", [] {},
       [&] {
         kernel::io::CloseFile(file_);
         ASSERT_EQ(OpenComPort(&file_), STATUS_SUCCESS);
       }},
      {"a failed XOFF transfer, sent again",
       [&] { Chip().FailNext(chip::Pipe::BulkOut, USBD_STATUS_INVALID_PARAMETER); }, [&] { DrainTo(0); }},
      {"our transmitter held by a received XOFF",
       [&] {
         SetFlow(SERIAL_DTR_CONTROL, mode | SERIAL_AUTO_TRANSMIT);
         Inject(Packet({kXoff}));
         Write({1, 2, 3});
       },
       [&] { DrainTo(0); }},
  };
  Start(SERIAL_DTR_CONTROL, mode);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    SetFlow(SERIAL_DTR_CONTROL, mode);
    row.before();
    FillTo(WithRoom(1900));
    EXPECT_EQ(Wire(), std::vector<uint8_t>{kXoff});
    row.end();
    EXPECT_EQ(Wire(), std::vector<uint8_t>{kXon});
    ULONG mask = SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXABORT;
    Control(IOCTL_SERIAL_PURGE, &mask, sizeof mask);
    Wire();
  }
}

// With a long write on its way the XOFF overtakes the queued data: it follows
// at most what the transmit FIFO and the chunk in flight hold, and no byte of
// the write is lost around it.
TEST_F(ReceiveFlowTest, XoffOvertakesAWriteOnItsWay) {
  Start(SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_AUTO_RECEIVE);
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t('a' + i % 26);
  Request w = Write(data);
  kernel::clock::Sleep(200 * kMs);
  size_t before = far_->ReceivedBytes().size();
  FillTo(WithRoom(1900));
  ASSERT_TRUE(Await(w));
  kernel::clock::Sleep(200 * kMs);
  std::vector<uint8_t> wire = far_->ReceivedBytes();
  auto xoff = std::find(wire.begin(), wire.end(), kXoff);
  ASSERT_NE(xoff, wire.end());
  EXPECT_LE(size_t(xoff - wire.begin()), before + 128 + 32 + 1);
  wire.erase(xoff);
  EXPECT_EQ(wire, data);
}

}  // namespace
}  // namespace port_test
