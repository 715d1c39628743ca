// Requests an application sends on an open port, as the I/O manager's
// user-request path delivers them, and what the tests make of their ends.
#pragma once

#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <vector>

#include "emulator/kernel/clock.h"
#include "emulator/kernel/io_manager.h"
#include "platform/platform.h"

namespace port_test {

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

class PortRequests {
 protected:
  // Submits `q`; `r` records how it ends.
  Request SubmitRecorded(kernel::io::UserRequest q, Request r) {
    q.onComplete = [r](const IO_STATUS_BLOCK& io) {
      r->status = io.Status;
      r->information = io.Information;
      r->at = kernel::clock::Now();
      r->done.store(true);
    };
    kernel::io::SubmitUserRequest(file_, std::move(q));
    return r;
  }
  Request Submit(UCHAR major, std::vector<uint8_t> data, ULONG length) {
    auto r = std::make_shared<Outcome>();
    r->data = std::move(data);
    kernel::io::UserRequest q;
    q.majorFunction = major;
    if (major == IRP_MJ_READ) {
      r->data.resize(length);
      q.output = r->data.data();
      q.outputLength = length;
    } else {
      q.input = r->data.data();
      q.inputLength = length;
    }
    return SubmitRecorded(std::move(q), r);
  }
  Request Read(ULONG length) { return Submit(IRP_MJ_READ, {}, length); }
  Request Write(std::vector<uint8_t> bytes) {
    ULONG length = static_cast<ULONG>(bytes.size());
    return Submit(IRP_MJ_WRITE, std::move(bytes), length);
  }
  // A request with `inLength` bytes at `in` and room for `outLength` at `out`.
  IO_STATUS_BLOCK Control(ULONG code, const void* in, ULONG inLength, void* out = nullptr,
                          ULONG outLength = 0) {
    kernel::io::UserRequest q;
    q.majorFunction = IRP_MJ_DEVICE_CONTROL;
    q.ioControlCode = code;
    q.input = in;
    q.inputLength = inLength;
    q.output = out;
    q.outputLength = outLength;
    return kernel::io::SendUserRequest(file_, std::move(q));
  }
  // A request that takes and gives a ULONG, either absent when null.
  IO_STATUS_BLOCK Control(ULONG code, ULONG* in, ULONG* out) {
    return Control(code, in, in ? sizeof(ULONG) : 0, out, out ? sizeof(ULONG) : 0);
  }
  Request WaitOnMask() {
    auto r = std::make_shared<Outcome>();
    r->data.resize(sizeof(ULONG));
    kernel::io::UserRequest q;
    q.majorFunction = IRP_MJ_DEVICE_CONTROL;
    q.ioControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
    q.output = r->data.data();
    q.outputLength = sizeof(ULONG);
    return SubmitRecorded(std::move(q), r);
  }
  static ULONG Events(const Request& r) {
    ULONG e;
    std::memcpy(&e, r->data.data(), sizeof e);
    return e;
  }
  NTSTATUS SetWaitMask(ULONG mask) { return Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, nullptr).Status; }

  // Runs the clock until the request is done or `limit` has passed.
  bool Await(const Request& r, int64_t limit = 10'000 * kernel::clock::kMillisecond) {
    int64_t end = kernel::clock::Now() + limit;
    while (!r->done.load() && kernel::clock::Now() < end) kernel::clock::Sleep(kernel::clock::kMillisecond);
    return r->done.load();
  }
  // Awaits `r`: whether it ended with `status`, and with `information` when given.
  testing::AssertionResult Ends(const Request& r, NTSTATUS status, std::optional<ULONG_PTR> information = {},
                                int64_t limit = 10'000 * kernel::clock::kMillisecond) {
    if (!Await(r, limit)) return testing::AssertionFailure() << "still pending";
    if (r->status != status)
      return testing::AssertionFailure() << "ended with status " << std::hex << r->status;
    if (information && r->information != *information)
      return testing::AssertionFailure() << "ended with information " << r->information;
    return testing::AssertionSuccess();
  }

  // One packet: [N][data][line status].
  static std::vector<uint8_t> Packet(std::vector<uint8_t> data, uint8_t lineStatus = 0x60) {
    std::vector<uint8_t> p;
    p.reserve(data.size() + 2);
    p.push_back(static_cast<uint8_t>(data.size() + 2));
    p.insert(p.end(), data.begin(), data.end());
    p.push_back(lineStatus);
    return p;
  }

  PFILE_OBJECT file_ = nullptr;
};

}  // namespace port_test
