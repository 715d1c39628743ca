// The installed driver opens and closes COM ports of a chip whose first two
// ports are joined by a null-modem cable: what one port drives on DTR and RTS
// is what the other sees on DSR, DCD and CTS.
#include "chip/register_map.h"
#include "host/io_manager.h"
#include "support/driver_fixture.h"

namespace {

constexpr uint8_t kCtsDsrDcd = 0xB0;

class NullModemTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    board_ = &Pc().AddChip({.ports = 2});
    chip::ConnectNullModem(board_->port(0), board_->port(1));
    for (NTSTATUS status : Pc().Plug(*board_)) ASSERT_EQ(status, STATUS_SUCCESS);
  }
  // Modem input levels of the chip's port `index`, as its UART holds them.
  uint8_t Levels(int index) { return board_->port(index).Peek(chip::reg::kModemStatus).value_or(0) & 0xF0; }
  static NTSTATUS Open(const char16_t* name, PFILE_OBJECT* file) {
    NTSTATUS status = host::io::OpenFile(name, GENERIC_READ | GENERIC_WRITE, 0, file);
    host::clock::RunUntilIdle();
    return status;
  }
  static void Close(PFILE_OBJECT file) {
    host::io::CloseFile(file);
    host::clock::RunUntilIdle();
  }
  chip::UsbChip* board_ = nullptr;
};

TEST_F(NullModemTest, OpenRaisesTheLinesTheOtherPortSeesAndCloseDropsThem) {
  ASSERT_EQ(Levels(1), 0);
  PFILE_OBJECT com3 = nullptr;
  ASSERT_EQ(Open(u"\\??\\COM3", &com3), STATUS_SUCCESS);
  EXPECT_EQ(Levels(1), kCtsDsrDcd);
  EXPECT_EQ(Levels(0), 0) << "COM4 is not open and drives nothing";

  PFILE_OBJECT again = nullptr;
  EXPECT_EQ(Open(u"\\??\\COM3", &again), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Levels(1), kCtsDsrDcd);

  PFILE_OBJECT com4 = nullptr;
  ASSERT_EQ(Open(u"\\??\\COM4", &com4), STATUS_SUCCESS);
  EXPECT_EQ(Levels(0), kCtsDsrDcd);
  Close(com3);
  EXPECT_EQ(Levels(1), 0);
  EXPECT_EQ(Levels(0), kCtsDsrDcd);
  EXPECT_EQ(Shared(Context(0)->handles), 0u);
  Close(com4);
  EXPECT_EQ(Levels(0), 0);
}

}  // namespace
