// The registry values the driver reads, with any type, length and content:
// the device key's PortName, Identifier, DeviceWakeEnable, DeviceEnable,
// SerialSkipExternalNaming and BaudRate, the FriendlyName of the device
// node, the ComDB bitmap and WHQLTest. The port starts or fails cleanly; a
// started port opens under the name it took, answers the requests that read
// the values (stored baud rate, renaming), carries data, and teardown leaves
// nothing behind.
#include "emulator/kernel/io_manager.h"
#include "emulator/kernel/pnp_manager.h"
#include "emulator/kernel/registry.h"
#include "fuzz/support/fuzz_port.h"

namespace {

constexpr ULONG kGetPortBaudRate = 0x1B2C30, kSetPortName = 0x1B2C48;

struct Value {
  int key;  // 0 device key, 1 device node, 2 COM name arbiter, 3 Serial service
  const char* name;
};
constexpr Value kValues[] = {
    {0, "PortName"},     {0, "Identifier"}, {0, "DeviceWakeEnable"},
    {0, "DeviceEnable"}, {0, "BaudRate"},   {0, "SerialSkipExternalNaming"},
    {1, "FriendlyName"}, {2, "ComDB"},      {3, "WHQLTest"},
};

std::string KeyPath(int key, const std::u16string& instance) {
  switch (key) {
    case 0:
      return kernel::pnp::HardwareKeyPath(instance);
    case 1:
      return kernel::pnp::InstanceKeyPath(instance);
    case 2:
      return "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
    default:
      return "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Serial";
  }
}

// "\\.\<name>" of the device's DOS link; empty when it has none or its name
// is not plain ASCII.
std::string DosPath(PDEVICE_OBJECT device) {
  const std::u16string target = kernel::io::DeviceName(device);
  for (const std::u16string& link : kernel::io::SymbolicLinks()) {
    if (kernel::io::SymbolicLinkTarget(link) != target) continue;
    std::string name;
    for (char16_t c : link.substr(4)) {
      if (c < 0x21 || c > 0x7E) return "";
      name += char(c);
    }
    return "\\\\.\\" + name;
  }
  return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  fuzz::Bench bench([&](rig::Computer& pc) {
    const std::u16string instance = pc.Ports().at(0).chip->InstancePath(0);
    // Records: value, type, length, bytes.
    while (!input.Empty()) {
      const Value& v = kValues[input.Byte() % std::size(kValues)];
      ULONG type = input.Byte() % 12;
      std::vector<uint8_t> bytes = input.Take(input.Byte());
      std::string key = KeyPath(v.key, instance);
      kernel::registry::CreateKey(key);
      kernel::registry::SetValue(key, v.name, type, bytes.data(), bytes.size());
    }
  });
  if (!NT_SUCCESS(bench.StartStatus(0))) return 0;
  const std::string path = DosPath(bench.Pc().PortDevice(bench.Pc().Ports().at(0)));
  if (path.empty()) return 0;
  HANDLE port = fuzz::OpenPort(path, {0, 0, 1000, 0, 1000});
  fuzz::Check(port != INVALID_HANDLE_VALUE, path + " does not open");
  DWORD rate = 0, got = 0;
  fuzz::Control(port, kGetPortBaudRate, nullptr, 0, &rate, sizeof rate, &got);
  fuzz::Check(got <= sizeof rate, "stored baud rate answered with too many bytes");
  fuzz::Check(fuzz::Carries(port, port), "the port no longer carries data");
  DWORD number = 7;  // COM8
  fuzz::Control(port, kSetPortName, &number, sizeof number, nullptr, 0, &got);
  fuzz::Check(CloseHandle(port), "close failed");
  return 0;
}
