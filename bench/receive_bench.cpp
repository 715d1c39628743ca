// Receive path throughput: a 64 KiB bulk-in transfer of 253-byte packets goes
// from the completion routine through the receive ring into the read request
// waiting for it, and on to the caller's buffer. Reported next to a plain
// memcpy of the same bytes; `x_memcpy` is how many times longer the receive
// path takes than that copy.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "driver/context/pool.h"
#include "driver/context/port_context.h"
#include "driver/context/port_defaults.h"
#include "driver/datapath/bulk_in.h"
#include "driver/datapath/read.h"
#include "driver/datapath/read_write_dispatch.h"
#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/machine.h"
#include "platform/platform.h"

namespace {

constexpr ULONG kPacketData = 253;
constexpr ULONG kPackets = IntUrbDataBufferSize / (kPacketData + 2);  // 257 packets fill 65535 bytes
constexpr ULONG kTransferLength = kPackets * (kPacketData + 2);
constexpr ULONG kBytes = kPackets * kPacketData;

NTSTATUS NTAPI BenchEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
  return STATUS_SUCCESS;
}

// A working port with nothing below it: the bench plays the bus driver and
// hands the completion routine finished transfers. Started stays 0, so the
// completion does not re-arm.
class ReceivePort {
 public:
  ReceivePort() : machine_(kernel::MachineOptions{.clock = kernel::ClockKind::Real}) {
    kernel::io::LoadDriver(u"T7315Bench", BenchEntry, u"", &driver_);
    IoCreateDevice(driver_, sizeof(PORT_DEVICE_CONTEXT), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &fdo_);
    ctx_ = GetPortContext(fdo_);
    InitializePortDefaults(fdo_);
    fdo_->Flags |= DO_BUFFERED_IO;
    fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    IoInitializeRemoveLock(&ctx_->RemoveLock, DriverPoolTag, 0, 0);
    KeInitializeSpinLock(&ctx_->CurrentReadLock);
    KeInitializeSpinLock(&ctx_->IntUrbLock);
    KeInitializeTimer(&ctx_->ReadTimer);
    KeInitializeDpc(&ctx_->ReadTimeoutDpc, ReadTimeoutRoutine, ctx_);
    ctx_->DeviceState = 1;
    IntUrb& slot = ctx_->IntUrbs[BulkInSlot];
    slot.Irp = IoAllocateIrp(1, FALSE);
    slot.Urb = static_cast<PURB>(AllocatePoolMemory(SelectNonPagedPoolType(), 128));
    slot.Fdo = fdo_;
    read_ = IoAllocateIrp(fdo_->StackSize, FALSE);
    for (ULONG p = 0; p < kPackets; ++p) {
      UCHAR* packet = slot.DataBuffer + p * (kPacketData + 2);
      packet[0] = kPacketData + 2;
      for (ULONG i = 0; i < kPacketData; ++i) packet[1 + i] = UCHAR(p + i);
      packet[kPacketData + 1] = 0x60;
    }
  }
  ~ReceivePort() {
    IntUrb& slot = ctx_->IntUrbs[BulkInSlot];
    IoFreeIrp(slot.Irp);
    IoFreeIrp(read_);
    FreePoolMemory(slot.Urb);
    FreeQueueBuffer(&ctx_->ReceiveBuffer);
    IoDeleteDevice(fdo_);
    kernel::io::UnloadDriver(driver_);
  }

  // A read waits; the transfer completes and serves it. Returns its bytes.
  // The read is the bench's own IRP with `out` as its system buffer, as
  // buffered I/O hands it to the driver, and comes back to the bench through
  // its completion routine.
  ULONG_PTR Transfer(UCHAR* out) {
    IoReuseIrp(read_, STATUS_SUCCESS);
    read_->AssociatedIrp.SystemBuffer = out;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(read_);
    next->MajorFunction = IRP_MJ_READ;
    next->Parameters.Read.Length = kBytes;
    IoSetCompletionRoutine(read_, ReadDone, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(fdo_, read_);  // the ring is empty: queued
    IntUrb& slot = ctx_->IntUrbs[BulkInSlot];
    IoAcquireRemoveLock(&ctx_->RemoveLock, slot.Irp);
    slot.Idle = 0;
    slot.Urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    slot.Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = kTransferLength;
    slot.Irp->IoStatus.Status = STATUS_SUCCESS;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    OnReadCompletion(fdo_, slot.Irp, &slot);
    KeLowerIrql(irql);
    return read_->IoStatus.Information;
  }

 private:
  kernel::Machine machine_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  PPORT_DEVICE_CONTEXT ctx_ = nullptr;
  PIRP read_ = nullptr;

  static NTSTATUS NTAPI ReadDone(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }
};

double MemcpySecondsPerTransfer() {
  std::vector<uint8_t> from(kBytes, 0x5A), to(kBytes);
  constexpr int kRounds = 4000;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRounds; ++i) {
    std::memcpy(to.data(), from.data(), kBytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / kRounds;
}

void BM_ReceivePath(benchmark::State& state) {
  ReceivePort port;
  std::vector<UCHAR> out(kBytes);
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    if (port.Transfer(out.data()) != kBytes) {
      state.SkipWithError("the read did not get the whole transfer");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  state.SetBytesProcessed(int64_t(state.iterations()) * kBytes);
  if (state.iterations() > 0) {
    state.counters["x_memcpy"] = seconds / double(state.iterations()) / MemcpySecondsPerTransfer();
  }
}
BENCHMARK(BM_ReceivePath)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Memcpy(benchmark::State& state) {
  std::vector<uint8_t> from(kBytes, 0x5A), to(kBytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kBytes);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kBytes);
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
