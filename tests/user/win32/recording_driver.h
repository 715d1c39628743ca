// A small serial driver for the Win32 API tests: it answers the
// IOCTL_SERIAL_* requests from a settings model, records every request it
// gets (code and input bytes) and can fail a chosen code or hold reads,
// writes and waits pending until the test completes them. Its one port is
// "\Device\RecSerial0", named COM3.
#pragma once

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/kernel/clock.h"
#include "support/held_irps.h"
#include "support/machine_test.h"
#include "user/win32/windows.h"

namespace win32test {

struct Request {
  UCHAR major;
  ULONG code;  // device control only
  std::vector<UCHAR> input;
  bool operator==(const Request&) const = default;
};

struct Port {
  std::mutex lock;  // everything below but the held requests
  std::vector<Request> log;
  std::map<ULONG, NTSTATUS> failures;  // control code -> status it ends with
  SERIAL_BAUD_RATE baud{9600};
  SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
  SERIAL_CHARS chars{0x1A, 0x00, 0x7E, 0x00, 0x11, 0x13};
  SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 64, 256};
  SERIAL_TIMEOUTS timeouts{};
  ULONG waitMask = 0;
  SERIAL_STATUS status{};
  ULONG modemStatus = 0;
  std::vector<UCHAR> received;  // what reads return
  bool holdIo = false;          // reads, writes and waits stay pending
  bool keepOnCleanup = false;   // pending requests outlive the handle
  testdriver::HeldIrps held;
};

inline Port& PortOf(PDEVICE_OBJECT device) { return **static_cast<Port**>(device->DeviceExtension); }

constexpr auto End = testdriver::Complete;
using testdriver::Counted;

// Completes the oldest pending request with `status`; `data` goes into its
// system buffer. False when none is pending.
inline bool CompletePending(Port& port, NTSTATUS status, const std::vector<UCHAR>& data = {}) {
  PIRP irp = port.held.Take();
  if (irp == nullptr) return false;
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (!data.empty()) std::memcpy(irp->AssociatedIrp.SystemBuffer, data.data(), data.size());
  End(irp, status, sp->MajorFunction == IRP_MJ_WRITE ? sp->Parameters.Write.Length : data.size());
  return true;
}

// Copies `size` bytes of a record in or out as a serial driver's buffered
// requests do.
inline NTSTATUS Exchange(PIRP irp, PIO_STACK_LOCATION sp, void* record, size_t size, bool set) {
  const auto& io = sp->Parameters.DeviceIoControl;
  if ((set ? io.InputBufferLength : io.OutputBufferLength) < size)
    return End(irp, STATUS_BUFFER_TOO_SMALL, 0);
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  std::memcpy(set ? record : buffer, set ? buffer : record, size);
  return End(irp, STATUS_SUCCESS, set ? 0 : size);
}

inline NTSTATUS Control(Port& port, PIRP irp, PIO_STACK_LOCATION sp) {
  const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
  if (code == IOCTL_SERIAL_WAIT_ON_MASK && port.holdIo) return port.held.Hold(irp);
  std::lock_guard guard(port.lock);
  if (auto failure = port.failures.find(code); failure != port.failures.end())
    return End(irp, failure->second, 0);
  // The records the port keeps, by the codes that set and get them.
  const struct {
    ULONG set, get;
    void* record;
    size_t size;
  } records[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, &port.baud, sizeof port.baud},
      {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL, &port.line, sizeof port.line},
      {IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS, &port.chars, sizeof port.chars},
      {IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW, &port.flow, sizeof port.flow},
      {IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS, &port.timeouts, sizeof port.timeouts},
      {IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK, &port.waitMask, sizeof port.waitMask},
      {0, IOCTL_SERIAL_WAIT_ON_MASK, &port.waitMask, sizeof port.waitMask},
      {0, IOCTL_SERIAL_GET_COMMSTATUS, &port.status, sizeof port.status},
      {0, IOCTL_SERIAL_GET_MODEMSTATUS, &port.modemStatus, sizeof port.modemStatus},
  };
  for (const auto& r : records)
    if (code == r.get || (r.set != 0 && code == r.set))
      return Exchange(irp, sp, r.record, r.size, code == r.set);
  switch (code) {
    case IOCTL_SERIAL_GET_PROPERTIES: {
      SERIAL_COMMPROP properties{};
      properties.PacketLength = sizeof properties;
      properties.MaxRxQueue = 4095;
      properties.ProvSubType = SERIAL_SP_RS232;
      return Exchange(irp, sp, &properties, sizeof properties, false);
    }
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
    case IOCTL_SERIAL_RESET_DEVICE:
      return End(irp, STATUS_NOT_IMPLEMENTED, 0);
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_SET_XOFF:
      return End(irp, STATUS_SUCCESS, 0);
    case IOCTL_SERIAL_PURGE:
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
      return End(
          irp,
          sp->Parameters.DeviceIoControl.InputBufferLength >= 4 ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL,
          0);
  }
  return End(irp, STATUS_INVALID_PARAMETER, 0);
}

inline NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  Port& port = PortOf(device);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  const auto* buffer = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  Request request{sp->MajorFunction, 0, {}};
  if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    request.code = sp->Parameters.DeviceIoControl.IoControlCode;
    if (buffer != nullptr)
      request.input.assign(buffer, buffer + sp->Parameters.DeviceIoControl.InputBufferLength);
  }
  if (sp->MajorFunction == IRP_MJ_WRITE && buffer != nullptr)
    request.input.assign(buffer, buffer + sp->Parameters.Write.Length);
  {
    std::lock_guard guard(port.lock);
    port.log.push_back(request);
  }
  switch (sp->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_FLUSH_BUFFERS:
      return End(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLEANUP:
      while (!port.keepOnCleanup && CompletePending(port, STATUS_CANCELLED)) {
      }
      return End(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
      return Control(port, irp, sp);
    case IRP_MJ_READ: {
      if (port.holdIo) return port.held.Hold(irp);
      std::lock_guard guard(port.lock);
      const size_t count = std::min<size_t>(port.received.size(), sp->Parameters.Read.Length);
      std::memcpy(irp->AssociatedIrp.SystemBuffer, port.received.data(), count);
      port.received.erase(port.received.begin(), port.received.begin() + count);
      return End(irp, STATUS_SUCCESS, count);
    }
    case IRP_MJ_WRITE:
      if (port.holdIo) return port.held.Hold(irp);
      return End(irp, STATUS_SUCCESS, sp->Parameters.Write.Length);
  }
  return End(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

inline NTSTATUS NTAPI RecordingDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) dispatch = Dispatch;
  return STATUS_SUCCESS;
}

// A machine with the recording driver and one exclusive port, COM3.
class RecordingTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_EQ(kernel::io::LoadDriver(u"recserial", RecordingDriverEntry,
                                     u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\recserial",
                                     &driver_),
              STATUS_SUCCESS);
    UNICODE_STRING deviceName = Counted(kDevice), linkName = Counted(kLink);
    ASSERT_EQ(IoCreateDevice(driver_, sizeof(Port*), &deviceName, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device_),
              STATUS_SUCCESS);
    *static_cast<Port**>(device_->DeviceExtension) = new Port;
    device_->Flags |= DO_BUFFERED_IO;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(IoCreateSymbolicLink(&linkName, &deviceName), STATUS_SUCCESS);
  }

  void TearDown() override {
    if (device_ != nullptr) {
      UNICODE_STRING linkName = Counted(kLink);
      IoDeleteSymbolicLink(&linkName);
      delete &PortOf(device_);
      IoDeleteDevice(device_);
    }
    kernel::io::UnloadDriver(driver_);
    MachineTest::TearDown();
  }

  inline static const std::u16string kDevice = u"\\Device\\RecSerial0";
  inline static const std::u16string kLink = u"\\DosDevices\\COM3";

  Port& port() { return PortOf(device_); }

  // The device-control codes received since the last call, create and
  // reads/writes left out.
  std::vector<Request> TakeControls() {
    std::lock_guard guard(port().lock);
    std::vector<Request> controls;
    for (const Request& request : port().log)
      if (request.major == IRP_MJ_DEVICE_CONTROL) controls.push_back(request);
    port().log.clear();
    return controls;
  }

  HANDLE Open(const char* name = "\\\\.\\COM3", DWORD flags = 0) {
    HANDLE handle =
        CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE) << name << " error " << GetLastError();
    return handle;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

template <typename Record>
std::vector<UCHAR> Bytes(const Record& record) {
  const auto* bytes = reinterpret_cast<const UCHAR*>(&record);
  return std::vector<UCHAR>(bytes, bytes + sizeof(Record));
}

}  // namespace win32test
