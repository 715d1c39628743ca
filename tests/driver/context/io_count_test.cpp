#include "driver/context/io_count.h"
#include "driver/context/port_defaults.h"
#include "port_context_fixture.h"

namespace {

using IoCount = PortContextTest;

// A port's life: AddDevice's increment, requests coming and going, and the
// removal's final decrement. The events follow the count at every step, at
// PASSIVE_LEVEL and at DISPATCH_LEVEL alike.
TEST_F(IoCount, EventsFollowTheCount) {
  ASSERT_EQ(InitializePortDefaults(device_), STATUS_SUCCESS);
  struct Step {
    LONG (*op)(PDEVICE_OBJECT);
    KIRQL irql;
    LONG count;
    bool stopSignalled, removeSignalled;
  };
  const Step steps[] = {
      {IoIncrement, PASSIVE_LEVEL, 1, false, false},   // AddDevice
      {IoIncrement, PASSIVE_LEVEL, 2, false, false},   // a request starts
      {IoDecrement, PASSIVE_LEVEL, 1, true, false},    // 2 -> 1 signals StopEvent
      {IoIncrement, DISPATCH_LEVEL, 2, false, false},  // 1 -> 2 clears it
      {IoIncrement, PASSIVE_LEVEL, 3, false, false},
      {IoDecrement, DISPATCH_LEVEL, 2, false, false},
      {IoDecrement, DISPATCH_LEVEL, 1, true, false},
      {IoDecrement, PASSIVE_LEVEL, 0, true, true},  // removal: 1 -> 0 signals RemoveEvent
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    const Step& step = steps[i];
    KIRQL oldIrql;
    KeRaiseIrql(step.irql, &oldIrql);
    EXPECT_EQ(step.op(device_), step.count) << "step " << i;
    KeLowerIrql(oldIrql);
    EXPECT_EQ(context_->OutstandingIo, step.count) << "step " << i;
    EXPECT_EQ(KeReadStateEvent(&context_->StopEvent) != 0, step.stopSignalled) << "step " << i;
    EXPECT_EQ(KeReadStateEvent(&context_->RemoveEvent) != 0, step.removeSignalled) << "step " << i;
  }
}

}  // namespace
