// The open port of OpenPortTest (added, started and opened the way Windows
// does it) seen from the UART: the chip's registers and their log, the modem
// lines the far end presents and sees, and the control requests on the open
// file. The modem-status thread is past its start delay unless a test asks
// otherwise.
#pragma once

#include <cstring>
#include <vector>

#include "emulator/chip/register_map.h"
#include "driver/context/shared_flags.h"
#include "support/open_port_fixture.h"
#include "driver/uart/modem_lines.h"
#include "driver/uart/modem_status.h"
#include "driver/uart/register_access.h"
#include "driver/uart/register_map.h"

namespace uart_test {

using port_test::Request;

class ModemPortTest : public port_test::OpenPortTest {
 protected:
  void SetUp() override {
    OpenPortTest::SetUp();
    if (WaitsForModemThread()) kernel::clock::Sleep(kSecond);
  }

  // The modem-status thread starts reading a second after start created it.
  virtual bool WaitsForModemThread() { return true; }

  NTSTATUS OpenPort(PFILE_OBJECT* file) {
    NTSTATUS status = OpenComPort(file);
    kernel::clock::RunUntilIdle();
    return status;
  }
  void ClosePortFile(PFILE_OBJECT file) {
    kernel::io::CloseFile(file);
    kernel::clock::RunUntilIdle();
  }

  IO_STATUS_BLOCK Ioctl(ULONG code, const void* in, ULONG inLength, void* out = nullptr,
                        ULONG outLength = 0) {
    IO_STATUS_BLOCK io = Control(code, in, inLength, out, outLength);
    kernel::clock::RunUntilIdle();
    return io;
  }
  IO_STATUS_BLOCK SetHandFlow(ULONG control, ULONG replace) {
    SERIAL_HANDFLOW flow{control, replace, 100, 300};
    return Ioctl(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow);
  }
  ULONG HoldReasons() {
    SERIAL_STATUS status{};
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status).Status, STATUS_SUCCESS);
    return status.HoldReasons;
  }
  NTSTATUS Purge(ULONG mask) { return Ioctl(IOCTL_SERIAL_PURGE, &mask, sizeof mask).Status; }

  // What the far end presents, and time for the report to travel.
  void Present(chip::ModemInputs lines) {
    far_->Present(lines);
    kernel::clock::Sleep(10 * kMs);
  }

  uint8_t Register(uint16_t address) { return Chip().Peek(address).value_or(0xEE); }
  // Register writes and reads of `address` through the vendor request since
  // the log was last cleared.
  std::vector<uint8_t> WritesTo(uint16_t address) {
    std::vector<uint8_t> values;
    for (const chip::RegisterAccess& a : Chip().RegisterWrites()) {
      if (a.address == address) values.push_back(a.value);
    }
    return values;
  }
  size_t ReadsOf(uint16_t address) {
    size_t reads = 0;
    for (const chip::RegisterAccess& a : Chip().RegisterLog()) {
      reads += !a.write && a.address == address;
    }
    return reads;
  }

  static constexpr int64_t kSecond = kernel::clock::kSecond;
};

}  // namespace uart_test
