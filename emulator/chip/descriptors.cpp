// The port's USB descriptors: a vendor-specific device whose bcdDevice high
// byte is the port index + 1, and one configuration with one interface whose
// endpoints come in the order interrupt-in, bulk-in, bulk-out.
#include "emulator/chip/port.h"
#include "platform/host/usb.h"

namespace chip {
namespace {

constexpr uint8_t kVendorSpecificDescriptor = 0xFF;

void Put16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(value & 0xFF);
  out.push_back(value >> 8);
}

void PutEndpoint(std::vector<uint8_t>& out, uint8_t address, uint8_t type, uint16_t maxPacket,
                 uint8_t interval) {
  out.insert(out.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, type});
  Put16(out, maxPacket);
  out.push_back(interval);
}

// Vendor descriptors of at most 255 bytes each; parsers skip them.
void PutPadding(std::vector<uint8_t>& out, size_t bytes) {
  while (bytes >= 2) {
    size_t n = std::min<size_t>(bytes, 255);
    if (bytes - n == 1) --n;  // never leave a single byte behind
    out.push_back(static_cast<uint8_t>(n));
    out.push_back(kVendorSpecificDescriptor);
    out.insert(out.end(), n - 2, 0);
    bytes -= n;
  }
}

}  // namespace

std::vector<uint8_t> Port::DeviceDescriptor() const {
  std::vector<uint8_t> d = {18, USB_DEVICE_DESCRIPTOR_TYPE};
  Put16(d, 0x0200);  // USB 2.0
  d.insert(d.end(), {USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0, USB_DEFAULT_MAX_PACKET});
  Put16(d, options_.vendorId);
  Put16(d, options_.productId);
  Put16(d, static_cast<uint16_t>((index_ + 1) << 8));
  d.insert(d.end(), {0, 0, 0, 1});  // no strings, one configuration
  return d;
}

std::vector<uint8_t> Port::ConfigurationDescriptor() const {
  std::vector<uint8_t> d = {
      9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, USB_CONFIG_BUS_POWERED | USB_CONFIG_REMOTE_WAKEUP,
      50};
  d.insert(d.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 3, USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0, 0, 0});
  PutEndpoint(d, kInterruptInEndpoint, USB_ENDPOINT_TYPE_INTERRUPT, kInterruptInMaxPacket,
              options_.interruptInterval);
  PutEndpoint(d, kBulkInEndpoint, USB_ENDPOINT_TYPE_BULK, kBulkMaxPacket, 0);
  PutEndpoint(d, kBulkOutEndpoint, USB_ENDPOINT_TYPE_BULK, kBulkMaxPacket, 0);
  PutPadding(d, options_.configurationPadding);
  d[2] = d.size() & 0xFF;
  d[3] = static_cast<uint8_t>(d.size() >> 8);
  return d;
}

}  // namespace chip
