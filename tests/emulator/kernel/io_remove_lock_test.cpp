// Remove locks: acquisitions succeed until release-and-wait begins, which
// then blocks until every other holder has released.
#include <atomic>

#include "io_fixture.h"

namespace iotest {
namespace {

using IoRemoveLock = IoTest;

struct LockUser {
  IO_REMOVE_LOCK* lock;
  KEVENT release;   // tells the holder to release
  KEVENT acquired;  // the holder has its acquisition
  std::atomic<bool> released{false};
};

VOID NTAPI HoldUntilTold(PVOID context) {
  auto* user = static_cast<LockUser*>(context);
  EXPECT_EQ(IoAcquireRemoveLock(user->lock, user), STATUS_SUCCESS);
  KeSetEvent(&user->acquired, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&user->release, Executive, KernelMode, FALSE, nullptr);
  user->released.store(true);
  IoReleaseRemoveLock(user->lock, user);
}

TEST_F(IoRemoveLock, AcquireAndReleaseBalanceEveryTag) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0, 0, 0);
  int tags[3];
  for (int& tag : tags) EXPECT_EQ(IoAcquireRemoveLock(&lock, &tag), STATUS_SUCCESS);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &tags[0]), STATUS_SUCCESS);  // a tag may hold twice
  EXPECT_EQ(lock.Common.IoCount, 5);
  for (int& tag : tags) IoReleaseRemoveLock(&lock, &tag);
  IoReleaseRemoveLock(&lock, &tags[0]);
  EXPECT_EQ(lock.Common.IoCount, 1);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
  const int64_t start = Now();
  IoReleaseRemoveLockAndWait(&lock, nullptr);  // no other holder: returns at once
  EXPECT_EQ(Now(), start);
  EXPECT_TRUE(lock.Common.Removed);
  EXPECT_EQ(lock.Common.IoCount, 0);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
}

TEST_F(IoRemoveLock, ReleaseAndWaitBlocksUntilEveryHolderReleased) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0, 0, 0);
  constexpr int kHolders = 3;
  LockUser users[kHolders];
  HANDLE handles[kHolders];
  for (int i = 0; i < kHolders; ++i) {
    users[i].lock = &lock;
    KeInitializeEvent(&users[i].release, NotificationEvent, FALSE);
    KeInitializeEvent(&users[i].acquired, NotificationEvent, FALSE);
    ASSERT_EQ(PsCreateSystemThread(&handles[i], THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, HoldUntilTold,
                                   &users[i]),
              STATUS_SUCCESS);
    ZwClose(handles[i]);
    KeWaitForSingleObject(&users[i].acquired, Executive, KernelMode, FALSE, nullptr);
  }
  // The holders release one by one, 10 ms apart; the remover must outlast them.
  for (int i = 0; i < kHolders; ++i)
    kernel::clock::ScheduleAfter((i + 1) * 10 * kMs,
                                 [&user = users[i]] { KeSetEvent(&user.release, 0, FALSE); });
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &lock), STATUS_SUCCESS);
  const int64_t start = Now();
  IoReleaseRemoveLockAndWait(&lock, &lock);
  EXPECT_EQ(Now() - start, kHolders * 10 * kMs);
  for (const LockUser& user : users) EXPECT_TRUE(user.released.load());
  EXPECT_EQ(lock.Common.IoCount, 0);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &lock), STATUS_DELETE_PENDING);
  kernel::clock::RunUntilIdle();  // the holders' threads end
}

}  // namespace
}  // namespace iotest
