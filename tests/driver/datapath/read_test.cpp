// Read requests under the serial timeouts: completion at entry, total
// timeouts on the one read timer, the bulk-in path's own rules (return what
// is present, the interval in units of 10 ms, RXCHAR), and cancellation.
#include "support/open_port_fixture.h"

namespace port_test {
namespace {

constexpr ULONG Max = 0xFFFFFFFF;
constexpr int64_t kPending = -1;

// Ends of a read `start` was issued at: status and byte count `afterMs`
// later, or still pending two seconds on with kPending.
class ReadTest : public OpenPortTest {
 protected:
  void ExpectEnd(const Request& r, int64_t start, NTSTATUS status, ULONG bytes, int64_t afterMs) {
    if (afterMs == kPending) {
      kernel::clock::Sleep(2000 * kMs);
      EXPECT_FALSE(r->done.load());
      return;
    }
    ASSERT_TRUE(Ends(r, status, bytes));
    EXPECT_EQ(r->at - start, afterMs * kMs);
  }
};

struct EntryRow {
  ULONG i, m, k;
  ULONG length;
  ULONG held;  // bytes in the ring before the read
  NTSTATUS status;
  ULONG bytes;
  int64_t afterMs;  // completion time, or kPending
};
const EntryRow kEntryRows[] = {
    {Max, 0, 0, 10, 0, STATUS_SUCCESS, 0, 0},  // return what is present, even nothing
    {Max, 0, 0, 10, 4, STATUS_SUCCESS, 4, 0},
    {0, 0, 0, 4, 6, STATUS_SUCCESS, 4, 0},  // enough held
    {Max, 5, Max, 10, 4, 0, 0, kPending},   // no total timeout
    {Max, 10, 100, 20, 0, STATUS_TIMEOUT, 0, 300},
    {Max, Max, 0, 10, 4, STATUS_TIMEOUT, 4, 0},   // M = MAXULONG counts as 0: due at once
    {Max, Max, 50, 10, 4, STATUS_SUCCESS, 4, 0},  // first bytes: at once with what is held
    {Max, Max, 50, 10, 0, STATUS_TIMEOUT, 0, 50},
    {0, 0, 0, 10, 4, 0, 0, kPending},  // no timeouts at all
    {0, 10, 100, 20, 0, STATUS_TIMEOUT, 0, 300},
    {5, 0, 40, 10, 3, STATUS_TIMEOUT, 3, 40},
    {5, Max, 0, 2, 1, 0, 0, kPending},                       // M = MAXULONG is not special here
    {0, 0xFFFFFFFE, 0xFFFFFFFE, 0xFFFF, 0, 0, 0, kPending},  // huge product: no wrap
};
class EntryRows : public ReadTest, public testing::WithParamInterface<EntryRow> {};

TEST_P(EntryRows, EndAtEntryOrByTheTotal) {
  const EntryRow& row = GetParam();
  if (row.held > 0) Inject(Packet(std::vector<uint8_t>(row.held, 0x61)));
  SetTimeouts(row.i, row.m, row.k);
  int64_t start = Now();
  Request r = Read(row.length);
  kernel::clock::RunUntilIdle();
  ExpectEnd(r, start, row.status, row.bytes, row.afterMs);
}
INSTANTIATE_TEST_SUITE_P(Read, EntryRows, testing::ValuesIn(kEntryRows));

TEST_F(ReadTest, BadReadsAreRefused) {
  Request empty = Read(0);
  ASSERT_TRUE(Ends(empty, STATUS_INVALID_PARAMETER));
  ctx_->DeviceState = 2;
  Inject(Packet({1, 2}));
  Request stopped = Read(1);
  ASSERT_TRUE(Ends(stopped, STATUS_DELETE_PENDING));
  EXPECT_EQ(Held(), 2u);
  ctx_->DeviceState = 1;
}

// The bulk-in completion serves the current read: it completes when enough
// is held, at once with what is present when I is set and M, K are 0, and
// otherwise arms the interval (I in 10 ms units) capped by the total.
struct BulkInRow {
  const char* what;
  ULONG i, m, k;
  ULONG length;
  std::vector<int64_t> arrivals;  // ms after the read, 3 bytes each
  NTSTATUS status;
  ULONG bytes;
  int64_t afterMs;
};
const BulkInRow kBulkInRows[] = {
    {"enough arrives", 0, 0, 0, 9, {10, 20, 30}, STATUS_SUCCESS, 9, 30},
    {"not enough, no timeouts", 0, 0, 0, 10, {10, 20, 30}, 0, 0, kPending},
    {"return what is present", 5, 0, 0, 100, {10}, STATUS_SUCCESS, 3, 10},
    {"interval after the last bytes", 5, 0, 1000, 100, {100}, STATUS_TIMEOUT, 3, 150},
    {"interval restarts with more bytes", 5, 0, 1000, 100, {100, 140, 180}, STATUS_TIMEOUT, 9, 230},
    {"total caps the interval", 5, 0, 1000, 100, {920, 960}, STATUS_TIMEOUT, 6, 1000},
    {"a total of centuries leaves the interval alone",
     5,
     0xFFFFFFFE,
     0,
     212000,
     {100},
     STATUS_TIMEOUT,
     3,
     150},
    {"interval of MAXULONG never arms", Max, 1, Max, 100, {10}, 0, 0, kPending},
    {"first bytes end a MAXULONG/MAXULONG/K read", Max, Max, 0xFFFFFFFE, 100, {10}, STATUS_SUCCESS, 3, 10},
    {"MAXULONG/MAXULONG/MAXULONG waits for the length", Max, Max, Max, 100, {10}, 0, 0, kPending},
};
class BulkInRows : public ReadTest, public testing::WithParamInterface<BulkInRow> {};

TEST_P(BulkInRows, EndAsTheBytesCome) {
  const BulkInRow& row = GetParam();
  SCOPED_TRACE(row.what);
  SetTimeouts(row.i, row.m, row.k);
  int64_t start = Now();
  Request r = Read(row.length);
  uint8_t next = 0;
  for (int64_t at : row.arrivals) {
    kernel::clock::Sleep(start + at * kMs - Now());
    Inject(Packet({next, uint8_t(next + 1), uint8_t(next + 2)}));
    next += 3;
  }
  ExpectEnd(r, start, row.status, row.bytes, row.afterMs);
  for (ULONG b = 0; b < r->information; ++b) EXPECT_EQ(r->data[b], b);
}
INSTANTIATE_TEST_SUITE_P(Read, BulkInRows, testing::ValuesIn(kBulkInRows));

// SERIAL_EV_RXCHAR recorded and wanted, with no wait to take it: every
// bulk-in completion ends the current read with what is held, even nothing.
TEST_F(ReadTest, RecordedRxcharEndsTheReadAtTheNextTransfer) {
  ASSERT_EQ(SetWaitMask(SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  Inject(Packet({}));
  EXPECT_EQ(Shared(ctx_->HistoryMask), ULONG(SERIAL_EV_RXCHAR));
  Request r = Read(10);
  Inject(Packet({}));
  ASSERT_TRUE(Ends(r, STATUS_SUCCESS, 0u));
}

TEST_F(ReadTest, CancellingAQueuedOrCurrentReadEndsItAndLeavesTheBytes) {
  SetTimeouts(0, 0, 300);
  Request queued = Read(10);
  kernel::clock::Sleep(100 * kMs);
  kernel::io::CancelUserRequests(file_);
  ASSERT_TRUE(Ends(queued, STATUS_CANCELLED, 0u));
  EXPECT_FALSE(KeCancelTimer(&ctx_->ReadTimer));  // nothing left armed

  SetTimeouts(0, 0, 0);
  Request current = Read(10);
  Inject(Packet({1, 2}));  // makes it current, not enough to end it
  kernel::io::CancelUserRequests(file_);
  ASSERT_TRUE(Ends(current, STATUS_CANCELLED, 0u));
  EXPECT_EQ(Held(), 2u);
}

// Bytes reach reads in the order the reads were issued, and a read that
// becomes current takes at once what the ring already holds.
TEST_F(ReadTest, ReadsTakeTheBytesInTheOrderIssued) {
  Request first = Read(10);
  Inject(Packet({1, 2, 3, 4, 5}));
  Request second = Read(3);
  kernel::clock::RunUntilIdle();
  EXPECT_FALSE(second->done.load());
  Inject(Packet({6, 7, 8, 9, 10, 11, 12, 13}));
  ASSERT_TRUE(Await(first));
  ASSERT_TRUE(Await(second));
  EXPECT_EQ(first->Bytes(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(second->Bytes(), (std::vector<uint8_t>{11, 12, 13}));
}

// Each read ends by its own total, counted from when it was issued, the
// second one 100 ms after the first, on an idle line.
TEST_F(ReadTest, EachReadEndsByItsOwnTotal) {
  struct Row {
    ULONG firstK, secondK;
    int64_t firstEndMs, secondEndMs;
  } rows[] = {
      {500, 1000, 500, 1100}, {500, 200, 500, 500},  // ran out while it waited its turn
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.secondK);
    SetTimeouts(0, 0, row.firstK);
    int64_t start = Now();
    Request first = Read(10);
    kernel::clock::Sleep(100 * kMs);
    SetTimeouts(0, 0, row.secondK);
    Request second = Read(10);
    ASSERT_TRUE(Await(first));
    ASSERT_TRUE(Await(second));
    EXPECT_EQ(first->status, STATUS_TIMEOUT);
    EXPECT_EQ(second->status, STATUS_TIMEOUT);
    EXPECT_EQ(first->at - start, row.firstEndMs * kMs);
    EXPECT_EQ(second->at - start, row.secondEndMs * kMs);
  }
}

}  // namespace
}  // namespace port_test
