// One table row per control code: its log name and its handler, and for the
// standard requests the buffer rule the dispatcher applies before the
// handler runs. A vendor row without a handler is a code the port knows by
// name but does not serve; it takes the unknown-code path like a code with no
// row. Routing a vendor code is filling in its row's handler.
#include "driver/ioctl/control_dispatch.h"

#include "driver/context/debug_log.h"
#include "driver/context/io_count.h"
#include "driver/context/request_completion.h"
#include "driver/ioctl/config_requests.h"
#include "driver/ioctl/line_status_requests.h"
#include "driver/ioctl/vendor_access.h"
#include "driver/ioctl/vendor_config.h"
#include "driver/datapath/wait_mask.h"

namespace {

enum class BufferRule : UCHAR {
  None,            // no buffer is looked at
  InputAtLeast,    // shorter: STATUS_BUFFER_TOO_SMALL
  OutputAtLeast,   // shorter: STATUS_BUFFER_TOO_SMALL
  InputExactly,    // any other length: STATUS_INVALID_PARAMETER
  OutputExactly,   // any other length: STATUS_INVALID_PARAMETER
  NotImplemented,  // STATUS_NOT_IMPLEMENTED whatever the buffers
};

// Row flags.
constexpr UCHAR NoBuffersInvalidSize = 0x01;  // no buffers at all: STATUS_INVALID_BUFFER_SIZE
constexpr UCHAR TakesOverRequest = 0x02;      // the handler completes or pends the request itself

// A standard serial request.
struct ControlEntry {
  ULONG Code;
  PCSTR Name;  // null: logged as "UnKnown ioctl"
  BufferRule Rule;
  ULONG Size;
  UCHAR Flags;
  PCSTR EntryNote;  // logged before the buffers are checked; may be null
  PCONTROL_HANDLER Handler;
};

// A vendor request. Its handler checks its own buffers.
struct VendorEntry {
  ULONG Code;
  PCSTR Name;  // null: logged as "UnKnown ioctl"
  // Needs a working device; the dispatcher holds an OutstandingIo count while
  // the handler runs.
  BOOLEAN UsbLevel;
  PCONTROL_HANDLER Handler;
};

constexpr ULONG SerialCode(ULONG function) { return (FILE_DEVICE_SERIAL_PORT << 16) | (function << 2); }

// The comm-config pair has no name in every kernel header set.
constexpr ULONG GetCommConfigCode = SerialCode(33);
constexpr ULONG SetCommConfigCode = SerialCode(34);

// Takes the request over: completes it or leaves it pending.
NTSTATUS IoctlWaitOnMask(PPORT_DEVICE_CONTEXT Context, PCONTROL_REQUEST Request) {
  return SerialWaitOnMask(Context, Request->Irp);
}

using R = BufferRule;

const ControlEntry ControlTable[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, "IOCTL_SERIAL_SET_BAUD_RATE", R::InputExactly, sizeof(SERIAL_BAUD_RATE), 0,
     nullptr, IoctlSetBaudRate},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, "IOCTL_SERIAL_SET_QUEUE_SIZE", R::InputAtLeast, sizeof(SERIAL_QUEUE_SIZE),
     NoBuffersInvalidSize, nullptr, IoctlSetQueueSize},
    {IOCTL_SERIAL_SET_LINE_CONTROL, "IOCTL_SERIAL_SET_LINE_CONTROL", R::InputAtLeast,
     sizeof(SERIAL_LINE_CONTROL), 0, nullptr, IoctlSetLineControl},
    {IOCTL_SERIAL_SET_BREAK_ON, "IOCTL_SERIAL_SET_BREAK_ON", R::None, 0, 0, nullptr, IoctlSetBreakOn},
    {IOCTL_SERIAL_SET_BREAK_OFF, "IOCTL_SERIAL_SET_BREAK_OFF", R::None, 0, 0, nullptr, IoctlSetBreakOff},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, "IOCTL_SERIAL_IMMEDIATE_CHAR", R::NotImplemented, 0, 0, nullptr, nullptr},
    {IOCTL_SERIAL_SET_TIMEOUTS, "IOCTL_SERIAL_SET_TIMEOUTS", R::InputAtLeast, sizeof(SERIAL_TIMEOUTS), 0,
     nullptr, IoctlSetTimeouts},
    {IOCTL_SERIAL_GET_TIMEOUTS, "IOCTL_SERIAL_GET_TIMEOUTS", R::OutputAtLeast, sizeof(SERIAL_TIMEOUTS), 0,
     nullptr, IoctlGetTimeouts},
    {IOCTL_SERIAL_SET_DTR, "IOCTL_SERIAL_SET_DTR", R::None, 0, 0, nullptr, IoctlSetDtr},
    {IOCTL_SERIAL_CLR_DTR, "IOCTL_SERIAL_CLR_DTR", R::None, 0, 0, nullptr, IoctlClrDtr},
    {IOCTL_SERIAL_RESET_DEVICE, "IOCTL_SERIAL_RESET_DEVICE", R::NotImplemented, 0, 0, nullptr, nullptr},
    {IOCTL_SERIAL_SET_RTS, "IOCTL_SERIAL_SET_RTS", R::None, 0, 0, nullptr, IoctlSetRts},
    {IOCTL_SERIAL_CLR_RTS, "IOCTL_SERIAL_CLR_RTS", R::None, 0, 0, nullptr, IoctlClrRts},
    {IOCTL_SERIAL_SET_XOFF, "IOCTL_SERIAL_SET_XOFF", R::None, 0, 0, nullptr, IoctlSetXoff},
    {IOCTL_SERIAL_SET_XON, "IOCTL_SERIAL_SET_XON", R::None, 0, 0, nullptr, IoctlSetXon},
    {IOCTL_SERIAL_GET_WAIT_MASK, "IOCTL_SERIAL_GET_WAIT_MASK", R::OutputAtLeast, sizeof(ULONG), 0, nullptr,
     IoctlGetWaitMask},
    {IOCTL_SERIAL_SET_WAIT_MASK, "IOCTL_SERIAL_SET_WAIT_MASK", R::InputAtLeast, sizeof(ULONG), 0,
     "-- IOCTL_SERIAL_SET_WAIT_MASK\n", IoctlSetWaitMask},
    {IOCTL_SERIAL_WAIT_ON_MASK, "IOCTL_SERIAL_WAIT_ON_MASK", R::OutputAtLeast, sizeof(ULONG),
     TakesOverRequest, "-- IOCTL_SERIAL_WAIT_ON_MASK\n", IoctlWaitOnMask},
    {IOCTL_SERIAL_PURGE, "IOCTL_SERIAL_PURGE", R::InputAtLeast, sizeof(ULONG), 0, nullptr, IoctlPurge},
    {IOCTL_SERIAL_GET_BAUD_RATE, "IOCTL_SERIAL_GET_BAUD_RATE", R::OutputAtLeast, sizeof(SERIAL_BAUD_RATE), 0,
     nullptr, IoctlGetBaudRate},
    {IOCTL_SERIAL_GET_LINE_CONTROL, "IOCTL_SERIAL_GET_LINE_CONTROL", R::OutputAtLeast,
     sizeof(SERIAL_LINE_CONTROL), NoBuffersInvalidSize, nullptr, IoctlGetLineControl},
    {IOCTL_SERIAL_GET_CHARS, "IOCTL_SERIAL_GET_CHARS", R::OutputAtLeast, sizeof(SERIAL_CHARS), 0, nullptr,
     IoctlGetChars},
    {IOCTL_SERIAL_SET_CHARS, "IOCTL_SERIAL_SET_CHARS", R::InputAtLeast, sizeof(SERIAL_CHARS), 0, nullptr,
     IoctlSetChars},
    {IOCTL_SERIAL_GET_HANDFLOW, "IOCTL_SERIAL_GET_HANDFLOW", R::OutputAtLeast, sizeof(SERIAL_HANDFLOW), 0,
     nullptr, IoctlGetHandFlow},
    {IOCTL_SERIAL_SET_HANDFLOW, "IOCTL_SERIAL_SET_HANDFLOW", R::InputAtLeast, sizeof(SERIAL_HANDFLOW), 0,
     nullptr, IoctlSetHandFlow},
    {IOCTL_SERIAL_GET_MODEMSTATUS, "IOCTL_SERIAL_GET_MODEMSTATUS", R::OutputAtLeast, sizeof(ULONG), 0,
     nullptr, IoctlGetModemStatus},
    {IOCTL_SERIAL_GET_COMMSTATUS, "IOCTL_SERIAL_GET_COMMSTATUS", R::OutputAtLeast, sizeof(SERIAL_STATUS), 0,
     nullptr, IoctlGetCommStatus},
    {IOCTL_SERIAL_XOFF_COUNTER, "IOCTL_SERIAL_XOFF_COUNTER", R::NotImplemented, 0, 0, nullptr, nullptr},
    {IOCTL_SERIAL_GET_PROPERTIES, "IOCTL_SERIAL_GET_PROPERTIES", R::OutputAtLeast, sizeof(SERIAL_COMMPROP), 0,
     nullptr, IoctlGetProperties},
    {IOCTL_SERIAL_GET_DTRRTS, "IOCTL_SERIAL_GET_DTRRTS", R::NotImplemented, 0, 0, nullptr, nullptr},
    {IOCTL_SERIAL_LSRMST_INSERT, "IOCTL_SERIAL_LSRMST_INSERT", R::NotImplemented, 0, 0, nullptr, nullptr},
    {IOCTL_SERIAL_CONFIG_SIZE, "IOCTL_SERIAL_CONFIG_SIZE", R::OutputExactly, sizeof(ULONG), 0, nullptr,
     IoctlConfigSize},
    {GetCommConfigCode, nullptr, R::None, 0, 0, nullptr, IoctlCommConfig},
    {SetCommConfigCode, nullptr, R::None, 0, 0, nullptr, IoctlCommConfig},
    {IOCTL_SERIAL_GET_STATS, "IOCTL_SERIAL_GET_STATS", R::OutputAtLeast, sizeof(SERIALPERF_STATS), 0, nullptr,
     IoctlGetStats},
    {IOCTL_SERIAL_CLEAR_STATS, "IOCTL_SERIAL_CLEAR_STATS", R::None, 0, 0, nullptr, IoctlClearStats},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, "IOCTL_SERIAL_GET_MODEM_CONTROL", R::OutputAtLeast, sizeof(ULONG), 0,
     nullptr, IoctlGetModemControl},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, "IOCTL_SERIAL_SET_MODEM_CONTROL", R::InputAtLeast, sizeof(ULONG), 0,
     nullptr, IoctlSetModemControl},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, "IOCTL_SERIAL_SET_FIFO_CONTROL", R::InputAtLeast, sizeof(ULONG), 0,
     nullptr, IoctlSetFifoControl},

};

const VendorEntry VendorTable[] = {
    {IOCTL_GET_PORT_BAUDRATE, "IOCTL_GET_PORT_BAUDRATE", FALSE, IoctlGetPortBaudRate},
    {IOCTL_SET_PORT_BAUDRATE, "IOCTL_SET_PORT_BAUDRATE", FALSE, IoctlSetPortBaudRate},
    {IOCTL_GET_PORT_MODE, "IOCTL_GET_PORT_MODE", FALSE, IoctlGetPortMode},
    {IOCTL_SET_PORT_MODE, "IOCTL_SET_PORT_MODE", FALSE, IoctlSetPortMode},
    {IOCTL_SET_PORT_NAME, "IOCTL_SET_PORT_NAME", FALSE, IoctlSetPortName},
    {IOCTL_GET_PORT_INDEX, nullptr, FALSE, IoctlGetPortIndex},
    {IOCTL_GET_MAX_WRITE_LENGTH, nullptr, FALSE, IoctlGetMaxWriteLength},
    {IOCTL_SET_MAX_WRITE_LENGTH, nullptr, FALSE, IoctlSetMaxWriteLength},
    {IOCTL_GET_RX_FIFO_TRIGGER, nullptr, FALSE, IoctlGetRxFifoTrigger},
    {IOCTL_SET_RX_FIFO_TRIGGER, nullptr, FALSE, IoctlSetRxFifoTrigger},
    {IOCTL_I2C_READ_BYTE, nullptr, FALSE, IoctlI2cReadByte},
    {IOCTL_I2C_WRITE_BYTE, nullptr, FALSE, IoctlI2cWriteByte},
    {IOCTL_RESET_PIPE, nullptr, TRUE, IoctlResetPipe},
    {IOCTL_GET_CONFIG_DESCRIPTOR, nullptr, TRUE, IoctlGetConfigDescriptor},
    {IOCTL_RESET_PORT, nullptr, TRUE, IoctlResetPort},
    {IOCTL_READ_REGISTER, nullptr, FALSE, IoctlReadRegister},
    {IOCTL_WRITE_REGISTER, nullptr, FALSE, IoctlWriteRegister},
    {IOCTL_FEATURE_CLEAR, nullptr, FALSE, IoctlFeatureClear},
    {IOCTL_FEATURE_SET, "IOCTL_FEATURE_SET", FALSE, IoctlFeatureSet},
};

static_assert(IOCTL_SERIAL_SET_BAUD_RATE == SerialCode(1) && IOCTL_SERIAL_SET_FIFO_CONTROL == SerialCode(39),
              "standard codes are device type 0x1B, functions 1 to 39, buffered, any access");

template <class Entry, size_t N>
const Entry* FindIn(const Entry (&table)[N], ULONG code) {
  for (const Entry& entry : table) {
    if (entry.Code == code) {
      return &entry;
    }
  }
  return nullptr;
}

BOOLEAN HasNoBuffers(const CONTROL_REQUEST& request) {
  return request.InputLength == 0 && request.OutputLength == 0;
}

// Lengths first, then the buffer's presence, so a short request is told it is
// short even when it brought no buffer.
NTSTATUS CheckBuffers(const ControlEntry& entry, const CONTROL_REQUEST& request) {
  if ((entry.Flags & NoBuffersInvalidSize) != 0 && HasNoBuffers(request)) {
    return STATUS_INVALID_BUFFER_SIZE;
  }
  switch (entry.Rule) {
    case BufferRule::None:
      return STATUS_SUCCESS;
    case BufferRule::NotImplemented:
      return STATUS_NOT_IMPLEMENTED;
    case BufferRule::InputAtLeast:
      if (request.InputLength < entry.Size) return STATUS_BUFFER_TOO_SMALL;
      break;
    case BufferRule::OutputAtLeast:
      if (request.OutputLength < entry.Size) return STATUS_BUFFER_TOO_SMALL;
      break;
    case BufferRule::InputExactly:
      if (request.InputLength != entry.Size) return STATUS_INVALID_PARAMETER;
      break;
    case BufferRule::OutputExactly:
      if (request.OutputLength != entry.Size) return STATUS_INVALID_PARAMETER;
      break;
  }
  return request.Buffer == nullptr ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

CONTROL_REQUEST DescribeRequest(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  CONTROL_REQUEST request{};
  request.Irp = irp;
  request.IoControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
  request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  if ((request.IoControlCode & 3) == METHOD_BUFFERED) {
    request.Buffer = irp->AssociatedIrp.SystemBuffer;
  }
  return request;
}

NTSTATUS UnknownCode(const CONTROL_REQUEST& request) {
  return HasNoBuffers(request) ? STATUS_INVALID_BUFFER_SIZE : STATUS_INVALID_PARAMETER;
}

NTSTATUS DispatchStandard(PPORT_DEVICE_CONTEXT context, const ControlEntry& entry, PCONTROL_REQUEST request) {
  if (entry.EntryNote != nullptr) {
    DebugLog(context->DeviceObject, "%s", entry.EntryNote);
  }
  NTSTATUS status = CheckBuffers(entry, *request);
  if (!NT_SUCCESS(status)) {
    return CompleteIrpWithInfo(request->Irp, status, 0);
  }
  if ((entry.Flags & TakesOverRequest) != 0) {
    return entry.Handler(context, request);
  }
  status = entry.Handler(context, request);
  return CompleteIrpWithInfo(request->Irp, status, request->Information);
}

NTSTATUS DispatchVendor(PPORT_DEVICE_CONTEXT context, const VendorEntry& entry, PCONTROL_REQUEST request) {
  if (entry.UsbLevel && context->DeviceState != PnpStateWorking) {
    return CompleteIrpWithInfo(request->Irp, STATUS_DELETE_PENDING, 0);
  }
  if (entry.UsbLevel) IoIncrement(context->DeviceObject);
  NTSTATUS status = entry.Handler(context, request);
  if (entry.UsbLevel) IoDecrement(context->DeviceObject);
  return CompleteIrpWithInfo(request->Irp, status, request->Information);
}

}  // namespace

NTSTATUS DispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPORT_DEVICE_CONTEXT context = GetPortContext(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  CONTROL_REQUEST request = DescribeRequest(Irp);
  const ControlEntry* standard = FindIn(ControlTable, request.IoControlCode);
  const VendorEntry* vendor = FindIn(VendorTable, request.IoControlCode);
  PCSTR name = standard != nullptr ? standard->Name : vendor != nullptr ? vendor->Name : nullptr;
  DebugLog(DeviceObject, " - DispatchControl code %s\n", name != nullptr ? name : "UnKnown ioctl");

  if (standard != nullptr) {
    return DispatchStandard(context, *standard, &request);
  }
  if (vendor != nullptr) {
    return DispatchVendor(context, *vendor, &request);
  }
  return CompleteIrpWithInfo(Irp, UnknownCode(request), 0);
}
