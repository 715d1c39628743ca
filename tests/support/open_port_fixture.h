// A port brought up the way Windows brings it up: the driver loaded on an
// emulated computer, a simulated one-port chip plugged (its far end driven by
// the test, 9600 baud 8N1), the port added and started by the Plug and Play
// manager and opened by an application. A tap on the chip's bus records every
// bulk-out chunk. Requests come in through the I/O manager's user-request
// path on the open file.
#pragma once

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "emulator/chip/external_end.h"
#include "driver/context/port_context.h"
#include "driver/datapath/bulk_in.h"
#include "driver/datapath/read.h"
#include "driver/context/receive_ring.h"
#include "driver/datapath/write.h"
#include "emulator/kernel/io_manager.h"
#include "platform/platform.h"
#include "support/driver_fixture.h"
#include "support/port_requests.h"
#include "support/urb_tap.h"
#include "driver/datapath/wait_mask.h"

namespace port_test {

class OpenPortTest : public DriverTest, protected PortRequests {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    board_ = &Pc().AddChip({.ports = 1});
    far_.emplace(board_->Clock(), chip::LineSettings{.rate = 9600, .dataBits = 8, .stopHalfBits = 2});
    chip::ConnectExternal(board_->port(0), *far_);
    tap_.emplace(*board_);
    ASSERT_EQ(Pc().Plug(*board_), std::vector<NTSTATUS>{STATUS_SUCCESS});
    fdo_ = Fdo(0);
    ctx_ = Context(0);
    tap_->SetOutPipe(ctx_->InterfaceInfo->Pipes[2].PipeHandle);
    ASSERT_EQ(OpenComPort(&file_), STATUS_SUCCESS);
    kernel::clock::RunUntilIdle();
    tap_->Clear();
  }

  void TearDown() override {
    if (file_ != nullptr) {
      kernel::io::CancelUserRequests(file_);
      kernel::io::CloseFile(file_);
      file_ = nullptr;
    }
    ctx_ = nullptr;
    DriverTest::TearDown();
    tap_.reset();
    far_.reset();
  }

  // Opens the port the way an application does, through its COM name.
  NTSTATUS OpenComPort(PFILE_OBJECT* file) {
    const std::string& com = Port(0).comName;
    return kernel::io::OpenFile(u"\\??\\" + std::u16string(com.begin(), com.end()),
                                GENERIC_READ | GENERIC_WRITE, 0, file);
  }

  // The next bulk-in completion carries exactly these bytes.
  void Inject(std::vector<uint8_t> raw) {
    board_->port(0).InjectBulkIn(std::move(raw));
    kernel::clock::RunUntilIdle();
  }
  ULONG Held() {
    KIRQL irql;
    KeAcquireSpinLock(&ctx_->ReceiveBufferLock, &irql);
    ULONG held = GetQueueBufferCount(&ctx_->ReceiveBuffer);
    KeReleaseSpinLock(&ctx_->ReceiveBufferLock, irql);
    return held;
  }
  chip::Port& Chip() { return board_->port(0); }
  // Register writes the chip saw, as (address, value) pairs.
  std::vector<std::pair<uint16_t, uint8_t>> Writes() { return WritesOf(Chip()); }
  // Bulk-out chunks since the port was opened.
  std::vector<std::vector<uint8_t>> Chunks() { return tap_->OutTransfers(); }
  void SetTimeouts(ULONG i, ULONG m, ULONG k, ULONG wm = 0, ULONG wk = 0) {
    ctx_->Timeouts = {i, m, k, wm, wk};
  }

  template <class T, class V>
  static void SetShared(T& field, V value) {
    __atomic_store_n(&field, static_cast<T>(value), __ATOMIC_SEQ_CST);
  }

  chip::UsbChip* board_ = nullptr;
  std::optional<chip::ExternalEnd> far_;
  std::optional<urb_tap::UrbTap> tap_;
  PDEVICE_OBJECT fdo_ = nullptr;
  PPORT_DEVICE_CONTEXT ctx_ = nullptr;
};

}  // namespace port_test
