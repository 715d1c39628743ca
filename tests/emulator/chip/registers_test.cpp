// Register semantics as the driver sees them through the vendor request.
#include "chip_fixture.h"

namespace chip_test {
namespace {

namespace reg = chip::reg;

class ChipRegistersTest : public ChipTest {};

// Read at power-on, and again once power was lost after every register was written.
TEST_F(ChipRegistersTest, PowerOnValues) {
  struct Row {
    uint16_t address;
    uint8_t value;
  } rows[] = {
      {reg::kPortSetup, 0x00},       {reg::kSerialConfig0, 0x00}, {reg::kSerialConfig1, 0x00},
      {reg::kPortAux0, 0x00},        {reg::kPortAux1, 0x00},      {reg::kPortControl, 0x00},
      {reg::kPinOutput, 0x70},       {reg::kPinInput, 0x07},      {reg::kUartBase, 0x00},
      {reg::kInterruptEnable, 0x00}, {reg::kFifoControl, 0x01},   {reg::kLineControl, 0x03},
      {reg::kModemControl, 0x00},    {reg::kLineStatus, 0x60},    {reg::kModemStatus, 0x00},
  };
  for (bool powerLost : {false, true}) {
    SCOPED_TRACE(powerLost ? "after a power loss" : "at power-on");
    for (const Row& row : rows) EXPECT_EQ(ReadRegister(row.address), row.value) << std::hex << row.address;
    // Behind the divisor-latch bit: 9600 bits/s on clock 0.
    WriteRegister(reg::kLineControl, 0x83);
    EXPECT_EQ(ReadRegister(reg::kUartBase), 12);
    EXPECT_EQ(ReadRegister(reg::kInterruptEnable), 0);
    EXPECT_DOUBLE_EQ(Port().Settings().rate, 9600);
    for (const Row& row : rows) WriteRegister(row.address, 0x0F);
    WriteRegister(reg::kFifoControl, 0x07);
    chip_.LosePower();
  }
}

TEST_F(ChipRegistersTest, DivisorLatchesSitBehindLineControlBit7) {
  WriteRegister(reg::kLineControl, 0x80);
  WriteRegister(reg::kUartBase, 0x34);
  WriteRegister(reg::kInterruptEnable, 0x12);
  WriteRegister(reg::kLineControl, 0x03);
  // The same addresses now reach RBR and IER; IER keeps only its low nibble.
  EXPECT_EQ(ReadRegister(reg::kInterruptEnable), 0x00);
  WriteRegister(reg::kInterruptEnable, 0xFF);
  EXPECT_EQ(ReadRegister(reg::kInterruptEnable), 0x0F);
  WriteRegister(reg::kLineControl, 0x83);
  EXPECT_EQ(ReadRegister(reg::kUartBase), 0x34);
  EXPECT_EQ(ReadRegister(reg::kInterruptEnable), 0x12);
  EXPECT_DOUBLE_EQ(Port().Settings().rate, 115200.0 / 0x1234);
}

// IIR shows the FIFOs, and a transmitter-empty interrupt until IIR is read.
TEST_F(ChipRegistersTest, InterruptIdentificationShowsFifosAndTransmitterEmpty) {
  WriteRegister(reg::kFifoControl, 0xC1);
  EXPECT_EQ(ReadRegister(reg::kFifoControl), 0xC1);
  WriteRegister(reg::kFifoControl, 0x00);
  EXPECT_EQ(ReadRegister(reg::kFifoControl), 0x01);
  chip::ExternalEnd end(clock_);
  chip::ConnectExternal(Port(), end);
  WriteRegister(reg::kInterruptEnable, 0x02);  // enabled with nothing to send
  EXPECT_EQ(ReadRegister(reg::kFifoControl), 0x02);
  EXPECT_EQ(ReadRegister(reg::kFifoControl), 0x01);
  WriteRegister(reg::kUartBase, 0x41);
  clock_.Advance(10 * chip::kMillisecond);  // the character has left
  EXPECT_EQ(ReadRegister(reg::kFifoControl), 0x02);
  EXPECT_EQ(ReadRegister(reg::kFifoControl), 0x01);
}

TEST_F(ChipRegistersTest, LoopbackFeedsModemOutputsToInputs) {
  chip::ExternalEnd end(clock_);
  chip::ConnectExternal(Port(), end);
  end.Present({.cts = true, .dsr = true, .ri = true, .dcd = true});
  struct Row {
    uint8_t mcr, msrInputs;
  } rows[] = {{0x10, 0x00}, {0x11, 0x20}, {0x12, 0x10}, {0x14, 0x40}, {0x18, 0x80}, {0x1F, 0xF0}};
  for (const Row& row : rows) {
    WriteRegister(reg::kModemControl, row.mcr);
    EXPECT_EQ(ReadRegister(reg::kModemStatus) & 0xF0, row.msrInputs) << std::hex << int(row.mcr);
    // The connector's outputs rest inactive while the UART loops back.
    EXPECT_FALSE(end.PortLines().rts);
    EXPECT_FALSE(end.PortLines().dtr);
  }
  WriteRegister(reg::kModemControl, 0x03);
  EXPECT_EQ(ReadRegister(reg::kModemStatus) & 0xF0, 0xF0);  // the cable again
  EXPECT_TRUE(end.PortLines().rts);
  EXPECT_TRUE(end.PortLines().dtr);
}

TEST_F(ChipRegistersTest, LoopbackFeedsTransmitterToReceiver) {
  chip::ExternalEnd end(clock_);
  chip::ConnectExternal(Port(), end);
  WriteRegister(reg::kFifoControl, 0x07);
  WriteRegister(reg::kModemControl, 0x10);
  WriteRegister(reg::kUartBase, 0x5A);
  WriteRegister(reg::kUartBase, 0xA5);
  clock_.Advance(10 * chip::kMillisecond);
  EXPECT_EQ(ReadRegister(reg::kLineStatus) & 0x61, 0x61);  // data ready, transmitter empty
  EXPECT_EQ(ReadRegister(reg::kUartBase), 0x5A);
  EXPECT_EQ(ReadRegister(reg::kUartBase), 0xA5);
  EXPECT_TRUE(end.Received().empty());
}

TEST_F(ChipRegistersTest, PinOutputKeepsChipModeStrapsAndPinInputFollowsPins) {
  WriteRegister(reg::kPinOutput, 0x00);
  EXPECT_EQ(ReadRegister(reg::kPinOutput), 0x00);
  EXPECT_EQ(ReadRegister(reg::kPinInput), 0x00);  // every pin pulled low
  WriteRegister(reg::kPinOutput, 0xDB);
  EXPECT_EQ(ReadRegister(reg::kPinOutput), 0xD8);  // bits 1-0 are straps (mode 0)
  EXPECT_EQ(ReadRegister(reg::kPinInput), 0x05);   // pins 0 and 2 released
  Port().SetPinExternalLevel(0, false);
  Port().SetPinInputStraps(0x70);
  EXPECT_EQ(ReadRegister(reg::kPinInput), 0x74);
  // The two-byte read the driver makes returns both pin registers.
  std::vector<uint8_t> data(2);
  EXPECT_EQ(Control({0xC0, reg::kVendorRequest, reg::kPinOutput, 0, 2}, &data).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(data, (std::vector<uint8_t>{0xD8, 0x74}));
}

class ChipModeTest : public ChipTest {
 protected:
  ChipModeTest() : ChipTest({.chipMode = 2}) {}
};

TEST_F(ChipModeTest, ChipModeReadsInPinOutputBits1To0) {
  EXPECT_EQ(ReadRegister(reg::kPinOutput) & 0x03, 2);
  WriteRegister(reg::kPinOutput, 0x80);
  EXPECT_EQ(ReadRegister(reg::kPinOutput), 0x82);
}

TEST_F(ChipRegistersTest, UnknownAddressStallsAndIsNotLogged) {
  for (uint16_t address : {0x100, 0x108, 0x110, 0x127}) {
    std::vector<uint8_t> data(1);
    EXPECT_EQ(Control({0xC0, reg::kVendorRequest, address, 0, 1}, &data).status, USBD_STATUS_STALL_PID);
  }
  // A range that runs past the map is refused whole: nothing is written.
  std::vector<uint8_t> data{0x11, 0x22};
  EXPECT_EQ(Control({0x40, reg::kVendorRequest, reg::kModemStatus, 0, 2}, &data).status,
            USBD_STATUS_STALL_PID);
  EXPECT_TRUE(Port().RegisterLog().empty());
}

TEST_F(ChipRegistersTest, LogRecordsAccessesInOrder) {
  ReadRegister(reg::kLineStatus);
  Port().ClearRegisterLog();
  WriteRegister(reg::kLineControl, 0x83);
  WriteRegister(reg::kUartBase, 12);
  ReadRegister(reg::kUartBase);
  WriteRegister(reg::kLineControl, 0x03);
  using A = chip::RegisterAccess;
  std::vector<A> expected = {{.write = true, .address = 0x123, .value = 0x83},
                             {.write = true, .address = 0x120, .value = 12},
                             {.write = false, .address = 0x120, .value = 12},
                             {.write = true, .address = 0x123, .value = 0x03}};
  EXPECT_EQ(Port().RegisterLog(), expected);
  EXPECT_EQ(Port().RegisterWrites().size(), 3u);
  // Each access took a frame.
  EXPECT_EQ(Port().RegisterLog()[3].at - Port().RegisterLog()[0].at, 3 * chip::kMillisecond);
}

}  // namespace
}  // namespace chip_test
