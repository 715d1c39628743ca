// A port opened and closed by the driver's own create, cleanup and close,
// with the interrupt-in and modem-status threads running, on top of the data
// path's hand-built port. The far end of the cable is an ExternalEnd that
// presents CTS, DSR, DCD and RI and sees RTS and DTR.
#pragma once

#include <cstring>
#include <vector>

#include "../datapath/port_fixture.h"
#include "datapath/shared_flags.h"
#include "ioctl/control_dispatch.h"
#include "uart/modem_lines.h"
#include "uart/modem_status.h"
#include "uart/open_close.h"
#include "uart/purge.h"
#include "uart/register_access.h"
#include "uart/register_map.h"

namespace uart_test {

using datapath_test::Request;

class ModemPortTest : public datapath_test::PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    ClosePort();  // the hand-made open; the driver's own takes over
    KeInitializeMutex(&ctx_->RegisterMutex, 0);
    KeInitializeEvent(&ctx_->LsrPollEvent, SynchronizationEvent, FALSE);
    ctx_->DevPowerState = 1;
    ctx_->FifoPresent = 1;
    ctx_->RxFifoTrigger = 0xC0;
    ctx_->PortSetupHigh = 0x07;
    ctx_->PortSetupLevel = 16;
    portDriver_->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    portDriver_->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    portDriver_->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    portDriver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    StartThread(PollingInterruptInUrb, &ctx_->IntKillEvent, &ctx_->IntPollEvent, &ctx_->IntThread);
    StartThread(PollingMSR, &ctx_->MsrKillEvent, &ctx_->MsrPollEvent, &ctx_->MsrThread);
    ASSERT_EQ(OpenPort(&file_), STATUS_SUCCESS);
    if (WaitsForModemThread()) host::clock::Sleep(kSecond);
  }

  // The modem-status thread starts reading a second after it was created.
  virtual bool WaitsForModemThread() { return true; }

  void TearDown() override {
    if (ctx_ != nullptr) {
      if (file_ != nullptr) ClosePortFile(file_);
      file_ = nullptr;
      StopThread(&ctx_->IntKillEvent, &ctx_->IntThread);
      StopThread(&ctx_->MsrKillEvent, &ctx_->MsrThread);
      while (Shared(ctx_->IntUrbs[InterruptInSlot].Idle) == 0) {
        IoCancelIrp(ctx_->IntUrbs[InterruptInSlot].Irp);
        host::clock::Sleep(kMs);
      }
    }
    PortTest::TearDown();
  }

  NTSTATUS OpenPort(PFILE_OBJECT* file) {
    NTSTATUS status = host::io::OpenFile(datapath_test::kPortName, GENERIC_READ | GENERIC_WRITE, 0, file);
    host::clock::RunUntilIdle();
    return status;
  }
  void ClosePortFile(PFILE_OBJECT file) {
    host::io::CloseFile(file);
    host::clock::RunUntilIdle();
  }

  IO_STATUS_BLOCK Ioctl(ULONG code, const void* in, ULONG inLength, void* out = nullptr, ULONG outLength = 0) {
    host::io::UserRequest q;
    q.majorFunction = IRP_MJ_DEVICE_CONTROL;
    q.ioControlCode = code;
    q.input = in;
    q.inputLength = inLength;
    q.output = out;
    q.outputLength = outLength;
    IO_STATUS_BLOCK io = host::io::SendUserRequest(file_, std::move(q));
    host::clock::RunUntilIdle();
    return io;
  }
  IO_STATUS_BLOCK SetHandFlow(ULONG control, ULONG replace) {
    SERIAL_HANDFLOW flow{control, replace, 100, 300};
    return Ioctl(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow);
  }
  NTSTATUS Purge(ULONG mask) { return Ioctl(IOCTL_SERIAL_PURGE, &mask, sizeof mask).Status; }

  // What the far end presents, and time for the report to travel.
  void Present(chip::ModemInputs lines) {
    far_->Present(lines);
    host::clock::Sleep(10 * kMs);
  }

  chip::Port& Chip() { return board_->port(0); }
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

  static constexpr int64_t kSecond = host::clock::kSecond;
};

}  // namespace uart_test
