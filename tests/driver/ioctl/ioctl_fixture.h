// The open port of the real driver (support/open_port_fixture.h), with its
// device-control requests sent as a user-mode caller sends them, or as
// hand-built IRPs whose lengths and buffer need not agree; for the vendor
// requests, also the settings file and the port's registry keys.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "driver/uart/register_access.h"
#include "emulator/chip/register_map.h"
#include "emulator/kernel/files.h"
#include "emulator/kernel/pnp_manager.h"
#include "emulator/kernel/registry.h"
#include "support/direct_irp.h"
#include "support/open_port_fixture.h"
#include "support/settings_file.h"

namespace ioctl_test {

using Bytes = std::vector<uint8_t>;

// Output buffers are filled with it beforehand, so that bytes the driver left
// alone show.
constexpr uint8_t kUntouched = 0xEE;

struct Result {
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
  Bytes out;
  template <class T>
  T As() const {
    T value{};
    std::memcpy(&value, out.data(), std::min(sizeof value, out.size()));
    return value;
  }
};

template <class T>
Bytes BytesOf(const T& value) {
  auto p = reinterpret_cast<const uint8_t*>(&value);
  return {p, p + sizeof value};
}

// What a device-control request may change: equal snapshots, nothing changed.
struct Snapshot {
  ULONG baudRate, waitMask, txHolding, breakError, ringSize, ringCount;
  LONG outstandingIo;
  SERIAL_LINE_CONTROL lineControl;
  SERIAL_CHARS chars;
  SERIAL_HANDFLOW handFlow;
  SERIAL_TIMEOUTS timeouts;
  SERIALPERF_STATS stats;
  bool operator==(const Snapshot& o) const { return std::memcmp(this, &o, sizeof *this) == 0; }
};

class IoctlTest : public port_test::OpenPortTest {
 protected:
  void SetUp() override {
    OpenPortTest::SetUp();
    Chip().ClearRegisterLog();  // start's and open's own writes
  }

  Result Ioctl(ULONG code, Bytes in = {}, ULONG outLength = 0) {
    Result r;
    r.out.assign(outLength, kUntouched);
    IO_STATUS_BLOCK io = Control(code, in.empty() ? nullptr : in.data(), static_cast<ULONG>(in.size()),
                                 outLength ? r.out.data() : nullptr, outLength);
    r.status = io.Status;
    r.information = io.Information;
    return r;
  }
  template <class T>
  T Get(ULONG code) {
    Result r = Ioctl(code, {}, sizeof(T));
    EXPECT_EQ(r.information, sizeof(T)) << std::hex << code;
    return r.As<T>();
  }

  // `buffer` (null: none) is the system buffer whatever the lengths say.
  // Only for requests that complete at once.
  Result SendIrp(ULONG code, ULONG inLength, ULONG outLength, Bytes* buffer) {
    IO_STATUS_BLOCK io = direct_irp::Send(fdo_, [&](PIRP irp, PIO_STACK_LOCATION next) {
      next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
      next->FileObject = file_;
      next->Parameters.DeviceIoControl.IoControlCode = code;
      next->Parameters.DeviceIoControl.InputBufferLength = inLength;
      next->Parameters.DeviceIoControl.OutputBufferLength = outLength;
      irp->AssociatedIrp.SystemBuffer = buffer ? buffer->data() : nullptr;
    });
    Result r{io.Status, io.Information};
    if (buffer) r.out = *buffer;
    return r;
  }

  Snapshot Take() {
    Snapshot s;
    std::memset(&s, 0, sizeof s);
    s.baudRate = ctx_->BaudRate;
    s.waitMask = Shared(ctx_->WaitMask);
    s.txHolding = Shared(ctx_->TxHolding);
    s.breakError = Shared(ctx_->BreakErrorFlag);
    s.ringSize = ctx_->ReceiveBuffer.Size;
    s.ringCount = Held();
    s.outstandingIo = Shared(ctx_->OutstandingIo);
    s.lineControl = ctx_->LineControl;
    s.chars = ctx_->SpecialChars;
    s.handFlow = ctx_->HandFlow;
    s.timeouts = ctx_->Timeouts;
    s.stats = ctx_->PerfStats;
    return s;
  }

  // Register writes made through the vendor request since the last call.
  std::vector<std::pair<uint16_t, uint8_t>> TakeWrites() {
    auto writes = Writes();
    Chip().ClearRegisterLog();
    return writes;
  }
};

// The open port with what the vendor requests keep outside the driver: the
// settings file and the port's registry keys.
class VendorTest : public IoctlTest {
 protected:
  std::string InstancePath() const {
    std::u16string path = board_->InstancePath(0);
    return std::string(path.begin(), path.end());
  }
  static std::string InstanceKey(const std::string& path) {
    return "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" + path;
  }
  // The port's device key, where "PortName" and "BaudRate" live.
  std::string HardwareKey() const { return kernel::pnp::HardwareKeyPath(board_->InstancePath(0)); }

  static constexpr const char* kSettingsFile = settings_file::kPath;
  static constexpr size_t kSettingsSize = 0x600;
  static constexpr size_t kRecord = settings_file::kFirstRecord;  // this port's
};

}  // namespace ioctl_test
