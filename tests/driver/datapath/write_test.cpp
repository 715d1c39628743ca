// Writes: chunking as seen on the bulk-out pipe, holds, TXEMPTY, the write
// timer and its baud-rate scale, cancellation and the accounting of
// AmountInOutQueue.
#include <ostream>

#include "emulator/kernel/pnp_manager.h"
#include "support/bus_entry.h"
#include "support/open_port_fixture.h"

namespace port_test {
namespace {

class WriteTest : public OpenPortTest {
 protected:
  static std::vector<uint8_t> Text(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 13 + 1);
    return v;
  }
  std::vector<size_t> ChunkSizes() {
    std::vector<size_t> sizes;
    for (const auto& c : Chunks()) sizes.push_back(c.size());
    return sizes;
  }
  ULONG InOutQueue() {
    KIRQL irql;
    KeAcquireSpinLock(&ctx_->WriteQueueLock, &irql);
    ULONG amount = ctx_->AmountInOutQueue;
    KeReleaseSpinLock(&ctx_->WriteQueueLock, irql);
    return amount;
  }
};

struct ChunkRow {
  ULONG maxWriteLength;
  size_t length;
  std::vector<size_t> chunks;
};
const ChunkRow kChunkRows[] = {
    {32, 100, {32, 32, 32, 4}},
    {32, 37, {32, 3, 2}},
    {32, 6, {3, 3}},
    {32, 5, {3, 2}},
    {0, 40, {32, 8}},
    {128, 300, {128, 128, 44}},
    {500, 300, {128, 128, 44}},
    {5, 11, {3, 3, 3, 2}},
};
class ChunkRows : public WriteTest, public testing::WithParamInterface<ChunkRow> {};

TEST_P(ChunkRows, CarryTheWriteToTheFarEnd) {
  const ChunkRow& row = GetParam();
  ctx_->MaxWriteLength = row.maxWriteLength;
  std::vector<uint8_t> data = Text(row.length);
  Request w = Write(data);
  ASSERT_TRUE(Ends(w, STATUS_SUCCESS, row.length));
  EXPECT_EQ(ChunkSizes(), row.chunks);
  EXPECT_EQ(InOutQueue(), 0u);
  kernel::clock::Sleep(500 * kMs);
  EXPECT_EQ(far_->ReceivedBytes(), data);
}
INSTANTIATE_TEST_SUITE_P(Write, ChunkRows, testing::ValuesIn(kChunkRows));

TEST_F(WriteTest, BadWritesAreRefused) {
  Request empty = Write({});
  ASSERT_TRUE(Ends(empty, STATUS_INVALID_PARAMETER));
  ctx_->DeviceState = 0;
  Request stopped = Write({1});
  ASSERT_TRUE(Ends(stopped, STATUS_DELETE_PENDING));
  EXPECT_EQ(InOutQueue(), 0u);
  EXPECT_TRUE(Chunks().empty());
  ctx_->DeviceState = 1;
}

// A CTS hold stops sending; the thread keeps asking for modem-status reads
// and resumes by itself once the hold clears. Two writes: the second starts
// when the first completes, without a new request.
TEST_F(WriteTest, HoldStopsSendingAndReleaseResumesWithoutANewRequest) {
  SetShared(ctx_->TxHolding, 0x01);
  Request first = Write(Text(40));
  Request second = Write(Text(10));
  kernel::clock::Sleep(500 * kMs);
  EXPECT_TRUE(Chunks().empty());
  EXPECT_EQ(Shared(ctx_->MsrPollReady), 0);
  EXPECT_EQ(KeReadStateEvent(&ctx_->MsrPollEvent), 1);
  EXPECT_EQ(InOutQueue(), 50u);
  SetShared(ctx_->TxHolding, 0x10);  // a break does not hold the transmitter
  ASSERT_TRUE(Await(second));
  EXPECT_TRUE(first->done.load());
  EXPECT_LE(first->at, second->at);
  EXPECT_EQ(ChunkSizes(), (std::vector<size_t>{32, 8, 10}));
  EXPECT_EQ(InOutQueue(), 0u);
}

// An XOFF received with automatic transmit flow control stops sending after
// the chunk in flight; the XON resumes it.
TEST_F(WriteTest, XoffAndXonFromTheReceiver) {
  ctx_->HandFlow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
  std::vector<uint8_t> data = Text(1000);
  Request w = Write(data);
  kernel::clock::Sleep(200 * kMs);
  Inject(Packet({0x13}));
  size_t atXoff = Chunks().size();
  kernel::clock::Sleep(2000 * kMs);
  EXPECT_LE(Chunks().size(), atXoff + 1);
  EXPECT_FALSE(w->done.load());
  Inject(Packet({0x11}));
  ASSERT_TRUE(Ends(w, STATUS_SUCCESS));
  kernel::clock::Sleep(500 * kMs);
  EXPECT_EQ(far_->ReceivedBytes(), data);
}

// The bus answers a query-stop or query-remove 100 ms late: chunks complete
// meanwhile, while the port is not working.
NTSTATUS NTAPI SlowQuery(PDEVICE_OBJECT device, PIRP irp) {
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_QUERY_STOP_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE) {
    kernel::clock::Sleep(100 * kernel::clock::kMillisecond);
  }
  return bus_entry::BusEntry<IRP_MJ_PNP>::PassOn(device, irp);
}

// Another driver vetoes a rebalance or a removal while a write is sent, or
// the port is stopped and started again: once the port works again the write
// goes on, and bytes and modem-line changes from the far end still arrive.
TEST_F(WriteTest, AWriteGoesOnWhenThePortWorksAgain) {
  bus_entry::BusEntry<IRP_MJ_PNP>::Take(*board_, SlowQuery);
  const std::vector<NTSTATUS (*)(PDEVICE_OBJECT)> rows[] = {
      {kernel::pnp::QueryStopAndCancel},
      {kernel::pnp::QueryRemoveAndCancel},
      {kernel::pnp::QueryStopAndStop, kernel::pnp::Restart},
  };
  for (const auto& steps : rows) {
    std::vector<uint8_t> data = Text(300);
    Request w = Write(data);
    kernel::clock::Sleep(20 * kMs);
    for (auto step : steps) ASSERT_EQ(step(Pdo(0)), STATUS_SUCCESS);
    ASSERT_TRUE(Ends(w, STATUS_SUCCESS, data.size()));
    ASSERT_EQ(SetWaitMask(SERIAL_EV_CTS), STATUS_SUCCESS);
    Request wait = WaitOnMask();
    far_->Present({.cts = !far_->Presented().cts});
    ASSERT_TRUE(Await(wait));
    EXPECT_EQ(Events(wait), ULONG(SERIAL_EV_CTS));
    Request r = Read(3);
    far_->Send(std::vector<uint8_t>{'a', 'b', 'c'});
    ASSERT_TRUE(Await(r));
    EXPECT_EQ(r->Bytes(), (std::vector<uint8_t>{'a', 'b', 'c'}));
  }
}

TEST_F(WriteTest, TxEmptyIsRecordedWhenTheLastChunkIsConfirmed) {
  Request w = Write(Text(10));
  ASSERT_TRUE(Await(w));
  kernel::clock::RunUntilIdle();
  EXPECT_EQ(Shared(ctx_->HistoryMask), ULONG(SERIAL_EV_TXEMPTY));  // whatever the mask holds
  SetShared(ctx_->HistoryMask, 0);
  ASSERT_EQ(SetWaitMask(SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
  Request wait = WaitOnMask();
  Request w2 = Write(Text(70));
  ASSERT_TRUE(Await(wait));
  EXPECT_TRUE(w2->done.load());
  EXPECT_EQ(Events(wait), ULONG(SERIAL_EV_TXEMPTY));
}

// (M * Length + K) * F ms, F = 115200 / rate / 2 below 115200 baud and never 0.
struct TimeoutRow {
  ULONG baud, m, k, length;
  int64_t afterMs;
};
const TimeoutRow kTimeoutRows[] = {
    {9600, 0, 1000, 10, 6000},  {1200, 0, 100, 10, 4800},    {57600, 0, 1000, 10, 1000},
    {76800, 0, 1000, 10, 1000}, {115200, 0, 1000, 10, 1000}, {921600, 2, 100, 50, 200},
};
class TimeoutRows : public WriteTest, public testing::WithParamInterface<TimeoutRow> {};

TEST_P(TimeoutRows, ScaleWithTheBaudRate) {
  const TimeoutRow& row = GetParam();
  ctx_->BaudRate = row.baud;
  SetShared(ctx_->TxHolding, 0x01);
  SetTimeouts(0, 0, 0, row.m, row.k);
  int64_t start = Now();
  Request w = Write(Text(row.length));
  ASSERT_TRUE(Ends(w, STATUS_TIMEOUT, 0u, 60'000 * kMs));
  EXPECT_EQ(w->at - start, row.afterMs * kMs);
  EXPECT_EQ(InOutQueue(), 0u);
}
INSTANTIATE_TEST_SUITE_P(Write, TimeoutRows, testing::ValuesIn(kTimeoutRows));

// The timer ends a write whose chunk is still in flight: the chunk is
// cancelled, the write reports the bytes that really went, and the next
// write gets only its own confirmations.
TEST_F(WriteTest, TimeoutWithAChunkInFlight) {
  ctx_->BaudRate = 115200;  // scale 1; the line itself runs at 9600
  SetTimeouts(0, 0, 0, 0, 100);
  std::vector<uint8_t> data = Text(1000);
  int64_t start = Now();
  Request first = Write(data);
  kernel::clock::Sleep(50 * kMs);
  Request second = Write(Text(20));  // re-arms the one timer: due at 150 ms
  ASSERT_TRUE(Await(second));
  ASSERT_TRUE(first->done.load());
  EXPECT_EQ(first->status, STATUS_TIMEOUT);
  EXPECT_GE(first->at - start, 150 * kMs);
  size_t firstBytes = first->information;
  EXPECT_GT(firstBytes, 0u);
  EXPECT_LT(firstBytes, 1000u);
  EXPECT_EQ(second->status, STATUS_SUCCESS);
  EXPECT_EQ(second->information, 20u);
  EXPECT_EQ(InOutQueue(), 0u);
  kernel::clock::Sleep(1000 * kMs);
  std::vector<uint8_t> wire(data.begin(), data.begin() + firstBytes);
  std::vector<uint8_t> next = Text(20);
  wire.insert(wire.end(), next.begin(), next.end());
  EXPECT_EQ(far_->ReceivedBytes(), wire);
}

// Cancelling ends a queued write and the current one held by CTS, and gives
// back the bytes they will not send.
TEST_F(WriteTest, CancelEndsQueuedAndHeldWrites) {
  SetShared(ctx_->TxHolding, 0x01);
  Request current = Write(Text(30));
  Request queued = Write(Text(25));
  kernel::clock::RunUntilIdle();
  EXPECT_EQ(InOutQueue(), 55u);
  kernel::io::CancelUserRequests(file_);
  for (const Request& r : {current, queued}) {
    ASSERT_TRUE(Ends(r, STATUS_CANCELLED, 0u));
  }
  EXPECT_EQ(InOutQueue(), 0u);
  SetShared(ctx_->TxHolding, 0);
}

// The bus ends a chunk's IRP well but its URB badly: the write fails all the
// same, without charging the chunk.
TEST_F(WriteTest, FailedUrbOfASuccessfulTransferFailsTheWrite) {
  USBD_PIPE_HANDLE out = ctx_->InterfaceInfo->Pipes[2].PipeHandle;
  tap_->SetRule([out](PURB urb) -> std::optional<NTSTATUS> {
    if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
        urb->UrbBulkOrInterruptTransfer.PipeHandle != out) {
      return {};
    }
    urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
  });
  Request w = Write(Text(10));
  ASSERT_TRUE(Ends(w, STATUS_UNSUCCESSFUL, 0u));
  EXPECT_EQ(InOutQueue(), 0u);
}

// A chunk whose URB fails fails its write at once with the bytes confirmed
// before it; a chunk the bus ends as when the device drops or a reset aborts
// the pipe, or a stalled pipe, is the shut-down case (a stalled pipe stays
// halted until reset). Either way the queued write is taken up.
struct FailedChunk {
  const char* name;
  int32_t usbd;
  NTSTATUS status;
  NTSTATUS next;
};
void PrintTo(const FailedChunk& c, std::ostream* os) { *os << c.name; }

class FailedChunkTest : public WriteTest, public ::testing::WithParamInterface<FailedChunk> {};

TEST_P(FailedChunkTest, EndsItsWrite) {
  const FailedChunk& c = GetParam();
  Request failed = Write(Text(300));
  Request next = Write(Text(5));
  kernel::clock::RunUntilIdle();  // four chunks fill the transmit FIFO, the fifth waits for room
  Chip().FailNext(chip::Pipe::BulkOut, c.usbd);
  ASSERT_TRUE(Ends(failed, c.status, 128u));
  ASSERT_TRUE(Ends(next, c.next));
  EXPECT_EQ(InOutQueue(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Statuses, FailedChunkTest,
                         ::testing::Values(FailedChunk{"UrbFailed", USBD_STATUS_INVALID_PARAMETER,
                                                       STATUS_INVALID_PARAMETER, STATUS_SUCCESS},
                                           FailedChunk{"Stalled", USBD_STATUS_STALL_PID,
                                                       STATUS_DELETE_PENDING, STATUS_DELETE_PENDING},
                                           FailedChunk{"Cancelled", USBD_STATUS_CANCELED,
                                                       STATUS_DELETE_PENDING, STATUS_SUCCESS}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace port_test
