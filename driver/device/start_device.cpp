#include "driver/device/start_device.h"

#include "driver/context/pool.h"
#include "driver/context/request_completion.h"
#include "driver/context/shared_flags.h"
#include "driver/device/pnp.h"
#include "driver/device/settings_file.h"
#include "driver/device/worker_threads.h"
#include "driver/uart/register_access.h"
#include "driver/uart/register_map.h"

namespace {

constexpr ULONG DeviceDescriptorSize = sizeof(USB_DEVICE_DESCRIPTOR);  // 18
constexpr ULONG BcdDeviceHighByte = 13;
constexpr USHORT DescriptorUrbSize = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);  // 0x88
constexpr ULONG InterfacePipeCount = 3;  // interrupt-in, bulk-in, bulk-out
constexpr UCHAR ProbeInterruptEnable = 0x0F;

IO_COMPLETION_ROUTINE SignalForwardDone;
NTSTATUS SignalForwardDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Reads descriptor `type` into `buffer`; `*transferred` gets the bytes moved.
NTSTATUS GetDescriptor(PPORT_DEVICE_CONTEXT context, PURB urb, UCHAR type, PVOID buffer, ULONG size,
                       PULONG transferred) {
  RtlZeroMemory(urb, DescriptorUrbSize);
  UsbBuildGetDescriptorRequest(urb, DescriptorUrbSize, type, 0, 0, buffer, nullptr, size, nullptr);
  NTSTATUS status = SubmitUrbSync(context, urb);
  if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
  if (transferred != nullptr)
    *transferred = NT_SUCCESS(status) ? urb->UrbControlDescriptorRequest.TransferBufferLength : 0;
  return status;
}

// Replaces a buffer the context owns, freeing the one of an earlier start.
template <class T>
VOID ReplaceBuffer(T*& field, PVOID buffer) {
  FreePoolMemory(field);
  field = static_cast<T*>(buffer);
}

// PortIndex from the high byte of bcdDevice: its low nibble counts ports from 1.
VOID SetPortIndex(PPORT_DEVICE_CONTEXT context, UCHAR bcdDeviceHigh) {
  context->PortIndex = static_cast<ULONG>(static_cast<LONG>(bcdDeviceHigh & 0x0F) - 1);
}

// The slots use the pipes by position; a device that lists them otherwise
// would have its data sent down the wrong pipe.
bool PipesAsExpected(const USBD_INTERFACE_INFORMATION* info) {
  if (info->NumberOfPipes < InterfacePipeCount) return false;
  const USBD_PIPE_INFORMATION* pipes = info->Pipes;
  return pipes[0].PipeType == UsbdPipeTypeInterrupt && USB_ENDPOINT_DIRECTION_IN(pipes[0].EndpointAddress) &&
         pipes[1].PipeType == UsbdPipeTypeBulk && USB_ENDPOINT_DIRECTION_IN(pipes[1].EndpointAddress) &&
         pipes[2].PipeType == UsbdPipeTypeBulk && !USB_ENDPOINT_DIRECTION_IN(pipes[2].EndpointAddress);
}

// The probe reads an unreadable register as 0.
UCHAR ReadOrZero(PPORT_DEVICE_CONTEXT context, USHORT address) {
  UCHAR value = 0;
  ReadRegisterByte(context, address, &value);
  return value;
}

}  // namespace

NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalForwardDone, &done, TRUE, TRUE, TRUE);
  IoCallDriver(context->LowerDeviceObject, Irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return Irp->IoStatus.Status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
  if (!NT_SUCCESS(status)) return CompleteIrp(Irp, status);
  status = ConfigureDevice(DeviceObject);
  if (!NT_SUCCESS(status)) return CompleteIrp(Irp, status);

  IoSetDeviceInterfaceState(&context->InterfaceName, TRUE);
  // A port whose threads or slots could not all be made runs without those
  // parts; the next start tries again.
  StartMsrThread(DeviceObject);
  StartPollingThreads(DeviceObject);
  WriteShared(&context->DeviceState, PnpStateWorking);
  ResumeTransfers(context);  // a write left current, or an open port, by a stop
  context->RemoteWakeArmed = 0;

  UCHAR pins = 0;
  status = ModifyRegisterBits(context, PIN_OUTPUT_REG, PIN_OUTPUT_START_CLEAR, PIN_OUTPUT_CONTROL, &pins);
  if (NT_SUCCESS(status)) context->ChipMode = pins & PIN_OUTPUT_CHIP_MODE;
  WriteShared(&context->Started, 1);
  return CompleteIrp(Irp, status);
}

NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  PVOID descriptor = AllocatePoolMemory(SelectNonPagedPoolType(), DeviceDescriptorSize);
  if (descriptor == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  URB urb;
  NTSTATUS status =
      GetDescriptor(context, &urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor, DeviceDescriptorSize, nullptr);
  if (!NT_SUCCESS(status)) {
    FreePoolMemory(descriptor);
    return status;
  }
  ReplaceBuffer(context->DeviceDescriptor, descriptor);
  status = ReadDescriptors(DeviceObject);
  ProbeUartFifo(context);
  LoadPortSettings(context);
  return status;
}

NTSTATUS ReadDescriptors(PDEVICE_OBJECT DeviceObject) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  PURB urb = static_cast<PURB>(AllocatePoolMemory(SelectNonPagedPoolType(), DescriptorUrbSize));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG size = InitialConfigurationReadSize;
  NTSTATUS status = STATUS_SUCCESS;
  for (;;) {
    PUCHAR device = static_cast<PUCHAR>(AllocatePoolMemory(PagedPool, size));
    if (device == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    // A failed read leaves zeros, not stale pool contents, behind bcdDevice.
    RtlZeroMemory(device, size);
    GetDescriptor(context, urb, USB_DEVICE_DESCRIPTOR_TYPE, device, size, nullptr);
    SetPortIndex(context, device[BcdDeviceHighByte]);
    FreePoolMemory(device);

    PVOID configuration = AllocatePoolMemory(PagedPool, size);
    if (configuration == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    RtlZeroMemory(configuration, size);
    ReplaceBuffer(context->ConfigurationDescriptor, configuration);
    ULONG transferred = 0;
    status =
        GetDescriptor(context, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration, size, &transferred);
    if (transferred < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
      // Nothing to select a configuration from.
      if (NT_SUCCESS(status)) status = STATUS_DEVICE_DATA_ERROR;
      break;
    }
    status = STATUS_SUCCESS;
    ULONG total = context->ConfigurationDescriptor->wTotalLength;
    if (total <= size) break;
    size = total;
    ReplaceBuffer(context->ConfigurationDescriptor, nullptr);
  }
  FreePoolMemory(urb);
  if (!NT_SUCCESS(status)) return status;
  return SelectConfiguration(DeviceObject, context->ConfigurationDescriptor);
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                             PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  PURB urb = nullptr;
  for (ULONG attempt = 0; attempt < SelectConfigurationAttempts; ++attempt) {
    USHORT size = 0;
    urb = USBD_CreateConfigurationRequest(ConfigurationDescriptor, &size);
    if (urb == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      continue;
    }
    if (USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, -1, -1, -1, -1,
                                            -1) == nullptr) {
      ExFreePool(urb);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = size;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    status = SubmitUrbSync(context, urb);
    if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
    context->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    if (NT_SUCCESS(status)) break;
    ExFreePool(urb);
    urb = nullptr;
  }
  if (urb == nullptr) return status;

  PUSBD_INTERFACE_INFORMATION selected = &urb->UrbSelectConfiguration.Interface;
  if (!PipesAsExpected(selected)) {
    ExFreePool(urb);
    return STATUS_DEVICE_DATA_ERROR;
  }
  // The worker threads need the pipe list: no copy, no start.
  PVOID copy = AllocatePoolMemory(PagedPool, selected->Length);
  if (copy != nullptr) RtlCopyMemory(copy, selected, selected->Length);
  ExFreePool(urb);
  if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  ReplaceBuffer(context->InterfaceInfo, copy);
  return status;
}

BOOLEAN ProbeUartFifo(PPORT_DEVICE_CONTEXT Context) {
  Context->FifoPresent = 0;
  UCHAR l0 = ReadOrZero(Context, LINE_CONTROL_REGISTER);
  WriteRegisterByte(Context, LINE_CONTROL_REGISTER, UCHAR(l0 & ~LCR_DIVISOR_LATCH_ACCESS));

  UCHAR e0 = ReadOrZero(Context, INTERRUPT_ENABLE_REGISTER);
  WriteRegisterByte(Context, INTERRUPT_ENABLE_REGISTER, IER_MODEM_STATUS);
  UCHAR a = ReadOrZero(Context, INTERRUPT_ENABLE_REGISTER);
  UCHAR b = ReadOrZero(Context, DIVISOR_LATCH_LSB);
  ULONG x = a * 256u + b;

  UCHAR l1 = ReadOrZero(Context, LINE_CONTROL_REGISTER);
  WriteRegisterByte(Context, LINE_CONTROL_REGISTER, l1 | LCR_DIVISOR_LATCH_ACCESS);
  UCHAR p = ReadOrZero(Context, DIVISOR_LATCH_LSB);
  UCHAR q = ReadOrZero(Context, DIVISOR_LATCH_MSB);
  ULONG y = q * 256u + p;

  WriteRegisterByte(Context, LINE_CONTROL_REGISTER, l1);
  WriteRegisterByte(Context, LINE_CONTROL_REGISTER, UCHAR(l0 & ~LCR_DIVISOR_LATCH_ACCESS));
  WriteRegisterByte(Context, INTERRUPT_ENABLE_REGISTER, e0);
  if (x == y) return FALSE;  // the same two bytes either way: no UART behind them

  WriteRegisterByte(Context, INTERRUPT_ENABLE_REGISTER, ProbeInterruptEnable);
  UCHAR trigger = ReceiveTriggerBits(Context->BaudRate, Context->RxFifoTrigger);
  WriteRegisterByte(Context, FIFO_CONTROL_REGISTER, trigger | FCR_ENABLE);
  if ((ReadOrZero(Context, FIFO_CONTROL_REGISTER) & IIR_FIFOS_ENABLED) != 0) {
    Context->FifoPresent = 1;
    WriteRegisterByte(Context, FIFO_CONTROL_REGISTER, 0);
    ReadOrZero(Context, DIVISOR_LATCH_LSB);
    WriteRegisterByte(Context, FIFO_CONTROL_REGISTER, trigger | FCR_ENABLE_AND_RESET);
  }
  if (Context->FifoPresent == 0) WriteRegisterByte(Context, FIFO_CONTROL_REGISTER, 0);
  return TRUE;
}

VOID DeconfigureDevice(PDEVICE_OBJECT DeviceObject, BOOLEAN Send) {
  if (!Send) return;
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
  SubmitUrbSync(GetPortContext(DeviceObject), &urb);
}
