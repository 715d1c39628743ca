// A port brought up by hand, as the data-path tests do, with register access
// and the configuration descriptor; device-control and internal requests
// reach the driver's own dispatch routines.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "chip/register_map.h"
#include "datapath/port_fixture.h"
#include "host/files.h"
#include "ioctl/control_dispatch.h"
#include "ioctl/internal_control.h"
#include "uart/register_access.h"

namespace vendor_test {

// A request's end as the caller sees it: status, information and the output
// buffer (filled with 0xEE beforehand, so that bytes the driver left alone show).
struct Reply {
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
  std::vector<uint8_t> out;
};

constexpr uint8_t kUntouched = 0xEE;

class VendorTest : public datapath_test::PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    if (HasFatalFailure()) return;
    portDriver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    portDriver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
    KeInitializeMutex(&ctx_->RegisterMutex, 0);
    std::vector<uint8_t> descriptor = board_->port(0).ConfigurationDescriptor();
    ctx_->ConfigurationDescriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        AllocatePoolMemory(NonPagedPoolNx, static_cast<ULONG>(descriptor.size())));
    std::memcpy(ctx_->ConfigurationDescriptor, descriptor.data(), descriptor.size());
    board_->port(0).ClearRegisterLog();
  }

  void TearDown() override {
    if (ctx_ != nullptr) {
      FreePoolMemory(ctx_->ConfigurationDescriptor);
      ctx_->ConfigurationDescriptor = nullptr;
    }
    PortTest::TearDown();
  }

  Reply Send(ULONG code, std::vector<uint8_t> in, ULONG outLength) {
    Reply reply;
    reply.out.assign(outLength, kUntouched);
    host::io::UserRequest q;
    q.majorFunction = IRP_MJ_DEVICE_CONTROL;
    q.ioControlCode = code;
    q.input = in.empty() ? nullptr : in.data();
    q.inputLength = static_cast<ULONG>(in.size());
    q.output = outLength != 0 ? reply.out.data() : nullptr;
    q.outputLength = outLength;
    IO_STATUS_BLOCK io = host::io::SendUserRequest(file_, std::move(q));
    reply.status = io.Status;
    reply.information = io.Information;
    return reply;
  }

  static std::vector<uint8_t> Ulong(ULONG value) {
    std::vector<uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
  }
  static ULONG UlongOf(const Reply& reply) {
    ULONG value = 0;
    std::memcpy(&value, reply.out.data(), sizeof value);
    return value;
  }
  // A value request as a caller makes it: the ULONG in, room for a ULONG out.
  Reply SendUlong(ULONG code, ULONG value) { return Send(code, Ulong(value), sizeof(ULONG)); }

  chip::Port& Chip() { return board_->port(0); }

  static constexpr const char* kSettingsFile = "\\SystemRoot\\System32\\Tarvio7315Setting.bin";
  static constexpr size_t kSettingsSize = 1536;
  // Offset of this port's record: ChipMode 0, PortIndex 0.
  static constexpr size_t kRecord = 0x200;
};

}  // namespace vendor_test
