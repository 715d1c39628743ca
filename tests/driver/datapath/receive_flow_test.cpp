// Receive flow control as the far end sees it: RTS, DTR and the flow
// characters on the wire.
#include <functional>

#include "emulator/chip/port.h"
#include "support/open_port_fixture.h"

namespace port_test {
namespace {

constexpr UCHAR kXon = 'Q', kXoff = 'S';  // not the defaults: taken from SpecialChars
constexpr ULONG kDtrOn = SERIAL_DTR_CONTROL, kRtsOn = SERIAL_RTS_CONTROL,
                kAuto = kRtsOn | SERIAL_AUTO_RECEIVE;

class ReceiveFlowTest : public OpenPortTest {
 protected:
  void SetUp() override {
    OpenPortTest::SetUp();
    SERIAL_CHARS chars{0, 0, 0, 0, kXon, kXoff};
    Control(IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars);
    SetTimeouts(0, 0, 0);
    kernel::clock::Sleep(1100 * kMs);  // the modem-status thread starts late
  }
  void SetFlow(ULONG control, ULONG replace) {
    SERIAL_HANDFLOW flow{control, replace, 1000, 2000};  // XonLimit, XoffLimit
    Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow);
  }
  // Injects bytes until only `room` bytes of the ring are free.
  void FillTo(ULONG room) {
    std::vector<uint8_t> raw;
    for (ULONG n = ctx_->ReceiveBuffer.Size - 1 - room - Held(), k; n > 0; n -= k) {
      std::vector<uint8_t> p = Packet(std::vector<uint8_t>(k = std::min<ULONG>(n, 253), 'x'));
      raw.insert(raw.end(), p.begin(), p.end());
    }
    Inject(raw);
  }
  void DrainTo(ULONG held) { ASSERT_TRUE(Await(Read(Held() - held))); }
  void Purge(ULONG mask) { Control(IOCTL_SERIAL_PURGE, &mask, sizeof mask); }
  // The flow characters that reached the far end since the last look, then
  // 'r' and 'd' for RTS and DTR low, 'h' for HoldReasons saying XOFF sent.
  std::string Seen() {
    kernel::clock::Sleep(200 * kMs);  // past what the transmit FIFO holds
    std::string seen;
    for (uint8_t b : far_->ReceivedBytes()) seen += b == kXon || b == kXoff ? std::string(1, char(b)) : "";
    far_->ClearReceived();
    SERIAL_STATUS status{};
    Control(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status);
    return seen + (far_->PortLines().rts ? "" : "r") + (far_->PortLines().dtr ? "" : "d") +
           (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT ? "h" : "");
  }
};

// Each mode stops the far end its own way once the room left falls below
// XoffLimit (2000), or once it is chosen for a ring already that full, leaves
// the other lines up, and lets it go on once the ring is down to XonLimit
// (1000) or purged; without a mode nothing changes. The XOFF goes out at once,
// ahead of a long write, while a received XOFF holds our data, or after its
// transfer failed; the mode turned off and a close and open end it with an
// XON too.
TEST_F(ReceiveFlowTest, FarEndStopsAsTheRingFillsAndGoesOnOnceItDrains) {
  const std::pair<std::function<void()>, std::string> steps[] = {
      {[&] { SetFlow(kDtrOn, SERIAL_RTS_HANDSHAKE), FillTo(2100); }, ""},
      {[&] { FillTo(1900); }, "r"},
      {[&] { DrainTo(1001); }, "r"},
      {[&] { DrainTo(1000); }, ""},
      {[&] { FillTo(100), Purge(SERIAL_PURGE_RXCLEAR); }, ""},
      {[&] { SetFlow(SERIAL_DTR_HANDSHAKE, kRtsOn), FillTo(1900); }, "d"},
      {[&] { DrainTo(1000); }, ""},
      {[&] { SetFlow(kDtrOn, kRtsOn | SERIAL_AUTO_TRANSMIT), FillTo(100); }, ""},
      {[&] { SetFlow(kDtrOn, kAuto); }, "Sh"},
      {[&] { Purge(SERIAL_PURGE_RXCLEAR), FillTo(2100); }, "Q"},
      {[&] { FillTo(1900); }, "Sh"},
      {[&] { DrainTo(1001); }, "h"},
      {[&] { DrainTo(1000); }, "Q"},
      {[&] { FillTo(1900); }, "Sh"},
      {[&] { Purge(SERIAL_PURGE_RXCLEAR); }, "Q"},
      {[&] { FillTo(1900); }, "Sh"},
      {[&] { SetFlow(kDtrOn, kRtsOn); }, "Q"},
      {[&] { SetFlow(kDtrOn, kAuto), FillTo(1900); }, "Sh"},
      {[&] { kernel::io::CloseFile(file_), OpenComPort(&file_); }, "Q"},
      {[&] { Write(std::vector<uint8_t>(1000, 'w')), kernel::clock::Sleep(200 * kMs), FillTo(1900); }, "Sh"},
      {[&] { DrainTo(0), Purge(SERIAL_PURGE_TXABORT); }, "Q"},
      {[&] { Chip().FailNext(chip::Pipe::BulkOut, USBD_STATUS_INVALID_PARAMETER), FillTo(1900); }, "Sh"},
      {[&] { DrainTo(0); }, "Q"},
      {[&] {
         SetFlow(kDtrOn, kAuto | SERIAL_AUTO_TRANSMIT), Inject(Packet({kXoff})), Write({1}), FillTo(1900);
       },
       "Sh"},
      {[&] { DrainTo(0); }, "Q"},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    steps[i].first();
    EXPECT_EQ(Seen(), steps[i].second) << "step " << i;
  }
}

}  // namespace
}  // namespace port_test
