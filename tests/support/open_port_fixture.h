// A port brought up the way Windows brings it up (the data-path suites run
// on it; the hand-made bring-up of datapath/port_fixture.h remains for the
// fixtures built on its internals): the driver loaded on an
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
#include <vector>

#include "chip/external_end.h"
#include "context/port_context.h"
#include "datapath/bulk_in.h"
#include "datapath/read.h"
#include "datapath/receive_ring.h"
#include "datapath/write.h"
#include "host/io_manager.h"
#include "platform/platform.h"
#include "support/driver_fixture.h"
#include "support/urb_tap.h"
#include "uart/wait_mask.h"

namespace datapath_test {

// A request's end, as its submitter sees it.
struct Outcome {
  std::atomic<bool> done{false};
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
  int64_t at = 0;  // virtual time of completion
  std::vector<uint8_t> data;
  std::vector<uint8_t> Bytes() const { return {data.begin(), data.begin() + information}; }
};
using Request = std::shared_ptr<Outcome>;

class OpenPortTest : public DriverTest {
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
    ASSERT_EQ(host::io::OpenFile(u"\\??\\" + std::u16string(Port(0).comName.begin(), Port(0).comName.end()),
                                 GENERIC_READ | GENERIC_WRITE, 0, &file_),
              STATUS_SUCCESS);
    host::clock::RunUntilIdle();
    tap_->Clear();
  }

  void TearDown() override {
    if (file_ != nullptr) {
      host::io::CancelUserRequests(file_);
      host::io::CloseFile(file_);
      file_ = nullptr;
    }
    ctx_ = nullptr;
    DriverTest::TearDown();
    tap_.reset();
    far_.reset();
  }

  Request Submit(UCHAR major, std::vector<uint8_t> data, ULONG length) {
    auto r = std::make_shared<Outcome>();
    r->data = std::move(data);
    host::io::UserRequest q;
    q.majorFunction = major;
    if (major == IRP_MJ_READ) {
      r->data.resize(length);
      q.output = r->data.data();
      q.outputLength = length;
    } else {
      q.input = r->data.data();
      q.inputLength = length;
    }
    q.onComplete = [r](const IO_STATUS_BLOCK& io) {
      r->status = io.Status;
      r->information = io.Information;
      r->at = host::clock::Now();
      r->done.store(true);
    };
    host::io::SubmitUserRequest(file_, std::move(q));
    return r;
  }
  Request Read(ULONG length) { return Submit(IRP_MJ_READ, {}, length); }
  Request Write(std::vector<uint8_t> bytes) {
    ULONG length = static_cast<ULONG>(bytes.size());
    return Submit(IRP_MJ_WRITE, std::move(bytes), length);
  }
  IO_STATUS_BLOCK Control(ULONG code, ULONG* in, ULONG* out) {
    host::io::UserRequest q;
    q.majorFunction = IRP_MJ_DEVICE_CONTROL;
    q.ioControlCode = code;
    q.input = in;
    q.inputLength = in ? sizeof(ULONG) : 0;
    q.output = out;
    q.outputLength = out ? sizeof(ULONG) : 0;
    return host::io::SendUserRequest(file_, std::move(q));
  }
  Request WaitOnMask() {
    auto r = std::make_shared<Outcome>();
    r->data.resize(sizeof(ULONG));
    host::io::UserRequest q;
    q.majorFunction = IRP_MJ_DEVICE_CONTROL;
    q.ioControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
    q.output = r->data.data();
    q.outputLength = sizeof(ULONG);
    q.onComplete = [r](const IO_STATUS_BLOCK& io) {
      r->status = io.Status;
      r->information = io.Information;
      r->at = host::clock::Now();
      r->done.store(true);
    };
    host::io::SubmitUserRequest(file_, std::move(q));
    return r;
  }
  static ULONG Events(const Request& r) {
    ULONG e;
    std::memcpy(&e, r->data.data(), sizeof e);
    return e;
  }
  NTSTATUS SetWaitMask(ULONG mask) { return Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, nullptr).Status; }

  // Runs the clock until the request is done or `limit` has passed.
  bool Await(const Request& r, int64_t limit = 10'000 * kMs) {
    int64_t end = Now() + limit;
    while (!r->done.load() && Now() < end) host::clock::Sleep(kMs);
    return r->done.load();
  }

  // The next bulk-in completion carries exactly these bytes.
  void Inject(std::vector<uint8_t> raw) {
    board_->port(0).InjectBulkIn(std::move(raw));
    host::clock::RunUntilIdle();
  }
  // One packet: [N][data][line status].
  static std::vector<uint8_t> Packet(std::vector<uint8_t> data, uint8_t lineStatus = 0x60) {
    std::vector<uint8_t> p{static_cast<uint8_t>(data.size() + 2)};
    p.insert(p.end(), data.begin(), data.end());
    p.push_back(lineStatus);
    return p;
  }
  ULONG Held() {
    KIRQL irql;
    KeAcquireSpinLock(&ctx_->ReceiveBufferLock, &irql);
    ULONG held = GetQueueBufferCount(&ctx_->ReceiveBuffer);
    KeReleaseSpinLock(&ctx_->ReceiveBufferLock, irql);
    return held;
  }
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
  PFILE_OBJECT file_ = nullptr;
};

}  // namespace datapath_test
