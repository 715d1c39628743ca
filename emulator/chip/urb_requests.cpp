// The URBs a port's device object answers, checked as the USB stack checks
// them: a short header, a missing buffer or an unknown pipe handle fails at
// once with the USBD status a real bus gives; everything else becomes a
// transfer of the model.
#include <cstddef>
#include <cstring>

#include "emulator/chip/usb_port_device.h"
#include "platform/host/usb.h"

namespace chip {
namespace {

constexpr uint32_t kMaxControlLength = 0xFFFF;

bool HeaderCovers(PURB urb, size_t size) { return urb->UrbHeader.Length >= size; }

// Data of a control transfer: a plain buffer (no MDL is mapped here).
bool BufferUsable(PVOID buffer, ULONG length) { return length == 0 || buffer != nullptr; }

NTSTATUS Control(PortDevice& device, PIRP irp, PURB urb, SetupPacket setup, PVOID buffer,
                 ULONG* lengthField) {
  auto data = static_cast<uint8_t*>(buffer);
  return StartTransfer(
      device, irp, urb,
      [urb, lengthField](int32_t status, uint32_t length) {
        if (lengthField != nullptr) *lengthField = length;
        urb->UrbHeader.Status = status;
        return status;
      },
      [&device, setup, data](TransferDone done) {
        return device.port->SubmitControl(setup, data, std::move(done));
      });
}

uint8_t RecipientOf(USHORT function) {
  switch (function) {
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
      return BMREQUEST_TO_INTERFACE;
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
      return BMREQUEST_TO_ENDPOINT;
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_OTHER:
      return BMREQUEST_TO_OTHER;
    default:
      return BMREQUEST_TO_DEVICE;
  }
}

bool IsVendor(USHORT function) {
  return function == URB_FUNCTION_VENDOR_DEVICE || function == URB_FUNCTION_VENDOR_INTERFACE ||
         function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
}

NTSTATUS VendorOrClass(PortDevice& device, PIRP irp, PURB urb) {
  auto& r = urb->UrbControlVendorClassRequest;
  if (!HeaderCovers(urb, sizeof r) || !BufferUsable(r.TransferBuffer, r.TransferBufferLength) ||
      r.TransferBufferLength > kMaxControlLength) {
    return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  bool in = USBD_TRANSFER_DIRECTION_FLAG(r.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
  uint8_t type = IsVendor(r.Hdr.Function) ? BMREQUEST_VENDOR : BMREQUEST_CLASS;
  SetupPacket setup{
      .requestType = static_cast<uint8_t>((in ? 0x80 : 0) | type << 5 | RecipientOf(r.Hdr.Function)),
      .request = r.Request,
      .value = r.Value,
      .index = r.Index,
      .length = static_cast<uint16_t>(r.TransferBufferLength)};
  return Control(device, irp, urb, setup, r.TransferBuffer, &r.TransferBufferLength);
}

NTSTATUS ControlTransfer(PortDevice& device, PIRP irp, PURB urb) {
  auto& r = urb->UrbControlTransfer;
  SetupPacket setup{.requestType = r.SetupPacket[0],
                    .request = r.SetupPacket[1],
                    .value = static_cast<uint16_t>(r.SetupPacket[2] | r.SetupPacket[3] << 8),
                    .index = static_cast<uint16_t>(r.SetupPacket[4] | r.SetupPacket[5] << 8),
                    .length = static_cast<uint16_t>(r.SetupPacket[6] | r.SetupPacket[7] << 8)};
  if (!HeaderCovers(urb, sizeof r) || !BufferUsable(r.TransferBuffer, r.TransferBufferLength) ||
      r.TransferBufferLength < setup.length) {
    return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  return Control(device, irp, urb, setup, r.TransferBuffer, &r.TransferBufferLength);
}

NTSTATUS GetDescriptor(PortDevice& device, PIRP irp, PURB urb) {
  auto& r = urb->UrbControlDescriptorRequest;
  if (!HeaderCovers(urb, sizeof r) || !BufferUsable(r.TransferBuffer, r.TransferBufferLength) ||
      r.TransferBufferLength > kMaxControlLength) {
    return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  SetupPacket setup{.requestType = 0x80,
                    .request = USB_REQUEST_GET_DESCRIPTOR,
                    .value = static_cast<uint16_t>(r.DescriptorType << 8 | r.Index),
                    .index = r.LanguageId,
                    .length = static_cast<uint16_t>(r.TransferBufferLength)};
  return Control(device, irp, urb, setup, r.TransferBuffer, &r.TransferBufferLength);
}

NTSTATUS Feature(PortDevice& device, PIRP irp, PURB urb) {
  auto& r = urb->UrbControlFeatureRequest;
  if (!HeaderCovers(urb, sizeof r)) return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  USHORT f = r.Hdr.Function;
  bool set = f == URB_FUNCTION_SET_FEATURE_TO_DEVICE || f == URB_FUNCTION_SET_FEATURE_TO_INTERFACE ||
             f == URB_FUNCTION_SET_FEATURE_TO_ENDPOINT;
  SetupPacket setup{
      .requestType = RecipientOf(f),
      .request = static_cast<uint8_t>(set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE),
      .value = r.FeatureSelector,
      .index = r.Index};
  return Control(device, irp, urb, setup, nullptr, nullptr);
}

uint8_t EndpointOf(Pipe pipe) {
  switch (pipe) {
    case Pipe::InterruptIn:
      return kInterruptInEndpoint;
    case Pipe::BulkIn:
      return kBulkInEndpoint;
    default:
      return kBulkOutEndpoint;
  }
}

// The host's side of a pipe reset, then CLEAR_FEATURE(ENDPOINT_HALT).
NTSTATUS ResetPipe(PortDevice& device, PIRP irp, PURB urb) {
  auto& r = urb->UrbPipeRequest;
  if (!HeaderCovers(urb, sizeof r)) return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  PipeSlot* slot = OpenPipe(device, r.PipeHandle);
  if (slot == nullptr) return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  SetupPacket setup{.requestType = BMREQUEST_TO_ENDPOINT,
                    .request = USB_REQUEST_CLEAR_FEATURE,
                    .value = USB_FEATURE_ENDPOINT_STALL,
                    .index = EndpointOf(slot->pipe)};
  return Control(device, irp, urb, setup, nullptr, nullptr);
}

NTSTATUS AbortPipe(PortDevice& device, PIRP irp, PURB urb) {
  auto& r = urb->UrbPipeRequest;
  if (!HeaderCovers(urb, sizeof r)) return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  PipeSlot* slot = OpenPipe(device, r.PipeHandle);
  if (slot == nullptr) return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  device.port->AbortPipe(slot->pipe);
  return CompleteUrb(irp, urb, USBD_STATUS_SUCCESS);
}

// The direction is the endpoint's, whatever the flags say, as the host
// controller decides it. An IN transfer that ends short fails unless the
// caller allowed short transfers.
NTSTATUS BulkOrInterrupt(PortDevice& device, PIRP irp, PURB urb) {
  auto& r = urb->UrbBulkOrInterruptTransfer;
  if (!HeaderCovers(urb, sizeof r)) return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  PipeSlot* slot = OpenPipe(device, r.PipeHandle);
  if (slot == nullptr) return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
  bool in = slot->pipe != Pipe::BulkOut;
  if (!BufferUsable(r.TransferBuffer, r.TransferBufferLength) || (in && r.TransferBufferLength == 0)) {
    return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  Pipe pipe = slot->pipe;
  uint32_t requested = r.TransferBufferLength;
  bool shortOk = r.TransferFlags & USBD_SHORT_TRANSFER_OK;
  auto buffer = static_cast<uint8_t*>(r.TransferBuffer);
  return StartTransfer(
      device, irp, urb,
      [&r, in, requested, shortOk](int32_t status, uint32_t length) {
        r.TransferBufferLength = length;
        if (in && USBD_SUCCESS(status) && length < requested && !shortOk)
          status = USBD_STATUS_ERROR_SHORT_TRANSFER;
        r.Hdr.Status = status;
        return status;
      },
      [&device, pipe, buffer, requested](TransferDone done) {
        return device.port->Submit(pipe, buffer, requested, std::move(done));
      });
}

// Pipes in the configuration descriptor's order: interrupt-in, bulk-in, bulk-out.
void FillInterface(PortDevice& device, USBD_INTERFACE_INFORMATION& info) {
  info.Class = USB_DEVICE_CLASS_VENDOR_SPECIFIC;
  info.SubClass = 0;
  info.Protocol = 0;
  info.InterfaceHandle = &device.interfaceToken;
  info.NumberOfPipes = 3;
  for (int i = 0; i < 3; ++i) {
    USBD_PIPE_INFORMATION& p = info.Pipes[i];
    Pipe pipe = device.pipes[i].pipe;
    p.EndpointAddress = EndpointOf(pipe);
    p.PipeType = pipe == Pipe::InterruptIn ? UsbdPipeTypeInterrupt : UsbdPipeTypeBulk;
    p.MaximumPacketSize = pipe == Pipe::InterruptIn ? kInterruptInMaxPacket : kBulkMaxPacket;
    p.Interval = pipe == Pipe::InterruptIn ? 1 : 0;
    p.PipeHandle = &device.pipes[i];
  }
}

NTSTATUS SelectConfiguration(PortDevice& device, PIRP irp, PURB urb) {
  auto& r = urb->UrbSelectConfiguration;
  if (!HeaderCovers(urb, sizeof r)) return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  uint8_t value = 0;
  if (r.ConfigurationDescriptor != nullptr) {
    size_t needed = offsetof(USBD_INTERFACE_INFORMATION, Pipes) + 3 * sizeof(USBD_PIPE_INFORMATION);
    size_t available = r.Hdr.Length - offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    if (r.Interface.Length < needed || available < needed)
      return CompleteUrb(irp, urb, USBD_STATUS_BUFFER_TOO_SMALL);
    if (r.Interface.InterfaceNumber != 0 || r.Interface.AlternateSetting != 0) {
      return CompleteUrb(irp, urb, USBD_STATUS_INTERFACE_NOT_FOUND);
    }
    value = r.ConfigurationDescriptor->bConfigurationValue;
  }
  SetupPacket setup{.requestType = 0, .request = USB_REQUEST_SET_CONFIGURATION, .value = value};
  return StartTransfer(
      device, irp, urb,
      [&device, &r, value](int32_t status, uint32_t) {
        r.Hdr.Status = status;
        if (!USBD_SUCCESS(status)) return status;
        ClosePipes(device);
        std::lock_guard<std::mutex> lock(device.mutex);
        r.ConfigurationHandle = value == 0 ? nullptr : &device.configurationToken;
        if (value == 0) return status;
        for (PipeSlot& slot : device.pipes) slot.open = true;
        FillInterface(device, r.Interface);
        return status;
      },
      [&device, setup](TransferDone done) {
        return device.port->SubmitControl(setup, nullptr, std::move(done));
      });
}

}  // namespace

NTSTATUS SubmitUrb(PortDevice& device, PIRP irp, PURB urb) {
  if (urb == nullptr) return CompleteUrb(irp, nullptr, USBD_STATUS_INVALID_PARAMETER);
  if (!HeaderCovers(urb, sizeof(struct _URB_HEADER)))
    return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return SelectConfiguration(device, irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return BulkOrInterrupt(device, irp, urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return GetDescriptor(device, irp, urb);
    case URB_FUNCTION_CONTROL_TRANSFER:
      return ControlTransfer(device, irp, urb);
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
      return VendorOrClass(device, irp, urb);
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
      return Feature(device, irp, urb);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      return ResetPipe(device, irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
      return AbortPipe(device, irp, urb);
    default:
      return CompleteUrb(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
  }
}

}  // namespace chip
