#include "context/io_count.h"
#include "context/port_defaults.h"
#include "port_context_fixture.h"

namespace {

class IoCount : public PortContextTest {
 protected:
  void SetUp() override {
    PortContextTest::SetUp();
    ASSERT_EQ(InitializePortDefaults(device_), STATUS_SUCCESS);
  }
};

enum class Op { Increment, Decrement };

// A port's life: AddDevice's increment, requests coming and going, and the
// removal's final decrement. The events follow the count at every step, at
// PASSIVE_LEVEL and at DISPATCH_LEVEL alike.
TEST_F(IoCount, EventsFollowTheCount) {
  struct Step {
    Op op;
    KIRQL irql;
    LONG count;
    bool stopSignalled, removeSignalled;
  };
  const Step steps[] = {
      {Op::Increment, PASSIVE_LEVEL, 1, false, false},   // AddDevice
      {Op::Increment, PASSIVE_LEVEL, 2, false, false},   // a request starts
      {Op::Decrement, PASSIVE_LEVEL, 1, true, false},    // 2 -> 1 signals StopEvent
      {Op::Increment, DISPATCH_LEVEL, 2, false, false},  // 1 -> 2 clears it again
      {Op::Increment, PASSIVE_LEVEL, 3, false, false},
      {Op::Decrement, DISPATCH_LEVEL, 2, false, false},
      {Op::Decrement, DISPATCH_LEVEL, 1, true, false},
      {Op::Decrement, PASSIVE_LEVEL, 0, true, true},     // removal: 1 -> 0 signals RemoveEvent
  };
  int index = 0;
  for (const Step& step : steps) {
    KIRQL oldIrql;
    KeRaiseIrql(step.irql, &oldIrql);
    LONG result = step.op == Op::Increment ? IoIncrement(device_) : IoDecrement(device_);
    KeLowerIrql(oldIrql);
    EXPECT_EQ(result, step.count) << "step " << index;
    EXPECT_EQ(context_->OutstandingIo, step.count) << "step " << index;
    EXPECT_EQ(KeReadStateEvent(&context_->StopEvent) != 0, step.stopSignalled) << "step " << index;
    EXPECT_EQ(KeReadStateEvent(&context_->RemoveEvent) != 0, step.removeSignalled) << "step " << index;
    ++index;
  }
}

struct Worker {
  PDEVICE_OBJECT device;
  int rounds;
};

void CountUpAndDown(PVOID context) {
  auto* worker = static_cast<Worker*>(context);
  for (int i = 0; i < worker->rounds; ++i) {
    IoIncrement(worker->device);
    IoDecrement(worker->device);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// Threads that bracket their work with an increment and a decrement leave
// the count where it was, with StopEvent signalled, and removal waiting on
// RemoveEvent is woken by the last decrement.
TEST_F(IoCount, ConcurrentRequestsLeaveTheCountBalanced) {
  ASSERT_EQ(IoIncrement(device_), 1);  // AddDevice
  Worker worker{device_, 200};
  constexpr int kThreads = 4;
  PKTHREAD threads[kThreads] = {};
  for (PKTHREAD& thread : threads) {
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, CountUpAndDown,
                                   &worker),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    thread = static_cast<PKTHREAD>(object);
  }
  for (PKTHREAD thread : threads) {
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    ObDereferenceObject(thread);
  }

  EXPECT_EQ(context_->OutstandingIo, 1);
  EXPECT_NE(KeReadStateEvent(&context_->StopEvent), 0);
  EXPECT_EQ(KeReadStateEvent(&context_->RemoveEvent), 0);
  EXPECT_EQ(IoDecrement(device_), 0);
  LARGE_INTEGER noWait{};
  EXPECT_EQ(KeWaitForSingleObject(&context_->RemoveEvent, Executive, KernelMode, FALSE, &noWait), STATUS_SUCCESS);
}

}  // namespace
