// A port brought up the way start and open will bring it up, until the
// device lifecycle exists: a simulated one-port chip, the port's device
// object with its context and defaults attached above the chip's device (with
// a pass-through analyzer in between that records every bulk-out chunk), the
// configuration selected with URBs, the transfer slots, and the bulk-in and
// bulk-out worker threads. Requests come in through the I/O manager's
// user-request path on an open file.
#pragma once

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "chip/external_end.h"
#include "chip/register_map.h"
#include "chip/usb_bus.h"
#include "context/pool.h"
#include "context/port_context.h"
#include "context/port_defaults.h"
#include "datapath/bulk_in.h"
#include "datapath/read.h"
#include "datapath/read_write_dispatch.h"
#include "datapath/write.h"
#include "host/io_manager.h"
#include "platform/platform.h"
#include "support/machine_test.h"
#include "support/port_requests.h"
#include "uart/wait_mask.h"

namespace datapath_test {

// What the analyzer saw on the bulk-out pipe: each chunk's bytes.
struct BusLog {
  std::mutex mutex;
  USBD_PIPE_HANDLE bulkOutPipe = nullptr;
  std::vector<std::vector<uint8_t>> chunks;
};

inline BusLog& Bus() {
  static BusLog log;
  return log;
}

inline NTSTATUS AnalyzerPassDown(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  auto urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB && urb != nullptr &&
      urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    std::lock_guard<std::mutex> lock(Bus().mutex);
    if (t.PipeHandle == Bus().bulkOutPipe) {
      auto bytes = static_cast<const uint8_t*>(t.TransferBuffer);
      Bus().chunks.emplace_back(bytes, bytes + t.TransferBufferLength);
    }
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(*static_cast<PDEVICE_OBJECT*>(device->DeviceExtension), irp);
}

inline NTSTATUS AnalyzerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = AnalyzerPassDown;
  return STATUS_SUCCESS;
}

inline NTSTATUS CompleteOpenClose(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// The two wait-mask requests, with the buffer checks the device-control
// dispatcher makes before it calls them.
inline NTSTATUS WaitMaskControl(PDEVICE_OBJECT device, PIRP irp) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_SET_WAIT_MASK:
      status = stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)
                   ? STATUS_BUFFER_TOO_SMALL
                   : SerialSetWaitMask(context, irp);
      break;
    case IOCTL_SERIAL_WAIT_ON_MASK:
      if (stack->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(ULONG)) {
        return SerialWaitOnMask(context, irp);
      }
      status = STATUS_BUFFER_TOO_SMALL;
      break;
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

inline NTSTATUS PortEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = CompleteOpenClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = CompleteOpenClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = CompleteOpenClose;
  driver->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
  driver->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = WaitMaskControl;
  return STATUS_SUCCESS;
}

constexpr char16_t kPortName[] = u"\\Device\\Tarvio7315Serial0";

class PortTest : public MachineTest, protected PortRequests {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    {
      std::lock_guard<std::mutex> lock(Bus().mutex);
      Bus().chunks.clear();
    }
    board_.emplace(chip::ChipOptions{.ports = 1});
    far_.emplace(board_->Clock(), chip::LineSettings{.rate = 9600, .dataBits = 8, .stopHalfBits = 2});
    chip::ConnectExternal(board_->port(0), *far_);
    SetChipLine9600();
    ASSERT_EQ(host::io::LoadDriver(u"T7315Analyzer", AnalyzerEntry, u"", &analyzerDriver_), STATUS_SUCCESS);
    ASSERT_EQ(host::io::LoadDriver(u"T7315Serial", PortEntry, u"", &portDriver_), STATUS_SUCCESS);
    CreateAnalyzer();
    CreatePort();
    SelectConfiguration();
    CreateSlots();
    StartThread(PollingReadInterruptUrb, &ctx_->ReadKillEvent, &ctx_->ReadPollEvent, &ctx_->ReadThread);
    StartThread(PollingWriteInterruptUrb, &ctx_->WriteKillEvent, &ctx_->WritePollEvent, &ctx_->WriteThread);
    ctx_->DeviceState = 1;
    ctx_->Started = 1;
    Open();
  }

  void TearDown() override {
    if (ctx_ != nullptr) {
      ClosePort();
      StopThreads();
      FreePort();
    }
    board_.reset();
    far_.reset();
    MachineTest::TearDown();
  }

  // Open's share of reception: an empty ring, reception allowed, the first
  // bulk-in transfer asked for.
  void Open() {
    ASSERT_EQ(host::io::OpenFile(kPortName, GENERIC_READ | GENERIC_WRITE, 0, &file_), STATUS_SUCCESS);
    SetShared(ctx_->handles, 1);
    ClearQueueBuffer(&ctx_->ReceiveBuffer);
    SetShared(ctx_->PortClosing, 0);
    KeSetEvent(&ctx_->ReadPollEvent, IO_NO_INCREMENT, FALSE);
    host::clock::RunUntilIdle();
  }

  // Close's share: no re-arm, reads and writes ended, bulk-in cancelled.
  void ClosePort() {
    if (file_ == nullptr) return;
    host::io::CancelUserRequests(file_);
    SetShared(ctx_->PortClosing, 1);
    SetShared(ctx_->handles, 0);
    EndCurrentWrite(ctx_, STATUS_CANCELLED);
    CompleteCurrentReadWithStatus(ctx_, STATUS_CANCELLED);
    CancelTransfers();
    host::io::CloseFile(file_);
    file_ = nullptr;
  }

  // Until no transfer is in flight: a completion that was already running may
  // still re-arm once after PortClosing was set.
  void CancelTransfers() {
    for (ULONG slot : {BulkInSlot, BulkOutSlot}) {
      while (Shared(ctx_->IntUrbs[slot].Idle) == 0) {
        IoCancelIrp(ctx_->IntUrbs[slot].Irp);
        host::clock::Sleep(kMs);
      }
    }
  }

  // The next bulk-in completion carries exactly these bytes.
  void Inject(std::vector<uint8_t> raw) {
    board_->port(0).InjectBulkIn(std::move(raw));
    host::clock::RunUntilIdle();
  }
  ULONG Held() {
    KIRQL irql;
    KeAcquireSpinLock(&ctx_->ReceiveBufferLock, &irql);
    ULONG held = GetQueueBufferCount(&ctx_->ReceiveBuffer);
    KeReleaseSpinLock(&ctx_->ReceiveBufferLock, irql);
    return held;
  }
  std::vector<std::vector<uint8_t>> Chunks() {
    std::lock_guard<std::mutex> lock(Bus().mutex);
    return Bus().chunks;
  }
  void SetTimeouts(ULONG i, ULONG m, ULONG k, ULONG wm = 0, ULONG wk = 0) {
    ctx_->Timeouts = {i, m, k, wm, wk};
  }

  // Fields the driver reads and changes from other threads are touched
  // atomically here too.
  template <class T>
  static T Shared(const T& field) {
    return __atomic_load_n(&field, __ATOMIC_SEQ_CST);
  }
  template <class T, class V>
  static void SetShared(T& field, V value) {
    __atomic_store_n(&field, static_cast<T>(value), __ATOMIC_SEQ_CST);
  }

  std::optional<chip::UsbChip> board_;
  std::optional<chip::ExternalEnd> far_;
  PDRIVER_OBJECT analyzerDriver_ = nullptr;
  PDRIVER_OBJECT portDriver_ = nullptr;
  PDEVICE_OBJECT analyzer_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  PPORT_DEVICE_CONTEXT ctx_ = nullptr;

 private:
  // 9600 baud, 8 data bits, no parity, one stop bit, FIFOs on.
  void SetChipLine9600() {
    chip::Port& port = board_->port(0);
    port.Write(chip::reg::kLineControl, 0x80);
    port.Write(chip::reg::kUartBase, 12);
    port.Write(chip::reg::kInterruptEnable, 0);
    port.Write(chip::reg::kLineControl, 0x03);
    port.Write(chip::reg::kFifoControl, 0xC7);
  }

  void CreateAnalyzer() {
    ASSERT_EQ(IoCreateDevice(analyzerDriver_, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                             &analyzer_),
              STATUS_SUCCESS);
    *static_cast<PDEVICE_OBJECT*>(analyzer_->DeviceExtension) =
        IoAttachDeviceToDeviceStack(analyzer_, board_->Pdo(0));
    analyzer_->Flags &= ~DO_DEVICE_INITIALIZING;
  }

  // What device creation gives the context besides InitializePortDefaults.
  void CreatePort() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(kPortName));
    ASSERT_EQ(IoCreateDevice(portDriver_, sizeof(PORT_DEVICE_CONTEXT), &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE,
                             &fdo_),
              STATUS_SUCCESS);
    ctx_ = GetPortContext(fdo_);
    ASSERT_EQ(InitializePortDefaults(fdo_), STATUS_SUCCESS);
    fdo_->Flags |= DO_BUFFERED_IO;
    ctx_->Pdo = board_->Pdo(0);
    ctx_->LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo_, board_->Pdo(0));
    IoInitializeRemoveLock(&ctx_->RemoveLock, DriverPoolTag, 0, 0);
    KeInitializeSpinLock(&ctx_->CurrentReadLock);
    KeInitializeSpinLock(&ctx_->IntUrbLock);
    KeInitializeTimer(&ctx_->ReadTimer);
    KeInitializeTimer(&ctx_->WriteTimer);
    KeInitializeDpc(&ctx_->ReadTimeoutDpc, ReadTimeoutRoutine, ctx_);
    KeInitializeDpc(&ctx_->WriteTimeoutDpc, WriteTimeoutRoutine, ctx_);
    KeInitializeEvent(&ctx_->MsrPollEvent, SynchronizationEvent, FALSE);
    ctx_->MsrPollReady = 1;
    fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  }

  NTSTATUS SendUrb(PURB urb) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK io{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, ctx_->LowerDeviceObject, nullptr, 0,
                                             nullptr, 0, TRUE, &done, &io);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    if (IoCallDriver(ctx_->LowerDeviceObject, irp) == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return io.Status;
  }

  void SelectConfiguration() {
    std::vector<uint8_t> descriptor(512);
    URB get{};
    auto& r = get.UrbControlDescriptorRequest;
    r.Hdr.Length = sizeof r;
    r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    r.DescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    r.TransferBuffer = descriptor.data();
    r.TransferBufferLength = static_cast<ULONG>(descriptor.size());
    ASSERT_EQ(SendUrb(&get), STATUS_SUCCESS);
    USHORT length = 0;
    PURB select =
        USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor.data()), &length);
    ASSERT_NE(select, nullptr);
    ASSERT_EQ(SendUrb(select), STATUS_SUCCESS);
    PUSBD_INTERFACE_INFORMATION info = &select->UrbSelectConfiguration.Interface;
    ctx_->ConfigurationHandle = select->UrbSelectConfiguration.ConfigurationHandle;
    ctx_->InterfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocatePoolMemory(PagedPool, info->Length));
    std::memcpy(ctx_->InterfaceInfo, info, info->Length);
    ExFreePool(select);
    std::lock_guard<std::mutex> lock(Bus().mutex);
    Bus().bulkOutPipe = ctx_->InterfaceInfo->Pipes[2].PipeHandle;
  }

  void CreateSlots() {
    const ULONG pipeOfSlot[IntUrbCount] = {1, 0, 2};
    for (ULONG i = 0; i < IntUrbCount; ++i) {
      IntUrb& slot = ctx_->IntUrbs[i];
      slot.Irp = IoAllocateIrp(fdo_->StackSize, FALSE);
      slot.Urb = static_cast<PURB>(AllocatePoolMemory(SelectNonPagedPoolType(), 128));
      slot.Idle = 1;
      slot.Fdo = fdo_;
      slot.PipeInfo = &ctx_->InterfaceInfo->Pipes[pipeOfSlot[i]];
    }
  }

 protected:
  void StartThread(PKSTART_ROUTINE routine, PKEVENT kill, PKEVENT poll, PKTHREAD* thread) {
    KeInitializeEvent(kill, NotificationEvent, FALSE);
    KeInitializeEvent(poll, SynchronizationEvent, FALSE);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, routine, ctx_),
              STATUS_SUCCESS);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode,
                                        reinterpret_cast<PVOID*>(thread), nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
  }

  void StopThread(PKEVENT kill, PKTHREAD* thread) {
    if (*thread == nullptr) return;
    KeSetEvent(kill, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(*thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(*thread);
    *thread = nullptr;
  }

 private:
  void StopThreads() {
    StopThread(&ctx_->ReadKillEvent, &ctx_->ReadThread);
    StopThread(&ctx_->WriteKillEvent, &ctx_->WriteThread);
    CancelTransfers();
    ASSERT_EQ(IoAcquireRemoveLock(&ctx_->RemoveLock, this), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&ctx_->RemoveLock, this);
  }

  void FreePort() {
    KeCancelTimer(&ctx_->ReadTimer);
    KeCancelTimer(&ctx_->WriteTimer);
    KeFlushQueuedDpcs();
    for (IntUrb& slot : ctx_->IntUrbs) {
      if (slot.Irp != nullptr) IoFreeIrp(slot.Irp);
      FreePoolMemory(slot.Urb);
      slot.Irp = nullptr;
      slot.Urb = nullptr;
    }
    FreeQueueBuffer(&ctx_->ReceiveBuffer);
    FreePoolMemory(ctx_->InterfaceInfo);
    IoDetachDevice(ctx_->LowerDeviceObject);
    IoDeleteDevice(fdo_);
    ctx_ = nullptr;
    IoDetachDevice(*static_cast<PDEVICE_OBJECT*>(analyzer_->DeviceExtension));
    IoDeleteDevice(analyzer_);
    host::io::UnloadDriver(portDriver_);
    host::io::UnloadDriver(analyzerDriver_);
  }
};

}  // namespace datapath_test
