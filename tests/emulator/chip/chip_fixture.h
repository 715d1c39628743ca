// A chip on a manual clock, and a host that drives a port's endpoints the
// way a bus driver would.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "emulator/chip/chip.h"
#include "emulator/chip/external_end.h"
#include "emulator/chip/register_map.h"
#include "manual_scheduler.h"
#include "platform/host/usb.h"

namespace chip_test {

struct Completion {
  bool done = false;
  int32_t status = 0;
  uint32_t length = 0;
};

// Transfers submitted by a test; the completion is recorded when it arrives.
struct Pending {
  std::shared_ptr<Completion> result = std::make_shared<Completion>();
  std::vector<uint8_t> buffer;
  chip::TransferId id = 0;
  bool Done() const { return result->done; }
};

class ChipTest : public ::testing::Test {
 protected:
  explicit ChipTest(chip::ChipOptions options = {}) : chip_(clock_, options) {}

  chip::Port& Port(int index = 0) { return chip_.port(index); }

  static chip::TransferDone Record(const std::shared_ptr<Completion>& result) {
    return [result](int32_t status, uint32_t length) {
      result->done = true;
      result->status = status;
      result->length = length;
    };
  }

  std::unique_ptr<Pending> SubmitControl(const chip::SetupPacket& setup, std::vector<uint8_t> data = {},
                                         int port = 0) {
    auto p = std::make_unique<Pending>();
    p->buffer = std::move(data);
    p->buffer.resize(setup.length);
    p->id = Port(port).SubmitControl(setup, p->buffer.data(), Record(p->result));
    return p;
  }

  std::unique_ptr<Pending> Submit(chip::Pipe pipe, std::vector<uint8_t> data, int port = 0) {
    auto p = std::make_unique<Pending>();
    p->buffer = std::move(data);
    p->id =
        Port(port).Submit(pipe, p->buffer.data(), static_cast<uint32_t>(p->buffer.size()), Record(p->result));
    return p;
  }

  // A control transfer run to its end.
  Completion Control(const chip::SetupPacket& setup, std::vector<uint8_t>* data = nullptr, int port = 0) {
    auto p = SubmitControl(setup, data ? *data : std::vector<uint8_t>{}, port);
    EXPECT_TRUE(clock_.RunUntil([&] { return p->Done(); }, chip::kSecond));
    if (data) *data = p->buffer;
    return *p->result;
  }

  // The vendor register request, as the driver makes it.
  uint8_t ReadRegister(uint16_t address, int port = 0) {
    std::vector<uint8_t> data(1);
    Completion c = Control({0xC0, chip::reg::kVendorRequest, address, 0, 1}, &data, port);
    EXPECT_EQ(c.status, USBD_STATUS_SUCCESS) << "read of 0x" << std::hex << address;
    return data[0];
  }
  void WriteRegister(uint16_t address, uint8_t value, int port = 0) {
    std::vector<uint8_t> data{value};
    Completion c = Control({0x40, chip::reg::kVendorRequest, address, 0, 1}, &data, port);
    EXPECT_EQ(c.status, USBD_STATUS_SUCCESS) << "write of 0x" << std::hex << address;
  }
  void Configure(int port = 0) {
    EXPECT_EQ(Control({0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0}, nullptr, port).status,
              USBD_STATUS_SUCCESS);
  }
  // Divisor, clock select and line control, in the order the driver writes them.
  void SetFormat(uint8_t select, uint16_t divisor, bool doubleRate, uint8_t lcr, int port = 0) {
    WriteRegister(chip::reg::kPortControl, doubleRate ? chip::reg::kPortControlDoubleRate : 0, port);
    WriteRegister(chip::reg::kSerialConfig0, select, port);
    WriteRegister(chip::reg::kLineControl, 0x80, port);
    WriteRegister(chip::reg::kUartBase, divisor & 0xFF, port);
    WriteRegister(chip::reg::kInterruptEnable, divisor >> 8, port);
    WriteRegister(chip::reg::kLineControl, lcr, port);
  }

  ManualScheduler clock_;
  chip::Chip chip_;
};

inline chip::LineSettings Format(double rate, int dataBits = 8, chip::Parity parity = chip::Parity::None,
                                 int stopHalfBits = 2) {
  return {.rate = rate, .dataBits = dataBits, .parity = parity, .stopHalfBits = stopHalfBits};
}

}  // namespace chip_test
