// The two-wire memory on the pins, bit-banged through the vendor request one
// pin change at a time, as the driver does it.
#include "chip_fixture.h"

namespace chip_test {
namespace {

namespace reg = chip::reg;

class ChipTwoWireTest : public ChipTest {
 protected:
  explicit ChipTwoWireTest(chip::ChipOptions options = {}) : ChipTest(options) {}

  void SetBit(uint8_t mask, bool on) {
    uint8_t v = ReadRegister(reg::kPinOutput, port_);
    WriteRegister(reg::kPinOutput, on ? (v | mask) : (v & ~mask), port_);
  }
  void Clock(bool high) { SetBit(0x10, high); }
  void Data(bool high) { SetBit(0x20, high); }
  int ReadData() {
    std::vector<uint8_t> two(2);
    Control({0xC0, reg::kVendorRequest, reg::kPinOutput, 0, 2}, &two, port_);
    return (two[1] >> 1) & 1;
  }
  void Start() { Data(false), Clock(false); }
  void Restart() { Clock(true), Data(true), Data(false), Clock(false); }
  void Stop() { Clock(false), Data(false), Clock(true), Data(true); }
  int WriteByte(uint8_t b) {
    for (int bit = 7; bit >= 0; --bit) {
      Data((b >> bit) & 1);
      Clock(true);
      Clock(false);
    }
    Data(true);
    Clock(true);
    int ack = ReadData();
    Clock(false);
    return ack;
  }
  uint8_t ReadByte() {
    uint8_t b = 0;
    for (int bit = 7; bit >= 0; --bit) {
      Clock(true);
      if (ReadData()) b |= 1 << bit;
      Clock(false);
    }
    return b;
  }
  void SendAck(bool ack) {
    Data(!ack);
    Clock(true);
    Clock(false);
  }
  // The driver's byte read and write; the acknowledge of the address byte.
  int ReadAt(uint8_t address, uint8_t offset, uint8_t& value) {
    Start();
    int ack = WriteByte(address);
    WriteByte(offset);
    Restart();
    WriteByte(address | 1);
    value = ReadByte();
    SendAck(false);
    Stop();
    return ack;
  }
  int WriteAt(uint8_t address, uint8_t offset, uint8_t value) {
    Start();
    int ack = WriteByte(address);
    WriteByte(offset);
    WriteByte(value);
    Stop();
    return ack;
  }

  int port_ = 0;
};

TEST_F(ChipTwoWireTest, MemoryAnswersItsAddressAndNoOther) {
  struct Row {
    uint8_t address;
    int ack;
  } rows[] = {{0x58, 0}, {0x56, 1}, {0x54, 1}, {0xA0, 1}, {0x5A, 1}};
  for (const Row& row : rows) {
    Start();
    EXPECT_EQ(WriteByte(row.address), row.ack) << std::hex << int(row.address);
    Stop();
  }
}

TEST_F(ChipTwoWireTest, ByteWriteThenRandomRead) {
  Port().Memory(0x58).Contents()[0x21] = 0xC3;
  EXPECT_EQ(WriteAt(0x58, 0x10, 0x5A), 0);
  EXPECT_EQ(Port().Memory(0x58).Contents()[0x10], 0x5A);
  uint8_t value = 0;
  EXPECT_EQ(ReadAt(0x58, 0x10, value), 0);
  EXPECT_EQ(value, 0x5A);
  EXPECT_EQ(ReadAt(0x58, 0x21, value), 0);
  EXPECT_EQ(value, 0xC3);
  // Nobody at 0x5C: no acknowledge, all ones read, nothing written.
  EXPECT_EQ(ReadAt(0x5C, 0x21, value), 1);
  EXPECT_EQ(value, 0xFF);
  EXPECT_EQ(WriteAt(0x5C, 0x21, 0x00), 1);
  EXPECT_EQ(Port().Memory(0x58).Contents()[0x21], 0xC3);
  // The bus is idle again: both lines high.
  EXPECT_EQ(ReadRegister(reg::kPinInput) & 0x03, 0x03);
}

TEST_F(ChipTwoWireTest, DetachedMemoryLeavesTheBusSilent) {
  Port().DetachMemories();
  Start();
  EXPECT_EQ(WriteByte(0x58), 1);
  Stop();
  Port().Memory(0xA2);  // another address, attached on demand
  uint8_t value = 1;
  EXPECT_EQ(ReadAt(0xA2, 0x00, value), 0);
  EXPECT_EQ(value, 0x00);
}

class ChipEightPortTwoWireTest : public ChipTwoWireTest {
 protected:
  ChipEightPortTwoWireTest() : ChipTwoWireTest({.ports = 8}) {}
};

TEST_F(ChipEightPortTwoWireTest, PortsFourToSevenAnswerAt0x56) {
  port_ = 5;
  Start();
  EXPECT_EQ(WriteByte(0x58), 1);
  Stop();
  Start();
  EXPECT_EQ(WriteByte(0x56), 0);
  Stop();
}

}  // namespace
}  // namespace chip_test
