#include "driver/context/port_defaults.h"

#include "driver/context/port_context.h"

namespace {

constexpr UCHAR DefaultXonChar = 0x11;
constexpr UCHAR DefaultXoffChar = 0x13;
constexpr LONG DefaultXonLimit = 100;
constexpr LONG DefaultXoffLimit = 300;

VOID InitializeIoCount(PPORT_DEVICE_CONTEXT context) {
  KeInitializeEvent(&context->RemoveEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&context->StopEvent, NotificationEvent, FALSE);
  KeInitializeSpinLock(&context->IoCountLock);
}

VOID SetDefaultSerialSettings(PPORT_DEVICE_CONTEXT context) {
  context->BaudRate = DefaultBaudRate;
  context->LineControl.StopBits = STOP_BIT_1;
  context->LineControl.Parity = NO_PARITY;
  context->LineControl.WordLength = 8;
  context->SpecialChars.XonChar = DefaultXonChar;
  context->SpecialChars.XoffChar = DefaultXoffChar;
  context->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
  context->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
  context->HandFlow.XonLimit = DefaultXonLimit;
  context->HandFlow.XoffLimit = DefaultXoffLimit;
  // Every start sets it again; giving it now means a port never has a chunk
  // size of 0, which would stall every write.
  context->MaxWriteLength = DefaultMaxWriteLength;
}

VOID InitializeRequestQueues(PPORT_DEVICE_CONTEXT context) {
  InitializeListHead(&context->ReadQueue);
  InitializeListHead(&context->WriteQueue);
  KeInitializeSpinLock(&context->ReadQueueLock);
  KeInitializeSpinLock(&context->WriteQueueLock);
  KeInitializeSpinLock(&context->ReceiveBufferLock);
}

}  // namespace

NTSTATUS InitializePortDefaults(PDEVICE_OBJECT DeviceObject) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  context->DeviceObject = DeviceObject;
  InitializeIoCount(context);
  SetDefaultSerialSettings(context);
  NTSTATUS status = InitQueueBuffer(&context->ReceiveBuffer, ReceiveBufferInitialSize);
  InitializeRequestQueues(context);
  return status;
}
